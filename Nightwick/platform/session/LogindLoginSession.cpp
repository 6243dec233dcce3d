#include "LogindLoginSession.h"

#include <QDBusArgument>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusVariant>
#include <QDeadlineTimer>

#include <algorithm>
#include <unistd.h>

namespace {

// All of logind's answers together: asked from a signal handler's turn of the event loop, a
// hung logind may cost the quit no more than this.
constexpr int lookupBudgetMs = 500;
const QString login1Service = QStringLiteral("org.freedesktop.login1");
const QString propertiesInterface = QStringLiteral("org.freedesktop.DBus.Properties");

int remainingMs(const QDeadlineTimer& deadline)
{
    return static_cast<int>(std::max<qint64>(deadline.remainingTime(), 1));
}

// The reply's only argument, or an invalid value when the call failed or answered otherwise.
QVariant ask(const QDBusConnection& bus, const QDBusMessage& call, const char* signature,
             const QDeadlineTimer& deadline)
{
    if (deadline.hasExpired()) {
        return {};
    }
    const QDBusMessage reply = bus.call(call, QDBus::Block, remainingMs(deadline));
    if (reply.type() != QDBusMessage::ReplyMessage ||
        reply.signature() != QLatin1String(signature)) {
        return {};
    }
    return reply.arguments().constFirst();
}

QVariant property(const QDBusConnection& bus, const QString& path, const QString& interface,
                  const QString& name, const QDeadlineTimer& deadline)
{
    QDBusMessage get = QDBusMessage::createMethodCall(login1Service, path, propertiesInterface,
                                                      QStringLiteral("Get"));
    get << interface << name;
    return ask(bus, get, "v", deadline).value<QDBusVariant>().variant();
}

QDBusMessage managerCall(const QString& method)
{
    return QDBusMessage::createMethodCall(login1Service, QStringLiteral("/org/freedesktop/login1"),
                                          QStringLiteral("org.freedesktop.login1.Manager"), method);
}

} // namespace

LogindLoginSession::LogindLoginSession(QDBusConnection systemBus)
    : m_bus(std::move(systemBus))
{
}

QString LogindLoginSession::sessionPath(const QDeadlineTimer& deadline) const
{
    QDBusMessage bySession = managerCall(QStringLiteral("GetSessionByPID"));
    bySession << static_cast<uint>(::getpid());
    const QVariant own = ask(m_bus, bySession, "o", deadline);
    if (own.isValid()) {
        return own.value<QDBusObjectPath>().path();
    }
    // Started by the user's service manager, as recent GNOME and Plasma start autostart
    // programs, the agent belongs to no session: the user's graphical one is their Display.
    QDBusMessage byUser = managerCall(QStringLiteral("GetUser"));
    byUser << static_cast<uint>(::getuid());
    const QString user = ask(m_bus, byUser, "o", deadline).value<QDBusObjectPath>().path();
    if (user.isEmpty()) {
        return {};
    }
    const QVariant display = property(m_bus, user, QStringLiteral("org.freedesktop.login1.User"),
                                      QStringLiteral("Display"), deadline);
    QString id;
    QDBusObjectPath path;
    if (display.userType() != qMetaTypeId<QDBusArgument>()) {
        return {};
    }
    const auto structure = display.value<QDBusArgument>();
    structure.beginStructure();
    structure >> id >> path;
    structure.endStructure();
    // logind names "no session" with the root path.
    return path.path() == QLatin1String("/") ? QString() : path.path();
}

bool LogindLoginSession::isClosing()
{
    if (!m_bus.isConnected()) {
        return false;
    }
    const QDeadlineTimer deadline(lookupBudgetMs);
    const QString session = sessionPath(deadline);
    if (session.isEmpty()) {
        return false;
    }
    return property(m_bus, session, QStringLiteral("org.freedesktop.login1.Session"),
                    QStringLiteral("State"), deadline)
               .toString() == QLatin1String("closing");
}
