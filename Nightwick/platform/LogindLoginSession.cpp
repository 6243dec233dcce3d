#include "LogindLoginSession.h"

#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusVariant>

#include <unistd.h>

namespace {

constexpr int callTimeoutMs = 500;
const QString login1Service = QStringLiteral("org.freedesktop.login1");

} // namespace

LogindLoginSession::LogindLoginSession(QDBusConnection systemBus)
    : m_bus(std::move(systemBus))
{
}

bool LogindLoginSession::isClosing()
{
    if (!m_bus.isConnected()) {
        return false;
    }
    QDBusMessage findSession = QDBusMessage::createMethodCall(
        login1Service, QStringLiteral("/org/freedesktop/login1"),
        QStringLiteral("org.freedesktop.login1.Manager"), QStringLiteral("GetSessionByPID"));
    findSession << static_cast<uint>(::getpid());
    const QDBusMessage session = m_bus.call(findSession, QDBus::Block, callTimeoutMs);
    if (session.type() != QDBusMessage::ReplyMessage || session.signature() != QLatin1String("o")) {
        return false;
    }
    QDBusMessage getState = QDBusMessage::createMethodCall(
        login1Service, session.arguments().constFirst().value<QDBusObjectPath>().path(),
        QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("Get"));
    getState << QStringLiteral("org.freedesktop.login1.Session") << QStringLiteral("State");
    const QDBusMessage state = m_bus.call(getState, QDBus::Block, callTimeoutMs);
    if (state.type() != QDBusMessage::ReplyMessage || state.signature() != QLatin1String("v")) {
        return false;
    }
    return state.arguments().constFirst().value<QDBusVariant>().variant().toString() ==
           QLatin1String("closing");
}
