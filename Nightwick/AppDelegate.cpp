#include "AppDelegate.h"

#include "platform/ConsoleLogins.h"

namespace {

const QString autostartArgument = QStringLiteral("--autostart");

} // namespace

AppDelegate::AppDelegate(Services services, QObject* parent)
    : QObject(parent)
    , m_services(std::move(services))
    , m_model(m_services.model)
    , m_reminder(m_services.model.clock)
{
}

AppDelegate::~AppDelegate() = default;

bool AppDelegate::isLaunchAtLogin(const QStringList& arguments,
                                  std::optional<double> secondsSinceConsoleLogin)
{
    if (arguments.mid(1).contains(autostartArgument)) {
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
    const bool atLogin = isLaunchAtLogin(
        arguments, secondsSinceConsoleLogin(m_services.consoleLogins, m_services.model.clock.now()));
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
    // The shutdown gate hooks in here.
}

void AppDelegate::openSettingsWindow()
{
    // Until the settings window exists, a launch by hand simply runs in the background.
}
