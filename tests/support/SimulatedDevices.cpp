#include "SimulatedDevices.h"

namespace {

using Simulated::Input;

// The laptop's USB controller; every USB device below sits on one of its ports.
const QString xhci = QStringLiteral("/devices/pci0000:00/0000:00:14.0");

// Capability bitmaps as the kernel prints them: hex words of an unsigned long, most significant
// first. Magic Mouse 2: buttons, relative motion and wheels, and multitouch positions for its
// scrolling surface, but no absolute X/Y.
const QStringList magicMouseCapabilities{"capabilities/ev=f", "capabilities/key=30000 0 0 0 0",
                                         "capabilities/rel=1943",
                                         "capabilities/abs=273800000000000", "properties=0"};
// A Logitech mouse: eight buttons, relative motion, wheels.
const QStringList logitechMouseCapabilities{"capabilities/ev=17", "capabilities/key=ff0000 0 0 0 0",
                                            "capabilities/rel=1943", "capabilities/msc=10",
                                            "properties=0"};
const QStringList keyboardCapabilities{
    "capabilities/ev=120013",
    "capabilities/key=1000000000007 ff9f207ac14057ff febeffdfffefffff fffffffffffffffe",
    "capabilities/msc=10", "capabilities/led=1f", "properties=0"};
// Magic Trackpad 2: absolute and multitouch positions, a click button and finger tools.
const QStringList touchpadCapabilities{"capabilities/ev=b", "capabilities/key=e520 10000 0 0 0 0",
                                       "capabilities/abs=273800000000003", "properties=5"};
// Volume keys only, as the consumer-control node of many mice.
const QStringList mediaKeyCapabilities{"capabilities/ev=13", "capabilities/key=c000000000000 0",
                                       "properties=0"};

QString record(const QString& path, const QStringList& properties,
               const QStringList& attributes = {}, const QStringList& links = {})
{
    QString text = "P: " + path + '\n';
    for (const QString& property : properties)
        text += "E: " + property + '\n';
    for (const QString& attribute : attributes)
        text += "A: " + attribute + '\n';
    for (const QString& link : links)
        text += "L: " + link + '\n';
    return text;
}

// A USB device on the given port with the interface a driver binds; returns the interface.
QString addUsbInterface(QStringList& records, const QString& port, const QString& ids,
                        const QString& product, int interface, const QString& driver)
{
    const QString device = xhci + "/usb1/" + port;
    const QString number = QString::number(interface);
    records << record(device, {"SUBSYSTEM=usb", "DEVTYPE=usb_device", "DRIVER=usb"},
                      {"idVendor=" + ids.section(':', 0, 0), "idProduct=" + ids.section(':', 1),
                       "product=" + product});
    const QString interfacePath = device + '/' + port + ":1." + number;
    records << record(interfacePath, {"SUBSYSTEM=usb", "DEVTYPE=usb_interface", "DRIVER=" + driver},
                      {"bInterfaceNumber=0" + number});
    return interfacePath;
}

// The laptop's Bluetooth adapter (an Intel one on an internal USB port) and one link on it.
QString addBluetoothLink(QStringList& records, int link)
{
    const QString adapter =
        addUsbInterface(records, "1-10", "8087:0026", "", 0, "btusb") + "/bluetooth/hci0";
    records << record(adapter, {"SUBSYSTEM=bluetooth", "DEVTYPE=host"});
    const QString linkPath = adapter + ":" + QString::number(link);
    records << record(linkPath, {"SUBSYSTEM=bluetooth", "DEVTYPE=link"});
    return linkPath;
}

QString addHid(QStringList& records, const QString& parent, const QString& id, const QString& name,
               const QString& driver)
{
    const QString path = parent + '/' + id;
    records << record(path, {"SUBSYSTEM=hid", "DRIVER=" + driver, "HID_NAME=" + name});
    return path;
}

// The power supply a HID driver registers under the device's HID device.
void addSupply(SimulatedDevice& device, const QString& hid, const QString& name,
               const QStringList& attributes)
{
    const QString path = hid + "/power_supply/" + name;
    device.records << record(path, {"SUBSYSTEM=power_supply", "POWER_SUPPLY_NAME=" + name},
                             QStringList{"type=Battery", "scope=Device", "present=1"} + attributes,
                             {"device=../../../" + hid.section('/', -1)});
    device.battery = "/sys" + path;
}

// The input device the HID driver registers beside the battery, marked as udev's input_id
// marks one with these capabilities.
void addInput(SimulatedDevice& device, const QString& hid, int number, const QString& name,
              Input input, const QStringList& mouseCapabilities = logitechMouseCapabilities)
{
    if (input == Input::None)
        return;
    QStringList properties{"SUBSYSTEM=input", "ID_INPUT=1"};
    QStringList capabilities;
    switch (input) {
    case Input::Mouse:
        properties << "ID_INPUT_MOUSE=1";
        capabilities = mouseCapabilities;
        break;
    case Input::Keyboard:
        properties << "ID_INPUT_KEY=1"
                   << "ID_INPUT_KEYBOARD=1";
        capabilities = keyboardCapabilities;
        break;
    case Input::Touchpad:
        properties << "ID_INPUT_TOUCHPAD=1";
        capabilities = touchpadCapabilities;
        break;
    case Input::Keys:
        properties << "ID_INPUT_KEY=1";
        capabilities = mediaKeyCapabilities;
        break;
    case Input::None:
        break;
    }
    device.records << record(hid + "/input/input" + QString::number(number), properties,
                             QStringList{"name=" + name} + capabilities,
                             {"device=../../../" + hid.section('/', -1)});
    device.hasInputBeside = true;
}

QStringList hidBattery(const QString& model, int percent, const QString& status)
{
    return {"status=" + status, "capacity=" + QString::number(percent), "model_name=" + model,
            "online=1"};
}

} // namespace

namespace Simulated {

SimulatedDevice magicMouseOnBluetooth(int percent, const QString& status)
{
    SimulatedDevice device;
    const QString hid = addHid(device.records, addBluetoothLink(device.records, 256),
                               "0005:004C:0269.0003", "Magic Mouse 2", "magicmouse");
    addSupply(device, hid, "hid-04:f1:3e:5a:21:7b-battery",
              hidBattery("Magic Mouse 2", percent, status));
    addInput(device, hid, 12, "Magic Mouse 2", Input::Mouse, magicMouseCapabilities);
    return device;
}

SimulatedDevice magicMouseOnCable(int percent, const QString& status)
{
    SimulatedDevice device;
    const QString usb =
        addUsbInterface(device.records, "1-2", "05ac:0269", "Magic Mouse 2", 1, "usbhid");
    const QString hid = addHid(device.records, usb, "0003:05AC:0269.0004",
                               "Apple Inc. Magic Mouse 2", "magicmouse");
    // Over USB, hid-input names the battery after the serial number instead of the address.
    addSupply(device, hid, "hid-CC2036401TVJ1YMAW-battery",
              hidBattery("Magic Mouse 2", percent, status));
    addInput(device, hid, 13, "Apple Inc. Magic Mouse 2", Input::Mouse, magicMouseCapabilities);
    return device;
}

SimulatedDevice mouseBehindReceiver(int percent, const QString& status)
{
    SimulatedDevice device;
    const QString usb =
        addUsbInterface(device.records, "1-3", "046d:c52b", "USB Receiver", 2, "usbhid");
    const QString receiver = addHid(device.records, usb, "0003:046D:C52B.0005",
                                    "Logitech USB Receiver", "logitech-djreceiver");
    const QString hid = addHid(device.records, receiver, "0003:046D:406D.0006", "Logitech M705",
                               "logitech-hidpp-device");
    addSupply(device, hid, "hidpp_battery_0",
              hidBattery("Marathon Mouse M705", percent, status) << "manufacturer=Logitech");
    addInput(device, hid, 20, "Logitech M705", Input::Mouse);
    return device;
}

SimulatedDevice mouseOverBluetoothLE(const QString& model, int percent)
{
    SimulatedDevice device;
    const QString uhid = QStringLiteral("/devices/virtual/misc/uhid");
    device.records << record(uhid, {"SUBSYSTEM=misc", "DEVNAME=uhid"});
    const QString hid =
        addHid(device.records, uhid, "0005:046D:B025.0008", model, "logitech-hidpp-device");
    addSupply(device, hid, "hidpp_battery_1",
              hidBattery(model, percent, "Discharging") << "manufacturer=Logitech");
    addInput(device, hid, 21, model, Input::Mouse);
    return device;
}

SimulatedDevice bluetoothDevice(const QString& model, int percent, Input input, int link,
                                const QString& status)
{
    SimulatedDevice device;
    const int number = 0x10 + link / 256;
    const QString hid =
        addHid(device.records, addBluetoothLink(device.records, link),
               QString("0005:1D57:AD02.%1").arg(number, 4, 16, QChar('0')).toUpper(), model,
               "hid-generic");
    addSupply(device, hid, QString("hid-04:f1:3e:00:01:%1-battery").arg(number, 2, 16, QChar('0')),
              hidBattery(model, percent, status));
    addInput(device, hid, 30 + link / 256, model, input);
    return device;
}

SimulatedDevice bluetoothKeyboard(int percent)
{
    return bluetoothDevice("Magic Keyboard", percent, Input::Keyboard, 512);
}

SimulatedDevice laptopBattery(int percent)
{
    SimulatedDevice device;
    const QString acpi = QStringLiteral("/devices/LNXSYSTM:00/LNXSYBUS:00/PNP0C0A:00");
    device.records << record(acpi, {"SUBSYSTEM=acpi", "DRIVER=battery"});
    const QString path = acpi + "/power_supply/BAT0";
    constexpr qint64 energyFull = 50000000;
    device.records << record(
        path, {"SUBSYSTEM=power_supply", "POWER_SUPPLY_NAME=BAT0"},
        {"type=Battery", "status=Discharging", "present=1", "technology=Li-poly",
         "capacity=" + QString::number(percent), "energy_full_design=57000000",
         "energy_full=" + QString::number(energyFull),
         "energy_now=" + QString::number(energyFull * percent / 100), "power_now=5000000",
         "voltage_now=11400000", "model_name=5B10W13930", "manufacturer=SMP"},
        {"device=../../../PNP0C0A:00"});
    device.battery = "/sys" + path;
    return device;
}

} // namespace Simulated
