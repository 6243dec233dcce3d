#pragma once

#include <QProcessEnvironment>
#include <QString>
#include <QStringList>

#include <memory>
#include <optional>

class QProcess;

// An X server of the test's own (Xvfb on a free display number), so that a program under test
// gets real X11 windows and real key presses, and nothing reaches the machine's own display. The
// server ends with the object, or with the test process should it die first.
class XvfbDisplay {
public:
    XvfbDisplay();
    ~XvfbDisplay();

    XvfbDisplay(const XvfbDisplay&) = delete;
    XvfbDisplay& operator=(const XvfbDisplay&) = delete;

    // Empty when Xvfb and xdotool are there, else what is missing, so a test can skip.
    static QString missingTools();

    // False, with a warning saying why, when the server did not come up.
    bool start(int width = 1280, int height = 800);
    QString name() const { return m_name; } // ":N"
    // Points a child process, and Qt in it, at this display.
    void addTo(QProcessEnvironment& environment) const;

    // Runs xdotool on this display; its output, or nothing when it failed.
    std::optional<QString> xdotool(const QStringList& arguments) const;
    bool pressKey(const QString& key) const { return xdotool({"key", key}).has_value(); }
    // The titles of the windows mapped now, as the window system shows them (Qt adds the
    // application's display name to a window's own title).
    QStringList shownWindowTitles() const;

private:
    std::unique_ptr<QProcess> m_server;
    QString m_name;
};
