// The real agent on a desktop of the test harness's own: the real systemd-logind contained in its
// namespace beside a recording stand-in for systemd, the real upowerd over a simulated sysfs with
// a Magic Mouse, private buses and an Xvfb display. bench/run drives it:
//   idle          starts the agent at login (--autostart) and the floor, prints their process ids
//                 as JSON and keeps them running until its standard input closes;
//   cards N       starts the agent N times afresh with the mouse low, asks logind to power off
//                 once it holds its lock, and times PrepareForShutdown to the card's window being
//                 mapped, as an X event watcher of its own sees it;
//   shutdowns N   one agent, the mouse fine: N power-offs, each called off once logind went on,
//                 timing PrepareForShutdown to StartUnit in the stand-in's record, and counting the
//                 agent's descriptors and memory after the first and the last.
// Prints one JSON object per line.
#include "PrivateBus.h"
#include "ProcessTree.h"
#include "RealLogind.h"
#include "UPowerTestbed.h"
#include "XvfbDisplay.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>

#include <xcb/xcb.h>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstdio>
#include <functional>
#include <iostream>
#include <mutex>
#include <poll.h>
#include <thread>
#include <vector>

namespace {

double monotonicMs()
{
    QElapsedTimer timer;
    timer.start();
    return double(timer.msecsSinceReference()); // CLOCK_MONOTONIC, the stand-in's clock too
}

bool waitFor(const std::function<bool()>& condition, int budgetMs = 5000)
{
    QElapsedTimer elapsed;
    elapsed.start();
    while (!condition()) {
        if (elapsed.elapsed() > budgetMs)
            return false;
        QThread::msleep(2);
    }
    return true;
}

void print(const QJsonObject& object)
{
    std::printf("%s\n", QJsonDocument(object).toJson(QJsonDocument::Compact).constData());
    std::fflush(stdout);
}

QJsonObject spread(std::vector<double> ms)
{
    std::sort(ms.begin(), ms.end());
    if (ms.empty())
        return {};
    return {{"runs", int(ms.size())},
            {"minMs", ms.front()},
            {"medianMs", ms[ms.size() / 2]},
            {"worstMs", ms.back()}};
}

// Open descriptors and resident memory (KiB) of a process, from /proc.
std::pair<int, qint64> footprint(qint64 pid)
{
    const int descriptors = int(
        QDir(QStringLiteral("/proc/%1/fd").arg(pid)).entryList(QDir::Files | QDir::System).size());
    QFile rollup(QStringLiteral("/proc/%1/smaps_rollup").arg(pid));
    qint64 rss = 0;
    if (rollup.open(QIODevice::ReadOnly)) {
        for (const QByteArray& line : rollup.readAll().split('\n')) {
            if (line.startsWith("Rss:"))
                rss = line.mid(4).trimmed().split(' ').value(0).toLongLong();
        }
    }
    return {descriptors, rss};
}

// Every window the X server maps that bypasses the window manager, as the card's does, with the
// time this process learnt of it.
class MapWatcher {
public:
    explicit MapWatcher(const QString& display)
        : m_connection(xcb_connect(qPrintable(display), nullptr))
    {
        xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(m_connection)).data;
        const uint32_t mask = XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY;
        xcb_change_window_attributes(m_connection, screen->root, XCB_CW_EVENT_MASK, &mask);
        xcb_flush(m_connection);
        m_thread = std::thread([this] { watch(); });
    }
    ~MapWatcher()
    {
        m_stop = true;
        m_thread.join();
        xcb_disconnect(m_connection);
    }

    // The first map seen after `since`, or nothing.
    std::optional<double> mappedAfter(double since)
    {
        const std::lock_guard lock(m_mutex);
        for (const double at : m_maps) {
            if (at >= since)
                return at;
        }
        return std::nullopt;
    }

private:
    void watch()
    {
        pollfd socket{xcb_get_file_descriptor(m_connection), POLLIN, 0};
        while (!m_stop && !xcb_connection_has_error(m_connection)) {
            ::poll(&socket, 1, 50);
            while (xcb_generic_event_t* event = xcb_poll_for_event(m_connection)) {
                const double at = monotonicMs();
                if ((event->response_type & 0x7f) == XCB_MAP_NOTIFY &&
                    reinterpret_cast<xcb_map_notify_event_t*>(event)->override_redirect) {
                    const std::lock_guard lock(m_mutex);
                    m_maps.push_back(at);
                }
                std::free(event);
            }
        }
    }

    xcb_connection_t* m_connection;
    std::thread m_thread;
    std::atomic<bool> m_stop{false};
    std::mutex m_mutex;
    std::vector<double> m_maps;
};

struct Desktop {
    PrivateBus system{PrivateBus::Kind::System};
    PrivateBus session{PrivateBus::Kind::Session};
    bool systemUp = system.start(); // before logind and upowerd, which take its address
    RealLogind logind{system};
    UPowerTestbed upower{system};
    XvfbDisplay display;
    QTemporaryDir config{QDir::homePath() + "/.cache/nightwick-bench-XXXXXX"};
    QDBusConnection bus{""};
    SimulatedDevice mouse = Simulated::magicMouseOnBluetooth(8);

    bool start()
    {
        if (const QString missing = RealLogind::missingTools() + UPowerTestbed::missingTools() +
                                    XvfbDisplay::missingTools();
            !missing.isEmpty()) {
            std::fprintf(stderr, "cannot run: %s\n", qPrintable(missing));
            return false;
        }
        if (!systemUp || !session.start() || !display.start() || !logind.start() ||
            !upower.start() || !upower.add(mouse) || !upower.startUPower() ||
            !upower.waitUntilSettled())
            return false;
        bus = system.connection("bench");
        return true;
    }

    std::unique_ptr<QProcess> launch(const QString& program, const QStringList& arguments)
    {
        auto process = childProcess();
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        system.addTo(environment);
        session.addTo(environment);
        display.addTo(environment);
        environment.insert("XDG_CONFIG_HOME", config.path());
        process->setProcessEnvironment(environment);
        process->setProcessChannelMode(QProcess::ForwardedErrorChannel);
        process->setStandardOutputFile(QProcess::nullDevice());
        process->start(program, arguments);
        process->waitForStarted();
        return process;
    }

    // Whether logind lists the agent's delay lock.
    bool locked(qint64 pid) const { return logind.agentLocks(pid) > 0; }

    // Powers off and waits until logind has gone on (StartUnit), then calls the shutdown off and
    // forgets the record, whose every reading would otherwise grow with the run. The time from
    // the announcement to StartUnit, in ms.
    std::optional<double> powerOffAndCallOff()
    {
        if (!logind.powerOff() || !waitFor([&] { return !logind.calls("StartUnit").isEmpty(); }))
            return std::nullopt;
        const double held = logind.calls("StartUnit").first().atMs -
                            logind.calls("PrepareForShutdown").first().atMs;
        if (!logind.finishJobs() || !logind.clearCalls())
            return std::nullopt;
        return held;
    }
};

const QString agentProgram = QStringLiteral(NIGHTWICK_BINARY);

int idle(Desktop& desktop)
{
    const auto floor = desktop.launch(QStringLiteral(NIGHTWICK_FLOOR), {});
    const auto agent = desktop.launch(agentProgram, {"--autostart"});
    print({{"agent", agent->processId()},
           {"floor", floor->processId()},
           {"launchedAtMs", monotonicMs()}});
    std::string line;
    while (std::getline(std::cin, line)) {
    }
    for (QProcess* process : {agent.get(), floor.get()}) {
        process->kill();
        process->waitForFinished();
    }
    return 0;
}

int cards(Desktop& desktop, int count)
{
    MapWatcher watcher(desktop.display.name());
    std::vector<double> mapped;
    for (int run = 0; run < count; ++run) {
        const auto agent = desktop.launch(agentProgram, {"--autostart"});
        if (!waitFor([&] { return desktop.locked(agent->processId()); }) ||
            !desktop.logind.clearCalls())
            return 1;
        QThread::msleep(300); // done with its start: the card is the first thing it draws
        const double asked = monotonicMs();
        if (!desktop.logind.powerOff() ||
            !waitFor([&] { return watcher.mappedAfter(asked).has_value(); }))
            return 1;
        mapped.push_back(*watcher.mappedAfter(asked) -
                         desktop.logind.calls("PrepareForShutdown").first().atMs);
        // Its lock goes with it; logind goes on, and is called off for the next run.
        agent->kill();
        agent->waitForFinished();
        if (!waitFor([&] { return !desktop.logind.calls("StartUnit").isEmpty(); }) ||
            !desktop.logind.finishJobs())
            return 1;
    }
    print({{"what", "card mapped"}, {"timing", spread(mapped)}});
    return 0;
}

int shutdowns(Desktop& desktop, int count)
{
    if (!desktop.upower.change(desktop.mouse, {{"capacity", "50"}}))
        return 1;
    QThread::msleep(500); // upowerd takes the change in
    const auto agent = desktop.launch(agentProgram, {"--autostart"});
    const qint64 pid = agent->processId();
    if (!waitFor([&] { return desktop.locked(pid); }))
        return 1;
    std::vector<double> held;
    std::pair<int, qint64> first;
    for (int cycle = 1; cycle <= count; ++cycle) {
        const std::optional<double> hold = desktop.powerOffAndCallOff();
        if (!hold || !waitFor([&] { return desktop.locked(pid); })) {
            std::fprintf(stderr, "shutdown %d failed; logind said:\n%s\n", cycle,
                         qPrintable(desktop.logind.log().right(2000)));
            return 1;
        }
        held.push_back(*hold);
        if (cycle == 1)
            first = footprint(pid);
    }
    QThread::msleep(200); // the last answer's copy of the lock goes with its watcher
    const auto last = footprint(pid);
    print({{"what", "logind held, no card"}, {"timing", spread(held)}});
    print({{"what", "shutdown cycles"},
           {"cycles", count},
           {"descriptorsAfterFirst", first.first},
           {"descriptorsAfterLast", last.first},
           {"rssAfterFirstKiB", first.second},
           {"rssAfterLastKiB", last.second},
           {"running", agent->state() == QProcess::Running}});
    agent->kill();
    agent->waitForFinished();
    return 0;
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList arguments = QCoreApplication::arguments();
    const QString mode = arguments.value(1);
    const int count = arguments.value(2).toInt();
    Desktop desktop;
    if (!desktop.start())
        return 1;
    if (mode == "idle")
        return idle(desktop);
    if (mode == "cards" && count > 0)
        return cards(desktop, count);
    if (mode == "shutdowns" && count > 0)
        return shutdowns(desktop, count);
    std::fprintf(stderr, "usage: %s idle | cards N | shutdowns N\n", argv[0]);
    return 2;
}
