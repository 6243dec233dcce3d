#include "GnomeSessionClient.h"

#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>

#include <limits>

namespace {

constexpr int callTimeoutMs = 500;
// libdbus's "no timeout". The registration's answer is worth having however late it comes: a
// session manager slow at a busy login has registered the agent all the same, and at log-out waits
// for an answer the agent gives only once it knows its client path.
constexpr int noTimeout = std::numeric_limits<int>::max();
const QString sessionManagerService = QStringLiteral("org.gnome.SessionManager");
const QString clientPrivateInterface = QStringLiteral("org.gnome.SessionManager.ClientPrivate");

} // namespace

GnomeSessionClient::GnomeSessionClient(QDBusConnection sessionBus, QString appId, QString startupId,
                                       QObject* parent)
    : SessionManagerClient(parent)
    , m_bus(std::move(sessionBus))
    , m_appId(std::move(appId))
    , m_startupId(std::move(startupId))
    , m_managerWatcher(sessionManagerService, m_bus, QDBusServiceWatcher::WatchForUnregistration)
{
    connect(&m_managerWatcher, &QDBusServiceWatcher::serviceUnregistered, this, [this] {
        if (m_ending) {
            m_endSessionWaiting = false;
            emit stopRequested();
        }
    });
}

bool GnomeSessionClient::isRunning(const QDBusConnection& sessionBus)
{
    if (!sessionBus.isConnected()) {
        return false;
    }
    QDBusMessage ask = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.DBus"), QStringLiteral("/org/freedesktop/DBus"),
        QStringLiteral("org.freedesktop.DBus"), QStringLiteral("NameHasOwner"));
    ask << sessionManagerService;
    const QDBusMessage reply = sessionBus.call(ask, QDBus::Block, callTimeoutMs);
    return reply.type() == QDBusMessage::ReplyMessage && reply.arguments().value(0).toBool();
}

void GnomeSessionClient::start()
{
    if (!m_bus.isConnected() || !m_clientPath.isEmpty()) {
        return;
    }
    QDBusMessage call = QDBusMessage::createMethodCall(
        sessionManagerService, QStringLiteral("/org/gnome/SessionManager"), sessionManagerService,
        QStringLiteral("RegisterClient"));
    call << m_appId << m_startupId;
    auto* watcher = new QDBusPendingCallWatcher(m_bus.asyncCall(call, noTimeout), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this,
            [this](QDBusPendingCallWatcher* finished) {
                const QDBusPendingReply<QDBusObjectPath> reply = *finished;
                finished->deleteLater();
                if (!reply.isValid()) {
                    qWarning("nightwick: could not register with the session manager: %s",
                             qPrintable(reply.error().message()));
                    return;
                }
                m_clientPath = reply.value().path();
                subscribe();
            });
}

void GnomeSessionClient::subscribe()
{
    m_bus.connect(sessionManagerService, m_clientPath, clientPrivateInterface,
                  QStringLiteral("QueryEndSession"), this, SLOT(queryEndSession(QDBusMessage)));
    m_bus.connect(sessionManagerService, m_clientPath, clientPrivateInterface,
                  QStringLiteral("EndSession"), this, SLOT(endSession(QDBusMessage)));
    m_bus.connect(sessionManagerService, m_clientPath, clientPrivateInterface,
                  QStringLiteral("Stop"), this, SLOT(stop(QDBusMessage)));
}

void GnomeSessionClient::queryEndSession(const QDBusMessage&)
{
    // The reminder belongs to the end of the session, not to the question whether it may end.
    respond();
}

void GnomeSessionClient::endSession(const QDBusMessage&)
{
    if (m_endSessionWaiting) {
        return;
    }
    m_endSessionWaiting = true;
    m_ending = true;
    emit endSessionRequested();
}

void GnomeSessionClient::stop(const QDBusMessage&)
{
    emit stopRequested();
}

void GnomeSessionClient::answerEndSession()
{
    if (!m_endSessionWaiting) {
        return;
    }
    m_endSessionWaiting = false;
    respond();
}

void GnomeSessionClient::respond()
{
    QDBusMessage call =
        QDBusMessage::createMethodCall(sessionManagerService, m_clientPath, clientPrivateInterface,
                                       QStringLiteral("EndSessionResponse"));
    call << true << QString();
    // The answer must be out before the agent leaves its event loop.
    m_bus.call(call, QDBus::Block, callTimeoutMs);
}
