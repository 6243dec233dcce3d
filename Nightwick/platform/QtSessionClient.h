#pragma once

#include "SessionManagerClient.h"

class QEventLoop;
class QGuiApplication;
class QSessionManager;

// The X11 session manager as Qt speaks to it: at log-out the agent asks to interact, and keeps
// the session manager waiting until the agent lets the log-out go on.
class QtSessionClient final : public SessionManagerClient {
    Q_OBJECT
public:
    explicit QtSessionClient(QGuiApplication& application, QObject* parent = nullptr);

    void start() override;
    void answerEndSession() override;

private:
    void commitDataRequested(QSessionManager& manager);

    QGuiApplication& m_application;
    bool m_endSessionWaiting = false;
    QEventLoop* m_waitLoop = nullptr; // the loop that runs while the session manager waits
};
