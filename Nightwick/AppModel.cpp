#include "AppModel.h"

#include "platform/desktop/Alerts.h"
#include "Clock.h"
#include "platform/files/LoginItem.h"
#include "platform/files/SettingsStore.h"
#include "platform/files/Trash.h"

#include <QDebug>
#include <QDir>
#include <QFileInfo>

namespace {

// A failure no one is waiting for (a reading not stored, an undo that did not take) still goes
// to the log, where a user asking why can find it.
void logIfFailed(const Outcome& outcome)
{
    if (!outcome.ok()) {
        qWarning().noquote() << outcome.errorDescription();
    }
}

const QString thresholdKey = QStringLiteral("threshold");
const QString lastPercentKey = QStringLiteral("lastPercent");
const QString lastChargingKey = QStringLiteral("lastCharging");
const QString lastSeenKey = QStringLiteral("lastSeen");
const QString loginItemConfiguredKey = QStringLiteral("loginItemConfigured");

constexpr qint64 defaultThreshold = 10;
constexpr double reminderWindowSeconds = 48 * 60 * 60;
constexpr double clockStepAllowanceSeconds = 60;

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

// An installed copy, as opposed to one in a build folder: in a folder named "Applications",
// /usr/bin, /usr/local/bin, the home folder's .local/bin, or the bin folder of the prefix this
// program was built for.
bool isInstalled(const QString& programFile, const QString& homeFolder)
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

// Owned by the package manager: anywhere under /usr but /usr/local, which is the
// administrator's own.
bool isPackaged(const QString& programFile)
{
    const QString path = QDir::cleanPath(programFile);
    return path.startsWith(QLatin1String("/usr/")) &&
           !path.startsWith(QLatin1String("/usr/local/"));
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
    // A reading is stamped by the clock that judges it, so one from the future was edited in by
    // hand, or the clock went back since by an unknown amount; counted as recent it would remind
    // at every shutdown until the mouse is read again. A minute allows for NTP stepping back a
    // clock that keeps time just after a reading, which stays ahead only as long as the step.
    const double age = static_cast<double>(lastSeen->msecsTo(now)) / 1000.0;
    if (age >= reminderWindowSeconds || age < -clockStepAllowanceSeconds || lastCharging) {
        return std::nullopt;
    }
    if (lastPercent <= threshold) {
        return lastPercent;
    }
    return std::nullopt;
}

const QList<qint64> AppModel::thresholdChoices{5, 10, 15, 20};

AppModel::AppModel(Services services, QObject* parent)
    : QObject(parent)
    , m_services(std::move(services))
{
    m_threshold = storedThreshold();
    refresh();
}

AppModel::~AppModel()
{
    storeReading();
}

template <typename T> void AppModel::publish(T& field, const T& value)
{
    field = value;
    Q_EMIT changed();
}

void AppModel::setThreshold(qint64 threshold)
{
    if (!thresholdChoices.contains(threshold)) {
        return;
    }
    // Once uninstalled nothing is stored any more; the choice still shows while the agent goes.
    const Outcome stored =
        m_uninstalled ? Outcome::success() : m_services.store.setInteger(thresholdKey, threshold);
    // Published either way, so the settings page shows the stored one again over the click.
    publish(m_threshold, stored.ok() ? threshold : storedThreshold());
    if (!stored.ok()) {
        m_services.alerts.showError(stored.errorDescription());
    }
}

// Only an offered threshold is ever stored; any other was edited in by hand (-1 would never
// remind, 99999 always) and counts as none.
qint64 AppModel::storedThreshold() const
{
    const std::optional<qint64> stored = m_services.store.integer(thresholdKey);
    return stored && thresholdChoices.contains(*stored) ? *stored : defaultThreshold;
}

// All three values as this program writes them, or nothing: a missing or garbled level must not
// remind of 0 %. Any whole level counts, as the device reported it.
std::optional<AppModel::Reading> AppModel::storedReading() const
{
    const SettingsStore& store = m_services.store;
    const std::optional<qint64> percent = store.integer(lastPercentKey);
    const std::optional<bool> charging = store.boolean(lastChargingKey);
    const std::optional<QDateTime> seen = store.date(lastSeenKey);
    if (!percent || !charging || !seen) {
        return std::nullopt;
    }
    return Reading{{*percent, *charging}, *seen};
}

void AppModel::read()
{
    publish(m_battery, MouseBatteryReader::read(m_services.batteries));
    if (m_battery) {
        m_lastReading = Reading{*m_battery, m_services.clock.now()};
        m_readingStored = false;
    }
    publish(m_opensAtLogin, m_services.loginItem.isEnabled());
}

void AppModel::storeReading()
{
    // Once uninstalled, nothing may bring the settings file back while the agent winds down.
    if (m_readingStored || m_uninstalled) {
        return;
    }
    m_readingStored = true;
    // One write, so the file never holds the level of one reading with the time of another.
    logIfFailed(m_services.store.write({{lastPercentKey, m_lastReading->battery.percent},
                                        {lastChargingKey, m_lastReading->battery.isCharging},
                                        {lastSeenKey, m_lastReading->seen}}));
}

void AppModel::refresh()
{
    read();
    storeReading();
}

std::optional<qint64> AppModel::percentNeedingReminder()
{
    read();
    const std::optional<Reading> last = m_lastReading ? m_lastReading : storedReading();
    if (!last) {
        return std::nullopt;
    }
    return reminderPercent(last->seen, m_services.clock.now(), last->battery.isCharging,
                           last->battery.percent, m_threshold);
}

void AppModel::registerLoginItemOnFirstInstall()
{
    if (m_services.store.boolean(loginItemConfiguredKey).value_or(false)) {
        return;
    }
    // A build folder is no install: running a fresh build must not register it at login.
    if (!isInstalled(m_services.programFile, canonicalHome())) {
        return;
    }
    // Marked before registering: a registration that fails is not tried again at later
    // launches, and one the user turns off later stays off. Without the mark nothing is
    // registered, or each launch would register again whatever the user chose since.
    if (!m_services.store.setBoolean(loginItemConfiguredKey, true).ok()) {
        return;
    }
    logIfFailed(m_services.loginItem.enable());
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

// Each step is undone when a later one fails, so a failed uninstall changes nothing. The
// settings go before the program: removing them fails for reasons that leave them in place,
// and they can be put back should the program then not move.
//
// A packaged program is never moved: that would leave the package database wrong (as root),
// or fail with a bare permission error (as a user). What is the user's own goes: apt never
// removes anything from a home folder, so the settings are deleted now or never; a later start
// by hand then counts as a first install, as after reinstalling.
Outcome AppModel::uninstall()
{
    // Done already: trying again would fail on the missing program and put back what is gone.
    if (m_uninstalled) {
        return Outcome::success();
    }
    const bool packaged = isPackaged(m_services.programFile);
    Outcome outcome = m_services.loginItem.disable();
    const bool loginItemRemoved = outcome.ok();
    if (outcome.ok()) {
        outcome = m_services.store.removeAll();
    }
    if (outcome.ok() && !packaged) {
        outcome = m_services.trash.moveToTrash(m_services.programFile);
        if (!outcome.ok()) {
            logIfFailed(m_services.store.restoreRemoved());
        }
    }
    if (!outcome.ok()) {
        // As it was, on or off: a person's edits and the desktop's own switch come back too.
        if (loginItemRemoved) {
            logIfFailed(m_services.loginItem.restoreDisabled());
        }
        refresh();
        return outcome;
    }
    m_uninstalled = true;
    if (packaged) {
        m_services.alerts.showNotice(packagedNotice);
    }
    return outcome;
}
