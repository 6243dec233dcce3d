#include "AppDelegate.h"

#include "FakeClock.h"
#include "ModelFakes.h"
#include "platform/ConsoleLogins.h"
#include "platform/LoginSession.h"
#include "platform/SessionManagerClient.h"
#include "platform/ShutdownInhibitor.h"

#include <QApplication>
#include <QSignalSpy>
#include <QTest>

using namespace std::chrono_literals;
using QuitReason = AppDelegate::QuitReason;
using TerminateReply = AppDelegate::TerminateReply;

Q_DECLARE_METATYPE(AppDelegate::QuitReason)
Q_DECLARE_METATYPE(AppDelegate::TerminateReply)

namespace {

const QDateTime start(QDate(2026, 12, 6), QTime(22, 0), Qt::UTC);

class FakeShutdownInhibitor final : public ShutdownInhibitor {
    Q_OBJECT
public:
    void start() override { held = true; }
    void release() override { held = false; }
    bool isShutdownAnnounced() const override { return announced; }
    std::chrono::milliseconds holdLimit() const override { return limit; }

    void announce()
    {
        announced = true;
        emit shutdownAnnounced();
    }
    // logind's own order: the lock comes back before anyone hears of the cancel.
    void cancel()
    {
        announced = false;
        held = true;
        emit shutdownCancelled();
    }

    bool held = false;
    bool announced = false;
    std::chrono::milliseconds limit{5000};
};

class FakeSessionManager final : public SessionManagerClient {
    Q_OBJECT
public:
    void start() override {}
    void answerEndSession() override { ++answers; }
    void endSession() { emit endSessionRequested(); }

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

// A launched agent over fakes, with a mouse at 8 % (below the default threshold of 10).
struct Gate {
    explicit Gate(bool mouseSeen = true)
    {
        if (mouseSeen) {
            batteries.setMouse(8, false);
        }
        delegate = std::make_unique<AppDelegate>(AppDelegate::Services{
            {batteries, store, loginItem, trash, alerts, clock, QStringLiteral("/tmp/nightwick")},
            logins,
            inhibitor,
            session,
            &sessionManager});
        delegate->applicationDidFinishLaunching(
            {QStringLiteral("nightwick"), QStringLiteral("--autostart")});
    }

    bool cardVisible() { return delegate->reminder().isVisible(); }
    void dismissCard()
    {
        delegate->reminder().dismiss();
        settle();
    }
    // Completions and dismissal signals arrive from later turns of the event loop.
    static void settle()
    {
        for (int i = 0; i < 5; ++i) {
            QCoreApplication::processEvents();
        }
    }

    FakeBatteryServices batteries;
    MemorySettingsStore store;
    FakeLoginItem loginItem;
    FakeTrash trash;
    FakeAlerts alerts;
    FakeClock clock{start};
    NoConsoleLogins logins;
    FakeShutdownInhibitor inhibitor;
    FakeLoginSession session;
    FakeSessionManager sessionManager;
    std::unique_ptr<AppDelegate> delegate;
};

} // namespace

class TestGate : public QObject {
    Q_OBJECT
private slots:
    void powerOffDecidesCardAndLock_data()
    {
        QTest::addColumn<bool>("mousePresent");
        QTest::addColumn<qint64>("percent");
        QTest::addColumn<bool>("charging");
        QTest::addColumn<bool>("cardShown");

        QTest::newRow("low and discharging") << true << qint64(8) << false << true;
        QTest::newRow("at the threshold") << true << qint64(10) << false << true;
        QTest::newRow("one above the threshold") << true << qint64(11) << false << false;
        QTest::newRow("low but charging") << true << qint64(3) << true << false;
        QTest::newRow("no mouse ever seen") << false << qint64(0) << false << false;
    }

    void powerOffDecidesCardAndLock()
    {
        QFETCH(bool, mousePresent);
        QFETCH(qint64, percent);
        QFETCH(bool, charging);
        QFETCH(bool, cardShown);
        Gate gate(mousePresent);
        QVERIFY(gate.inhibitor.held);
        if (mousePresent) {
            gate.batteries.setMouse(percent, charging);
        }

        gate.inhibitor.announce();

        QCOMPARE(gate.cardVisible(), cardShown);
        // The lock stays exactly as long as there is a card to see.
        QCOMPARE(gate.inhibitor.held, cardShown);
        QCOMPARE(gate.delegate->reminderStartedAt().has_value(), cardShown);
        if (cardShown) {
            gate.dismissCard();
            QVERIFY(!gate.inhibitor.held);
        }
    }

    void noPercentLeavesStartUntouched()
    {
        Gate gate;
        gate.batteries.setMouse(8, true);
        gate.inhibitor.announce();
        QVERIFY(!gate.delegate->reminderStartedAt());

        // Unplugged a moment later: the refused first attempt must not count as a start.
        gate.inhibitor.cancel();
        gate.clock.advance(5s);
        gate.batteries.setMouse(8, false);
        gate.inhibitor.announce();
        QVERIFY(gate.cardVisible());
        QCOMPARE(*gate.delegate->reminderStartedAt(), start.addSecs(5));
    }

    void remindersAreSpaced_data()
    {
        QTest::addColumn<qint64>("secondsAfterFirst");
        QTest::addColumn<bool>("cardShown");

        QTest::newRow("at once") << qint64(0) << false;
        QTest::newRow("29 s") << qint64(29) << false;
        QTest::newRow("exactly 30 s") << qint64(30) << true;
        QTest::newRow("an hour") << qint64(3600) << true;
        QTest::newRow("clock set back 10 s") << qint64(-10) << false;
    }

    void remindersAreSpaced()
    {
        QFETCH(qint64, secondsAfterFirst);
        QFETCH(bool, cardShown);
        Gate gate;
        gate.inhibitor.announce();
        QVERIFY(gate.cardVisible());
        gate.dismissCard();
        gate.inhibitor.cancel();

        gate.clock.setNow(start.addSecs(secondsAfterFirst));
        gate.inhibitor.announce();

        QCOMPARE(gate.cardVisible(), cardShown);
        QCOMPARE(gate.inhibitor.held, cardShown);
        QCOMPARE(*gate.delegate->reminderStartedAt(),
                 cardShown ? start.addSecs(secondsAfterFirst) : start);
    }

    void secondPowerOffKeepsTheCardUp()
    {
        Gate gate;
        gate.inhibitor.announce();
        gate.clock.advance(1s);
        gate.inhibitor.cancel();
        gate.inhibitor.announce();
        QVERIFY(gate.cardVisible());
        QCOMPARE(*gate.delegate->reminderStartedAt(), start);
    }

    void terminationRequests_data()
    {
        QTest::addColumn<QuitReason>("reason");
        QTest::addColumn<bool>("mouseLow");
        QTest::addColumn<bool>("testCardUp");
        QTest::addColumn<TerminateReply>("reply");
        QTest::addColumn<int>("batteryReads");

        QTest::newRow("ordinary, no card")
            << QuitReason::Ordinary << true << false << TerminateReply::Now << 0;
        QTest::newRow("shutdown, low mouse")
            << QuitReason::Shutdown << true << false << TerminateReply::Later << 1;
        QTest::newRow("log-out, low mouse")
            << QuitReason::LogOut << true << false << TerminateReply::Later << 1;
        QTest::newRow("shutdown, mouse fine")
            << QuitReason::Shutdown << false << false << TerminateReply::Now << 1;
        QTest::newRow("ordinary, test card up")
            << QuitReason::Ordinary << false << true << TerminateReply::Later << 0;
        QTest::newRow("shutdown, test card up")
            << QuitReason::Shutdown << true << true << TerminateReply::Later << 0;
    }

    void terminationRequests()
    {
        QFETCH(QuitReason, reason);
        QFETCH(bool, mouseLow);
        QFETCH(bool, testCardUp);
        QFETCH(TerminateReply, reply);
        QFETCH(int, batteryReads);
        Gate gate;
        gate.batteries.setMouse(mouseLow ? 8 : 80, false);
        if (testCardUp) {
            gate.delegate->reminder().show(5, 4.0, {});
        }
        const int readsBefore = gate.batteries.reads;

        QCOMPARE(gate.delegate->applicationShouldTerminate(reason), reply);

        QCOMPARE(gate.batteries.reads - readsBefore, batteryReads);
        QCOMPARE(gate.delegate->terminationPending(), reply == TerminateReply::Later);
    }

    void waitingTerminationIsAnsweredOnDismissal_data()
    {
        QTest::addColumn<bool>("testCard");
        QTest::addColumn<bool>("byTimeOut");

        QTest::newRow("shutdown card, clicked") << false << false;
        QTest::newRow("shutdown card, timed out") << false << true;
        QTest::newRow("test card, clicked") << true << false;
        QTest::newRow("test card, timed out") << true << true;
    }

    void waitingTerminationIsAnsweredOnDismissal()
    {
        QFETCH(bool, testCard);
        QFETCH(bool, byTimeOut);
        Gate gate;
        QSignalSpy ready(gate.delegate.get(), &AppDelegate::readyToTerminate);
        if (testCard) {
            // Its completion does nothing; the waiting termination must still be answered.
            gate.delegate->reminder().show(5, 4.0, [] {});
            gate.delegate->terminationSignalled();
        } else {
            gate.inhibitor.announce();
            gate.delegate->terminationSignalled();
        }
        QVERIFY(gate.delegate->terminationPending());
        Gate::settle();
        QCOMPARE(ready.count(), 0);

        if (byTimeOut) {
            gate.clock.advance(4s);
            Gate::settle();
        } else {
            gate.dismissCard();
        }

        QCOMPARE(ready.count(), 1);
        QVERIFY(!gate.delegate->terminationPending());
        QVERIFY(!gate.inhibitor.held);
    }

    void signalTellsItsReason_data()
    {
        QTest::addColumn<bool>("shutdownAnnounced");
        QTest::addColumn<bool>("sessionClosing");
        QTest::addColumn<bool>("mouseLow");
        QTest::addColumn<bool>("endsAtOnce");

        QTest::newRow("plain quit, low mouse") << false << false << true << true;
        QTest::newRow("during shutdown, low mouse") << true << false << true << false;
        QTest::newRow("session closing, low mouse") << false << true << true << false;
        QTest::newRow("during shutdown, mouse fine") << true << false << false << true;
    }

    void signalTellsItsReason()
    {
        QFETCH(bool, shutdownAnnounced);
        QFETCH(bool, sessionClosing);
        QFETCH(bool, mouseLow);
        QFETCH(bool, endsAtOnce);
        Gate gate;
        gate.batteries.setMouse(mouseLow ? 8 : 80, false);
        // Announced without the power-off handler, as when the signal outruns logind's.
        gate.inhibitor.announced = shutdownAnnounced;
        gate.session.closing = sessionClosing;
        QSignalSpy ready(gate.delegate.get(), &AppDelegate::readyToTerminate);

        gate.delegate->terminationSignalled();

        QCOMPARE(ready.count(), endsAtOnce ? 1 : 0);
        QCOMPARE(gate.cardVisible(), !endsAtOnce);
        if (endsAtOnce) {
            QVERIFY(!gate.inhibitor.held);
        }
    }

    void endSessionWaitsForTheCard_data()
    {
        QTest::addColumn<bool>("mouseLow");
        QTest::newRow("low mouse") << true;
        QTest::newRow("mouse fine") << false;
    }

    void endSessionWaitsForTheCard()
    {
        QFETCH(bool, mouseLow);
        Gate gate;
        gate.batteries.setMouse(mouseLow ? 8 : 80, false);
        QSignalSpy ready(gate.delegate.get(), &AppDelegate::readyToTerminate);

        gate.sessionManager.endSession();

        QCOMPARE(gate.sessionManager.answers, mouseLow ? 0 : 1);
        QCOMPARE(ready.count(), mouseLow ? 0 : 1);
        if (mouseLow) {
            gate.dismissCard();
            QCOMPARE(gate.sessionManager.answers, 1);
            QCOMPARE(ready.count(), 1);
        }
    }

    void cardLeavesBeforeTheHoldLimit_data()
    {
        QTest::addColumn<int>("limitMs");
        QTest::addColumn<int>("releasedAtMs");

        QTest::newRow("logind default, card times out first") << 5000 << 4000;
        QTest::newRow("2 s limit") << 2000 << 1500;
        QTest::newRow("limit within the margin") << 300 << 0;
    }

    void cardLeavesBeforeTheHoldLimit()
    {
        QFETCH(int, limitMs);
        QFETCH(int, releasedAtMs);
        Gate gate;
        gate.inhibitor.limit = std::chrono::milliseconds(limitMs);
        gate.inhibitor.announce();
        gate.clock.advance(0ms);
        Gate::settle();

        int elapsedMs = 0;
        while (gate.inhibitor.held && elapsedMs < 10000) {
            gate.clock.advance(100ms);
            Gate::settle();
            elapsedMs += 100;
        }
        QVERIFY(!gate.cardVisible());
        QCOMPARE(elapsedMs, releasedAtMs);
    }

    void cancelledShutdownKeepsTheLockAfterTheCard()
    {
        Gate gate;
        gate.inhibitor.announce();
        gate.inhibitor.cancel();
        gate.dismissCard();
        // Letting go now would leave the next shutdown unguarded.
        QVERIFY(gate.inhibitor.held);
    }
};

QTEST_MAIN(TestGate)
#include "test_gate.moc"
