#pragma once

#include "PrivateBus.h"
#include "SimulatedDevices.h"

#include <QSet>
#include <QTemporaryDir>

#include <memory>
#include <utility>

class QProcess;

// The real upowerd on a private system bus, reading a simulated sysfs (a umockdev testbed), as
// UPower's own integration tests run it. The same tree is a plain folder for the sysfs reader.
// Everything it started ends with it, and with the test process if that dies.
class UPowerTestbed {
public:
    // On a system bus of its own, or beside other services on one already started.
    UPowerTestbed();
    explicit UPowerTestbed(PrivateBus& bus);
    ~UPowerTestbed();

    UPowerTestbed(const UPowerTestbed&) = delete;
    UPowerTestbed& operator=(const UPowerTestbed&) = delete;

    // Empty when upowerd, umockdev and dbus-daemon are all there, else what is missing and which
    // Debian package brings it, so a test can skip with a clear reason.
    static QString missingTools();

    // The bus and an empty simulated sysfs. False, with a warning saying why, on failure.
    bool start();
    // Puts the device and the devices above it into the tree; once upowerd runs, the kernel's
    // "add" events follow, one device at a time, so upowerd sees them arrive as it would.
    bool add(const SimulatedDevice& device);
    bool add(const SimulatedDevices& devices);
    // New attribute values for the device's battery, then the kernel's "change" event.
    bool change(const SimulatedDevice& device,
                const QList<std::pair<QString, QString>>& attributes);

    // Starts upowerd over the tree and waits (at most 5 s) until it owns its name on the bus.
    bool startUPower();
    // Waits (at most 5 s) until upowerd lists every battery added and has typed each one with an
    // input device beside it: it lists a new device as a plain battery (Type 2) first and types
    // it a moment later.
    bool waitUntilSettled();
    // SIGSTOP: upowerd keeps its name but answers nothing.
    void pauseUPower();
    void stopUPower();

    QString powerSupplyFolder() const { return m_root + "/sys/class/power_supply"; }
    QDBusConnection connection(const QString& connectionName) const
    {
        return m_bus.connection(connectionName);
    }
    void addTo(QProcessEnvironment& environment) const { m_bus.addTo(environment); }

private:
    bool send(const QStringList& command);
    bool settled();
    QString upowerdLogTail() const;

    std::unique_ptr<PrivateBus> m_ownBus;
    PrivateBus& m_bus;
    QTemporaryDir m_scratch;
    QString m_root;
    std::unique_ptr<QProcess> m_sysfs;
    std::unique_ptr<QProcess> m_upowerd;
    QSet<QString> m_paths;
    SimulatedDevices m_devices;
};
