#pragma once

#include "AppModel.h"
#include "SettingsWindow.h"
#include "platform/desktop/Alerts.h"
#include "platform/battery/BatteryServices.h"
#include "platform/files/LoginItem.h"
#include "platform/files/SettingsStore.h"
#include "platform/files/Trash.h"

#include <QVariantMap>
#include <QWidget>

#include <memory>
#include <optional>

// A model over fixed, in-memory services, so the settings page can be drawn or shown without
// reading the real battery or touching the stored settings and the login item.
class SampleModel {
public:
    SampleModel(std::optional<MouseBattery> battery, Clock& clock)
        : m_batteries(battery)
        , m_model(AppModel::Services{m_batteries, m_store, m_loginItem, m_trash, m_alerts, clock,
                                     QStringLiteral("/opt/nightwick/nightwick")})
    {
    }

    AppModel& model() { return m_model; }

private:
    class Batteries final : public BatteryServices {
    public:
        explicit Batteries(std::optional<MouseBattery> battery)
            : m_battery(battery)
        {
        }
        QList<BatteryService> services() override
        {
            if (!m_battery) {
                return {};
            }
            return {{QStringLiteral("MOUSE"), QStringLiteral("Wireless Mouse"), m_battery->percent,
                     m_battery->isCharging ? std::optional(QStringLiteral("USB")) : std::nullopt}};
        }

    private:
        std::optional<MouseBattery> m_battery;
    };

    class Store final : public SettingsStore {
    public:
        void registerDefaults(const QVariantMap& defaults) override { m_defaults = defaults; }
        qint64 integer(const QString& key) const override { return value(key).toLongLong(); }
        bool boolean(const QString& key) const override { return value(key).toBool(); }
        std::optional<QDateTime> date(const QString& key) const override
        {
            const QVariant stored = value(key);
            return stored.typeId() == QMetaType::QDateTime ? std::optional(stored.toDateTime())
                                                           : std::nullopt;
        }
        Outcome write(const QVariantMap& values) override
        {
            m_values.insert(values);
            return Outcome::success();
        }
        Outcome removeAll() override
        {
            m_values.clear();
            return Outcome::success();
        }
        Outcome restoreRemoved() override { return Outcome::success(); }

    private:
        QVariant value(const QString& key) const
        {
            return m_values.contains(key) ? m_values.value(key) : m_defaults.value(key);
        }
        QVariantMap m_values;
        QVariantMap m_defaults;
    };

    class StaticLoginItem final : public LoginItem {
    public:
        bool isEnabled() const override { return m_enabled; }
        Outcome enable() override
        {
            m_enabled = true;
            return Outcome::success();
        }
        Outcome disable() override
        {
            m_enabled = false;
            return Outcome::success();
        }

    private:
        bool m_enabled = true;
    };

    class RefusingTrash final : public Trash {
    public:
        Outcome moveToTrash(const QString&) override
        {
            return Outcome::failure(QStringLiteral("a sample is never uninstalled"));
        }
    };

    class SilentAlerts final : public Alerts {
    public:
        void showError(const QString&) override {}
        void showNotice(const QString&) override {}
    };

    Batteries m_batteries;
    Store m_store;
    StaticLoginItem m_loginItem;
    RefusingTrash m_trash;
    SilentAlerts m_alerts;
    AppModel m_model;
};

// The settings page over a sample model, as one widget that keeps its model alive.
class SampleSettingsPage : public QWidget {
public:
    SampleSettingsPage(std::optional<MouseBattery> battery, Clock& clock)
        : m_sample(battery, clock)
        , m_view(std::make_unique<SettingsView>(m_sample.model(), SettingsView::Actions{}, clock,
                                                this))
    {
        setFixedSize(SettingsView::size);
    }

private:
    SampleModel m_sample;
    std::unique_ptr<SettingsView> m_view; // goes before the model it shows
};
