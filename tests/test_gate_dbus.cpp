#include "AppDelegate.h"

#include "FakeClock.h"
#include "ModelFakes.h"
#include "PrivateBus.h"
#include "platform/ConsoleLogins.h"
#include "platform/LoginSession.h"
#include "platform/LogindShutdownInhibitor.h"

#include <QDBusArgument>
#include <QDBusInterface>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusReply>
#include <QDBusVariant>
#include <QDir>
#include <QElapsedTimer>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <functional>

using namespace std::chrono_literals;

namespace {

const QString login1Name = QStringLiteral("org.freedesktop.login1");
const QString login1Path = QStringLiteral("/org/freedesktop/login1");
const QString managerInterface = QStringLiteral("org.freedesktop.login1.Manager");
const QString upowerName = QStringLiteral("org.freedesktop.UPower");
const QString upowerPath = QStringLiteral("/org/freedesktop/UPower");
const QString gnomeName = QStringLiteral("org.gnome.SessionManager");
const QString gnomePath = QStringLiteral("/org/gnome/SessionManager");
const QString gnomeClientPath = QStringLiteral("/org/gnome/SessionManager/Client1");
const QString mockInterface = QStringLiteral("org.freedesktop.DBus.Mock");
const QStringList ourLock{QStringLiteral("shutdown"), QStringLiteral("Nightwick"),
                          QStringLiteral("Waits for shutdown to show the reminder"),
                          QStringLiteral("delay")};
constexpr int cardMs = 4000;

QDBusMessage mockCall(const QDBusConnection& bus, const QString& service, const QString& path,
                      const QString& method, const QVariantList& arguments)
{
    QDBusMessage call = QDBusMessage::createMethodCall(service, path, mockInterface, method);
    call.setArguments(arguments);
    return bus.call(call, QDBus::Block, 5000);
}

// The locks logind's mock holds, each as what, who, why and mode.
QList<QStringList> inhibitors(const QDBusConnection& bus)
{
    const QDBusMessage reply =
        bus.call(QDBusMessage::createMethodCall(login1Name, login1Path, managerInterface,
                                                QStringLiteral("ListInhibitors")),
                 QDBus::Block, 2000);
    QList<QStringList> locks;
    if (reply.type() != QDBusMessage::ReplyMessage) {
        return locks;
    }
    const auto list = reply.arguments().constFirst().value<QDBusArgument>();
    list.beginArray();
    while (!list.atEnd()) {
        QString what, who, why, mode;
        uint uid = 0, pid = 0;
        list.beginStructure();
        list >> what >> who >> why >> mode >> uid >> pid;
        list.endStructure();
        locks << QStringList{what, who, why, mode};
    }
    list.endArray();
    return locks;
}

int ourLocks(const QDBusConnection& bus)
{
    return static_cast<int>(inhibitors(bus).count(ourLock));
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
    bool sent = mockCall(bus, login1Name, login1Path, QStringLiteral("EmitSignal"),
                         {managerInterface, QStringLiteral("PrepareForShutdown"),
                          QStringLiteral("b"), QVariantList{starting}})
                    .type() == QDBusMessage::ReplyMessage;
    if (withMetadata) {
        sent = sent && mockCall(bus, login1Name, login1Path, QStringLiteral("EmitSignal"),
                                {managerInterface, QStringLiteral("PrepareForShutdownWithMetadata"),
                                 QStringLiteral("ba{sv}"),
                                 QVariantList{starting, QVariantMap{{"type", "poweroff"}}}})
                               .type() == QDBusMessage::ReplyMessage;
    }
    return sent;
}

bool addMouse(const QDBusConnection& bus, double percent, bool charging)
{
    const QDBusMessage added = mockCall(
        bus, upowerName, upowerPath,
        charging ? QStringLiteral("AddChargingBattery") : QStringLiteral("AddDischargingBattery"),
        {QStringLiteral("mouse"), QStringLiteral("Magic Mouse 2"), percent, qint64(3600)});
    if (added.type() != QDBusMessage::ReplyMessage) {
        return false;
    }
    const QDBusObjectPath device(added.arguments().constFirst().toString());
    return mockCall(bus, upowerName, upowerPath, QStringLiteral("SetDeviceProperties"),
                    {QVariant::fromValue(device),
                     QVariantMap{{QStringLiteral("Type"), QVariant::fromValue(5u)},
                                 {QStringLiteral("PowerSupply"), false}}})
               .type() == QDBusMessage::ReplyMessage;
}

// The arguments of each call the session manager's mock received on one of its objects.
QList<QVariantList> methodCalls(const QDBusConnection& bus, const QString& path, const char* method)
{
    const QDBusMessage reply = mockCall(bus, gnomeName, path, QStringLiteral("GetMethodCalls"),
                                        {QString::fromLatin1(method)});
    QList<QVariantList> calls;
    if (reply.type() != QDBusMessage::ReplyMessage) {
        return calls;
    }
    const auto list = reply.arguments().constFirst().value<QDBusArgument>();
    list.beginArray();
    while (!list.atEnd()) {
        qulonglong time = 0;
        QVariantList arguments;
        list.beginStructure();
        list >> time >> arguments;
        list.endStructure();
        for (QVariant& argument : arguments) {
            if (argument.canConvert<QDBusVariant>()) {
                argument = argument.value<QDBusVariant>().variant();
            }
        }
        calls << arguments;
    }
    list.endArray();
    return calls;
}

int openDescriptors()
{
    return static_cast<int>(
        QDir(QStringLiteral("/proc/self/fd")).entryList(QDir::Files | QDir::System).size());
}

class NoConsoleLogins final : public ConsoleLogins {
public:
    std::optional<qint64> newestLogin() override { return std::nullopt; }
};

class OpenSession final : public LoginSession {
public:
    bool isClosing() override { return false; }
};

// The real program on private buses, with logind's and UPower's mocks on the system bus.
struct Desktop {
    bool setUp(bool withLogind = true)
    {
        if (!system.start() || !session.start() || !config.isValid()) {
            return false;
        }
        if (withLogind && !system.startTemplate(QStringLiteral("logind"))) {
            return false;
        }
        return system.startTemplate(QStringLiteral("upower"));
    }

    bool launch()
    {
        if (qEnvironmentVariableIsEmpty("NIGHTWICK_BINARY")) {
            qWarning("NIGHTWICK_BINARY is not set; run through ctest");
            return false;
        }
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        system.addTo(environment);
        session.addTo(environment);
        environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        environment.insert(QStringLiteral("XDG_CONFIG_HOME"), config.path());
        agent.setProcessEnvironment(environment);
        agent.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        agent.setStandardOutputFile(QProcess::nullDevice());
        agent.start(qEnvironmentVariable("NIGHTWICK_BINARY"), {QStringLiteral("--autostart")});
        return agent.waitForStarted(5000);
    }

    // The agent holds its lock, so it has launched.
    bool launchAndLock()
    {
        return launch() && msUntil([this] { return ourLocks(bus) == 1; }, 5000) >= 0;
    }

    void signal(int number) { ::kill(static_cast<pid_t>(agent.processId()), number); }
    bool exitedCleanly(int budgetMs)
    {
        return agent.waitForFinished(budgetMs) && agent.exitStatus() == QProcess::NormalExit &&
               agent.exitCode() == 0;
    }

    ~Desktop()
    {
        if (agent.state() != QProcess::NotRunning) {
            agent.kill();
            agent.waitForFinished(2000);
        }
    }

    PrivateBus system{PrivateBus::Kind::System};
    PrivateBus session{PrivateBus::Kind::Session};
    QTemporaryDir config;
    QProcess agent;
    QDBusConnection bus = QDBusConnection(QString());

    Desktop() = default;
    bool connect()
    {
        bus = system.connection(QStringLiteral("gate-test"));
        return bus.isConnected();
    }
};

} // namespace

class TestGateDbus : public QObject {
    Q_OBJECT
private slots:
    void initTestCase()
    {
        if (const QString missing = PrivateBus::missingTools(); !missing.isEmpty()) {
            QSKIP(qPrintable(QStringLiteral("needs a private D-Bus with dbusmock: ") + missing));
        }
    }

    // In process: the logind handshake on its own ---------------------------------------------

    void oneShutdownIsAnnouncedOnce_data()
    {
        QTest::addColumn<bool>("withMetadata");
        QTest::newRow("PrepareForShutdown alone") << false;
        QTest::newRow("with PrepareForShutdownWithMetadata") << true;
    }

    void oneShutdownIsAnnouncedOnce()
    {
        QFETCH(bool, withMetadata);
        PrivateBus system;
        QVERIFY(system.start());
        QVERIFY(system.startTemplate(QStringLiteral("logind")));
        const QDBusConnection bus = system.connection(QStringLiteral("announce"));
        LogindShutdownInhibitor inhibitor(bus);
        QSignalSpy announced(&inhibitor, &ShutdownInhibitor::shutdownAnnounced);
        QSignalSpy cancelled(&inhibitor, &ShutdownInhibitor::shutdownCancelled);
        inhibitor.start();
        QVERIFY(msUntil([&] { return inhibitor.isHeld(); }, 3000) >= 0);

        QVERIFY(prepareForShutdown(bus, true, withMetadata));
        QVERIFY(msUntil([&] { return announced.count() > 0; }, 3000) >= 0);
        inhibitor.release();
        QVERIFY(prepareForShutdown(bus, false, withMetadata));
        QVERIFY(msUntil([&] { return cancelled.count() > 0 && inhibitor.isHeld(); }, 3000) >= 0);
        QTest::qWait(100);

        QCOMPARE(announced.count(), 1);
        QCOMPARE(cancelled.count(), 1);
        QCOMPARE(ourLocks(bus), 1);
    }

    void holdLimitComesFromLogind_data()
    {
        QTest::addColumn<QVariant>("delayMaxUSec");
        QTest::addColumn<qint64>("limitMs");
        QTest::newRow("not reported") << QVariant() << qint64(5000);
        QTest::newRow("2 s") << QVariant::fromValue<qulonglong>(2000000) << qint64(2000);
        QTest::newRow("infinity") << QVariant::fromValue<qulonglong>(~0ULL) << qint64(3600000);
        QTest::newRow("wrong type") << QVariant::fromValue(7) << qint64(5000);
    }

    void holdLimitComesFromLogind()
    {
        QFETCH(QVariant, delayMaxUSec);
        QFETCH(qint64, limitMs);
        PrivateBus system;
        QVERIFY(system.start());
        QVERIFY(system.startTemplate(QStringLiteral("logind")));
        const QDBusConnection bus = system.connection(QStringLiteral("limit"));
        if (delayMaxUSec.isValid()) {
            const QDBusMessage added =
                mockCall(bus, login1Name, login1Path, QStringLiteral("AddProperty"),
                         {managerInterface, QStringLiteral("InhibitDelayMaxUSec"),
                          QVariant::fromValue(QDBusVariant(delayMaxUSec))});
            QVERIFY2(added.type() == QDBusMessage::ReplyMessage, qPrintable(added.errorMessage()));
        }
        LogindShutdownInhibitor inhibitor(bus);
        inhibitor.start();
        QVERIFY(msUntil([&] { return inhibitor.isHeld(); }, 3000) >= 0);
        QTest::qWait(50);
        QCOMPARE(qint64(inhibitor.holdLimit().count()), limitMs);
    }

    void returningLogindGetsTheLockAgain()
    {
        PrivateBus system;
        QVERIFY(system.start());
        QVERIFY(system.startTemplate(QStringLiteral("logind")));
        const QDBusConnection bus = system.connection(QStringLiteral("return"));
        LogindShutdownInhibitor inhibitor(bus);
        inhibitor.start();
        QVERIFY(msUntil([&] { return ourLocks(bus) == 1; }, 3000) >= 0);

        system.stopMock(login1Name);
        QVERIFY(msUntil([&] { return !inhibitor.isHeld(); }, 3000) >= 0);
        QVERIFY(system.startTemplate(QStringLiteral("logind")));
        QVERIFY(msUntil([&] { return inhibitor.isHeld() && ourLocks(bus) == 1; }, 3000) >= 0);
    }

    void noDescriptorLeaksOverManyCycles()
    {
        PrivateBus system;
        QVERIFY(system.start());
        QVERIFY(system.startTemplate(QStringLiteral("logind")));
        const QDBusConnection bus = system.connection(QStringLiteral("cycles"));
        LogindShutdownInhibitor inhibitor(bus);
        QSignalSpy announced(&inhibitor, &ShutdownInhibitor::shutdownAnnounced);
        inhibitor.start();
        QVERIFY(msUntil([&] { return inhibitor.isHeld(); }, 3000) >= 0);
        QTest::qWait(20);
        const int before = openDescriptors();

        for (int cycle = 1; cycle <= 200; ++cycle) {
            QVERIFY(prepareForShutdown(bus, true));
            QVERIFY(msUntil([&] { return announced.count() == cycle; }, 3000) >= 0);
            inhibitor.release();
            QVERIFY(prepareForShutdown(bus, false));
            QVERIFY(msUntil([&] { return inhibitor.isHeld(); }, 3000) >= 0);
        }
        QTest::qWait(20);

        QCOMPARE(openDescriptors(), before);
        // Every lock let go was really let go: logind holds exactly the one of now.
        QCOMPARE(ourLocks(bus), 1);
    }

    // In process: the gate over logind's mock, timed exactly at the dismissal -----------------

    void lockGoesRightAfterTheCard()
    {
        PrivateBus system;
        QVERIFY(system.start());
        QVERIFY(system.startTemplate(QStringLiteral("logind")));
        const QDBusConnection bus = system.connection(QStringLiteral("dismissal"));
        FakeBatteryServices batteries;
        batteries.setMouse(8, false);
        MemorySettingsStore store;
        FakeLoginItem loginItem;
        FakeTrash trash;
        FakeAlerts alerts;
        FakeClock clock;
        NoConsoleLogins logins;
        LogindShutdownInhibitor inhibitor(bus);
        OpenSession session;
        AppDelegate delegate({{batteries, store, loginItem, trash, alerts, clock, QString()},
                              logins,
                              inhibitor,
                              session});
        delegate.applicationDidFinishLaunching(
            {QStringLiteral("nightwick"), QStringLiteral("--autostart")});
        QVERIFY(msUntil([&] { return ourLocks(bus) == 1; }, 3000) >= 0);
        QVERIFY(prepareForShutdown(bus, true));
        QVERIFY(msUntil([&] { return delegate.reminder().isVisible(); }, 3000) >= 0);
        QTest::qWait(200);
        QCOMPARE(ourLocks(bus), 1);

        QElapsedTimer sinceDismissal;
        sinceDismissal.start();
        delegate.reminder().dismiss();
        const qint64 releasedMs = msUntil([&] { return ourLocks(bus) == 0; }, 2000);
        qInfo("lock gone %lld ms after the card was dismissed", sinceDismissal.elapsed());
        QVERIFY(releasedMs >= 0);
        QVERIFY2(sinceDismissal.elapsed() < 100, qPrintable(QString::number(releasedMs)));
    }

    // The real program ---------------------------------------------------------------------------

    void launchTakesTheDelayLock()
    {
        Desktop desktop;
        QVERIFY(desktop.setUp() && desktop.connect());
        QVERIFY(desktop.launchAndLock());
        QCOMPARE(ourLocks(desktop.bus), 1);
        desktop.signal(SIGTERM);
        QVERIFY(desktop.exitedCleanly(2000));
    }

    void powerOffHoldsTheLockForTheCardOnly_data()
    {
        QTest::addColumn<double>("percent");
        QTest::addColumn<bool>("charging");
        QTest::addColumn<bool>("cardShown");

        QTest::newRow("low and discharging") << 8.0 << false << true;
        QTest::newRow("low but charging") << 8.0 << true << false;
        QTest::newRow("above the threshold") << 50.0 << false << false;
    }

    void powerOffHoldsTheLockForTheCardOnly()
    {
        QFETCH(double, percent);
        QFETCH(bool, charging);
        QFETCH(bool, cardShown);
        Desktop desktop;
        QVERIFY(desktop.setUp() && desktop.connect());
        QVERIFY(addMouse(desktop.bus, percent, charging));
        QVERIFY(desktop.launchAndLock());

        QElapsedTimer sinceAnnouncement;
        sinceAnnouncement.start();
        QVERIFY(prepareForShutdown(desktop.bus, true));
        const qint64 releasedMs = msUntil([&] { return ourLocks(desktop.bus) == 0; }, 6000);
        QVERIFY(releasedMs >= 0);
        qInfo("lock released %lld ms after the announcement", releasedMs);
        if (cardShown) {
            // The card times out after 4 s; the lock goes with it, not before.
            QVERIFY2(releasedMs >= cardMs - 50 && releasedMs < cardMs + 300,
                     qPrintable(QString::number(releasedMs)));
        } else {
            QVERIFY2(releasedMs < 500, qPrintable(QString::number(releasedMs)));
        }
    }

    void cancelledShutdownTakesTheLockAgain()
    {
        Desktop desktop;
        QVERIFY(desktop.setUp() && desktop.connect());
        QVERIFY(addMouse(desktop.bus, 8, false));
        QVERIFY(desktop.launchAndLock());
        QVERIFY(prepareForShutdown(desktop.bus, true));
        QVERIFY(msUntil([&] { return ourLocks(desktop.bus) == 0; }, 6000) >= cardMs - 50);

        QVERIFY(prepareForShutdown(desktop.bus, false));
        QVERIFY(msUntil([&] { return ourLocks(desktop.bus) == 1; }, 2000) >= 0);

        // A second power-off within 30 s of the first card shows none and lets go at once.
        QVERIFY(prepareForShutdown(desktop.bus, true));
        const qint64 releasedMs = msUntil([&] { return ourLocks(desktop.bus) == 0; }, 2000);
        QVERIFY2(releasedMs >= 0 && releasedMs < 500, qPrintable(QString::number(releasedMs)));
    }

    void terminationWaitsForTheCard_data()
    {
        QTest::addColumn<bool>("cardUp");
        QTest::newRow("card up") << true;
        QTest::newRow("no card") << false;
    }

    void terminationWaitsForTheCard()
    {
        QFETCH(bool, cardUp);
        Desktop desktop;
        QVERIFY(desktop.setUp() && desktop.connect());
        QVERIFY(addMouse(desktop.bus, 8, false));
        QVERIFY(desktop.launchAndLock());
        QElapsedTimer sinceAnnouncement;
        if (cardUp) {
            sinceAnnouncement.start();
            QVERIFY(prepareForShutdown(desktop.bus, true));
            QTest::qWait(300);
        }

        desktop.signal(SIGTERM);

        if (cardUp) {
            QVERIFY(!desktop.agent.waitForFinished(1000));
            QVERIFY(desktop.exitedCleanly(cardMs));
            const qint64 exitedMs = sinceAnnouncement.elapsed();
            qInfo("exited %lld ms after the announcement", exitedMs);
            QVERIFY(exitedMs >= cardMs - 50);
        } else {
            QVERIFY(desktop.exitedCleanly(1000));
        }
    }

    void runsWithoutLogind()
    {
        Desktop desktop;
        QVERIFY(desktop.setUp(false) && desktop.connect());
        QVERIFY(addMouse(desktop.bus, 8, false));
        QVERIFY(desktop.launch());
        QVERIFY(!desktop.agent.waitForFinished(500));
        desktop.signal(SIGTERM);
        QVERIFY(desktop.exitedCleanly(1000));
    }

    void logOutThroughGnomeSessionManager_data()
    {
        QTest::addColumn<QString>("request");
        QTest::addColumn<double>("percent");
        QTest::addColumn<int>("answeredAfterMs"); // at least
        QTest::addColumn<bool>("exits");

        QTest::newRow("asked whether it may end") << "QueryEndSession" << 8.0 << 0 << false;
        QTest::newRow("ending, low mouse") << "EndSession" << 8.0 << cardMs - 50 << true;
        QTest::newRow("ending, mouse fine") << "EndSession" << 50.0 << 0 << true;
    }

    void logOutThroughGnomeSessionManager()
    {
        QFETCH(QString, request);
        QFETCH(double, percent);
        QFETCH(int, answeredAfterMs);
        QFETCH(bool, exits);
        Desktop desktop;
        QVERIFY(desktop.setUp() && desktop.connect());
        QVERIFY(addMouse(desktop.bus, percent, false));
        QVERIFY(desktop.session.startMock(gnomeName, gnomePath, gnomeName));
        const QDBusConnection session = desktop.session.connection(QStringLiteral("gnome"));
        QVERIFY(mockCall(session, gnomeName, gnomePath, QStringLiteral("AddMethod"),
                         {QString(), QStringLiteral("RegisterClient"), QStringLiteral("ss"),
                          QStringLiteral("o"), QStringLiteral("ret = '%1'").arg(gnomeClientPath)})
                    .type() == QDBusMessage::ReplyMessage);
        QVERIFY(mockCall(session, gnomeName, gnomePath, QStringLiteral("AddObject"),
                         {gnomeClientPath, QStringLiteral("org.gnome.SessionManager.ClientPrivate"),
                          QVariantMap(), QVariant::fromValue(QList<QVariant>{})})
                    .type() == QDBusMessage::ReplyMessage);
        QVERIFY(mockCall(session, gnomeName, gnomeClientPath, QStringLiteral("AddMethod"),
                         {QString(), QStringLiteral("EndSessionResponse"), QStringLiteral("bs"),
                          QString(), QString()})
                    .type() == QDBusMessage::ReplyMessage);
        QVERIFY(desktop.launchAndLock());
        QVERIFY(
            msUntil([&] { return !methodCalls(session, gnomePath, "RegisterClient").isEmpty(); },
                    3000) >= 0);
        QTest::qWait(100);

        QElapsedTimer sinceRequest;
        sinceRequest.start();
        QVERIFY(mockCall(session, gnomeName, gnomeClientPath, QStringLiteral("EmitSignal"),
                         {QStringLiteral("org.gnome.SessionManager.ClientPrivate"), request,
                          QStringLiteral("u"), QVariantList{0u}})
                    .type() == QDBusMessage::ReplyMessage);
        const auto answers = [&] {
            return methodCalls(session, gnomeClientPath, "EndSessionResponse");
        };
        const qint64 answeredMs = msUntil([&] { return !answers().isEmpty(); }, cardMs + 1000);
        qInfo("%s answered after %lld ms", qPrintable(request), answeredMs);
        QVERIFY(answeredMs >= answeredAfterMs);
        QVERIFY2(answeredMs < answeredAfterMs + 1000, qPrintable(QString::number(answeredMs)));
        QCOMPARE(answers(), (QList<QVariantList>{{true, QString()}}));
        if (exits) {
            QVERIFY(desktop.exitedCleanly(1000));
        } else {
            QVERIFY(!desktop.agent.waitForFinished(300));
        }
    }
};

QTEST_MAIN(TestGateDbus)
#include "test_gate_dbus.moc"
