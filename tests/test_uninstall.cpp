#include "AgentFixture.h"
#include "platform/FreedesktopTrash.h"
#include "platform/IniSettingsStore.h"
#include "platform/XdgAutostartLoginItem.h"

#include <QSignalSpy>
#include <QTemporaryDir>

// The agent on the real files of a home folder of its own: settings, autostart entry, Trash.
// A program installed outside that home is never written, only named.
struct InstalledAgent : Gate {
    explicit InstalledAgent(const QString& installedAt)
        : Gate(false, {})
        , programFile(QDir(home.path()).filePath(installedAt))
    {
        qputenv("XDG_DATA_HOME", home.filePath("data").toLocal8Bit());
        program = programFile;
        if (programFile.startsWith(home.path())) {
            QDir().mkpath(QFileInfo(programFile).path());
            QFile file(programFile);
            QVERIFY(file.open(QIODevice::WriteOnly) && file.write("#!/bin/sh\n") > 0);
        }
        store = &ini, loginItem = &entry, trash = &freedesktop;
    }
    ~InstalledAgent() { delegate.reset(); }

    QTemporaryDir home;
    QString programFile;
    QString settingsFile = home.filePath("config/nightwick/nightwick.conf");
    QString entryFile = home.filePath("config/autostart/nightwick.desktop");
    IniSettingsStore ini{settingsFile};
    XdgAutostartLoginItem entry{entryFile, programFile};
    FreedesktopTrash freedesktop;
};

class TestUninstall : public QObject {
    Q_OBJECT
private slots:
    void uninstall_data()
    {
        QTest::addColumn<QString>("installedAt"); // within the home folder unless absolute
        QTest::addColumn<bool>("programThere");
        QTest::addColumn<bool>("cardUp");
        QTest::addColumn<int>("clicks");
        const QString byHand = "Applications/nightwick";
        QTest::newRow("succeeds") << byHand << true << false << 2;
        // Clicked again while the card holds the quit back: nothing comes back.
        QTest::newRow("succeeds, quits once the card goes") << byHand << true << true << 4;
        QTest::newRow("fails: the program file is gone") << byHand << false << false << 2;
        // Only the package manager removes the program; the rest goes, with a word on how.
        QTest::newRow("packaged: stays, tells how") << "/usr/bin/nightwick" << true << false << 2;
    }
    void uninstall()
    {
        QFETCH(QString, installedAt);
        QFETCH(bool, programThere);
        QFETCH(bool, cardUp);
        QFETCH(int, clicks);
        const bool packaged = installedAt.startsWith('/');
        InstalledAgent agent(installedAt);
        agent.batteries.setMouse(30, false);
        agent.launch();
        QVERIFY2(QFile::exists(agent.entryFile),
                 "a first launch from an install location opens at login");
        agent.delegate->model().setThreshold(15);
        if (!programThere) {
            QFile::remove(agent.programFile);
        }
        QSignalSpy quits(agent.delegate.get(), &AppDelegate::readyToTerminate);
        if (cardUp) {
            agent.clickSettingsRow("testReminderRow");
        }
        agent.clickSettingsRow("uninstallRow", clicks);
        QCOMPARE(QDir(agent.home.filePath("data/Trash/files")).entryList(QDir::Files),
                 programThere && !packaged ? QStringList{"nightwick"} : QStringList());
        QCOMPARE(QFile::exists(agent.settingsFile), !programThere);
        QCOMPARE(QFile::exists(agent.entryFile), !programThere);
        QCOMPARE(quits.count(), programThere && !cardUp ? 1 : 0);
        agent.dismissCard();
        QCOMPARE(quits.count(), programThere ? 1 : 0);
        QCOMPARE(agent.alerts.shown.size(), programThere && !packaged ? 0 : 1);
        if (packaged) {
            QVERIFY2(agent.alerts.shown.first().contains("sudo apt remove nightwick"),
                     qPrintable(agent.alerts.shown.first()));
        }
        if (!programThere) {
            QVERIFY2(agent.alerts.shown.first().contains(agent.programFile),
                     qPrintable(agent.alerts.shown.first()));
            QVERIFY(agent.delegate->model().opensAtLogin());
            QCOMPARE(agent.store->integer("threshold"), 15);
            QCOMPARE(agent.store->integer("lastPercent"), 30);
        }
    }
};

QTEST_MAIN(TestUninstall)
#include "test_uninstall.moc"
