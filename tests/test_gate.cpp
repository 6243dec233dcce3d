#include "Fakes.h"
#include "ReminderWindow_p.h"
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

using namespace std::chrono_literals;

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

const auto words = [](int error) { return QString::fromLocal8Bit(std::strerror(error)); };

} // namespace

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
        agent.delegate->settings().show(); // the reading then is older than the mouse's
        if (percent >= 0)
            agent.batteries.setMouse(percent, charging);
        if (shutdownCard) {
            agent.inhibitor.announce();
            agent.batteries.setMouse(50, false); // what a second card would show
        }
        const std::optional<QDateTime> started = agent.delegate->reminderStartedAt();
        agent.clickSettingsRow("testReminderRow");
        QList<qint64> cards;
        for (const QWidget* window : QApplication::topLevelWidgets())
            if (const auto* card = window->findChild<ReminderCard*>(); card && window->isVisible())
                cards << card->percent();
        QCOMPARE(cards, QList<qint64>{shown});
        QCOMPARE(agent.delegate->reminderStartedAt(), started);
        agent.dismissCard();
        QCOMPARE(agent.inhibitor.held, !shutdownCard);
    }

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
        row("$APPIMAGE inherited", byHand, "/proc/version", false, "", ""); // a file, not ours
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
        QTest::addColumn<QString>("storeWords");     // storing a setting
        QTest::addColumn<QString>("loginWords");     // switching open at login; empty: it works
        QTest::addColumn<QString>("uninstallWords"); // empty: uninstalling works
        const QString readOnly = words(EROFS), folder = words(EISDIR), gone = words(ENOENT);
        QTest::newRow("config folder read-only") << readOnly << readOnly << readOnly;
        QTest::newRow("disk full") << words(ENOSPC) << words(ENOSPC) << "";
        QTest::newRow("settings and entry are folders") << folder << folder << folder;
        QTest::newRow("settings and entry are dangling links") << gone << gone << "";
        QTest::newRow("links, Trash a file") << gone << gone << words(ENOTDIR);
    }
    void faultsOnTheDisk()
    {
        const QString fault = QTest::currentDataTag(); // what the row is named after
        QFETCH(QString, storeWords);
        QFETCH(QString, loginWords);
        QFETCH(QString, uninstallWords);
        const bool full = fault == "disk full", mounts = full || fault.endsWith("read-only");
        if (mounts && !mountsOwnFaults)
            QSKIP("mounting needs root, in a mount namespace of the test's own (unshare)");
        InstalledAgent agent("Applications/nightwick");
        const QByteArray config = QFile::encodeName(agent.home.filePath("config"));
        const auto unmount = qScopeGuard([&] {
            if (mounts)
                ::umount2(config.constData(), MNT_DETACH);
        });
        if (full)
            QVERIFY(QDir().mkpath(config) &&
                    ::mount("tmpfs", config.constData(), "tmpfs", 0, "size=64k") == 0);
        agent.launch();
        QVERIFY(agent.delegate->model().opensAtLogin());
        if (fault.endsWith("read-only"))
            QVERIFY(::mount(config, config, nullptr, MS_BIND, nullptr) == 0 &&
                    ::mount(nullptr, config, nullptr, MS_BIND | MS_REMOUNT | MS_RDONLY, nullptr) ==
                        0);
        for (const QString& file : {agent.settingsFile, agent.entryFile}) {
            if (fault.endsWith("folders"))
                QVERIFY(QFile::remove(file) && QDir().mkpath(file + "/kept"));
            if (fault.contains("links"))
                QVERIFY(QFile::remove(file) && QFile::link(agent.home.filePath("gone/x"), file));
        }
        if (fault.contains("Trash"))
            QVERIFY(QDir().mkpath(agent.home.filePath("data")) &&
                    QFile(agent.home.filePath("data/Trash")).open(QIODevice::WriteOnly));
        QFile filler(agent.home.filePath("config/filler"));
        QVERIFY(!full || filler.open(QIODevice::WriteOnly));
        while (filler.isOpen() && filler.write(QByteArray(4096, 'x')) > 0 && filler.flush()) {
        }
        const QByteArray settings = readFile(agent.settingsFile), entry = readFile(agent.entryFile);
        const bool wasOn = agent.entry.isEnabled();
        AppModel& model = agent.delegate->model();
        const auto shown = [&] { return agent.alerts.shown.join('|').toLocal8Bit(); };

        model.setThreshold(15);
        QVERIFY2(agent.alerted(1, storeWords), shown().constData());
        QCOMPARE(readFile(agent.settingsFile), settings);
        QCOMPARE(model.threshold(), 10);

        model.setOpensAtLogin(full || !wasOn);
        QCOMPARE(model.opensAtLogin(), loginWords.isEmpty() != wasOn);
        QVERIFY(loginWords.isEmpty() || readFile(agent.entryFile) == entry);
        QVERIFY2(agent.alerted(loginWords.isEmpty() ? 1 : 2, loginWords), shown().constData());

        agent.alerts.shown.clear();
        const bool onBefore = model.opensAtLogin();
        agent.clickSettingsRow("uninstallRow", 2);
        QVERIFY2(agent.alerted(uninstallWords.isEmpty() ? 0 : 1, uninstallWords),
                 shown().constData());
        QCOMPARE(QFile::exists(agent.programFile), !uninstallWords.isEmpty());
        if (!uninstallWords.isEmpty()) {
            QCOMPARE(readFile(agent.settingsFile), settings);
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
    TestGate test;
    return QTest::qExec(&test, argc, argv);
}

#include "test_gate.moc"
