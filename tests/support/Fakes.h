#pragma once

#include "AppDelegate.h"

#include "FakeClock.h"
#include "platform/battery/BatteryServices.h"
#include "platform/desktop/Alerts.h"
#include "platform/files/LoginItem.h"
#include "platform/files/SettingsStore.h"
#include "platform/files/Trash.h"
#include "platform/session/ConsoleLogins.h"
#include "platform/session/LoginSession.h"
#include "platform/session/SessionManagerClient.h"
#include "platform/session/ShutdownInhibitor.h"

#include <QFile>
#include <QStringList>
#include <QTest>

inline QByteArray readFile(const QString& path) // empty when there is none
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

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

// The delegate's system services as fakes, and an agent launched over them. The fakes declare
// no signals of their own, so they need no moc.

inline const QDateTime fixtureStart(QDate(2026, 12, 6), QTime(22, 0), Qt::UTC);
inline const QStringList autostart{"nightwick", "--autostart"};

class FakeShutdownInhibitor final : public ShutdownInhibitor {
public:
    void start() override { held = true; }
    void release() override { held = false; }
    bool isShutdownAnnounced() const override { return announced; }
    std::chrono::milliseconds holdLimit() const override { return limit; }
    void announce() { announced = true, emit shutdownAnnounced(); }
    // As logind's watcher does it: the lock is back before anyone hears of the cancel.
    void cancel() { announced = false, held = true, emit shutdownCancelled(); }
    bool held = false, announced = false;
    std::chrono::milliseconds limit{5000};
};

class FakeSessionManager final : public SessionManagerClient {
public:
    void start() override {}
    void answerEndSession() override { ++answers; }
    int answers = 0;
};

// The user's login: whether the session is closing, and when the newest console login was.
class FakeLogins final : public LoginSession, public ConsoleLogins {
public:
    bool isClosing() override { return closing; }
    std::optional<qint64> newestLogin() override { return newest; }
    bool closing = false;
    std::optional<qint64> newest;
};

// Launched at once unless the arguments are empty; a test may first swap in real services. The
// mouse, when seen, is at 8 % (the threshold is 10).
struct Gate {
    explicit Gate(bool mouseSeen = true, const QStringList& arguments = autostart)
    {
        if (mouseSeen)
            batteries.setMouse(8, false);
        if (!arguments.isEmpty())
            launch(arguments);
    }
    void launch(const QStringList& arguments = autostart)
    {
        delegate = std::make_unique<AppDelegate>(
            AppDelegate::Services{{batteries, *store, *loginItem, *trash, alerts, clock, program},
                                  logins,
                                  inhibitor,
                                  logins,
                                  &sessionManager});
        delegate->applicationDidFinishLaunching(arguments);
    }
    bool cardVisible() const { return delegate->reminder().isVisible(); }
    void dismissCard() { delegate->reminder().dismiss(), settle(); }
    // Completions and dismissal signals may come from later turns of the event loop.
    static void settle() { QCoreApplication::processEvents(), QCoreApplication::processEvents(); }
    void clickSettingsRow(const char* name, int times = 1)
    {
        if (!delegate->settings().window())
            delegate->settings().show();
        auto* row = delegate->settings().window()->findChild<QWidget*>(name);
        QVERIFY(row);
        while (times-- > 0)
            QTest::mouseClick(row, Qt::LeftButton, {}, QPoint(2, row->height() / 2));
    }

    FakeBatteryServices batteries;
    MemorySettingsStore memoryStore;
    FakeLoginItem fakeLoginItem;
    FakeTrash fakeTrash;
    FakeAlerts alerts;
    FakeClock clock{fixtureStart};
    FakeLogins logins;
    FakeShutdownInhibitor inhibitor;
    FakeSessionManager sessionManager;
    SettingsStore* store = &memoryStore;
    LoginItem* loginItem = &fakeLoginItem;
    Trash* trash = &fakeTrash;
    QString program;
    std::unique_ptr<AppDelegate> delegate;
};
