#include "AgentFixture.h"
#include "PrivateBus.h"
#include "platform/LogindShutdownInhibitor.h"

#include <QDir>
#include <QElapsedTimer>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtDBus>

#include <csignal>
#include <functional>

using namespace std::chrono_literals;

namespace {

const QString login1 = "org.freedesktop.login1", login1Path = "/org/freedesktop/login1",
              manager = login1 + ".Manager";
constexpr int cardMs = 4000;

QDBusMessage mock(const QDBusConnection& bus, const QString& service, const QString& path,
                  const QString& method, const QVariantList& arguments,
                  const QString& interface = "org.freedesktop.DBus.Mock")
{
    QDBusMessage call = QDBusMessage::createMethodCall(service, path, interface, method);
    call.setArguments(arguments);
    return bus.call(call, QDBus::Block, 5000);
}

bool ok(const QDBusMessage& reply)
{
    return reply.type() == QDBusMessage::ReplyMessage;
}

// The fields of each structure in a reply that is an array of them.
QList<QVariantList> structures(const QDBusMessage& reply)
{
    QList<QVariantList> rows;
    const auto array = reply.arguments().value(0).value<QDBusArgument>();
    array.beginArray();
    while (ok(reply) && !array.atEnd()) {
        rows << QVariantList();
        array.beginStructure();
        while (!array.atEnd()) {
            rows.last() << array.asVariant();
        }
        array.endStructure();
    }
    return rows;
}

int ourLocks(const QDBusConnection& bus)
{
    const QVariantList ours{"shutdown", "Nightwick", "Waits for shutdown to show the reminder",
                            "delay"};
    int count = 0;
    for (const QVariantList& lock :
         structures(mock(bus, login1, login1Path, "ListInhibitors", {}, manager))) {
        count += lock.mid(0, 4) == ours ? 1 : 0;
    }
    return count;
}

// Milliseconds until the condition holds, or -1 after the budget. Events keep flowing.
qint64 msUntil(const std::function<bool()>& condition, int budgetMs = 3000)
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

// As a recent logind does it: the one announcement comes twice, the second with metadata.
bool prepareForShutdown(const QDBusConnection& bus, bool starting)
{
    return ok(mock(bus, login1, login1Path, "EmitSignal",
                   {manager, "PrepareForShutdown", "b", QVariantList{starting}})) &&
           ok(mock(bus, login1, login1Path, "EmitSignal",
                   {manager, "PrepareForShutdownWithMetadata", "ba{sv}",
                    QVariantList{starting, QVariantMap{{"type", "poweroff"}}}}));
}

// Private buses with UPower's and (usually) logind's mocks, and the real program on them.
struct Desktop {
    bool setUp(double percent, bool charging, bool withLogind = true)
    {
        const QString upower = "org.freedesktop.UPower", upowerPath = "/org/freedesktop/UPower";
        bus = system.connection("desktop");
        if (!systemUp || !config.isValid() || !session.start() ||
            (withLogind && !system.startTemplate("logind")) || !system.startTemplate("upower")) {
            return false;
        }
        const QDBusMessage mouse =
            mock(bus, upower, upowerPath, charging ? "AddChargingBattery" : "AddDischargingBattery",
                 {"mouse", "Magic Mouse 2", percent, qint64(3600)});
        const QDBusObjectPath device(mouse.arguments().value(0).toString());
        return ok(mouse) && ok(mock(bus, upower, upowerPath, "SetDeviceProperties",
                                    {QVariant::fromValue(device),
                                     QVariantMap{{"Type", QVariant::fromValue(5u)}}}));
    }
    bool launch(bool andLock = true)
    {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        system.addTo(environment);
        session.addTo(environment);
        environment.insert("QT_QPA_PLATFORM", "offscreen");
        environment.insert("XDG_CONFIG_HOME", config.path());
        agent.setProcessEnvironment(environment);
        agent.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        agent.start(qEnvironmentVariable("NIGHTWICK_BINARY"), {"--autostart"});
        return agent.waitForStarted(5000) &&
               (!andLock || msUntil([this] { return ourLocks(bus) == 1; }, 5000) >= 0);
    }
    bool exitsCleanlyWithin(int ms)
    {
        return agent.waitForFinished(ms) && agent.exitStatus() == QProcess::NormalExit &&
               agent.exitCode() == 0;
    }
    ~Desktop() { agent.kill(), agent.waitForFinished(2000); }

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

    // The agent in this process over logind's mock: each shutdown is heard once, the lock comes
    // back on the cancel, nothing leaks, and a card's dismissal lets go at once.
    void handshakeWithLogind()
    {
        Desktop desktop;
        QVERIFY(desktop.setUp(50, false));
        QVERIFY(ok(mock(desktop.bus, login1, login1Path, "AddProperty",
                        {manager, "InhibitDelayMaxUSec",
                         QVariant::fromValue(QDBusVariant(qulonglong(2000000)))})));
        LogindShutdownInhibitor inhibitor(desktop.bus);
        QSignalSpy announced(&inhibitor, &ShutdownInhibitor::shutdownAnnounced);
        QSignalSpy cancelled(&inhibitor, &ShutdownInhibitor::shutdownCancelled);
        Gate gate(false, {});
        gate.lock = &inhibitor;
        gate.launch();
        QVERIFY(msUntil([&] { return ourLocks(desktop.bus) == 1; }) >= 0);
        QVERIFY(msUntil([&] { return inhibitor.holdLimit() == 2s; }) >= 0);

        const auto openDescriptors = [] {
            QTest::qWait(20); // the answers' copies go with their deferred deletion
            return QDir("/proc/self/fd").entryList(QDir::Files | QDir::System).size();
        };
        const auto before = openDescriptors();
        for (int cycle = 1; cycle <= 200; ++cycle) { // no card: the mouse is unseen
            QVERIFY(prepareForShutdown(desktop.bus, true));
            QVERIFY(msUntil([&] { return announced.count() >= cycle && !inhibitor.isHeld(); }) >=
                    0);
            QVERIFY(prepareForShutdown(desktop.bus, false));
            QVERIFY(msUntil([&] { return inhibitor.isHeld(); }) >= 0);
        }
        QCOMPARE(openDescriptors(), before);
        QCOMPARE(announced.count(), 200);
        QCOMPARE(cancelled.count(), 200);
        QCOMPARE(ourLocks(desktop.bus), 1);

        gate.batteries.setMouse(8, false);
        QVERIFY(prepareForShutdown(desktop.bus, true));
        QVERIFY(msUntil([&] { return gate.cardVisible(); }) >= 0);
        QTest::qWait(200);
        QCOMPARE(ourLocks(desktop.bus), 1);
        QElapsedTimer sinceDismissal;
        sinceDismissal.start();
        gate.delegate->reminder().dismiss();
        QVERIFY(msUntil([&] { return ourLocks(desktop.bus) == 0; }) >= 0);
        qInfo("lock gone %lld ms after the dismissal", sinceDismissal.elapsed());
        QVERIFY(sinceDismissal.elapsed() < 100);
    }

    // The real program from here on. Without a signal, how long the lock holds a power-off back;
    // with one, how long the program takes to end.
    void theProgramWaitsForTheCard_data()
    {
        QTest::addColumn<double>("percent");
        QTest::addColumn<bool>("charging");
        QTest::addColumn<bool>("logind");
        QTest::addColumn<int>("signal");
        QTest::addColumn<int>("heldMs");
        QTest::newRow("power-off, low: the card holds the lock")
            << 8.0 << false << true << 0 << cardMs;
        QTest::newRow("power-off, low but charging") << 8.0 << true << true << 0 << 0;
        QTest::newRow("power-off, above the threshold") << 50.0 << false << true << 0 << 0;
        QTest::newRow("SIGTERM during the card") << 8.0 << false << true << SIGTERM << cardMs;
        QTest::newRow("SIGTERM, no card") << 50.0 << false << true << SIGTERM << 0;
        QTest::newRow("SIGINT, no card") << 50.0 << false << true << SIGINT << 0;
        QTest::newRow("SIGHUP, no card") << 50.0 << false << true << SIGHUP << 0;
        QTest::newRow("SIGTERM, no logind on the bus") << 8.0 << false << false << SIGTERM << 0;
    }
    void theProgramWaitsForTheCard()
    {
        QFETCH(double, percent);
        QFETCH(bool, charging);
        QFETCH(bool, logind);
        QFETCH(int, signal);
        QFETCH(int, heldMs);
        Desktop desktop;
        QVERIFY(desktop.setUp(percent, charging, logind));
        QVERIFY(desktop.launch(logind));
        QVERIFY(!logind || prepareForShutdown(desktop.bus, true));
        QElapsedTimer elapsed;
        elapsed.start();
        if (signal) {
            QVERIFY(!desktop.agent.waitForFinished(300)); // the announcement is heard by now
            ::kill(static_cast<pid_t>(desktop.agent.processId()), signal);
            QVERIFY(desktop.exitsCleanlyWithin(cardMs + 1000));
        } else {
            QVERIFY(msUntil([&] { return !ourLocks(desktop.bus); }, cardMs + 1000) >= 0);
        }
        qInfo("held back %lld ms", elapsed.elapsed());
        QVERIFY(elapsed.elapsed() >= heldMs - 50 && elapsed.elapsed() < heldMs + 800);
    }
};

QTEST_MAIN(TestGateDbus)
#include "test_gate_dbus.moc"
