#pragma once

#include <QDateTime>
#include <QObject>
#include <QStringList>

#include <memory>
#include <optional>

#include "AppModel.h"
#include "ReminderWindow.h"
#include "platform/Clock.h"

class ConsoleLogins;

// The agent's life: the launch sequence, the battery poll, the shutdown gate and the settings
// window's wiring.
class AppDelegate : public QObject {
    Q_OBJECT
public:
    struct Services {
        AppModel::Services model;
        ConsoleLogins& consoleLogins;
    };

    static constexpr std::chrono::seconds pollInterval{600};
    // A launch sooner than this after the console login counts as a launch at login.
    static constexpr double loginLaunchWindowSeconds = 120.0;

    // Builds the model, which reads the battery once, and the reminder controller.
    explicit AppDelegate(Services services, QObject* parent = nullptr);
    ~AppDelegate() override;

    AppModel& model() { return m_model; }
    ReminderWindow& reminder() { return m_reminder; }
    const Timer* pollTimer() const { return m_pollTimer.get(); }

    // Runs once the event loop has started.
    void applicationDidFinishLaunching(const QStringList& arguments);

    // Started by the autostart entry, or by hand within two minutes of the console login.
    static bool isLaunchAtLogin(const QStringList& arguments,
                                std::optional<double> secondsSinceConsoleLogin);
    // The age of the newest console login, or nothing when none is recorded.
    static std::optional<double> secondsSinceConsoleLogin(ConsoleLogins& logins,
                                                          const QDateTime& now);

private:
    void subscribeToPowerOff();
    void openSettingsWindow();

    Services m_services;
    AppModel m_model;
    ReminderWindow m_reminder;
    std::unique_ptr<Timer> m_pollTimer;
    std::optional<QDateTime> m_reminderStartedAt;
    bool m_terminationPending = false;
};
