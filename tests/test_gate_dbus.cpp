#include "AppDelegate.h"

#include "FakeClock.h"
#include "ModelFakes.h"
#include "PrivateBus.h"
#include "platform/ConsoleLogins.h"
#include "platform/LoginSession.h"
#include "platform/LogindShutdownInhibitor.h"

#include <QDBusArgument>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusVariant>
#include <QDir>
#include <QElapsedTimer>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <functional>

namespace {

const QString login1 = QStringLiteral("org.freedesktop.login1");
const QString login1Path = QStringLiteral("/org/freedesktop/login1");
const QString manager = QStringLiteral("org.freedesktop.login1.Manager");
const QString upower = QStringLiteral("org.freedesktop.UPower");
const QString gnome = QStringLiteral("org.gnome.SessionManager");
const QString gnomePath = QStringLiteral("/org/gnome/SessionManager");
const QString clientPath = QStringLiteral("/org/gnome/SessionManager/Client1");
const QString clientInterface = QStringLiteral("org.gnome.SessionManager.ClientPrivate");
const QStringList ourLock{"shutdown", "Nightwick", "Waits for shutdown to show the reminder",
                          "delay"};
constexpr int cardMs = 4000;

QDBusMessage mock(const QDBusConnection& bus, const QString& service, const QString& path,
                  const QString& method, const QVariantList& arguments)
{
    QDBusMessage call =
        QDBusMessage::createMethodCall(service, path, "org.freedesktop.DBus.Mock", method);
    call.setArguments(arguments);
    return bus.call(call, QDBus::Block, 5000);
}

bool succeeded(const QDBusMessage& reply)
{
    return reply.type() == QDBusMessage::ReplyMessage;
}

int ourLocks(const QDBusConnection& bus)
{
    const QDBusMessage reply =
        bus.call(QDBusMessage::createMethodCall(login1, login1Path, manager, "ListInhibitors"),
                 QDBus::Block, 2000);
    int count = 0;
    if (succeeded(reply)) {
        const auto array = reply.arguments().constFirst().value<QDBusArgument>();
        array.beginArray();
        while (!array.atEnd()) {
            QStringList lock{4};
            uint uid = 0, pid = 0;
            array.beginStructure();
            array >> lock[0] >> lock[1] >> lock[2] >> lock[3] >> uid >> pid;
            array.endStructure();
            count += lock == ourLock ? 1 : 0;
        }
        array.endArray();
    }
    return count;
}

// The arguments of each call that a dbusmock object received.
QList<QVariantList> callsTo(const QDBusConnection& bus, const QString& path, const char* method)
{
    const QDBusMessage reply = mock(bus, gnome, path, "GetMethodCalls", {QString(method)});
    QList<QVariantList> calls;
    if (succeeded(reply)) {
        const auto array = reply.arguments().constFirst().value<QDBusArgument>();
        array.beginArray();
        while (!array.atEnd()) {
            qulonglong time = 0;
            QVariantList arguments;
            array.beginStructure();
            array >> time >> arguments;
            array.endStructure();
            calls << arguments;
        }
        array.endArray();
    }
    return calls;
}

// Milliseconds until the condition holds, or -1 after the budget. Events keep flowing.
qint64 msUntil(const std::function<bool()>& condition, int budgetMs)
{
    QElapsedTimer elapsed;
    elapsed.start();
    while (!condition()) {
        if (elapsed.elapsed() > budgetMs) {
            return -1;
        }
        QTest::qWait(2);
    }
    return elapsed.elapsed();
}

bool prepareForShutdown(const QDBusConnection& bus, bool starting, bool withMetadata = false)
{
    return succeeded(mock(bus, login1, login1Path, "EmitSignal",
                          {manager, "PrepareForShutdown", "b", QVariantList{starting}})) &&
           (!withMetadata ||
            succeeded(mock(bus, login1, login1Path, "EmitSignal",
                           {manager, "PrepareForShutdownWithMetadata", "ba{sv}",
                            QVariantList{starting, QVariantMap{{"type", "poweroff"}}}})));
}

bool addMouse(const QDBusConnection& bus, double percent, bool charging)
{
    const QDBusMessage added = mock(bus, upower, "/org/freedesktop/UPower",
                                    charging ? "AddChargingBattery" : "AddDischargingBattery",
                                    {"mouse", "Magic Mouse 2", percent, qint64(3600)});
    return succeeded(added) &&
           succeeded(mock(
               bus, upower, "/org/freedesktop/UPower", "SetDeviceProperties",
               {QVariant::fromValue(QDBusObjectPath(added.arguments().constFirst().toString())),
                QVariantMap{{"Type", QVariant::fromValue(5u)}}}));
}

// A private system bus with logind's mock, for the handshake in this process.
struct Logind {
    bool setUp() { return started && bus.startTemplate("logind") && connection.isConnected(); }
    PrivateBus bus;
    bool started = bus.start();
    QDBusConnection connection = bus.connection("handshake");
};

class NoConsoleLogins final : public ConsoleLogins {
public:
    std::optional<qint64> newestLogin() override { return std::nullopt; }
};

class OpenSession final : public LoginSession {
public:
    bool isClosing() override { return false; }
};

// The real program on private buses, with UPower's and (usually) logind's mocks.
struct Desktop {
    bool setUp(double percent, bool charging, bool withLogind = true)
    {
        bus = system.connection("desktop");
        return systemUp && config.isValid() && session.start() &&
               (!withLogind || system.startTemplate("logind")) && system.startTemplate("upower") &&
               addMouse(bus, percent, charging);
    }
    bool launch()
    {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        system.addTo(environment);
        session.addTo(environment);
        environment.insert("QT_QPA_PLATFORM", "offscreen");
        environment.insert("XDG_CONFIG_HOME", config.path());
        agent.setProcessEnvironment(environment);
        agent.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        agent.start(qEnvironmentVariable("NIGHTWICK_BINARY"), {"--autostart"});
        return agent.waitForStarted(5000);
    }
    bool launchAndLock()
    {
        return launch() && msUntil([this] { return ourLocks(bus); }, 5000) >= 0;
    }
    bool exitsCleanlyWithin(int ms)
    {
        return agent.waitForFinished(ms) && agent.exitStatus() == QProcess::NormalExit &&
               agent.exitCode() == 0;
    }
    ~Desktop()
    {
        agent.kill();
        agent.waitForFinished(2000);
    }

    PrivateBus system{PrivateBus::Kind::System};
    PrivateBus session{PrivateBus::Kind::Session};
    bool systemUp = system.start();
    QDBusConnection bus{""};
    QTemporaryDir config;
    QProcess agent;
};

} // namespace

class TestGateDbus : public QObject {
    Q_OBJECT
private slots:
    void initTestCase()
    {
        if (const QString missing = PrivateBus::missingTools(); !missing.isEmpty()) {
            QSKIP(qPrintable("needs a private D-Bus with dbusmock: " + missing));
        }
    }

    // In this process: logind's handshake alone, and the gate timed at the dismissal. ---------

    void oneShutdownIsAnnouncedOnce_data()
    {
        QTest::addColumn<bool>("withMetadata");
        QTest::newRow("PrepareForShutdown alone") << false;
        QTest::newRow("and PrepareForShutdownWithMetadata") << true;
    }
    void oneShutdownIsAnnouncedOnce()
    {
        QFETCH(bool, withMetadata);
        Logind logind;
        QVERIFY(logind.setUp());
        LogindShutdownInhibitor inhibitor(logind.connection);
        QSignalSpy announced(&inhibitor, &ShutdownInhibitor::shutdownAnnounced);
        QSignalSpy cancelled(&inhibitor, &ShutdownInhibitor::shutdownCancelled);
        inhibitor.start();
        QVERIFY(msUntil([&] { return inhibitor.isHeld(); }, 3000) >= 0);
        QVERIFY(prepareForShutdown(logind.connection, true, withMetadata));
        QVERIFY(msUntil([&] { return announced.count() > 0; }, 3000) >= 0);
        inhibitor.release();
        QVERIFY(prepareForShutdown(logind.connection, false, withMetadata));
        QVERIFY(msUntil([&] { return inhibitor.isHeld(); }, 3000) >= 0);
        QTest::qWait(100);
        QCOMPARE(announced.count(), 1);
        QCOMPARE(cancelled.count(), 1);
        QCOMPARE(ourLocks(logind.connection), 1);
    }

    void holdLimitComesFromLogind_data()
    {
        QTest::addColumn<QVariant>("delayMaxUSec");
        QTest::addColumn<qint64>("limitMs");
        QTest::newRow("not reported") << QVariant() << qint64(5000);
        QTest::newRow("2 s") << QVariant::fromValue<qulonglong>(2000000) << qint64(2000);
        QTest::newRow("infinity") << QVariant::fromValue<qulonglong>(~0ULL) << qint64(3600000);
    }
    void holdLimitComesFromLogind()
    {
        QFETCH(QVariant, delayMaxUSec);
        QFETCH(qint64, limitMs);
        Logind logind;
        QVERIFY(logind.setUp());
        if (delayMaxUSec.isValid()) {
            QVERIFY(succeeded(mock(logind.connection, login1, login1Path, "AddProperty",
                                   {manager, "InhibitDelayMaxUSec",
                                    QVariant::fromValue(QDBusVariant(delayMaxUSec))})));
        }
        LogindShutdownInhibitor inhibitor(logind.connection);
        inhibitor.start();
        QVERIFY(msUntil([&] { return inhibitor.isHeld(); }, 3000) >= 0);
        QTest::qWait(50);
        QCOMPARE(qint64(inhibitor.holdLimit().count()), limitMs);
    }

    void returningLogindGetsTheLockAgain()
    {
        Logind logind;
        QVERIFY(logind.setUp());
        LogindShutdownInhibitor inhibitor(logind.connection);
        inhibitor.start();
        QVERIFY(msUntil([&] { return ourLocks(logind.connection) == 1; }, 3000) >= 0);
        logind.bus.stopMock(login1);
        QVERIFY(msUntil([&] { return !inhibitor.isHeld(); }, 3000) >= 0);
        QVERIFY(logind.bus.startTemplate("logind"));
        QVERIFY(msUntil([&] { return inhibitor.isHeld() && ourLocks(logind.connection) == 1; },
                        3000) >= 0);
    }

    void noDescriptorLeaksOver200Cycles()
    {
        Logind logind;
        QVERIFY(logind.setUp());
        LogindShutdownInhibitor inhibitor(logind.connection);
        QSignalSpy announced(&inhibitor, &ShutdownInhibitor::shutdownAnnounced);
        inhibitor.start();
        QVERIFY(msUntil([&] { return inhibitor.isHeld(); }, 3000) >= 0);
        const auto openDescriptors = [] {
            QTest::qWait(20); // the answers' copies go with their deferred deletion
            return QDir("/proc/self/fd").entryList(QDir::Files | QDir::System).size();
        };
        const auto before = openDescriptors();
        for (int cycle = 1; cycle <= 200; ++cycle) {
            QVERIFY(prepareForShutdown(logind.connection, true));
            QVERIFY(msUntil([&] { return announced.count() == cycle; }, 3000) >= 0);
            inhibitor.release();
            QVERIFY(prepareForShutdown(logind.connection, false));
            QVERIFY(msUntil([&] { return inhibitor.isHeld(); }, 3000) >= 0);
        }
        QCOMPARE(openDescriptors(), before);
        // Every lock let go was really let go: logind holds exactly the current one.
        QCOMPARE(ourLocks(logind.connection), 1);
    }

    void lockGoesWithinMillisecondsOfTheDismissal()
    {
        Logind logind;
        QVERIFY(logind.setUp());
        FakeBatteryServices batteries;
        batteries.setMouse(8, false);
        MemorySettingsStore store;
        FakeLoginItem loginItem;
        FakeTrash trash;
        FakeAlerts alerts;
        FakeClock clock;
        NoConsoleLogins logins;
        LogindShutdownInhibitor inhibitor(logind.connection);
        OpenSession session;
        AppDelegate delegate({{batteries, store, loginItem, trash, alerts, clock, QString()},
                              logins,
                              inhibitor,
                              session});
        delegate.applicationDidFinishLaunching({"nightwick", "--autostart"});
        QVERIFY(msUntil([&] { return ourLocks(logind.connection) == 1; }, 3000) >= 0);
        QVERIFY(prepareForShutdown(logind.connection, true));
        QVERIFY(msUntil([&] { return delegate.reminder().isVisible(); }, 3000) >= 0);
        QTest::qWait(200);
        QCOMPARE(ourLocks(logind.connection), 1);

        QElapsedTimer sinceDismissal;
        sinceDismissal.start();
        delegate.reminder().dismiss();
        QVERIFY(msUntil([&] { return ourLocks(logind.connection) == 0; }, 2000) >= 0);
        qInfo("lock gone %lld ms after the dismissal", sinceDismissal.elapsed());
        QVERIFY(sinceDismissal.elapsed() < 100);
    }

    // The real program. ---------------------------------------------------------------------

    void powerOffHoldsTheLockForTheCard_data()
    {
        QTest::addColumn<double>("percent");
        QTest::addColumn<bool>("charging");
        QTest::addColumn<bool>("card");
        QTest::newRow("low, discharging") << 8.0 << false << true;
        QTest::newRow("low, charging") << 8.0 << true << false;
        QTest::newRow("above the threshold") << 50.0 << false << false;
    }
    void powerOffHoldsTheLockForTheCard()
    {
        QFETCH(double, percent);
        QFETCH(bool, charging);
        QFETCH(bool, card);
        Desktop desktop;
        QVERIFY(desktop.setUp(percent, charging));
        QVERIFY(desktop.launchAndLock());
        QVERIFY(prepareForShutdown(desktop.bus, true));
        const qint64 releasedMs = msUntil([&] { return !ourLocks(desktop.bus); }, 6000);
        qInfo("lock released %lld ms after the announcement", releasedMs);
        // With a card the lock goes with its 4 s time-out, not before; without one, at once.
        QVERIFY(card ? releasedMs >= cardMs - 50 && releasedMs < cardMs + 300
                     : releasedMs >= 0 && releasedMs < 500);
        if (!card) {
            return;
        }
        QVERIFY(prepareForShutdown(desktop.bus, false));
        QVERIFY(msUntil([&] { return ourLocks(desktop.bus) == 1; }, 2000) >= 0);
        // A second power-off within 30 s of the first card shows none.
        QVERIFY(prepareForShutdown(desktop.bus, true));
        const qint64 againMs = msUntil([&] { return !ourLocks(desktop.bus); }, 2000);
        QVERIFY(againMs >= 0 && againMs < 500);
    }

    void terminationWaitsForTheCard_data()
    {
        QTest::addColumn<bool>("logind");
        QTest::addColumn<QString>("underWay");
        QTest::addColumn<int>("signal");
        QTest::addColumn<bool>("waits");
        QTest::newRow("SIGTERM during shutdown") << true << "shutdown" << SIGTERM << true;
        QTest::newRow("SIGTERM while the session closes") << true << "closing" << SIGTERM << true;
        QTest::newRow("SIGTERM, nothing under way") << true << "" << SIGTERM << false;
        QTest::newRow("SIGINT") << true << "" << SIGINT << false;
        QTest::newRow("SIGHUP") << true << "" << SIGHUP << false;
        QTest::newRow("no logind on the bus") << false << "" << SIGTERM << false;
    }
    void terminationWaitsForTheCard()
    {
        QFETCH(bool, logind);
        QFETCH(QString, underWay);
        QFETCH(int, signal);
        QFETCH(bool, waits);
        Desktop desktop;
        QVERIFY(desktop.setUp(8, false, logind));
        if (underWay == "closing") {
            const QDBusMessage session = mock(desktop.bus, login1, login1Path, "AddSession",
                                              {"c1", "seat0", 1000u, "ada", true});
            QVERIFY(succeeded(session));
            const QString path = session.arguments().constFirst().toString();
            QVERIFY(
                succeeded(mock(desktop.bus, login1, login1Path, "AddMethod",
                               {manager, "GetSessionByPID", "u", "o", "ret = '" + path + "'"})));
            QVERIFY(succeeded(
                mock(desktop.bus, login1, path, "UpdateProperties",
                     {"org.freedesktop.login1.Session", QVariantMap{{"State", "closing"}}})));
        }
        QVERIFY(logind ? desktop.launchAndLock() : desktop.launch());
        QVERIFY(underWay != "shutdown" || prepareForShutdown(desktop.bus, true));
        QVERIFY(!desktop.agent.waitForFinished(300));
        ::kill(static_cast<pid_t>(desktop.agent.processId()), signal);
        QVERIFY(!waits || !desktop.agent.waitForFinished(1000));
        QVERIFY(desktop.exitsCleanlyWithin(waits ? cardMs : 1000));
    }

    void logOutThroughGnomeSessionManager_data()
    {
        QTest::addColumn<QString>("request");
        QTest::addColumn<double>("percent");
        QTest::addColumn<int>("answeredAfterMs");
        QTest::addColumn<bool>("exits");
        QTest::newRow("may the session end?") << "QueryEndSession" << 8.0 << 0 << false;
        QTest::newRow("it ends, low mouse") << "EndSession" << 8.0 << cardMs - 50 << true;
        QTest::newRow("it ends, mouse fine") << "EndSession" << 50.0 << 0 << true;
    }
    void logOutThroughGnomeSessionManager()
    {
        QFETCH(QString, request);
        QFETCH(double, percent);
        QFETCH(int, answeredAfterMs);
        QFETCH(bool, exits);
        Desktop desktop;
        QVERIFY(desktop.setUp(percent, false));
        QVERIFY(desktop.session.startMock(gnome, gnomePath, gnome));
        const QDBusConnection bus = desktop.session.connection("gnome");
        QVERIFY(succeeded(mock(bus, gnome, gnomePath, "AddMethod",
                               {"", "RegisterClient", "ss", "o", "ret = '" + clientPath + "'"})));
        QVERIFY(succeeded(mock(bus, gnome, gnomePath, "AddObject",
                               {clientPath, clientInterface, QVariantMap(), QVariantList()})));
        QVERIFY(succeeded(
            mock(bus, gnome, clientPath, "AddMethod", {"", "EndSessionResponse", "bs", "", ""})));
        QVERIFY(desktop.launchAndLock());
        QVERIFY(msUntil([&] { return !callsTo(bus, gnomePath, "RegisterClient").isEmpty(); },
                        3000) >= 0);

        QVERIFY(succeeded(mock(bus, gnome, clientPath, "EmitSignal",
                               {clientInterface, request, "u", QVariantList{0u}})));
        const auto answers = [&] { return callsTo(bus, clientPath, "EndSessionResponse"); };
        const qint64 answeredMs = msUntil([&] { return !answers().isEmpty(); }, cardMs + 1000);
        qInfo("%s answered after %lld ms", qPrintable(request), answeredMs);
        QVERIFY(answeredMs >= answeredAfterMs && answeredMs < answeredAfterMs + 1000);
        QCOMPARE(answers(), (QList<QVariantList>{{true, QString()}}));
        QVERIFY(exits ? desktop.exitsCleanlyWithin(1000) : !desktop.agent.waitForFinished(300));
    }
};

QTEST_MAIN(TestGateDbus)
#include "test_gate_dbus.moc"
