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
class SettingsNSWindow;
class TextLine;
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

    // True between the first click on "uninstall" and the disarm 4 seconds later.
    bool isConfirmingUninstall() const { return m_confirmingUninstall; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    void buildPage();
    void showModel();
    void uninstallTapped();
    void setConfirmingUninstall(bool confirming);
    void layoutPage();

    AppModel& m_model;
    Actions m_actions;
    std::unique_ptr<Timer> m_disarmTimer;
    bool m_confirmingUninstall = false;

    // Children, owned through their Qt parent (this view).
    TextLine* m_headline = nullptr;
    TextLine* m_tagline = nullptr;
    TextLine* m_mouseLabel = nullptr;
    TextLine* m_remindLabel = nullptr;
    TextLine* m_loginLabel = nullptr;
    BatteryLine* m_batteryLine = nullptr;
    ChoiceRow* m_thresholdChoices = nullptr;
    ChoiceRow* m_loginChoices = nullptr;
    CommandRow* m_testReminderRow = nullptr;
    CommandRow* m_uninstallRow = nullptr;
    int m_firstRuleY = 0;
    int m_secondRuleY = 0;
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
