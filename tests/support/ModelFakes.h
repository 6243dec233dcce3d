#pragma once

#include "platform/battery/BatteryServices.h"
#include "platform/desktop/Alerts.h"
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
        devices = {{"MOUSE", "Magic Mouse 2", percent,
                    charging ? std::optional<QString>("USB") : std::nullopt}};
    }
    QList<BatteryService> devices;
    int reads = 0;
};

// The stored settings in memory, typed as they were written; a value of no type is unset.
class MemorySettingsStore final : public SettingsStore {
public:
    std::optional<qint64> integer(const QString& key) const override { return typed<qint64>(key); }
    std::optional<bool> boolean(const QString& key) const override { return typed<bool>(key); }
    std::optional<QDateTime> date(const QString& key) const override
    {
        return typed<QDateTime>(key);
    }
    Outcome write(const QVariantMap& written) override
    {
        if (failure.isEmpty())
            values.insert(written);
        return result();
    }
    Outcome removeAll() override
    {
        if (failure.isEmpty())
            removed = std::exchange(values, {});
        return result();
    }
    Outcome restoreRemoved() override
    {
        values.insert(removed);
        return Outcome::success();
    }
    Outcome result() const
    {
        return failure.isEmpty() ? Outcome::success() : Outcome::failure(failure);
    }
    template <typename T> std::optional<T> typed(const QString& key) const
    {
        const QVariant value = values.value(key);
        return value.isValid() ? std::optional(value.value<T>()) : std::nullopt;
    }

    QVariantMap values, removed;
    QString failure; // set to make every write and removal fail with this description
};

class FakeLoginItem final : public LoginItem {
public:
    bool isEnabled() const override { return enabled; }
    Outcome enable() override
    {
        calls << "enable";
        enabled = enabled || !failEnable;
        return failEnable ? Outcome::failure("enable refused") : Outcome::success();
    }
    Outcome disable() override
    {
        calls << "disable";
        disabledWhileOn = std::exchange(enabled, false);
        return Outcome::success();
    }
    Outcome restoreDisabled() override // back on if it was on: all a fake entry holds
    {
        return std::exchange(disabledWhileOn, false) ? enable() : Outcome::success();
    }

    bool enabled = false, disabledWhileOn = false, failEnable = false;
    QStringList calls;
};

class FakeTrash final : public Trash {
public:
    Outcome moveToTrash(const QString&) override { return Outcome::success(); }
};

class FakeAlerts final : public Alerts {
public:
    void showError(const QString& description) override { shown << description; }
    void showNotice(const QString& text) override { shown << text; }
    QStringList shown;
};
