#include "AppDelegate.h"

#include "AgentFixture.h"
#include "platform/FreedesktopTrash.h"
#include "platform/IniSettingsStore.h"
#include "platform/XdgAutostartLoginItem.h"

#include <QDir>
#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

namespace {

// The agent on the real files of a home folder of its own: settings, autostart entry, Trash.
struct InstalledAgent {
    InstalledAgent()
    {
        qputenv("XDG_DATA_HOME", home.filePath("data").toLocal8Bit());
        QDir().mkpath(home.filePath("Applications"));
        QFile program(programFile);
        program.open(QIODevice::WriteOnly);
        program.write("#!/bin/sh\n");
    }

    void launch()
    {
        delegate = std::make_unique<AppDelegate>(
            AppDelegate::Services{{batteries, store, loginItem, trash, alerts, clock, programFile},
                                  logins,
                                  inhibitor,
                                  session,
                                  nullptr});
        delegate->applicationDidFinishLaunching({"nightwick", "--autostart"});
    }

    void clickUninstallTwice()
    {
        delegate->settings().show();
        auto* row = delegate->settings().window()->findChild<QWidget*>("uninstallRow");
        QVERIFY(row);
        for (int click = 0; click < 2; ++click) {
            QTest::mouseClick(row, Qt::LeftButton, {}, QPoint(2, row->height() / 2));
        }
    }

    QStringList trashedNames() const
    {
        return QDir(home.filePath("data/Trash/files")).entryList(QDir::Files);
    }

    QTemporaryDir home;
    QString programFile = home.filePath("Applications/nightwick");
    QString settingsFile = home.filePath("config/nightwick/nightwick.conf");
    QString entryFile = home.filePath("config/autostart/nightwick.desktop");
    FakeBatteryServices batteries;
    IniSettingsStore store{settingsFile};
    XdgAutostartLoginItem loginItem{entryFile, programFile};
    FreedesktopTrash trash;
    FakeAlerts alerts;
    FakeClock clock{fixtureStart};
    NoConsoleLogins logins;
    FakeShutdownInhibitor inhibitor;
    FakeLoginSession session;
    std::unique_ptr<AppDelegate> delegate;
};

} // namespace

class TestUninstall : public QObject {
    Q_OBJECT

private slots:
    void firstLaunchFromApplicationsOpensAtLogin();
    void uninstallRemovesEverything();
    void failedUninstallKeepsEverything();
};

void TestUninstall::firstLaunchFromApplicationsOpensAtLogin()
{
    InstalledAgent agent;
    agent.launch();
    QVERIFY(QFile::exists(agent.entryFile));
    QVERIFY(agent.delegate->model().opensAtLogin());
    QVERIFY(agent.store.boolean("loginItemConfigured"));
}

void TestUninstall::uninstallRemovesEverything()
{
    InstalledAgent agent;
    agent.batteries.setMouse(30, false);
    agent.launch();
    agent.delegate->model().setThreshold(15);
    QSignalSpy quits(agent.delegate.get(), &AppDelegate::readyToTerminate);

    agent.clickUninstallTwice();
    QCOMPARE(agent.alerts.shown, QStringList{});
    QCOMPARE(agent.trashedNames(), QStringList{"nightwick"});
    QVERIFY(!QFile::exists(agent.programFile));
    QVERIFY(!QFile::exists(agent.settingsFile));
    QVERIFY(!QFile::exists(agent.entryFile));
    QCOMPARE(quits.count(), 1);

    // A fresh copy starts over: default threshold, and it registers itself again.
    QFile::copy(agent.home.filePath("data/Trash/files/nightwick"), agent.programFile);
    agent.delegate.reset();
    agent.launch();
    QCOMPARE(agent.delegate->model().threshold(), 10);
    QVERIFY(QFile::exists(agent.entryFile));
}

void TestUninstall::failedUninstallKeepsEverything()
{
    InstalledAgent agent;
    agent.batteries.setMouse(30, false);
    agent.launch();
    agent.delegate->model().setThreshold(15);
    // The program file is gone already: the move to the Trash fails with the system's reason.
    QFile::remove(agent.programFile);
    QSignalSpy quits(agent.delegate.get(), &AppDelegate::readyToTerminate);

    agent.clickUninstallTwice();
    QCOMPARE(agent.alerts.shown.size(), 1);
    QVERIFY2(agent.alerts.shown.first().contains(agent.programFile),
             qPrintable(agent.alerts.shown.first()));
    QCOMPARE(quits.count(), 0);
    QVERIFY2(QFile::exists(agent.entryFile), "open at login was on, so its entry is back");
    QVERIFY(agent.delegate->model().opensAtLogin());
    QCOMPARE(agent.store.integer("threshold"), 15);
    QCOMPARE(agent.store.integer("lastPercent"), 30);
}

QTEST_MAIN(TestUninstall)
#include "test_uninstall.moc"
