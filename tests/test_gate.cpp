#include "AppDelegate.h"

#include "AgentFixture.h"

#include <QSignalSpy>
#include <QTest>

using namespace std::chrono_literals;
using QuitReason = AppDelegate::QuitReason;
using TerminateReply = AppDelegate::TerminateReply;

class TestGate : public QObject {
    Q_OBJECT
private slots:
    void powerOffHoldsTheLockForACard_data()
    {
        QTest::addColumn<bool>("seen");
        QTest::addColumn<qint64>("percent");
        QTest::addColumn<bool>("charging");
        QTest::addColumn<bool>("card");
        QTest::newRow("low, discharging") << true << qint64(8) << false << true;
        QTest::newRow("at the threshold") << true << qint64(10) << false << true;
        QTest::newRow("one above") << true << qint64(11) << false << false;
        QTest::newRow("low, charging") << true << qint64(3) << true << false;
        QTest::newRow("no mouse ever seen") << false << qint64(0) << false << false;
    }
    void powerOffHoldsTheLockForACard()
    {
        QFETCH(bool, seen);
        QFETCH(qint64, percent);
        QFETCH(bool, charging);
        QFETCH(bool, card);
        Gate gate(seen);
        QVERIFY(gate.inhibitor.held);
        if (seen) {
            gate.batteries.setMouse(percent, charging);
        }
        gate.inhibitor.announce();
        QCOMPARE(gate.cardVisible(), card);
        QCOMPARE(gate.inhibitor.held, card);
        QCOMPARE(gate.delegate->reminderStartedAt().has_value(), card);
        gate.dismissCard();
        QVERIFY(!gate.inhibitor.held);
    }

    void remindersAreSpaced_data()
    {
        QTest::addColumn<qint64>("secondsLater");
        QTest::addColumn<bool>("card");
        QTest::newRow("29 s") << qint64(29) << false;
        QTest::newRow("exactly 30 s") << qint64(30) << true;
        QTest::newRow("clock set back 10 s") << qint64(-10) << false;
    }
    void remindersAreSpaced()
    {
        QFETCH(qint64, secondsLater);
        QFETCH(bool, card);
        Gate gate;
        gate.inhibitor.announce();
        gate.dismissCard();
        gate.inhibitor.cancel();
        gate.clock.setNow(fixtureStart.addSecs(secondsLater));
        gate.inhibitor.announce();
        QCOMPARE(gate.cardVisible(), card);
        QCOMPARE(gate.inhibitor.held, card);
        QCOMPARE(*gate.delegate->reminderStartedAt(),
                 card ? fixtureStart.addSecs(secondsLater) : fixtureStart);
    }

    void noPercentLeavesTheStartAlone()
    {
        Gate gate;
        gate.batteries.setMouse(8, true);
        gate.inhibitor.announce();
        QVERIFY(!gate.delegate->reminderStartedAt());
        // Unplugged a moment later: the refused attempt must not count against the 30 s.
        gate.inhibitor.cancel();
        gate.clock.advance(5s);
        gate.batteries.setMouse(8, false);
        gate.inhibitor.announce();
        QVERIFY(gate.cardVisible());
    }

    void terminationRequests_data()
    {
        QTest::addColumn<QuitReason>("reason");
        QTest::addColumn<qint64>("percent");
        QTest::addColumn<bool>("testCardUp");
        QTest::addColumn<TerminateReply>("reply");
        QTest::addColumn<int>("batteryReads");
        QTest::newRow("ordinary") << QuitReason::Ordinary << qint64(8) << false
                                  << TerminateReply::Now << 0;
        QTest::newRow("shutdown, low")
            << QuitReason::Shutdown << qint64(8) << false << TerminateReply::Later << 1;
        QTest::newRow("log-out, low")
            << QuitReason::LogOut << qint64(8) << false << TerminateReply::Later << 1;
        QTest::newRow("shutdown, fine")
            << QuitReason::Shutdown << qint64(80) << false << TerminateReply::Now << 1;
        QTest::newRow("ordinary, test card up")
            << QuitReason::Ordinary << qint64(80) << true << TerminateReply::Later << 0;
        QTest::newRow("shutdown, test card up")
            << QuitReason::Shutdown << qint64(8) << true << TerminateReply::Later << 0;
    }
    void terminationRequests()
    {
        QFETCH(QuitReason, reason);
        QFETCH(qint64, percent);
        QFETCH(bool, testCardUp);
        QFETCH(TerminateReply, reply);
        QFETCH(int, batteryReads);
        Gate gate;
        gate.batteries.setMouse(percent, false);
        if (testCardUp) {
            gate.delegate->reminder().show(5, 4.0, {});
        }
        const int readsBefore = gate.batteries.reads;
        QCOMPARE(gate.delegate->applicationShouldTerminate(reason), reply);
        QCOMPARE(gate.batteries.reads - readsBefore, batteryReads);
        QCOMPARE(gate.delegate->terminationPending(), reply == TerminateReply::Later);
    }

    // Each way of asking to quit, and each way the card can go; the test card's completion
    // does nothing, so only the dismissal itself can answer for it.
    void waitingQuitIsAnsweredOnDismissal_data()
    {
        QTest::addColumn<QString>("request");
        QTest::addColumn<bool>("testCard");
        QTest::addColumn<bool>("timesOut");
        QTest::newRow("signal during shutdown, clicked") << "shutdown" << false << false;
        QTest::newRow("signal during shutdown, timed out") << "shutdown" << false << true;
        QTest::newRow("signal while closing session") << "closing" << false << false;
        QTest::newRow("session manager's end") << "endSession" << false << true;
        QTest::newRow("signal, test card clicked") << "signal" << true << false;
        QTest::newRow("signal, test card timed out") << "signal" << true << true;
    }
    void waitingQuitIsAnsweredOnDismissal()
    {
        QFETCH(QString, request);
        QFETCH(bool, testCard);
        QFETCH(bool, timesOut);
        Gate gate;
        QSignalSpy ready(gate.delegate.get(), &AppDelegate::readyToTerminate);
        if (testCard) {
            gate.delegate->reminder().show(5, 4.0, [] {});
        }
        gate.inhibitor.announced = request == "shutdown";
        gate.session.closing = request == "closing";
        if (request == "endSession") {
            emit gate.sessionManager.endSessionRequested();
        } else {
            gate.delegate->terminationSignalled();
        }
        QVERIFY(gate.cardVisible());
        Gate::settle();
        QCOMPARE(ready.count(), 0);
        QCOMPARE(gate.sessionManager.answers, 0);

        timesOut ? gate.clock.advance(4s) : gate.delegate->reminder().dismiss();
        Gate::settle();
        QCOMPARE(ready.count(), 1);
        QCOMPARE(gate.sessionManager.answers, 1);
        QVERIFY(!gate.delegate->terminationPending());
        QVERIFY(!gate.inhibitor.held);
    }

    void plainQuitEndsAtOnce_data()
    {
        QTest::addColumn<QString>("request");
        QTest::newRow("signal, nothing under way") << "signal";
        QTest::newRow("session manager's end, mouse fine") << "endSession";
        QTest::newRow("session manager's stop") << "stop";
    }
    void plainQuitEndsAtOnce()
    {
        QFETCH(QString, request);
        Gate gate;
        if (request == "endSession") {
            gate.batteries.setMouse(80, false);
        }
        QSignalSpy ready(gate.delegate.get(), &AppDelegate::readyToTerminate);
        if (request == "signal") {
            gate.delegate->terminationSignalled();
        } else if (request == "endSession") {
            emit gate.sessionManager.endSessionRequested();
        } else {
            emit gate.sessionManager.stopRequested();
        }
        QVERIFY(!gate.cardVisible());
        QCOMPARE(ready.count(), 1);
    }

    void cardGoesBeforeTheHoldLimit_data()
    {
        QTest::addColumn<int>("limitMs");
        QTest::addColumn<int>("releasedAtMs");
        QTest::newRow("logind's 5 s: the card's own 4 s come first") << 5000 << 4000;
        QTest::newRow("2 s") << 2000 << 1500;
        QTest::newRow("within the margin") << 300 << 0;
    }
    void cardGoesBeforeTheHoldLimit()
    {
        QFETCH(int, limitMs);
        QFETCH(int, releasedAtMs);
        Gate gate;
        gate.inhibitor.limit = std::chrono::milliseconds(limitMs);
        gate.inhibitor.announce();
        int elapsedMs = 0;
        for (gate.clock.advance(0ms), Gate::settle(); gate.inhibitor.held && elapsedMs < 9000;
             elapsedMs += 100) {
            gate.clock.advance(100ms), Gate::settle();
        }
        QCOMPARE(elapsedMs, releasedAtMs);
        QVERIFY(!gate.cardVisible());
    }

    void cancelledShutdownKeepsTheLockAndTheCard()
    {
        Gate gate;
        gate.inhibitor.limit = 2s;
        gate.inhibitor.announce();
        gate.inhibitor.cancel();
        gate.clock.advance(3s), Gate::settle();
        QVERIFY(gate.cardVisible());
        gate.dismissCard();
        // Letting go now would leave the next shutdown unguarded.
        QVERIFY(gate.inhibitor.held);
    }
};

QTEST_MAIN(TestGate)
#include "test_gate.moc"
