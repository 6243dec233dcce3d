#include "CommandLine.h"

namespace {

// Qt also reads its own options with two dashes; refusing those would break commands that
// work with any other Qt program.
const QStringList qtOptionNames{
    QStringLiteral("platform"),        QStringLiteral("platformpluginpath"),
    QStringLiteral("platformtheme"),   QStringLiteral("plugin"),
    QStringLiteral("qwindowgeometry"), QStringLiteral("geometry"),
    QStringLiteral("qwindowtitle"),    QStringLiteral("title"),
    QStringLiteral("qwindowicon"),     QStringLiteral("icon"),
    QStringLiteral("display"),         QStringLiteral("name"),
    QStringLiteral("reverse"),         QStringLiteral("session"),
    QStringLiteral("style"),           QStringLiteral("stylesheet"),
    QStringLiteral("widgetcount"),     QStringLiteral("nograb"),
    QStringLiteral("dograb"),          QStringLiteral("sync"),
    QStringLiteral("qmljsdebugger"),   QStringLiteral("testability"),
};

bool isQtOption(const QString& longOption)
{
    return qtOptionNames.contains(longOption.mid(2).section(QLatin1Char('='), 0, 0));
}

} // namespace

CommandLine::Parsed CommandLine::parse(const QStringList& arguments)
{
    for (const QString& argument : arguments.mid(1)) {
        if (argument == QLatin1String("--")) {
            break;
        }
        if (argument == QLatin1String("--help") || argument == QLatin1String("-h")) {
            return {Request::PrintHelp, {}};
        }
        if (argument == QLatin1String("--version")) {
            return {Request::PrintVersion, {}};
        }
        if (argument.startsWith(QLatin1String("--")) && argument != QLatin1String("--autostart") &&
            !isQtOption(argument)) {
            return {Request::Refuse, argument};
        }
    }
    return {};
}

QString CommandLine::helpText()
{
    return QStringLiteral(
        "Usage: nightwick [--autostart] [QT-OPTION]...\n"
        "Reminds you at shutdown, restart or log-out to charge your wireless mouse when\n"
        "its battery is low.\n"
        "\n"
        "Started by hand, it opens its settings window, or the window of the agent that\n"
        "already runs, and stays in the background once the window is closed.\n"
        "\n"
        "      --autostart  start as the login entry does: in the background, without\n"
        "                   the settings window, leaving a running agent alone\n"
        "  -h, --help       display this help and exit\n"
        "      --version    output version information and exit\n"
        "\n"
        "Options with one dash, such as -platform NAME or -display DISPLAY, are Qt's.\n"
        "\n"
        "Settings: $XDG_CONFIG_HOME/nightwick/nightwick.conf (~/.config when unset)\n"
        "Login entry: $XDG_CONFIG_HOME/autostart/nightwick.desktop\n"
        "Exit status: 0 if OK, 1 without a desktop session or when its display cannot\n"
        "be opened, 2 for a wrong option.\n");
}

QString CommandLine::versionText()
{
    return QStringLiteral("nightwick " NIGHTWICK_VERSION "\n");
}

QString CommandLine::refusalText(const QString& option)
{
    return QStringLiteral("nightwick: unrecognized option '%1'\n"
                          "Try 'nightwick --help' for more information.\n")
        .arg(option);
}
