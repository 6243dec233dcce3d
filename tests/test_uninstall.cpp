#include "Fakes.h"
#include "platform/desktop/ProgramLocation.h"
#include "platform/files/FreedesktopTrash.h"
#include "platform/files/IniSettingsStore.h"
#include "platform/files/XdgAutostartLoginItem.h"

#include <QScopeGuard>
#include <QSignalSpy>
#include <QTemporaryDir>

#include <cerrno>
#include <cstring>
#include <sched.h>
#include <sys/mount.h>

// The agent on the real files of a home folder of its own: settings, autostart entry, Trash.
// A program installed outside that home is never written, only named.
struct InstalledAgent : Gate {
    explicit InstalledAgent(const QString& where, const QString& image = {})
        : Gate(false, {})
        , programFile(ProgramLocation::programFile(image, {}, QDir(home.path()).filePath(where)))
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
    // The alerts shown so far: this many, the last with these words.
    bool alerted(int count, const QString& words) const
    {
        return alerts.shown.size() == count && (!count || alerts.shown.last().contains(words));
    }

    QTemporaryDir home;
    QString programFile;
    QString settingsFile = home.filePath("config/nightwick/nightwick.conf");
    QString entryFile = home.filePath("config/autostart/nightwick.desktop");
    IniSettingsStore ini{settingsFile};
    XdgAutostartLoginItem entry{entryFile, programFile};
    FreedesktopTrash freedesktop;
};

namespace {

bool mountsOwnFaults = false; // the disk's faults are mounts (see main)
enum class Fault { ReadOnly, Full, Folders, DanglingLinks, NoTrash };

QString words(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

QByteArray contents(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

} // namespace

Q_DECLARE_METATYPE(Fault)

class TestUninstall : public QObject {
    Q_OBJECT
private slots:
    // A failed uninstall changes nothing: what it took away (the login entry, the settings, as
    // they were) comes back, and the agent runs on.
    void uninstall_data()
    {
        QTest::addColumn<QString>("installedAt"); // within the home folder unless absolute
        QTest::addColumn<QString>("appImage");    // $APPIMAGE, as inherited
        QTest::addColumn<bool>("cardUp");         // clicked again while the card holds the quit
        QTest::addColumn<QString>("broken");      // what is gone wrong before the clicks
        QTest::addColumn<QString>("says");        // in the one alert; none when empty
        const auto row = [](const char* name, QString at, QString image, bool card, QString broken,
                            QString says) {
            QTest::newRow(name) << at << image << card << broken << says;
        };
        const QString byHand = "Applications/nightwick";
        row("succeeds", byHand, "", false, "", "");
        row("succeeds, quits once the card goes", byHand, "", true, "", "");
        row("$APPIMAGE inherited", byHand, "/Applications/T", false, "", "");
        // Only the package manager removes the program; the rest goes, with a word on how.
        row("packaged: stays, tells how", "/usr/bin/nightwick", "", false, "",
            "sudo apt remove nightwick");
        row("fails: the program file is gone", byHand, "", false, "program", "does not exist");
        row("fails: the settings are a folder", byHand, "", false, "settings", words(EISDIR));
    }
    void uninstall()
    {
        QFETCH(QString, installedAt);
        QFETCH(QString, appImage);
        QFETCH(bool, cardUp);
        QFETCH(QString, broken);
        QFETCH(QString, says);
        const bool packaged = installedAt.startsWith('/'), fails = !broken.isEmpty();
        InstalledAgent agent(installedAt, appImage);
        agent.batteries.setMouse(30, false);
        agent.launch();
        QVERIFY2(QFile::exists(agent.entryFile), "a first launch from there opens at login");
        agent.delegate->model().setThreshold(15);
        const auto privately = QFile::ReadOwner | QFile::WriteOwner;
        QVERIFY(QFile::setPermissions(agent.settingsFile, privately));
        if (broken == "program")
            QVERIFY(QFile::remove(agent.programFile));
        if (broken == "settings")
            QVERIFY(QFile::remove(agent.settingsFile) && QDir().mkpath(agent.settingsFile + "/k"));
        QSignalSpy quits(agent.delegate.get(), &AppDelegate::readyToTerminate);
        if (cardUp)
            agent.clickSettingsRow("testReminderRow");
        agent.clickSettingsRow("uninstallRow", cardUp ? 4 : 2);
        QCOMPARE(QDir(agent.home.filePath("data/Trash/files")).entryList(QDir::Files),
                 fails || packaged ? QStringList() : QStringList{"nightwick"});
        QCOMPARE(QFile::exists(agent.settingsFile), fails);
        QCOMPARE(QFile::exists(agent.entryFile), fails);
        QVERIFY(!fails || agent.delegate->model().opensAtLogin());
        QCOMPARE(quits.count(), !fails && !cardUp ? 1 : 0);
        agent.dismissCard();
        QCOMPARE(quits.count(), fails ? 0 : 1);
        QVERIFY2(agent.alerted(says.isEmpty() ? 0 : 1, says),
                 qPrintable(agent.alerts.shown.join('|')));
        if (broken == "program") { // named, and the settings back as they were
            QVERIFY(agent.alerts.shown.first().contains(agent.programFile));
            QCOMPARE(QFile::permissions(agent.settingsFile),
                     privately | QFile::ReadUser | QFile::WriteUser);
            QCOMPARE(agent.store->integer("threshold"), 15);
            QCOMPARE(agent.store->integer("lastPercent"), 30);
        }
    }

    // The agent runs on and loses nothing it has; what the user asks for that cannot be done
    // fails with the system's words and changes nothing.
    void faultsOnTheDisk_data()
    {
        QTest::addColumn<Fault>("fault");
        QTest::addColumn<QString>("storeWords");     // storing a setting
        QTest::addColumn<QString>("loginWords");     // switching open at login; empty: it works
        QTest::addColumn<QString>("uninstallWords"); // empty: uninstalling works
        const QString readOnly = words(EROFS), folder = words(EISDIR), gone = words(ENOENT);
        QTest::newRow("config folder read-only")
            << Fault::ReadOnly << readOnly << readOnly << readOnly;
        QTest::newRow("disk full") << Fault::Full << words(ENOSPC) << words(ENOSPC) << "";
        QTest::newRow("settings and entry are folders")
            << Fault::Folders << folder << folder << folder;
        QTest::newRow("settings and entry are dangling links")
            << Fault::DanglingLinks << gone << gone << "";
        QTest::newRow("links, Trash a file") << Fault::NoTrash << gone << gone << words(ENOTDIR);
    }
    void faultsOnTheDisk()
    {
        QFETCH(Fault, fault);
        QFETCH(QString, storeWords);
        QFETCH(QString, loginWords);
        QFETCH(QString, uninstallWords);
        const bool mounts = fault == Fault::ReadOnly || fault == Fault::Full;
        if (mounts && !mountsOwnFaults)
            QSKIP("mounting needs root, in a mount namespace of the test's own (unshare)");
        InstalledAgent agent("Applications/nightwick");
        const QByteArray config = QFile::encodeName(agent.home.filePath("config"));
        const auto unmount = qScopeGuard([&] {
            if (mounts)
                ::umount2(config.constData(), MNT_DETACH);
        });
        if (fault == Fault::Full)
            QVERIFY(QDir().mkpath(config) &&
                    ::mount("tmpfs", config.constData(), "tmpfs", 0, "size=64k") == 0);
        agent.launch();
        QVERIFY(agent.delegate->model().opensAtLogin());
        if (fault == Fault::ReadOnly)
            QVERIFY(::mount(config, config, nullptr, MS_BIND, nullptr) == 0 &&
                    ::mount(nullptr, config, nullptr, MS_BIND | MS_REMOUNT | MS_RDONLY, nullptr) ==
                        0);
        for (const QString& file : {agent.settingsFile, agent.entryFile}) {
            if (fault == Fault::Folders)
                QVERIFY(QFile::remove(file) && QDir().mkpath(file + "/kept"));
            if (fault == Fault::DanglingLinks || fault == Fault::NoTrash)
                QVERIFY(QFile::remove(file) && QFile::link(agent.home.filePath("gone/x"), file));
        }
        if (fault == Fault::NoTrash)
            QVERIFY(QDir().mkpath(agent.home.filePath("data")) &&
                    QFile(agent.home.filePath("data/Trash")).open(QIODevice::WriteOnly));
        QFile filler(agent.home.filePath("config/filler"));
        QVERIFY(fault != Fault::Full || filler.open(QIODevice::WriteOnly));
        while (filler.isOpen() && filler.write(QByteArray(4096, 'x')) > 0 && filler.flush()) {
        }
        const QByteArray settings = contents(agent.settingsFile), entry = contents(agent.entryFile);
        const bool wasOn = agent.entry.isEnabled();
        AppModel& model = agent.delegate->model();
        const auto shown = [&] { return agent.alerts.shown.join('|').toLocal8Bit(); };

        model.setThreshold(15);
        QVERIFY2(agent.alerted(1, storeWords), shown().constData());
        QCOMPARE(contents(agent.settingsFile), settings);
        QCOMPARE(model.threshold(), 10);

        model.setOpensAtLogin(fault == Fault::Full || !wasOn);
        QCOMPARE(model.opensAtLogin(), loginWords.isEmpty() != wasOn);
        QVERIFY(loginWords.isEmpty() || contents(agent.entryFile) == entry);
        QVERIFY2(agent.alerted(loginWords.isEmpty() ? 1 : 2, loginWords), shown().constData());

        agent.alerts.shown.clear();
        const bool onBefore = model.opensAtLogin();
        agent.clickSettingsRow("uninstallRow", 2);
        QVERIFY2(agent.alerted(uninstallWords.isEmpty() ? 0 : 1, uninstallWords),
                 shown().constData());
        QCOMPARE(QFile::exists(agent.programFile), !uninstallWords.isEmpty());
        if (!uninstallWords.isEmpty()) {
            QCOMPARE(contents(agent.settingsFile), settings);
            QCOMPARE(agent.entry.isEnabled(), onBefore);
        }
    }
};

int main(int argc, char* argv[])
{
    // As root the faults are mounted in a mount namespace of the test's own, taken while it is
    // one thread; elsewhere the rows that mount skip.
    mountsOwnFaults = ::unshare(CLONE_NEWNS) == 0 &&
                      ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0;
    QApplication app(argc, argv);
    TestUninstall test;
    return QTest::qExec(&test, argc, argv);
}

#include "test_uninstall.moc"
