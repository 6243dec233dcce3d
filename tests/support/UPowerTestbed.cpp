#include "UPowerTestbed.h"

#include "ProcessTree.h"

#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusReply>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QProcess>
#include <QStandardPaths>
#include <QThread>

#include <algorithm>
#include <csignal>
#include <optional>

namespace {

const QString python = QStringLiteral("/usr/bin/python3");
const QString upowerd = QStringLiteral("/usr/libexec/upowerd");
const QString preload = QStringLiteral("libumockdev-preload.so.0");
const QString upowerName = QStringLiteral("org.freedesktop.UPower");
constexpr int budgetMs = 5000;
// UPower's type for a battery it could not place; a device with an input beside it leaves it.
constexpr uint typeBattery = 2;

void signalProcess(const QProcess& process, int signal)
{
    if (process.processId() > 0)
        ::kill(static_cast<pid_t>(process.processId()), signal);
}

void endProcess(QProcess& process)
{
    signalProcess(process, SIGCONT); // a stopped process would not end on SIGTERM
    process.terminate();
    if (!process.waitForFinished(2000)) {
        process.kill();
        process.waitForFinished(2000);
    }
}

std::optional<QString> readLine(QProcess& process)
{
    const QDeadlineTimer deadline(budgetMs);
    while (!process.canReadLine() && process.waitForReadyRead(static_cast<int>(
                                         std::max<qint64>(deadline.remainingTime(), 1)))) {
    }
    if (!process.canReadLine())
        return std::nullopt;
    return QString::fromUtf8(process.readLine()).trimmed();
}

} // namespace

UPowerTestbed::UPowerTestbed()
    : m_ownBus(std::make_unique<PrivateBus>(PrivateBus::Kind::System))
    , m_bus(*m_ownBus)
{
}

UPowerTestbed::UPowerTestbed(PrivateBus& bus)
    : m_bus(bus)
{
}

UPowerTestbed::~UPowerTestbed()
{
    stopUPower();
    if (m_sysfs) {
        m_sysfs->closeWriteChannel(); // the helper removes the testbed and ends
        if (!m_sysfs->waitForFinished(2000))
            endProcess(*m_sysfs);
    }
}

QString UPowerTestbed::missingTools()
{
    if (QStandardPaths::findExecutable("dbus-daemon").isEmpty())
        return QStringLiteral("dbus-daemon is not installed (Debian package dbus-daemon)");
    if (!QFileInfo(upowerd).isExecutable())
        return upowerd + " is not installed (Debian package upower)";
    QProcess check;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("LD_PRELOAD", preload);
    check.setProcessEnvironment(environment);
    check.start(python, {"-c", "import gi, sys\n"
                               "gi.require_version('UMockdev', '1.0')\n"
                               "from gi.repository import UMockdev\n"
                               "sys.exit(0 if 'umockdev-preload' in open('/proc/self/maps').read()"
                               " else 3)"});
    if (!check.waitForFinished(budgetMs) || check.exitStatus() != QProcess::NormalExit)
        return python + " did not run";
    if (check.exitCode() == 3)
        return preload + " is not installed (Debian package umockdev)";
    if (check.exitCode() != 0)
        return "umockdev's GObject bindings are not importable by " + python +
               " (Debian packages gir1.2-umockdev-1.0 and python3-gi)";
    return {};
}

bool UPowerTestbed::start()
{
    if (!m_scratch.isValid() || (m_ownBus && !m_bus.start()))
        return false;
    m_sysfs = childProcess();
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("LD_PRELOAD", preload);
    environment.insert("TMPDIR", m_scratch.path()); // the testbed goes with the scratch folder
    m_sysfs->setProcessEnvironment(environment);
    m_sysfs->setProcessChannelMode(QProcess::ForwardedErrorChannel);
    m_sysfs->start(python, {QStringLiteral(NW_TEST_SUPPORT_DIR "/umockdev-testbed.py")});
    m_root = readLine(*m_sysfs).value_or(QString());
    if (!QFileInfo(m_root).isDir()) {
        qWarning("UPowerTestbed: the umockdev helper gave no testbed: %s",
                 qPrintable(m_sysfs->errorString()));
        return false;
    }
    return true;
}

bool UPowerTestbed::send(const QStringList& command)
{
    m_sysfs->write(
        QJsonDocument(QJsonArray::fromStringList(command)).toJson(QJsonDocument::Compact) + '\n');
    const QString answer = readLine(*m_sysfs).value_or("no answer");
    if (answer != QLatin1String("ok"))
        qWarning("UPowerTestbed: %s %s: %s", qPrintable(command.value(0)),
                 qPrintable(command.value(1).section('\n', 0, 0)), qPrintable(answer));
    return answer == QLatin1String("ok");
}

bool UPowerTestbed::add(const SimulatedDevice& device)
{
    for (const QString& record : device.records) {
        const QString path = record.section('\n', 0, 0).mid(3); // after "P: "
        if (m_paths.contains(path))
            continue; // a parent shared with a device added before
        if (!send({"add", record}))
            return false;
        m_paths.insert(path);
        if (m_upowerd && !send({"uevent", "/sys" + path, "add"}))
            return false;
    }
    m_devices.append(device);
    return true;
}

bool UPowerTestbed::add(const SimulatedDevices& devices)
{
    return std::all_of(devices.begin(), devices.end(),
                       [this](const SimulatedDevice& device) { return add(device); });
}

bool UPowerTestbed::change(const SimulatedDevice& device,
                           const QList<std::pair<QString, QString>>& attributes)
{
    for (const auto& [name, value] : attributes) {
        if (!send({"set", device.battery, name, value}))
            return false;
    }
    return send({"uevent", device.battery, "change"});
}

bool UPowerTestbed::startUPower()
{
    QFile config(m_scratch.filePath("UPower.conf")); // empty: upowerd's defaults
    if (!config.open(QIODevice::WriteOnly) || !QDir(m_scratch.path()).mkpath("history"))
        return false;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.remove("DBUS_SESSION_BUS_ADDRESS");
    m_bus.addTo(environment);
    environment.insert("LD_PRELOAD", preload);
    environment.insert("UMOCKDEV_DIR", m_root);
    environment.insert("UPOWER_CONF_FILE_NAME", config.fileName());
    environment.insert("UPOWER_HISTORY_DIR", m_scratch.filePath("history"));
    m_upowerd = childProcess();
    m_upowerd->setProcessEnvironment(environment);
    m_upowerd->setProcessChannelMode(QProcess::MergedChannels);
    m_upowerd->setStandardOutputFile(m_scratch.filePath("upowerd.log"));
    m_upowerd->start(upowerd, {"--verbose"});
    if (!waitForBusName(connection("nw-upower-testbed"), upowerName, true, m_upowerd.get())) {
        qWarning("UPowerTestbed: upowerd did not come up (%s); its log ends:\n%s",
                 qPrintable(m_upowerd->errorString()), qPrintable(upowerdLogTail()));
        return false;
    }
    return true;
}

bool UPowerTestbed::settled()
{
    const QDBusConnection bus = connection("nw-upower-testbed");
    const QDBusReply<QList<QDBusObjectPath>> devices =
        bus.call(QDBusMessage::createMethodCall(upowerName, "/org/freedesktop/UPower", upowerName,
                                                "EnumerateDevices"),
                 QDBus::Block, 500);
    if (!devices.isValid())
        return false;
    QMap<QString, uint> typeByName;
    for (const QDBusObjectPath& device : devices.value()) {
        QDBusMessage getAll = QDBusMessage::createMethodCall(
            upowerName, device.path(), "org.freedesktop.DBus.Properties", "GetAll");
        getAll << "org.freedesktop.UPower.Device";
        const QDBusReply<QVariantMap> properties = bus.call(getAll, QDBus::Block, 500);
        if (!properties.isValid())
            return false;
        typeByName.insert(properties.value().value("NativePath").toString(),
                          properties.value().value("Type").toUInt());
    }
    return std::all_of(m_devices.begin(), m_devices.end(), [&](const SimulatedDevice& device) {
        const auto type = typeByName.constFind(device.supplyName());
        return type != typeByName.constEnd() && (!device.hasInputBeside || *type != typeBattery);
    });
}

bool UPowerTestbed::waitUntilSettled()
{
    const QDeadlineTimer deadline(budgetMs);
    while (!settled()) {
        if (deadline.hasExpired()) {
            qWarning("UPowerTestbed: upowerd did not settle within %d ms; its log ends:\n%s",
                     budgetMs, qPrintable(upowerdLogTail()));
            return false;
        }
        QThread::msleep(10);
    }
    return true;
}

QString UPowerTestbed::upowerdLogTail() const
{
    QFile log(m_scratch.filePath("upowerd.log"));
    return log.open(QIODevice::ReadOnly) ? QString::fromUtf8(log.readAll().right(3000)) : QString();
}

void UPowerTestbed::pauseUPower()
{
    if (m_upowerd)
        signalProcess(*m_upowerd, SIGSTOP);
}

void UPowerTestbed::stopUPower()
{
    if (!m_upowerd)
        return;
    endProcess(*m_upowerd);
    m_upowerd.reset();
    waitForBusName(connection("nw-upower-testbed"), upowerName, false);
}
