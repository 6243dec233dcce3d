#pragma once

#include "platform/desktop/Alerts.h"
#include "platform/battery/BatteryServices.h"
#include "platform/files/LoginItem.h"
#include "platform/files/SettingsStore.h"
#include "platform/files/Trash.h"

#include <QStringList>

// Stand-ins for the services the model is built on, each recording what it was asked.

class FakeBatteryServices final : public BatteryServices {
public:
    QList<BatteryService> services() override
    {
        ++reads;
        return devices;
    }

    // A single mouse as UPower would report it.
    void setMouse(qint64 percent, bool charging)
    {
        devices = {{QStringLiteral("MOUSE"), QStringLiteral("Magic Mouse 2"), percent,
                    charging ? std::optional<QString>(QStringLiteral("USB")) : std::nullopt}};
    }

    QList<BatteryService> devices;
    int reads = 0;
};

// The stored settings in memory, typed as they would come back from the file.
class MemorySettingsStore final : public SettingsStore {
public:
    void registerDefaults(const QVariantMap& defaults) override { this->defaults = defaults; }
    std::optional<qint64> integer(const QString& key) const override { return typed<qint64>(key); }
    std::optional<bool> boolean(const QString& key) const override { return typed<bool>(key); }
    std::optional<QDateTime> date(const QString& key) const override
    {
        const QVariant stored = value(key);
        if (stored.typeId() != QMetaType::QDateTime) {
            return std::nullopt;
        }
        return stored.toDateTime();
    }
    Outcome write(const QVariantMap& written) override
    {
        if (!failure.isEmpty()) {
            return Outcome::failure(failure);
        }
        values.insert(written);
        return Outcome::success();
    }
    Outcome removeAll() override
    {
        if (!failure.isEmpty()) {
            return Outcome::failure(failure);
        }
        removed = std::exchange(values, {});
        ++removals;
        return Outcome::success();
    }
    Outcome restoreRemoved() override
    {
        values.insert(std::exchange(removed, {}));
        return Outcome::success();
    }

    QVariant value(const QString& key) const
    {
        return values.contains(key) ? values.value(key) : defaults.value(key);
    }
    template <typename T> std::optional<T> typed(const QString& key) const
    {
        return value(key).isValid() ? std::optional(value(key).value<T>()) : std::nullopt;
    }

    QVariantMap values;
    QVariantMap removed;
    QVariantMap defaults;
    int removals = 0;
    QString failure; // set to make every write and removal fail with this description
};

class FakeLoginItem final : public LoginItem {
public:
    bool isEnabled() const override { return enabled; }
    Outcome enable() override
    {
        calls << QStringLiteral("enable");
        if (failEnable) {
            return Outcome::failure(QStringLiteral("enable refused"));
        }
        enabled = true;
        return Outcome::success();
    }
    Outcome disable() override
    {
        calls << QStringLiteral("disable");
        if (failDisable) {
            return Outcome::failure(QStringLiteral("disable refused"));
        }
        disabledWhileOn = std::exchange(enabled, false);
        return Outcome::success();
    }
    Outcome restoreDisabled() override // back on if it was on: all a fake entry holds
    {
        return std::exchange(disabledWhileOn, false) ? enable() : Outcome::success();
    }

    bool enabled = false;
    bool disabledWhileOn = false;
    bool failEnable = false;
    bool failDisable = false;
    QStringList calls;
};

class FakeTrash final : public Trash {
public:
    Outcome moveToTrash(const QString& path) override
    {
        trashed << path;
        return failure.isEmpty() ? Outcome::success() : Outcome::failure(failure);
    }

    QString failure; // set to make the move fail with this description
    QStringList trashed;
};

class FakeAlerts final : public Alerts {
public:
    void showError(const QString& description) override { shown << description; }
    void showNotice(const QString& text) override { shown << text; }

    QStringList shown;
};
