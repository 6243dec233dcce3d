#include "Look.h"

#include <QEasingCurve>
#include <QFontDatabase>
#include <QFontInfo>
#include <QPainter>
#include <QVariantAnimation>

#include <algorithm>
#include <cmath>

namespace Mono {

QColor background()
{
    static const QColor colour = QColor::fromRgbF(0.055f, 0.055f, 0.055f);
    return colour;
}

QColor text()
{
    static const QColor colour = QColor::fromRgbF(0.92f, 0.92f, 0.92f);
    return colour;
}

QColor dim()
{
    static const QColor colour = QColor::fromRgbF(0.5f, 0.5f, 0.5f);
    return colour;
}

QColor faint()
{
    static const QColor colour = QColor::fromRgbF(0.17f, 0.17f, 0.17f);
    return colour;
}

QColor red()
{
    static const QColor colour = QColor::fromRgbF(1.0f, 0.27f, 0.23f);
    return colour;
}

QFont font(qreal pixelSize, QFont::Weight weight)
{
    static const QFont base = [] {
        QFont fixed = QFontDatabase::systemFont(QFontDatabase::FixedFont);
        // Some desktops answer with a proportional face; columns would no longer line up.
        if (!QFontInfo(fixed).fixedPitch()) {
            fixed = QFont(QStringLiteral("DejaVu Sans Mono"));
            fixed.setStyleHint(QFont::Monospace);
        }
        return fixed;
    }();
    QFont font = base;
    font.setPixelSize(std::max(1, qRound(pixelSize)));
    font.setWeight(weight);
    return font;
}

} // namespace Mono

namespace {

QEasingCurve easeInOut()
{
    QEasingCurve curve(QEasingCurve::BezierSpline);
    curve.addCubicBezierSegment(QPointF(0.42, 0.0), QPointF(0.58, 1.0), QPointF(1.0, 1.0));
    return curve;
}

} // namespace

BlockBarPulse::BlockBarPulse(QObject* parent)
    : QObject(parent)
    , m_animation(std::make_unique<QVariantAnimation>())
{
    // One animation runs the whole dim-and-back cycle linearly; opacityAt() shapes each half.
    m_animation->setStartValue(0);
    m_animation->setEndValue(2 * halfPeriodMs);
    m_animation->setDuration(2 * halfPeriodMs);
    m_animation->setLoopCount(-1);
    connect(m_animation.get(), &QVariantAnimation::valueChanged, this,
            [this](const QVariant& value) {
                m_opacity = opacityAt(value.toInt());
                emit opacityChanged(m_opacity);
            });
}

BlockBarPulse::~BlockBarPulse() = default;

qreal BlockBarPulse::opacityAt(qint64 elapsedMs)
{
    static const QEasingCurve curve = easeInOut();
    const qint64 inCycle =
        ((elapsedMs % (2 * halfPeriodMs)) + 2 * halfPeriodMs) % (2 * halfPeriodMs);
    const qint64 inHalf = inCycle <= halfPeriodMs ? inCycle : 2 * halfPeriodMs - inCycle;
    const qreal progress = curve.valueForProgress(qreal(inHalf) / halfPeriodMs);
    return 1.0 - (1.0 - dimmedOpacity) * progress;
}

void BlockBarPulse::start()
{
    m_animation->start();
}

qint64 BlockBarLook::litCount(qint64 percent, qint64 cells)
{
    if (percent < 1 || cells <= 0) {
        return 0;
    }
    const double share = (double(std::min<qint64>(percent, 100)) / 100.0) * double(cells);
    // std::llround rounds halves away from zero, so 10 % of 25 cells lights 3.
    return std::clamp<qint64>(std::llround(share), 1, cells);
}

QSize BlockBarLook::sizeFor(qint64 cells)
{
    const qint64 count = std::max<qint64>(cells, 0);
    const qint64 width = count == 0 ? 0 : (cellWidth + cellGap) * count - cellGap;
    return QSize(int(std::min<qint64>(width, QWIDGETSIZE_MAX)), cellHeight);
}

void BlockBarLook::paint(QPainter& painter, QPointF topLeft, qreal litOpacity) const
{
    const qint64 lit = litCount();
    const qreal outerOpacity = painter.opacity();
    for (qint64 cell = 0; cell < cells; ++cell) {
        const QRectF rect(topLeft.x() + qreal(cell) * (cellWidth + cellGap), topLeft.y(), cellWidth,
                          cellHeight);
        const bool isLit = cell < lit;
        painter.setOpacity(outerOpacity * (isLit ? litOpacity : 1.0));
        painter.fillRect(rect, isLit ? fill : Mono::faint());
    }
    painter.setOpacity(outerOpacity);
}

BlockBar::BlockBar(qint64 percent, qint64 cells, QColor fill, QWidget* parent)
    : QWidget(parent)
    , m_look{percent, cells, std::move(fill)}
{
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
}

BlockBar::~BlockBar() = default;

void BlockBar::setPercent(qint64 percent)
{
    if (percent != m_look.percent) {
        m_look.percent = percent;
        update();
    }
}

void BlockBar::setFill(const QColor& fill)
{
    if (fill != m_look.fill) {
        m_look.fill = fill;
        update();
    }
}

QSize BlockBar::sizeHint() const
{
    return m_look.size();
}

QSize BlockBar::minimumSizeHint() const
{
    return m_look.size();
}

void BlockBar::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    const QSize bar = m_look.size();
    const QPointF topLeft((width() - bar.width()) / 2.0, (height() - bar.height()) / 2.0);
    m_look.paint(painter, topLeft, 1.0);
}
