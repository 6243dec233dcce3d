#pragma once

#include <QString>

// Tells the user about a failure in the system's own words.
class Alerts {
public:
    virtual ~Alerts() = default;

    // Blocks until the user dismisses it; timers keep firing meanwhile.
    virtual void showError(const QString& description) = 0;
};
