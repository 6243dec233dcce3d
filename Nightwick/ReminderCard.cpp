#include "ReminderWindow_p.h"
#include "CardShadow.h"
#include "Clock.h"

#include <QEasingCurve>
#include <QFontMetrics>
#include <QMouseEvent>
#include <QPainter>
#include <QVariantAnimation>

#include <algorithm>
#include <cmath>

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

const QString messageText = QStringLiteral("plug it in now so it\u2019s ready next time.");
const QString hintText = QStringLiteral("click or press any key ");
const QString cursorGlyph = QStringLiteral("\u2588");

QEasingCurve easeOut()
{
    QEasingCurve curve(QEasingCurve::BezierSpline);
    curve.addCubicBezierSegment(QPointF(0.0, 0.0), QPointF(0.58, 1.0), QPointF(1.0, 1.0));
    return curve;
}

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
    painter.drawImage(0, 0, cardShadow(size(), m_cardRect.translated(0, shadowDrop)));
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
