#pragma once

#include <QObject>
#include <QPoint>

#include <functional>
#include <memory>
#include <optional>

class ActiveOutput;
class Clock;

// Puts the shutdown reminder card on screen and takes it away again: one at a time, closing on
// the first click, the first key or its time-out, and running the caller's completion once.
class ReminderWindow : public QObject {
    Q_OBJECT
public:
    // `activeOutput` places the card where the pointer cannot be seen (KWin through XWayland).
    explicit ReminderWindow(Clock& clock, ActiveOutput* activeOutput = nullptr,
                            QObject* parent = nullptr);
    ~ReminderWindow() override;

    // True from show() until the reminder is dismissed.
    bool isVisible() const;

    // Does nothing while a reminder is open (its completion is then never run). Otherwise the
    // completion runs once, from a later turn of the event loop, after the window has left the
    // screen and isVisible() has become false.
    void show(qint64 batteryPercent, double duration, std::function<void()> completion);
    // Closes the open reminder, if any, and runs its completion.
    void dismiss();

private:
    struct Open;
    // Centres the open reminder on the screen under `pointer` (else the primary) and shows it.
    void showAt(std::optional<QPoint> pointer);

    Clock& m_clock;
    ActiveOutput* m_activeOutput;
    quint64 m_shown = 0;
    std::unique_ptr<Open> m_open; // the window, its time-out and completion while one is shown
};
