#include "PrivateBus.h"
#include "UPowerTestbed.h"

#include <QDateTime>
#include <QDeadlineTimer>
#include <QProcess>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>

// Starts the real program on private buses, with the real upowerd on the system bus, as a
// login would, and reads what it stored.
class TestLaunch : public QObject {
    Q_OBJECT

private slots:
    void initTestCase()
    {
        if (const QString missing = UPowerTestbed::missingTools(); !missing.isEmpty())
            QSKIP(qPrintable(missing));
        if (qEnvironmentVariableIsEmpty("NIGHTWICK_BINARY"))
            QSKIP("NIGHTWICK_BINARY is not set; run through ctest");
    }

    void storesTheMouseReadingAtLaunch()
    {
        UPowerTestbed upower;
        PrivateBus sessionBus(PrivateBus::Kind::Session);
        QVERIFY(upower.start() && sessionBus.start());
        QVERIFY(upower.add(SimulatedDevices{Simulated::laptopBattery(5),
                                            Simulated::magicMouseOnBluetooth(8),
                                            Simulated::bluetoothKeyboard(5)}));
        QVERIFY(upower.startUPower());
        QVERIFY(upower.waitUntilSettled());

        QTemporaryDir config;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        upower.addTo(environment);
        sessionBus.addTo(environment);
        environment.insert("QT_QPA_PLATFORM", "offscreen");
        environment.insert("XDG_CONFIG_HOME", config.path());
        QProcess program;
        program.setProcessEnvironment(environment);
        program.setProcessChannelMode(QProcess::ForwardedChannels);
        program.start(qEnvironmentVariable("NIGHTWICK_BINARY"), {"--autostart"});
        QVERIFY2(program.waitForStarted(5000), qPrintable(program.errorString()));
        const QDateTime launched = QDateTime::currentDateTimeUtc();

        const QString file = config.filePath("nightwick/nightwick.conf");
        const QDeadlineTimer deadline(10000);
        while (!QSettings(file, QSettings::IniFormat).contains("lastPercent") &&
               !deadline.hasExpired() && !program.waitForFinished(50)) {
        }
        QVERIFY2(program.state() == QProcess::Running, "the program ended on its own");

        // A launch by hand while the agent runs asks it to show its window and leaves.
        QProcess secondLaunch;
        secondLaunch.setProcessEnvironment(environment);
        secondLaunch.start(qEnvironmentVariable("NIGHTWICK_BINARY"));
        QVERIFY2(secondLaunch.waitForFinished(3000), "the second launch stayed");
        QCOMPARE(secondLaunch.exitStatus(), QProcess::NormalExit);
        QCOMPARE(secondLaunch.exitCode(), 0);
        QCOMPARE(program.state(), QProcess::Running);

        program.terminate();
        QVERIFY2(program.waitForFinished(5000), "the program did not end on SIGTERM within 5 s");
        const QSettings settings(file, QSettings::IniFormat);
        QCOMPARE(settings.value("lastPercent").toLongLong(), 8);
        QCOMPARE(settings.value("lastCharging").toBool(), false);
        const QString seenText = settings.value("lastSeen").toString();
        const QDateTime seen = QDateTime::fromString(seenText, Qt::ISODateWithMs);
        QVERIFY2(seen.isValid() && seenText.endsWith('Z'), qPrintable(seenText));
        QVERIFY2(qAbs(seen.secsTo(launched)) <= 5, qPrintable(seenText));
    }
};

QTEST_GUILESS_MAIN(TestLaunch)
#include "test_launch.moc"
