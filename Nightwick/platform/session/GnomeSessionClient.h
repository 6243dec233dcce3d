#pragma once

#include "SessionManagerClient.h"

#include <QDBusConnection>
#include <QDBusServiceWatcher>
#include <QString>

class QDBusMessage;

// A client of GNOME's session manager (org.gnome.SessionManager). Asked whether the session may
// end, it says yes at once; told that it ends, it answers when the agent has let it go. A session
// manager that leaves in the middle of a log-out (a second log-out during the card ends it at
// once) counts as the order to stop.
class GnomeSessionClient final : public SessionManagerClient {
    Q_OBJECT
public:
    // startupId is DESKTOP_AUTOSTART_ID as the session started the agent with, or empty.
    GnomeSessionClient(QDBusConnection sessionBus, QString appId, QString startupId,
                       QObject* parent = nullptr);

    // Whether the session manager is on the bus. Waits at most half a second.
    static bool isRunning(const QDBusConnection& sessionBus);

    void start() override;
    void answerEndSession() override;

    // Whether the session manager has taken the agent as its client, and the agent listens.
    bool isRegistered() const { return !m_clientPath.isEmpty(); }

private slots:
    void queryEndSession(const QDBusMessage& message);
    void endSession(const QDBusMessage& message);
    void stop(const QDBusMessage& message);

private:
    void subscribe();
    void respond();

    QDBusConnection m_bus;
    QString m_appId;
    QString m_startupId;
    QString m_clientPath;
    QDBusServiceWatcher m_managerWatcher;
    bool m_endSessionWaiting = false;
    bool m_ending = false; // from EndSession on: nothing calls a log-out off after it
};
