#include "AppDelegate.h"
#include "platform/AppActivation.h"
#include "platform/DisplayLoss.h"
#include "platform/Clock.h"
#include "platform/FreedesktopTrash.h"
#include "platform/GnomeSessionClient.h"
#include "platform/IniSettingsStore.h"
#include "platform/LogindLoginSession.h"
#include "platform/LogindShutdownInhibitor.h"
#include "platform/MessageBoxAlerts.h"
#include "platform/ProgramLocation.h"
#include "platform/QtSessionClient.h"
#include "platform/SysfsBatteryServices.h"
#include "platform/TerminationSignals.h"
#include "platform/UPowerBatteryServices.h"
#include "platform/UtmpConsoleLogins.h"
#include "platform/XdgAutostartLoginItem.h"

#include <QApplication>
#include <QDBusConnection>
#include <QTimer>

#include <cstdio>

namespace {

// Ordinary Wayland windows may neither place themselves nor stay on top, which the reminder
// needs; XWayland gives both where it is there.
bool chooseWindowSystem()
{
    const bool hasX11 = !qEnvironmentVariableIsEmpty("DISPLAY");
    const bool hasWayland = !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY");
    if (!qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        return true;
    }
    if (hasX11) {
        qputenv("QT_QPA_PLATFORM", "xcb");
    }
    return hasX11 || hasWayland;
}

// GNOME's session manager where it runs, else the X11 session manager through Qt; never both,
// or a log-out would be answered twice.
std::unique_ptr<SessionManagerClient> chooseSessionManager(QApplication& app,
                                                           const QDBusConnection& sessionBus)
{
    if (GnomeSessionClient::isRunning(sessionBus)) {
        const QString startupId = qEnvironmentVariable("DESKTOP_AUTOSTART_ID");
        // The id is for this process alone; programs started from here must not reuse it.
        qunsetenv("DESKTOP_AUTOSTART_ID");
        return std::make_unique<GnomeSessionClient>(sessionBus, QStringLiteral(NIGHTWICK_APP_ID),
                                                    startupId);
    }
    if (QGuiApplication::platformName() == QLatin1String("xcb")) {
        return std::make_unique<QtSessionClient>(app);
    }
    return nullptr;
}

} // namespace

int main(int argc, char* argv[])
{
    if (!chooseWindowSystem()) {
        std::fputs("nightwick: no desktop session found (neither DISPLAY nor WAYLAND_DISPLAY is "
                   "set).\nNightwick is a desktop agent: start it from within your graphical "
                   "session.\n",
                   stderr);
        return 1;
    }
    QApplication app(argc, argv);
    quitCleanlyWhenTheDisplayGoesAway();
    QApplication::setApplicationName(QStringLiteral("nightwick"));
    QApplication::setApplicationDisplayName(QStringLiteral("Nightwick"));
    QApplication::setDesktopFileName(QStringLiteral(NIGHTWICK_APP_ID));
    // Closing the settings window leaves the agent running in the background.
    QApplication::setQuitOnLastWindowClosed(false);
    // A second launch shows the running agent's settings window instead of starting another agent.
    AppActivation activation(QDBusConnection::sessionBus(), QStringLiteral(NIGHTWICK_APP_ID));
    switch (activation.claim()) {
    case AppActivation::Role::First:
        break;
    case AppActivation::Role::ActivatedRunning:
        return 0;
    case AppActivation::Role::RunningSilent:
        std::fputs("nightwick: Nightwick is already running but does not answer.\n", stderr);
        return 1;
    }
    // Caught from here on; a signal that comes before the event loop runs waits in the pipe.
    TerminationSignals terminationSignals;

    const QDBusConnection systemBus = QDBusConnection::systemBus();
    const QString programFile = ProgramLocation::programFile();
    SystemClock clock;
    IniSettingsStore store(IniSettingsStore::defaultFilePath());
    XdgAutostartLoginItem loginItem(XdgAutostartLoginItem::defaultEntryFile(), programFile);
    FreedesktopTrash trash;
    MessageBoxAlerts alerts;
    UPowerBatteryServices batteries(systemBus, std::make_unique<SysfsBatteryServices>());
    UtmpConsoleLogins consoleLogins(systemBus);
    LogindShutdownInhibitor shutdownInhibitor(systemBus);
    LogindLoginSession loginSession(systemBus);
    const std::unique_ptr<SessionManagerClient> sessionManager =
        chooseSessionManager(app, QDBusConnection::sessionBus());

    AppDelegate delegate({{batteries, store, loginItem, trash, alerts, clock, programFile},
                          consoleLogins,
                          shutdownInhibitor,
                          loginSession,
                          sessionManager.get()});
    QObject::connect(&terminationSignals, &TerminationSignals::received, &delegate,
                     &AppDelegate::terminationSignalled);
    QObject::connect(&activation, &AppActivation::activated, &delegate,
                     &AppDelegate::applicationShouldHandleReopen);
    QObject::connect(&delegate, &AppDelegate::readyToTerminate, &app,
                     [] { QCoreApplication::exit(0); });
    const QStringList arguments = QApplication::arguments();
    QTimer::singleShot(0, &delegate, [&delegate, arguments] {
        delegate.applicationDidFinishLaunching(arguments);
    });
    return QApplication::exec();
}
