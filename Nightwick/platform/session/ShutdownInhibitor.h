#pragma once

#include <QObject>

#include <chrono>

// Holds a system shutdown back while the agent still has something to show, and tells when a
// shutdown is announced or called off.
class ShutdownInhibitor : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;

    // Takes the lock and starts listening for announcements.
    virtual void start() = 0;
    // Lets an announced shutdown go on. The lock comes back by itself when that shutdown is
    // called off.
    virtual void release() = 0;
    // True from the announcement of a shutdown until it is called off.
    virtual bool isShutdownAnnounced() const = 0;
    // How long the system waits on the lock before it shuts down regardless.
    virtual std::chrono::milliseconds holdLimit() const = 0;

signals:
    // Once per shutdown, however many ways the system announces it.
    void shutdownAnnounced();
    void shutdownCancelled();
};
