#include "PrivateBus.h"

#include <QDBusConnectionInterface>
#include <QDBusReply>
#include <QDBusInterface>
#include <QTest>

class TestBatteryDbus : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() {
        if (const QString missing = PrivateBus::missingTools(); !missing.isEmpty())
            QSKIP(qPrintable(missing));
    }

    void privateBusRunsAndStopsMocks() {
        PrivateBus bus;
        QVERIFY(bus.start());
        QVERIFY(bus.startTemplate(QStringLiteral("upower")));
        QDBusConnection connection = bus.connection(QStringLiteral("probe"));
        QDBusInterface upower(QStringLiteral("org.freedesktop.UPower"),
                              QStringLiteral("/org/freedesktop/UPower"),
                              QStringLiteral("org.freedesktop.UPower"), connection);
        QDBusReply<QList<QDBusObjectPath>> reply = upower.call(QStringLiteral("EnumerateDevices"));
        QVERIFY2(reply.isValid(), qPrintable(reply.error().message()));
        bus.stopMock(QStringLiteral("org.freedesktop.UPower"));
        QVERIFY(
            !connection.interface()->isServiceRegistered(QStringLiteral("org.freedesktop.UPower")));
    }
};

QTEST_GUILESS_MAIN(TestBatteryDbus)
#include "test_battery_dbus.moc"
