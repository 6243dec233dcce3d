#include "AppModel.h"
#include "platform/SysfsBatteryServices.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

using Services = QList<BatteryService>;
using Reading = std::optional<MouseBattery>;

namespace {

BatteryService device(std::optional<QString> type, std::optional<QString> product,
                      std::optional<qint64> percent, std::optional<QString> transport = {})
{
    return BatteryService{std::move(type), std::move(product), percent, std::move(transport)};
}

const std::optional<QString> none;
const QString mouseType = QStringLiteral("MOUSE");

// One supply folder as the kernel lays it out; absent attributes are simply not written.
struct Supply {
    QString name;
    QMap<QString, QByteArray> attributes;
    QString devicePath; // under the temporary root, linked as "device" when set
};

} // namespace

Q_DECLARE_METATYPE(Supply)

class TestBattery : public QObject {
    Q_OBJECT

private slots:
    void selectsTheMouse_data()
    {
        QTest::addColumn<Services>("services");
        QTest::addColumn<Reading>("expected");

        QTest::newRow("no devices") << Services{} << Reading{};
        QTest::newRow("recognised without percent")
            << Services{device(mouseType, none, {})} << Reading{};
        QTest::newRow("type MO without product")
            << Services{device(QStringLiteral("MOUSE"), none, 50)} << Reading{{50, false}};
        QTest::newRow("type prefix is case-sensitive")
            << Services{device(QStringLiteral("mouse"), QStringLiteral("Keyboard"), 50)}
            << Reading{};
        QTest::newRow("type must begin with MO")
            << Services{device(QStringLiteral("XMOUSE"), QStringLiteral("Keyboard"), 50)}
            << Reading{};
        QTest::newRow("product in capitals")
            << Services{device(none, QStringLiteral("MAGIC MOUSE 2"), 30)} << Reading{{30, false}};
        QTest::newRow("product with capital initial")
            << Services{device(none, QStringLiteral("Magic Mouse"), 30)} << Reading{{30, false}};
        QTest::newRow("other type, product says mouse")
            << Services{device(QStringLiteral("KEYBOARD"), QStringLiteral("mouse pad"), 30)}
            << Reading{{30, false}};
        QTest::newRow("neither test")
            << Services{device(none, QStringLiteral("Trackpad"), 30)} << Reading{};
        QTest::newRow("usb is charging")
            << Services{device(mouseType, none, 30, QStringLiteral("USB"))} << Reading{{30, true}};
        QTest::newRow("lower-case usb is not")
            << Services{device(mouseType, none, 30, QStringLiteral("usb"))} << Reading{{30, false}};
        QTest::newRow("lowest wins with its own charging flag")
            << Services{device(mouseType, none, 40),
                        device(mouseType, none, 25, QStringLiteral("USB"))}
            << Reading{{25, true}};
        QTest::newRow("first of equals stays")
            << Services{device(mouseType, none, 30, QStringLiteral("USB")),
                        device(mouseType, none, 30)}
            << Reading{{30, true}};
        QTest::newRow("unrecognised lower level ignored")
            << Services{device(mouseType, none, 40), device(none, QStringLiteral("Keyboard"), 3)}
            << Reading{{40, false}};
        QTest::newRow("percentless mouse does not hide another")
            << Services{device(mouseType, none, {}), device(none, QStringLiteral("Mouse"), 60)}
            << Reading{{60, false}};
        QTest::newRow("zero is a reading")
            << Services{device(mouseType, none, 0)} << Reading{{0, false}};
        QTest::newRow("above 100 passes")
            << Services{device(mouseType, none, 140)} << Reading{{140, false}};
    }

    void selectsTheMouse()
    {
        QFETCH(Services, services);
        QFETCH(Reading, expected);
        QCOMPARE(MouseBatteryReader::select(services), expected);
    }

    void readsSysfs_data()
    {
        QTest::addColumn<QList<Supply>>("supplies");
        QTest::addColumn<Services>("expected");

        const auto attrs = [](QByteArray scope, QByteArray model, QByteArray capacity,
                              QByteArray status = {}) {
            QMap<QString, QByteArray> map{{QStringLiteral("scope"), scope}};
            if (!model.isNull())
                map.insert(QStringLiteral("model_name"), model);
            if (!capacity.isNull())
                map.insert(QStringLiteral("capacity"), capacity);
            if (!status.isNull())
                map.insert(QStringLiteral("status"), status);
            return map;
        };
        const QString usbHid = QStringLiteral("devices/pci0000:00/usb1/1-2/0003:046D:C52B.0001");
        const QString bluetoothOverUsbDongle = QStringLiteral(
            "devices/pci0000:00/usb1/1-14/bluetooth/hci0/hci0:512/0005:004C:0269.0002");

        QTest::newRow("empty folder") << QList<Supply>{} << Services{};
        QTest::newRow("device scope read, system scope skipped")
            << QList<Supply>{{QStringLiteral("BAT0"), attrs("System\n", "Laptop\n", "3\n"), {}},
                             {QStringLiteral("hid-mouse-battery"),
                              attrs("Device\n", "Magic Mouse 2\n", "8\n", "Discharging\n"),
                              {}}}
            << Services{device(none, QStringLiteral("Magic Mouse 2"), 8)};
        QTest::newRow("sorted by entry name")
            << QList<Supply>{{QStringLiteral("b"), attrs("Device", "second", "2"), {}},
                             {QStringLiteral("a"), attrs("Device", "first", "1"), {}}}
            << Services{device(none, QStringLiteral("first"), 1),
                        device(none, QStringLiteral("second"), 2)};
        QTest::newRow("charging and full count as cable")
            << QList<Supply>{{QStringLiteral("a"), attrs("Device", "m", "5", "Charging\n"), {}},
                             {QStringLiteral("b"), attrs("Device", "m", "100", "Full"), {}},
                             {QStringLiteral("c"), attrs("Device", "m", "50", "Not charging"), {}}}
            << Services{device(none, QStringLiteral("m"), 5, QStringLiteral("USB")),
                        device(none, QStringLiteral("m"), 100, QStringLiteral("USB")),
                        device(none, QStringLiteral("m"), 50)};
        QTest::newRow("device on a usb bus")
            << QList<Supply>{{QStringLiteral("a"), attrs("Device", "m", "40", "Discharging"),
                              usbHid}}
            << Services{device(none, QStringLiteral("m"), 40, QStringLiteral("USB"))};
        QTest::newRow("bluetooth behind a usb dongle is not on a cable")
            << QList<Supply>{{QStringLiteral("a"), attrs("Device", "m", "40", "Discharging"),
                              bluetoothOverUsbDongle}}
            << Services{device(none, QStringLiteral("m"), 40)};
        QTest::newRow("garbage capacity is absent")
            << QList<Supply>{{QStringLiteral("a"), attrs("Device", "m", "4x2"), {}},
                             {QStringLiteral("b"), attrs("Device", "m", ""), {}},
                             {QStringLiteral("c"),
                              attrs("Device", "m", "99999999999999999999"),
                              {}}}
            << Services{device(none, QStringLiteral("m"), {}),
                        device(none, QStringLiteral("m"), {}),
                        device(none, QStringLiteral("m"), {})};
        QTest::newRow("missing files and bad text are absent")
            << QList<Supply>{{QStringLiteral("a"), attrs("Device", {}, {}), {}},
                             {QStringLiteral("b"), attrs("Device", "\xff\xfe mouse", "7"), {}}}
            << Services{device(none, none, {}), device(none, none, 7)};
        QTest::newRow("no scope is skipped")
            << QList<Supply>{{QStringLiteral("a"), {{QStringLiteral("capacity"), "9"}}, {}}}
            << Services{};
    }

    void readsSysfs()
    {
        QFETCH(QList<Supply>, supplies);
        QFETCH(Services, expected);
        QTemporaryDir sys;
        QVERIFY(sys.isValid());
        const QDir base(sys.path());
        QVERIFY(base.mkpath(QStringLiteral("class/power_supply")));
        for (const Supply& supply : supplies) {
            const QString folder = QStringLiteral("class/power_supply/") + supply.name;
            QVERIFY(base.mkpath(folder));
            for (auto it = supply.attributes.cbegin(); it != supply.attributes.cend(); ++it) {
                QFile file(base.filePath(folder + QLatin1Char('/') + it.key()));
                QVERIFY(file.open(QIODevice::WriteOnly));
                file.write(it.value());
            }
            if (!supply.devicePath.isEmpty()) {
                QVERIFY(base.mkpath(supply.devicePath));
                QVERIFY(QFile::link(base.filePath(supply.devicePath),
                                    base.filePath(folder + QStringLiteral("/device"))));
            }
        }
        SysfsBatteryServices reader(base.filePath(QStringLiteral("class/power_supply")));
        QCOMPARE(reader.services(), expected);
    }

    void missingRootReadsNothing()
    {
        SysfsBatteryServices reader(QStringLiteral("/nonexistent/power_supply"));
        QCOMPARE(reader.services(), Services{});
    }
};

QTEST_GUILESS_MAIN(TestBattery)
#include "test_battery.moc"
