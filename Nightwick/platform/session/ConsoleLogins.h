#pragma once

#include <QtGlobal>

#include <optional>

// When the user last logged in to the graphical console.
class ConsoleLogins {
public:
    virtual ~ConsoleLogins() = default;

    // The newest console login in whole seconds since 1970, or nothing when none is recorded.
    virtual std::optional<qint64> newestLogin() = 0;
};
