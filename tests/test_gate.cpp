#include "AgentFixture.h"

#include <QSignalSpy>

using namespace std::chrono_literals;

class TestGate : public QObject {
    Q_OBJECT
private slots:
    // A power-off, perhaps some time after an earlier card whose shutdown was called off.
    void powerOffHoldsTheLockForACard_data()
    {
        QTest::addColumn<int>("percent");
        QTest::addColumn<bool>("charging");
        QTest::addColumn<std::optional<int>>("secondsAfterACard");
        QTest::addColumn<bool>("card");
        const std::optional<int> first;
        QTest::newRow("low, discharging") << 8 << false << first << true;
        QTest::newRow("at the threshold") << 10 << false << first << true;
        QTest::newRow("one above") << 11 << false << first << false;
        QTest::newRow("low, charging") << 3 << true << first << false;
        QTest::newRow("29 s after a card") << 8 << false << std::optional(29) << false;
        QTest::newRow("exactly 30 s after") << 8 << false << std::optional(30) << true;
        QTest::newRow("clock set back 10 s") << 8 << false << std::optional(-10) << false;
    }
    void powerOffHoldsTheLockForACard()
    {
        QFETCH(int, percent);
        QFETCH(bool, charging);
        QFETCH(std::optional<int>, secondsAfterACard);
        QFETCH(bool, card);
        Gate gate;
        QVERIFY(gate.inhibitor.held);
        if (secondsAfterACard) {
            gate.inhibitor.announce();
            gate.dismissCard();
            gate.inhibitor.cancel();
            gate.clock.setNow(fixtureStart.addSecs(*secondsAfterACard));
        }
        const std::optional<QDateTime> earlier = gate.delegate->reminderStartedAt();
        gate.batteries.setMouse(percent, charging);
        gate.inhibitor.announce();
        QCOMPARE(gate.cardVisible(), card);
        QCOMPARE(gate.inhibitor.held, card);
        // Only a card shown counts against the spacing.
        QCOMPARE(gate.delegate->reminderStartedAt(), card ? gate.clock.now() : earlier);
        gate.dismissCard();
        QVERIFY(!gate.inhibitor.held);
    }

    // A waiting request is answered when the card goes, also a test card's, whose own completion
    // does nothing. An ordinary quit asks no battery.
    void quitRequests_data()
    {
        QTest::addColumn<QString>("request");
        QTest::addColumn<QString>("underWay");
        QTest::addColumn<int>("percent");
        QTest::addColumn<int>("reads");
        QTest::addColumn<bool>("waits");
        QTest::newRow("signal, nothing under way") << "signal"
                                                   << "" << 8 << 0 << false;
        QTest::newRow("signal in shutdown, low") << "signal"
                                                 << "shutdown" << 8 << 1 << true;
        QTest::newRow("signal as the session closes") << "signal"
                                                      << "closing" << 8 << 1 << true;
        QTest::newRow("signal, test card up") << "signal"
                                              << "test card" << 80 << 0 << true;
        QTest::newRow("session manager's stop") << "stop"
                                                << "" << 8 << 0 << false;
        QTest::newRow("window system's quit, low") << "quit event"
                                                   << "" << 8 << 1 << true;
    }
    void quitRequests()
    {
        QFETCH(QString, request);
        QFETCH(QString, underWay);
        QFETCH(int, percent);
        QFETCH(int, reads);
        QFETCH(bool, waits);
        Gate gate;
        gate.batteries.setMouse(percent, false);
        QSignalSpy ready(gate.delegate.get(), &AppDelegate::readyToTerminate);
        if (underWay == "test card") {
            gate.clickSettingsRow("testReminderRow");
        }
        gate.inhibitor.announced = underWay == "shutdown";
        gate.logins.closing = underWay == "closing";
        reads += gate.batteries.reads;
        if (request == "signal") {
            gate.delegate->terminationSignalled();
        } else if (request == "stop") {
            emit gate.sessionManager.stopRequested();
        } else {
            QEvent quit(QEvent::Quit);
            QCoreApplication::sendEvent(QCoreApplication::instance(), &quit);
        }
        QCOMPARE(gate.batteries.reads, reads);
        QCOMPARE(gate.delegate->terminationPending(), waits);
        Gate::settle();
        QCOMPARE(ready.count(), waits ? 0 : 1);
        QCOMPARE(gate.sessionManager.answers, ready.count());
        gate.clock.advance(4s), Gate::settle();
        QCOMPARE(ready.count(), 1);
        QCOMPARE(gate.sessionManager.answers, 1);
        QVERIFY(!gate.inhibitor.held);
    }

    // A log-out through the session manager waits for the card, not for the agent's end: it may
    // still be called off, so the agent and its lock stay until the session manager says stop.
    void endSessionWaitsForTheCardOnly_data()
    {
        QTest::addColumn<int>("percent");
        QTest::addColumn<bool>("card");
        QTest::newRow("low") << 8 << true;
        QTest::newRow("fine") << 80 << false;
    }
    void endSessionWaitsForTheCardOnly()
    {
        QFETCH(int, percent);
        QFETCH(bool, card);
        Gate gate;
        gate.batteries.setMouse(percent, false);
        QSignalSpy ready(gate.delegate.get(), &AppDelegate::readyToTerminate);
        emit gate.sessionManager.endSessionRequested();
        QCOMPARE(gate.cardVisible(), card);
        QCOMPARE(gate.sessionManager.answers, card ? 0 : 1);
        gate.clock.advance(4s), Gate::settle();
        QCOMPARE(gate.sessionManager.answers, 1);
        QCOMPARE(ready.count(), 0);
        QVERIFY(gate.inhibitor.held);
        emit gate.sessionManager.stopRequested();
        QCOMPARE(ready.count(), 1);
    }

    void cardGoesBeforeTheHoldLimit_data()
    {
        QTest::addColumn<int>("limitMs");
        QTest::addColumn<bool>("calledOff");
        QTest::addColumn<int>("goneAtMs");
        QTest::newRow("logind's 5 s: the card's own 4 s come first") << 5000 << false << 4000;
        QTest::newRow("2 s") << 2000 << false << 1500;
        QTest::newRow("within the margin") << 300 << false << 0;
        QTest::newRow("2 s, called off: full time, lock kept") << 2000 << true << 4000;
    }
    void cardGoesBeforeTheHoldLimit()
    {
        QFETCH(int, limitMs);
        QFETCH(bool, calledOff);
        QFETCH(int, goneAtMs);
        Gate gate;
        gate.inhibitor.limit = std::chrono::milliseconds(limitMs);
        gate.inhibitor.announce();
        if (calledOff) {
            gate.inhibitor.cancel();
        }
        int elapsedMs = 0;
        for (gate.clock.advance(0ms), Gate::settle(); gate.cardVisible() && elapsedMs < 9000;
             elapsedMs += 100) {
            gate.clock.advance(100ms), Gate::settle();
        }
        QCOMPARE(elapsedMs, goneAtMs);
        QCOMPARE(gate.inhibitor.held, calledOff);
    }
};

QTEST_MAIN(TestGate)
#include "test_gate.moc"
