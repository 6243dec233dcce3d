#pragma once

#include "BatteryServices.h"

#include <QDBusConnection>

#include <memory>

// Battery-powered devices as UPower reports them on the system bus. Where UPower is not on the
// bus, the fallback answers instead.
class UPowerBatteryServices final : public BatteryServices {
public:
    UPowerBatteryServices(QDBusConnection systemBus, std::unique_ptr<BatteryServices> fallback);
    ~UPowerBatteryServices() override;

    QList<BatteryService> services() override;

private:
    QDBusConnection m_systemBus;
    std::unique_ptr<BatteryServices> m_fallback;
};
