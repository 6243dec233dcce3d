#include "SessionTranscript.h"

#include <QDBusMessage>
#include <QProcess>
#include <QRegularExpression>

#include <chrono>

void SessionTranscript::listenToGnome(const QDBusConnection& bus)
{
    for (const char* member : {"QueryEndSession", "EndSession", "CancelEndSession", "Stop"}) {
        QDBusConnection(bus).connect(QString(), QString(), "org.gnome.SessionManager.ClientPrivate",
                                     member, this, SLOT(gnomeSignalled(QDBusMessage)));
    }
}

void SessionTranscript::gnomeSignalled(const QDBusMessage& message)
{
    m_messages.push_back({message.member(), nowMs()});
}

void SessionTranscript::follow(QProcess& xsmpClient)
{
    connect(&xsmpClient, &QProcess::readyReadStandardOutput, this, [this, &xsmpClient] {
        while (xsmpClient.canReadLine()) {
            const QString line = QString::fromUtf8(xsmpClient.readLine()).trimmed();
            const qsizetype space = line.indexOf(' ');
            m_messages.push_back({line.mid(space + 1), line.left(space).toLongLong()});
        }
    });
}

std::optional<qint64> SessionTranscript::heard(const QString& pattern, qint64 since) const
{
    const QRegularExpression what(pattern);
    for (const Message& message : m_messages) {
        if (message.ms >= since && what.match(message.what).hasMatch()) {
            return message.ms;
        }
    }
    return std::nullopt;
}

qint64 SessionTranscript::nowMs()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}
