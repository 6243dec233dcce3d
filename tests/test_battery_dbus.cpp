#include "AppModel.h"
#include "FakeClock.h"
#include "ModelFakes.h"
#include "PrivateBus.h"
#include "platform/SysfsBatteryServices.h"
#include "platform/UPowerBatteryServices.h"

#include <QDBusConnectionInterface>
#include <QDBusInterface>
#include <QDBusObjectPath>
#include <QDBusReply>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QTest>

#include <cmath>
#include <limits>

using Services = QList<BatteryService>;

namespace {

const QString upowerName = QStringLiteral("org.freedesktop.UPower");
const QString upowerPath = QStringLiteral("/org/freedesktop/UPower");
const QString mockInterface = QStringLiteral("org.freedesktop.DBus.Mock");

// Stands in for sysfs, so a test can tell whether UPower or the fallback answered.
class CannedBatteryServices final : public BatteryServices {
public:
    explicit CannedBatteryServices(Services canned)
        : m_canned(std::move(canned))
    {
    }
    Services services() override { return m_canned; }

private:
    Services m_canned;
};

const Services fallbackAnswer{{std::nullopt, QStringLiteral("from sysfs"), 77, std::nullopt}};

std::unique_ptr<BatteryServices> cannedFallback()
{
    return std::make_unique<CannedBatteryServices>(fallbackAnswer);
}

} // namespace

class TestBatteryDbus : public QObject {
    Q_OBJECT

private slots:
    void initTestCase()
    {
        if (const QString missing = PrivateBus::missingTools(); !missing.isEmpty())
            QSKIP(qPrintable(QStringLiteral("needs a private D-Bus with dbusmock: ") + missing));
    }

    void mapsUPowerProperties_data()
    {
        QTest::addColumn<QVariantMap>("properties");
        QTest::addColumn<BatteryService>("expected");

        const QString model = QStringLiteral("Magic Mouse 2");
        const auto service = [&](std::optional<QString> type, std::optional<qint64> percent,
                                 std::optional<QString> transport) {
            return BatteryService{std::move(type), model, percent, std::move(transport)};
        };
        const QString mouse = QStringLiteral("MOUSE");
        const QString usb = QStringLiteral("USB");
        const auto u = [](uint value) { return QVariant::fromValue(value); };

        QTest::newRow("battery discharging") << QVariantMap{} << service({}, 42, {});
        QTest::newRow("mouse type") << QVariantMap{{"Type", u(5)}} << service(mouse, 42, {});
        QTest::newRow("keyboard type") << QVariantMap{{"Type", u(6)}} << service({}, 42, {});
        QTest::newRow("charging") << QVariantMap{{"State", u(1)}} << service({}, 42, usb);
        QTest::newRow("fully charged") << QVariantMap{{"State", u(4)}} << service({}, 42, usb);
        QTest::newRow("pending charge") << QVariantMap{{"State", u(5)}} << service({}, 42, usb);
        QTest::newRow("empty") << QVariantMap{{"State", u(3)}} << service({}, 42, {});
        QTest::newRow("pending discharge") << QVariantMap{{"State", u(6)}} << service({}, 42, {});
        QTest::newRow("whole double") << QVariantMap{{"Percentage", 100.0}} << service({}, 100, {});
        QTest::newRow("fraction is no reading")
            << QVariantMap{{"Percentage", 42.5}} << service({}, {}, {});
        QTest::newRow("nan") << QVariantMap{{"Percentage", std::nan("")}} << service({}, {}, {});
        QTest::newRow("infinity") << QVariantMap{{"Percentage",
                                                  std::numeric_limits<double>::infinity()}}
                                  << service({}, {}, {});
        QTest::newRow("beyond qint64") << QVariantMap{{"Percentage", 1e300}} << service({}, {}, {});
        QTest::newRow("percentage as text")
            << QVariantMap{{"Percentage", QStringLiteral("42")}} << service({}, {}, {});
        QTest::newRow("type as text")
            << QVariantMap{{"Type", QStringLiteral("5")}} << service({}, 42, {});
        QTest::newRow("state as text")
            << QVariantMap{{"State", QStringLiteral("1")}} << service({}, 42, {});
        QTest::newRow("model as number")
            << QVariantMap{{"Model", 7}} << BatteryService{{}, {}, 42, {}};
    }

    void mapsUPowerProperties()
    {
        QFETCH(QVariantMap, properties);
        QFETCH(BatteryService, expected);
        PrivateBus bus;
        QVERIFY(bus.start());
        QVERIFY(bus.startTemplate(QStringLiteral("upower")));
        const QDBusConnection connection = bus.connection(QStringLiteral("upower-mapping"));
        const QString device = addBattery(connection, QStringLiteral("mouse_dev"),
                                          QStringLiteral("Magic Mouse 2"), 42.0);
        QVERIFY(!device.isEmpty());
        if (!properties.isEmpty())
            QVERIFY(setProperties(connection, device, properties));

        UPowerBatteryServices reader(connection, cannedFallback());
        QCOMPARE(reader.services(), Services{expected});
    }

    void keepsUPowerOrderAndSelectsTheMouse()
    {
        PrivateBus bus;
        QVERIFY(bus.start());
        QVERIFY(bus.startTemplate(QStringLiteral("upower")));
        const QDBusConnection connection = bus.connection(QStringLiteral("upower-order"));
        const QString laptop =
            addBattery(connection, QStringLiteral("BAT0"), QStringLiteral("Laptop"), 3.0);
        const QString mouse =
            addBattery(connection, QStringLiteral("mouse"), QStringLiteral("Magic Mouse 2"), 8.0);
        QVERIFY(setProperties(connection, mouse,
                              {{"Type", QVariant::fromValue(5u)}, {"PowerSupply", false}}));

        UPowerBatteryServices reader(connection, cannedFallback());
        const Services services = reader.services();
        QCOMPARE(services.size(), 2);
        QCOMPARE(services.at(0).product, QStringLiteral("Laptop"));
        QCOMPARE(MouseBatteryReader::select(services), (MouseBattery{8, false}));
    }

    void fallsBackWithoutUPower_data()
    {
        QTest::addColumn<bool>("upowerRunning");
        QTest::addColumn<Services>("expected");
        QTest::newRow("no owner of the name") << false << fallbackAnswer;
        QTest::newRow("upower with no devices") << true << Services{};
    }

    void fallsBackWithoutUPower()
    {
        QFETCH(bool, upowerRunning);
        QFETCH(Services, expected);
        PrivateBus bus;
        QVERIFY(bus.start());
        if (upowerRunning)
            QVERIFY(bus.startTemplate(QStringLiteral("upower")));
        UPowerBatteryServices reader(bus.connection(QStringLiteral("upower-fallback")),
                                     cannedFallback());
        QCOMPARE(reader.services(), expected);
    }

    void upowerGoingAwayFallsBack()
    {
        PrivateBus bus;
        QVERIFY(bus.start());
        QVERIFY(bus.startTemplate(QStringLiteral("upower")));
        UPowerBatteryServices reader(bus.connection(QStringLiteral("upower-leaving")),
                                     cannedFallback());
        QCOMPARE(reader.services(), Services{});
        bus.stopMock(upowerName);
        QCOMPARE(reader.services(), fallbackAnswer);
    }

    void stuckUPowerCostsOneShortStall()
    {
        PrivateBus bus;
        QVERIFY(bus.start());
        QVERIFY(bus.startMock(upowerName, upowerPath, QStringLiteral("org.freedesktop.UPower")));
        const QDBusConnection connection = bus.connection(QStringLiteral("upower-stuck"));
        QDBusInterface mock(upowerName, upowerPath, mockInterface, connection);
        const QDBusMessage added =
            mock.call(QStringLiteral("AddMethod"), QStringLiteral("org.freedesktop.UPower"),
                      QStringLiteral("EnumerateDevices"), QString(), QStringLiteral("ao"),
                      QStringLiteral("import time\ntime.sleep(3)\nret = []"));
        QVERIFY2(added.type() == QDBusMessage::ReplyMessage, qPrintable(added.errorMessage()));

        UPowerBatteryServices reader(connection, cannedFallback());
        QElapsedTimer elapsed;
        elapsed.start();
        const Services services = reader.services();
        const qint64 ms = elapsed.elapsed();
        qInfo("stuck UPower: services() returned after %lld ms", ms);
        QCOMPARE(services, fallbackAnswer);
        QVERIFY2(ms < 700, qPrintable(QStringLiteral("took %1 ms").arg(ms)));
    }

    void nothingAnywhereStoresNothing()
    {
        PrivateBus bus;
        QVERIFY(bus.start());
        QTemporaryDir emptySys;
        QVERIFY(emptySys.isValid());
        UPowerBatteryServices batteries(bus.connection(QStringLiteral("nothing")),
                                        std::make_unique<SysfsBatteryServices>(emptySys.path()));
        MemorySettingsStore store;
        FakeLoginItem loginItem;
        FakeTrash trash;
        FakeAlerts alerts;
        FakeClock clock;
        AppModel model({batteries, store, loginItem, trash, alerts, clock, QString()});
        QCOMPARE(model.battery(), std::optional<MouseBattery>{});
        QVERIFY(!store.values.contains(QStringLiteral("lastPercent")));
        QVERIFY(!store.values.contains(QStringLiteral("lastSeen")));
        QCOMPARE(model.percentNeedingReminder(), std::optional<qint64>{});
    }

    void lowMouseOverUPowerNeedsReminder()
    {
        PrivateBus bus;
        QVERIFY(bus.start());
        QVERIFY(bus.startTemplate(QStringLiteral("upower")));
        const QDBusConnection connection = bus.connection(QStringLiteral("upower-model"));
        const QString mouse =
            addBattery(connection, QStringLiteral("mouse"), QStringLiteral("Magic Mouse 2"), 8.0);
        QVERIFY(setProperties(connection, mouse, {{"Type", QVariant::fromValue(5u)}}));
        UPowerBatteryServices batteries(connection, cannedFallback());
        MemorySettingsStore store;
        FakeLoginItem loginItem;
        FakeTrash trash;
        FakeAlerts alerts;
        FakeClock clock;
        AppModel model({batteries, store, loginItem, trash, alerts, clock, QString()});
        QCOMPARE(model.percentNeedingReminder(), std::optional<qint64>{8});
    }

private:
    static QString addBattery(const QDBusConnection& connection, const QString& name,
                              const QString& model, double percent)
    {
        QDBusInterface mock(upowerName, upowerPath, mockInterface, connection);
        const QDBusReply<QString> path =
            mock.call(QStringLiteral("AddDischargingBattery"), name, model, percent, qint64(3600));
        if (!path.isValid())
            qWarning("AddDischargingBattery: %s", qPrintable(path.error().message()));
        return path.isValid() ? path.value() : QString();
    }

    static bool setProperties(const QDBusConnection& connection, const QString& device,
                              const QVariantMap& properties)
    {
        QDBusInterface mock(upowerName, upowerPath, mockInterface, connection);
        const QDBusMessage reply =
            mock.call(QStringLiteral("SetDeviceProperties"),
                      QVariant::fromValue(QDBusObjectPath(device)), properties);
        if (reply.type() != QDBusMessage::ReplyMessage)
            qWarning("SetDeviceProperties: %s", qPrintable(reply.errorMessage()));
        return reply.type() == QDBusMessage::ReplyMessage;
    }
};

QTEST_GUILESS_MAIN(TestBatteryDbus)
#include "test_battery_dbus.moc"
