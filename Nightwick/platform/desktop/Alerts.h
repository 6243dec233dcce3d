#pragma once

#include <QString>

// Tells the user about a failure in the system's own words, or, where no failure lies behind
// it, something in the agent's own.
class Alerts {
public:
    virtual ~Alerts() = default;

    // Each blocks until the user dismisses it; timers keep firing meanwhile.
    virtual void showError(const QString& description) = 0;
    virtual void showNotice(const QString& text) = 0;
};
