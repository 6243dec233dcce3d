#pragma once

#include <QColor>
#include <QFont>
#include <QObject>
#include <QWidget>

#include <memory>

class QPainter;
class QVariantAnimation;

// The dark, terminal-like palette and the one monospaced font every view of the agent draws with.
namespace Mono {

QColor background(); // white 0.055
QColor text();       // white 0.92
QColor dim();        // white 0.5
QColor faint();      // white 0.17
QColor red();        // 1.0, 0.27, 0.23

// The desktop's fixed-pitch font at `pixelSize` pixels; DejaVu Sans Mono where the desktop names
// none that is really fixed-pitch.
QFont font(qreal pixelSize, QFont::Weight weight = QFont::Normal);

} // namespace Mono

// The swing of a pulsing bar's lit cells: full opacity down to a quarter and back, ease-in-out,
// forever. The card paints bars itself, so the pulse lives apart from any widget.
class BlockBarPulse : public QObject {
    Q_OBJECT
public:
    static constexpr int halfPeriodMs = 550;
    static constexpr qreal dimmedOpacity = 0.25;

    explicit BlockBarPulse(QObject* parent = nullptr);
    ~BlockBarPulse() override;

    // Lit-cell opacity `elapsedMs` after the pulse started.
    static qreal opacityAt(qint64 elapsedMs);

    void start();
    qreal opacity() const { return m_opacity; }

signals:
    void opacityChanged(qreal opacity);

private:
    std::unique_ptr<QVariantAnimation> m_animation;
    qreal m_opacity = 1.0;
};

// A percentage drawn as a row of 7×13 cells 2 px apart: the first litCount() cells in the fill
// colour, the rest in Mono::faint.
struct BlockBarLook {
    static constexpr int cellWidth = 7;
    static constexpr int cellHeight = 13;
    static constexpr int cellGap = 2;

    qint64 percent = 0;
    qint64 cells = 20;
    QColor fill = Mono::text();

    // Cells lit for `percent` out of `cells`: none below 1 %, at least one from 1 %, all from
    // 100 %, otherwise the nearest whole share (halves up).
    static qint64 litCount(qint64 percent, qint64 cells);
    static QSize sizeFor(qint64 cells);

    qint64 litCount() const { return litCount(percent, cells); }
    QSize size() const { return sizeFor(cells); }
    void paint(QPainter& painter, QPointF topLeft, qreal litOpacity) const;
};

// The bar as a widget for layouts.
class BlockBar : public QWidget {
    Q_OBJECT
public:
    explicit BlockBar(qint64 percent, qint64 cells = 20, QColor fill = Mono::text(),
                      QWidget* parent = nullptr);
    ~BlockBar() override;

    void setPercent(qint64 percent);
    void setFill(const QColor& fill);

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    BlockBarLook m_look;
};
