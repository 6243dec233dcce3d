#include "AppModel.h"
#include "platform/battery/SysfsBatteryServices.h"
#include "platform/battery/UPowerBatteryServices.h"

#include <QCoreApplication>
#include <QTextStream>

// For test_upowerd, a line each ("8 discharging", "100 charging", "none"): the mouse through UPower
// twice (the second from what the first learnt), falling back to sysfs under the second folder
// given, then through sysfs under the first.
static QString line(BatteryServices& services)
{
    const std::optional<MouseBattery> mouse = MouseBatteryReader::read(services);
    if (!mouse)
        return QStringLiteral("none");
    return QString::number(mouse->percent) + (mouse->isCharging ? " charging" : " discharging");
}

int main(int argc, char* argv[])
{
    const QCoreApplication app(argc, argv);
    UPowerBatteryServices upower(QDBusConnection::systemBus(),
                                 std::make_unique<SysfsBatteryServices>(app.arguments().value(2)));
    SysfsBatteryServices sysfs(app.arguments().value(1));
    QTextStream(stdout) << line(upower) << '\n' << line(upower) << '\n' << line(sysfs) << '\n';
}
