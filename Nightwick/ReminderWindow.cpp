#include "ReminderWindow.h"
#include "ReminderWindow_p.h"
#include "Clock.h"
#include "platform/desktop/SwayFocusedOutput.h"

#include <QCursor>
#include <QEasingCurve>
#include <QFontMetrics>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QPointer>
#include <QScreen>
#include <QVariantAnimation>
#include <QWindow>

#if NIGHTWICK_HAS_XCB
#include <xcb/xcb.h>
#endif

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <vector>

namespace {

constexpr int horizontalPadding = 34;
constexpr int verticalPadding = 30;
constexpr int titleGap = 10;
constexpr int levelGap = 14;
constexpr int levelTopPadding = 26;
constexpr int messageTopPadding = 22;
constexpr int hintTopPadding = 8;
constexpr qint64 levelBarCells = 24;
constexpr int shadowDrop = 18;
constexpr qreal shadowOpacity = 0.45;
// A blur radius of 40 spreads the shadow about 40 px: a Gaussian of half that deviation, which
// also keeps it inside the 60 px margin.
constexpr qreal shadowSigma = 40.0 / 2.0;

const QString messageText = QStringLiteral("plug it in now so it\u2019s ready next time.");
const QString hintText = QStringLiteral("click or press any key ");
const QString cursorGlyph = QStringLiteral("\u2588");
// Sway answers its IPC at once; a compositor that hangs must not hold the card back for long.
constexpr std::chrono::milliseconds compositorAnswerBudget{150};

QEasingCurve easeOut()
{
    QEasingCurve curve(QEasingCurve::BezierSpline);
    curve.addCubicBezierSegment(QPointF(0.0, 0.0), QPointF(0.58, 1.0), QPointF(1.0, 1.0));
    return curve;
}

// Three running-sum box blurs along one axis come within a few percent of a Gaussian.
void boxBlur(std::vector<float>& values, int width, int height, int radius, bool alongRows)
{
    const int length = alongRows ? width : height;
    const int lines = alongRows ? height : width;
    const int stride = alongRows ? 1 : width;
    const int lineStep = alongRows ? width : 1;
    const float window = float(2 * radius + 1);
    std::vector<float> line(size_t(length), 0.0f);
    for (int pass = 0; pass < 3; ++pass) {
        for (int l = 0; l < lines; ++l) {
            float* data = values.data() + size_t(l) * size_t(lineStep);
            for (int i = 0; i < length; ++i) {
                line[size_t(i)] = data[size_t(i) * size_t(stride)];
            }
            float sum = 0.0f;
            for (int i = 0; i <= std::min(radius, length - 1); ++i) {
                sum += line[size_t(i)];
            }
            for (int i = 0; i < length; ++i) {
                data[size_t(i) * size_t(stride)] = sum / window;
                const int entering = i + radius + 1;
                const int leaving = i - radius;
                if (entering < length) {
                    sum += line[size_t(entering)];
                }
                if (leaving >= 0) {
                    sum -= line[size_t(leaving)];
                }
            }
        }
    }
}

QImage renderShadow(QSize canvas, const QRect& shape)
{
    const int width = canvas.width();
    const int height = canvas.height();
    std::vector<float> alpha(size_t(width) * size_t(height), 0.0f);
    const QRect clipped = shape.intersected(QRect(QPoint(0, 0), canvas));
    for (int y = clipped.top(); y <= clipped.bottom(); ++y) {
        std::fill_n(alpha.begin() + y * width + clipped.left(), clipped.width(),
                    float(shadowOpacity));
    }
    // Three boxes of width w blur like a Gaussian of variance 3 (w² - 1) / 12.
    const int radius = std::max(
        1, int(std::lround((std::sqrt(4.0 * shadowSigma * shadowSigma + 1.0) - 1.0) / 2.0)));
    boxBlur(alpha, width, height, radius, true);
    boxBlur(alpha, width, height, radius, false);

    QImage image(canvas, QImage::Format_ARGB32_Premultiplied);
    for (int y = 0; y < height; ++y) {
        auto* row = reinterpret_cast<QRgb*>(image.scanLine(y));
        for (int x = 0; x < width; ++x) {
            const int a =
                std::clamp(int(std::lround(alpha[size_t(y * width + x)] * 255.0f)), 0, 255);
            row[x] = qRgba(0, 0, 0, a); // black, so premultiplied and straight agree
        }
    }
    return image;
}

// Blurring is the costly part of a frame, and every reminder's card has the same size.
const QImage& cachedShadow(QSize canvas, const QRect& shape)
{
    struct Entry {
        QSize canvas;
        QRect shape;
        QImage image;
    };
    static std::vector<Entry> cache;
    for (const Entry& entry : cache) {
        if (entry.canvas == canvas && entry.shape == shape) {
            return entry.image;
        }
    }
    if (cache.size() >= 4) {
        cache.erase(cache.begin());
    }
    cache.push_back({canvas, shape, renderShadow(canvas, shape)});
    return cache.back().image;
}

#if NIGHTWICK_HAS_XCB
xcb_connection_t* x11Connection()
{
    auto* x11 = qGuiApp->nativeInterface<QNativeInterface::QX11Application>();
    return x11 ? x11->connection() : nullptr;
}

// XWayland names its outputs so.
bool isXWayland()
{
    const QList<QScreen*> screens = QGuiApplication::screens();
    return std::any_of(screens.begin(), screens.end(), [](const QScreen* screen) {
        return screen->name().startsWith(QLatin1String("XWAYLAND"));
    });
}

// Whether XWayland has the pointer over one of its windows, the only place it follows it;
// elsewhere it keeps an old position (at first the middle of the whole desktop). The old position
// lies over no window of its own (sway), or over a window that only takes input, such as the
// guard window GNOME's mutter spreads under everything.
bool xwaylandFollowsPointer(xcb_connection_t* connection)
{
    const xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(connection)).data->root;
    xcb_query_pointer_reply_t* pointer =
        xcb_query_pointer_reply(connection, xcb_query_pointer(connection, root), nullptr);
    const xcb_window_t child = pointer ? pointer->child : xcb_window_t(XCB_NONE);
    std::free(pointer);
    if (child == XCB_NONE) {
        return false;
    }
    xcb_get_window_attributes_reply_t* attributes = xcb_get_window_attributes_reply(
        connection, xcb_get_window_attributes(connection, child), nullptr);
    const bool drawn = attributes && attributes->_class == XCB_WINDOW_CLASS_INPUT_OUTPUT;
    std::free(attributes);
    return drawn;
}
#endif

// Where the reminder belongs: under the pointer where the window system can tell, else on the
// output sway has focused, else nowhere in particular.
std::optional<QPoint> pointerHint()
{
#if NIGHTWICK_HAS_XCB
    xcb_connection_t* connection = x11Connection();
    if (connection && isXWayland() && !xwaylandFollowsPointer(connection)) {
        const std::optional<QRect> focused = swayFocusedOutput(compositorAnswerBudget);
        return focused ? std::optional(focused->center()) : std::nullopt;
    }
#endif
    return QCursor::pos();
}

struct DeleteLater {
    void operator()(QObject* object) const { object->deleteLater(); }
};

} // namespace

// Fonts, texts and the top of each of the four lines, fixed when the card is made.
struct ReminderCard::Lines {
    QFont titleFont = Mono::font(20, QFont::DemiBold);
    QFont levelFont = Mono::font(15);
    QFont bodyFont = Mono::font(13);
    QString levelText;
    BlockBarLook bar;
    int left = 0;
    int titleTop = 0;
    int titleHeight = 0;
    int levelTop = 0;
    int levelHeight = 0;
    int messageTop = 0;
    int hintTop = 0;
    int bodyHeight = 0;
};

ReminderCard::ReminderCard(qint64 percent, Clock& clock, std::function<void()> onDismiss,
                           QWidget* parent)
    : QWidget(parent)
    , m_percent(percent)
    , m_onDismiss(std::move(onDismiss))
    , m_lines(std::make_unique<Lines>())
    , m_blinkTimer(clock.createTimer())
    , m_fadeIn(std::make_unique<QVariantAnimation>())
{
    Lines& lines = *m_lines;
    lines.levelText = QString::number(percent) + QLatin1Char('%');
    lines.bar = BlockBarLook{percent, levelBarCells, Mono::red()};

    const int titleHeight = QFontMetrics(lines.titleFont).height();
    const int levelHeight =
        std::max(QFontMetrics(lines.levelFont).height(), lines.bar.size().height());
    const int bodyHeight = QFontMetrics(lines.bodyFont).height();
    lines.left = margin + horizontalPadding;
    lines.titleTop = margin + verticalPadding;
    lines.titleHeight = titleHeight;
    lines.levelTop = lines.titleTop + titleHeight + levelTopPadding;
    lines.levelHeight = levelHeight;
    lines.messageTop = lines.levelTop + levelHeight + messageTopPadding;
    lines.hintTop = lines.messageTop + bodyHeight + hintTopPadding;
    lines.bodyHeight = bodyHeight;
    const int cardBottom = lines.hintTop + bodyHeight + verticalPadding;

    m_cardRect = QRect(margin, margin, cardWidth, cardBottom - margin);
    m_size = QSize(cardWidth + 2 * margin, cardBottom + margin);
    setFixedSize(m_size);
    setAttribute(Qt::WA_TranslucentBackground);

    connect(m_blinkTimer.get(), &Timer::timeout, this, &ReminderCard::toggleCursor);
    m_fadeIn->setStartValue(0.0);
    m_fadeIn->setEndValue(1.0);
    m_fadeIn->setDuration(int(fadeInDuration.count()));
    m_fadeIn->setEasingCurve(easeOut());
    connect(m_fadeIn.get(), &QVariantAnimation::valueChanged, this, [this](const QVariant& value) {
        m_fade = value.toReal();
        update();
    });
    connect(&m_pulse, &BlockBarPulse::opacityChanged, this, [this] { update(levelBarRect()); });
}

ReminderCard::~ReminderCard() = default;

void ReminderCard::setBackdrop(const QPixmap& backdrop)
{
    m_backdrop = backdrop;
    update();
}

QRect ReminderCard::levelBarRect() const
{
    const Lines& lines = *m_lines;
    const int textWidth = QFontMetrics(lines.levelFont).horizontalAdvance(lines.levelText);
    const QSize bar = lines.bar.size();
    return QRect(QPoint(lines.left + textWidth + levelGap,
                        lines.levelTop + (lines.levelHeight - bar.height()) / 2),
                 bar);
}

QRect ReminderCard::hintLineRect() const
{
    const QFontMetrics metrics(m_lines->bodyFont);
    return QRect(m_lines->left, m_lines->hintTop,
                 metrics.horizontalAdvance(hintText) + metrics.horizontalAdvance(cursorGlyph),
                 m_lines->bodyHeight);
}

QRect ReminderCard::cursorRect() const
{
    const QFontMetrics metrics(m_lines->bodyFont);
    return QRect(m_lines->left + metrics.horizontalAdvance(hintText), m_lines->hintTop,
                 metrics.horizontalAdvance(cursorGlyph), m_lines->bodyHeight);
}

void ReminderCard::showEvent(QShowEvent* event)
{
    QWidget::showEvent(event);
    if (m_appeared) {
        return;
    }
    m_appeared = true;
    m_fadeIn->start();
    m_pulse.start();
    m_blinkTimer->start(blinkInterval, true);
}

void ReminderCard::toggleCursor()
{
    m_cursorOn = !m_cursorOn;
    // The block's ink reaches past its advance box; repaint all of it.
    const QFontMetrics body(m_lines->bodyFont);
    const QPoint baseline(cursorRect().left(), m_lines->hintTop + body.ascent());
    const QRect ink = body.boundingRect(cursorGlyph).translated(baseline);
    update(cursorRect().united(ink).adjusted(-1, -1, 1, 1));
}

void ReminderCard::paintEvent(QPaintEvent*)
{
    const Lines& lines = *m_lines;
    QPainter painter(this);
    if (!m_backdrop.isNull()) {
        painter.drawPixmap(0, 0, m_backdrop);
    }
    painter.setOpacity(m_fade);
    painter.drawImage(0, 0, cachedShadow(size(), m_cardRect.translated(0, shadowDrop)));
    painter.fillRect(m_cardRect, Mono::background());

    QPen border(Mono::faint(), 1.0, Qt::SolidLine, Qt::SquareCap, Qt::MiterJoin);
    border.setMiterLimit(10);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(border);
    painter.setBrush(Qt::NoBrush);
    painter.drawRect(QRectF(m_cardRect).adjusted(0.5, 0.5, -0.5, -0.5));

    // A percentage too long for the card stays inside its border.
    painter.setClipRect(m_cardRect.adjusted(1, 1, -1, -1));

    // Title: a red "!" and the name, on one baseline.
    painter.setFont(lines.titleFont);
    const QFontMetrics title(lines.titleFont);
    const int titleBaseline = lines.titleTop + title.ascent();
    const QString bang = QStringLiteral("!");
    painter.setPen(Mono::red());
    painter.drawText(lines.left, titleBaseline, bang);
    painter.setPen(Mono::text());
    painter.drawText(lines.left + title.horizontalAdvance(bang) + titleGap, titleBaseline,
                     QStringLiteral("nightwick"));

    // Level: the percentage in red and its pulsing bar, centred on one another.
    const QFontMetrics level(lines.levelFont);
    painter.setFont(lines.levelFont);
    painter.setPen(Mono::red());
    painter.drawText(lines.left,
                     lines.levelTop + (lines.levelHeight - level.height()) / 2 + level.ascent(),
                     lines.levelText);
    lines.bar.paint(painter, levelBarRect().topLeft(), m_pulse.opacity());

    const QFontMetrics body(lines.bodyFont);
    painter.setFont(lines.bodyFont);
    painter.setPen(Mono::text());
    painter.drawText(lines.left, lines.messageTop + body.ascent(), messageText);

    // The cursor is made transparent rather than removed, so the line keeps its width.
    const int hintBaseline = lines.hintTop + body.ascent();
    painter.setPen(Mono::dim());
    painter.drawText(lines.left, hintBaseline, hintText);
    painter.setOpacity(m_fade * (m_cursorOn ? 1.0 : 0.0));
    painter.drawText(cursorRect().left(), hintBaseline, cursorGlyph);
}

void ReminderCard::mousePressEvent(QMouseEvent* event)
{
    event->accept();
}

void ReminderCard::mouseReleaseEvent(QMouseEvent* event)
{
    event->accept();
    if (rect().contains(event->position().toPoint()) && m_onDismiss) {
        m_onDismiss();
    }
}

ReminderNSWindow::ReminderNSWindow(bool translucent)
    : QWidget(nullptr, Qt::Window | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint |
                           Qt::NoDropShadowWindowHint)
{
    // On X11 the window manager is bypassed: nothing then decorates, moves, animates or stacks
    // the reminder under another window, and it shows on whichever desktop is current. It stays
    // an ordinary window, not a tool window: wlroots compositors (sway and others) never give the
    // keyboard to a bypassing window of the utility type, so through XWayland no key would reach
    // it.
    if (QGuiApplication::platformName() == QLatin1String("xcb")) {
        setWindowFlag(Qt::X11BypassWindowManagerHint);
    }
    setAttribute(Qt::WA_TranslucentBackground, translucent);
    setAttribute(Qt::WA_NoSystemBackground, translucent);
    setFocusPolicy(Qt::StrongFocus);
    setWindowTitle(QStringLiteral("nightwick"));
    m_keyboardTimer.setInterval(keyboardClaimInterval);
    connect(&m_keyboardTimer, &QTimer::timeout, this, &ReminderNSWindow::claimKeyboard);
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
#if NIGHTWICK_HAS_XCB
    // Under XWayland the compositor gives an X11 window the keyboard only once it sees that
    // window take the X focus. GNOME's mutter starts watching a new bypassing window only after
    // it is mapped, so the focus taken at once can go unseen (7 cards in 25 here), and the
    // keyboard stays with the window that had it. Moving the focus into a child window and back
    // makes a fresh focus-in that it does see. Elsewhere this changes nothing that matters: the
    // keyboard grab already brings every key the X server gets here.
    xcb_connection_t* connection = x11Connection();
    if (!connection) {
        return;
    }
    const auto window = xcb_window_t(winId());
    if (!m_focusChild) {
        m_focusChild = xcb_generate_id(connection);
        xcb_create_window(connection, 0, m_focusChild, window, 0, 0, 1, 1, 0,
                          XCB_WINDOW_CLASS_INPUT_ONLY, XCB_COPY_FROM_PARENT, 0, nullptr);
        xcb_map_window(connection, m_focusChild);
    }
    xcb_set_input_focus(connection, XCB_INPUT_FOCUS_PARENT, m_focusChild, XCB_CURRENT_TIME);
    xcb_set_input_focus(connection, XCB_INPUT_FOCUS_PARENT, window, XCB_CURRENT_TIME);
    xcb_flush(connection);
#endif
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
        if (onKeyDown) {
            onKeyDown();
        }
        return true;
    case QEvent::KeyRelease:
        return true;
    default:
        return QWidget::event(event);
    }
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

bool windowSystemComposites()
{
    if (QGuiApplication::platformName() != QLatin1String("xcb")) {
        return true; // Wayland always composites; offscreen renders into images
    }
#if NIGHTWICK_HAS_XCB
    xcb_connection_t* connection = x11Connection();
    if (!connection) {
        return true;
    }
    // A compositing manager owns the _NET_WM_CM_S<n> selection of the screen it composites.
    int screenNumber = 0;
    const QByteArray display = qgetenv("DISPLAY");
    if (const qsizetype dot = display.lastIndexOf('.'); dot > display.lastIndexOf(':')) {
        screenNumber = display.mid(dot + 1).toInt();
    }
    const QByteArray name = "_NET_WM_CM_S" + QByteArray::number(screenNumber);
    const auto atomCookie = xcb_intern_atom(connection, 0, uint16_t(name.size()), name.constData());
    xcb_intern_atom_reply_t* atom = xcb_intern_atom_reply(connection, atomCookie, nullptr);
    if (!atom) {
        return true;
    }
    const auto ownerCookie = xcb_get_selection_owner(connection, atom->atom);
    std::free(atom);
    xcb_get_selection_owner_reply_t* owner =
        xcb_get_selection_owner_reply(connection, ownerCookie, nullptr);
    const bool owned = owner && owner->owner != XCB_NONE;
    std::free(owner);
    return owned;
#else
    return true;
#endif
}

struct ReminderWindow::Open {
    std::unique_ptr<ReminderNSWindow, DeleteLater> window;
    std::unique_ptr<Timer, DeleteLater> closeTimer;
    std::function<void()> completion;
};

ReminderWindow::ReminderWindow(Clock& clock, QObject* parent)
    : QObject(parent)
    , m_clock(clock)
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

    const bool translucent = windowSystemComposites();
    auto open = std::make_unique<Open>();
    open->completion = std::move(completion);
    open->window.reset(new ReminderNSWindow(translucent));
    auto* card = new ReminderCard(batteryPercent, m_clock, dismissIfAlive, open->window.get());
    const QSize size = card->sizeHint();
    open->window->setFixedSize(size);
    open->window->onKeyDown = dismissIfAlive;

    const QList<QScreen*> screens = QGuiApplication::screens();
    QList<QRect> frames;
    for (const QScreen* screen : screens) {
        frames.append(screen->geometry());
    }
    const qsizetype primary = screens.indexOf(QGuiApplication::primaryScreen());
    const std::optional<qsizetype> chosen =
        chooseScreen(frames, pointerHint(), primary >= 0 ? std::optional(primary) : std::nullopt);
    if (chosen) {
        QScreen* screen = screens[*chosen];
        const QRect placed = centredIn(screen->geometry(), size);
        open->window->setScreen(screen);
        open->window->move(placed.topLeft());
        if (!translucent) {
            // Without a compositor the margin would show black; paint what was behind it.
            card->setBackdrop(screen->grabWindow(0, placed.x() - screen->geometry().x(),
                                                 placed.y() - screen->geometry().y(), size.width(),
                                                 size.height()));
        }
    }

    open->closeTimer.reset(m_clock.createTimer().release());
    connect(open->closeTimer.get(), &Timer::timeout, this, dismissIfAlive);
    m_open = std::move(open);
    m_open->window->present();

    // Zero, negative or unreadable durations close on the next turn of the event loop, never
    // within show().
    const double milliseconds = std::isfinite(duration) ? duration * 1000.0 : 0.0;
    const auto timeout = std::chrono::milliseconds(
        std::llround(std::clamp(milliseconds, 0.0, double(std::numeric_limits<int>::max()))));
    m_open->closeTimer->start(timeout, false);
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

    const QPointer<ReminderWindow> self(this);
    if (completion) {
        completion();
    }
    if (self) {
        emit dismissed();
    }
}
