#pragma once

#include <QObject>

// The agent as a client of the desktop's session manager, which tells it when the user logs out
// and when to quit.
class SessionManagerClient : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;

    virtual void start() = 0;
    // Lets a log-out that waits on the agent go on. Does nothing when none waits.
    virtual void answerEndSession() = 0;

signals:
    // The session is ending and waits until answerEndSession(). The agent stays until
    // stopRequested: the log-out may yet be called off.
    void endSessionRequested();
    // The session manager asks the agent to quit, at the end of a log-out or without one.
    void stopRequested();
};
