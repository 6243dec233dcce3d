#include "platform/files/IniSettingsStore.h"
#include "platform/session/GnomeSessionClient.h"
#include "platform/session/LogindLoginSession.h"
#include "platform/session/LogindShutdownInhibitor.h"
#include "platform/session/UtmpConsoleLogins.h"
#include "platform/files/XdgAutostartLoginItem.h"
#include "platform/files/XdgBaseDirectories.h"

#include "PrivateBus.h"

#include <QDBusArgument>
#include <QDBusInterface>
#include <QDBusObjectPath>
#include <QDBusVariant>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

#include <csignal>
#include <cstring>
#include <unistd.h>
#include <utmpx.h>

namespace {

void writeFile(const QString& path, const QByteArray& contents)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Append));
    file.write(contents);
}

struct Record {
    short type;
    qint64 seconds;
    QByteArray line = "console"; // written without a terminating zero when it fills the field
};

} // namespace

Q_DECLARE_METATYPE(QList<Record>)

class TestPlatform : public QObject {
    Q_OBJECT

private slots:
    void malformedSettingsFile_data()
    {
        QTest::addColumn<QByteArray>("contents");
        QTest::addColumn<qint64>("threshold");
        QTest::addColumn<qint64>("lastPercent");
        QTest::newRow("non-numeric threshold")
            << QByteArray("threshold=ten\nlastPercent=8\n") << qint64(10) << qint64(8);
        QTest::newRow("lastSeen not a date")
            << QByteArray("lastSeen=yesterday\nlastPercent=8\n") << qint64(10) << qint64(8);
        QTest::newRow("garbage lines")
            << QByteArray(
                   "\x01\x02 junk\n[General\n=\nthreshold=20\nno equals sign\nlastPercent=8\n")
            << qint64(20) << qint64(8);
    }

    void malformedSettingsFile()
    {
        QFETCH(QByteArray, contents);
        QFETCH(qint64, threshold);
        QFETCH(qint64, lastPercent);
        QTemporaryDir dir;
        writeFile(dir.filePath("nightwick.conf"), "[General]\n" + contents);
        writeFile(dir.filePath("nightwick.conf.backup"), contents); // the user's own copy
        IniSettingsStore store(dir.filePath("nightwick.conf"));
        store.registerDefaults({{"threshold", 10}});
        QCOMPARE(store.integer("threshold"), threshold);
        QCOMPARE(store.integer("lastPercent"), lastPercent);
        QCOMPARE(store.date("lastSeen"), std::nullopt);
        QCOMPARE(store.boolean("lastCharging"), std::nullopt);
        QVERIFY(store.setBoolean("lastCharging", true).ok() &&
                QFile::exists(dir.filePath("nightwick.conf.backup")));
    }

    void writesReachTheDiskAtOnceAndRemoveAllLeavesNothing()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath("sub/nightwick.conf");
        IniSettingsStore store(path);
        QVERIFY(store.setBoolean("lastCharging", true).ok());
        const QDateTime seen(QDate(2026, 12, 6), QTime(7, 43, 49, 123), Qt::UTC);
        QVERIFY(store.setDate("lastSeen", seen).ok());
        QSettings onDisk(path, QSettings::IniFormat);
        QCOMPARE(onDisk.value("lastSeen").toString(), "2026-12-06T07:43:49.123Z");
        QCOMPARE(onDisk.value("lastCharging").toString(), "true");

        // Stray lines a person added do not cost the keys around them.
        writeFile(path, "this is not ini\nthreshold=20\n");
        QVERIFY(store.setInteger("lastPercent", 7).ok());
        QCOMPARE(store.integer("threshold"), 20);
        QCOMPARE(store.integer("lastPercent"), 7);
        QCOMPARE(store.date("lastSeen"), std::optional(seen));

        writeFile(path + ".lock", "");
        QVERIFY(store.removeAll().ok());
        QVERIFY(!QFile::exists(path));
        QVERIFY(!QFile::exists(path + ".lock"));
        QVERIFY2(store.removeAll().ok(), "nothing left to remove is no failure");
    }

    // Killed at random moments, most of them in the middle of a write: the file always holds
    // one write whole, the last one reported or the one after it, and every other key.
    void settingsSurviveSigkillMidWrite()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath("nightwick.conf");
        QVERIFY(IniSettingsStore(path)
                    .write({{"loginItemConfigured", true}, {"lastPercent", 0}, {"threshold", 0}})
                    .ok());
        qint64 stored = 0;
        int afterFirst = 0;
        constexpr int kills = 200;
        for (int kill = 0; kill < kills; ++kill) {
            QProcess writer;
            writer.start(NW_SETTINGS_WRITER, {path});
            // Some kills before the first write is done, most after it, in a later one.
            QVERIFY(writer.waitForStarted() && (kill % 8 == 0 || writer.waitForReadyRead()));
            QThread::usleep(QRandomGenerator::global()->bounded(3000));
            ::kill(pid_t(writer.processId()), SIGKILL);
            QVERIFY(writer.waitForFinished());
            const QList<QByteArray> reported = writer.readAllStandardOutput().split('\n');
            const qint64 last =
                reported.size() > 1 ? reported.at(reported.size() - 2).toLongLong() : stored;
            afterFirst += reported.size() > 1;
            const QSettings file(path, QSettings::IniFormat);
            QCOMPARE(file.status(), QSettings::NoError);
            stored = file.value("lastPercent").toLongLong();
            QVERIFY2(stored == last || stored == last + 1,
                     qPrintable(QString("%1 on disk after %2 was reported").arg(stored).arg(last)));
            QCOMPARE(file.value("threshold").toLongLong(), stored);
            QCOMPARE(file.value("loginItemConfigured").toString(), "true");
        }
        // The lock file QSettings leaves when killed while it writes, as older versions did,
        // holds nothing up; the copies of writes killed just before their rename are tidied.
        writeFile(path + ".lock", "");
        IniSettingsStore agent(path);
        QVERIFY(agent.setInteger("threshold", 15).ok());
        QCOMPARE(agent.integer("threshold"), 15);
        QCOMPARE(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden),
                 (QStringList{"nightwick.conf", "nightwick.conf.lock"}));
        qInfo("%d kills, %d after the writer's first write; %lld writes in all, each file whole",
              kills, afterFirst, stored);
    }

    void execRoundTrip_data()
    {
        QTest::addColumn<QString>("program");
        QTest::addColumn<bool>("startable"); // by GLib and systemd's generator alike
        QTest::newRow("spaces") << "/home/ada/My Apps/night wick" << true;
        QTest::newRow("quotes") << "/home/ada/\"quoted\"/ada's/nightwick" << true;
        QTest::newRow("percent") << "/home/ada/100%/nightwick %f" << true;
        QTest::newRow("percent and equals") << "/home/ada/100%/a=b/nightwick" << false;
        QTest::newRow("dollar and backtick") << "/home/ada/$HOME/`id`/nightwick" << true;
        QTest::newRow("backslashes") << "/home/ada/back\\slash\\\\/nightwick" << false;
        QTest::newRow("tab and newline") << "/home/ada/a\tb\nc/nightwick" << true;
        QTest::newRow("non-ASCII") << "/home/ada/Программы/ночь" << true;
        QTest::newRow("not UTF-8, as decoded") << "/home/ada/caf\uFFFD/nightwick" << false;
    }

    void execRoundTrip()
    {
        QFETCH(QString, program);
        QTemporaryDir dir;
        qputenv("HOME", dir.path().toLocal8Bit());
        qputenv("XDG_CONFIG_HOME", "relative"); // counts for none: the entry goes under HOME
        XdgBaseDirectories::settleEnvironment();
        const QString entry = dir.filePath(".config/autostart/nightwick.desktop");
        QCOMPARE(XdgAutostartLoginItem::defaultEntryFile(), entry);
        QVERIFY(QDir().mkpath(QFileInfo(program.prepend(dir.path())).path()));
        writeFile(program, "#!/bin/sh\n[ \"$*\" = --autostart ] && touch \"$0.started\"");
        QVERIFY(QFile::setPermissions(program, QFile::ReadOwner | QFile::ExeOwner));
        XdgAutostartLoginItem item(entry, program);
        const Outcome outcome = item.enable(); // refused, by name, where no entry can start it
        QFETCH(bool, startable);
        QCOMPARE(item.isEnabled(), startable);
        QCOMPARE(outcome.errorDescription().contains(program), !startable);
        if (!startable)
            return;
        QFile file(entry);
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QString exec = QRegularExpression("^Exec=(.*)$", QRegularExpression::MultilineOption)
                                 .match(QString::fromUtf8(file.readAll()))
                                 .captured(1);
        const QStringList command = DesktopExec::parse(exec).value_or(QStringList());
        QCOMPARE(command.mid(command.size() - 2), (QStringList{program, "--autostart"}));
        if (QProcess::execute("/usr/lib/systemd/user-generators/systemd-xdg-autostart-generator",
                              QStringList(3, dir.path())) >= 0)
            QVERIFY(QFile::exists(dir.filePath("app-nightwick@autostart.service")));
        if (QProcess::execute("gio", {"launch", entry}) >= 0)
            QTRY_VERIFY(QFile::exists(program + ".started"));
    }

    void autostartEntryState_data()
    {
        QTest::addColumn<QByteArray>("contents");
        QTest::addColumn<bool>("enabled");
        const QByteArray ours =
            "[Desktop Entry]\nType=Application\nExec=\"/opt/Applications/nightwick\" --autostart\n";
        QTest::newRow("ours") << ours << true;
        QTest::newRow("hidden") << ours + "Hidden=true\n" << false;
        QTest::newRow("switched off in GNOME") << ours + "X-GNOME-Autostart-enabled=false\n"
                                               << false;
        QTest::newRow("another program")
            << QByteArray("[Desktop Entry]\nExec=/usr/bin/other\n") << false;
        QTest::newRow("hand-edited, hidden")
            << ours + "Name[fr]=Veille\n#\nX-GNOME-Autostart-Delay=9\nHidden=true\n"
            << false;
    }

    void autostartEntryState()
    {
        QFETCH(QByteArray, contents);
        QFETCH(bool, enabled);
        QTemporaryDir dir;
        const QString entry = dir.filePath("nightwick.desktop");
        writeFile(entry, contents);
        XdgAutostartLoginItem item(entry, "/opt/Applications/nightwick");
        QCOMPARE(item.isEnabled(), enabled);
        QVERIFY(item.disable().ok() && !QFile::exists(entry));
        QFile restored(entry), turnedOn(entry); // keeping all before the line that said otherwise
        QVERIFY(item.restoreDisabled().ok() && item.isEnabled() == enabled &&
                restored.open(QIODevice::ReadOnly) && restored.readAll() == contents);
        QVERIFY(item.enable().ok() && item.isEnabled() && turnedOn.open(QIODevice::ReadOnly) &&
                turnedOn.readAll().startsWith(contents.left(contents.lastIndexOf('\n', -2) + 1)) &&
                item.disable().ok());
        QVERIFY2(item.disable().ok(), "an entry already gone counts as disabled");
    }

    void autostartFailureNamesTheFile()
    {
        QTemporaryDir dir;
        writeFile(dir.filePath("autostart"), ""); // a file where the folder should be
        const QString entry = dir.filePath("autostart/nightwick.desktop");
        XdgAutostartLoginItem item(entry, "/opt/Applications/nightwick");
        const Outcome outcome = item.enable();
        QVERIFY(!outcome.ok());
        QVERIFY2(outcome.errorDescription().contains(entry),
                 qPrintable(outcome.errorDescription()));
        QVERIFY(!item.isEnabled());
    }

    void newestConsoleRecord_data()
    {
        QTest::addColumn<QList<Record>>("records");
        QTest::addColumn<std::optional<qint64>>("expected");
        const short user = USER_PROCESS;
        QTest::newRow("empty file") << QList<Record>{} << std::optional<qint64>();
        QTest::newRow("newest of several")
            << QList<Record>{Record(user, 1000), Record(user, 3000), Record(user, 2000)}
            << std::optional<qint64>(3000);
        QTest::newRow("other types and lines ignored")
            << QList<Record>{Record(DEAD_PROCESS, 9000), Record(LOGIN_PROCESS, 8000),
                             Record(user, 7000, "tty1"), Record(user, 6000, "consoles"),
                             Record(user, 500)}
            << std::optional<qint64>(500);
        QTest::newRow("line filling the field")
            << QList<Record>{Record(user, 700, "console" + QByteArray(25, 'c'))}
            << std::optional<qint64>();
    }

    void newestConsoleRecord()
    {
        QFETCH(QList<Record>, records);
        QFETCH(std::optional<qint64>, expected);
        QTemporaryDir dir;
        QByteArray bytes;
        for (const Record& r : records) {
            utmpx entry{};
            entry.ut_type = r.type;
            std::memcpy(entry.ut_line, r.line.constData(),
                        std::min<size_t>(r.line.size(), sizeof entry.ut_line));
            entry.ut_tv.tv_sec = static_cast<decltype(entry.ut_tv.tv_sec)>(r.seconds);
            bytes.append(reinterpret_cast<const char*>(&entry), sizeof entry);
        }
        writeFile(dir.filePath("utmp"), bytes);
        QCOMPARE(UtmpConsoleLogins::newestConsoleRecord(dir.filePath("utmp")), expected);
    }

    // No login manager writes a "console" record, so the user's graphical sessions count too.
    void graphicalSessionsCountAsConsoleLogins()
    {
        if (const QString missing = PrivateBus::missingTools(); !missing.isEmpty())
            QSKIP(qPrintable(missing));
        PrivateBus bus;
        QVERIFY(bus.start() && bus.startTemplate("logind"));
        QDBusInterface logind("org.freedesktop.login1", "/org/freedesktop/login1",
                              "org.freedesktop.DBus.Mock", bus.connection("test"));
        const auto addSession = [&](const QString& id, uint uid, const QVariant& type,
                                    const QVariant& startedMicroseconds) {
            const QString path = logind.call("AddSession", id, "seat0", uid, "ada", true)
                                     .arguments()
                                     .value(0)
                                     .toString();
            QDBusInterface session("org.freedesktop.login1", path,
                                   "org.freedesktop.DBus.Properties", bus.connection("test"));
            session.call("Set", "org.freedesktop.login1.Session", "Type",
                         QVariant::fromValue(QDBusVariant(type)));
            session.call("Set", "org.freedesktop.login1.Session", "Timestamp",
                         QVariant::fromValue(QDBusVariant(startedMicroseconds)));
        };
        const uint me = getuid();
        addSession("c1", me, "x11", QVariant::fromValue(qulonglong(1000'000000)));
        addSession("c2", me, "wayland", QVariant::fromValue(qulonglong(3000'000000)));
        addSession("c3", me, "tty", QVariant::fromValue(qulonglong(9000'000000)));
        addSession("c4", me + 1, "x11", QVariant::fromValue(qulonglong(8000'000000)));
        addSession("c5", me, "x11", QStringLiteral("not a time"));

        QTemporaryDir dir;
        const QString noRecords = dir.filePath("utmp");
        writeFile(noRecords, {});
        UtmpConsoleLogins logins(bus.connection("agent"), noRecords);
        QCOMPARE(logins.newestLogin(), std::optional<qint64>(3000));
    }

    // A termination signal is a log-out while the session closes: the agent's own session, or
    // where it has none (started by the user's service manager) the user's graphical one.
    // Slow at a busy login, logind's lock and the session manager's registration still count.
    void loginSessionClosing_data()
    {
        QTest::addColumn<QString>("ownState");     // empty: the agent is in no session
        QTest::addColumn<QString>("displayState"); // empty: the user has no graphical session
        QTest::addColumn<bool>("closing");
        QTest::addColumn<QString>("late"); // a method that answers 1 s late
        QTest::newRow("own session closing") << "closing"
                                             << "" << true << "";
        QTest::newRow("own session active, the display's closing") << "active"
                                                                   << "closing" << false << "";
        QTest::newRow("no own session, the display's closing") << ""
                                                               << "closing" << true << "";
        QTest::newRow("no own session, the display's active") << ""
                                                              << "active" << false << "";
        QTest::newRow("no session at all") << ""
                                           << "" << false << "";
        QTest::newRow("logind's lock granted late") << QString() << QString() << false << "Inhibit";
        QTest::newRow("registered late") << QString() << QString() << false << "RegisterClient";
    }
    void loginSessionClosing()
    {
        QFETCH(QString, ownState);
        QFETCH(QString, displayState);
        QFETCH(bool, closing);
        QFETCH(QString, late);
        if (const QString missing = PrivateBus::missingTools(); !missing.isEmpty())
            QSKIP(qPrintable(missing));
        PrivateBus bus;
        QVERIFY(bus.start() && bus.startTemplate("logind"));
        const QDBusConnection test = bus.connection("test");
        const QString login1 = "org.freedesktop.login1", mock = "org.freedesktop.DBus.Mock";
        QDBusInterface logind(login1, "/org/freedesktop/login1", mock, test);
        const auto addSession = [&](const QString& id, const QString& state) {
            const QString path = logind.call("AddSession", id, "seat0", uint(getuid()), "ada", true)
                                     .arguments()
                                     .value(0)
                                     .toString();
            QDBusInterface(login1, path, "org.freedesktop.DBus.Properties", test)
                .call("Set", "org.freedesktop.login1.Session", "State",
                      QVariant::fromValue(QDBusVariant(state)));
            return path;
        };
        if (!ownState.isEmpty()) {
            logind.call("AddMethod", "org.freedesktop.login1.Manager", "GetSessionByPID", "u", "o",
                        "ret = '" + addSession("own", ownState) + "'");
        }
        // The template's own GetUser cannot make a path of a number.
        logind.call("AddMethod", "org.freedesktop.login1.Manager", "GetUser", "u", "o",
                    "ret = '/org/freedesktop/login1/user/%u' % args[0]");
        if (!displayState.isEmpty()) {
            QDBusArgument display;
            display.beginStructure();
            display << QString("gfx") << QDBusObjectPath(addSession("gfx", displayState));
            display.endStructure();
            QDBusInterface(login1, "/org/freedesktop/login1/user/" + QString::number(getuid()),
                           "org.freedesktop.DBus.Properties", test)
                .call("Set", "org.freedesktop.login1.User", "Display",
                      QVariant::fromValue(QDBusVariant(QVariant::fromValue(display))));
        }
        QCOMPARE(LogindLoginSession(bus.connection("agent")).isClosing(), closing);
        if (late == "Inhibit") {
            logind.call("AddMethod", login1 + ".Manager", late, "ssss", "h",
                        "time.sleep(1); ret = os.open('/dev/null', 0)");
            LogindShutdownInhibitor lock(bus.connection("agent"));
            lock.start();
            QTRY_VERIFY_WITH_TIMEOUT(lock.isHeld(), 5000);
        } else if (late == "RegisterClient") {
            const QString manager = "org.gnome.SessionManager", path = "/org/gnome/SessionManager";
            QVERIFY(bus.startMock(manager, path, manager));
            QDBusInterface(manager, path, mock, test)
                .call("AddMethod", "", late, "ss", "o", "time.sleep(1); ret = '" + path + "'");
            GnomeSessionClient client(bus.connection("agent"), "nightwick", "");
            client.start();
            QTRY_VERIFY_WITH_TIMEOUT(client.isRegistered(), 5000);
        }
    }
};

QTEST_GUILESS_MAIN(TestPlatform)
#include "test_platform.moc"
