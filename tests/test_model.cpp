#include "AppModel.h"

#include "FakeClock.h"
#include "ModelFakes.h"

#include <QSignalSpy>
#include <QTest>

using namespace std::chrono_literals;

namespace {

const QDateTime start(QDate(2026, 12, 6), QTime(22, 0), Qt::UTC);

// A model over fakes, built the way the agent builds its own.
struct ModelFixture {
    explicit ModelFixture(QString programFile = QStringLiteral("/home/ada/bin/nightwick"))
        : programFile(std::move(programFile))
    {
    }

    AppModel& model()
    {
        if (!built) {
            built = std::make_unique<AppModel>(
                AppModel::Services{batteries, store, loginItem, trash, alerts, clock, programFile});
        }
        return *built;
    }

    FakeBatteryServices batteries;
    MemorySettingsStore store;
    FakeLoginItem loginItem;
    FakeTrash trash;
    FakeAlerts alerts;
    FakeClock clock{start};
    QString programFile;
    std::unique_ptr<AppModel> built;
};

} // namespace

class TestModel : public QObject {
    Q_OBJECT

private slots:
    void reminderRule_data();
    void reminderRule();
    void storesEachReadingWithItsTime();
    void keepsLastReadingWhileMouseIsAway();
    void remindsOfLowDischargingMouse();
    void thresholdIsStoredOnEveryAssignment();
    void firstInstallRegistration_data();
    void firstInstallRegistration();
    void registersOnlyOnce();
    void failedSwitchShowsOneAlertAndFollowsRealState();
    void uninstall_data();
    void uninstall();
};

void TestModel::reminderRule_data()
{
    QTest::addColumn<std::optional<QDateTime>>("lastSeen");
    QTest::addColumn<bool>("charging");
    QTest::addColumn<qint64>("percent");
    QTest::addColumn<qint64>("threshold");
    QTest::addColumn<std::optional<qint64>>("expected");

    const auto ago = [](int hours) { return std::optional(start.addSecs(-hours * 3600)); };
    const std::optional<qint64> none;
    QTest::newRow("never seen") << std::optional<QDateTime>() << false << qint64(3) << qint64(10)
                                << none;
    QTest::newRow("at the threshold")
        << ago(0) << false << qint64(10) << qint64(10) << std::optional<qint64>(10);
    QTest::newRow("one above") << ago(0) << false << qint64(11) << qint64(10) << none;
    QTest::newRow("charging") << ago(0) << true << qint64(5) << qint64(10) << none;
    QTest::newRow("seen 47 hours ago")
        << ago(47) << false << qint64(8) << qint64(10) << std::optional<qint64>(8);
    QTest::newRow("seen 48 hours ago") << ago(48) << false << qint64(8) << qint64(10) << none;
    QTest::newRow("seen in the future")
        << ago(-5) << false << qint64(8) << qint64(10) << std::optional<qint64>(8);
    QTest::newRow("threshold off the list")
        << ago(0) << false << qint64(30) << qint64(33) << std::optional<qint64>(30);
    QTest::newRow("zero is a reading")
        << ago(0) << false << qint64(0) << qint64(5) << std::optional<qint64>(0);
    QTest::newRow("invalid date") << std::optional<QDateTime>(QDateTime()) << false << qint64(3)
                                  << qint64(10) << none;
}

void TestModel::reminderRule()
{
    QFETCH(std::optional<QDateTime>, lastSeen);
    QFETCH(bool, charging);
    QFETCH(qint64, percent);
    QFETCH(qint64, threshold);
    QFETCH(std::optional<qint64>, expected);
    QCOMPARE(reminderPercent(lastSeen, start, charging, percent, threshold), expected);
}

void TestModel::storesEachReadingWithItsTime()
{
    ModelFixture f;
    f.batteries.setMouse(42, true);
    AppModel& model = f.model();
    QCOMPARE(model.threshold(), 10);
    QCOMPARE(model.battery(), std::optional(MouseBattery{42, true}));
    QCOMPARE(f.store.values.value("lastPercent").toLongLong(), 42);
    QCOMPARE(f.store.values.value("lastCharging").toBool(), true);
    QCOMPARE(f.store.values.value("lastSeen").toDateTime(), start);
    QVERIFY2(!f.store.values.contains("threshold"), "the default threshold is not written back");

    QSignalSpy willChange(&model, &AppModel::objectWillChange);
    f.clock.advance(600s);
    model.refresh();
    QCOMPARE(f.store.values.value("lastSeen").toDateTime(), start.addSecs(600));
    QVERIFY2(willChange.count() >= 2, "every refresh publishes battery and login state");
}

void TestModel::keepsLastReadingWhileMouseIsAway()
{
    ModelFixture f;
    f.batteries.setMouse(8, false);
    AppModel& model = f.model();
    f.batteries.devices.clear();
    f.clock.advance(47h);
    model.refresh();
    QCOMPARE(model.battery(), std::nullopt);
    QCOMPARE(f.store.values.value("lastPercent").toLongLong(), 8);
    QCOMPARE(f.store.values.value("lastSeen").toDateTime(), start);
    QCOMPARE(model.percentNeedingReminder(), std::optional<qint64>(8));
    f.clock.advance(1h);
    QCOMPARE(model.percentNeedingReminder(), std::nullopt);
}

void TestModel::remindsOfLowDischargingMouse()
{
    ModelFixture f;
    AppModel& model = f.model();
    QCOMPARE(model.percentNeedingReminder(), std::nullopt);

    // The decision reads the mouse afresh, not the reading from construction.
    f.batteries.setMouse(8, false);
    QCOMPARE(model.percentNeedingReminder(), std::optional<qint64>(8));
    f.batteries.setMouse(8, true);
    QCOMPARE(model.percentNeedingReminder(), std::nullopt);
}

void TestModel::thresholdIsStoredOnEveryAssignment()
{
    ModelFixture f;
    AppModel& model = f.model();
    QSignalSpy willChange(&model, &AppModel::objectWillChange);
    model.setThreshold(15);
    model.setThreshold(15);
    QCOMPARE(willChange.count(), 2);
    QCOMPARE(f.store.values.value("threshold").toLongLong(), 15);

    AppModel nextStart(
        {f.batteries, f.store, f.loginItem, f.trash, f.alerts, f.clock, f.programFile});
    QCOMPARE(nextStart.threshold(), 15);
}

void TestModel::firstInstallRegistration_data()
{
    QTest::addColumn<QString>("programFile");
    QTest::addColumn<bool>("registers");

    QTest::newRow("in Applications") << "/home/ada/Applications/nightwick" << true;
    QTest::newRow("AppImage in Applications")
        << "/home/ada/Applications/Nightwick.AppImage" << true;
    QTest::newRow("lower-case folder") << "/home/ada/applications/nightwick" << false;
    QTest::newRow("subfolder of Applications") << "/home/ada/Applications/tools/nightwick" << false;
    QTest::newRow("build folder") << "/home/ada/src/build/nightwick" << false;
}

void TestModel::firstInstallRegistration()
{
    QFETCH(QString, programFile);
    QFETCH(bool, registers);

    ModelFixture f(programFile);
    f.loginItem.failEnable = false;
    f.model().registerLoginItemOnFirstInstall();
    QCOMPARE(f.loginItem.calls, registers ? QStringList{"enable"} : QStringList{});
    QCOMPARE(f.model().opensAtLogin(), registers);
    // Left unset elsewhere, so a later launch from Applications still registers.
    QCOMPARE(f.store.values.contains("loginItemConfigured"), registers);
}

void TestModel::registersOnlyOnce()
{
    ModelFixture f(QStringLiteral("/home/ada/Applications/nightwick"));
    f.loginItem.failEnable = true;
    f.model().registerLoginItemOnFirstInstall();
    QCOMPARE(f.alerts.shown, QStringList{});
    // The user turns it off; the next launch leaves it off, as it does after a failure.
    f.loginItem.failEnable = false;
    f.model().registerLoginItemOnFirstInstall();
    QCOMPARE(f.loginItem.calls, QStringList{"enable"});
}

void TestModel::failedSwitchShowsOneAlertAndFollowsRealState()
{
    ModelFixture f;
    f.loginItem.failEnable = true;
    f.model().setOpensAtLogin(true);
    QCOMPARE(f.alerts.shown, QStringList{"enable refused"});
    QCOMPARE(f.model().opensAtLogin(), false);

    f.loginItem.failEnable = false;
    f.model().setOpensAtLogin(true);
    QCOMPARE(f.alerts.shown.size(), 1);
    QCOMPARE(f.model().opensAtLogin(), true);
}

void TestModel::uninstall_data()
{
    QTest::addColumn<bool>("wasOn");
    QTest::addColumn<QString>("trashFailure");
    QTest::addColumn<QStringList>("loginCalls");
    QTest::addColumn<bool>("endsOn");

    QTest::newRow("moved, was on") << true << QString() << QStringList{"disable"} << false;
    QTest::newRow("stuck, was on")
        << true << "read-only folder" << QStringList{"disable", "enable"} << true;
    QTest::newRow("stuck, was off")
        << false << "read-only folder" << QStringList{"disable"} << false;
}

void TestModel::uninstall()
{
    QFETCH(bool, wasOn);
    QFETCH(QString, trashFailure);
    QFETCH(QStringList, loginCalls);
    QFETCH(bool, endsOn);

    ModelFixture f;
    f.batteries.setMouse(30, false);
    f.loginItem.enabled = wasOn;
    AppModel& model = f.model();
    model.setThreshold(15);
    f.trash.failure = trashFailure;

    const Outcome outcome = model.uninstall();
    QCOMPARE(outcome.ok(), trashFailure.isEmpty());
    QCOMPARE(outcome.errorDescription(), trashFailure);
    QCOMPARE(f.trash.trashed, QStringList{f.programFile});
    QCOMPARE(f.loginItem.calls, loginCalls);
    QCOMPARE(f.loginItem.enabled, endsOn);
    if (outcome.ok()) {
        QVERIFY(f.store.values.isEmpty());
    } else {
        QCOMPARE(f.store.values.value("threshold").toLongLong(), 15);
        QCOMPARE(f.store.values.value("lastPercent").toLongLong(), 30);
        QCOMPARE(model.opensAtLogin(), endsOn);
    }
}

QTEST_GUILESS_MAIN(TestModel)
#include "test_model.moc"
