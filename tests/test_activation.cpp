#include "platform/AppActivation.h"

#include "PrivateBus.h"

#include <QDBusInterface>
#include <QElapsedTimer>
#include <QProcess>
#include <QSignalSpy>
#include <QTest>

namespace {

const QString appId = QStringLiteral("org.nightwick.Nightwick");

} // namespace

class TestActivation : public QObject {
    Q_OBJECT

private slots:
    void init();
    void firstLaunchAnswersActivate();
    void secondLaunchActivatesTheRunningAgent_data();
    void secondLaunchActivatesTheRunningAgent();
    void withoutSessionBusEveryLaunchIsFirst();

private:
    std::unique_ptr<PrivateBus> m_bus;
};

void TestActivation::init()
{
    if (const QString missing = PrivateBus::missingTools(); !missing.isEmpty()) {
        QSKIP(qPrintable(missing));
    }
    m_bus = std::make_unique<PrivateBus>(PrivateBus::Kind::Session);
    QVERIFY(m_bus->start());
}

void TestActivation::firstLaunchAnswersActivate()
{
    AppActivation agent(m_bus->connection("agent"), appId);
    QCOMPARE(agent.claim(), AppActivation::Role::First);
    QSignalSpy activated(&agent, &AppActivation::activated);

    // A launcher in another process, as the desktop or a second launch would call it.
    QProcess launcher;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    m_bus->addTo(environment);
    launcher.setProcessEnvironment(environment);
    launcher.start("/usr/bin/python3",
                   {"-c", "import dbus; bus = dbus.SessionBus(); "
                          "bus.get_object('org.nightwick.Nightwick', '/org/nightwick/Nightwick')"
                          ".Activate({}, dbus_interface='org.freedesktop.Application')"});
    QVERIFY(activated.wait(5000));
    QVERIFY(launcher.waitForFinished(5000));
    QCOMPARE(launcher.exitCode(), 0);
}

void TestActivation::secondLaunchActivatesTheRunningAgent_data()
{
    QTest::addColumn<QString>("activateCode");
    QTest::addColumn<AppActivation::Role>("role");

    QTest::newRow("running agent answers") << "" << AppActivation::Role::ActivatedRunning;
    QTest::newRow("running agent hangs")
        << "import time; time.sleep(3)" << AppActivation::Role::RunningSilent;
}

void TestActivation::secondLaunchActivatesTheRunningAgent()
{
    QFETCH(QString, activateCode);
    QFETCH(AppActivation::Role, role);

    QVERIFY(
        m_bus->startMock(appId, AppActivation::objectPath(appId), "org.freedesktop.Application"));
    QDBusInterface mock(appId, AppActivation::objectPath(appId), "org.freedesktop.DBus.Mock",
                        m_bus->connection("test"));
    QVERIFY(
        mock.call("AddMethod", "org.freedesktop.Application", "Activate", "a{sv}", "", activateCode)
            .errorMessage()
            .isEmpty());

    AppActivation secondLaunch(m_bus->connection("second"), appId);
    QElapsedTimer elapsed;
    elapsed.start();
    QCOMPARE(secondLaunch.claim(), role);
    QVERIFY2(elapsed.elapsed() < 1500, "a hung agent costs the second launch half a second");
}

void TestActivation::withoutSessionBusEveryLaunchIsFirst()
{
    AppActivation agent(QDBusConnection(QStringLiteral("not connected")), appId);
    QCOMPARE(agent.claim(), AppActivation::Role::First);
}

QTEST_GUILESS_MAIN(TestActivation)
#include "test_activation.moc"
