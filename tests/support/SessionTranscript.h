#pragma once

#include <QDBusConnection>
#include <QObject>
#include <QString>

#include <optional>
#include <vector>

class QDBusMessage;
class QProcess;

// What a session manager told its other clients, and when, in milliseconds of CLOCK_MONOTONIC
// as nowMs() gives them: GNOME's broadcast signals to its D-Bus clients, which anyone may hear,
// or the lines an XSMP client of the test's prints ("<ms> <what>").
class SessionTranscript : public QObject {
    Q_OBJECT
public:
    void listenToGnome(const QDBusConnection& bus);
    void follow(QProcess& xsmpClient);

    // When the first message the pattern matches came, at or after `since`.
    std::optional<qint64> heard(const QString& pattern, qint64 since = 0) const;
    static qint64 nowMs();

private slots:
    void gnomeSignalled(const QDBusMessage& message);

private:
    struct Message {
        QString what;
        qint64 ms;
    };
    std::vector<Message> m_messages;
};
