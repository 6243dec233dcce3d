#pragma once

#include "Outcome.h"

// Whether the agent starts when the user logs in.
class LoginItem {
public:
    virtual ~LoginItem() = default;

    virtual bool isEnabled() const = 0;
    virtual Outcome enable() = 0;
    // Already disabled counts as success.
    virtual Outcome disable() = 0;
    // Puts back what the last disable took away, as it was: hand edits, the desktop's own switch
    // and all. Nothing taken away, nothing to do.
    virtual Outcome restoreDisabled() = 0;
};
