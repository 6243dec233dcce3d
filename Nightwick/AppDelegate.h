#pragma once

#include <QDateTime>
#include <QObject>
#include <QStringList>

#include <memory>
#include <optional>

#include "AppModel.h"
#include "ReminderWindow.h"
#include "SettingsWindow.h"
#include "Clock.h"

class ActiveOutput;
class ConsoleLogins;
class LoginSession;
class SessionManagerClient;
class ShutdownInhibitor;

// The agent's life: the launch sequence, the battery poll, the shutdown gate and the settings
// window's wiring.
class AppDelegate : public QObject {
    Q_OBJECT
public:
    struct Services {
        AppModel::Services model;
        ConsoleLogins& consoleLogins;
        ShutdownInhibitor& shutdownInhibitor;
        LoginSession& loginSession;
        SessionManagerClient* sessionManager = nullptr; // none on desktops without one
        ActiveOutput* activeOutput = nullptr; // asked where the card goes, where that is needed
    };

    // Why the agent is asked to quit.
    enum class QuitReason { Ordinary, Shutdown, LogOut };
    enum class TerminateReply { Now, Later };

    // A reminder started sooner than this after the previous one is refused.
    static constexpr double reminderSpacingSeconds = 30.0;
    static constexpr double reminderDurationSeconds = 4.0;
    // The card leaves this long before the system would stop waiting on the shutdown lock.
    static constexpr std::chrono::milliseconds holdLimitMargin{500};

    // The level the test reminder shows when no mouse has been read.
    static constexpr qint64 testReminderFallbackPercent = 5;

    static constexpr std::chrono::seconds pollInterval{600};
    // A launch sooner than this after the console login counts as a launch at login.
    static constexpr double loginLaunchWindowSeconds = 120.0;

    // Builds the model, which reads the battery once, and the reminder controller.
    explicit AppDelegate(Services services, QObject* parent = nullptr);
    ~AppDelegate() override;

    AppModel& model() { return m_model; }
    ReminderWindow& reminder() { return m_reminder; }

    // Runs once the event loop has started.
    void applicationDidFinishLaunching(const QStringList& arguments);

    // The system announced a shutdown, restart or power-off.
    void willPowerOff();
    // Later holds the termination back until the card on screen is dismissed; readyToTerminate
    // follows then.
    TerminateReply applicationShouldTerminate(QuitReason reason);
    // SIGTERM, SIGINT or SIGHUP: the agent's way of being asked to quit.
    void terminationSignalled();
    bool terminationPending() const { return m_terminationPending; }
    const std::optional<QDateTime>& reminderStartedAt() const { return m_reminderStartedAt; }

    // The settings window's controller, built at its first use.
    SettingsWindowController& settings();
    // Another launch, or the desktop, asked the running agent to show itself.
    void applicationShouldHandleReopen();

    // Started by the autostart entry.
    static bool isAutostartLaunch(const QStringList& arguments);
    // Started by the autostart entry, or by hand within two minutes of the console login.
    static bool isLaunchAtLogin(const QStringList& arguments,
                                std::optional<double> secondsSinceConsoleLogin);
    // The age of the newest console login, or nothing when none is recorded.
    static std::optional<double> secondsSinceConsoleLogin(ConsoleLogins& logins,
                                                          const QDateTime& now);

protected:
    // Routes the window system's own quit requests through the gate.
    bool eventFilter(QObject* watched, QEvent* event) override;

signals:
    // The agent may end now: every termination that waited has been answered.
    void readyToTerminate();

private:
    void subscribeToPowerOff();
    void openSettingsWindow();

    // The shutdown gate.
    static bool isQuitForPowerOff(QuitReason reason);
    QuitReason reasonForSignal();
    void remindIfNeeded();
    void replyToApplicationShouldTerminate(bool shouldTerminate);
    void reminderDismissed();
    void endSessionRequested();
    void stopRequested();
    void watchHoldLimit();
    void requestTermination(QuitReason reason);

    // The settings window's commands.
    void showTestReminder();
    void uninstall();

    Services m_services;
    AppModel m_model;
    ReminderWindow m_reminder;
    std::unique_ptr<Timer> m_pollTimer;
    std::optional<QDateTime> m_reminderStartedAt;
    bool m_terminationPending = false;
    bool m_endSessionWaiting = false; // the session manager's log-out waits for the card
    std::unique_ptr<Timer> m_holdLimitTimer;
    std::unique_ptr<SettingsWindowController> m_settings;
};
