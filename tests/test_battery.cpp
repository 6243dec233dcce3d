#include "AppModel.h"
#include "platform/battery/SysfsBatteryServices.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>

using Services = QList<BatteryService>;
using Reading = std::optional<MouseBattery>;

namespace {

const std::optional<QString> none;
const QString mouse = QStringLiteral("MOUSE");
const QString usb = QStringLiteral("USB");

BatteryService device(std::optional<QString> type, std::optional<QString> product,
                      std::optional<qint64> percent, std::optional<QString> transport = {})
{
    return {std::move(type), std::move(product), percent, std::move(transport)};
}

BatteryService mouseAt(std::optional<qint64> percent, std::optional<QString> transport = {})
{
    return device(mouse, none, percent, std::move(transport));
}

} // namespace

// Power-supply folders by name, "name=value;..." (a name with slashes in folders below it);
// "<fifo>", "<folder>", "<huge>" (padded past what an attribute holds) and "<unreadable>" (a link
// to a write-only kernel attribute, which not even root may read) make what they say.
using Supplies = QList<std::pair<QString, QByteArray>>;

class TestBattery : public QObject {
    Q_OBJECT

private slots:
    // Rows as the two readers send them: UPower's and sysfs's types and transports.
    void selectsTheMouse_data()
    {
        QTest::addColumn<Services>("services");
        QTest::addColumn<Reading>("expected");
        const QString keyboard = QStringLiteral("Keyboard");
        QTest::newRow("type MO without product") << Services{mouseAt(50)} << Reading{{50, false}};
        QTest::newRow("other type, product says MOUSE")
            << Services{device(QStringLiteral("KEYBOARD"), QStringLiteral("MAGIC MOUSE 2"), 30)}
            << Reading{{30, false}};
        QTest::newRow("percentless mouse skipped")
            << Services{mouseAt({}), device(none, QStringLiteral("Mouse"), 60)}
            << Reading{{60, false}};
        QTest::newRow("lowest wins with its own charging flag")
            << Services{mouseAt(40), mouseAt(25, usb)} << Reading{{25, true}};
        QTest::newRow("first of equals stays")
            << Services{mouseAt(30, usb), mouseAt(30)} << Reading{{30, true}};
        QTest::newRow("of equals a charging twin wins")
            << Services{mouseAt(8), mouseAt(8, usb)} << Reading{{8, true}};
        QTest::newRow("unrecognised lower level ignored")
            << Services{mouseAt(40), device(none, keyboard, 3)} << Reading{{40, false}};
        QTest::newRow("zero is a reading") << Services{mouseAt(0)} << Reading{{0, false}};
        QTest::newRow("above 100 passes") << Services{mouseAt(140)} << Reading{{140, false}};
    }

    void selectsTheMouse()
    {
        QFETCH(Services, services);
        QFETCH(Reading, expected);
        QCOMPARE(MouseBatteryReader::select(services), expected);
    }

    // What a broken sysfs shows, where test_upowerd's simulated trees cannot reach.
    void readsSysfs_data()
    {
        QTest::addColumn<Supplies>("supplies");
        QTest::addColumn<Services>("expected");

        const QString m = QStringLiteral("m");
        const QByteArray dev = "scope=Device;model_name=m;";
        QTest::newRow("only device scope, sorted by name")
            << Supplies{{"c", dev + "capacity=8\n"},
                        {"a", "scope=Device\n;capacity=1"},
                        {"b", "scope=System;capacity=3"},
                        {"d", "capacity=9"}}
            << Services{device(none, none, 1), device(none, m, 8)};
        const QByteArray mouseInput = "device/input/input0/capabilities/";
        QTest::newRow("garbage, FIFOs and missing files are absent")
            << Supplies{{"a", dev + "capacity=4x2;status=<fifo>"},
                        {"b", dev + "capacity=99999999999999999999"},
                        {"c", "scope=Device;model_name=\xff\xfeMouse"},
                        {"d", dev + mouseInput + "ev=7;" + mouseInput + "key=x 10000 0 0 0 0;" +
                                  mouseInput + "rel=3"}}
            << Services{device(none, m, {}), device(none, m, {}), device(none, none, {}),
                        device(none, m, {})};
        QTest::newRow("empty, huge and unreadable attributes and folders are absent")
            << Supplies{{"a", dev + "capacity="},
                        {"b", dev + "capacity=<huge>"},
                        {"c", "scope=Device;model_name=<unreadable>;capacity=5"},
                        {"d", dev + "capacity=<folder>;status=<unreadable>"}}
            << Services{device(none, m, {}), device(none, m, {}), device(none, none, 5),
                        device(none, m, {})};
    }

    void readsSysfs()
    {
        QFETCH(Supplies, supplies);
        QFETCH(Services, expected);
        QTemporaryDir sys;
        const QDir base(sys.path());
        QVERIFY(base.mkpath("power_supply"));
        for (const auto& [supply, attributes] : supplies) {
            for (const QByteArray& attribute : attributes.split(';')) {
                const QString path = base.filePath("power_supply/" + supply + '/' +
                                                   attribute.left(attribute.indexOf('=')));
                const QByteArray value = attribute.mid(attribute.indexOf('=') + 1);
                QVERIFY(QDir().mkpath(QFileInfo(path).path()));
                if (value == "<fifo>") {
                    QCOMPARE(::mkfifo(QFile::encodeName(path).constData(), 0600), 0);
                } else if (value == "<folder>") {
                    QVERIFY(QDir().mkpath(path));
                } else if (value == "<unreadable>") {
                    QVERIFY(QFile::link("/sys/bus/platform/uevent", path));
                } else {
                    QFile file(path);
                    QVERIFY(file.open(QIODevice::WriteOnly));
                    file.write(value == "<huge>" ? "7" + QByteArray(8192, ' ') : value);
                }
            }
        }
        QCOMPARE(SysfsBatteryServices(base.filePath("power_supply")).services(), expected);
    }
};

QTEST_GUILESS_MAIN(TestBattery)
#include "test_battery.moc"
