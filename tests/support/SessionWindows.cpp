#include "SessionWindows.h"

#include "Eventually.h"

#include <QProcess>
#include <QRegularExpression>

QString SessionWindows::run(const QString& program, const QStringList& arguments) const
{
    QProcess process;
    process.setProcessEnvironment(m_environment);
    process.start(program, arguments);
    if (!process.waitForFinished(5000)) {
        process.kill();
        process.waitForFinished();
    }
    return QString::fromUtf8(process.readAllStandardOutput());
}

// xsm takes orders only through its window, which sits in the top-left corner with no window
// manager around it: Checkpoint and Shutdown are its lower two buttons, and Shutdown opens a menu
// whose first entry saves the session first. Either way a dialog asks for the session's name.
bool SessionWindows::driveXsm(bool shutdown, bool interactive) const
{
    const auto unnamedViewableWindow = [this] {
        static const QRegularExpression unnamed(R"(^\s+(0x[0-9a-f]+) \(has no name\): \(\))",
                                                QRegularExpression::MultilineOption);
        for (auto it = unnamed.globalMatch(run("xwininfo", {"-root", "-children"}));
             it.hasNext();) {
            if (run("xwininfo", {"-id", it.next().captured(1)}).contains("IsViewable")) {
                return true;
            }
        }
        return false;
    };
    if (shutdown) {
        run("xdotool", {"mousemove", "120", "36", "mousedown", "1"});
        if (!eventually(unnamedViewableWindow)) {
            return false;
        }
        run("xdotool", {"mousemove_relative", "0", "22", "mouseup", "1"});
    } else {
        run("xdotool", {"mousemove", "40", "36", "click", "1"});
    }
    QString dialog;
    if (!eventually([&] {
            dialog =
                run("xdotool", {"search", "--onlyvisible", "--name", "^(Checkpoint|Shutdown)$"})
                    .section('\n', 0, 0);
            return !dialog.isEmpty();
        })) {
        return false;
    }
    const QRegularExpressionMatch position =
        QRegularExpression(R"(Position: (\d+),(\d+))")
            .match(run("xdotool", {"getwindowgeometry", dialog}));
    const int x = position.captured(1).toInt(), y = position.captured(2).toInt();
    if (!interactive) { // the interact style None, first of the second row of choices
        run("xdotool",
            {"mousemove", QString::number(x + 115), QString::number(y + 70), "click", "1"});
    }
    const QString nameX = QString::number(x + 150), nameY = QString::number(y + 12);
    run("xdotool", {"mousemove", nameX, nameY, "type", "test"});
    run("xdotool", {"mousemove", nameX, nameY, "key", "Return"});
    return position.hasMatch();
}

bool SessionWindows::cardShown() const
{
    const QStringList windows =
        run("xdotool", {"search", "--onlyvisible", "--name", "^nightwick$"}).split('\n');
    static const QRegularExpression card(R"(Override Redirect State: yes|Width: 560\b)");
    for (const QString& window : windows) {
        if (!window.isEmpty() && run("xwininfo", {"-id", window}).count(card) == 2) {
            m_card = window;
            return true;
        }
    }
    return false;
}

void SessionWindows::clickCard() const
{
    const QString height =
        QRegularExpression(R"(Height: (\d+))").match(run("xwininfo", {"-id", m_card})).captured(1);
    run("xdotool", {"mousemove", "--window", m_card, "280", QString::number(height.toInt() / 2),
                    "click", "1"});
}
