#pragma once

#include "BatteryServices.h"

#include <QDBusConnection>
#include <QHash>

#include <memory>

// Battery-powered devices as UPower reports them on the system bus. Where UPower is not on the
// bus, the fallback answers instead. A device that can never be the mouse is asked about once and
// then reported as it was while UPower lists it, so that a refresh asks only about the others.
class UPowerBatteryServices final : public BatteryServices {
public:
    UPowerBatteryServices(QDBusConnection systemBus, std::unique_ptr<BatteryServices> fallback);
    ~UPowerBatteryServices() override;

    QList<BatteryService> services() override;

private:
    QDBusConnection m_systemBus;
    std::unique_ptr<BatteryServices> m_fallback;
    QHash<QString, BatteryService> m_notMice; // by object path
};
