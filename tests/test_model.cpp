#include "AppModel.h"

#include "Fakes.h"

#include <QTest>

using namespace std::chrono_literals;
using Percent = std::optional<qint64>;
using Seen = std::optional<QDateTime>;

namespace {

const QDateTime start(QDate(2026, 12, 6), QTime(22, 0), Qt::UTC);
using Services = QList<BatteryService>;
using Reading = std::optional<MouseBattery>;

// A model over fakes, built the way the agent builds its own.
struct ModelFixture {
    QString programFile = "/home/ada/bin/nightwick";
    FakeBatteryServices batteries{};
    MemorySettingsStore store{};
    FakeLoginItem loginItem{};
    FakeTrash trash{};
    FakeAlerts alerts{};
    FakeClock clock{start};
    AppModel model{{batteries, store, loginItem, trash, alerts, clock, programFile}};
    // The next run of the agent, on what this one stored.
    Percent nextRunReminds()
    {
        return AppModel({batteries, store, loginItem, trash, alerts, clock, {}})
            .percentNeedingReminder();
    }
};

} // namespace

class TestModel : public QObject {
    Q_OBJECT

private slots:
    // The install-location rows read "~/.local/bin" as this user's.
    void initTestCase() { qputenv("HOME", "/home/ada"); }

    void reminderRule_data()
    {
        QTest::addColumn<Seen>("lastSeen");
        QTest::addColumn<bool>("charging");
        QTest::addColumn<qint64>("percent");
        QTest::addColumn<Percent>("expected");
        const auto ago = [](int hours) { return Seen(start.addSecs(-hours * 3600)); };
        QTest::newRow("never seen") << Seen() << false << qint64(3) << Percent();
        QTest::newRow("at the threshold") << ago(0) << false << qint64(10) << Percent(10);
        QTest::newRow("one above") << ago(0) << false << qint64(11) << Percent();
        QTest::newRow("charging") << ago(0) << true << qint64(5) << Percent();
        QTest::newRow("seen 47 hours ago") << ago(47) << false << qint64(8) << Percent(8);
        QTest::newRow("seen 48 hours ago") << ago(48) << false << qint64(8) << Percent();
        QTest::newRow("seen in the future") << ago(-5) << false << qint64(8) << Percent();
    }
    void reminderRule()
    {
        QFETCH(Seen, lastSeen);
        QFETCH(bool, charging);
        QFETCH(qint64, percent);
        QFETCH(Percent, expected);
        QCOMPARE(reminderPercent(lastSeen, start, charging, percent, 10), expected);
    }

    // Each decision reads the mouse afresh, and the next refresh stores the reading; a reading
    // the store refuses counts while the agent runs, and a stored one in the next run, for 48
    // hours. So does the stored threshold; one never offered counts as none.
    void remindsFromTheLastReadingWhileTheMouseIsAway_data()
    {
        QTest::addColumn<QString>("storeFailure");
        QTest::addColumn<QVariantMap>("edited"); // by hand, into values this program never writes
        QTest::addColumn<Percent>("nextRun");
        QTest::newRow("stored") << QString() << QVariantMap() << Percent(8);
        QTest::newRow("the store refuses it")
            << "No space left on device" << QVariantMap() << Percent();
        QTest::newRow("lastPercent removed")
            << QString() << QVariantMap{{"lastPercent", {}}} << Percent();
        QTest::newRow("threshold 5") << QString() << QVariantMap{{"threshold", 5}} << Percent();
        QTest::newRow("threshold 99") << QString() << QVariantMap{{"threshold", 99}} << Percent(8);
    }
    void remindsFromTheLastReadingWhileTheMouseIsAway()
    {
        QFETCH(QString, storeFailure);
        QFETCH(QVariantMap, edited);
        QFETCH(Percent, nextRun);
        ModelFixture f;
        f.store.failure = storeFailure;
        QCOMPARE(f.model.percentNeedingReminder(), Percent());
        f.batteries.setMouse(8, false);
        QCOMPARE(f.model.percentNeedingReminder(), Percent(8));
        QVERIFY(!f.store.values.contains("lastSeen"));
        f.model.refresh();
        QCOMPARE(f.store.values.value("lastSeen").toDateTime(),
                 storeFailure.isEmpty() ? start : QDateTime());
        f.batteries.devices.clear();
        f.clock.advance(47h);
        QCOMPARE(f.model.percentNeedingReminder(), Percent(8));
        QCOMPARE(f.model.battery(), std::nullopt);
        f.store.values.insert(edited);
        QCOMPARE(f.nextRunReminds(), nextRun);
        f.clock.advance(1h);
        QCOMPARE(f.model.percentNeedingReminder(), Percent());
        QCOMPARE(f.nextRunReminds(), Percent());
    }

    void firstInstallRegistersOnlyOnce_data()
    {
        QTest::addColumn<QString>("programFile");
        QTest::addColumn<bool>("enableFails");
        QTest::addColumn<bool>("registers");
        QTest::newRow("in Applications") << "/home/ada/Applications/nightwick" << false << true;
        QTest::newRow("failing, in Applications") << "/home/ada/Applications/nw" << true << true;
        QTest::newRow("lower-case folder") << "/home/ada/applications/nightwick" << false << false;
        QTest::newRow("subfolder") << "/home/ada/Applications/tools/nightwick" << false << false;
        QTest::newRow("packaged") << "/usr/bin/nightwick" << false << true;
        QTest::newRow("/usr/local/bin") << "/usr/local/bin/nightwick" << false << true;
        QTest::newRow("~/.local/bin") << "/home/ada/.local/bin/nightwick" << false << true;
        QTest::newRow("another home's .local/bin") << "/home/bob/.local/bin/nw" << false << false;
        QTest::newRow("build folder") << "/home/ada/src/nw/build/nightwick" << false << false;
    }
    void firstInstallRegistersOnlyOnce()
    {
        QFETCH(QString, programFile);
        QFETCH(bool, enableFails);
        QFETCH(bool, registers);
        ModelFixture f{.programFile = programFile};
        f.loginItem.failEnable = enableFails;
        f.model.registerLoginItemOnFirstInstall();
        QCOMPARE(f.model.opensAtLogin(), registers && !enableFails);
        QCOMPARE(f.loginItem.calls, registers ? QStringList{"enable"} : QStringList{});
        // A later launch leaves it as the user set it, even after a failure; one that was not
        // in an install location leaves the mark unset, so a launch from there still registers.
        f.loginItem.calls.clear();
        f.model.registerLoginItemOnFirstInstall();
        QCOMPARE(f.loginItem.calls, QStringList{});
        QCOMPARE(f.store.values.contains("loginItemConfigured"), registers);
        QCOMPARE(f.alerts.shown, QStringList{});
    }

    // Rows as the two readers send them: UPower's and sysfs's types and transports.
    void selectsTheMouse_data()
    {
        QTest::addColumn<Services>("services"); // type, product, percent, transport
        QTest::addColumn<Reading>("expected");
        const QString m = "MOUSE", usb = "USB";
        const std::nullopt_t none = std::nullopt;
        QTest::newRow("type MO without product")
            << Services{{m, none, 50, none}} << Reading{{50, false}};
        QTest::newRow("other type, product says MOUSE")
            << Services{{"KEYBOARD", "MAGIC MOUSE 2", 30, none}} << Reading{{30, false}};
        QTest::newRow("percentless mouse skipped")
            << Services{{m, none, none, none}, {none, "Mouse", 60, none}} << Reading{{60, false}};
        QTest::newRow("lowest wins with its own charging flag")
            << Services{{m, none, 40, none}, {m, none, 25, usb}} << Reading{{25, true}};
        QTest::newRow("first of equals stays")
            << Services{{m, none, 30, usb}, {m, none, 30, none}} << Reading{{30, true}};
        QTest::newRow("of equals a charging twin wins")
            << Services{{m, none, 8, none}, {m, none, 8, usb}} << Reading{{8, true}};
        QTest::newRow("unrecognised lower level ignored")
            << Services{{m, none, 40, none}, {none, "Keyboard", 3, none}} << Reading{{40, false}};
        QTest::newRow("zero is a reading") << Services{{m, none, 0, none}} << Reading{{0, false}};
        QTest::newRow("above 100 passes")
            << Services{{m, none, 140, none}} << Reading{{140, false}};
    }
    void selectsTheMouse()
    {
        QFETCH(Services, services);
        QFETCH(Reading, expected);
        QCOMPARE(MouseBatteryReader::select(services), expected);
    }
};

QTEST_GUILESS_MAIN(TestModel)
#include "test_model.moc"
