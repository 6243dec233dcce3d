#include "AppDelegate.h"
#include "CommandLine.h"
#include "platform/desktop/AppActivation.h"
#include "platform/desktop/DisplayLoss.h"
#include "platform/desktop/DisplayReach.h"
#include "Clock.h"
#include "platform/files/FreedesktopTrash.h"
#include "platform/session/GnomeSessionClient.h"
#include "platform/files/IniSettingsStore.h"
#include "platform/desktop/KWinActiveOutput.h"
#include "platform/session/LogindLoginSession.h"
#include "platform/session/LogindShutdownInhibitor.h"
#include "platform/desktop/MessageBoxAlerts.h"
#include "platform/desktop/ProgramLocation.h"
#include "platform/battery/SysfsBatteryServices.h"
#include "platform/session/TerminationSignals.h"
#include "platform/battery/UPowerBatteryServices.h"
#include "platform/session/UtmpConsoleLogins.h"
#include "platform/files/XdgAutostartLoginItem.h"
#include "platform/files/XdgBaseDirectories.h"
#ifdef NIGHTWICK_HAS_XSMP
#include "platform/session/XsmpSessionClient.h"
#endif

#include <QApplication>
#include <QDBusConnection>
#include <QTimer>

#include <csignal>
#include <cstdio>
#include <memory>
#include <optional>

namespace {

// --help, --version and wrong options are answered before anything starts, so they work
// without a desktop session or a session bus.
std::optional<int> answerWithoutStarting(int argc, char* argv[])
{
    QStringList arguments;
    for (int i = 0; i < argc; ++i) {
        arguments << QString::fromLocal8Bit(argv[i]);
    }
    const CommandLine::Parsed command = CommandLine::parse(arguments);
    const auto print = [](const QString& text) {
        std::fputs(qPrintable(text), stdout);
        // A help text that could not be written (a full disk, a closed pipe) is a failure.
        return std::fflush(stdout) == 0 && !std::ferror(stdout) ? 0 : 1;
    };
    switch (command.request) {
    case CommandLine::Request::RunAgent:
        return std::nullopt;
    case CommandLine::Request::PrintHelp:
        return print(CommandLine::helpText());
    case CommandLine::Request::PrintVersion:
        return print(CommandLine::versionText());
    case CommandLine::Request::Refuse:
        std::fputs(qPrintable(CommandLine::refusalText(command.refusedOption)), stderr);
        return CommandLine::usageErrorStatus;
    }
    return std::nullopt;
}

enum class DisplayChoice { Made, NoneNamed, NoneAnswers };

// Ordinary Wayland windows may neither place themselves nor stay on top, which the reminder
// needs; XWayland gives both where it is there. A display that is named but does not answer is
// told apart from none: Qt would abort on it.
DisplayChoice chooseWindowSystem(const X11DisplayProbe& x11)
{
    const bool hasX11 = !qEnvironmentVariableIsEmpty("DISPLAY");
    const bool hasWayland = !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY");
    // A platform the user chose stays, but its display is asked all the same: Qt would abort on
    // it too. A list of platforms to try is left to Qt.
    const QByteArray chosen = qgetenv("QT_QPA_PLATFORM");
    if (!chosen.isEmpty()) {
        if (chosen == "xcb" && !(hasX11 && x11.answers())) {
            return hasX11 ? DisplayChoice::NoneAnswers : DisplayChoice::NoneNamed;
        }
        if (chosen == "wayland" && !(hasWayland && waylandDisplayAnswers())) {
            return hasWayland ? DisplayChoice::NoneAnswers : DisplayChoice::NoneNamed;
        }
        return DisplayChoice::Made;
    }
    if (hasX11 && x11.answers()) {
        qputenv("QT_QPA_PLATFORM", "xcb");
        return DisplayChoice::Made;
    }
    if (hasWayland && waylandDisplayAnswers()) {
        qputenv("QT_QPA_PLATFORM", "wayland");
        return DisplayChoice::Made;
    }
    return hasX11 || hasWayland ? DisplayChoice::NoneAnswers : DisplayChoice::NoneNamed;
}

// One line naming the displays that were tried.
QByteArray noAnswerText()
{
    QByteArrayList tried;
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY"}) {
        if (!qEnvironmentVariableIsEmpty(name)) {
            tried << name + QByteArray("=") + qgetenv(name);
        }
    }
    return "nightwick: no display could be opened (nothing answers at " + tried.join(", ") + ").\n";
}

// The X11 session manager's address, kept from Qt: Qt would join it as a client of its own and
// answer a checkpoint like a log-out, and under GNOME, MATE or Cinnamon register the agent a
// second time.
QByteArray takeX11SessionManager()
{
    QByteArray address = qgetenv("SESSION_MANAGER");
    qunsetenv("SESSION_MANAGER");
    return address;
}

// GNOME's session manager where it runs (MATE's and Cinnamon's take its name), else the X11
// session manager; never both, or a log-out would be answered twice.
std::unique_ptr<SessionManagerClient> chooseSessionManager(const QDBusConnection& sessionBus,
                                                           const QByteArray& x11SessionManager,
                                                           const QString& programFile)
{
    if (GnomeSessionClient::isRunning(sessionBus)) {
        const QString startupId = qEnvironmentVariable("DESKTOP_AUTOSTART_ID");
        // The id is for this process alone; programs started from here must not reuse it.
        qunsetenv("DESKTOP_AUTOSTART_ID");
        return std::make_unique<GnomeSessionClient>(sessionBus, QStringLiteral(NIGHTWICK_APP_ID),
                                                    startupId);
    }
#ifdef NIGHTWICK_HAS_XSMP
    if (!x11SessionManager.isEmpty()) {
        return std::make_unique<XsmpSessionClient>(x11SessionManager, programFile);
    }
#else
    Q_UNUSED(x11SessionManager);
    Q_UNUSED(programFile);
#endif
    return nullptr;
}

} // namespace

int main(int argc, char* argv[])
{
    XdgBaseDirectories::settleEnvironment();
    if (const std::optional<int> status = answerWithoutStarting(argc, argv)) {
        return *status;
    }
    auto x11 = std::make_unique<X11DisplayProbe>();
    switch (chooseWindowSystem(*x11)) {
    case DisplayChoice::Made:
        break;
    case DisplayChoice::NoneNamed:
        std::fputs("nightwick: no desktop session found (neither DISPLAY nor WAYLAND_DISPLAY is "
                   "set).\nNightwick is a desktop agent: start it from within your graphical "
                   "session.\n",
                   stderr);
        return CommandLine::noDisplayStatus;
    case DisplayChoice::NoneAnswers:
        std::fputs(noAnswerText().constData(), stderr);
        return CommandLine::noDisplayStatus;
    }
    const QByteArray x11SessionManager = takeX11SessionManager();
    QApplication app(argc, argv);
    x11.reset(); // Qt holds a connection of its own now
    quitCleanlyWhenTheDisplayGoesAway();
    QApplication::setApplicationName(QStringLiteral("nightwick"));
    QApplication::setApplicationDisplayName(QStringLiteral("Nightwick"));
    QApplication::setDesktopFileName(QStringLiteral(NIGHTWICK_APP_ID));
    // Closing the settings window leaves the agent running in the background.
    QApplication::setQuitOnLastWindowClosed(false);
    // A second launch shows the running agent's settings window instead of starting another agent.
    // A login start that finds the agent already running leaves quietly; only a launch by hand
    // brings up the running agent's window.
    AppActivation activation(QDBusConnection::sessionBus(), QStringLiteral(NIGHTWICK_APP_ID));
    const auto ifRunning = AppDelegate::isAutostartLaunch(QApplication::arguments())
                               ? AppActivation::IfRunning::LeaveAlone
                               : AppActivation::IfRunning::Activate;
    switch (activation.claim(ifRunning)) {
    case AppActivation::Role::First:
        break;
    case AppActivation::Role::ActivatedRunning:
    case AppActivation::Role::AlreadyRunning:
        return 0;
    case AppActivation::Role::RunningSilent:
        std::fputs("nightwick: Nightwick is already running but does not answer.\n", stderr);
        return 1;
    }
    // Caught from here on; a signal that comes before the event loop runs waits in the pipe.
    TerminationSignals terminationSignals;
    // A write to a peer that has gone, such as the session manager's socket at the end of a
    // log-out, must fail with EPIPE rather than end the agent.
    std::signal(SIGPIPE, SIG_IGN);

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
    KWinActiveOutput kwinOutput(QDBusConnection::sessionBus());
    const std::unique_ptr<SessionManagerClient> sessionManager =
        chooseSessionManager(QDBusConnection::sessionBus(), x11SessionManager, programFile);

    AppDelegate delegate({{batteries, store, loginItem, trash, alerts, clock, programFile},
                          consoleLogins,
                          shutdownInhibitor,
                          loginSession,
                          sessionManager.get(),
                          &kwinOutput});
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
