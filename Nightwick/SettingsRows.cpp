#include "SettingsRows.h"

#include <QEnterEvent>
#include <QFontMetrics>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QPainter>

#include <algorithm>

namespace {

constexpr int choiceGap = 6;
constexpr int batteryPartGap = 14;
constexpr int barCells = 20;

// Parts side by side, `gap` apart and centred on one another, at their preferred sizes; a hidden
// part takes no room.
QHBoxLayout* rowLayout(QWidget* row, int gap)
{
    auto* layout = new QHBoxLayout(row);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(gap);
    layout->setSizeConstraint(QLayout::SetFixedSize);
    return layout;
}

} // namespace

TextLine::TextLine(const QString& text, const QColor& colour, QWidget* parent)
    : QWidget(parent)
    , m_text(text)
    , m_colour(colour)
{
}

void TextLine::setText(const QString& text)
{
    if (text == m_text) {
        return;
    }
    m_text = text;
    updateGeometry();
    update();
}

void TextLine::setExtraLineSpacing(int pixels)
{
    m_extraLineSpacing = pixels;
    updateGeometry();
    update();
}

QSize TextLine::sizeHint() const
{
    const QFontMetrics metrics = fontMetrics();
    const QStringList lines = m_text.split(QLatin1Char('\n'));
    int width = 0;
    for (const QString& line : lines) {
        width = std::max(width, metrics.horizontalAdvance(line));
    }
    const int pitch = metrics.lineSpacing() + m_extraLineSpacing;
    return {width, metrics.height() + pitch * static_cast<int>(lines.size() - 1)};
}

void TextLine::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    painter.setPen(m_colour);
    const QFontMetrics metrics = fontMetrics();
    const int pitch = metrics.lineSpacing() + m_extraLineSpacing;
    int baseline = metrics.ascent();
    for (const QString& line : m_text.split(QLatin1Char('\n'))) {
        painter.drawText(0, baseline, line);
        baseline += pitch;
    }
}

void TextLine::changeEvent(QEvent* event)
{
    if (event->type() == QEvent::FontChange) {
        updateGeometry();
    }
    QWidget::changeEvent(event);
}

bool isEnterKey(const QKeyEvent& event)
{
    const bool enter = event.key() == Qt::Key_Return || event.key() == Qt::Key_Enter;
    return enter && (event.modifiers() & ~Qt::KeypadModifier) == Qt::NoModifier;
}

ChoiceButton::ChoiceButton(const QString& label, QWidget* parent)
    : QAbstractButton(parent)
{
    setText(label);
    setFocusPolicy(Qt::TabFocus);
    // Exclusive checkable buttons are what assistive tools announce as "selected", and the
    // arrow keys then move the selection along the row.
    setCheckable(true);
    setAutoExclusive(true);
}

void ChoiceButton::setSelected(bool selected)
{
    // Exclusivity would refuse to clear the selected button, which the page may need (a
    // threshold that is not offered selects none).
    setAutoExclusive(false);
    setChecked(selected);
    setAutoExclusive(true);
}

// Qt leaves only the focused button of an exclusive row reachable by Tab; here every choice
// stays a Tab stop, and the arrow keys move along the row as well.
void ChoiceButton::focusInEvent(QFocusEvent* event)
{
    QWidget::focusInEvent(event);
}

void ChoiceButton::keyPressEvent(QKeyEvent* event)
{
    if (isEnterKey(*event)) {
        click();
        return;
    }
    QAbstractButton::keyPressEvent(event);
}

QSize ChoiceButton::sizeHint() const
{
    const QFontMetrics metrics = fontMetrics();
    return {metrics.horizontalAdvance(text()) + 2 * horizontalInset,
            metrics.height() + 2 * verticalInset};
}

void ChoiceButton::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    const bool selected = isSelected();
    if (selected) {
        painter.fillRect(rect(), Mono::text());
    }
    if (hasFocus()) {
        // A 1-px frame in the colour the block does not have: light around dim text, dark
        // inside the light block.
        const int inset = selected ? 1 : 0;
        painter.setPen(selected ? Mono::background() : Mono::text());
        painter.drawRect(rect().adjusted(inset, inset, -1 - inset, -1 - inset));
    }
    painter.setPen(selected ? Mono::background() : Mono::dim());
    painter.drawText(horizontalInset, verticalInset + fontMetrics().ascent(), text());
}

ChoiceRow::ChoiceRow(const QList<Choice>& choices, QWidget* parent)
    : QWidget(parent)
{
    QHBoxLayout* layout = rowLayout(this, choiceGap);
    for (const Choice& choice : choices) {
        auto* button = new ChoiceButton(choice.label, this);
        button->setAccessibleName(choice.accessibleName);
        connect(button, &QAbstractButton::clicked, this, [choose = choice.choose] {
            if (choose) {
                choose();
            }
        });
        layout->addWidget(button, 0, Qt::AlignVCenter);
        m_buttons.append(button);
    }
}

void ChoiceRow::setSelected(std::optional<qsizetype> index)
{
    for (qsizetype i = 0; i < m_buttons.size(); ++i) {
        m_buttons[i]->setSelected(index == i);
    }
}

BatteryLine::BatteryLine(QWidget* parent)
    : QWidget(parent)
    , m_status(new TextLine(QStringLiteral("not connected"), Mono::dim(), this))
    , m_percent(new TextLine(QString(), Mono::text(), this))
    , m_bar(new BlockBar(0, barCells, Mono::text(), this))
    , m_charging(new TextLine(QStringLiteral("charging"), Mono::dim(), this))
{
    QHBoxLayout* layout = rowLayout(this, batteryPartGap);
    for (QWidget* part : std::initializer_list<QWidget*>{m_status, m_percent, m_bar, m_charging}) {
        layout->addWidget(part, 0, Qt::AlignVCenter);
    }
    showBattery(std::nullopt, 0);
}

QString BatteryLine::percentText(qint64 percent)
{
    return (QString::number(percent) + QLatin1Char('%')).leftJustified(4, QLatin1Char(' '), true);
}

QColor BatteryLine::barFill(const MouseBattery& battery, qint64 threshold)
{
    const bool low = battery.percent <= threshold && !battery.isCharging;
    return low ? Mono::red() : Mono::text();
}

void BatteryLine::showBattery(const std::optional<MouseBattery>& battery, qint64 threshold)
{
    m_status->setVisible(!battery);
    m_percent->setVisible(battery.has_value());
    m_bar->setVisible(battery.has_value());
    m_charging->setVisible(battery && battery->isCharging);
    if (battery) {
        m_percent->setText(percentText(battery->percent));
        m_bar->setPercent(battery->percent);
        m_bar->setFill(barFill(*battery, threshold));
    }
    layout()->activate();
}

CommandRow::Colours CommandRow::colours(bool hovering, const QColor& tint)
{
    if (hovering) {
        return {tint, tint};
    }
    return {Mono::faint(), tint == Mono::text() ? Mono::dim() : tint};
}

CommandRow::CommandRow(const QString& title, const QColor& tint, std::function<void()> action,
                       QWidget* parent)
    : QAbstractButton(parent)
    , m_tint(tint)
    , m_action(std::move(action))
{
    setText(title);
    setFocusPolicy(Qt::TabFocus);
    connect(this, &QAbstractButton::clicked, this, [this] {
        if (m_action) {
            m_action();
        }
    });
}

void CommandRow::setTitle(const QString& title)
{
    setText(title);
    updateGeometry();
}

void CommandRow::setTint(const QColor& tint)
{
    m_tint = tint;
    update();
}

QSize CommandRow::sizeHint() const
{
    const QFontMetrics metrics = fontMetrics();
    return {metrics.horizontalAdvance(QStringLiteral(">")) + promptGap +
                metrics.horizontalAdvance(text()),
            metrics.height()};
}

void CommandRow::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    const QFontMetrics metrics = fontMetrics();
    const Colours now = currentColours();
    const QString prompt = QStringLiteral(">");
    painter.setPen(now.prompt);
    painter.drawText(0, metrics.ascent(), prompt);
    painter.setPen(now.title);
    const int titleX = metrics.horizontalAdvance(prompt) + promptGap;
    painter.drawText(titleX, metrics.ascent(), text());
    if (hasFocus()) {
        const int underline = metrics.ascent() + std::max(1, metrics.underlinePos());
        painter.fillRect(titleX, underline, metrics.horizontalAdvance(text()), 1, now.title);
    }
}

void CommandRow::keyPressEvent(QKeyEvent* event)
{
    if (isEnterKey(*event)) {
        click();
        return;
    }
    QAbstractButton::keyPressEvent(event);
}

void CommandRow::enterEvent(QEnterEvent* event)
{
    m_hovering = true;
    update();
    QAbstractButton::enterEvent(event);
}

void CommandRow::leaveEvent(QEvent* event)
{
    m_hovering = false;
    update();
    QAbstractButton::leaveEvent(event);
}
