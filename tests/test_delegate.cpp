#include "AgentFixture.h"
#include "ReminderWindow_p.h"

using namespace std::chrono_literals;

namespace {

// The levels of the reminder cards on screen.
QList<qint64> shownCards()
{
    QList<qint64> levels;
    for (const QWidget* window : QApplication::topLevelWidgets()) {
        if (const auto* card = window->findChild<ReminderCard*>(); card && window->isVisible()) {
            levels << card->percent();
        }
    }
    return levels;
}

} // namespace

class TestDelegate : public QObject {
    Q_OBJECT
private slots:
    void launchAtLogin_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<std::optional<qint64>>("secondsSinceLogin");
        QTest::addColumn<bool>("atLogin");
        const QStringList byHand{"nightwick"};
        const std::optional<qint64> none;
        QTest::newRow("autostart entry") << autostart << none << true;
        QTest::newRow("program named like the flag") << QStringList{"--autostart"} << none << false;
        QTest::newRow("by hand, no login recorded") << byHand << none << false;
        QTest::newRow("119 s after login") << byHand << std::optional(119LL) << true;
        QTest::newRow("120 s after login") << byHand << std::optional(120LL) << false;
        QTest::newRow("login in the future") << byHand << std::optional(-30LL) << true;
    }
    void launchAtLogin()
    {
        QFETCH(QStringList, arguments);
        QFETCH(std::optional<qint64>, secondsSinceLogin);
        QFETCH(bool, atLogin);
        FakeLogins logins;
        if (secondsSinceLogin) {
            logins.newest = fixtureStart.toSecsSinceEpoch() - *secondsSinceLogin;
        }
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

    // The last reading whatever the threshold; a card already up stays, and so does the gate's
    // bookkeeping.
    void testReminder_data()
    {
        QTest::addColumn<bool>("seen");
        QTest::addColumn<int>("percent");
        QTest::addColumn<bool>("charging");
        QTest::addColumn<bool>("shutdownCard");
        QTest::addColumn<qint64>("shown");
        QTest::newRow("no reading") << false << 0 << false << false << qint64(5);
        QTest::newRow("well above the threshold") << true << 80 << false << false << qint64(80);
        QTest::newRow("charging") << true << 3 << true << false << qint64(3);
        QTest::newRow("shutdown card up") << true << 8 << false << true << qint64(8);
    }
    void testReminder()
    {
        QFETCH(bool, seen);
        QFETCH(int, percent);
        QFETCH(bool, charging);
        QFETCH(bool, shutdownCard);
        QFETCH(qint64, shown);
        Gate agent(false);
        if (seen) {
            agent.batteries.setMouse(percent, charging);
        }
        if (shutdownCard) {
            agent.inhibitor.announce();
            agent.batteries.setMouse(50, false); // what a second card would show
        }
        const std::optional<QDateTime> started = agent.delegate->reminderStartedAt();
        agent.clickSettingsRow("testReminderRow");
        QCOMPARE(shownCards(), QList<qint64>{shown});
        QCOMPARE(agent.delegate->reminderStartedAt(), started);
        agent.dismissCard();
        QCOMPARE(agent.inhibitor.held, !shutdownCard);
    }
};

QTEST_MAIN(TestDelegate)
#include "test_delegate.moc"
