#include "platform/desktop/AppActivation.h"

#include "DbusMock.h"

#include <QDBusArgument>
#include <QDBusInterface>
#include <QProcess>
#include <QSignalSpy>
#include <QTest>

class TestActivation : public QObject {
    Q_OBJECT

private slots:
    // The real program launched while another agent holds the name: by hand it asks that agent
    // to show itself, from the autostart entry it leaves quietly. The stand-in passes one row's
    // Activate on to a real AppActivation in this process.
    void secondLaunch_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("activateCode");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<int>("activations");
        QTest::addColumn<QString>("display"); // the only display it is given, if any
        QTest::newRow("by hand, running agent answers") << QStringList{} << "" << 0 << 1 << "";
        QTest::newRow("by hand, running agent hangs")
            << QStringList{} << "import time; time.sleep(3)" << 1 << 1 << "";
        QTest::newRow("autostart leaves it alone")
            << QStringList{"--autostart"} << "" << 0 << 0 << "";
        QTest::newRow("by hand, running agent busy after Activate")
            << QStringList{}
            << "dbus.SessionBus().get_object('nw.busy', '/nw/busy').Activate(*args)" << 0 << 1
            << "";
        QTest::newRow("X display gone, as after an old SSH session")
            << QStringList{} << "" << 1 << 0 << ":7731";
    }

    void secondLaunch()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QString, activateCode);
        QFETCH(int, exitCode);
        QFETCH(int, activations);
        QFETCH(QString, display);
        const QString appId = "org.nightwick.Nightwick", path = AppActivation::objectPath(appId);
        const DbusMock agent(appId, {appId, path, "org.freedesktop.Application"});
        QVERIFY(agent.isUp());
        QDBusInterface mock(appId, path, "org.freedesktop.DBus.Mock");
        const QDBusMessage added = mock.call("AddMethod", "org.freedesktop.Application", "Activate",
                                             "a{sv}", "", activateCode);
        QVERIFY2(added.type() == QDBusMessage::ReplyMessage, qPrintable(added.errorMessage()));

        QProcess secondLaunch;
        // A stand-in may pass Activate on to this agent, busy with it as long as the launch lasts.
        AppActivation busyAgent(QDBusConnection::sessionBus(), "nw.busy");
        QCOMPARE(busyAgent.claim(), AppActivation::Role::First);
        int busy = 0;
        connect(&busyAgent, &AppActivation::activated,
                [&] { ++busy, secondLaunch.waitForFinished(5000); });
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        if (!display.isEmpty()) {
            environment.remove("QT_QPA_PLATFORM");
            environment.remove("WAYLAND_DISPLAY");
            environment.insert("DISPLAY", display);
        }
        secondLaunch.setProcessEnvironment(environment);
        secondLaunch.setProcessChannelMode(QProcess::ForwardedOutputChannel);
        secondLaunch.start(qEnvironmentVariable("NIGHTWICK_BINARY"), arguments);
        QTRY_VERIFY_WITH_TIMEOUT(secondLaunch.state() == QProcess::NotRunning, 10000);
        QCOMPARE(secondLaunch.exitStatus(), QProcess::NormalExit);
        QCOMPARE(secondLaunch.exitCode(), exitCode);
        QVERIFY(display.isEmpty() || secondLaunch.readAllStandardError().count('\n') == 1);
        const QDBusMessage calls = mock.call("GetMethodCalls", "Activate");
        const auto records = calls.arguments().value(0).value<QDBusArgument>();
        int recorded = 0;
        records.beginArray();
        for (; !records.atEnd(); ++recorded) {
            records.beginStructure();
            while (!records.atEnd())
                records.asVariant();
            records.endStructure();
        }
        QCOMPARE(recorded, activations);
        QCOMPARE(busy, activateCode.contains("nw.busy") ? 1 : 0);
    }

    void withoutSessionBusEveryLaunchIsFirst()
    {
        AppActivation agent(QDBusConnection("not connected"), "org.nightwick.Nightwick");
        QCOMPARE(agent.claim(), AppActivation::Role::First);
    }
};

QTEST_GUILESS_MAIN(TestActivation)
#include "test_activation.moc"
