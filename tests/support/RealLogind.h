#pragma once

#include <QDBusConnection>
#include <QList>
#include <QString>
#include <QTemporaryDir>

#include <memory>

class PrivateBus;
class QProcess;

// The real systemd-logind on a test's private system bus, contained so that it can never power
// off the machine: it runs in a PID and mount namespace of its own, without CAP_SYS_BOOT, with a
// private /run and /dev and everything else read-only, and the systemd manager it talks to is a
// recording stand-in (systemd1-standin.py). Everything started here ends with the object, or
// with the test process should it die first.
class RealLogind {
public:
    // What the stand-in received: a method call to it, or a signal of logind's manager. The time
    // is CLOCK_MONOTONIC in ms, the clock of QElapsedTimer::msecsSinceReference().
    struct Call {
        double atMs = 0;
        QString member;
        QString arguments; // the object path, then each argument, space-separated
    };

    explicit RealLogind(const PrivateBus& systemBus, int inhibitDelayMaxSeconds = 5);
    ~RealLogind();

    RealLogind(const RealLogind&) = delete;
    RealLogind& operator=(const RealLogind&) = delete;

    // Empty when logind can be contained here, else why not, so a test can skip.
    static QString missingTools();

    // Starts the stand-in (once), then logind, and waits until logind owns its name on the bus.
    bool start();
    // Ends logind, and everything in its namespace; the stand-in and its record stay.
    void stop();
    // Empty when logind is contained as intended, else what is wrong.
    QString safetyProblem() const;
    // Asks logind to power off, after checking that it is safely contained.
    bool powerOff();
    // The stand-in reports its jobs finished with this result; logind takes a job it started as
    // ended and announces the shutdown over (PrepareForShutdown false).
    bool finishJobs(const QString& result = QStringLiteral("canceled"));

    // The agent's delay locks on shutdown as logind lists them, held by pid (by anyone: 0).
    int agentLocks(qint64 pid = 0) const;

    QList<Call> calls(const QString& member) const;
    // Forgets the calls recorded so far.
    bool clearCalls();
    // What logind has written to stderr so far.
    QString log() const;

private:
    qint64 ownerPid(const QString& busName) const;

    QString m_address;
    int m_inhibitDelayMaxSeconds;
    QDBusConnection m_bus;
    QTemporaryDir m_logFolder;
    std::unique_ptr<QProcess> m_standIn;
    std::unique_ptr<QProcess> m_namespace; // unshare, whose child is the namespace's first process
};
