#include "Eventually.h"
#include "PrivateBus.h"
#include "RealLogind.h"
#include "UPowerTestbed.h"
#include "XvfbDisplay.h"
#include "platform/session/LogindShutdownInhibitor.h"

#include <QDir>
#include <QElapsedTimer>
#include <QSettings>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QtDBus>

#include <algorithm>
#include <csignal>
#include <functional>
#include <optional>
#include <sys/prctl.h>

namespace {

const QString login1 = "org.freedesktop.login1", login1Path = "/org/freedesktop/login1",
              manager = login1 + ".Manager";
constexpr int cardMs = 4000;
const QString sessionGone = "session bus gone", logindBack = "logind restarted";
// What logind logs when a delay lock outlived InhibitDelayMaxSec.
const QString logindGaveUp = "inhibitor timeout is reached";

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

// The card's own title; the settings window's is "Nightwick".
bool cardShown(const XvfbDisplay& display)
{
    const QStringList shown = display.shownWindowTitles();
    return std::any_of(shown.begin(), shown.end(),
                       [](const QString& title) { return title.startsWith("nightwick"); });
}

// Now on the stand-in's clock (CLOCK_MONOTONIC, ms).
double now()
{
    QElapsedTimer timer;
    timer.start();
    return double(timer.msecsSinceReference());
}

// Private buses with the real logind (usually) and a mouse, and the real program on them.
struct Desktop {
    explicit Desktop(int inhibitDelayMaxSeconds = 5)
        : logind(system, inhibitDelayMaxSeconds)
    {
    }
    // A Magic Mouse over Bluetooth, as the real upowerd reports it.
    bool setUp(int percent, bool charging, bool withLogind = true)
    {
        bus = system.connection("desktop");
        return systemUp && config.isValid() && session.start() && (!withLogind || logind.start()) &&
               upower.start() &&
               upower.add(Simulated::magicMouseOnBluetooth(
                   percent,
                   charging ? QStringLiteral("Charging") : QStringLiteral("Discharging"))) &&
               upower.startUPower() && upower.waitUntilSettled();
    }
    bool launch(const XvfbDisplay& display, bool andLock = true)
    {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        system.addTo(environment);
        session.addTo(environment);
        display.addTo(environment);
        environment.insert("XDG_CONFIG_HOME", config.path());
        agent.setProcessEnvironment(environment);
        agent.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        agent.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGKILL); });
        QObject::connect(&agent, &QProcess::finished, [this] { endedAt = now(); });
        agent.start(qEnvironmentVariable("NIGHTWICK_BINARY"), {"--autostart"});
        return agent.waitForStarted(5000) &&
               (!andLock || eventually([this] { return logind.agentLocks(pid()) == 1; }));
    }
    qint64 pid() const { return agent.processId(); }
    // The reading the agent stored once it had launched.
    std::optional<int> storedPercent() const
    {
        const QSettings stored(config.filePath("nightwick/nightwick.conf"), QSettings::IniFormat);
        return stored.contains("lastPercent") ? std::optional(stored.value("lastPercent").toInt())
                                              : std::nullopt;
    }
    // Never to pid 0, which is what an ended program's pid reads, and would be our own group.
    bool signal(int number) { return pid() > 0 && ::kill(static_cast<pid_t>(pid()), number) == 0; }
    bool exitsCleanlyWithin(int ms)
    {
        return (agent.state() == QProcess::NotRunning || agent.waitForFinished(ms)) &&
               agent.exitStatus() == QProcess::NormalExit && agent.exitCode() == 0;
    }
    ~Desktop() { agent.kill(), agent.waitForFinished(2000); }

    PrivateBus system{PrivateBus::Kind::System};
    PrivateBus session{PrivateBus::Kind::Session};
    bool systemUp = system.start();
    RealLogind logind;
    UPowerTestbed upower{system};
    QDBusConnection bus{""};
    QTemporaryDir config;
    std::optional<double> endedAt; // when the program was seen to end
    QProcess agent;
};

// As logind 255 and later do it: the one announcement comes twice, the second with metadata.
bool prepareForShutdown(const QDBusConnection& bus, bool starting)
{
    return ok(mock(bus, login1, login1Path, "EmitSignal",
                   {manager, "PrepareForShutdown", "b", QVariantList{starting}})) &&
           ok(mock(bus, login1, login1Path, "EmitSignal",
                   {manager, "PrepareForShutdownWithMetadata", "ba{sv}",
                    QVariantList{starting, QVariantMap{{"type", "poweroff"}}}}));
}

} // namespace

class TestGateDbus : public QObject {
    Q_OBJECT
    XvfbDisplay m_display;
    QString m_logindMissing;

private slots:
    void initTestCase()
    {
        for (const QString& missing : {PrivateBus::missingTools(), UPowerTestbed::missingTools(),
                                       XvfbDisplay::missingTools()}) {
            if (!missing.isEmpty()) {
                QSKIP(qPrintable("needs a private D-Bus with upowerd and dbusmock, and an X "
                                 "server: " +
                                 missing));
            }
        }
        QVERIFY(m_display.start());
        m_logindMissing = RealLogind::missingTools();
    }

    // A power-off through the real logind while the real program holds its lock. Logind goes on
    // once the card has gone: by a key, by its own time, or early enough for logind's limit. A
    // termination signal during the shutdown ends the program once no card waits on it.
    void powerOff_data()
    {
        QTest::addColumn<int>("percent");
        QTest::addColumn<bool>("charging");
        QTest::addColumn<int>("delayMaxSeconds");
        QTest::addColumn<int>("keyAtMs"); // after the power-off was asked for; -1: no key
        QTest::addColumn<int>("signal");
        QTest::addColumn<QString>("before"); // what happens to the desktop before the power-off
        QTest::newRow("low mouse: logind waits for the card") << 8 << false << 5 << -1 << 0 << "";
        QTest::newRow("a key at 1 s lets it go") << 8 << false << 5 << 1000 << 0 << "";
        QTest::newRow("charging mouse: no card") << 8 << true << 5 << -1 << 0 << "";
        QTest::newRow("InhibitDelayMaxSec=2: the card goes first")
            << 8 << false << 2 << -1 << 0 << "";
        QTest::newRow("SIGTERM during the card waits for it")
            << 8 << false << 5 << -1 << SIGTERM << "";
        QTest::newRow("SIGTERM, no card") << 50 << false << 5 << -1 << SIGTERM << "";
        QTest::newRow("SIGINT, no card") << 50 << false << 5 << -1 << SIGINT << "";
        QTest::newRow("SIGHUP, no card") << 50 << false << 5 << -1 << SIGHUP << "";
        QTest::newRow("the session bus went away") << 8 << false << 5 << 1000 << 0 << sessionGone;
        QTest::newRow("logind went and came back: the lock is taken again")
            << 8 << false << 5 << 1000 << 0 << logindBack;
    }
    void powerOff()
    {
        QFETCH(int, percent);
        QFETCH(bool, charging);
        QFETCH(int, delayMaxSeconds);
        QFETCH(int, keyAtMs);
        QFETCH(int, signal);
        QFETCH(QString, before);
        if (!m_logindMissing.isEmpty()) {
            QSKIP(qPrintable(m_logindMissing));
        }
        const bool reminds = percent < 10 && !charging;
        Desktop desktop(delayMaxSeconds);
        QVERIFY(desktop.setUp(percent, charging));
        QVERIFY(desktop.launch(m_display));
        if (before == sessionGone) {
            desktop.session.stop();
            QVERIFY(!desktop.agent.waitForFinished(300));
        } else if (before == logindBack) {
            desktop.logind.stop();
            QVERIFY(desktop.logind.start());
            QVERIFY(eventually([&] { return desktop.logind.agentLocks(desktop.pid()) == 1; }));
        }
        // The reading of the real upowerd taken at launch is stored for the next 48 hours.
        QVERIFY(eventually([&] { return desktop.storedPercent().has_value(); }));
        QCOMPARE(*desktop.storedPercent(), percent);
        const double asked = now();
        QVERIFY(desktop.logind.powerOff());

        // The screen is watched until logind has gone on, and a little longer, for a late card.
        // Each sighting is dated when the look began, so it is never later than the card was.
        std::optional<double> cardFirst, cardLast, keyAt, signalledAt, goneOn;
        QList<RealLogind::Call> started;
        while (now() < (goneOn ? *goneOn + 300 : asked + delayMaxSeconds * 1000 + 3000)) {
            const double looked = now();
            if (cardShown(m_display)) {
                cardFirst = cardFirst.value_or(looked), cardLast = looked;
            }
            if (keyAtMs >= 0 && !keyAt && cardFirst && looked >= asked + keyAtMs) {
                keyAt = now();
                QVERIFY(m_display.pressKey("space"));
            }
            if (signal && !signalledAt && (reminds ? cardFirst : goneOn)) {
                signalledAt = now();
                QVERIFY(desktop.signal(signal));
            }
            if (!goneOn && !(started = desktop.logind.calls("StartUnit")).isEmpty()) {
                goneOn = now();
            }
            QTest::qWait(5);
        }
        QCOMPARE(started.size(), 1);
        QCOMPARE(started[0].arguments,
                 "/org/freedesktop/systemd1 poweroff.target replace-irreversibly");
        const auto announced = desktop.logind.calls("PrepareForShutdown");
        QVERIFY(!announced.isEmpty() && announced[0].arguments.endsWith(" 1"));
        qInfo("PrepareForShutdown -> StartUnit: %.0f ms", started[0].atMs - announced[0].atMs);

        QCOMPARE(cardFirst.has_value(), reminds);
        if (reminds) {
            QVERIFY(*cardLast < started[0].atMs);
        }
        if (keyAt) { // the key let it go, not the card's own time
            QVERIFY(*keyAt < started[0].atMs && started[0].atMs < announced[0].atMs + cardMs);
        }
        QVERIFY2(!desktop.logind.log().contains(logindGaveUp), qPrintable(desktop.logind.log()));
        if (signal) {
            QVERIFY(!reminds || *cardLast > *signalledAt); // the card stayed after the signal
            QVERIFY(desktop.exitsCleanlyWithin(15000));
            qInfo("the program ended %.0f ms after the signal", *desktop.endedAt - *signalledAt);
        } else {
            QCOMPARE(desktop.agent.state(), QProcess::Running);
        }
    }

    // logind refuses new delay locks while a shutdown runs. Each time one is called off the
    // agent takes its lock again, and keeps no descriptor of the earlier ones.
    void lockIsBackAfterEachCalledOffShutdown()
    {
        if (!m_logindMissing.isEmpty()) {
            QSKIP(qPrintable(m_logindMissing));
        }
        Desktop desktop;
        QVERIFY(desktop.setUp(50, false));
        QVERIFY(desktop.launch(m_display));
        const QDir descriptors(QStringLiteral("/proc/%1/fd").arg(desktop.pid()));
        const auto openDescriptors = [&] {
            return descriptors.entryList(QDir::Files | QDir::System).size();
        };
        const auto whatIsOpen = [&] {
            QStringList targets;
            for (const QFileInfo& descriptor :
                 descriptors.entryInfoList(QDir::Files | QDir::System)) {
                targets << descriptor.fileName() + "->" + descriptor.symLinkTarget();
            }
            return targets.join(' ');
        };
        QString openAtFirst;
        qsizetype before = 0;
        constexpr int cycles = 20;
        for (int cycle = 1; cycle <= cycles; ++cycle) {
            QVERIFY(desktop.logind.powerOff());
            QVERIFY(eventually([&] { return desktop.logind.calls("StartUnit").size() == cycle; }));
            QCOMPARE(desktop.logind.agentLocks(desktop.pid()), 0);
            QVERIFY(desktop.logind.finishJobs("canceled"));
            QVERIFY(eventually([&] { return desktop.logind.agentLocks(desktop.pid()) == 1; }));
            // logind lists the lock before its descriptor has reached the agent.
            QVERIFY(eventually([&] { return whatIsOpen().contains("/run/systemd/inhibit/"); }));
            // Counted from the first shutdown on: the program opens some of its own lazily, and
            // the answer's copy of the lock may still be open then.
            before = cycle == 1 ? openDescriptors() : before;
            openAtFirst = cycle == 1 ? whatIsOpen() : openAtFirst;
        }
        QVERIFY2(eventually([&] { return openDescriptors() <= before; }),
                 qPrintable(QStringLiteral("%1 descriptors open, %2 after the first shutdown:\n"
                                           "now %3\nthen %4")
                                .arg(openDescriptors())
                                .arg(before)
                                .arg(whatIsOpen(), openAtFirst)));
        const auto announced = desktop.logind.calls("PrepareForShutdown");
        const auto started = desktop.logind.calls("StartUnit");
        QCOMPARE(announced.size(), 2 * cycles); // true, then false, each time
        QList<double> waits;
        for (int cycle = 0; cycle < cycles; ++cycle) {
            waits << started[cycle].atMs - announced[2 * cycle].atMs;
        }
        std::sort(waits.begin(), waits.end());
        qInfo("PrepareForShutdown -> StartUnit over %d shutdowns: min %.1f, median %.1f, max %.1f "
              "ms",
              cycles, waits.first(), waits[cycles / 2], waits.last());
    }

    void signalWithNoLogindOnTheBus()
    {
        Desktop desktop;
        QVERIFY(desktop.setUp(8, false, false));
        QVERIFY(desktop.launch(m_display, false));
        // Launched, with its signal handlers in place.
        QVERIFY(eventually([&] { return desktop.storedPercent().has_value(); }));
        const double signalled = now();
        QVERIFY(desktop.signal(SIGTERM));
        QVERIFY(desktop.exitsCleanlyWithin(15000));
        qInfo("the program ended %.0f ms after the signal", *desktop.endedAt - signalled);
    }

    // UPower sends a flood of PropertiesChanged: it reaches nothing of the agent's, which listens
    // to no signal of UPower's and reads the mouse when it needs it.
    void upowerFloodReachesNothing()
    {
        Desktop desktop;
        desktop.bus = desktop.system.connection("desktop");
        QVERIFY(desktop.systemUp && desktop.config.isValid() && desktop.session.start() &&
                desktop.system.startTemplate("logind") && desktop.system.startTemplate("upower"));
        const QString upower = "org.freedesktop.UPower", upowerPath = "/org/freedesktop/UPower";
        const QDBusMessage added = mock(desktop.bus, upower, upowerPath, "AddDischargingBattery",
                                        {"mouse", "Magic Mouse 2", 8.0, qint64(3600)});
        const QString device = added.arguments().value(0).toString();
        QVERIFY(
            ok(mock(desktop.bus, upower, upowerPath, "SetDeviceProperties",
                    {QVariant::fromValue(QDBusObjectPath(device)), QVariantMap{{"Type", 5U}}})));
        QVERIFY(ok(mock(desktop.bus, upower, device, "AddMethod",
                        {"org.nightwick.Flood", "Flood", "u", "",
                         "for i in range(args[0]): self.EmitSignal('org.freedesktop.DBus."
                         "Properties', 'PropertiesChanged', 'sa{sv}as', ['org.freedesktop.UPower."
                         "Device', {'Percentage': dbus.Double(i % 100, variant_level=1)}, []])"})));
        QVERIFY(desktop.launch(m_display, false));
        // dbusmock's logind lists every lock as held by one made-up process.
        QVERIFY(eventually([&] { return desktop.logind.agentLocks() == 1; }));
        const auto wakeUps = [&] {
            qint64 switches = 0;
            const QDir tasks(QStringLiteral("/proc/%1/task").arg(desktop.pid()));
            for (const QString& task : tasks.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
                QFile status(tasks.filePath(task + "/status"));
                for (const QByteArray& line : status.open(QIODevice::ReadOnly)
                                                  ? status.readAll().split('\n')
                                                  : QByteArrayList()) {
                    if (line.contains("ctxt_switches:"))
                        switches += line.mid(line.indexOf(':') + 1).trimmed().toLongLong();
                }
            }
            return switches;
        };
        const qint64 before = wakeUps();
        constexpr uint flood = 10000;
        QVERIFY(ok(mock(desktop.bus, upower, device, "Flood", {flood}, "org.nightwick.Flood")));
        QTest::qWait(100);
        const qint64 woken = wakeUps() - before;
        QVERIFY2(woken < flood / 100, qPrintable(QString("woken %1 times").arg(woken)));
        QVERIFY(prepareForShutdown(desktop.bus, true));
        QVERIFY(eventually([&] { return cardShown(m_display); }));
        QVERIFY(m_display.pressKey("space"));
        qInfo("%u PropertiesChanged woke the agent %lld times", flood, woken);
    }

    // logind 255 and later announce each change twice (this machine's logind does not), so
    // dbusmock's logind stands in: each change is heard once.
    void twiceAnnouncedShutdownIsHeardOnce()
    {
        PrivateBus system;
        QVERIFY(system.start() && system.startTemplate("logind"));
        const QDBusConnection bus = system.connection("inhibitor");
        LogindShutdownInhibitor inhibitor(bus);
        QSignalSpy announced(&inhibitor, &ShutdownInhibitor::shutdownAnnounced);
        QSignalSpy cancelled(&inhibitor, &ShutdownInhibitor::shutdownCancelled);
        inhibitor.start();
        QVERIFY(eventually([&] { return inhibitor.isHeld(); }));
        QVERIFY(prepareForShutdown(bus, true) && prepareForShutdown(bus, false));
        QVERIFY(eventually([&] { return cancelled.count() > 0; }));
        QTest::qWait(50); // the second announcement, were it heard
        QCOMPARE(announced.count(), 1);
        QCOMPARE(cancelled.count(), 1);
        QVERIFY(inhibitor.isHeld());
    }
};

QTEST_MAIN(TestGateDbus)
#include "test_gate_dbus.moc"
