#pragma once

#include "Look.h"

#include <QPixmap>
#include <QTimer>
#include <QWidget>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>

class Clock;
class QKeyEvent;
class QVariantAnimation;
class Timer;

// The content of the reminder: a dark card with the level in red, a pulsing bar and a blinking
// block cursor, inside a transparent margin that leaves room for its shadow. It knows nothing of
// windows or time-outs; any click on it, margin included, runs onDismiss.
class ReminderCard : public QWidget {
    Q_OBJECT
public:
    static constexpr int cardWidth = 440;
    static constexpr int margin = 60;
    static constexpr std::chrono::milliseconds blinkInterval{530};
    static constexpr std::chrono::milliseconds fadeInDuration{150};

    ReminderCard(qint64 percent, Clock& clock, std::function<void()> onDismiss,
                 QWidget* parent = nullptr);
    ~ReminderCard() override;

    // Where the window system cannot show what lies behind a translucent window, the window
    // paints this picture of it under the margin instead.
    void setBackdrop(const QPixmap& backdrop);

    qint64 percent() const { return m_percent; }
    QRect levelBarRect() const;
    QRect cursorRect() const;

    QSize sizeHint() const override { return m_size; }

protected:
    void showEvent(QShowEvent* event) override;
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;

private:
    struct Lines;
    void toggleCursor();

    qint64 m_percent;
    std::function<void()> m_onDismiss;
    std::unique_ptr<Lines> m_lines;
    QSize m_size;
    QRect m_cardRect;
    QPixmap m_backdrop;
    bool m_appeared = false;
    bool m_cursorOn = true;
    qreal m_fade = 0.0;
    std::unique_ptr<Timer> m_blinkTimer;
    std::unique_ptr<QVariantAnimation> m_fadeIn;
    BlockBarPulse m_pulse;
};

// How the card's window stands with the window manager.
enum class CardWindowKind {
    Plain,     // no X11: an ordinary frameless window
    Bypassing, // X11: out of the window manager's hands, holding the keyboard itself
    Managed,   // X11 under KWin: kept above and activated by the window manager, which on Wayland
               // gives the keyboard to no window it does not manage
};
CardWindowKind cardWindowKind(QStringView platform, QStringView windowManager);

// The frameless, always-on-top window the card sits in. Every key that reaches it goes no
// further. A fresh press runs onKeyDown; a key held since before the card appeared (Enter that
// confirmed the log-out) reaches it only as repeats and then a release, and runs nothing.
class ReminderNSWindow : public QWidget {
    Q_OBJECT
public:
    ReminderNSWindow(bool translucent, CardWindowKind kind);
    ~ReminderNSWindow() override;

    std::function<void()> onKeyDown;

    // Shows, raises and activates the window and takes the keyboard until hidden.
    void present();
    void withdraw();

protected:
    bool event(QEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    static constexpr std::chrono::milliseconds keyboardClaimInterval{100};
    // Grabs the keyboard and takes the input focus, so the compositor sends keys here.
    void claimKeyboard();
    bool isFreshPress(const QKeyEvent& press) const;

    bool m_wantsKeyboard = false;
    QTimer m_keyboardTimer;
    quint32 m_focusChild = 0; // an X11 child window the focus passes through
    struct {
        int key = 0;
        quint64 timestamp = 0;
    } m_lastRelease; // of the key released last, to tell a repeat from a fresh press
};

// Index of the screen the reminder belongs on: the first whose full geometry holds the pointer,
// else (also when where the pointer is cannot be told) the primary screen, else the first; none
// without screens.
std::optional<qsizetype> chooseScreen(const QList<QRect>& screens, std::optional<QPoint> pointer,
                                      std::optional<qsizetype> primaryIndex);

// A rectangle of `size` centred on `frame`.
QRect centredIn(const QRect& frame, QSize size);
