#include "ReminderWindow.h"
#include "ReminderWindow_p.h"
#include "Clock.h"
#include "platform/desktop/ActiveOutput.h"
#include "platform/desktop/WindowSystem.h"

#include <QGuiApplication>
#include <QKeyEvent>
#include <QScreen>
#include <QWindow>

namespace {

struct DeleteLater {
    void operator()(QObject* object) const { object->deleteLater(); }
};

} // namespace

CardWindowKind cardWindowKind(QStringView platform, QStringView windowManager)
{
    if (platform != u"xcb") {
        return CardWindowKind::Plain;
    }
    // KWin gives no keyboard to a bypassing window through XWayland, where it offers no keyboard
    // grab either; a window it manages and activates gets the keys, on X11 too.
    return windowManager == u"KWin" ? CardWindowKind::Managed : CardWindowKind::Bypassing;
}

ReminderNSWindow::ReminderNSWindow(bool translucent, CardWindowKind kind)
    : QWidget(nullptr, Qt::Window | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint |
                           Qt::NoDropShadowWindowHint)
{
    // Elsewhere on X11 the window manager is bypassed: nothing then decorates, moves, animates or
    // stacks the reminder under another window, and it shows on whichever desktop is current. It
    // stays an ordinary window, not a tool window: wlroots compositors (sway and others) never
    // give the keyboard to a bypassing window of the utility type, so through XWayland no key
    // would reach it.
    setWindowFlag(Qt::X11BypassWindowManagerHint, kind == CardWindowKind::Bypassing);
    setAttribute(Qt::WA_TranslucentBackground, translucent);
    setAttribute(Qt::WA_NoSystemBackground, translucent);
    setFocusPolicy(Qt::StrongFocus);
    setWindowTitle(QStringLiteral("nightwick"));
    m_keyboardTimer.setInterval(keyboardClaimInterval);
    connect(&m_keyboardTimer, &QTimer::timeout, this, &ReminderNSWindow::claimKeyboard);
    if (kind == CardWindowKind::Managed) {
        WindowSystem::keepOffTaskbar(winId()); // the card is no task to switch to
    }
}

ReminderNSWindow::~ReminderNSWindow() = default;

void ReminderNSWindow::present()
{
    m_wantsKeyboard = true;
    show();
    raise();
    activateWindow();
    setFocus(Qt::ActiveWindowFocusReason);
    grabKeyboard();
    // A window not yet mapped cannot take the keyboard; ask again once it is on screen.
    if (QWindow* handle = windowHandle()) {
        handle->installEventFilter(this);
    }
}

void ReminderNSWindow::claimKeyboard()
{
    grabKeyboard();
    WindowSystem::refocusThroughChild(winId(), m_focusChild);
}

void ReminderNSWindow::withdraw()
{
    m_wantsKeyboard = false;
    m_keyboardTimer.stop();
    releaseKeyboard();
    hide();
}

bool ReminderNSWindow::event(QEvent* event)
{
    switch (event->type()) {
    case QEvent::ShortcutOverride:
        // Claim every key before any shortcut of the application can act on it.
        event->accept();
        return true;
    case QEvent::KeyPress:
        if (isFreshPress(static_cast<const QKeyEvent&>(*event)) && onKeyDown) {
            onKeyDown();
        }
        return true;
    case QEvent::KeyRelease: {
        const auto& release = static_cast<const QKeyEvent&>(*event);
        m_lastRelease = {release.key(), release.timestamp()};
        return true;
    }
    default:
        return QWidget::event(event);
    }
}

bool ReminderNSWindow::isFreshPress(const QKeyEvent& press) const
{
    // X11 repeats a held key as a release and a press with one time stamp. Qt marks the pair as
    // an auto-repeat only when it has read the press by the time it handles the release, which
    // it often has not.
    const bool repeat = press.isAutoRepeat() || (m_lastRelease.key == press.key() &&
                                                 m_lastRelease.timestamp == press.timestamp());
    return !repeat;
}

bool ReminderNSWindow::eventFilter(QObject* watched, QEvent* event)
{
    if (event->type() == QEvent::Expose && m_wantsKeyboard && watched == windowHandle() &&
        windowHandle()->isExposed()) {
        watched->removeEventFilter(this);
        claimKeyboard();
        // Claimed again while the card shows, as whatever held the keyboard may take it back;
        // only X11 has anything to claim it from.
        if (QGuiApplication::platformName() == QLatin1String("xcb")) {
            m_keyboardTimer.start();
        }
    }
    return QWidget::eventFilter(watched, event);
}

std::optional<qsizetype> chooseScreen(const QList<QRect>& screens, std::optional<QPoint> pointer,
                                      std::optional<qsizetype> primaryIndex)
{
    if (screens.isEmpty()) {
        return std::nullopt;
    }
    for (qsizetype i = 0; pointer && i < screens.size(); ++i) {
        if (screens[i].contains(*pointer)) {
            return i;
        }
    }
    if (primaryIndex && *primaryIndex >= 0 && *primaryIndex < screens.size()) {
        return primaryIndex;
    }
    return 0;
}

QRect centredIn(const QRect& frame, QSize size)
{
    const qreal midX = frame.x() + frame.width() * 0.5;
    const qreal midY = frame.y() + frame.height() * 0.5;
    return QRect(qRound(midX - size.width() * 0.5), qRound(midY - size.height() * 0.5),
                 size.width(), size.height());
}

struct ReminderWindow::Open {
    quint64 serial = 0; // tells this reminder from a later one
    std::unique_ptr<ReminderNSWindow, DeleteLater> window;
    ReminderCard* card = nullptr; // the window's child
    bool translucent = false;
    std::unique_ptr<Timer, DeleteLater> closeTimer;
    std::function<void()> completion;
};

ReminderWindow::ReminderWindow(Clock& clock, ActiveOutput* activeOutput, QObject* parent)
    : QObject(parent)
    , m_clock(clock)
    , m_activeOutput(activeOutput)
{
}

ReminderWindow::~ReminderWindow()
{
    if (m_open) {
        m_open->closeTimer->stop();
        m_open->window->withdraw();
    }
}

bool ReminderWindow::isVisible() const
{
    return m_open != nullptr;
}

void ReminderWindow::show(qint64 batteryPercent, double duration, std::function<void()> completion)
{
    if (m_open) {
        return;
    }
    const QPointer<ReminderWindow> self(this);
    auto dismissIfAlive = [self] {
        if (self) {
            self->dismiss();
        }
    };

    const CardWindowKind kind =
        cardWindowKind(QGuiApplication::platformName(), WindowSystem::windowManagerName());
    auto open = std::make_unique<Open>();
    open->serial = ++m_shown;
    open->completion = std::move(completion);
    open->translucent = WindowSystem::composites();
    open->window.reset(new ReminderNSWindow(open->translucent, kind));
    open->card = new ReminderCard(batteryPercent, m_clock, dismissIfAlive, open->window.get());
    open->window->setFixedSize(open->card->sizeHint());
    open->window->onKeyDown = dismissIfAlive;
    open->closeTimer.reset(m_clock.createTimer().release());
    connect(open->closeTimer.get(), &Timer::timeout, this, dismissIfAlive);
    m_open = std::move(open);

    // Zero, negative or unreadable durations close on the next turn of the event loop, never
    // within show().
    const double milliseconds = std::isfinite(duration) ? duration * 1000.0 : 0.0;
    const auto timeout = std::chrono::milliseconds(
        std::llround(std::clamp(milliseconds, 0.0, double(std::numeric_limits<int>::max()))));
    m_open->closeTimer->start(timeout, false);

    // Where the pointer cannot be seen, the output the compositor calls active stands in for it.
    const std::optional<QPoint> pointer = WindowSystem::visiblePointer();
    if (!pointer && kind == CardWindowKind::Managed && m_activeOutput) {
        // KWin knows the output the pointer is on; the card waits for its word, within the budget.
        auto place = [self, serial = m_open->serial](std::optional<QRect> output) {
            if (self && self->m_open && self->m_open->serial == serial) {
                self->showAt(output ? std::optional(output->center()) : std::nullopt);
            }
        };
        m_activeOutput->ask(WindowSystem::compositorAnswerBudget, std::move(place));
        return;
    }
    showAt(pointer ? pointer : WindowSystem::swayFocusCentre());
}

void ReminderWindow::showAt(std::optional<QPoint> pointer)
{
    const QList<QScreen*> screens = QGuiApplication::screens();
    QList<QRect> frames;
    for (const QScreen* screen : screens) {
        frames.append(screen->geometry());
    }
    const qsizetype primary = screens.indexOf(QGuiApplication::primaryScreen());
    const std::optional<qsizetype> chosen =
        chooseScreen(frames, pointer, primary >= 0 ? std::optional(primary) : std::nullopt);
    ReminderNSWindow& window = *m_open->window;
    if (chosen) {
        QScreen* screen = screens[*chosen];
        const QRect placed = centredIn(screen->geometry(), window.size());
        window.setScreen(screen);
        window.move(placed.topLeft());
        if (!m_open->translucent) {
            // Without a compositor the margin would show black; paint what was behind it.
            m_open->card->setBackdrop(screen->grabWindow(0, placed.x() - screen->geometry().x(),
                                                         placed.y() - screen->geometry().y(),
                                                         placed.width(), placed.height()));
        }
    }
    window.present();
}

void ReminderWindow::dismiss()
{
    if (!m_open) {
        return;
    }
    // Everything leaves the slot before the completion runs, so it may open the next reminder.
    std::unique_ptr<Open> closing = std::move(m_open);
    closing->closeTimer->stop();
    closing->window->withdraw();
    std::function<void()> completion = std::move(closing->completion);
    closing.reset();
    if (completion) {
        completion();
    }
}
