#include "XvfbDisplay.h"

#include <QDeadlineTimer>
#include <QProcess>
#include <QStandardPaths>

#include <csignal>
#include <sys/prctl.h>

namespace {

constexpr int budgetMs = 5000;

} // namespace

XvfbDisplay::XvfbDisplay()
    : m_server(std::make_unique<QProcess>())
{
    // SIGTERM, unlike SIGKILL, lets the server remove its lock file and socket.
    m_server->setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGTERM); });
}

XvfbDisplay::~XvfbDisplay()
{
    if (m_server->state() != QProcess::NotRunning) {
        m_server->terminate();
        if (!m_server->waitForFinished(2000)) {
            m_server->kill();
            m_server->waitForFinished(2000);
        }
    }
}

QString XvfbDisplay::missingTools()
{
    for (const char* tool : {"Xvfb", "xdotool"}) {
        if (QStandardPaths::findExecutable(QLatin1String(tool)).isEmpty()) {
            return QStringLiteral("%1 is not installed (Debian packages xvfb, xdotool)").arg(tool);
        }
    }
    return {};
}

bool XvfbDisplay::start(int width, int height)
{
    // The server picks a free display and writes its number to the given descriptor once it
    // takes connections.
    m_server->start("Xvfb", {"-displayfd", "1", "-screen", "0",
                             QStringLiteral("%1x%2x24").arg(width).arg(height), "-nolisten", "tcp",
                             "-noreset"});
    const QDeadlineTimer deadline(budgetMs);
    while (!m_server->canReadLine() &&
           m_server->waitForReadyRead(static_cast<int>(deadline.remainingTime()))) {
    }
    const QString number = QString::fromLatin1(m_server->readLine()).trimmed();
    if (number.isEmpty()) {
        // Its error output otherwise only lists the display numbers taken already.
        qWarning("XvfbDisplay: Xvfb gave no display number: %s %s",
                 qPrintable(m_server->errorString()), m_server->readAllStandardError().constData());
        return false;
    }
    m_name = ':' + number;
    return true;
}

void XvfbDisplay::addTo(QProcessEnvironment& environment) const
{
    environment.insert("DISPLAY", m_name);
    environment.insert("QT_QPA_PLATFORM", "xcb");
    environment.remove("WAYLAND_DISPLAY");
}

std::optional<QString> XvfbDisplay::xdotool(const QStringList& arguments) const
{
    QProcess tool;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("DISPLAY", m_name);
    tool.setProcessEnvironment(environment);
    tool.start("xdotool", arguments);
    if (!tool.waitForFinished(budgetMs) || tool.exitStatus() != QProcess::NormalExit ||
        tool.exitCode() != 0) {
        return std::nullopt;
    }
    return QString::fromUtf8(tool.readAllStandardOutput());
}

QStringList XvfbDisplay::shownWindowTitles() const
{
    const std::optional<QString> titles =
        xdotool({"search", "--onlyvisible", "--name", "", "getwindowname", "%@"});
    return titles ? titles->split('\n', Qt::SkipEmptyParts) : QStringList();
}
