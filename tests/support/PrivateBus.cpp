#include "PrivateBus.h"

#include <QDBusConnectionInterface>
#include <QDeadlineTimer>
#include <QJsonDocument>
#include <QProcess>
#include <QThread>
#include <QStandardPaths>

#include <csignal>
#include <sys/prctl.h>

namespace {

const QString python = QStringLiteral("/usr/bin/python3");
constexpr int startupBudgetMs = 5000;

// A crashed or killed test must not leave daemons behind: children die with the test.
void dieWithParent(QProcess& process) {
    process.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGKILL); });
}

void endProcess(QProcess& process) {
    if (process.state() == QProcess::NotRunning)
        return;
    process.terminate();
    if (!process.waitForFinished(2000)) {
        process.kill();
        process.waitForFinished(2000);
    }
}

QString templateBusName(const QString& templateName) {
    QProcess lookup;
    lookup.start(python, {QStringLiteral("-c"),
                          QStringLiteral("import importlib, sys; "
                                         "print(importlib.import_module('dbusmock.templates.' + "
                                         "sys.argv[1]).BUS_NAME)"),
                          templateName});
    if (!lookup.waitForFinished(startupBudgetMs) || lookup.exitCode() != 0)
        return {};
    return QString::fromUtf8(lookup.readAllStandardOutput()).trimmed();
}

} // namespace

PrivateBus::PrivateBus(Kind kind)
    : m_kind(kind) {
}

PrivateBus::~PrivateBus() {
    for (const QString& name : std::as_const(m_connectionNames))
        QDBusConnection::disconnectFromBus(name);
    for (auto& [name, mock] : m_mocks)
        endProcess(*mock);
    if (m_daemon)
        endProcess(*m_daemon);
}

bool PrivateBus::start() {
    const QString config = QStringLiteral(NW_TEST_SUPPORT_DIR "/private-bus.conf");
    m_daemon = std::make_unique<QProcess>();
    dieWithParent(*m_daemon);
    m_daemon->setProcessChannelMode(QProcess::ForwardedErrorChannel);
    m_daemon->start(QStringLiteral("dbus-daemon"),
                    {QStringLiteral("--config-file=") + config, QStringLiteral("--nofork"),
                     QStringLiteral("--print-address=1")});
    if (!m_daemon->waitForStarted(startupBudgetMs)) {
        qWarning("PrivateBus: dbus-daemon cannot be started: %s",
                 qPrintable(m_daemon->errorString()));
        return false;
    }
    QDeadlineTimer deadline(startupBudgetMs);
    while (!m_daemon->canReadLine() && !deadline.hasExpired() &&
           m_daemon->state() == QProcess::Running)
        m_daemon->waitForReadyRead(static_cast<int>(deadline.remainingTime()));
    m_address = QString::fromUtf8(m_daemon->readLine()).trimmed();
    if (m_address.isEmpty()) {
        qWarning("PrivateBus: dbus-daemon printed no address (config %s)", qPrintable(config));
        endProcess(*m_daemon);
        return false;
    }
    return true;
}

QDBusConnection PrivateBus::connection(const QString& connectionName) const {
    if (!m_connectionNames.contains(connectionName))
        m_connectionNames.append(connectionName);
    return QDBusConnection::connectToBus(m_address, connectionName);
}

bool PrivateBus::startTemplate(const QString& templateName, const QVariantMap& parameters) {
    const QString busName = templateBusName(templateName);
    if (busName.isEmpty()) {
        qWarning("PrivateBus: no dbusmock template %s", qPrintable(templateName));
        return false;
    }
    QStringList arguments{QStringLiteral("--template"), templateName};
    if (!parameters.isEmpty())
        arguments << QStringLiteral("--parameters")
                  << QString::fromUtf8(
                         QJsonDocument::fromVariant(parameters).toJson(QJsonDocument::Compact));
    return startDbusmock(busName, arguments);
}

bool PrivateBus::startMock(const QString& busName, const QString& objectPath,
                           const QString& interface) {
    return startDbusmock(busName, {busName, objectPath, interface});
}

bool PrivateBus::startDbusmock(const QString& busName, const QStringList& arguments) {
    auto mock = std::make_unique<QProcess>();
    dieWithParent(*mock);
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    addTo(environment);
    mock->setProcessEnvironment(environment);
    // dbusmock logs every call on stdout; only its errors are worth seeing.
    mock->setStandardOutputFile(QProcess::nullDevice());
    mock->setProcessChannelMode(QProcess::ForwardedErrorChannel);
    const QString busFlag =
        m_kind == Kind::System ? QStringLiteral("--system") : QStringLiteral("--session");
    mock->start(python,
                QStringList{QStringLiteral("-m"), QStringLiteral("dbusmock"), busFlag} + arguments);
    if (!mock->waitForStarted(startupBudgetMs) || !waitForName(busName, *mock)) {
        qWarning("PrivateBus: dbusmock %s did not come up as %s",
                 qPrintable(arguments.join(QLatin1Char(' '))), qPrintable(busName));
        endProcess(*mock);
        return false;
    }
    m_mocks.emplace_back(busName, std::move(mock));
    return true;
}

void PrivateBus::stopMock(const QString& busName) {
    const QDBusConnection bus = connection(QStringLiteral("nw-private-bus-watch ") + m_address);
    for (auto it = m_mocks.begin(); it != m_mocks.end(); ++it) {
        if (it->first != busName)
            continue;
        endProcess(*it->second);
        m_mocks.erase(it);
        QDeadlineTimer deadline(startupBudgetMs);
        while (bus.interface()->isServiceRegistered(busName) && !deadline.hasExpired())
            QThread::msleep(10);
        return;
    }
}

bool PrivateBus::waitForName(const QString& busName, QProcess& owner) const {
    const QDBusConnection bus = connection(QStringLiteral("nw-private-bus-watch ") + m_address);
    if (!bus.isConnected())
        return false;
    QDeadlineTimer deadline(startupBudgetMs);
    while (!deadline.hasExpired()) {
        if (bus.interface()->isServiceRegistered(busName))
            return true;
        // Also notices a mock that died on start-up, instead of waiting the whole budget.
        if (owner.waitForFinished(20) || owner.state() == QProcess::NotRunning)
            return false;
    }
    return false;
}

void PrivateBus::addTo(QProcessEnvironment& environment) const {
    environment.insert(addressVariable(), m_address);
}

QString PrivateBus::addressVariable() const {
    return m_kind == Kind::System ? QStringLiteral("DBUS_SYSTEM_BUS_ADDRESS")
                                  : QStringLiteral("DBUS_SESSION_BUS_ADDRESS");
}

QString PrivateBus::missingTools() {
    if (QStandardPaths::findExecutable(QStringLiteral("dbus-daemon")).isEmpty())
        return QStringLiteral("dbus-daemon is not installed (Debian package dbus-daemon)");
    QProcess probe;
    probe.start(python, {QStringLiteral("-c"), QStringLiteral("import dbusmock")});
    if (!probe.waitForFinished(startupBudgetMs) || probe.exitStatus() != QProcess::NormalExit ||
        probe.exitCode() != 0)
        return QStringLiteral("python3-dbusmock is not importable by %1").arg(python);
    return {};
}
