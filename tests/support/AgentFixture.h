#pragma once

#include "AppDelegate.h"

#include "FakeClock.h"
#include "ModelFakes.h"
#include "platform/ConsoleLogins.h"
#include "platform/LoginSession.h"
#include "platform/SessionManagerClient.h"
#include "platform/ShutdownInhibitor.h"

#include <QCoreApplication>

// The delegate's system services as fakes, and an agent launched over them.

inline const QDateTime fixtureStart(QDate(2026, 12, 6), QTime(22, 0), Qt::UTC);

class FakeShutdownInhibitor final : public ShutdownInhibitor {
    Q_OBJECT
public:
    void start() override { held = true; }
    void release() override { held = false; }
    bool isShutdownAnnounced() const override { return announced; }
    std::chrono::milliseconds holdLimit() const override { return limit; }
    void announce() { announced = true, emit shutdownAnnounced(); }
    // As logind's watcher does it: the lock is back before anyone hears of the cancel.
    void cancel() { announced = false, held = true, emit shutdownCancelled(); }

    bool held = false;
    bool announced = false;
    std::chrono::milliseconds limit{5000};
};

class FakeSessionManager final : public SessionManagerClient {
    Q_OBJECT
public:
    void start() override {}
    void answerEndSession() override { ++answers; }
    int answers = 0;
};

class FakeLoginSession final : public LoginSession {
public:
    bool isClosing() override { return closing; }
    bool closing = false;
};

class NoConsoleLogins final : public ConsoleLogins {
public:
    std::optional<qint64> newestLogin() override { return std::nullopt; }
};

// A launched agent over fakes. The mouse, when seen, is at 8 % (the threshold is 10).
struct Gate {
    explicit Gate(bool mouseSeen = true,
                  const QStringList& arguments = {"nightwick", "--autostart"})
    {
        if (mouseSeen) {
            batteries.setMouse(8, false);
        }
        delegate = std::make_unique<AppDelegate>(
            AppDelegate::Services{{batteries, store, loginItem, trash, alerts, clock, QString()},
                                  logins,
                                  inhibitor,
                                  session,
                                  &sessionManager});
        delegate->applicationDidFinishLaunching(arguments);
    }
    bool cardVisible() const { return delegate->reminder().isVisible(); }
    void dismissCard() { delegate->reminder().dismiss(), settle(); }
    // Completions and dismissal signals may come from later turns of the event loop.
    static void settle() { QCoreApplication::processEvents(), QCoreApplication::processEvents(); }

    FakeBatteryServices batteries;
    MemorySettingsStore store;
    FakeLoginItem loginItem;
    FakeTrash trash;
    FakeAlerts alerts;
    FakeClock clock{fixtureStart};
    NoConsoleLogins logins;
    FakeShutdownInhibitor inhibitor;
    FakeLoginSession session;
    FakeSessionManager sessionManager;
    std::unique_ptr<AppDelegate> delegate;
};
