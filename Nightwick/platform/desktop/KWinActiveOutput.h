#pragma once

#include "platform/desktop/ActiveOutput.h"

#include <QDBusConnection>
#include <QObject>

// KWin's active output, asked on the session bus: by default the one the pointer is on. KWin
// names it ("Virtual-1", "DP-2"); its place on the desktop is read from KWin's support
// information, as XWayland names its outputs otherwise.
class KWinActiveOutput : public QObject, public ActiveOutput {
    Q_OBJECT
public:
    explicit KWinActiveOutput(QDBusConnection bus, QObject* parent = nullptr);

    void ask(std::chrono::milliseconds budget,
             std::function<void(std::optional<QRect>)> answer) override;

private:
    QDBusConnection m_bus;
};

// The geometry of the enabled output called `name` in KWin's support information, whose
// "Screens" section lists each output as "Name: …", "Enabled: 1", "Geometry: x,y,wxh" lines;
// nothing when there is no such output (none is called "").
std::optional<QRect> kwinOutputGeometry(QStringView supportInformation, QStringView name);
