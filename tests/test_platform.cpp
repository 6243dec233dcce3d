#include "Fakes.h"
#include "platform/desktop/AppActivation.h"
#include "platform/files/IniSettingsStore.h"
#include "platform/files/XdgAutostartLoginItem.h"
#include "platform/files/XdgBaseDirectories.h"

#include <QProcess>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

#include <csignal>

namespace {

void writeFile(const QString& path, const QByteArray& contents)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Append));
    file.write(contents);
}

} // namespace

using Number = std::optional<qint64>;

class TestPlatform : public QObject {
    Q_OBJECT

private slots:
    // What a person or a broken disk left in the file counts as unset and costs no other key; a
    // write keeps it all, and the user's own copy beside the file.
    void malformedSettingsFile_data()
    {
        QTest::addColumn<QByteArray>("contents");
        QTest::addColumn<Number>("threshold");
        QTest::newRow("non-numeric threshold") << QByteArray("threshold=ten\n") << Number();
        QTest::newRow("lastSeen not a date") << QByteArray("lastSeen=yesterday\n") << Number();
        QTest::newRow("its key escaped") << QByteArray("lastS%U0065en=yesterday\n") << Number();
        QTest::newRow("garbage lines")
            << QByteArray("\x01\x02 junk\n[General\n=\nthreshold=20\nno equals sign\n")
            << Number(20);
    }
    void malformedSettingsFile()
    {
        QFETCH(QByteArray, contents);
        QFETCH(Number, threshold);
        QTemporaryDir dir;
        writeFile(dir.filePath("nightwick.conf"), "[General]\n" + contents + "lastPercent=8\n");
        writeFile(dir.filePath("nightwick.conf.backup"), contents); // the user's own copy
        IniSettingsStore store(dir.filePath("nightwick.conf"));
        QCOMPARE(store.date("lastSeen"), std::nullopt);
        QCOMPARE(store.boolean("lastCharging"), std::nullopt);
        const QDateTime seen(QDate(2026, 12, 6), QTime(7, 43, 49, 123), Qt::UTC);
        QVERIFY(store.write({{"lastCharging", true}, {"lastSeen", seen}}).ok());
        QCOMPARE(store.integer("threshold"), threshold);
        QCOMPARE(store.integer("lastPercent"), Number(8));
        QCOMPARE(store.boolean("lastCharging"), true);
        QCOMPARE(store.date("lastSeen"), seen);
        QVERIFY(QFile::exists(dir.filePath("nightwick.conf.backup")));
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
        for (int kill = 0; kill < 200; ++kill) {
            QProcess writer;
            writer.start(qEnvironmentVariable("NW_PROBE"), {"write-settings", path});
            // Some kills before the first write is done, most after it, in a later one.
            QVERIFY(writer.waitForStarted() && (kill % 8 == 0 || writer.waitForReadyRead()));
            QThread::usleep(QRandomGenerator::global()->bounded(3000));
            ::kill(pid_t(writer.processId()), SIGKILL);
            QVERIFY(writer.waitForFinished());
            const QList<QByteArray> reported = writer.readAllStandardOutput().split('\n');
            const qint64 last =
                reported.size() > 1 ? reported.at(reported.size() - 2).toLongLong() : stored;
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
        const QString exec = QRegularExpression("^Exec=(.*)$", QRegularExpression::MultilineOption)
                                 .match(QString::fromUtf8(readFile(entry)))
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
        QVERIFY(item.restoreDisabled().ok() && item.isEnabled() == enabled);
        QCOMPARE(readFile(entry), contents);
        QVERIFY(item.enable().ok() && item.isEnabled()); // keeping what came before the line
        QVERIFY(readFile(entry).startsWith(contents.left(contents.lastIndexOf('\n', -2) + 1)));
        QVERIFY(item.disable().ok());
        QVERIFY2(item.disable().ok(), "an entry already gone counts as disabled");
    }

    // The real program launched while an agent in this test holds the name, on a session bus of
    // the test's own: by hand it asks that agent to show itself, from the autostart entry it
    // leaves quietly. An agent that answers nothing fails the launch; one busy with what the
    // activation set off does not, as it answers first.
    void secondLaunch_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("agent");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<int>("activations");
        QTest::addColumn<QString>("display"); // the only one it is given, if any; Qt's platform
        const auto row = [](const char* name, QStringList arguments, QString agent, int exitCode,
                            int activations, QString display) {
            QTest::newRow(name) << arguments << agent << exitCode << activations << display;
        };
        row("by hand, running agent answers", {}, "answers", 0, 1, "");
        row("by hand, running agent hangs", {}, "hangs", 1, 1, "");
        row("autostart leaves it alone", {"--autostart"}, "answers", 0, 0, "");
        row("by hand, running agent busy after Activate", {}, "busy", 0, 1, "");
        row("X display gone, as after an old SSH session", {}, "answers", 1, 0, ":7731");
        row("X display gone, xcb chosen by the user", {}, "answers", 1, 0, ":7731 xcb");
    }

    void secondLaunch()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QString, agent);
        QFETCH(int, exitCode);
        QFETCH(int, activations);
        QFETCH(QString, display);
        AppActivation running(QDBusConnection::sessionBus(), "org.nightwick.Nightwick");
        QCOMPARE(running.claim(), AppActivation::Role::First);
        QProcess launch;
        int activated = 0;
        connect(&running, &AppActivation::activated, [&] {
            ++activated;
            if (agent == "busy")
                launch.waitForFinished(5000);
        });
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        if (!display.isEmpty()) {
            environment.insert("QT_QPA_PLATFORM", display.section(' ', 1));
            environment.remove("WAYLAND_DISPLAY");
            environment.insert("DISPLAY", display.section(' ', 0, 0));
        }
        launch.setProcessEnvironment(environment);
        launch.setProcessChannelMode(QProcess::ForwardedOutputChannel);
        launch.start(qEnvironmentVariable("NIGHTWICK_BINARY"), arguments);
        if (agent == "hangs") // listening to nothing until the launch has ended
            QVERIFY(launch.waitForFinished(10000));
        QTRY_VERIFY_WITH_TIMEOUT(launch.state() == QProcess::NotRunning, 10000);
        QCOMPARE(launch.exitStatus(), QProcess::NormalExit);
        QCOMPARE(launch.exitCode(), exitCode);
        QVERIFY(display.isEmpty() || launch.readAllStandardError().count('\n') == 1);
        QTRY_COMPARE(activated, activations);
    }
};

QTEST_GUILESS_MAIN(TestPlatform)
#include "test_platform.moc"
