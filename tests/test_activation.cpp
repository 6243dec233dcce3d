#include "platform/AppActivation.h"

#include "PrivateBus.h"

#include <QDBusInterface>
#include <QElapsedTimer>
#include <QProcess>
#include <QSignalSpy>
#include <QTest>

class TestActivation : public QObject {
    Q_OBJECT

private slots:
    void runningAgentAnswersActivate()
    {
        if (const QString missing = PrivateBus::missingTools(); !missing.isEmpty())
            QSKIP(qPrintable(missing));
        PrivateBus bus(PrivateBus::Kind::Session);
        QVERIFY(bus.start());
        AppActivation agent(bus.connection("agent"), "org.nightwick.Nightwick");
        QCOMPARE(agent.claim(), AppActivation::Role::First);
        QSignalSpy activated(&agent, &AppActivation::activated);
        // The desktop, or a second launch, from another process.
        QProcess launcher;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        bus.addTo(environment);
        launcher.setProcessEnvironment(environment);
        launcher.start("/usr/bin/python3",
                       {"-c",
                        "import dbus; dbus.SessionBus().get_object('org.nightwick.Nightwick', "
                        "'/org/nightwick/Nightwick').Activate({}, "
                        "dbus_interface='org.freedesktop.Application')"});
        QVERIFY(activated.wait(5000));
        QVERIFY(launcher.waitForFinished(5000) && launcher.exitCode() == 0);
    }

    void secondLaunchActivatesTheRunningAgent_data()
    {
        QTest::addColumn<QString>("activateCode");
        QTest::addColumn<AppActivation::Role>("role");
        QTest::newRow("running agent answers") << "" << AppActivation::Role::ActivatedRunning;
        QTest::newRow("running agent hangs")
            << "import time; time.sleep(3)" << AppActivation::Role::RunningSilent;
    }

    void secondLaunchActivatesTheRunningAgent()
    {
        QFETCH(QString, activateCode);
        QFETCH(AppActivation::Role, role);
        if (const QString missing = PrivateBus::missingTools(); !missing.isEmpty())
            QSKIP(qPrintable(missing));
        PrivateBus bus(PrivateBus::Kind::Session);
        QVERIFY(bus.start());
        const QString appId = "org.nightwick.Nightwick", path = AppActivation::objectPath(appId);
        QVERIFY(bus.startMock(appId, path, "org.freedesktop.Application"));
        QDBusInterface mock(appId, path, "org.freedesktop.DBus.Mock", bus.connection("test"));
        const QDBusMessage added = mock.call("AddMethod", "org.freedesktop.Application", "Activate",
                                             "a{sv}", "", activateCode);
        QVERIFY2(added.type() == QDBusMessage::ReplyMessage, qPrintable(added.errorMessage()));

        AppActivation secondLaunch(bus.connection("second"), appId);
        QElapsedTimer elapsed;
        elapsed.start();
        QCOMPARE(secondLaunch.claim(), role);
        QVERIFY2(elapsed.elapsed() < 1500, "a hung agent costs the second launch half a second");
    }

    void withoutSessionBusEveryLaunchIsFirst()
    {
        AppActivation agent(QDBusConnection("not connected"), "org.nightwick.Nightwick");
        QCOMPARE(agent.claim(), AppActivation::Role::First);
    }
};

QTEST_GUILESS_MAIN(TestActivation)
#include "test_activation.moc"
