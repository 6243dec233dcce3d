#include "HeadlessSession.h"

#include <QDBusArgument>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTest>
#include <QThread>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <functional>
#include <map>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

const QString supportDir = QStringLiteral(NW_TEST_SUPPORT_DIR);
const QString gnome = "org.gnome.SessionManager", gnomePath = "/org/gnome/SessionManager";
const QString xfce = "org.xfce.SessionManager", xfcePath = "/org/xfce/SessionManager";
constexpr int budgetMs = 10000;

// Keeps events flowing until the condition holds; false after the budget.
bool waitFor(const std::function<bool()>& condition, int ms = budgetMs)
{
    const QDeadlineTimer deadline(ms);
    while (!condition()) {
        if (deadline.hasExpired()) {
            return false;
        }
        QTest::qWait(10);
    }
    return true;
}

QDBusMessage call(const QDBusConnection& bus, const QString& service, const QString& path,
                  const QString& method, const QVariantList& arguments = {})
{
    const qsizetype dot = method.lastIndexOf('.');
    QDBusMessage message =
        QDBusMessage::createMethodCall(service, path, method.left(dot), method.mid(dot + 1));
    message.setArguments(arguments);
    return bus.call(message, QDBus::Block, 2000);
}

// Every process below pid, from /proc.
std::vector<pid_t> descendants(pid_t pid)
{
    if (pid <= 1) {
        return {};
    }
    std::multimap<pid_t, pid_t> children;
    for (const QString& entry : QDir("/proc").entryList(QDir::Dirs)) {
        QFile stat("/proc/" + entry + "/stat");
        if (entry.toInt() > 0 && stat.open(QIODevice::ReadOnly)) {
            const QByteArray text = stat.readAll();
            const QList<QByteArray> fields = text.mid(text.lastIndexOf(')') + 2).split(' ');
            children.emplace(fields.value(1).toInt(), entry.toInt());
        }
    }
    std::vector<pid_t> found;
    for (std::vector<pid_t> next{pid}; !next.empty();) {
        const pid_t parent = next.back();
        next.pop_back();
        for (auto [it, end] = children.equal_range(parent); it != end; ++it) {
            found.push_back(it->second);
            next.push_back(it->second);
        }
    }
    return found;
}

// Xfce's settings daemon lives under the multiarch library folder.
QString xfconfd()
{
    for (const QString& arch : QDir("/usr/lib").entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        if (const QString path = "/usr/lib/" + arch + "/xfce4/xfconf/xfconfd";
            QFile::exists(path)) {
            return path;
        }
    }
    return "xfconfd";
}

bool isAlive(pid_t pid)
{
    QFile stat(QString("/proc/%1/stat").arg(pid));
    if (pid <= 0 || !stat.open(QIODevice::ReadOnly)) {
        return false;
    }
    const QByteArray text = stat.readAll();
    return text.mid(text.lastIndexOf(')') + 2, 1) != "Z";
}

} // namespace

// GNOME's session manager talks to its clients in broadcast signals, which anyone may hear.
class GnomeListener : public QObject {
    Q_OBJECT
public:
    explicit GnomeListener(std::function<void(QString)> heard)
        : m_heard(std::move(heard))
    {
    }
public slots:
    void signalled(const QDBusMessage& message) { m_heard(message.member()); }

private:
    std::function<void(QString)> m_heard;
};

HeadlessSession::HeadlessSession(Manager manager)
    : m_manager(manager)
{
    // What the session manager started is handed to the test when its parent goes, so that the
    // test can end it.
    ::prctl(PR_SET_CHILD_SUBREAPER, 1);
}

HeadlessSession::~HeadlessSession()
{
    endAll();
}

QString HeadlessSession::missingTools(Manager manager)
{
    for (const QString& missing :
         {PrivateBus::missingTools(), UPowerTestbed::missingTools(), RealLogind::missingTools()}) {
        if (!missing.isEmpty()) {
            return missing;
        }
    }
    if (qEnvironmentVariableIsEmpty("NIGHTWICK_BINARY")) {
        return "NIGHTWICK_BINARY is not set; run through ctest";
    }
    QStringList tools{"Xvfb", "xdotool", "xwininfo"};
    tools << std::map<Manager, QStringList>{
        {Manager::Gnome, {"/usr/libexec/gnome-session-binary", "gnome-session-inhibit", "xterm"}},
        {Manager::Xfce, {"xfce4-session", "xfwm4", "xterm", xfconfd()}},
        {Manager::Xsm, {"xsm", "stdbuf"}},
    }[manager];
#ifdef NW_XSMP_PEER
    tools << NW_XSMP_PEER;
#else
    if (manager != Manager::Gnome) {
        return "libSM is not installed (Debian package libsm-dev)";
    }
#endif
    QStringList missing;
    for (const QString& tool : tools) {
        if (QStandardPaths::findExecutable(tool).isEmpty() && !QFile::exists(tool)) {
            missing << tool;
        }
    }
    return missing.isEmpty() ? QString() : "not installed: " + missing.join(", ");
}

std::unique_ptr<QProcess> HeadlessSession::launch(const QString& program,
                                                  const QStringList& arguments,
                                                  QProcess::ProcessChannelMode channels, bool quiet)
{
    auto process = std::make_unique<QProcess>();
    process->setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGKILL); });
    process->setProcessEnvironment(m_environment);
    process->setProcessChannelMode(channels);
    if (quiet) {
        process->setStandardErrorFile(QProcess::nullDevice());
    }
    process->start(program, arguments);
    return process;
}

QString HeadlessSession::run(const QString& program, const QStringList& arguments) const
{
    QProcess process;
    process.setProcessEnvironment(m_environment);
    process.start(program, arguments);
    if (!process.waitForFinished(5000)) {
        process.kill();
        process.waitForFinished();
    }
    return QString::fromUtf8(process.readAllStandardOutput());
}

bool HeadlessSession::start(int mousePercent, bool charging)
{
    if (!m_dir.isValid() || !m_system.start() || !m_session.start()) {
        return false;
    }
    // A Magic Mouse over Bluetooth as the real upowerd reports it, and the real logind.
    m_logind = std::make_unique<RealLogind>(m_system);
    m_upower = std::make_unique<UPowerTestbed>(m_system);
    const QString status = charging ? QStringLiteral("Charging") : QStringLiteral("Discharging");
    if (!m_logind->start() || !m_upower->start() ||
        !m_upower->add(Simulated::magicMouseOnBluetooth(mousePercent, status)) ||
        !m_upower->startUPower() || !m_upower->waitUntilSettled()) {
        return false;
    }
    m_environment = QProcessEnvironment::systemEnvironment();
    for (const QString& name : m_environment.keys()) {
        if (name.startsWith("XDG_") || name.startsWith("DBUS_") || name == "SESSION_MANAGER" ||
            name == "DESKTOP_AUTOSTART_ID" || name == "XAUTHORITY" || name == "WAYLAND_DISPLAY") {
            m_environment.remove(name);
        }
    }
    auto xvfb =
        launch("Xvfb", {"-displayfd", "1", "-nolisten", "tcp", "-screen", "0", "1280x800x24"},
               QProcess::SeparateChannels, true);
    const bool xvfbUp = waitFor([&] {
        xvfb->waitForReadyRead(50);
        return xvfb->canReadLine();
    });
    const QString display = ":" + QString::fromUtf8(xvfb->readLine()).trimmed();
    m_processes.push_back(std::move(xvfb));
    if (!xvfbUp || display == ":") {
        return false;
    }
    const QString dir = m_dir.path();
    for (const char* sub : {"home", "config/autostart", "data/applications",
                            "data/gnome-session/sessions", "xdg", "runtime", "record"}) {
        QDir(dir).mkpath(sub);
    }
    QFile(dir + "/runtime")
        .setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    m_system.addTo(m_environment);
    m_session.addTo(m_environment);
    m_environment.insert("DISPLAY", display);
    m_environment.insert("HOME", dir + "/home");
    m_environment.insert("XDG_CONFIG_HOME", dir + "/config");
    m_environment.insert("XDG_CONFIG_DIRS", dir + "/xdg");
    m_environment.insert("XDG_DATA_DIRS", dir + "/data:/usr/share");
    m_environment.insert("XDG_RUNTIME_DIR", dir + "/runtime");
    m_environment.insert("GSETTINGS_BACKEND", "memory");
    m_environment.insert("NO_AT_BRIDGE", "1");
    m_environment.insert("QT_QPA_PLATFORM", "xcb");

    m_agentCommand = QStringList{supportDir + "/session/agent.sh", dir + "/record",
                                 qEnvironmentVariable("NIGHTWICK_BINARY"), "--autostart"}
                         .join(' ')
                         .toUtf8();
    QFile autostart(dir + "/config/autostart/nightwick-test-agent.desktop");
    if (!autostart.open(QIODevice::WriteOnly) ||
        autostart.write("[Desktop Entry]\nType=Application\nName=Nightwick\nExec=" +
                        m_agentCommand + "\nX-GNOME-AutoRestart=false\n") < 0) {
        return false;
    }
    autostart.close();
    if (!startManager()) {
        return false;
    }
    const bool started = waitFor([this] { return (m_agentPid = record("agent.pid").toInt()) > 0; });
    if (!started || !waitFor([this] { return agentJoined(); })) {
        qWarning("HeadlessSession: the agent did not join the session manager; its log:\n%s",
                 m_managerLog.constData());
        return false;
    }
    return true;
}

bool HeadlessSession::startManager()
{
    const QString dir = m_dir.path();
    const QString sessionFiles = supportDir + "/session/";
    QString program;
    QStringList arguments;
    switch (m_manager) {
    case Manager::Gnome: {
        QFile::copy(sessionFiles + "nightwick-test.session",
                    dir + "/data/gnome-session/sessions/nightwick-test.session");
        QFile::copy(sessionFiles + "nightwick-test-terminal.desktop",
                    dir + "/data/applications/nightwick-test-terminal.desktop");
        program = "/usr/libexec/gnome-session-binary";
        arguments = {"--builtin", "--session=nightwick-test", "--disable-acceleration-check",
                     "--debug"};
        m_listener = std::make_unique<GnomeListener>([this](const QString& what) {
            m_events.push_back({what, nowMs()});
        });
        QDBusConnection bus = m_session.connection("headless-session gnome");
        for (const char* member : {"QueryEndSession", "EndSession", "CancelEndSession", "Stop"}) {
            bus.connect(QString(), QString(), gnome + ".ClientPrivate", member, m_listener.get(),
                        SLOT(signalled(QDBusMessage)));
        }
        break;
    }
    case Manager::Xfce: {
        const QString channels = dir + "/xdg/xfce4/xfconf/xfce-perchannel-xml";
        QDir().mkpath(channels);
        QFile::copy(sessionFiles + "xfce4-session.xml", channels + "/xfce4-session.xml");
        // Xfce's settings come from its own settings daemon on the session bus.
        m_processes.push_back(launch(xfconfd(), {}, QProcess::ForwardedOutputChannel, true));
        program = "xfce4-session";
        break;
    }
    case Manager::Xsm: {
        // xsm starts what its startup file names; the agent is its only client until the peer.
        QFile startup(dir + "/home/.xsmstartup");
        if (!startup.open(QIODevice::WriteOnly) || startup.write(m_agentCommand + "\n") < 0) {
            return false;
        }
        program = "stdbuf";
        arguments = {"-oL", "xsm", "-verbose"};
        break;
    }
    }
    auto manager = launch(program, arguments, QProcess::MergedChannels);
    QObject::connect(manager.get(), &QProcess::readyRead, manager.get(),
                     [this, process = manager.get()] { m_managerLog += process->readAll(); });
    m_managerProcess = manager.get();
    m_processes.push_back(std::move(manager));
    return m_managerProcess->waitForStarted(5000);
}

bool HeadlessSession::agentJoined()
{
    switch (m_manager) {
    case Manager::Gnome: // the agent is the session's one D-Bus client
        return m_managerLog.contains("exporting dbus client");
    case Manager::Xsm: // and xsm's one client until the peer
        return m_managerLog.contains("received SET PROPERTIES");
    case Manager::Xfce:
        break;
    }
    const QDBusConnection bus = m_session.connection("headless-session joined");
    const QDBusArgument clients = call(bus, xfce, xfcePath, "org.xfce.Session.Manager.ListClients")
                                      .arguments()
                                      .value(0)
                                      .value<QDBusArgument>();
    for (const QDBusObjectPath& client : qdbus_cast<QList<QDBusObjectPath>>(clients)) {
        const QDBusArgument properties =
            call(bus, xfce, client.path(), "org.xfce.Session.Client.GetSmProperties",
                 {QStringList{"Program"}})
                .arguments()
                .value(0)
                .value<QDBusArgument>();
        if (qdbus_cast<QVariantMap>(properties)
                .value("Program")
                .toString()
                .endsWith("/nightwick")) {
            return true;
        }
    }
    return false;
}

bool HeadlessSession::startPeer(bool cancels)
{
#ifdef NW_XSMP_PEER
    if (m_peer) {
        return false;
    }
    m_environment.insert("SESSION_MANAGER", QString::fromUtf8(record("session-manager")));
    auto peer = launch(NW_XSMP_PEER, cancels ? QStringList{"--cancel"} : QStringList{},
                       QProcess::ForwardedErrorChannel);
    m_environment.remove("SESSION_MANAGER");
    QObject::connect(peer.get(), &QProcess::readyReadStandardOutput, peer.get(), [this] {
        while (m_peer->canReadLine()) {
            const QString line = QString::fromUtf8(m_peer->readLine()).trimmed();
            const qsizetype space = line.indexOf(' ');
            m_events.push_back({line.mid(space + 1), line.left(space).toLongLong()});
        }
    });
    m_peer = peer.get();
    m_processes.push_back(std::move(peer));
    return waitFor([this] { return heard("^registered").has_value(); });
#else
    Q_UNUSED(cancels);
    return false;
#endif
}

bool HeadlessSession::logOut(LogOut kind)
{
    const bool calledOff = kind == LogOut::CalledOff;
    const QDBusConnection bus = m_session.connection("headless-session log-out");
    if (kind == LogOut::Uninteractive && m_manager != Manager::Xsm) {
        return false;
    }
    switch (m_manager) {
    case Manager::Gnome:
        if (calledOff) {
            m_processes.push_back(launch("gnome-session-inhibit",
                                         {"--inhibit", "logout", "--inhibit-only"},
                                         QProcess::ForwardedOutputChannel, true));
            // 1: log-out.
            if (!waitFor([&] {
                    return call(bus, gnome, gnomePath, gnome + ".IsInhibited", {1u})
                        .arguments()
                        .value(0)
                        .toBool();
                })) {
                return false;
            }
        }
        // 1: no confirmation asked.
        return bus.send(QDBusMessage::createMethodCall(gnome, gnomePath, gnome, "Logout") << 1u);
    case Manager::Xfce:
        // Without the dialog, saving the session as a log-out usually does.
        return startPeer(calledOff) &&
               bus.send(QDBusMessage::createMethodCall(xfce, xfcePath, "org.xfce.Session.Manager",
                                                       "Logout")
                        << false << true);
    case Manager::Xsm:
        return startPeer(calledOff) && driveXsm(true, kind != LogOut::Uninteractive);
    }
    return false;
}

bool HeadlessSession::checkpoint()
{
    switch (m_manager) {
    case Manager::Gnome:
        return false;
    case Manager::Xfce:
        return startPeer(false) && m_peer->write("checkpoint\n") > 0;
    case Manager::Xsm:
        return startPeer(false) && driveXsm(false);
    }
    return false;
}

// xsm takes orders only through its window, which sits in the top-left corner with no window
// manager around it: Checkpoint and Shutdown are its lower two buttons, and Shutdown opens a menu
// whose first entry saves the session first. Either way a dialog asks for the session's name.
bool HeadlessSession::driveXsm(bool shutdown, bool interactive)
{
    const auto unnamedViewableWindow = [this] {
        static const QRegularExpression unnamed(R"(^\s+(0x[0-9a-f]+) \(has no name\): \(\))",
                                                QRegularExpression::MultilineOption);
        for (auto it = unnamed.globalMatch(run("xwininfo", {"-root", "-children"}));
             it.hasNext();) {
            if (run("xwininfo", {"-id", it.next().captured(1)}).contains("IsViewable")) {
                return true;
            }
        }
        return false;
    };
    if (shutdown) {
        run("xdotool", {"mousemove", "120", "36", "mousedown", "1"});
        if (!waitFor(unnamedViewableWindow)) {
            return false;
        }
        run("xdotool", {"mousemove_relative", "0", "22", "mouseup", "1"});
    } else {
        run("xdotool", {"mousemove", "40", "36", "click", "1"});
    }
    QString dialog;
    if (!waitFor([&] {
            dialog =
                run("xdotool", {"search", "--onlyvisible", "--name", "^(Checkpoint|Shutdown)$"})
                    .section('\n', 0, 0);
            return !dialog.isEmpty();
        })) {
        return false;
    }
    const QRegularExpressionMatch position =
        QRegularExpression(R"(Position: (\d+),(\d+))")
            .match(run("xdotool", {"getwindowgeometry", dialog}));
    const int x = position.captured(1).toInt(), y = position.captured(2).toInt();
    if (!interactive) { // the interact style None, first of the second row of choices
        run("xdotool",
            {"mousemove", QString::number(x + 115), QString::number(y + 70), "click", "1"});
    }
    const QString nameX = QString::number(x + 150), nameY = QString::number(y + 12);
    run("xdotool", {"mousemove", nameX, nameY, "type", "test"});
    run("xdotool", {"mousemove", nameX, nameY, "key", "Return"});
    return position.hasMatch();
}

bool HeadlessSession::cardShown() const
{
    const QStringList windows =
        run("xdotool", {"search", "--onlyvisible", "--name", "^nightwick$"}).split('\n');
    static const QRegularExpression card(R"(Override Redirect State: yes|Width: 560\b)");
    for (const QString& window : windows) {
        if (!window.isEmpty() && run("xwininfo", {"-id", window}).count(card) == 2) {
            m_card = window;
            return true;
        }
    }
    return false;
}

void HeadlessSession::clickCard() const
{
    const QString height =
        QRegularExpression(R"(Height: (\d+))").match(run("xwininfo", {"-id", m_card})).captured(1);
    run("xdotool", {"mousemove", "--window", m_card, "280", QString::number(height.toInt() / 2),
                    "click", "1"});
}

bool HeadlessSession::agentRunning() const
{
    return isAlive(m_agentPid);
}

std::optional<int> HeadlessSession::agentExitStatus() const
{
    const QByteArray status = record("agent.status");
    return status.isEmpty() ? std::nullopt : std::optional(status.trimmed().toInt());
}

QByteArray HeadlessSession::record(const QString& name) const
{
    QFile file(m_dir.path() + "/record/" + name);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QByteArray HeadlessSession::savedSession() const
{
    const bool xsm = m_manager == Manager::Xsm;
    const QDir folder(m_dir.path() + (xsm ? "/home" : "/home/.cache/sessions"));
    QByteArray saved;
    for (const QString& name :
         folder.entryList({xsm ? ".XSM-test" : "xfce4-session-*"}, QDir::Files | QDir::Hidden)) {
        QFile file(folder.filePath(name));
        saved += file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }
    return saved;
}

int HeadlessSession::agentLocks() const
{
    const QDBusMessage reply =
        call(m_system.connection("headless-session locks"), "org.freedesktop.login1",
             "/org/freedesktop/login1", "org.freedesktop.login1.Manager.ListInhibitors");
    const QDBusArgument locks = reply.arguments().value(0).value<QDBusArgument>();
    int count = 0;
    locks.beginArray();
    while (reply.type() == QDBusMessage::ReplyMessage && !locks.atEnd()) {
        QString what, who, why, mode;
        uint user = 0, process = 0;
        locks.beginStructure();
        locks >> what >> who >> why >> mode >> user >> process;
        locks.endStructure();
        count += who == "Nightwick" && mode == "delay" ? 1 : 0;
    }
    return count;
}

std::optional<qint64> HeadlessSession::heard(const QString& pattern, qint64 since) const
{
    const QRegularExpression what(pattern);
    for (const Event& event : m_events) {
        if (event.ms >= since && what.match(event.what).hasMatch()) {
            return event.ms;
        }
    }
    return std::nullopt;
}

void HeadlessSession::endAll()
{
    // This session's processes: below the test (what lost its parent was handed to the test),
    // and carrying the session's folder in their environment.
    std::vector<pid_t> doomed;
    for (const pid_t pid : descendants(::getpid())) {
        QFile environment(QString("/proc/%1/environ").arg(pid));
        if (environment.open(QIODevice::ReadOnly) &&
            environment.readAll().contains(m_dir.path().toUtf8() + "/home")) {
            doomed.push_back(pid);
            ::kill(pid, SIGKILL);
        }
    }
    for (auto it = m_processes.rbegin(); it != m_processes.rend(); ++it) {
        (*it)->kill();
        (*it)->waitForFinished(2000);
    }
    for (const pid_t pid : doomed) {
        for (int tries = 0; tries < 200 && ::waitpid(pid, nullptr, WNOHANG) == 0; ++tries) {
            QThread::msleep(5);
        }
    }
}

qint64 HeadlessSession::nowMs()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

#include "HeadlessSession.moc"
