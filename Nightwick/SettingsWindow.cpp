#include "SettingsWindow.h"
#include "AppModel.h"
#include "Clock.h"
#include "Look.h"
#include "SettingsRows.h"

#include <QGridLayout>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QScreen>
#include <QVBoxLayout>
#include <QWindow>

#include <utility>

using namespace std::chrono_literals;

namespace {

// The page's measures, in device-independent pixels.
constexpr int sideInset = 40;
constexpr int topInset = 52;
constexpr int taglineGap = 10;
constexpr int taglineExtraLineSpacing = 3;
constexpr int ruleGap = 22;
constexpr int settingsRowGap = 16;
constexpr int labelColumnWidth = 130;
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

// A faint 1-px line across the content.
QWidget* makeRule(QWidget* parent)
{
    auto* rule = new QWidget(parent);
    rule->setFixedHeight(1);
    rule->setAutoFillBackground(true);
    QPalette palette = rule->palette();
    palette.setColor(QPalette::Window, Mono::faint());
    rule->setPalette(palette);
    return rule;
}

} // namespace

SettingsView::SettingsView(AppModel& model, Actions actions, Clock& clock, QWidget* parent)
    : QWidget(parent)
    , m_model(model)
    , m_actions(std::move(actions))
    , m_disarmTimer(clock.createTimer())
{
    setFixedSize(size);
    setFont(Mono::font(pageFontSize));
    QPalette palette = this->palette();
    palette.setColor(QPalette::Window, Mono::background());
    setPalette(palette);
    setAutoFillBackground(true);
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
    auto* headline = new TextLine(QStringLiteral("nightwick"), Mono::text(), this);
    headline->setFont(Mono::font(headlineFontSize, QFont::DemiBold));
    auto* tagline = new TextLine(taglineText, Mono::dim(), this);
    tagline->setExtraLineSpacing(taglineExtraLineSpacing);

    auto* mouseLabel = new TextLine(QStringLiteral("mouse"), Mono::dim(), this);
    auto* remindLabel = new TextLine(QStringLiteral("remind at"), Mono::dim(), this);
    auto* loginLabel = new TextLine(QStringLiteral("open at login"), Mono::dim(), this);

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

    auto* testReminderRow = new CommandRow(
        QStringLiteral("show test reminder"), Mono::text(),
        [this] {
            if (m_actions.showTestReminder) {
                m_actions.showTestReminder();
            }
        },
        this);
    m_uninstallRow = new CommandRow(
        uninstallTitle, Mono::text(), [this] { uninstallTapped(); }, this);
    testReminderRow->setAccessibleDescription(
        QStringLiteral("shows the reminder card as at shutdown"));
    m_uninstallRow->setAccessibleDescription(
        QStringLiteral("turns off the login start and removes Nightwick; asks again first"));

    // Names for finding the parts from outside (tests, accessibility tools).
    mouseLabel->setObjectName(QStringLiteral("mouseLabel"));
    remindLabel->setObjectName(QStringLiteral("remindLabel"));
    loginLabel->setObjectName(QStringLiteral("loginLabel"));
    m_batteryLine->setObjectName(QStringLiteral("batteryLine"));
    m_thresholdChoices->setObjectName(QStringLiteral("thresholdChoices"));
    m_loginChoices->setObjectName(QStringLiteral("loginChoices"));
    testReminderRow->setObjectName(QStringLiteral("testReminderRow"));
    m_uninstallRow->setObjectName(QStringLiteral("uninstallRow"));

    // Top to bottom, every gap from the page's measures; each label is centred on its row, which
    // puts it on the row's baseline, as the row's text has the label's font.
    auto* page = new QVBoxLayout(this);
    page->setContentsMargins(sideInset, topInset, sideInset, 0);
    page->setSpacing(0);
    page->addWidget(headline);
    page->addSpacing(taglineGap);
    page->addWidget(tagline);
    page->addSpacing(ruleGap);
    page->addWidget(makeRule(this));
    page->addSpacing(ruleGap);

    // The choices' words start in the content column too: the label column is narrower by the
    // inset of a choice's word in its block, and the battery line is indented as much.
    auto* rows = new QGridLayout;
    rows->setSpacing(0);
    rows->setVerticalSpacing(settingsRowGap);
    rows->setColumnMinimumWidth(0, labelColumnWidth - ChoiceButton::horizontalInset);
    auto* batteryCell = new QHBoxLayout;
    batteryCell->addSpacing(ChoiceButton::horizontalInset);
    batteryCell->addWidget(m_batteryLine);
    batteryCell->addStretch();
    constexpr Qt::Alignment leftCentred = Qt::AlignLeft | Qt::AlignVCenter;
    rows->addWidget(mouseLabel, 0, 0, leftCentred);
    rows->addLayout(batteryCell, 0, 1, leftCentred);
    rows->addWidget(remindLabel, 1, 0, leftCentred);
    rows->addWidget(m_thresholdChoices, 1, 1, leftCentred);
    rows->addWidget(loginLabel, 2, 0, leftCentred);
    rows->addWidget(m_loginChoices, 2, 1, leftCentred);
    page->addLayout(rows);

    page->addSpacing(ruleGap);
    page->addWidget(makeRule(this));
    page->addSpacing(ruleGap);
    page->addWidget(testReminderRow, 0, Qt::AlignLeft);
    page->addSpacing(commandRowGap);
    page->addWidget(m_uninstallRow, 0, Qt::AlignLeft);
    page->addStretch();
}

void SettingsView::showModel()
{
    m_batteryLine->showBattery(m_model.battery(), m_model.threshold());
    const qsizetype threshold = AppModel::thresholdChoices.indexOf(m_model.threshold());
    m_thresholdChoices->setSelected(threshold >= 0 ? std::optional(threshold) : std::nullopt);
    m_loginChoices->setSelected(m_model.opensAtLogin() ? 0 : 1);
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
}

SettingsNSWindow::SettingsNSWindow(AppModel& model, SettingsView::Actions actions, Clock& clock)
{
    new SettingsView(model, std::move(actions), clock, this);
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
