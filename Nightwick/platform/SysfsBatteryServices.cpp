#include "SysfsBatteryServices.h"

// Placeholder until the sysfs reader lands.
SysfsBatteryServices::SysfsBatteryServices(QString root)
    : m_root(std::move(root))
{
}

QList<BatteryService> SysfsBatteryServices::services()
{
    return {};
}
