#include "HeadlessSession.h"

#include "Eventually.h"
#include "ProcessTree.h"

#include <QDBusArgument>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDir>
#include <QFile>
#include <QStandardPaths>

#include <csignal>
#include <map>

namespace {

const QString supportDir = QStringLiteral(NW_TEST_SUPPORT_DIR);
const QString gnome = "org.gnome.SessionManager", gnomePath = "/org/gnome/SessionManager";
const QString xfce = "org.xfce.SessionManager", xfcePath = "/org/xfce/SessionManager";

QDBusMessage call(const QDBusConnection& bus, const QString& service, const QString& path,
                  const QString& method, const QVariantList& arguments = {})
{
    const qsizetype dot = method.lastIndexOf('.');
    QDBusMessage message =
        QDBusMessage::createMethodCall(service, path, method.left(dot), method.mid(dot + 1));
    message.setArguments(arguments);
    return bus.call(message, QDBus::Block, 2000);
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

} // namespace

HeadlessSession::HeadlessSession(Manager manager)
    : m_manager(manager)
{
    adoptOrphans();
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
    auto process = childProcess();
    process->setProcessEnvironment(m_environment);
    process->setProcessChannelMode(channels);
    if (quiet) {
        process->setStandardErrorFile(QProcess::nullDevice());
    }
    process->start(program, arguments);
    return process;
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
    const bool xvfbUp = eventually([&] {
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
    const bool started =
        eventually([this] { return (m_agentPid = record("agent.pid").toInt()) > 0; });
    if (!started || !eventually([this] { return agentJoined(); })) {
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
        m_transcript.listenToGnome(m_session.connection("headless-session gnome"));
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
    m_transcript.follow(*peer);
    m_peer = peer.get();
    m_processes.push_back(std::move(peer));
    return eventually([this] { return m_transcript.heard("^registered").has_value(); });
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
            if (!eventually([&] {
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
        return startPeer(calledOff) && m_windows.driveXsm(true, kind != LogOut::Uninteractive);
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
        return startPeer(false) && m_windows.driveXsm(false);
    }
    return false;
}

bool HeadlessSession::cardShown() const
{
    return m_windows.cardShown();
}

void HeadlessSession::clickCard() const
{
    m_windows.clickCard();
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
    return m_logind ? m_logind->agentLocks(m_agentPid) : 0;
}

void HeadlessSession::endAll()
{
    // This session's processes carry its folder in their environment.
    const std::vector<pid_t> doomed = killDescendantsWith(m_dir.path().toUtf8() + "/home");
    for (auto it = m_processes.rbegin(); it != m_processes.rend(); ++it) {
        (*it)->kill();
        (*it)->waitForFinished(2000);
    }
    reap(doomed);
}
