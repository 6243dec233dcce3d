// Draws the agent's views into PNG files for the README, or shows a real reminder to photograph
// on a live display.
//
//   nightwick-snapshot reminder-card OUT.png [--percent N] [--scale S] [--settle ms]
//   nightwick-snapshot settings OUT.png [--percent N] [--charging]
//   nightwick-snapshot --show [--percent N] [--seconds S]
//   nightwick-snapshot --show-settings [--percent N] [--charging] [--seconds S]
#include "ReminderWindow.h"
#include "ReminderWindow_p.h"
#include "SampleModel.h"
#include "SettingsWindow.h"
#include "WidgetSnapshot.h"
#include "Clock.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QTimer>

#include <cstdio>
#include <functional>
#include <map>
#include <memory>

namespace {

struct Options {
    qint64 percent = 12;
    bool charging = false;
};

using ViewFactory = std::function<std::unique_ptr<QWidget>(const Options&, Clock&)>;

const std::map<QString, ViewFactory>& views()
{
    static const std::map<QString, ViewFactory> table = {
        {QStringLiteral("reminder-card"),
         [](const Options& options, Clock& clock) -> std::unique_ptr<QWidget> {
             return std::make_unique<ReminderCard>(options.percent, clock, [] {});
         }},
        {QStringLiteral("settings"),
         [](const Options& options, Clock& clock) -> std::unique_ptr<QWidget> {
             return std::make_unique<SampleSettingsPage>(
                 MouseBattery{options.percent, options.charging}, clock);
         }},
    };
    return table;
}

int showReminder(qint64 percent, double seconds)
{
    SystemClock clock;
    ReminderWindow reminder(clock);
    reminder.show(percent, seconds, [] { QCoreApplication::quit(); });
    return QApplication::exec();
}

// The real settings window over sample values, for a screenshot on a live display.
int showSettings(const Options& options, double seconds)
{
    SystemClock clock;
    SampleModel sample(MouseBattery{options.percent, options.charging}, clock);
    SettingsWindowController settings(sample.model(), {}, clock);
    settings.show();
    QTimer::singleShot(std::chrono::milliseconds(qRound64(seconds * 1000)),
                       &QCoreApplication::quit);
    return QApplication::exec();
}

} // namespace

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    QCommandLineParser parser;
    parser.addHelpOption();
    parser.addPositionalArgument(QStringLiteral("view"),
                                 QStringLiteral("reminder-card or settings"));
    parser.addPositionalArgument(QStringLiteral("file"), QStringLiteral("PNG file to write"));
    const QCommandLineOption percent(QStringLiteral("percent"), QStringLiteral("battery level"),
                                     QStringLiteral("N"), QStringLiteral("12"));
    const QCommandLineOption scale(QStringLiteral("scale"), QStringLiteral("pixels per pixel"),
                                   QStringLiteral("S"), QStringLiteral("1"));
    const QCommandLineOption show(QStringLiteral("show"),
                                  QStringLiteral("show a real reminder instead"));
    const QCommandLineOption seconds(QStringLiteral("seconds"),
                                     QStringLiteral("time-out of the real reminder"),
                                     QStringLiteral("S"), QStringLiteral("4"));
    // By 1.1 s the fade is over, the bar has pulsed back to full and the cursor is on again.
    const QCommandLineOption settle(QStringLiteral("settle"),
                                    QStringLiteral("milliseconds to let animations run"),
                                    QStringLiteral("ms"), QStringLiteral("1100"));
    const QCommandLineOption charging(QStringLiteral("charging"),
                                      QStringLiteral("the sample mouse is charging"));
    const QCommandLineOption showSettingsWindow(QStringLiteral("show-settings"),
                                                QStringLiteral("show the real settings window"));
    parser.addOptions({percent, scale, show, seconds, settle, charging, showSettingsWindow});
    parser.process(app);

    Options options;
    options.percent = parser.value(percent).toLongLong();
    options.charging = parser.isSet(charging);
    if (parser.isSet(showSettingsWindow)) {
        return showSettings(options, parser.value(seconds).toDouble());
    }
    if (parser.isSet(show)) {
        return showReminder(options.percent, parser.value(seconds).toDouble());
    }

    const QStringList arguments = parser.positionalArguments();
    const auto view = arguments.size() == 2 ? views().find(arguments[0]) : views().end();
    if (view == views().end()) {
        std::fputs(qPrintable(parser.helpText()), stderr);
        return 2;
    }
    SystemClock clock;
    const std::unique_ptr<QWidget> widget = view->second(options, clock);
    const QImage image =
        snapshotWidget(*widget, std::chrono::milliseconds(parser.value(settle).toInt()),
                       parser.value(scale).toDouble());
    if (!image.save(arguments[1])) {
        std::fprintf(stderr, "nightwick-snapshot: cannot write %s\n", qPrintable(arguments[1]));
        return 1;
    }
    return 0;
}
