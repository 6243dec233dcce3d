#include "platform/IniSettingsStore.h"
#include "platform/UtmpConsoleLogins.h"
#include "platform/XdgAutostartLoginItem.h"

#include <QDBusConnection>
#include <QFile>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>

#include <cstdio>
#include <cstring>
#include <utmpx.h>

namespace {

void writeFile(const QString& path, const QByteArray& contents)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(contents);
}

struct Record {
    short type;
    QByteArray line; // written without a terminating zero when it fills the field
    qint64 seconds;
};

} // namespace

Q_DECLARE_METATYPE(QList<Record>)

class TestPlatform : public QObject {
    Q_OBJECT

private slots:
    void malformedSettingsFile_data();
    void malformedSettingsFile();
    void writesReachTheDiskAndKeepOtherKeys();
    void removeAllDeletesFileAndLock();

    void execRoundTrip_data();
    void execRoundTrip();
    void autostartEntryState_data();
    void autostartEntryState();
    void autostartFailureNamesTheFile();

    void newestConsoleRecord_data();
    void newestConsoleRecord();
};

void TestPlatform::malformedSettingsFile_data()
{
    QTest::addColumn<QByteArray>("contents");
    QTest::addColumn<qint64>("threshold");
    QTest::addColumn<bool>("hasLastSeen");
    QTest::addColumn<qint64>("lastPercent");

    QTest::newRow("well formed") << QByteArray("[General]\nthreshold=15\nlastPercent=8\n"
                                               "lastSeen=2026-12-06T21:00:00.000Z\n")
                                 << qint64(15) << true << qint64(8);
    QTest::newRow("non-numeric threshold")
        << QByteArray("[General]\nthreshold=ten\nlastPercent=8\n") << qint64(10) << false
        << qint64(8);
    QTest::newRow("lastSeen not a date")
        << QByteArray("[General]\nlastSeen=yesterday\nlastPercent=8\n") << qint64(10) << false
        << qint64(8);
    QTest::newRow("garbage lines") << QByteArray("\x01\x02 junk\n[General\n=\nthreshold=20\n"
                                                 "no equals sign\nlastPercent=8\n")
                                   << qint64(20) << false << qint64(8);
    QTest::newRow("binary noise") << QByteArray("\xff\xfe\x00\x00[[[]]]===\n\n", 14) << qint64(10)
                                  << false << qint64(0);
    QTest::newRow("empty file") << QByteArray() << qint64(10) << false << qint64(0);
}

void TestPlatform::malformedSettingsFile()
{
    QFETCH(QByteArray, contents);
    QFETCH(qint64, threshold);
    QFETCH(bool, hasLastSeen);
    QFETCH(qint64, lastPercent);

    QTemporaryDir dir;
    const QString path = dir.filePath("nightwick.conf");
    writeFile(path, contents);
    IniSettingsStore store(path);
    store.registerDefaults({{"threshold", 10}});
    QCOMPARE(store.integer("threshold"), threshold);
    QCOMPARE(store.date("lastSeen").has_value(), hasLastSeen);
    QCOMPARE(store.integer("lastPercent"), lastPercent);
    QCOMPARE(store.boolean("lastCharging"), false);
}

void TestPlatform::writesReachTheDiskAndKeepOtherKeys()
{
    QTemporaryDir dir;
    const QString path = dir.filePath("sub/nightwick.conf");
    IniSettingsStore store(path);
    store.setInteger("lastPercent", -3);
    store.setBoolean("lastCharging", true);
    const QDateTime seen(QDate(2026, 12, 6), QTime(7, 43, 49, 123), Qt::UTC);
    store.setDate("lastSeen", seen);

    // Another reader of the file sees each value at once, in the documented formats.
    QSettings onDisk(path, QSettings::IniFormat);
    QCOMPARE(onDisk.value("lastSeen").toString(), QStringLiteral("2026-12-06T07:43:49.123Z"));
    QCOMPARE(onDisk.value("lastCharging").toString(), QStringLiteral("true"));

    // Stray lines a person added do not cost the keys around them.
    QFile file(path);
    QVERIFY(file.open(QIODevice::Append));
    file.write("this is not ini\nthreshold=20\n");
    file.close();
    store.setInteger("lastPercent", 7);
    QCOMPARE(store.integer("threshold"), 20);
    QCOMPARE(store.integer("lastPercent"), 7);
    QCOMPARE(store.boolean("lastCharging"), true);
    QCOMPARE(store.date("lastSeen"), std::optional(seen));
}

void TestPlatform::removeAllDeletesFileAndLock()
{
    QTemporaryDir dir;
    const QString path = dir.filePath("nightwick.conf");
    IniSettingsStore store(path);
    store.setInteger("threshold", 5);
    writeFile(path + ".lock", "");
    QVERIFY(store.removeAll().ok());
    QVERIFY(!QFile::exists(path));
    QVERIFY(!QFile::exists(path + ".lock"));
    QVERIFY2(store.removeAll().ok(), "nothing left to remove is no failure");
    store.registerDefaults({{"threshold", 10}});
    QCOMPARE(store.integer("threshold"), 10);
}

void TestPlatform::execRoundTrip_data()
{
    QTest::addColumn<QString>("program");
    QTest::newRow("plain") << "/usr/bin/nightwick";
    QTest::newRow("spaces") << "/home/ada/My Apps/night wick";
    QTest::newRow("double quotes") << "/home/ada/\"quoted\"/nightwick";
    QTest::newRow("single quote") << "/home/ada/ada's/nightwick";
    QTest::newRow("percent") << "/home/ada/100%/nightwick %f";
    QTest::newRow("dollar and backtick") << "/home/ada/$HOME/`id`/nightwick";
    QTest::newRow("backslashes") << "/home/ada/back\\slash\\\\/nightwick";
    QTest::newRow("tab and newline") << "/home/ada/a\tb\nc/nightwick";
    QTest::newRow("non-ASCII") << "/home/ada/Программы/ночь";
}

void TestPlatform::execRoundTrip()
{
    QFETCH(QString, program);
    QTemporaryDir dir;
    const QString entry = dir.filePath("autostart/nightwick.desktop");
    XdgAutostartLoginItem item(entry, program);
    QVERIFY(item.enable().ok());
    QVERIFY(item.isEnabled());

    // What a launcher reads back from the file is the program and its one argument.
    QFile file(entry);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QString exec;
    for (const QByteArray& line : file.readAll().split('\n')) {
        if (line.startsWith("Exec=")) {
            exec = QString::fromUtf8(line.mid(5));
        }
    }
    QCOMPARE(DesktopExec::parse(exec), std::optional(QStringList{program, "--autostart"}));
    QVERIFY2(!exec.contains('\n'), "an Exec value stays on one line");
}

void TestPlatform::autostartEntryState_data()
{
    QTest::addColumn<QByteArray>("contents");
    QTest::addColumn<bool>("enabled");

    const QByteArray ours =
        "[Desktop Entry]\nType=Application\nExec=\"/opt/Applications/nightwick\" --autostart\n";
    QTest::newRow("ours") << ours << true;
    QTest::newRow("hidden") << ours + "Hidden=true\n" << false;
    QTest::newRow("switched off in GNOME") << ours + "X-GNOME-Autostart-enabled=false\n" << false;
    QTest::newRow("another program")
        << QByteArray("[Desktop Entry]\nExec=/usr/bin/other\n") << false;
    QTest::newRow("key in another group")
        << QByteArray("[Other]\nExec=/opt/Applications/nightwick\n") << false;
    QTest::newRow("unterminated quote")
        << QByteArray("[Desktop Entry]\nExec=\"/opt/Applications/nightwick\n") << false;
    QTest::newRow("garbage") << QByteArray("\x00\xff\xfe=\n[", 6) << false;
}

void TestPlatform::autostartEntryState()
{
    QFETCH(QByteArray, contents);
    QFETCH(bool, enabled);
    QTemporaryDir dir;
    const QString entry = dir.filePath("nightwick.desktop");
    writeFile(entry, contents);
    XdgAutostartLoginItem item(entry, "/opt/Applications/nightwick");
    QCOMPARE(item.isEnabled(), enabled);
    QVERIFY(item.disable().ok());
    QVERIFY(!QFile::exists(entry));
    QVERIFY2(item.disable().ok(), "an entry already gone counts as disabled");
}

void TestPlatform::autostartFailureNamesTheFile()
{
    QTemporaryDir dir;
    // A file where the folder should be: even root cannot create the entry there.
    writeFile(dir.filePath("autostart"), "");
    const QString entry = dir.filePath("autostart/nightwick.desktop");
    XdgAutostartLoginItem item(entry, "/opt/Applications/nightwick");
    const Outcome outcome = item.enable();
    QVERIFY(!outcome.ok());
    QVERIFY2(outcome.errorDescription().contains(entry), qPrintable(outcome.errorDescription()));
    QVERIFY(!item.isEnabled());
}

void TestPlatform::newestConsoleRecord_data()
{
    QTest::addColumn<QList<Record>>("records");
    QTest::addColumn<std::optional<qint64>>("expected");

    const QByteArray full(32, 'c');
    QTest::newRow("no records") << QList<Record>{} << std::optional<qint64>();
    QTest::newRow("one console login")
        << QList<Record>{{USER_PROCESS, "console", 1000}} << std::optional<qint64>(1000);
    QTest::newRow("newest of several") << QList<Record>{{USER_PROCESS, "console", 1000},
                                                        {USER_PROCESS, "console", 3000},
                                                        {USER_PROCESS, "console", 2000}}
                                       << std::optional<qint64>(3000);
    QTest::newRow("other types and lines ignored")
        << QList<Record>{{DEAD_PROCESS, "console", 9000},
                         {LOGIN_PROCESS, "console", 8000},
                         {USER_PROCESS, "tty1", 7000},
                         {USER_PROCESS, "consoles", 6000},
                         {USER_PROCESS, "console", 500}}
        << std::optional<qint64>(500);
    QTest::newRow("line filling the field")
        << QList<Record>{{USER_PROCESS, "console" + full.mid(7), 700}} << std::optional<qint64>();
    QTest::newRow("invalid UTF-8")
        << QList<Record>{{USER_PROCESS, "cons\xffle", 700}} << std::optional<qint64>();
}

void TestPlatform::newestConsoleRecord()
{
    QFETCH(QList<Record>, records);
    QFETCH(std::optional<qint64>, expected);

    QTemporaryDir dir;
    const QString path = dir.filePath("utmp");
    QByteArray bytes;
    for (const Record& r : records) {
        utmpx entry{};
        entry.ut_type = r.type;
        std::memcpy(entry.ut_line, r.line.constData(),
                    std::min<size_t>(r.line.size(), sizeof entry.ut_line));
        entry.ut_tv.tv_sec = static_cast<decltype(entry.ut_tv.tv_sec)>(r.seconds);
        bytes.append(reinterpret_cast<const char*>(&entry), sizeof entry);
    }
    writeFile(path, bytes);
    QCOMPARE(UtmpConsoleLogins::newestConsoleRecord(path), expected);
}

QTEST_GUILESS_MAIN(TestPlatform)
#include "test_platform.moc"
