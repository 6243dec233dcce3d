#include "KWinActiveOutput.h"

#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QRegularExpression>

#include <memory>

namespace {

QDBusMessage kwinCall(const QString& method)
{
    return QDBusMessage::createMethodCall(QStringLiteral("org.kde.KWin"), QStringLiteral("/KWin"),
                                          QStringLiteral("org.kde.KWin"), method);
}

// "x,y,wxh", as KWin writes a rectangle.
std::optional<QRect> parseGeometry(QStringView text)
{
    static const QRegularExpression rectangle(QStringLiteral("^(-?\\d+),(-?\\d+),(\\d+)x(\\d+)$"));
    const QRegularExpressionMatch match = rectangle.match(text.toString());
    const QRect found(match.captured(1).toInt(), match.captured(2).toInt(),
                      match.captured(3).toInt(), match.captured(4).toInt());
    return match.hasMatch() && found.isValid() ? std::optional(found) : std::nullopt;
}

} // namespace

KWinActiveOutput::KWinActiveOutput(QDBusConnection bus, QObject* parent)
    : QObject(parent)
    , m_bus(std::move(bus))
{
}

void KWinActiveOutput::ask(std::chrono::milliseconds budget,
                           std::function<void(std::optional<QRect>)> answer)
{
    // Both questions go at once; the answer waits for the second reply. The card waits for the
    // answer, and is better on the primary screen in time than on the right one late, so each
    // question times out within the budget.
    struct Replies {
        QString name; // empty until answered
        QString information;
        int pending = 2;
        std::function<void(std::optional<QRect>)> answer;
    };
    auto replies = std::make_shared<Replies>();
    replies->answer = std::move(answer);
    const auto ask = [&](const QString& method, QString Replies::*into) {
        auto* watcher = new QDBusPendingCallWatcher(
            m_bus.asyncCall(kwinCall(method), int(budget.count())), this);
        connect(watcher, &QDBusPendingCallWatcher::finished, this,
                [replies, into](QDBusPendingCallWatcher* finished) {
                    finished->deleteLater();
                    const QDBusPendingReply<QString> reply = *finished;
                    if (reply.isValid()) {
                        (*replies).*into = reply.value();
                    }
                    if (--replies->pending == 0) {
                        replies->answer(kwinOutputGeometry(replies->information, replies->name));
                    }
                });
    };
    ask(QStringLiteral("activeOutputName"), &Replies::name);
    ask(QStringLiteral("supportInformation"), &Replies::information);
}

std::optional<QRect> kwinOutputGeometry(QStringView supportInformation, QStringView name)
{
    bool inSection = false;
    bool named = false;
    bool enabled = false;
    for (QStringView line : supportInformation.split(u'\n')) {
        line = line.trimmed();
        if (line == u"Screens") {
            inSection = true;
            continue;
        }
        if (!inSection) {
            continue;
        }
        if (line.startsWith(u"Screen ") && line.endsWith(u':')) {
            named = enabled = false; // the next output's lines
        } else if (line.startsWith(u"Name: ")) {
            named = line.sliced(6) == name;
        } else if (line.startsWith(u"Enabled: ")) {
            enabled = line.sliced(9) == u"1";
        } else if (line.startsWith(u"Geometry: ") && named && enabled) {
            return parseGeometry(line.sliced(10));
        } else if (!line.isEmpty() && !line.contains(u':') && !line.startsWith(u'-') &&
                   !line.startsWith(u'=')) {
            inSection = false; // the next section's title
        }
    }
    return std::nullopt;
}
