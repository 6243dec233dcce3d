#include "UPowerBatteryServices.h"

#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusPendingCall>
#include <QDBusPendingReply>
#include <QDeadlineTimer>
#include <QMetaType>
#include <QVariantMap>

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

namespace {

const QString upowerService = QStringLiteral("org.freedesktop.UPower");
const QString upowerPath = QStringLiteral("/org/freedesktop/UPower");
const QString upowerInterface = QStringLiteral("org.freedesktop.UPower");
const QString deviceInterface = QStringLiteral("org.freedesktop.UPower.Device");
const QString propertiesInterface = QStringLiteral("org.freedesktop.DBus.Properties");

// The whole refresh, every device included, must fit in this: a hung UPower may cost the main
// thread no more than one short stall per poll.
constexpr int refreshBudgetMs = 450;

// UPower's enumerations, from its Device interface.
constexpr qint64 typeUnknown = 0;
constexpr qint64 typeBattery = 2;
constexpr qint64 typeMouse = 5;
constexpr qint64 stateCharging = 1;
constexpr qint64 stateFullyCharged = 4;
constexpr qint64 statePendingCharge = 5;

std::optional<qint64> integerValue(const QVariant& value)
{
    switch (value.metaType().id()) {
    case QMetaType::UChar:
    case QMetaType::Short:
    case QMetaType::UShort:
    case QMetaType::Int:
    case QMetaType::UInt:
    case QMetaType::LongLong:
        return value.toLongLong();
    case QMetaType::ULongLong: {
        const qulonglong unsignedValue = value.toULongLong();
        if (unsignedValue > static_cast<qulonglong>(std::numeric_limits<qint64>::max()))
            return std::nullopt;
        return static_cast<qint64>(unsignedValue);
    }
    default:
        return std::nullopt;
    }
}

// A level counts only when it is a whole number that fits: 42.0 is 42, while 42.5, NaN,
// infinities and 1e30 are no reading at all. A whole level beyond 0-100 passes as the device
// reports it.
std::optional<qint64> wholePercent(const QVariant& value)
{
    if (value.metaType().id() != QMetaType::Double)
        return integerValue(value);
    const double percent = value.toDouble();
    constexpr double int64Bound = 9223372036854775808.0; // 2^63, exactly representable
    if (!std::isfinite(percent) || std::trunc(percent) != percent || percent < -int64Bound ||
        percent >= int64Bound)
        return std::nullopt;
    return static_cast<qint64>(percent);
}

std::optional<QString> textValue(const QVariant& value)
{
    if (value.metaType().id() != QMetaType::QString)
        return std::nullopt;
    return value.toString();
}

BatteryService serviceFrom(const QVariantMap& properties)
{
    BatteryService service;
    service.product = textValue(properties.value(QStringLiteral("Model")));
    service.batteryPercent = wholePercent(properties.value(QStringLiteral("Percentage")));
    const std::optional<qint64> state = integerValue(properties.value(QStringLiteral("State")));
    if (state == stateCharging || state == stateFullyCharged || state == statePendingCharge)
        service.transport = QStringLiteral("USB");
    if (integerValue(properties.value(QStringLiteral("Type"))) == typeMouse)
        service.batteryLowNotificationType = QStringLiteral("MOUSE");
    return service;
}

// Typed as something else than a mouse, or powering the computer, and not named a mouse. UPower
// lists a new peripheral as a plain battery until it has placed it, so that type proves nothing.
bool cannotBeTheMouse(const QVariantMap& properties, const BatteryService& service)
{
    const std::optional<qint64> type = integerValue(properties.value(QStringLiteral("Type")));
    const bool powersComputer = properties.value(QStringLiteral("PowerSupply")).toBool();
    const bool placed = type && *type != typeUnknown && (*type != typeBattery || powersComputer);
    return placed && *type != typeMouse &&
           !service.product.value_or(QString()).contains(QLatin1String("mouse"),
                                                         Qt::CaseInsensitive);
}

int remainingMs(const QDeadlineTimer& deadline)
{
    return static_cast<int>(std::max<qint64>(deadline.remainingTime(), 1));
}

} // namespace

UPowerBatteryServices::UPowerBatteryServices(QDBusConnection systemBus,
                                             std::unique_ptr<BatteryServices> fallback)
    : m_systemBus(std::move(systemBus))
    , m_fallback(std::move(fallback))
{
}

UPowerBatteryServices::~UPowerBatteryServices() = default;

QList<BatteryService> UPowerBatteryServices::services()
{
    const QDeadlineTimer deadline(refreshBudgetMs);
    const QDBusMessage enumerate =
        m_systemBus.call(QDBusMessage::createMethodCall(upowerService, upowerPath, upowerInterface,
                                                        QStringLiteral("EnumerateDevices")),
                         QDBus::Block, remainingMs(deadline));
    const QDBusPendingReply<QList<QDBusObjectPath>> devices(
        QDBusPendingCall::fromCompletedCall(enumerate));
    // No UPower on the bus, or one that does not answer: the kernel still knows the batteries.
    if (!devices.isValid()) {
        m_notMice.clear();
        return m_fallback ? m_fallback->services() : QList<BatteryService>{};
    }

    // Asked all at once, each bounded by what is left of the budget, so the whole refresh ends
    // by the deadline however many devices hang.
    const QList<QDBusObjectPath> listed = devices.value();
    std::vector<QDBusPendingCall> pending;
    QHash<QString, BatteryService> notMice;
    for (const QDBusObjectPath& device : listed) {
        if (const auto known = m_notMice.constFind(device.path()); known != m_notMice.cend()) {
            notMice.insert(device.path(), *known);
            continue;
        }
        QDBusMessage getAll = QDBusMessage::createMethodCall(
            upowerService, device.path(), propertiesInterface, QStringLiteral("GetAll"));
        getAll << deviceInterface;
        pending.push_back(m_systemBus.asyncCall(getAll, remainingMs(deadline)));
    }

    QList<BatteryService> result;
    auto answer = pending.begin();
    for (const QDBusObjectPath& device : listed) {
        if (const auto known = notMice.constFind(device.path()); known != notMice.cend()) {
            result.append(*known);
            continue;
        }
        QDBusPendingCall& call = *answer++;
        call.waitForFinished();
        const QDBusPendingReply<QVariantMap> properties(call);
        if (!properties.isValid())
            continue;
        result.append(serviceFrom(properties.value()));
        if (cannotBeTheMouse(properties.value(), result.last()))
            notMice.insert(device.path(), result.last());
    }
    // A device no longer listed is forgotten: what comes back under its path may be another.
    m_notMice = std::move(notMice);
    return result;
}
