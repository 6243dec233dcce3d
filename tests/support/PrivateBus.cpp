#include "PrivateBus.h"

#include "ProcessTree.h"

#include <QDBusConnectionInterface>
#include <QDeadlineTimer>
#include <QJsonDocument>
#include <QProcess>
#include <QStandardPaths>
#include <QThread>

#include <csignal>

namespace {

const QString python = QStringLiteral("/usr/bin/python3");
constexpr int budgetMs = 5000;

void endProcess(QProcess& process)
{
    process.kill();
    process.waitForFinished(2000);
}

// What a short python3 program printed, or nothing when it failed.
std::optional<QString> runPython(const QString& code, const QStringList& arguments = {})
{
    QProcess process;
    process.start(python, QStringList{"-c", code} + arguments);
    if (!process.waitForFinished(budgetMs) || process.exitStatus() != QProcess::NormalExit ||
        process.exitCode() != 0)
        return std::nullopt;
    return QString::fromUtf8(process.readAllStandardOutput()).trimmed();
}

} // namespace

bool waitForBusName(const QDBusConnection& bus, const QString& busName, bool owned, QProcess* owner)
{
    QDeadlineTimer deadline(budgetMs);
    while (bus.isConnected() && !deadline.hasExpired()) {
        if (bus.interface()->isServiceRegistered(busName) == owned)
            return true;
        if (!owner)
            QThread::msleep(10);
        else if (owner->waitForFinished(20) || owner->state() == QProcess::NotRunning)
            return false;
    }
    return false;
}

PrivateBus::~PrivateBus()
{
    for (const QString& name : std::as_const(m_connectionNames))
        QDBusConnection::disconnectFromBus(name);
    for (auto& [name, mock] : m_mocks)
        endProcess(*mock);
    if (m_daemon)
        endProcess(*m_daemon);
}

bool PrivateBus::start()
{
    const QString config = QStringLiteral(NW_TEST_SUPPORT_DIR "/private-bus.conf");
    m_daemon = childProcess();
    m_daemon->setProcessChannelMode(QProcess::ForwardedErrorChannel);
    m_daemon->start("dbus-daemon", {"--config-file=" + config, "--nofork", "--print-address=1"});
    const QDeadlineTimer deadline(budgetMs); // the daemon prints its address once it listens
    while (!m_daemon->canReadLine() &&
           m_daemon->waitForReadyRead(static_cast<int>(deadline.remainingTime()))) {
    }
    m_address = QString::fromUtf8(m_daemon->readLine()).trimmed();
    if (m_address.isEmpty()) {
        qWarning("PrivateBus: dbus-daemon (config %s) gave no address: %s", qPrintable(config),
                 qPrintable(m_daemon->errorString()));
        endProcess(*m_daemon);
    }
    return !m_address.isEmpty();
}

void PrivateBus::stop()
{
    if (m_daemon)
        endProcess(*m_daemon);
}

QDBusConnection PrivateBus::connection(const QString& connectionName) const
{
    if (!m_connectionNames.contains(connectionName))
        m_connectionNames.append(connectionName);
    return QDBusConnection::connectToBus(m_address, connectionName);
}

bool PrivateBus::startTemplate(const QString& templateName, const QVariantMap& parameters)
{
    const QString busName = runPython("import importlib, sys; print(importlib.import_module("
                                      "'dbusmock.templates.' + sys.argv[1]).BUS_NAME)",
                                      {templateName})
                                .value_or(QString());
    QStringList arguments{"--template", templateName};
    if (!parameters.isEmpty())
        arguments << "--parameters"
                  << QString::fromUtf8(
                         QJsonDocument::fromVariant(parameters).toJson(QJsonDocument::Compact));
    return startDbusmock(busName, arguments);
}

bool PrivateBus::startDbusmock(const QString& busName, const QStringList& arguments)
{
    auto mock = childProcess();
    mock->setProcessChannelMode(QProcess::ForwardedErrorChannel);
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    addTo(environment);
    mock->setProcessEnvironment(environment);
    mock->setStandardOutputFile(QProcess::nullDevice()); // dbusmock logs every call there
    const QString busFlag = m_kind == Kind::System ? "--system" : "--session";
    mock->start(python, QStringList{"-m", "dbusmock", busFlag} + arguments);
    const QDBusConnection bus = connection("nw-private-bus-watch " + m_address);
    if (busName.isEmpty() || !waitForBusName(bus, busName, true, mock.get())) {
        qWarning("PrivateBus: dbusmock %s did not come up as %s", qPrintable(arguments.join(' ')),
                 qPrintable(busName));
        endProcess(*mock);
        return false;
    }
    m_mocks.emplace_back(busName, std::move(mock));
    return true;
}

void PrivateBus::stopMock(const QString& busName)
{
    for (auto it = m_mocks.begin(); it != m_mocks.end(); ++it) {
        if (it->first == busName) {
            endProcess(*it->second);
            m_mocks.erase(it);
            waitForBusName(connection("nw-private-bus-watch " + m_address), busName, false);
            return;
        }
    }
}

QString PrivateBus::missingTools()
{
    if (QStandardPaths::findExecutable("dbus-daemon").isEmpty())
        return QStringLiteral("dbus-daemon is not installed (Debian package dbus-daemon)");
    if (!runPython("import dbusmock"))
        return QStringLiteral("python3-dbusmock is not importable by %1").arg(python);
    return {};
}
