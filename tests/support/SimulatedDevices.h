#pragma once

#include <QList>
#include <QMetaType>
#include <QString>
#include <QStringList>

// Battery-powered devices as the kernel lays them out in sysfs, each with the devices above it,
// in the record format umockdev reads (and umockdev-record prints for a real machine): a
// "P: /devices/..." line, then E: udev properties, A: attributes and L: links.
struct SimulatedDevice {
    QStringList records; // parents first, as the kernel adds them
    QString battery;     // the power supply's path, "/sys/devices/.../power_supply/NAME"
    bool hasInputBeside = false;

    QString supplyName() const { return battery.section('/', -1); }
};

using SimulatedDevices = QList<SimulatedDevice>;
Q_DECLARE_METATYPE(SimulatedDevice)

namespace Simulated {

// What udev makes of the input device beside a battery.
enum class Input {
    None,     // the battery's HID device has no input device
    Mouse,    // relative X/Y and mouse buttons: ID_INPUT_MOUSE
    Keyboard, // a full key set: ID_INPUT_KEYBOARD
    Touchpad, // absolute X/Y and a finger tool: ID_INPUT_TOUCHPAD
    Keys,     // a few media keys only: ID_INPUT_KEY, neither mouse nor keyboard
};

// An Apple Magic Mouse 2 paired over Bluetooth (hid-magicmouse, battery from hid-input).
SimulatedDevice magicMouseOnBluetooth(int percent, const QString& status = "Discharging");
// The same mouse on its Lightning cable: its HID device sits on the USB interface.
SimulatedDevice magicMouseOnCable(int percent, const QString& status);
// A Logitech mouse paired to a Unifying receiver: its HID device nests under the receiver's.
SimulatedDevice mouseBehindReceiver(int percent, const QString& status = "Discharging");
// A Logitech mouse over Bluetooth Low Energy: HID over GATT through uhid, battery from hidpp.
SimulatedDevice mouseOverBluetoothLE(const QString& model, int percent);
// A Bluetooth Classic HID device with a hid-input battery; each link a different device.
SimulatedDevice bluetoothDevice(const QString& model, int percent, Input input, int link,
                                const QString& status = "Discharging");
SimulatedDevice bluetoothKeyboard(int percent);
// The laptop's own ACPI battery: no scope attribute, as the ACPI driver leaves it.
SimulatedDevice laptopBattery(int percent);

} // namespace Simulated
