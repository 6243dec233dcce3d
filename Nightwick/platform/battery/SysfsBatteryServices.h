#pragma once

#include "BatteryServices.h"

#include <QString>

// Battery-powered devices read straight from the kernel's power supply class.
class SysfsBatteryServices final : public BatteryServices {
public:
    explicit SysfsBatteryServices(QString root = QStringLiteral("/sys/class/power_supply"));

    QList<BatteryService> services() override;

private:
    QString m_root;
};
