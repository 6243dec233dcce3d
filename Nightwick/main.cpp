#include "AppDelegate.h"
#include "platform/Clock.h"
#include "platform/FreedesktopTrash.h"
#include "platform/IniSettingsStore.h"
#include "platform/MessageBoxAlerts.h"
#include "platform/ProgramLocation.h"
#include "platform/SysfsBatteryServices.h"
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
    QApplication::setApplicationName(QStringLiteral("nightwick"));
    QApplication::setApplicationDisplayName(QStringLiteral("Nightwick"));
    QApplication::setDesktopFileName(QStringLiteral(NIGHTWICK_APP_ID));
    // Closing the settings window leaves the agent running in the background.
    QApplication::setQuitOnLastWindowClosed(false);

    const QDBusConnection systemBus = QDBusConnection::systemBus();
    const QString programFile = ProgramLocation::programFile();
    SystemClock clock;
    IniSettingsStore store(IniSettingsStore::defaultFilePath());
    XdgAutostartLoginItem loginItem(XdgAutostartLoginItem::defaultEntryFile(), programFile);
    FreedesktopTrash trash;
    MessageBoxAlerts alerts;
    UPowerBatteryServices batteries(systemBus, std::make_unique<SysfsBatteryServices>());
    UtmpConsoleLogins consoleLogins(systemBus);

    AppDelegate delegate(
        {{batteries, store, loginItem, trash, alerts, clock, programFile}, consoleLogins});
    const QStringList arguments = QApplication::arguments();
    QTimer::singleShot(0, &delegate, [&delegate, arguments] {
        delegate.applicationDidFinishLaunching(arguments);
    });
    return QApplication::exec();
}
