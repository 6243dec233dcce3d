#include "AppModel.h"
#include "FakeClock.h"
#include "ModelFakes.h"
#include "PrivateBus.h"
#include "UPowerTestbed.h"
#include "platform/battery/SysfsBatteryServices.h"
#include "platform/battery/UPowerBatteryServices.h"

#include <QDBusInterface>
#include <QDBusObjectPath>
#include <QDBusReply>
#include <QElapsedTimer>
#include <QTest>

#include <algorithm>
#include <cmath>

using Services = QList<BatteryService>;
using Reading = std::optional<MouseBattery>;

template <> char* QTest::toString(const Reading& reading)
{
    if (!reading)
        return qstrdup("no mouse");
    return qstrdup(qPrintable(QStringLiteral("%1 %, %2")
                                  .arg(reading->percent)
                                  .arg(reading->isCharging ? "charging" : "not charging")));
}

namespace {

const QString upowerName = QStringLiteral("org.freedesktop.UPower");
const QString upowerPath = QStringLiteral("/org/freedesktop/UPower");
constexpr const char* sameMouseTwice = "same mouse over Bluetooth and on its cable";

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

    QString m_dbusmockMissing;
    QString m_upowerMissing;

private slots:
    void initTestCase()
    {
        m_dbusmockMissing = PrivateBus::missingTools();
        m_upowerMissing = UPowerTestbed::missingTools();
    }

    // Each case through the real upowerd and through the sysfs fallback over the same tree: both
    // must find the same mouse.
    void readsTheMouseAsUPowerDoes_data()
    {
        using namespace Simulated;
        QTest::addColumn<SimulatedDevices>("devices");
        QTest::addColumn<Reading>("expected");

        QTest::newRow("Magic Mouse 2 low over Bluetooth, beside a laptop battery")
            << SimulatedDevices{laptopBattery(6), magicMouseOnBluetooth(8)} << Reading{{8, false}};
        QTest::newRow("mouse behind a Unifying receiver, discharging")
            << SimulatedDevices{mouseBehindReceiver(9)} << Reading{{9, false}};
        QTest::newRow("named without \"mouse\", known by its input device")
            << SimulatedDevices{mouseOverBluetoothLE("MX Anywhere 3", 40)} << Reading{{40, false}};
        QTest::newRow("a keyboard's lower battery ignored")
            << SimulatedDevices{bluetoothKeyboard(4), magicMouseOnBluetooth(60)}
            << Reading{{60, false}};
        QTest::newRow("a trackpad's lower battery ignored")
            << SimulatedDevices{bluetoothDevice("Magic Trackpad 2", 5, Input::Touchpad, 1024),
                                magicMouseOnBluetooth(50)}
            << Reading{{50, false}};
        QTest::newRow("known by name alone, no input device")
            << SimulatedDevices{bluetoothDevice("Wireless Mouse", 30, Input::None, 768)}
            << Reading{{30, false}};
        QTest::newRow("known by name alone, its input device no pointer")
            << SimulatedDevices{bluetoothDevice("Wireless Mouse", 31, Input::Keys, 768)}
            << Reading{{31, false}};
        QTest::newRow("on a USB interface but discharging: no cable")
            << SimulatedDevices{magicMouseOnCable(8, "Discharging")} << Reading{{8, false}};
        QTest::newRow("no mouse at all")
            << SimulatedDevices{laptopBattery(6), bluetoothKeyboard(4)} << Reading{};
        QTest::newRow(sameMouseTwice)
            << SimulatedDevices{magicMouseOnBluetooth(8), magicMouseOnCable(8, "Charging")}
            << Reading{{8, true}};
    }

    void readsTheMouseAsUPowerDoes()
    {
        if (!m_upowerMissing.isEmpty())
            QSKIP(qPrintable(m_upowerMissing));
        QFETCH(SimulatedDevices, devices);
        QFETCH(Reading, expected);
        UPowerTestbed testbed;
        QVERIFY(testbed.start());
        QVERIFY(testbed.add(devices));
        QVERIFY(testbed.startUPower());
        QVERIFY(testbed.waitUntilSettled());

        UPowerBatteryServices upower(testbed.connection("upower"), nullptr);
        SysfsBatteryServices sysfs(testbed.powerSupplyFolder());
        QCOMPARE(MouseBatteryReader::read(upower), expected);
        QCOMPARE(MouseBatteryReader::read(sysfs), expected);
    }

    // Plugged in while upowerd runs, then charged full: both readers follow.
    void followsTheMouseOnItsCableToFull()
    {
        if (!m_upowerMissing.isEmpty())
            QSKIP(qPrintable(m_upowerMissing));
        UPowerTestbed testbed;
        QVERIFY(testbed.start());
        QVERIFY(testbed.startUPower());
        const SimulatedDevice mouse = Simulated::magicMouseOnCable(8, "Charging");
        QVERIFY(testbed.add(mouse));
        QVERIFY(testbed.waitUntilSettled());
        UPowerBatteryServices upower(testbed.connection("upower"), nullptr);
        SysfsBatteryServices sysfs(testbed.powerSupplyFolder());
        QCOMPARE(MouseBatteryReader::read(upower), Reading({8, true}));
        QCOMPARE(MouseBatteryReader::read(sysfs), Reading({8, true}));

        QVERIFY(testbed.change(mouse, {{"status", "Full"}, {"capacity", "100"}}));
        QTRY_COMPARE_WITH_TIMEOUT(MouseBatteryReader::read(upower), Reading({100, true}), 5000);
        QCOMPARE(MouseBatteryReader::read(sysfs), Reading({100, true}));
    }

    // What upowerd and the sysfs fallback make of each battery status the kernel knows, and of a
    // keyboard.
    void mapsWhatUPowerReports()
    {
        if (!m_upowerMissing.isEmpty())
            QSKIP(qPrintable(m_upowerMissing));
        UPowerTestbed testbed;
        QVERIFY(testbed.start());
        int link = 512;
        for (const char* status : {"Charging", "Full", "Not charging", "Empty", "Discharging"}) {
            link += 256;
            QVERIFY(testbed.add(
                Simulated::bluetoothDevice(status, 40, Simulated::Input::Mouse, link, status)));
        }
        QVERIFY(testbed.add(Simulated::bluetoothKeyboard(40)));
        QVERIFY(testbed.startUPower());
        QVERIFY(testbed.waitUntilSettled());

        const auto byProduct = [](Services services) {
            std::sort(services.begin(), services.end(),
                      [](const BatteryService& a, const BatteryService& b) {
                          return a.product < b.product;
                      });
            return services;
        };
        const QString mouse = QStringLiteral("MOUSE");
        const QString usb = QStringLiteral("USB");
        const Services expected{{mouse, "Charging", 40, usb},   {mouse, "Discharging", 40, {}},
                                {mouse, "Empty", 40, {}},       {mouse, "Full", 40, usb},
                                {{}, "Magic Keyboard", 40, {}}, {mouse, "Not charging", 40, usb}};
        UPowerBatteryServices upower(testbed.connection("upower"), nullptr);
        QCOMPARE(byProduct(upower.services()), expected);
        QCOMPARE(byProduct(upower.services()), expected); // the keyboard as first read
        QCOMPARE(byProduct(SysfsBatteryServices(testbed.powerSupplyFolder()).services()), expected);
    }

    // Values of the wrong kind, which the real upowerd never sends.
    void mapsUPowerProperties_data()
    {
        QTest::addColumn<QVariantMap>("properties");
        QTest::addColumn<BatteryService>("expected");

        const QString model = QStringLiteral("Magic Mouse 2");
        const auto service = [&](std::optional<qint64> percent) {
            return BatteryService{std::nullopt, model, percent, std::nullopt};
        };
        QTest::newRow("fraction is no reading") << QVariantMap{{"Percentage", 42.5}} << service({});
        QTest::newRow("percentage as text") << QVariantMap{{"Percentage", "42"}} << service({});
        QTest::newRow("NaN") << QVariantMap{{"Percentage", std::nan("")}} << service({});
        QTest::newRow("negative passes as reported")
            << QVariantMap{{"Percentage", -5.0}} << service(-5);
        QTest::newRow("1e30") << QVariantMap{{"Percentage", 1e30}} << service({});
        QTest::newRow("2^63") << QVariantMap{{"Percentage", 9223372036854775808.0}} << service({});
        QTest::newRow("type as text") << QVariantMap{{"Type", "5"}} << service(42);
        QTest::newRow("no usable Model: a mouse by its type alone")
            << QVariantMap{{"Model", 7}, {"Type", 5U}}
            << BatteryService{"MOUSE", std::nullopt, 42, std::nullopt};
    }

    void mapsUPowerProperties()
    {
        if (!m_dbusmockMissing.isEmpty())
            QSKIP(qPrintable("needs a private D-Bus with dbusmock: " + m_dbusmockMissing));
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

    // Stopped with SIGSTOP, upowerd keeps its name but answers nothing, as a hung one does; then
    // it goes, and comes back.
    void fallsBackToSysfsOnlyWhileUPowerCannotAnswer()
    {
        if (!m_upowerMissing.isEmpty())
            QSKIP(qPrintable(m_upowerMissing));
        UPowerTestbed testbed;
        QVERIFY(testbed.start());
        QVERIFY(testbed.startUPower());
        UPowerBatteryServices reader(testbed.connection("upower-leaving"),
                                     std::make_unique<CannedBatteryServices>());
        QCOMPARE(reader.services(), Services{}); // UPower without devices is an answer

        testbed.pauseUPower();
        QElapsedTimer elapsed;
        elapsed.start();
        QCOMPARE(reader.services(), CannedBatteryServices::canned);
        qInfo("a stopped upowerd held one refresh for %lld ms before the fallback answered",
              elapsed.elapsed());

        testbed.stopUPower();
        QCOMPARE(reader.services(), CannedBatteryServices::canned);
        QVERIFY(testbed.startUPower());
        QCOMPARE(reader.services(), Services{});
    }

    void nothingAnywhereStoresNothing()
    {
        if (!m_dbusmockMissing.isEmpty())
            QSKIP(qPrintable("needs a private D-Bus: " + m_dbusmockMissing));
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
