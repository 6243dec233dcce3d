// What the agent's system-service readers make of the buses and files a Python test set up, a
// word or number a line:
//   nw-probe battery SYSFS FALLBACK  the mouse through UPower twice (the second from what the
//                                    first learnt), falling back to sysfs under FALLBACK, then
//                                    through sysfs under SYSFS: "8 discharging", "none"
//   nw-probe session UTMP            "closing" or "open", the newest login or "none", and
//                                    whether logind's lock came within 5 s: "held" or "none"
//   nw-probe write-settings FILE     two keys to a new number each time, as fast as it can,
//                                    each write named once it has returned
//   nw-probe kwin                    each answer to where KWin's active output is, given 100 ms
//                                    on the session bus: "-1920,0 1920x1080", "none"
#include "AppModel.h"
#include "platform/battery/SysfsBatteryServices.h"
#include "platform/battery/UPowerBatteryServices.h"
#include "platform/desktop/KWinActiveOutput.h"
#include "platform/files/IniSettingsStore.h"
#include "platform/session/LogindLoginSession.h"
#include "platform/session/LogindShutdownInhibitor.h"
#include "platform/session/UtmpConsoleLogins.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QTextStream>
#include <QThread>
#include <QTimer>

using namespace std::chrono_literals;

static QString battery(BatteryServices& services)
{
    const std::optional<MouseBattery> mouse = MouseBatteryReader::read(services);
    if (!mouse)
        return QStringLiteral("none");
    return QString::number(mouse->percent) + (mouse->isCharging ? " charging" : " discharging");
}

int main(int argc, char* argv[])
{
    const QCoreApplication app(argc, argv);
    const QStringList arguments = app.arguments();
    const QDBusConnection bus = QDBusConnection::systemBus();
    QTextStream out(stdout);
    if (arguments.value(1) == "battery") {
        UPowerBatteryServices upower(bus,
                                     std::make_unique<SysfsBatteryServices>(arguments.value(3)));
        SysfsBatteryServices sysfs(arguments.value(2));
        out << battery(upower) << '\n' << battery(upower) << '\n' << battery(sysfs) << '\n';
    } else if (arguments.value(1) == "session") {
        const std::optional<qint64> newest =
            UtmpConsoleLogins(bus, arguments.value(2)).newestLogin();
        out << (LogindLoginSession(bus).isClosing() ? "closing" : "open") << '\n'
            << (newest ? QString::number(*newest) : "none") << '\n';
        LogindShutdownInhibitor lock(bus);
        lock.start();
        for (QDeadlineTimer deadline(5000); !lock.isHeld() && !deadline.hasExpired();
             QThread::msleep(10))
            QCoreApplication::processEvents();
        out << (lock.isHeld() ? "held" : "none") << '\n';
    } else if (arguments.value(1) == "write-settings") {
        IniSettingsStore store(arguments.value(2));
        for (qint64 n = store.integer("lastPercent").value_or(0) + 1;; ++n) {
            if (!store.write({{"lastPercent", n}, {"threshold", n}}).ok())
                return 1;
            out << n << Qt::endl;
        }
    } else if (arguments.value(1) == "kwin") {
        KWinActiveOutput kwin(QDBusConnection::sessionBus());
        QStringList answers;
        kwin.ask(100ms, [&](std::optional<QRect> output) {
            answers << (output ? QString::asprintf("%d,%d %dx%d", output->x(), output->y(),
                                                   output->width(), output->height())
                               : "none");
        });
        QTimer::singleShot(500, [] { QCoreApplication::quit(); }); // time for a second answer
        QCoreApplication::exec();
        out << answers.join(", ") << '\n';
    } else {
        return 2;
    }
}
