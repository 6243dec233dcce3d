#include "SysfsBatteryServices.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStringDecoder>

namespace {

// Attributes in sysfs are a line or two; anything longer is not what we expect to read.
constexpr qint64 attributeSizeLimit = 4096;

std::optional<QString> attribute(const QDir& supply, const QString& name)
{
    QFile file(supply.filePath(name));
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    const QByteArray bytes = file.read(attributeSizeLimit);
    QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    const QString text = utf8.decode(bytes);
    if (utf8.hasError())
        return std::nullopt;
    const QString trimmed = text.trimmed();
    if (trimmed.isEmpty())
        return std::nullopt;
    return trimmed;
}

std::optional<qint64> integerAttribute(const QDir& supply, const QString& name)
{
    const std::optional<QString> text = attribute(supply, name);
    if (!text)
        return std::nullopt;
    bool ok = false;
    const qint64 value = text->toLongLong(&ok);
    return ok ? std::optional<qint64>(value) : std::nullopt;
}

// The device of a supply wired through a USB bus is on its cable. A Bluetooth mouse's path
// also passes through USB when the Bluetooth adapter itself is a USB dongle, so a path through
// a Bluetooth host is not the mouse's own cable.
bool sitsOnUsb(const QDir& supply)
{
    const QString devicePath =
        QFileInfo(supply.filePath(QStringLiteral("device"))).canonicalFilePath();
    return devicePath.contains(QLatin1String("/usb")) &&
           !devicePath.contains(QLatin1String("/bluetooth/"));
}

bool isCharging(const QDir& supply)
{
    const std::optional<QString> status = attribute(supply, QStringLiteral("status"));
    return status == QLatin1String("Charging") || status == QLatin1String("Full");
}

} // namespace

SysfsBatteryServices::SysfsBatteryServices(QString root)
    : m_root(std::move(root))
{
}

QList<BatteryService> SysfsBatteryServices::services()
{
    QList<BatteryService> result;
    const QDir root(m_root);
    // Sorted, so the first of equal levels is the same from one read to the next.
    const QStringList entries =
        root.entryList(QDir::Dirs | QDir::NoDotAndDotDot | QDir::System, QDir::Name);
    for (const QString& entry : entries) {
        const QDir supply(root.filePath(entry));
        // Only peripherals report scope Device; the laptop's own battery and mains are System.
        if (attribute(supply, QStringLiteral("scope")) != QLatin1String("Device"))
            continue;
        BatteryService service;
        service.product = attribute(supply, QStringLiteral("model_name"));
        service.batteryPercent = integerAttribute(supply, QStringLiteral("capacity"));
        if (sitsOnUsb(supply) || isCharging(supply))
            service.transport = QStringLiteral("USB");
        result.append(service);
    }
    return result;
}
