#pragma once

#include "LoginSession.h"

#include <QDBusConnection>

// The logind session that holds this process.
class LogindLoginSession final : public LoginSession {
public:
    explicit LogindLoginSession(QDBusConnection systemBus);

    bool isClosing() override;

private:
    QDBusConnection m_bus;
};
