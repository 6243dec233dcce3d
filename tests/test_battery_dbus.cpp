#include "AppModel.h"
#include "FakeClock.h"
#include "ModelFakes.h"
#include "PrivateBus.h"
#include "platform/SysfsBatteryServices.h"
#include "platform/UPowerBatteryServices.h"

#include <QDBusInterface>
#include <QDBusObjectPath>
#include <QDBusReply>
#include <QElapsedTimer>
#include <QTest>

using Services = QList<BatteryService>;

namespace {

const QString upowerName = QStringLiteral("org.freedesktop.UPower");
const QString upowerPath = QStringLiteral("/org/freedesktop/UPower");

// Stands in for sysfs, so a test can tell whether UPower or the fallback answered.
class CannedBatteryServices final : public BatteryServices {
public:
    Services services() override { return canned; }
    static inline const Services canned{{std::nullopt, "from sysfs", 77, std::nullopt}};
};

QDBusMessage callMock(const QDBusConnection& connection, const QString& method,
                      const QVariantList& arguments)
{
    QDBusInterface mock(upowerName, upowerPath, "org.freedesktop.DBus.Mock", connection);
    return mock.callWithArgumentList(QDBus::Block, method, arguments);
}

} // namespace

class TestBatteryDbus : public QObject {
    Q_OBJECT

private slots:
    void initTestCase()
    {
        if (const QString missing = PrivateBus::missingTools(); !missing.isEmpty())
            QSKIP(qPrintable("needs a private D-Bus with dbusmock: " + missing));
    }

    void mapsUPowerProperties_data()
    {
        QTest::addColumn<QVariantMap>("properties");
        QTest::addColumn<BatteryService>("expected");

        const QString model = QStringLiteral("Magic Mouse 2");
        const auto service = [&](std::optional<QString> type, std::optional<qint64> percent,
                                 std::optional<QString> transport = {}) {
            return BatteryService{std::move(type), model, percent, std::move(transport)};
        };
        const QString usb = QStringLiteral("USB");
        const auto u = [](uint value) { return QVariant::fromValue(value); };

        QTest::newRow("mouse type") << QVariantMap{{"Type", u(5)}} << service("MOUSE", 42);
        QTest::newRow("keyboard type") << QVariantMap{{"Type", u(6)}} << service({}, 42);
        QTest::newRow("charging") << QVariantMap{{"State", u(1)}} << service({}, 42, usb);
        QTest::newRow("fully charged") << QVariantMap{{"State", u(4)}} << service({}, 42, usb);
        QTest::newRow("pending charge") << QVariantMap{{"State", u(5)}} << service({}, 42, usb);
        QTest::newRow("empty") << QVariantMap{{"State", u(3)}} << service({}, 42);
        QTest::newRow("fraction is no reading")
            << QVariantMap{{"Percentage", 42.5}} << service({}, {});

        QTest::newRow("percentage as text") << QVariantMap{{"Percentage", "42"}} << service({}, {});
        QTest::newRow("type as text") << QVariantMap{{"Type", "5"}} << service({}, 42);
    }

    void mapsUPowerProperties()
    {
        QFETCH(QVariantMap, properties);
        QFETCH(BatteryService, expected);
        PrivateBus bus;
        QVERIFY(bus.start());
        QVERIFY(bus.startTemplate("upower"));
        const QDBusConnection connection = bus.connection("upower-mapping");
        const QDBusReply<QString> device =
            callMock(connection, "AddDischargingBattery",
                     {"mouse_dev", "Magic Mouse 2", 42.0, qint64(3600)});
        QVERIFY2(device.isValid(), qPrintable(device.error().message()));
        const QDBusMessage set =
            callMock(connection, "SetDeviceProperties",
                     {QVariant::fromValue(QDBusObjectPath(device.value())), properties});
        QVERIFY2(set.type() == QDBusMessage::ReplyMessage, qPrintable(set.errorMessage()));
        UPowerBatteryServices reader(connection, std::make_unique<CannedBatteryServices>());
        QCOMPARE(reader.services(), Services{expected});
    }

    void fallsBackToSysfsOnlyWithoutUPower()
    {
        PrivateBus bus;
        QVERIFY(bus.start());
        QVERIFY(bus.startTemplate("upower"));
        UPowerBatteryServices reader(bus.connection("upower-leaving"),
                                     std::make_unique<CannedBatteryServices>());
        QCOMPARE(reader.services(), Services{}); // UPower without devices is an answer
        bus.stopMock(upowerName);
        QCOMPARE(reader.services(), CannedBatteryServices::canned);
    }

    void stuckUPowerCostsOneShortStall()
    {
        PrivateBus bus;
        QVERIFY(bus.start());
        QVERIFY(bus.startMock(upowerName, upowerPath, upowerName));
        const QDBusConnection connection = bus.connection("upower-stuck");
        const QDBusMessage added = callMock(
            connection, "AddMethod",
            {upowerName, "EnumerateDevices", "", "ao", "import time\ntime.sleep(3)\nret = []"});
        QVERIFY2(added.type() == QDBusMessage::ReplyMessage, qPrintable(added.errorMessage()));

        UPowerBatteryServices reader(connection, std::make_unique<CannedBatteryServices>());
        QElapsedTimer elapsed;
        elapsed.start();
        QCOMPARE(reader.services(), CannedBatteryServices::canned);
        QVERIFY2(elapsed.elapsed() < 700, qPrintable(QString::number(elapsed.elapsed()) + " ms"));
    }

    void nothingAnywhereStoresNothing()
    {
        PrivateBus bus;
        QVERIFY(bus.start());
        UPowerBatteryServices batteries(bus.connection("nothing"),
                                        std::make_unique<SysfsBatteryServices>("/nonexistent"));
        MemorySettingsStore store;
        FakeLoginItem loginItem;
        FakeTrash trash;
        FakeAlerts alerts;
        FakeClock clock;
        AppModel model({batteries, store, loginItem, trash, alerts, clock, QString()});
        QCOMPARE(model.battery(), std::nullopt);
        QCOMPARE(model.percentNeedingReminder(), std::nullopt);
        QCOMPARE(store.values, QVariantMap{});
    }
};

QTEST_GUILESS_MAIN(TestBatteryDbus)
#include "test_battery_dbus.moc"
