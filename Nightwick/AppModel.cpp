#include "AppModel.h"

#include "platform/Alerts.h"
#include "platform/Clock.h"
#include "platform/LoginItem.h"
#include "platform/SettingsStore.h"
#include "platform/Trash.h"

#include <QDir>
#include <QFileInfo>

namespace {

const QString thresholdKey = QStringLiteral("threshold");
const QString lastPercentKey = QStringLiteral("lastPercent");
const QString lastChargingKey = QStringLiteral("lastCharging");
const QString lastSeenKey = QStringLiteral("lastSeen");
const QString loginItemConfiguredKey = QStringLiteral("loginItemConfigured");

constexpr qint64 defaultThreshold = 10;
constexpr double reminderWindowSeconds = 48 * 60 * 60;

const QString packagedNotice =
    QStringLiteral("Nightwick was installed as a package, which only the package manager can "
                   "remove. It no longer opens at login, and its settings are deleted.\n\n"
                   "Remove the program with:\n    sudo apt remove nightwick");

// The home folder as the program's own canonical path would show it.
QString canonicalHome()
{
    const QString home = QDir::homePath();
    const QString canonical = QFileInfo(home).canonicalFilePath();
    return canonical.isEmpty() ? home : canonical;
}

bool isMouse(const BatteryService& service)
{
    if (service.batteryLowNotificationType &&
        service.batteryLowNotificationType->startsWith(QLatin1String("MO"))) {
        return true;
    }
    return service.product &&
           service.product->contains(QLatin1String("mouse"), Qt::CaseInsensitive);
}

} // namespace

std::optional<MouseBattery> MouseBatteryReader::select(const QList<BatteryService>& services)
{
    std::optional<MouseBattery> best;
    for (const BatteryService& service : services) {
        if (!isMouse(service) || !service.batteryPercent) {
            continue;
        }
        const MouseBattery candidate{*service.batteryPercent,
                                     service.transport == QLatin1String("USB")};
        // Of equal levels a charging one wins: a mouse on its cable that is also still paired
        // over Bluetooth shows up twice at the same level, and it must not be reminded of.
        const bool chargingTwin =
            best && candidate.percent == best->percent && candidate.isCharging && !best->isCharging;
        if (!best || candidate.percent < best->percent || chargingTwin) {
            best = candidate;
        }
    }
    return best;
}

std::optional<MouseBattery> MouseBatteryReader::read(BatteryServices& source)
{
    return select(source.services());
}

std::optional<qint64> reminderPercent(const std::optional<QDateTime>& lastSeen,
                                      const QDateTime& now, bool lastCharging, qint64 lastPercent,
                                      qint64 threshold)
{
    if (!lastSeen || !lastSeen->isValid()) {
        return std::nullopt;
    }
    // A reading from the future (a clock set back) still counts as recent.
    const double age = static_cast<double>(lastSeen->msecsTo(now)) / 1000.0;
    if (age >= reminderWindowSeconds || lastCharging) {
        return std::nullopt;
    }
    if (lastPercent <= threshold) {
        return lastPercent;
    }
    return std::nullopt;
}

bool InstallLocation::isInstalled(const QString& programFile, const QString& homeFolder)
{
    const QDir holdingFolder = QFileInfo(programFile).dir();
    if (holdingFolder.dirName() == QLatin1String("Applications")) {
        return true;
    }
    const QString folder = QDir::cleanPath(holdingFolder.path());
    const QStringList binFolders{
        QStringLiteral("/usr/bin"),
        QStringLiteral("/usr/local/bin"),
        QDir::cleanPath(homeFolder + QStringLiteral("/.local/bin")),
        QDir::cleanPath(QStringLiteral(NIGHTWICK_INSTALL_BINDIR)),
    };
    return binFolders.contains(folder);
}

bool InstallLocation::isPackaged(const QString& programFile)
{
    const QString path = QDir::cleanPath(programFile);
    return path.startsWith(QLatin1String("/usr/")) &&
           !path.startsWith(QLatin1String("/usr/local/"));
}

const QList<qint64> AppModel::thresholdChoices{5, 10, 15, 20};

AppModel::AppModel(Services services, QObject* parent)
    : QObject(parent)
    , m_services(std::move(services))
{
    m_services.store.registerDefaults({{thresholdKey, defaultThreshold}});
    m_threshold = m_services.store.integer(thresholdKey);
    refresh();
}

template <typename T> void AppModel::publish(T& field, const T& value)
{
    Q_EMIT objectWillChange();
    field = value;
    Q_EMIT changed();
}

void AppModel::setThreshold(qint64 threshold)
{
    publish(m_threshold, threshold);
    if (!m_uninstalled) {
        m_services.store.setInteger(thresholdKey, m_threshold);
    }
}

void AppModel::refresh()
{
    publish(m_battery, MouseBatteryReader::read(m_services.batteries));
    // Once uninstalled, nothing may bring the settings file back while the agent winds down.
    if (m_battery && !m_uninstalled) {
        m_services.store.setInteger(lastPercentKey, m_battery->percent);
        m_services.store.setBoolean(lastChargingKey, m_battery->isCharging);
        m_services.store.setDate(lastSeenKey, m_services.clock.now());
    }
    publish(m_opensAtLogin, m_services.loginItem.isEnabled());
}

std::optional<qint64> AppModel::percentNeedingReminder()
{
    refresh();
    const SettingsStore& store = m_services.store;
    return reminderPercent(store.date(lastSeenKey), m_services.clock.now(),
                           store.boolean(lastChargingKey), store.integer(lastPercentKey),
                           m_threshold);
}

void AppModel::registerLoginItemOnFirstInstall()
{
    if (m_services.store.boolean(loginItemConfiguredKey)) {
        return;
    }
    // A build folder is no install: running a fresh build must not register it at login.
    if (!InstallLocation::isInstalled(m_services.programFile, canonicalHome())) {
        return;
    }
    // Marked before registering: a registration that fails is not tried again at later
    // launches, and one the user turns off later stays off.
    m_services.store.setBoolean(loginItemConfiguredKey, true);
    m_services.loginItem.enable();
    refresh();
}

void AppModel::setOpensAtLogin(bool enabled)
{
    if (m_uninstalled) {
        return;
    }
    const Outcome outcome =
        enabled ? m_services.loginItem.enable() : m_services.loginItem.disable();
    if (!outcome.ok()) {
        m_services.alerts.showError(outcome.errorDescription());
    }
    refresh();
}

Outcome AppModel::uninstall()
{
    // Done already: trying again would fail on the missing program and put back what is gone.
    if (m_uninstalled) {
        return Outcome::success();
    }
    if (InstallLocation::isPackaged(m_services.programFile)) {
        return uninstallPackaged();
    }
    const bool wasOpeningAtLogin = m_opensAtLogin;
    m_services.loginItem.disable();
    const Outcome moved = m_services.trash.moveToTrash(m_services.programFile);
    if (moved.ok()) {
        m_uninstalled = true;
        m_services.store.removeAll();
        return moved;
    }
    if (wasOpeningAtLogin) {
        m_services.loginItem.enable();
    }
    refresh();
    return moved;
}

// Moving a packaged program away would leave the package database wrong (as root), or fail
// with a bare permission error (as a user). What is the user's own goes: apt never removes
// anything from a home folder, so the settings are deleted now or never; a later start by
// hand then counts as a first install, as after reinstalling.
Outcome AppModel::uninstallPackaged()
{
    const Outcome disabled = m_services.loginItem.disable();
    if (!disabled.ok()) {
        refresh();
        return disabled;
    }
    m_uninstalled = true;
    m_services.store.removeAll();
    m_services.alerts.showNotice(packagedNotice);
    return Outcome::success();
}
