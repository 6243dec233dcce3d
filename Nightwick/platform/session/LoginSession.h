#pragma once

// The login session the agent runs in.
class LoginSession {
public:
    virtual ~LoginSession() = default;

    // True while the session is being logged out. False when that cannot be told.
    virtual bool isClosing() = 0;
};
