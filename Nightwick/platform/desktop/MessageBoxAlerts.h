#pragma once

#include "Alerts.h"

class MessageBoxAlerts final : public Alerts {
public:
    void showError(const QString& description) override;
    void showNotice(const QString& text) override;
};
