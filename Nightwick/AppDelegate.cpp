#include "AppDelegate.h"

#include "platform/desktop/Alerts.h"
#include "platform/session/ConsoleLogins.h"
#include "platform/session/LoginSession.h"
#include "platform/session/SessionManagerClient.h"
#include "platform/session/ShutdownInhibitor.h"

#include <QCoreApplication>
#include <QEvent>
#include <QPointer>

#include <algorithm>

namespace {

const QString autostartArgument = QStringLiteral("--autostart");

} // namespace

AppDelegate::AppDelegate(Services services, QObject* parent)
    : QObject(parent)
    , m_services(std::move(services))
    , m_model(m_services.model)
    , m_reminder(m_services.model.clock, m_services.activeOutput)
{
}

AppDelegate::~AppDelegate() = default;

bool AppDelegate::isAutostartLaunch(const QStringList& arguments)
{
    return arguments.mid(1).contains(autostartArgument);
}

bool AppDelegate::isLaunchAtLogin(const QStringList& arguments,
                                  std::optional<double> secondsSinceConsoleLogin)
{
    if (isAutostartLaunch(arguments)) {
        return true;
    }
    // A login time in the future gives a negative age, which counts as just logged in.
    return secondsSinceConsoleLogin && *secondsSinceConsoleLogin < loginLaunchWindowSeconds;
}

std::optional<double> AppDelegate::secondsSinceConsoleLogin(ConsoleLogins& logins,
                                                            const QDateTime& now)
{
    const std::optional<qint64> newest = logins.newestLogin();
    if (!newest) {
        return std::nullopt;
    }
    return static_cast<double>(now.toMSecsSinceEpoch()) / 1000.0 - static_cast<double>(*newest);
}

void AppDelegate::applicationDidFinishLaunching(const QStringList& arguments)
{
    const bool atLogin =
        isLaunchAtLogin(arguments, secondsSinceConsoleLogin(m_services.consoleLogins,
                                                            m_services.model.clock.now()));
    // Linux never ends an agent on its own to save resources, so there is no sudden or
    // automatic termination to turn off here.
    subscribeToPowerOff();

    m_pollTimer = m_services.model.clock.createTimer();
    connect(m_pollTimer.get(), &Timer::timeout, this, [this] { m_model.refresh(); });
    m_pollTimer->start(pollInterval, true);

    m_model.registerLoginItemOnFirstInstall();
    if (!atLogin) {
        openSettingsWindow();
    }
}

void AppDelegate::subscribeToPowerOff()
{
    ShutdownInhibitor& inhibitor = m_services.shutdownInhibitor;
    connect(&inhibitor, &ShutdownInhibitor::shutdownAnnounced, this, &AppDelegate::willPowerOff);
    connect(&inhibitor, &ShutdownInhibitor::shutdownCancelled, this, [this] {
        // The card may stay its full time now: nobody is about to stop waiting for it.
        if (m_holdLimitTimer) {
            m_holdLimitTimer->stop();
        }
    });
    inhibitor.start();
    // A quit request of the window system's counts as a log-out. (The X11 session manager no
    // longer sends one through Qt: the agent is its client directly.)
    QCoreApplication::instance()->installEventFilter(this);
    if (SessionManagerClient* sessionManager = m_services.sessionManager) {
        connect(sessionManager, &SessionManagerClient::endSessionRequested, this,
                &AppDelegate::endSessionRequested);
        connect(sessionManager, &SessionManagerClient::stopRequested, this,
                &AppDelegate::stopRequested);
        sessionManager->start();
    }
}

void AppDelegate::openSettingsWindow()
{
    settings().show();
}

// The shutdown gate ------------------------------------------------------------------------------

void AppDelegate::willPowerOff()
{
    remindIfNeeded();
    if (m_reminder.isVisible()) {
        // The lock stays until the card is dismissed.
        watchHoldLimit();
    } else {
        m_services.shutdownInhibitor.release();
    }
}

AppDelegate::TerminateReply AppDelegate::applicationShouldTerminate(QuitReason reason)
{
    if (isQuitForPowerOff(reason)) {
        remindIfNeeded();
    }
    if (m_reminder.isVisible()) {
        m_terminationPending = true;
        return TerminateReply::Later;
    }
    return TerminateReply::Now;
}

void AppDelegate::terminationSignalled()
{
    requestTermination(reasonForSignal());
}

void AppDelegate::requestTermination(QuitReason reason)
{
    if (applicationShouldTerminate(reason) == TerminateReply::Now) {
        replyToApplicationShouldTerminate(true);
    }
}

bool AppDelegate::isQuitForPowerOff(QuitReason reason)
{
    return reason == QuitReason::Shutdown || reason == QuitReason::LogOut;
}

AppDelegate::QuitReason AppDelegate::reasonForSignal()
{
    // Once logind has announced a shutdown, the signal that follows is that shutdown's.
    if (m_services.shutdownInhibitor.isShutdownAnnounced()) {
        return QuitReason::Shutdown;
    }
    if (m_services.loginSession.isClosing()) {
        return QuitReason::LogOut;
    }
    return QuitReason::Ordinary;
}

void AppDelegate::remindIfNeeded()
{
    if (m_reminder.isVisible()) {
        return;
    }
    const QDateTime now = m_services.model.clock.now();
    if (m_reminderStartedAt) {
        // A start in the future gives a negative age, which is refused as well.
        const double secondsSinceStart =
            static_cast<double>(m_reminderStartedAt->msecsTo(now)) / 1000.0;
        if (secondsSinceStart < reminderSpacingSeconds) {
            return;
        }
    }
    const std::optional<qint64> percent = m_model.percentNeedingReminder();
    if (!percent) {
        return;
    }
    m_reminderStartedAt = now;
    // The reminder is the delegate's own: no completion outlives it.
    m_reminder.show(*percent, reminderDurationSeconds, [this] { reminderDismissed(); });
}

void AppDelegate::replyToApplicationShouldTerminate(bool shouldTerminate)
{
    if (!shouldTerminate) {
        return;
    }
    m_services.shutdownInhibitor.release();
    if (m_services.sessionManager) {
        m_endSessionWaiting = false;
        m_services.sessionManager->answerEndSession();
    }
    emit readyToTerminate();
}

void AppDelegate::reminderDismissed()
{
    if (m_holdLimitTimer) {
        m_holdLimitTimer->stop();
    }
    // Any card answers a termination that waits on it, the test reminder too; that answers a
    // waiting log-out as well.
    if (m_terminationPending) {
        m_terminationPending = false;
        replyToApplicationShouldTerminate(true);
        return;
    }
    if (m_endSessionWaiting) {
        m_endSessionWaiting = false;
        m_services.sessionManager->answerEndSession();
    }
    if (m_services.shutdownInhibitor.isShutdownAnnounced()) {
        m_services.shutdownInhibitor.release();
    }
}

bool AppDelegate::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == QCoreApplication::instance() && event->type() == QEvent::Quit) {
        requestTermination(QuitReason::LogOut);
        return true;
    }
    return QObject::eventFilter(watched, event);
}

void AppDelegate::endSessionRequested()
{
    // The log-out waits for the card, not for the agent's end: the session manager may still
    // call it off, and says when to quit.
    remindIfNeeded();
    m_endSessionWaiting = m_reminder.isVisible();
    if (!m_endSessionWaiting) {
        m_services.sessionManager->answerEndSession();
    }
}

void AppDelegate::stopRequested()
{
    requestTermination(QuitReason::Ordinary);
}

void AppDelegate::watchHoldLimit()
{
    // Past the limit the system shuts down regardless; a card closed just before it still
    // answers everything that waits on it.
    if (!m_holdLimitTimer) {
        m_holdLimitTimer = m_services.model.clock.createTimer();
        connect(m_holdLimitTimer.get(), &Timer::timeout, this, [this] {
            m_holdLimitTimer->stop();
            m_reminder.dismiss();
            if (m_services.shutdownInhibitor.isShutdownAnnounced()) {
                m_services.shutdownInhibitor.release();
            }
        });
    }
    const auto limit = m_services.shutdownInhibitor.holdLimit() - holdLimitMargin;
    m_holdLimitTimer->start(std::max(limit, std::chrono::milliseconds(0)), false);
}

// The settings window ----------------------------------------------------------------------------

SettingsWindowController& AppDelegate::settings()
{
    if (!m_settings) {
        // The commands outlive no one: the controller they belong to is the delegate's own.
        const QPointer<AppDelegate> self(this);
        SettingsView::Actions actions{
            [self] {
                if (self) {
                    self->showTestReminder();
                }
            },
            [self] {
                if (self) {
                    self->uninstall();
                }
            },
        };
        m_settings = std::make_unique<SettingsWindowController>(m_model, std::move(actions),
                                                                m_services.model.clock);
    }
    return *m_settings;
}

void AppDelegate::applicationShouldHandleReopen()
{
    settings().show();
}

void AppDelegate::showTestReminder()
{
    m_model.refresh();
    const qint64 percent =
        m_model.battery() ? m_model.battery()->percent : testReminderFallbackPercent;
    // Neither the threshold nor the charging state matters here, and the shutdown gate's
    // bookkeeping stays as it is.
    m_reminder.show(percent, reminderDurationSeconds, [this] { reminderDismissed(); });
}

void AppDelegate::uninstall()
{
    const Outcome outcome = m_model.uninstall();
    if (!outcome.ok()) {
        m_services.model.alerts.showError(outcome.errorDescription());
        return;
    }
    requestTermination(QuitReason::Ordinary);
}
