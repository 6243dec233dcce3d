#pragma once

#include <QList>
#include <QString>

#include <optional>

// What the system reports about one battery-powered input device, each property possibly
// absent. The mouse is picked out of a list of these by MouseBatteryReader.
struct BatteryService {
    std::optional<QString>
        batteryLowNotificationType;       // "MOUSE" for a device the system knows is a mouse
    std::optional<QString> product;       // the model name
    std::optional<qint64> batteryPercent; // whole percent only
    std::optional<QString> transport;     // "USB" while the device is on its cable

    bool operator==(const BatteryService&) const = default;
};

// Lists the battery-powered devices, in the order the system enumerates them.
class BatteryServices {
public:
    virtual ~BatteryServices() = default;

    // Empty when the system has none or cannot be asked. Never blocks for long.
    virtual QList<BatteryService> services() = 0;
};
