#include "AppDelegate.h"

#include "AgentFixture.h"
#include "ReminderWindow_p.h"
#include "SettingsWindow.h"

#include <QSignalSpy>
#include <QTest>

using namespace std::chrono_literals;

namespace {

class FixedConsoleLogins final : public ConsoleLogins {
public:
    explicit FixedConsoleLogins(std::optional<qint64> newest)
        : m_newest(newest)
    {
    }
    std::optional<qint64> newestLogin() override { return m_newest; }

private:
    std::optional<qint64> m_newest;
};

const QStringList byHand{"nightwick"};

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
    void launchAtLogin_data();
    void launchAtLogin();
    void consoleLoginAge();
    void pollsEveryTenMinutes();
    void settingsWindowOpensOnlyAtALaunchByHand();
    void reopenShowsTheSettingsWindow();
    void testReminder_data();
    void testReminder();
    void testReminderWhileACardIsUp();
    void failedUninstallShowsTheErrorAndKeepsRunning();
    void windowSystemQuitGoesThroughTheGate_data();
    void windowSystemQuitGoesThroughTheGate();
    void uninstallQuitsOnceNoCardHoldsItBack_data();
    void uninstallQuitsOnceNoCardHoldsItBack();
};

void TestDelegate::launchAtLogin_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<std::optional<double>>("age");
    QTest::addColumn<bool>("atLogin");

    const std::optional<double> noLogin;
    QTest::newRow("autostart entry") << QStringList{"nightwick", "--autostart"} << noLogin << true;
    QTest::newRow("autostart among others")
        << QStringList{"nightwick", "-style", "fusion", "--autostart"} << std::optional(500.0)
        << true;
    QTest::newRow("program named like the flag") << QStringList{"--autostart"} << noLogin << false;
    QTest::newRow("by hand, no login recorded") << byHand << noLogin << false;
    QTest::newRow("119 s after login") << byHand << std::optional(119.0) << true;
    QTest::newRow("120 s after login") << byHand << std::optional(120.0) << false;
    QTest::newRow("login in the future") << byHand << std::optional(-30.0) << true;
}

void TestDelegate::launchAtLogin()
{
    QFETCH(QStringList, arguments);
    QFETCH(std::optional<double>, age);
    QFETCH(bool, atLogin);
    QCOMPARE(AppDelegate::isLaunchAtLogin(arguments, age), atLogin);
}

void TestDelegate::consoleLoginAge()
{
    const QDateTime now = fixtureStart.addMSecs(250);
    FixedConsoleLogins none(std::nullopt);
    QCOMPARE(AppDelegate::secondsSinceConsoleLogin(none, now), std::nullopt);
    FixedConsoleLogins recent(fixtureStart.toSecsSinceEpoch() - 119);
    QCOMPARE(AppDelegate::secondsSinceConsoleLogin(recent, now), std::optional(119.25));
}

void TestDelegate::pollsEveryTenMinutes()
{
    Gate agent;
    const Timer* poll = agent.delegate->pollTimer();
    QVERIFY(poll && poll->isActive());
    QCOMPARE(poll->interval(), 600s);

    const int readsAtLaunch = agent.batteries.reads;
    agent.clock.advance(599s);
    QCOMPARE(agent.batteries.reads, readsAtLaunch);
    agent.batteries.setMouse(42, true);
    agent.clock.advance(1s);
    QCOMPARE(agent.batteries.reads, readsAtLaunch + 1);
    QCOMPARE(agent.delegate->model().battery(), std::optional(MouseBattery{42, true}));
    agent.clock.advance(1200s);
    QCOMPARE(agent.batteries.reads, readsAtLaunch + 3);
}

void TestDelegate::settingsWindowOpensOnlyAtALaunchByHand()
{
    Gate atLogin;
    QVERIFY2(!QApplication::activeWindow() && QApplication::topLevelWidgets().isEmpty(),
             "a launch at login stays silent");
    QVERIFY2(atLogin.inhibitor.held, "and still guards shutdowns");

    Gate byHandAgent(true, byHand);
    QWidget* window = byHandAgent.delegate->settings().window();
    QVERIFY(window);
    QVERIFY(window->isVisible());
}

void TestDelegate::reopenShowsTheSettingsWindow()
{
    Gate agent;
    const int reads = agent.batteries.reads;
    agent.delegate->applicationShouldHandleReopen();
    QWidget* window = agent.delegate->settings().window();
    QVERIFY(window && window->isVisible());
    window->close();
    agent.delegate->applicationShouldHandleReopen();
    QCOMPARE(agent.delegate->settings().window(), window);
    QVERIFY(window->isVisible());
    QCOMPARE(agent.batteries.reads, reads + 2);
}

void TestDelegate::testReminder_data()
{
    QTest::addColumn<bool>("seen");
    QTest::addColumn<qint64>("percent");
    QTest::addColumn<bool>("charging");
    QTest::addColumn<qint64>("shown");

    QTest::newRow("no reading") << false << qint64(0) << false << qint64(5);
    QTest::newRow("well above the threshold") << true << qint64(80) << false << qint64(80);
    QTest::newRow("charging") << true << qint64(3) << true << qint64(3);
    QTest::newRow("zero") << true << qint64(0) << false << qint64(0);
}

void TestDelegate::testReminder()
{
    QFETCH(bool, seen);
    QFETCH(qint64, percent);
    QFETCH(bool, charging);
    QFETCH(qint64, shown);

    Gate agent(false);
    if (seen) {
        agent.batteries.setMouse(percent, charging);
    }
    agent.delegate->settings().show();
    QWidget* window = agent.delegate->settings().window();
    auto* row = window->findChild<QWidget*>(QStringLiteral("testReminderRow"));
    QVERIFY(row);
    QTest::mouseClick(row, Qt::LeftButton, {}, QPoint(2, row->height() / 2));
    QVERIFY(agent.cardVisible());
    QCOMPARE(shownCards(), QList<qint64>{shown});
    QVERIFY2(!agent.delegate->reminderStartedAt(), "a test card is not a shutdown reminder");
    agent.dismissCard();
}

void TestDelegate::testReminderWhileACardIsUp()
{
    Gate agent;
    agent.inhibitor.announce();
    QVERIFY(agent.cardVisible());
    const QDateTime started = *agent.delegate->reminderStartedAt();
    agent.delegate->settings().show();
    auto* row = agent.delegate->settings().window()->findChild<QWidget*>("testReminderRow");
    QTest::mouseClick(row, Qt::LeftButton, {}, QPoint(2, row->height() / 2));
    QCOMPARE(shownCards(), QList<qint64>{8});
    QCOMPARE(*agent.delegate->reminderStartedAt(), started);
    // Dismissing the one card answers the shutdown it was shown for.
    agent.dismissCard();
    QVERIFY(!agent.inhibitor.held);
}

void TestDelegate::failedUninstallShowsTheErrorAndKeepsRunning()
{
    Gate agent;
    agent.loginItem.enabled = true;
    agent.delegate->model().refresh();
    agent.trash.failure = QStringLiteral("Could not move /opt/Applications/nightwick to the Trash");
    QSignalSpy quits(agent.delegate.get(), &AppDelegate::readyToTerminate);

    agent.delegate->settings().show();
    auto* row = agent.delegate->settings().window()->findChild<QWidget*>("uninstallRow");
    for (int click = 0; click < 2; ++click) {
        QTest::mouseClick(row, Qt::LeftButton, {}, QPoint(2, row->height() / 2));
    }
    QCOMPARE(agent.alerts.shown, QStringList{agent.trash.failure});
    QCOMPARE(quits.count(), 0);
    QVERIFY2(agent.loginItem.enabled, "open at login is put back");
    QVERIFY(agent.store.values.contains("lastPercent"));
}

void TestDelegate::windowSystemQuitGoesThroughTheGate_data()
{
    QTest::addColumn<qint64>("percent");
    QTest::addColumn<int>("quitsBeforeDismissal");
    QTest::newRow("low mouse: card first") << qint64(8) << 0;
    QTest::newRow("mouse fine: at once") << qint64(60) << 1;
}

void TestDelegate::windowSystemQuitGoesThroughTheGate()
{
    QFETCH(qint64, percent);
    QFETCH(int, quitsBeforeDismissal);
    Gate agent;
    agent.batteries.setMouse(percent, false);
    QSignalSpy quits(agent.delegate.get(), &AppDelegate::readyToTerminate);
    // What the X11 session manager's "die" turns into.
    QEvent quit(QEvent::Quit);
    QCoreApplication::sendEvent(QCoreApplication::instance(), &quit);
    QCOMPARE(quits.count(), quitsBeforeDismissal);
    QCOMPARE(agent.cardVisible(), quitsBeforeDismissal == 0);
    agent.dismissCard();
    QCOMPARE(quits.count(), 1);
}

void TestDelegate::uninstallQuitsOnceNoCardHoldsItBack_data()
{
    QTest::addColumn<bool>("cardUp");
    QTest::newRow("no card") << false;
    QTest::newRow("card on screen") << true;
}

void TestDelegate::uninstallQuitsOnceNoCardHoldsItBack()
{
    QFETCH(bool, cardUp);
    Gate agent;
    QSignalSpy quits(agent.delegate.get(), &AppDelegate::readyToTerminate);
    agent.delegate->settings().show();
    QWidget* window = agent.delegate->settings().window();
    if (cardUp) {
        auto* test = window->findChild<QWidget*>("testReminderRow");
        QTest::mouseClick(test, Qt::LeftButton, {}, QPoint(2, test->height() / 2));
        QVERIFY(agent.cardVisible());
    }
    auto* row = window->findChild<QWidget*>("uninstallRow");
    for (int click = 0; click < 2; ++click) {
        QTest::mouseClick(row, Qt::LeftButton, {}, QPoint(2, row->height() / 2));
    }
    QCOMPARE(agent.trash.trashed.size(), 1);
    QVERIFY(agent.store.values.isEmpty());
    QCOMPARE(quits.count(), cardUp ? 0 : 1);
    if (cardUp) {
        agent.dismissCard();
        QCOMPARE(quits.count(), 1);
    }
}

QTEST_MAIN(TestDelegate)
#include "test_delegate.moc"
