#include "UtmpConsoleLogins.h"

#include <QDBusArgument>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusVariant>
#include <QDeadlineTimer>
#include <QVariantMap>

#include <algorithm>
#include <cstring>
#include <paths.h>
#include <unistd.h>
#include <utmpx.h>

namespace {

// All of logind's answers together, however many sessions the user has.
constexpr int lookupBudgetMs = 500;
const QString login1Service = QStringLiteral("org.freedesktop.login1");

std::optional<qint64> later(std::optional<qint64> a, std::optional<qint64> b)
{
    if (!a || !b) {
        return a ? a : b;
    }
    return std::max(*a, *b);
}

QString lineName(const utmpx& record)
{
    const char* line = record.ut_line;
    const auto length = static_cast<qsizetype>(strnlen(line, sizeof record.ut_line));
    return QString::fromUtf8(QByteArrayView(line, length));
}

} // namespace

UtmpConsoleLogins::UtmpConsoleLogins(QDBusConnection systemBus, QString utmpFile)
    : m_systemBus(std::move(systemBus))
    , m_utmpFile(std::move(utmpFile))
{
}

std::optional<qint64> UtmpConsoleLogins::newestLogin()
{
    return later(newestConsoleRecord(m_utmpFile), newestGraphicalSession());
}

std::optional<qint64> UtmpConsoleLogins::newestConsoleRecord(const QString& utmpFile)
{
    const QByteArray path = utmpFile.isEmpty() ? QByteArray(_PATH_UTMPX) : utmpFile.toLocal8Bit();
    if (utmpxname(path.constData()) != 0) {
        return std::nullopt;
    }
    std::optional<qint64> newest;
    setutxent();
    while (const utmpx* record = getutxent()) {
        if (record->ut_type != USER_PROCESS || lineName(*record) != QLatin1String("console")) {
            continue;
        }
        newest = later(newest, static_cast<qint64>(record->ut_tv.tv_sec));
    }
    endutxent();
    return newest;
}

std::optional<qint64> UtmpConsoleLogins::newestGraphicalSession()
{
    if (!m_systemBus.isConnected()) {
        return std::nullopt;
    }
    const QDeadlineTimer budget(lookupBudgetMs);
    const QDBusMessage list = m_systemBus.call(
        QDBusMessage::createMethodCall(login1Service, QStringLiteral("/org/freedesktop/login1"),
                                       QStringLiteral("org.freedesktop.login1.Manager"),
                                       QStringLiteral("ListSessions")),
        QDBus::Block, lookupBudgetMs);
    if (list.type() != QDBusMessage::ReplyMessage || list.arguments().size() != 1 ||
        list.signature() != QLatin1String("a(susso)")) {
        return std::nullopt;
    }
    const uint ownUid = getuid();
    std::optional<qint64> newest;
    const auto sessions = list.arguments().first().value<QDBusArgument>();
    sessions.beginArray();
    while (!sessions.atEnd()) {
        QString id, userName, seat;
        uint uid = 0;
        QDBusObjectPath path;
        sessions.beginStructure();
        sessions >> id >> uid >> userName >> seat >> path;
        sessions.endStructure();
        if (uid != ownUid) {
            continue;
        }
        QDBusMessage getAll = QDBusMessage::createMethodCall(
            login1Service, path.path(), QStringLiteral("org.freedesktop.DBus.Properties"),
            QStringLiteral("GetAll"));
        getAll << QStringLiteral("org.freedesktop.login1.Session");
        if (budget.hasExpired()) {
            continue;
        }
        const QDBusMessage reply =
            m_systemBus.call(getAll, QDBus::Block, static_cast<int>(budget.remainingTime()));
        if (reply.type() != QDBusMessage::ReplyMessage ||
            reply.signature() != QLatin1String("a{sv}")) {
            continue;
        }
        QVariantMap properties;
        reply.arguments().first().value<QDBusArgument>() >> properties;
        const QString type = properties.value(QStringLiteral("Type")).toString();
        const QVariant timestamp = properties.value(QStringLiteral("Timestamp"));
        if ((type != QLatin1String("x11") && type != QLatin1String("wayland")) ||
            timestamp.typeId() != QMetaType::ULongLong) {
            continue;
        }
        // logind counts microseconds since 1970.
        newest = later(newest, static_cast<qint64>(timestamp.toULongLong() / 1000000));
    }
    sessions.endArray();
    return newest;
}
