#pragma once

#include "SessionManagerClient.h"

#include <QByteArray>
#include <QFutureWatcher>
#include <QString>

#include <memory>

class QSocketNotifier;
struct _SmcConn;

// A client of the X11 session manager named by SESSION_MANAGER (XSMP: Xfce, Plasma on X11, xsm;
// MATE's and Cinnamon's session managers speak it too, but they are GNOME's kind on D-Bus as well,
// which the agent prefers). Only a save-yourself for a log-out that lets clients interact asks for
// the card; the agent then keeps the session manager waiting until answerEndSession(). A
// checkpoint, or a log-out that may not interact, is answered at once. The agent is told to stop
// only at the session manager's die, and asks never to be restarted by it: its autostart entry
// starts it. Nothing the session manager does ends the process: libICE's handlers that would exit
// are replaced, and a lost connection in the middle of a log-out counts as the order to stop.
class XsmpSessionClient final : public SessionManagerClient {
    Q_OBJECT
public:
    // address is SESSION_MANAGER as the session gave it to the agent.
    XsmpSessionClient(QByteArray address, QString programFile, QObject* parent = nullptr);
    ~XsmpSessionClient() override;

    // Registers without blocking: libSM's handshake runs on a thread of its own, since a session
    // manager that hangs would otherwise hang the agent.
    void start() override;
    void answerEndSession() override;

private:
    struct Opened {
        _SmcConn* connection = nullptr;
        QString clientId;
        QString error;
    };
    static Opened open(const QByteArray& address, void* client);
    static void onSaveYourself(_SmcConn* connection, void* client, int saveType, int shutdown,
                               int interactStyle, int fast);
    static void onInteract(_SmcConn* connection, void* client);
    static void onDie(_SmcConn* connection, void* client);
    static void onSaveComplete(_SmcConn* connection, void* client);
    static void onShutdownCancelled(_SmcConn* connection, void* client);

    void opened();
    void setProperties();
    void processMessages();
    void finishSave();
    void closeConnection();

    QByteArray m_address;
    QString m_programFile;
    QString m_clientId;
    QFutureWatcher<Opened> m_opening;
    _SmcConn* m_connection = nullptr;
    std::unique_ptr<QSocketNotifier> m_notifier;
    bool m_saveOwed = false;    // a save-yourself waits for its SaveYourselfDone
    bool m_interacting = false; // the session manager let the agent interact; the card may show
    bool m_loggingOut = false;  // from a save-yourself for a log-out until it is called off
};
