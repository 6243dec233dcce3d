#include "SettingsWindow.h"
#include "SettingsWindow_p.h"

#include "AppModel.h"
#include "Look.h"
#include "Clock.h"

#include <QEnterEvent>
#include <QFontMetrics>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QScreen>
#include <QWindow>

#include <algorithm>

using namespace std::chrono_literals;

namespace {

// The page's measures, in device-independent pixels.
constexpr int sideInset = 40;
constexpr int topInset = 52;
constexpr int contentWidth = SettingsView::size.width() - 2 * sideInset;
constexpr int taglineGap = 10;
constexpr int taglineExtraLineSpacing = 3;
constexpr int ruleGap = 22;
constexpr int ruleHeight = 1;
constexpr int settingsRowGap = 16;
constexpr int labelColumnWidth = 130;
constexpr int choiceGap = 6;
constexpr int batteryPartGap = 14;
constexpr int barCells = 20;
constexpr int commandRowGap = 8;
constexpr int pageFontSize = 13;
constexpr int headlineFontSize = 15;

constexpr std::chrono::milliseconds disarmDelay = 4s;

const QString taglineText = QStringLiteral("a nudge at shutdown when your magic mouse\n"
                                           "is running low, so it charges overnight.");
const QString uninstallTitle = QStringLiteral("uninstall");
const QString confirmUninstallTitle = QStringLiteral("uninstall \u2014 click again to confirm");

QString thresholdLabel(qint64 percent)
{
    return QString::number(percent) + QLatin1Char('%');
}

// Widgets side by side, `gap` apart and centred on one another, as the choice row and the
// battery line lay out their parts; a hidden part takes no room.
QSize rowSize(const QList<QWidget*>& parts, const QWidget& row, int gap)
{
    int width = 0;
    int height = 0;
    for (const QWidget* part : parts) {
        if (part->isVisibleTo(&row)) {
            const QSize hint = part->sizeHint();
            width += (width > 0 ? gap : 0) + hint.width();
            height = std::max(height, hint.height());
        }
    }
    return {width, height};
}

void layOutRow(const QList<QWidget*>& parts, const QWidget& row, int gap)
{
    const int height = rowSize(parts, row, gap).height();
    int x = 0;
    for (QWidget* part : parts) {
        if (part->isVisibleTo(&row)) {
            const QSize hint = part->sizeHint();
            part->setGeometry(x, (height - hint.height()) / 2, hint.width(), hint.height());
            x += hint.width() + gap;
        }
    }
}

// Places a child at its preferred size.
void place(QWidget& child, int x, int y)
{
    child.setGeometry(QRect(QPoint(x, y), child.sizeHint()));
}

} // namespace

// ---------------------------------------------------------------------------------------------

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

void TextLine::setColour(const QColor& colour)
{
    m_colour = colour;
    update();
}

void TextLine::setExtraLineSpacing(int pixels)
{
    m_extraLineSpacing = pixels;
    updateGeometry();
    update();
}

int TextLine::firstBaseline() const
{
    return fontMetrics().ascent();
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

// ---------------------------------------------------------------------------------------------

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

// ---------------------------------------------------------------------------------------------

ChoiceRow::ChoiceRow(const QList<Choice>& choices, QWidget* parent)
    : QWidget(parent)
{
    for (const Choice& choice : choices) {
        auto* button = new ChoiceButton(choice.label, this);
        button->setAccessibleName(choice.accessibleName);
        connect(button, &QAbstractButton::clicked, this, [choose = choice.choose] {
            if (choose) {
                choose();
            }
        });
        m_buttons.append(button);
    }
    layoutButtons();
}

void ChoiceRow::setSelected(std::optional<qsizetype> index)
{
    for (qsizetype i = 0; i < m_buttons.size(); ++i) {
        m_buttons[i]->setSelected(index == i);
    }
}

int ChoiceRow::firstBaseline() const
{
    return ChoiceButton::verticalInset + fontMetrics().ascent();
}

QList<QWidget*> ChoiceRow::parts() const
{
    return {m_buttons.begin(), m_buttons.end()};
}

QSize ChoiceRow::sizeHint() const
{
    return rowSize(parts(), *this, choiceGap);
}

void ChoiceRow::changeEvent(QEvent* event)
{
    if (event->type() == QEvent::FontChange) {
        layoutButtons();
        updateGeometry();
    }
    QWidget::changeEvent(event);
}

void ChoiceRow::layoutButtons()
{
    layOutRow(parts(), *this, choiceGap);
}

// ---------------------------------------------------------------------------------------------

BatteryLine::BatteryLine(QWidget* parent)
    : QWidget(parent)
    , m_status(new TextLine(QStringLiteral("not connected"), Mono::dim(), this))
    , m_percent(new TextLine(QString(), Mono::text(), this))
    , m_bar(new BlockBar(0, barCells, Mono::text(), false, this))
    , m_charging(new TextLine(QStringLiteral("charging"), Mono::dim(), this))
{
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
    layoutParts();
    updateGeometry();
}

int BatteryLine::firstBaseline() const
{
    const TextLine& firstText = m_status->isVisibleTo(this) ? *m_status : *m_percent;
    return firstText.y() + firstText.firstBaseline();
}

QList<QWidget*> BatteryLine::parts() const
{
    return {m_status, m_percent, m_bar, m_charging};
}

QSize BatteryLine::sizeHint() const
{
    return rowSize(parts(), *this, batteryPartGap);
}

void BatteryLine::changeEvent(QEvent* event)
{
    if (event->type() == QEvent::FontChange) {
        layoutParts();
        updateGeometry();
    }
    QWidget::changeEvent(event);
}

void BatteryLine::layoutParts()
{
    layOutRow(parts(), *this, batteryPartGap);
}

// ---------------------------------------------------------------------------------------------

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

// ---------------------------------------------------------------------------------------------

SettingsView::SettingsView(AppModel& model, Actions actions, Clock& clock, QWidget* parent)
    : QWidget(parent)
    , m_model(model)
    , m_actions(std::move(actions))
    , m_disarmTimer(clock.createTimer())
{
    setFixedSize(size);
    setFont(Mono::font(pageFontSize));
    // The page itself holds the focus when its window opens and after a click on its
    // background, so no control shows as focused until Tab reaches one.
    setFocusPolicy(Qt::ClickFocus);
    setFocus();
    buildPage();
    connect(m_disarmTimer.get(), &Timer::timeout, this, [this] { setConfirmingUninstall(false); });
    connect(&m_model, &AppModel::changed, this, &SettingsView::showModel);
    showModel();
}

SettingsView::~SettingsView() = default;

void SettingsView::buildPage()
{
    m_headline = new TextLine(QStringLiteral("nightwick"), Mono::text(), this);
    m_headline->setFont(Mono::font(headlineFontSize, QFont::DemiBold));
    m_tagline = new TextLine(taglineText, Mono::dim(), this);
    m_tagline->setExtraLineSpacing(taglineExtraLineSpacing);

    m_mouseLabel = new TextLine(QStringLiteral("mouse"), Mono::dim(), this);
    m_remindLabel = new TextLine(QStringLiteral("remind at"), Mono::dim(), this);
    m_loginLabel = new TextLine(QStringLiteral("open at login"), Mono::dim(), this);

    m_batteryLine = new BatteryLine(this);

    QList<ChoiceRow::Choice> thresholds;
    for (const qint64 choice : AppModel::thresholdChoices) {
        thresholds.append({thresholdLabel(choice), [this, choice] { m_model.setThreshold(choice); },
                           QStringLiteral("threshold %1 percent").arg(choice)});
    }
    m_thresholdChoices = new ChoiceRow(thresholds, this);
    // Choosing the state that is already shown still asks again: the model shows what the
    // system reports, not what was clicked.
    m_loginChoices =
        new ChoiceRow({{QStringLiteral("on"), [this] { m_model.setOpensAtLogin(true); },
                        QStringLiteral("open at login on")},
                       {QStringLiteral("off"), [this] { m_model.setOpensAtLogin(false); },
                        QStringLiteral("open at login off")}},
                      this);

    m_testReminderRow = new CommandRow(
        QStringLiteral("show test reminder"), Mono::text(),
        [this] {
            if (m_actions.showTestReminder) {
                m_actions.showTestReminder();
            }
        },
        this);
    m_uninstallRow = new CommandRow(
        uninstallTitle, Mono::text(), [this] { uninstallTapped(); }, this);
    m_testReminderRow->setAccessibleDescription(
        QStringLiteral("shows the reminder card as at shutdown"));
    m_uninstallRow->setAccessibleDescription(
        QStringLiteral("turns off the login start and removes Nightwick; asks again first"));

    // Names for finding the parts from outside (tests, accessibility tools).
    m_mouseLabel->setObjectName(QStringLiteral("mouseLabel"));
    m_remindLabel->setObjectName(QStringLiteral("remindLabel"));
    m_loginLabel->setObjectName(QStringLiteral("loginLabel"));
    m_batteryLine->setObjectName(QStringLiteral("batteryLine"));
    m_thresholdChoices->setObjectName(QStringLiteral("thresholdChoices"));
    m_loginChoices->setObjectName(QStringLiteral("loginChoices"));
    m_testReminderRow->setObjectName(QStringLiteral("testReminderRow"));
    m_uninstallRow->setObjectName(QStringLiteral("uninstallRow"));
}

void SettingsView::showModel()
{
    m_batteryLine->showBattery(m_model.battery(), m_model.threshold());
    const qsizetype threshold = AppModel::thresholdChoices.indexOf(m_model.threshold());
    m_thresholdChoices->setSelected(threshold >= 0 ? std::optional(threshold) : std::nullopt);
    m_loginChoices->setSelected(m_model.opensAtLogin() ? 0 : 1);
    layoutPage();
}

// The first click arms the command for 4 seconds; a click while armed uninstalls. Later clicks
// neither extend nor shorten the 4 seconds, which count from the arming click.
void SettingsView::uninstallTapped()
{
    if (m_confirmingUninstall) {
        if (m_actions.uninstall) {
            m_actions.uninstall();
        }
        return;
    }
    setConfirmingUninstall(true);
    m_disarmTimer->start(disarmDelay, false);
}

void SettingsView::setConfirmingUninstall(bool confirming)
{
    m_confirmingUninstall = confirming;
    m_uninstallRow->setTitle(confirming ? confirmUninstallTitle : uninstallTitle);
    m_uninstallRow->setTint(confirming ? Mono::red() : Mono::text());
    layoutPage();
}

// Top to bottom, every gap from the page's measures; labels share their content's first
// baseline, and the content column starts 130 px into the content.
void SettingsView::layoutPage()
{
    const int contentColumn = sideInset + labelColumnWidth;
    int y = topInset;

    place(*m_headline, sideInset, y);
    y += m_headline->height() + taglineGap;
    place(*m_tagline, sideInset, y);
    y += m_tagline->height() + ruleGap;

    m_firstRuleY = y;
    y += ruleHeight + ruleGap;

    const auto placeRow = [&](TextLine& label, QWidget& content, int contentX, int baseline) {
        place(content, contentX, y);
        place(label, sideInset, y + baseline - label.firstBaseline());
        const int bottom = std::max(content.geometry().bottom(), label.geometry().bottom());
        y = bottom + 1 + settingsRowGap;
    };
    // The choice labels are inset as far as the row is shifted left, so their text starts at
    // the content column too.
    const int choicesX = contentColumn - ChoiceButton::horizontalInset;
    placeRow(*m_mouseLabel, *m_batteryLine, contentColumn, m_batteryLine->firstBaseline());
    placeRow(*m_remindLabel, *m_thresholdChoices, choicesX, m_thresholdChoices->firstBaseline());
    placeRow(*m_loginLabel, *m_loginChoices, choicesX, m_loginChoices->firstBaseline());
    y += -settingsRowGap + ruleGap;

    m_secondRuleY = y;
    y += ruleHeight + ruleGap;

    place(*m_testReminderRow, sideInset, y);
    y += m_testReminderRow->height() + commandRowGap;
    place(*m_uninstallRow, sideInset, y);
    update();
}

void SettingsView::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    painter.fillRect(rect(), Mono::background());
    painter.fillRect(sideInset, m_firstRuleY, contentWidth, ruleHeight, Mono::faint());
    painter.fillRect(sideInset, m_secondRuleY, contentWidth, ruleHeight, Mono::faint());
}

// ---------------------------------------------------------------------------------------------

SettingsNSWindow::SettingsNSWindow(AppModel& model, SettingsView::Actions actions, Clock& clock)
    : m_view(new SettingsView(model, std::move(actions), clock, this))
{
    setWindowTitle(QStringLiteral("Nightwick"));
    setFixedSize(SettingsView::size);

    // Dark whatever the desktop's theme: nothing here takes a colour from the system.
    QPalette palette;
    for (const QPalette::ColorRole role : {QPalette::Window, QPalette::Base, QPalette::Button}) {
        palette.setColor(role, Mono::background());
    }
    for (const QPalette::ColorRole role :
         {QPalette::WindowText, QPalette::Text, QPalette::ButtonText}) {
        palette.setColor(role, Mono::text());
    }
    setPalette(palette);
    setAutoFillBackground(true);
}

bool SettingsNSWindow::isCloseShortcut(const QKeyEvent& event)
{
    return event.key() == Qt::Key_W && event.modifiers() == Qt::ControlModifier;
}

void SettingsNSWindow::keyPressEvent(QKeyEvent* event)
{
    if (isCloseShortcut(*event)) {
        close();
        return;
    }
    QWidget::keyPressEvent(event);
}

// Presses that no control takes reach the window: the whole background is a drag handle.
void SettingsNSWindow::mousePressEvent(QMouseEvent* event)
{
    if (event->button() == Qt::LeftButton && windowHandle()) {
        windowHandle()->startSystemMove();
        return;
    }
    QWidget::mousePressEvent(event);
}

// ---------------------------------------------------------------------------------------------

SettingsWindowController::SettingsWindowController(AppModel& model, SettingsView::Actions actions,
                                                   Clock& clock)
    : m_model(model)
    , m_actions(std::move(actions))
    , m_clock(clock)
{
}

SettingsWindowController::~SettingsWindowController() = default;

void SettingsWindowController::show()
{
    m_model.refresh();
    if (!m_window) {
        m_window = std::make_unique<SettingsNSWindow>(m_model, m_actions, m_clock);
        // Centred once; after that the window stays wherever the user moves it.
        if (const QScreen* screen = QGuiApplication::primaryScreen()) {
            QRect frame = m_window->frameGeometry();
            frame.moveCenter(screen->availableGeometry().center());
            m_window->move(frame.topLeft());
        }
    }
    m_window->show();
    m_window->raise();
    m_window->activateWindow();
}

QWidget* SettingsWindowController::window() const
{
    return m_window.get();
}
