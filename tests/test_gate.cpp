#include "Fakes.h"
#include "ReminderWindow_p.h"

#include <QSignalSpy>

using namespace std::chrono_literals;

class TestGate : public QObject {
    Q_OBJECT
private slots:
    // Every way a shutdown, a log-out or a quit reaches the gate, followed on the fake clock for
    // 6 s: whether a card is shown (and counts against the 30-s spacing), and when the card goes,
    // the agent may end, the session manager is answered and logind's lock is let go (-1: not in
    // those 6 s). The mouse is at 8 % and the threshold 10 unless a row says otherwise.
    void shutdownRules_data()
    {
        QTest::addColumn<QString>("request");
        QTest::addColumn<int>("percent");
        QTest::addColumn<bool>("charging");
        QTest::addColumn<std::optional<int>>("secondsAfterACard");
        QTest::addColumn<int>("limitMs"); // logind's InhibitDelayMaxUSec
        QTest::addColumn<bool>("counted");
        QTest::addColumn<QList<int>>("cardGoneReadyAnsweredLetGo");
        const std::optional<int> first;
        const QString off = "power-off", signal = "signal";
        const auto row = [&](const char* name, const QString& request, int percent, bool charging,
                             std::optional<int> after, int limitMs, bool counted, QList<int> at) {
            QTest::newRow(name) << request << percent << charging << after << limitMs << counted
                                << at;
        };
        row("low, discharging", off, 8, false, first, 5000, true, {4000, -1, -1, 4000});
        row("at the threshold", off, 10, false, first, 5000, true, {4000, -1, -1, 4000});
        row("one above", off, 11, false, first, 5000, false, {0, -1, -1, 0});
        row("low, charging", off, 3, true, first, 5000, false, {0, -1, -1, 0});
        row("29 s after a card", off, 8, false, 29, 5000, false, {0, -1, -1, 0});
        row("exactly 30 s after", off, 8, false, 30, 5000, true, {4000, -1, -1, 4000});
        row("clock set back 10 s", off, 8, false, -10, 5000, false, {0, -1, -1, 0});
        row("logind's 2 s: the card goes first", off, 8, false, first, 2000, true,
            {1500, -1, -1, 1500});
        row("limit within the margin", off, 8, false, first, 300, true, {0, -1, -1, 0});
        row("called off: full time, lock kept", "called off", 8, false, first, 2000, true,
            {4000, -1, -1, -1});
        row("signal, nothing under way", signal, 8, false, first, 5000, false, {0, 0, 0, 0});
        row("signal in a shutdown", "signal in a shutdown", 8, false, first, 5000, true,
            {4000, 4000, 4000, 4000});
        row("signal as the session closes", "signal, closing", 8, false, first, 5000, true,
            {4000, 4000, 4000, 4000});
        row("signal, test card up", "signal, test card", 80, false, first, 5000, false,
            {4000, 4000, 4000, 4000});
        row("session manager's stop", "stop", 8, false, first, 5000, false, {0, 0, 0, 0});
        row("window system's quit, low", "quit event", 8, false, first, 5000, true,
            {4000, 4000, 4000, 4000});
        // A log-out may yet be called off: it waits for the card, not the agent's end.
        row("end session, low", "end session", 8, false, first, 5000, true, {4000, -1, 4000, -1});
        row("end session, fine", "end session", 80, false, first, 5000, false, {0, -1, 0, -1});
    }
    void shutdownRules()
    {
        QFETCH(QString, request);
        QFETCH(int, percent);
        QFETCH(bool, charging);
        QFETCH(std::optional<int>, secondsAfterACard);
        QFETCH(int, limitMs);
        QFETCH(bool, counted);
        QFETCH(QList<int>, cardGoneReadyAnsweredLetGo);
        Gate gate;
        gate.inhibitor.limit = std::chrono::milliseconds(limitMs);
        if (secondsAfterACard) {
            gate.inhibitor.announce();
            gate.dismissCard();
            gate.inhibitor.cancel();
            gate.clock.setNow(fixtureStart.addSecs(*secondsAfterACard));
        }
        gate.batteries.setMouse(percent, charging);
        const std::optional<QDateTime> earlier = gate.delegate->reminderStartedAt();
        QSignalSpy ready(gate.delegate.get(), &AppDelegate::readyToTerminate);
        gate.inhibitor.announced = request == "signal in a shutdown";
        gate.logins.closing = request == "signal, closing";
        if (request == "power-off" || request == "called off") {
            gate.inhibitor.announce();
            if (request == "called off")
                gate.inhibitor.cancel();
        } else if (request.startsWith("signal")) {
            if (request == "signal, test card")
                gate.clickSettingsRow("testReminderRow");
            gate.delegate->terminationSignalled();
        } else if (request == "stop") {
            emit gate.sessionManager.stopRequested();
        } else if (request == "end session") {
            emit gate.sessionManager.endSessionRequested();
        } else {
            QEvent quit(QEvent::Quit);
            QCoreApplication::sendEvent(QCoreApplication::instance(), &quit);
        }
        QCOMPARE(gate.delegate->reminderStartedAt(), counted ? gate.clock.now() : earlier);
        QList<int> seen{-1, -1, -1, -1};
        for (int ms = 0; ms <= 6000; ms += 100) {
            gate.clock.advance(ms ? 100ms : 0ms), Gate::settle();
            const bool now[] = {!gate.cardVisible(), !ready.isEmpty(),
                                gate.sessionManager.answers > 0, !gate.inhibitor.held};
            for (int i = 0; i < 4; ++i)
                seen[i] = seen[i] < 0 && now[i] ? ms : seen[i];
        }
        QCOMPARE(seen, cardGoneReadyAnsweredLetGo);
        QCOMPARE(ready.count(), seen[1] < 0 ? 0 : 1);
        QCOMPARE(gate.sessionManager.answers, seen[2] < 0 ? 0 : 1);
    }

    // At login: from the autostart entry, or by hand within 2 minutes of the newest login.
    void launchAtLogin_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<int>("secondsSinceLogin"); // -1: no login recorded
        QTest::addColumn<bool>("atLogin");
        const QStringList byHand{"nightwick"};
        QTest::newRow("autostart entry") << autostart << -1 << true;
        QTest::newRow("program named like the flag") << QStringList{"--autostart"} << -1 << false;
        QTest::newRow("by hand, no login recorded") << byHand << -1 << false;
        QTest::newRow("119 s after login") << byHand << 119 << true;
        QTest::newRow("120 s after login") << byHand << 120 << false;
        QTest::newRow("login in the future") << byHand << -30 << true;
    }
    void launchAtLogin()
    {
        QFETCH(QStringList, arguments);
        QFETCH(int, secondsSinceLogin);
        QFETCH(bool, atLogin);
        FakeLogins logins;
        if (secondsSinceLogin != -1)
            logins.newest = fixtureStart.toSecsSinceEpoch() - secondsSinceLogin;
        const auto age = AppDelegate::secondsSinceConsoleLogin(logins, fixtureStart);
        QCOMPARE(AppDelegate::isLaunchAtLogin(arguments, age), atLogin);
    }

    void pollsEveryTenMinutes()
    {
        Gate agent;
        const int readsAtLaunch = agent.batteries.reads;
        agent.clock.advance(599s);
        QCOMPARE(agent.batteries.reads, readsAtLaunch);
        agent.batteries.setMouse(42, true);
        agent.clock.advance(1s);
        QCOMPARE(agent.delegate->model().battery(), std::optional(MouseBattery{42, true}));
        agent.clock.advance(1200s);
        QCOMPARE(agent.batteries.reads, readsAtLaunch + 3);
    }

    void settingsWindowAtALaunchByHandAndOnReopen()
    {
        {
            Gate atLogin;
            QVERIFY2(QApplication::topLevelWidgets().isEmpty(), "a launch at login stays silent");
        }
        Gate agent(true, {"nightwick"});
        QWidget* window = agent.delegate->settings().window();
        QVERIFY(window && window->isVisible());
        window->close();
        const int reads = agent.batteries.reads;
        agent.delegate->applicationShouldHandleReopen();
        QCOMPARE(agent.delegate->settings().window(), window);
        QVERIFY(window->isVisible());
        QCOMPARE(agent.batteries.reads, reads + 1);
    }

    // The last reading whatever the threshold; a card already up stays, and so do the gate's
    // spacing and lock.
    void testReminder_data()
    {
        QTest::addColumn<int>("percent"); // -1: no reading
        QTest::addColumn<bool>("charging");
        QTest::addColumn<bool>("shutdownCard");
        QTest::addColumn<qint64>("shown");
        QTest::newRow("no reading") << -1 << false << false << qint64(5);
        QTest::newRow("well above the threshold") << 80 << false << false << qint64(80);
        QTest::newRow("charging") << 3 << true << false << qint64(3);
        QTest::newRow("shutdown card up") << 8 << false << true << qint64(8);
    }
    void testReminder()
    {
        QFETCH(int, percent);
        QFETCH(bool, charging);
        QFETCH(bool, shutdownCard);
        QFETCH(qint64, shown);
        Gate agent(false);
        if (percent >= 0)
            agent.batteries.setMouse(percent, charging);
        if (shutdownCard) {
            agent.inhibitor.announce();
            agent.batteries.setMouse(50, false); // what a second card would show
        }
        const std::optional<QDateTime> started = agent.delegate->reminderStartedAt();
        agent.clickSettingsRow("testReminderRow");
        QList<qint64> cards;
        for (const QWidget* window : QApplication::topLevelWidgets()) {
            if (const auto* card = window->findChild<ReminderCard*>(); card && window->isVisible())
                cards << card->percent();
        }
        QCOMPARE(cards, QList<qint64>{shown});
        QCOMPARE(agent.delegate->reminderStartedAt(), started);
        agent.dismissCard();
        QCOMPARE(agent.inhibitor.held, !shutdownCard);
    }
};

QTEST_MAIN(TestGate)
#include "test_gate.moc"
