#include "LogindShutdownInhibitor.h"

#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusUnixFileDescriptor>
#include <QDBusVariant>

#include <algorithm>
#include <fcntl.h>
#include <unistd.h>

namespace {

const QString login1Service = QStringLiteral("org.freedesktop.login1");
const QString login1Path = QStringLiteral("/org/freedesktop/login1");
const QString managerInterface = QStringLiteral("org.freedesktop.login1.Manager");

} // namespace

LogindShutdownInhibitor::LogindShutdownInhibitor(QDBusConnection systemBus, QObject* parent)
    : ShutdownInhibitor(parent)
    , m_bus(std::move(systemBus))
    , m_logindWatcher(login1Service, m_bus, QDBusServiceWatcher::WatchForOwnerChange)
{
    m_retryTimer.setSingleShot(true);
    connect(&m_retryTimer, &QTimer::timeout, this, &LogindShutdownInhibitor::take);
}

LogindShutdownInhibitor::~LogindShutdownInhibitor()
{
    closeLock();
}

void LogindShutdownInhibitor::start()
{
    if (!m_bus.isConnected()) {
        return;
    }
    for (const QString& signal :
         {QStringLiteral("PrepareForShutdown"), QStringLiteral("PrepareForShutdownWithMetadata")}) {
        m_bus.connect(login1Service, login1Path, managerInterface, signal, this,
                      SLOT(prepareForShutdown(QDBusMessage)));
    }
    connect(&m_logindWatcher, &QDBusServiceWatcher::serviceOwnerChanged, this,
            [this](const QString&, const QString&, const QString& newOwner) {
                // A new logind knows nothing of the old one's locks or announcements.
                closeLock();
                m_announced = false;
                if (!newOwner.isEmpty()) {
                    logindAppeared();
                }
            });
    logindAppeared();
}

void LogindShutdownInhibitor::logindAppeared()
{
    ++m_logindGeneration;
    m_taking = false;
    m_wanted = true;
    m_retryDelay = firstRetry;
    take();
    readHoldLimit();
}

void LogindShutdownInhibitor::release()
{
    m_wanted = false;
    m_retryTimer.stop();
    closeLock();
}

void LogindShutdownInhibitor::prepareForShutdown(const QDBusMessage& message)
{
    const bool starting = message.arguments().value(0).toBool();
    if (starting == m_announced) {
        return;
    }
    m_announced = starting;
    if (starting) {
        emit shutdownAnnounced();
        return;
    }
    m_wanted = true;
    take();
    emit shutdownCancelled();
}

void LogindShutdownInhibitor::take()
{
    if (m_lockFd >= 0 || m_taking) {
        return;
    }
    m_retryTimer.stop();
    QDBusMessage call = QDBusMessage::createMethodCall(login1Service, login1Path, managerInterface,
                                                       QStringLiteral("Inhibit"));
    call << QStringLiteral("shutdown") << QStringLiteral("Nightwick")
         << QStringLiteral("Waits for shutdown to show the reminder") << QStringLiteral("delay");
    m_taking = true;
    // The bus's own timeout, not a short one: on a busy machine at login logind may take seconds,
    // and its late answer is the lock the agent needs.
    auto* watcher = new QDBusPendingCallWatcher(m_bus.asyncCall(call), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this,
            [this, generation = m_logindGeneration](QDBusPendingCallWatcher* finished) {
                // An answer from a logind that has gone since is worth nothing.
                if (generation == m_logindGeneration) {
                    m_taking = false;
                    const QDBusPendingReply<QDBusUnixFileDescriptor> reply = *finished;
                    if (reply.isValid() && reply.value().isValid()) {
                        m_retryDelay = firstRetry;
                        adopt(reply.value().fileDescriptor());
                    } else {
                        retryLater();
                    }
                }
                // The reply holds copies of the descriptor; they go with the watcher, and the
                // lock then lives in m_lockFd alone.
                finished->deleteLater();
            });
}

void LogindShutdownInhibitor::adopt(int descriptor)
{
    // Between asking and the answer the shutdown may have come and been let go already.
    if (!m_wanted || m_lockFd >= 0) {
        return;
    }
    m_lockFd = ::fcntl(descriptor, F_DUPFD_CLOEXEC, 0);
}

void LogindShutdownInhibitor::retryLater()
{
    if (!m_wanted || m_lockFd >= 0) {
        return;
    }
    m_retryTimer.start(m_retryDelay);
    m_retryDelay = std::min(m_retryDelay * 2, longestRetry);
}

void LogindShutdownInhibitor::closeLock()
{
    if (m_lockFd >= 0) {
        ::close(m_lockFd);
        m_lockFd = -1;
    }
}

void LogindShutdownInhibitor::readHoldLimit()
{
    QDBusMessage call = QDBusMessage::createMethodCall(
        login1Service, login1Path, QStringLiteral("org.freedesktop.DBus.Properties"),
        QStringLiteral("Get"));
    call << managerInterface << QStringLiteral("InhibitDelayMaxUSec");
    auto* watcher = new QDBusPendingCallWatcher(m_bus.asyncCall(call), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this,
            [this](QDBusPendingCallWatcher* finished) {
                const QDBusPendingReply<QDBusVariant> reply = *finished;
                const QVariant value = reply.isValid() ? reply.value().variant() : QVariant();
                if (value.typeId() == QMetaType::ULongLong) {
                    // "infinity" is the largest 64-bit value; an hour is as good as forever here.
                    const qulonglong micros = std::min<qulonglong>(value.toULongLong(), 3600000000);
                    m_holdLimit = std::chrono::milliseconds(static_cast<qint64>(micros / 1000));
                }
                finished->deleteLater();
            });
}
