#include "SysfsBatteryServices.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStringDecoder>

#include <climits>
#include <fcntl.h>
#include <linux/input-event-codes.h>
#include <unistd.h>

namespace {

// Attributes in sysfs are a line or two; anything longer is not what we expect to read.
constexpr qsizetype attributeSizeLimit = 4096;
// A device registers a handful of input devices; past this many it is not one we know.
constexpr qsizetype inputDevicesLimit = 16;

// The whole of a small file, or nothing. Opened without blocking, neither opening nor reading
// anything but a regular file (a FIFO, a terminal) can block, and such a thing reads as empty,
// failed or too long. A regular file that a read of more than the limit leaves short has been
// read to its end. Read straight from the system: a refresh reads dozens.
std::optional<QByteArray> smallFile(const QString& path)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return std::nullopt;
    QByteArray bytes(attributeSizeLimit + 1, Qt::Uninitialized);
    const ssize_t got = ::read(fd, bytes.data(), size_t(bytes.size()));
    ::close(fd);
    if (got < 0 || got > attributeSizeLimit)
        return std::nullopt;
    bytes.truncate(got);
    return bytes;
}

// A folder's path with every link resolved, as the kernel names the folder once it is open:
// realpath would look at each part of a long sysfs path in turn.
QString resolvedFolder(const QString& path)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return QString();
    char target[PATH_MAX];
    const ssize_t length =
        ::readlink(("/proc/self/fd/" + QByteArray::number(fd)).constData(), target, sizeof target);
    ::close(fd);
    if (length <= 0 || target[0] != '/')
        return QFileInfo(path).canonicalFilePath(); // no /proc
    return QFile::decodeName(QByteArray(target, length));
}

std::optional<QString> attribute(const QDir& folder, const QString& name)
{
    const std::optional<QByteArray> bytes = smallFile(folder.filePath(name));
    if (!bytes)
        return std::nullopt;
    QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    const QString text = utf8.decode(*bytes);
    if (utf8.hasError())
        return std::nullopt;
    const QString trimmed = text.trimmed();
    if (trimmed.isEmpty())
        return std::nullopt;
    return trimmed;
}

std::optional<qint64> integerAttribute(const QDir& folder, const QString& name)
{
    const std::optional<QString> text = attribute(folder, name);
    if (!text)
        return std::nullopt;
    bool ok = false;
    const qint64 value = text->toLongLong(&ok);
    return ok ? std::optional<qint64>(value) : std::nullopt;
}

// A capability bitmap as the kernel prints it: hex words of its unsigned long, most significant
// first. A malformed one counts as no bits at all.
class CapabilityBits {
public:
    CapabilityBits(const QDir& input, const QString& name)
    {
        const QStringList words =
            attribute(input, name).value_or(QString()).split(' ', Qt::SkipEmptyParts);
        for (auto word = words.crbegin(); word != words.crend(); ++word) {
            bool ok = false;
            m_words.append(word->toULongLong(&ok, 16));
            if (!ok) {
                m_words.clear();
                return;
            }
        }
    }

    bool has(int bit) const
    {
        const qsizetype word = bit / wordBits;
        return word < m_words.size() && ((m_words[word] >> (bit % wordBits)) & 1U) != 0;
    }
    bool anyIn(int first, int last) const
    {
        for (int bit = first; bit <= last; ++bit) {
            if (has(bit))
                return true;
        }
        return false;
    }
    bool allIn(int first, int last) const
    {
        for (int bit = first; bit <= last; ++bit) {
            if (!has(bit))
                return false;
        }
        return true;
    }

private:
    // The kernel's long; a 32-bit program on a 64-bit kernel misreads it, as udev does.
    static constexpr int wordBits = sizeof(unsigned long) * 8;
    QList<quint64> m_words; // least significant first
};

enum class InputKind { Mouse, Keyboard, Other };

// A device with mouse buttons that is neither an accelerometer, a tablet, a touchpad nor a
// joystick.
bool movesAsAMouse(const QDir& input, const CapabilityBits& keys, const CapabilityBits& events)
{
    const CapabilityBits absolute(input, "capabilities/abs");
    const CapabilityBits properties(input, "properties");

    const bool absoluteXY = absolute.has(ABS_X) && absolute.has(ABS_Y);
    // A device claiming every absolute axis has no real multitouch positions.
    const bool multitouchXY = absolute.has(ABS_MT_POSITION_X) && absolute.has(ABS_MT_POSITION_Y) &&
                              !(absolute.has(ABS_MT_SLOT) && absolute.has(ABS_MT_SLOT - 1));
    const bool accelerometer = properties.has(INPUT_PROP_ACCELEROMETER) ||
                               (!events.has(EV_KEY) && absoluteXY && absolute.has(ABS_Z));
    const bool pen = keys.has(BTN_STYLUS) || keys.has(BTN_TOOL_PEN);
    const bool finger = keys.has(BTN_TOOL_FINGER) && !properties.has(INPUT_PROP_DIRECT);
    const bool surface = absoluteXY || multitouchXY;
    const bool tabletOrTouchpad = surface && (pen || finger);
    // A mouse with more than 16 buttons reaches into the joystick range; that is no joystick.
    const bool joystick =
        (!keys.has(BTN_JOYSTICK - 1) && (keys.anyIn(BTN_JOYSTICK, BTN_DIGI - 1) ||
                                         keys.anyIn(BTN_TRIGGER_HAPPY1, BTN_TRIGGER_HAPPY40) ||
                                         keys.anyIn(BTN_DPAD_UP, BTN_DPAD_RIGHT))) ||
        absolute.anyIn(ABS_RX, ABS_PRESSURE - 1);
    return !accelerometer && !tabletOrTouchpad && (absoluteXY || !joystick);
}

// Tells a mouse and a keyboard from the kernel's capability bits the way udev's input_id marks
// ID_INPUT_MOUSE and ID_INPUT_KEYBOARD, which is what upowerd goes by: a mouse has a mouse
// button and moves relatively, or absolutely without being a touchpad or a tablet.
InputKind kindOf(const QDir& input)
{
    const CapabilityBits keys(input, "capabilities/key");
    const bool mouseButton = keys.anyIn(BTN_MOUSE, BTN_JOYSTICK - 1);
    // ESC, the digits and the first letter rows: a full keyboard.
    const bool fullKeys = keys.allIn(KEY_ESC, KEY_S);
    // Without mouse buttons no mouse, without a full set of keys no keyboard: most input devices
    // need no more reading than this.
    if (!mouseButton && !fullKeys)
        return InputKind::Other;
    const CapabilityBits events(input, "capabilities/ev");
    if (mouseButton && movesAsAMouse(input, keys, events))
        return InputKind::Mouse;
    if (events.has(EV_KEY) && fullKeys)
        return InputKind::Keyboard;
    return InputKind::Other;
}

// A mouse, as upowerd decides it: an input device registered beside the battery, under the same
// HID device, is a mouse, and none is a keyboard (a keyboard with a touchpad is a keyboard).
bool hasMouseBeside(const QDir& supply)
{
    const QDir inputs(supply.filePath(QStringLiteral("device/input")));
    const QStringList names =
        inputs.entryList({QStringLiteral("input*")}, QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name)
            .mid(0, inputDevicesLimit);
    bool mouse = false;
    for (const QString& name : names) {
        switch (kindOf(QDir(inputs.filePath(name)))) {
        case InputKind::Keyboard:
            return false;
        case InputKind::Mouse:
            mouse = true;
            break;
        case InputKind::Other:
            break;
        }
    }
    return mouse;
}

bool isUsbInterface(const QDir& device)
{
    const QString subsystem =
        QFileInfo(QFileInfo(device.filePath(QStringLiteral("subsystem"))).symLinkTarget())
            .fileName();
    if (subsystem != QLatin1String("usb"))
        return false;
    const QStringList uevent =
        attribute(device, QStringLiteral("uevent")).value_or(QString()).split('\n');
    return uevent.contains(QLatin1String("DEVTYPE=usb_interface")) ||
           attribute(device, QStringLiteral("bInterfaceNumber")).has_value();
}

// On its cable the mouse's own HID device sits directly on a USB interface. Behind a receiver
// the receiver's HID device comes between them, and over Bluetooth the adapter's host and link
// do, even when the adapter itself is a USB device.
bool sitsOnItsCable(const QDir& supply)
{
    const QString device = resolvedFolder(supply.filePath(QStringLiteral("device")));
    return !device.isEmpty() && isUsbInterface(QDir(QFileInfo(device).path()));
}

// "Not charging" is a charger that holds off, as UPower's "pending charge" is: still on its cable.
// A battery that says it discharges is on no cable, whatever USB it hangs off: a receiver's own
// HID interface sits on USB too.
bool isOnItsCable(const QDir& supply)
{
    const std::optional<QString> status = attribute(supply, QStringLiteral("status"));
    if (status == QLatin1String("Discharging"))
        return false;
    return status == QLatin1String("Charging") || status == QLatin1String("Full") ||
           status == QLatin1String("Not charging") || sitsOnItsCable(supply);
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
        // As the device reports it, not clamped: a level beyond 0-100 is the device's to own.
        service.batteryPercent = integerAttribute(supply, QStringLiteral("capacity"));
        if (isOnItsCable(supply))
            service.transport = QStringLiteral("USB");
        if (hasMouseBeside(supply))
            service.batteryLowNotificationType = QStringLiteral("MOUSE");
        result.append(service);
    }
    return result;
}
