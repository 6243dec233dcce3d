#pragma once

#include <QObject>

// The agent as a client of the desktop's session manager, which asks it to step aside when the
// user logs out.
class SessionManagerClient : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;

    virtual void start() = 0;
    // Lets a log-out that waits on the agent go on. Does nothing when none waits.
    virtual void answerEndSession() = 0;

signals:
    // The session is ending; it waits until answerEndSession().
    void endSessionRequested();
    // The session manager asks the agent to quit, without a log-out.
    void stopRequested();
};
