#pragma once

#include "ShutdownInhibitor.h"

#include <QDBusConnection>
#include <QDBusServiceWatcher>
#include <QTimer>

class QDBusMessage;

// logind's delay lock on shutdown. The lock is taken at start, again after a cancelled shutdown
// and whenever logind comes back on the bus; logind refusing it, or not there, is asked again
// later, less and less often. Exactly one descriptor of it is kept open, so closing that one
// really lets the shutdown go on.
class LogindShutdownInhibitor final : public ShutdownInhibitor {
    Q_OBJECT
public:
    // logind's own default for InhibitDelayMaxUSec, used until the real value is known.
    static constexpr std::chrono::milliseconds defaultHoldLimit{5000};
    // The wait before asking again for a lock that was refused, doubled at each refusal up to the
    // longest.
    static constexpr std::chrono::milliseconds firstRetry{1000};
    static constexpr std::chrono::milliseconds longestRetry{60000};

    explicit LogindShutdownInhibitor(QDBusConnection systemBus, QObject* parent = nullptr);
    ~LogindShutdownInhibitor() override;

    void start() override;
    void release() override;
    bool isShutdownAnnounced() const override { return m_announced; }
    std::chrono::milliseconds holdLimit() const override { return m_holdLimit; }

    bool isHeld() const { return m_lockFd >= 0; }

private slots:
    // systemd may send both signals for one shutdown; the state change happens once.
    void prepareForShutdown(const QDBusMessage& message);

private:
    void take();
    void adopt(int descriptor);
    void retryLater();
    void closeLock();
    void readHoldLimit();
    void logindAppeared();

    QDBusConnection m_bus;
    QDBusServiceWatcher m_logindWatcher;
    QTimer m_retryTimer;
    std::chrono::milliseconds m_retryDelay = firstRetry;
    int m_lockFd = -1;
    bool m_wanted = true; // false while an announced shutdown has been let go
    bool m_taking = false;
    quint64 m_logindGeneration = 0; // counts logind's arrivals on the bus
    bool m_announced = false;
    std::chrono::milliseconds m_holdLimit = defaultHoldLimit;
};
