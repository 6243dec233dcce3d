#include "PrivateBus.h"

#include <QDBusInterface>
#include <QDBusObjectPath>
#include <QDBusReply>
#include <QDateTime>
#include <QDeadlineTimer>
#include <QFile>
#include <QProcess>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>

namespace {

const QString upowerName = QStringLiteral("org.freedesktop.UPower");
const QString upowerPath = QStringLiteral("/org/freedesktop/UPower");

struct Device {
    QString name;
    QString model;
    double percent;
    uint type;
    bool powerSupply;
};

} // namespace

Q_DECLARE_METATYPE(Device)

// Starts the real program on private buses and reads what it stored, as a user's first launch
// at login would leave it.
class TestLaunch : public QObject {
    Q_OBJECT

private slots:
    void initTestCase()
    {
        if (const QString missing = PrivateBus::missingTools(); !missing.isEmpty())
            QSKIP(qPrintable(QStringLiteral("needs a private D-Bus with dbusmock: ") + missing));
        if (qEnvironmentVariableIsEmpty("NIGHTWICK_BINARY"))
            QSKIP("NIGHTWICK_BINARY is not set; run through ctest");
    }

    void storesTheMouseReadingAtLaunch_data()
    {
        QTest::addColumn<QList<Device>>("devices");
        QTest::addColumn<qint64>("percent");

        const Device mouse{QStringLiteral("mouse"), QStringLiteral("Magic Mouse 2"), 8, 5, false};
        const Device laptop{QStringLiteral("BAT0"), QStringLiteral("Laptop"), 3, 2, true};
        const Device keyboard{QStringLiteral("keyboard"), QStringLiteral("Keyboard"), 5, 6, false};
        QTest::newRow("mouse among lower batteries")
            << QList<Device>{laptop, mouse, keyboard} << qint64(8);
        QTest::newRow("mouse alone") << QList<Device>{mouse} << qint64(8);
    }

    void storesTheMouseReadingAtLaunch()
    {
        QFETCH(QList<Device>, devices);
        QFETCH(qint64, percent);

        PrivateBus systemBus(PrivateBus::Kind::System);
        PrivateBus sessionBus(PrivateBus::Kind::Session);
        QVERIFY(systemBus.start());
        QVERIFY(sessionBus.start());
        QVERIFY(systemBus.startTemplate(QStringLiteral("upower")));
        const QDBusConnection connection = systemBus.connection(QStringLiteral("launch"));
        QDBusInterface mock(upowerName, upowerPath, QStringLiteral("org.freedesktop.DBus.Mock"),
                            connection);
        for (const Device& device : devices) {
            const QDBusReply<QString> path =
                mock.call(QStringLiteral("AddDischargingBattery"), device.name, device.model,
                          device.percent, qint64(3600));
            QVERIFY2(path.isValid(), qPrintable(path.error().message()));
            const QDBusMessage set =
                mock.call(QStringLiteral("SetDeviceProperties"),
                          QVariant::fromValue(QDBusObjectPath(path.value())),
                          QVariantMap{{QStringLiteral("Type"), QVariant::fromValue(device.type)},
                                      {QStringLiteral("PowerSupply"), device.powerSupply}});
            QVERIFY2(set.type() == QDBusMessage::ReplyMessage, qPrintable(set.errorMessage()));
        }

        QTemporaryDir config;
        QVERIFY(config.isValid());
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        systemBus.addTo(environment);
        sessionBus.addTo(environment);
        environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        environment.insert(QStringLiteral("XDG_CONFIG_HOME"), config.path());
        QProcess program;
        program.setProcessEnvironment(environment);
        program.setProcessChannelMode(QProcess::ForwardedChannels);
        program.start(qEnvironmentVariable("NIGHTWICK_BINARY"), {QStringLiteral("--autostart")});
        QVERIFY2(program.waitForStarted(5000), qPrintable(program.errorString()));
        const QDateTime launched = QDateTime::currentDateTimeUtc();

        const QString file = config.filePath(QStringLiteral("nightwick/nightwick.conf"));
        QDeadlineTimer deadline(10000);
        bool stored = false;
        while (!stored && !deadline.hasExpired() && program.state() == QProcess::Running) {
            program.waitForFinished(50);
            stored = QSettings(file, QSettings::IniFormat).contains(QStringLiteral("lastPercent"));
        }
        const bool stillRunning = program.state() == QProcess::Running;
        program.terminate();
        const bool ended = program.waitForFinished(5000);
        if (!ended)
            program.kill();

        QVERIFY2(stillRunning, "the program ended on its own");
        QVERIFY2(stored, "no lastPercent stored within 10 s");
        QVERIFY2(ended, "the program did not end on SIGTERM within 5 s");
        const QSettings settings(file, QSettings::IniFormat);
        QCOMPARE(settings.value(QStringLiteral("lastPercent")).toLongLong(), percent);
        QCOMPARE(settings.value(QStringLiteral("lastCharging")).toBool(), false);
        const QString seenText = settings.value(QStringLiteral("lastSeen")).toString();
        const QDateTime seen = QDateTime::fromString(seenText, Qt::ISODateWithMs);
        QVERIFY2(seen.isValid(), qPrintable(seenText));
        QCOMPARE(seen.timeSpec(), Qt::UTC);
        QVERIFY2(qAbs(seen.secsTo(launched)) <= 5, qPrintable(seenText));
    }
};

QTEST_GUILESS_MAIN(TestLaunch)
#include "test_launch.moc"
