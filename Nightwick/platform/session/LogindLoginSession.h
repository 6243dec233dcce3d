#pragma once

#include "LoginSession.h"

#include <QDBusConnection>

class QDeadlineTimer;

// The logind session the agent runs in: its own, or where it has none (started by the user's
// service manager) the user's graphical session.
class LogindLoginSession final : public LoginSession {
public:
    explicit LogindLoginSession(QDBusConnection systemBus);

    bool isClosing() override;

private:
    // The agent's own session, else the user's graphical one; empty when there is none.
    QString sessionPath(const QDeadlineTimer& deadline) const;

    QDBusConnection m_bus;
};
