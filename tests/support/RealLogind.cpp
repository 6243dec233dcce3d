#include "RealLogind.h"

#include "PrivateBus.h"
#include "ProcessTree.h"

#include <QDBusArgument>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusReply>
#include <QDeadlineTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <QThread>

#include <csignal>
#include <linux/capability.h>
#include <unistd.h>

namespace {

const QString logindProgram = QStringLiteral("/lib/systemd/systemd-logind");
const QString python = QStringLiteral("/usr/bin/python3");
const QString login1 = QStringLiteral("org.freedesktop.login1");
const QString systemd1 = QStringLiteral("org.freedesktop.systemd1");
constexpr int budgetMs = 5000;

std::unique_ptr<QProcess> quietChild()
{
    auto process = childProcess();
    process->setStandardInputFile(QProcess::nullDevice());
    return process;
}

QByteArray procFile(qint64 pid, const char* name)
{
    QFile file(QStringLiteral("/proc/%1/%2").arg(pid).arg(QLatin1String(name)));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QString namespaceOf(qint64 pid, const char* kind)
{
    return QFileInfo(QStringLiteral("/proc/%1/ns/%2").arg(pid).arg(QLatin1String(kind)))
        .symLinkTarget();
}

qint64 parentOf(qint64 pid)
{
    // The command name in brackets may hold spaces; the parent is the second field after it.
    const QByteArray stat = procFile(pid, "stat");
    return stat.mid(stat.lastIndexOf(')') + 2).split(' ').value(1).toLongLong();
}

// A capability set from /proc/<pid>/status ("CapEff", "CapBnd"), or all bits when unreadable.
quint64 capabilities(qint64 pid, const QByteArray& set)
{
    for (const QByteArray& line : procFile(pid, "status").split('\n')) {
        if (line.startsWith(set + ':')) {
            return line.mid(set.size() + 1).trimmed().toULongLong(nullptr, 16);
        }
    }
    return ~quint64(0);
}

// The per-mount options and the file system type of what is mounted last at a mount point, as
// a process sees it.
std::pair<QByteArrayList, QByteArray> mountAt(qint64 pid, const QByteArray& point)
{
    std::pair<QByteArrayList, QByteArray> found;
    for (const QByteArray& line : procFile(pid, "mountinfo").split('\n')) {
        const QByteArrayList fields = line.split(' ');
        const qsizetype separator = fields.indexOf("-");
        if (fields.value(4) == point && separator > 0) {
            found = {fields.value(5).split(','), fields.value(separator + 1)};
        }
    }
    return found;
}

bool succeeds(const QString& program, const QStringList& arguments)
{
    QProcess process;
    process.start(program, arguments);
    return process.waitForFinished(budgetMs) && process.exitStatus() == QProcess::NormalExit &&
           process.exitCode() == 0;
}

void end(QProcess& process)
{
    process.kill();
    process.waitForFinished(2000);
}

} // namespace

RealLogind::RealLogind(const PrivateBus& systemBus, int inhibitDelayMaxSeconds)
    : m_address(systemBus.address())
    , m_inhibitDelayMaxSeconds(inhibitDelayMaxSeconds)
    , m_bus(systemBus.connection("nw-real-logind " + systemBus.address()))
{
}

RealLogind::~RealLogind()
{
    stop();
    if (m_standIn) {
        end(*m_standIn);
    }
}

void RealLogind::stop()
{
    if (m_namespace && m_namespace->state() != QProcess::NotRunning) {
        // Ending the namespace's first process ends every process in it; unshare then returns.
        const QString children = QString::fromLatin1(
            procFile(m_namespace->processId(),
                     qPrintable(QStringLiteral("task/%1/children").arg(m_namespace->processId()))));
        for (const QString& child : children.split(' ', Qt::SkipEmptyParts)) {
            if (const qint64 pid = child.toLongLong(); pid > 0) {
                ::kill(static_cast<pid_t>(pid), SIGKILL);
            }
        }
        if (!m_namespace->waitForFinished(2000)) {
            end(*m_namespace);
        }
        // The bus lets the name go once it has seen the connection close.
        const QDeadlineTimer deadline(budgetMs);
        while (ownerPid(login1) > 0 && !deadline.hasExpired()) {
            QThread::msleep(5);
        }
    }
    m_namespace.reset();
}

QString RealLogind::missingTools()
{
    if (::geteuid() != 0) {
        return QStringLiteral("the real logind needs root, to mount in a namespace of its own");
    }
    if (!QFileInfo(logindProgram).isExecutable()) {
        return logindProgram + QStringLiteral(" is not installed (Debian package systemd)");
    }
    for (const char* tool : {"unshare", "setpriv"}) {
        if (QStandardPaths::findExecutable(QLatin1String(tool)).isEmpty()) {
            return QStringLiteral("%1 is not installed (Debian package util-linux)").arg(tool);
        }
    }
    if (!succeeds("unshare", {"--pid", "--fork", "--mount", "true"})) {
        return QStringLiteral("this machine allows no new PID and mount namespaces");
    }
    if (!succeeds(python,
                  {"-c", "import dbus, dbus.mainloop.glib; from gi.repository import GLib"})) {
        return QStringLiteral("the systemd stand-in needs python3-dbus and python3-gi");
    }
    return {};
}

bool RealLogind::start()
{
    const auto cameUp = [this](const QString& busName, QProcess& owner) {
        const QDeadlineTimer deadline(budgetMs);
        while (!deadline.hasExpired()) {
            if (ownerPid(busName) > 0) {
                return true;
            }
            if (owner.waitForFinished(10) || owner.state() == QProcess::NotRunning) {
                break;
            }
        }
        qWarning("RealLogind: %s did not come up; logind said:\n%s", qPrintable(busName),
                 qPrintable(log()));
        return false;
    };
    if (m_address.isEmpty() || !m_logFolder.isValid()) {
        return false;
    }
    if (!m_standIn) {
        m_standIn = quietChild();
        m_standIn->setProcessChannelMode(QProcess::ForwardedErrorChannel);
        m_standIn->start(python, {NW_TEST_SUPPORT_DIR "/systemd1-standin.py", m_address});
        if (!cameUp(systemd1, *m_standIn)) {
            return false;
        }
    }
    // A bare environment: the bus address is the only way out, and nothing points at a
    // notification socket or another bus.
    QProcessEnvironment environment;
    environment.insert("PATH", "/usr/sbin:/usr/bin:/sbin:/bin");
    environment.insert("DBUS_SYSTEM_BUS_ADDRESS", m_address);
    environment.insert("SYSTEMD_LOG_TARGET", "console");
    environment.insert("SYSTEMD_LOG_LEVEL", qEnvironmentVariable("SYSTEMD_LOG_LEVEL", "info"));
    m_namespace = quietChild();
    m_namespace->setProcessEnvironment(environment);
    m_namespace->setStandardOutputFile(QProcess::nullDevice());
    m_namespace->setStandardErrorFile(m_logFolder.filePath("logind.log"));
    m_namespace->start("unshare",
                       {"--pid", "--mount", "--propagation", "private", "--fork", "--kill-child",
                        "--", "setpriv", "--bounding-set", "-sys_boot", "--inh-caps", "-sys_boot",
                        "--", "/bin/sh", NW_TEST_SUPPORT_DIR "/logind-namespace.sh",
                        QString::number(m_inhibitDelayMaxSeconds)});
    return cameUp(login1, *m_namespace);
}

QString RealLogind::safetyProblem() const
{
    const auto running = [](const std::unique_ptr<QProcess>& process) {
        return process && process->state() == QProcess::Running && process->processId() > 0;
    };
    const qint64 logind = ownerPid(login1);
    if (logind <= 0 || !running(m_namespace) || !running(m_standIn)) {
        return QStringLiteral("logind or the systemd stand-in is not running");
    }
    if (parentOf(parentOf(logind)) != m_namespace->processId() ||
        !QFileInfo(QStringLiteral("/proc/%1/exe").arg(logind))
             .symLinkTarget()
             .endsWith("/systemd/systemd-logind")) {
        return QStringLiteral("login1 is owned by a process this test did not start");
    }
    const qint64 self = ::getpid();
    if (namespaceOf(logind, "pid").isEmpty() ||
        namespaceOf(logind, "pid") == namespaceOf(self, "pid") ||
        namespaceOf(logind, "mnt").isEmpty() ||
        namespaceOf(logind, "mnt") == namespaceOf(self, "mnt")) {
        return QStringLiteral("logind shares the test's PID or mount namespace");
    }
    const quint64 sysBoot = quint64(1) << CAP_SYS_BOOT;
    if ((capabilities(logind, "CapEff") | capabilities(logind, "CapBnd")) & sysBoot) {
        return QStringLiteral("logind holds CAP_SYS_BOOT");
    }
    for (const QByteArray& point : {QByteArray("/"), QByteArray("/sys"), QByteArray("/proc")}) {
        if (!mountAt(logind, point).first.contains("ro")) {
            return QStringLiteral("logind may write to %1").arg(QLatin1String(point));
        }
    }
    if (mountAt(logind, "/run").second != "tmpfs" || mountAt(logind, "/dev").second != "tmpfs") {
        return QStringLiteral("logind sees the machine's /run or /dev");
    }
    if (!procFile(logind, "environ")
             .split('\0')
             .contains("DBUS_SYSTEM_BUS_ADDRESS=" + m_address.toUtf8())) {
        return QStringLiteral("logind may use another system bus");
    }
    if (const qint64 owner = ownerPid(systemd1); owner <= 0 || owner != m_standIn->processId()) {
        return QStringLiteral("org.freedesktop.systemd1 is not the stand-in");
    }
    return {};
}

bool RealLogind::powerOff()
{
    if (const QString problem = safetyProblem(); !problem.isEmpty()) {
        qWarning("RealLogind: no power-off: %s", qPrintable(problem));
        return false;
    }
    QDBusMessage call = QDBusMessage::createMethodCall(
        login1, "/org/freedesktop/login1", "org.freedesktop.login1.Manager", "PowerOff");
    call << false; // not interactive: there is no polkit agent
    const QDBusMessage reply = m_bus.call(call, QDBus::BlockWithGui, budgetMs);
    if (reply.type() != QDBusMessage::ReplyMessage) {
        qWarning("RealLogind: PowerOff failed: %s", qPrintable(reply.errorMessage()));
    }
    return reply.type() == QDBusMessage::ReplyMessage;
}

bool RealLogind::finishJobs(const QString& result)
{
    QDBusMessage call = QDBusMessage::createMethodCall(systemd1, "/org/freedesktop/systemd1",
                                                       "org.nightwick.Recorder", "FinishJobs");
    call << result;
    return m_bus.call(call, QDBus::Block, budgetMs).type() == QDBusMessage::ReplyMessage;
}

bool RealLogind::clearCalls()
{
    return m_bus
               .call(QDBusMessage::createMethodCall(systemd1, "/org/freedesktop/systemd1",
                                                    "org.nightwick.Recorder", "Clear"),
                     QDBus::Block, budgetMs)
               .type() == QDBusMessage::ReplyMessage;
}

QList<RealLogind::Call> RealLogind::calls(const QString& member) const
{
    const QDBusMessage reply =
        m_bus.call(QDBusMessage::createMethodCall(systemd1, "/org/freedesktop/systemd1",
                                                  "org.nightwick.Recorder", "Calls"),
                   QDBus::Block, budgetMs);
    QList<Call> found;
    const auto record = reply.arguments().value(0).value<QDBusArgument>();
    record.beginArray();
    while (reply.type() == QDBusMessage::ReplyMessage && !record.atEnd()) {
        Call call;
        record.beginStructure();
        record >> call.atMs >> call.member >> call.arguments;
        record.endStructure();
        if (call.member == member) {
            found << call;
        }
    }
    return found;
}

int RealLogind::agentLocks(qint64 pid) const
{
    const QDBusMessage reply =
        m_bus.call(QDBusMessage::createMethodCall(login1, "/org/freedesktop/login1",
                                                  login1 + ".Manager", "ListInhibitors"),
                   QDBus::Block, budgetMs);
    const auto locks = reply.arguments().value(0).value<QDBusArgument>();
    int count = 0;
    locks.beginArray();
    while (reply.type() == QDBusMessage::ReplyMessage && !locks.atEnd()) {
        QString what, who, why, mode;
        uint user = 0, process = 0;
        locks.beginStructure();
        locks >> what >> who >> why >> mode >> user >> process;
        locks.endStructure();
        count += what == "shutdown" && who == "Nightwick" &&
                 why == "Waits for shutdown to show the reminder" && mode == "delay" &&
                 (pid == 0 || process == pid);
    }
    return count;
}

QString RealLogind::log() const
{
    QFile file(m_logFolder.filePath("logind.log"));
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}

qint64 RealLogind::ownerPid(const QString& busName) const
{
    const QDBusReply<uint> pid = m_bus.interface()->servicePid(busName);
    return pid.isValid() ? pid.value() : 0;
}
