#include "UPowerBatteryServices.h"

// Placeholder until the UPower reader lands.
UPowerBatteryServices::UPowerBatteryServices(QDBusConnection systemBus,
                                             std::unique_ptr<BatteryServices> fallback)
    : m_systemBus(std::move(systemBus))
    , m_fallback(std::move(fallback))
{
}

UPowerBatteryServices::~UPowerBatteryServices() = default;

QList<BatteryService> UPowerBatteryServices::services()
{
    return m_fallback->services();
}
