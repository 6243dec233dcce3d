#pragma once

#include "Alerts.h"

class MessageBoxAlerts final : public Alerts {
public:
    void showError(const QString& description) override;
};
