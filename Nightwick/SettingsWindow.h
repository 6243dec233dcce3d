#pragma once

#include <QSize>
#include <QWidget>

#include <functional>
#include <memory>

class AppModel;
class BatteryLine;
class ChoiceRow;
class Clock;
class CommandRow;
class QKeyEvent;
class Timer;

// The settings page: the mouse's battery line, the threshold and open-at-login choices, and the
// two commands. It keeps no settings of its own; it redraws from the model on every change.
class SettingsView : public QWidget {
    Q_OBJECT
public:
    // What the commands do beyond the page; the agent supplies both.
    struct Actions {
        std::function<void()> showTestReminder;
        std::function<void()> uninstall;
    };

    static constexpr QSize size{560, 376};

    SettingsView(AppModel& model, Actions actions, Clock& clock, QWidget* parent = nullptr);
    ~SettingsView() override;

private:
    void buildPage();
    void showModel();
    void uninstallTapped();
    void setConfirmingUninstall(bool confirming);

    AppModel& m_model;
    Actions m_actions;
    std::unique_ptr<Timer> m_disarmTimer;
    bool m_confirmingUninstall = false;

    // Children that change with the model, owned through their Qt parent (this view).
    BatteryLine* m_batteryLine = nullptr;
    ChoiceRow* m_thresholdChoices = nullptr;
    ChoiceRow* m_loginChoices = nullptr;
    CommandRow* m_uninstallRow = nullptr;
};

// The top-level settings window: exactly the page's size, dark whatever the desktop theme,
// moved by dragging its background, hidden by Ctrl+W.
class SettingsNSWindow : public QWidget {
    Q_OBJECT
public:
    SettingsNSWindow(AppModel& model, SettingsView::Actions actions, Clock& clock);

    // Only Ctrl+W, with no other modifier, closes the window.
    static bool isCloseShortcut(const QKeyEvent& event);

protected:
    void keyPressEvent(QKeyEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
};

// Owns the settings window: builds it at the first show() and keeps it, closed or not, for
// as long as the controller lives.
class SettingsWindowController {
public:
    SettingsWindowController(AppModel& model, SettingsView::Actions actions, Clock& clock);
    ~SettingsWindowController();

    SettingsWindowController(const SettingsWindowController&) = delete;
    SettingsWindowController& operator=(const SettingsWindowController&) = delete;

    // Refreshes the model so the page opens on a fresh reading, builds the window the first
    // time (centred), and brings it to the front.
    void show();
    // Nothing until the first show().
    QWidget* window() const;

private:
    AppModel& m_model;
    SettingsView::Actions m_actions;
    Clock& m_clock;
    std::unique_ptr<SettingsNSWindow> m_window;
};
