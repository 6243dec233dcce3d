#pragma once

#include "PrivateBus.h"
#include "RealLogind.h"
#include "SessionTranscript.h"
#include "SessionWindows.h"
#include "UPowerTestbed.h"

#include <QProcess>
#include <QTemporaryDir>

#include <memory>
#include <optional>
#include <sys/types.h>
#include <vector>

// A desktop session of the test's own under Xvfb: private system and session buses, a real
// session manager, and the real agent (NIGHTWICK_BINARY), which the session manager starts from
// an autostart entry as a login would. Processes the test starts die with it
// (PR_SET_PDEATHSIG); what the session manager started is ended by pid with the session.
class HeadlessSession {
public:
    enum class Manager { Gnome, Xfce, Xsm };
    // CalledOff: another program calls the log-out off, on GNOME an application that inhibits
    // it, on X11 a client that cancels it once the others have answered, as a user pressing
    // Cancel would. Uninteractive: a log-out that lets no client interact (xsm only).
    enum class LogOut { GoesThrough, CalledOff, Uninteractive };

    explicit HeadlessSession(Manager manager);
    ~HeadlessSession();
    HeadlessSession(const HeadlessSession&) = delete;
    HeadlessSession& operator=(const HeadlessSession&) = delete;

    // Empty when everything this session manager's test needs is there, else what is missing.
    static QString missingTools(Manager manager);

    // True once the agent has joined the session manager, with a mouse at percent.
    bool start(int mousePercent, bool charging);

    bool logOut(LogOut kind = LogOut::GoesThrough);
    // A session save without a log-out, letting clients interact; not on GNOME.
    bool checkpoint();

    // The card: a 560-pixel-wide override-redirect window titled "nightwick".
    bool cardShown() const;
    // A click in the middle of the card last seen.
    void clickCard() const;

    bool agentRunning() const;
    std::optional<int> agentExitStatus() const;
    // The session the X11 session manager saved last, as it stores it; empty when none.
    QByteArray savedSession() const;
    // The agent's delay locks, as logind lists them.
    int agentLocks() const;

    // What the session manager told the other clients (an XSMP client of the test's, or the
    // D-Bus clients on GNOME).
    const SessionTranscript& transcript() const { return m_transcript; }

private:
    std::unique_ptr<QProcess> launch(const QString& program, const QStringList& arguments,
                                     QProcess::ProcessChannelMode channels, bool quiet = false);
    // What the agent's starter left in the record folder.
    QByteArray record(const QString& name) const;
    bool startManager();
    bool agentJoined();
    bool startPeer(bool cancels);
    void endAll();

    Manager m_manager;
    QTemporaryDir m_dir;
    QProcessEnvironment m_environment;
    SessionWindows m_windows{m_environment};
    PrivateBus m_system{PrivateBus::Kind::System};
    PrivateBus m_session{PrivateBus::Kind::Session};
    std::unique_ptr<RealLogind> m_logind;
    std::unique_ptr<UPowerTestbed> m_upower;
    std::vector<std::unique_ptr<QProcess>> m_processes; // in the order they started
    QProcess* m_managerProcess = nullptr;
    QProcess* m_peer = nullptr;
    QByteArray m_agentCommand;
    QByteArray m_managerLog;
    SessionTranscript m_transcript;
    pid_t m_agentPid = 0;
};
