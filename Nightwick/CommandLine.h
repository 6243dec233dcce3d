#pragma once

#include <QString>
#include <QStringList>

// What the command line asks for before anything starts, answered as GNU programs answer:
// --help and --version print and exit, an unknown long option is refused. Options with a
// single dash belong to Qt (-platform, -display, -session...) and pass through untouched.
namespace CommandLine {

enum class Request { RunAgent, PrintHelp, PrintVersion, Refuse };

struct Parsed {
    Request request = Request::RunAgent;
    QString refusedOption; // for Refuse
};

// `arguments` includes the program name first, as argv does.
Parsed parse(const QStringList& arguments);

QString helpText();
QString versionText();
// The complaint about `option`, ending in the hint to ask for --help.
QString refusalText(const QString& option);

// The exit status without a desktop session, or with none whose display answers.
constexpr int noDisplayStatus = 1;
// The exit status after a refusal, as GNU programs use for wrong usage.
constexpr int usageErrorStatus = 2;

} // namespace CommandLine
