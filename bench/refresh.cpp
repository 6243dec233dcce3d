// The cost of one refresh of the agent's model, driven in this process over the real upowerd that
// bench/run started (on a private system bus, over a simulated sysfs) and the real settings and
// autostart files, and what 10,000 refreshes leave behind. Prints one JSON object per line:
//   nightwick-bench-refresh SCENARIO POWER_SUPPLY_FOLDER upower|sysfs
// "sysfs" times only the refresh, which reads sysfs where upowerd is not on the bus.
#include "AppModel.h"
#include "platform/desktop/Alerts.h"
#include "Clock.h"
#include "platform/files/FreedesktopTrash.h"
#include "platform/files/IniSettingsStore.h"
#include "platform/battery/SysfsBatteryServices.h"
#include "platform/battery/UPowerBatteryServices.h"
#include "platform/files/XdgAutostartLoginItem.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <vector>

namespace {

class SilentAlerts final : public Alerts {
public:
    void showError(const QString& description) override
    {
        std::fprintf(stderr, "alert: %s\n", qPrintable(description));
    }
    void showNotice(const QString&) override {}
};

int openDescriptors()
{
    return int(QDir("/proc/self/fd").entryList(QDir::Files | QDir::System).size());
}

// Resident and proportional set size in KiB.
std::pair<qint64, qint64> memory()
{
    QFile rollup("/proc/self/smaps_rollup");
    qint64 rss = 0, pss = 0;
    if (rollup.open(QIODevice::ReadOnly)) {
        for (const QByteArray& line : rollup.readAll().split('\n')) {
            const QList<QByteArray> fields = line.simplified().split(' ');
            if (fields.value(0) == "Rss:")
                rss = fields.value(1).toLongLong();
            else if (fields.value(0) == "Pss:")
                pss = fields.value(1).toLongLong();
        }
    }
    return {rss, pss};
}

// Median and worst of `runs` timings of `work`, in ms, after a few unmeasured ones.
QJsonObject timed(int runs, const std::function<void()>& work)
{
    for (int i = 0; i < 5; ++i)
        work();
    std::vector<double> ms;
    for (int i = 0; i < runs; ++i) {
        QElapsedTimer timer;
        timer.start();
        work();
        ms.push_back(double(timer.nsecsElapsed()) / 1e6);
    }
    std::sort(ms.begin(), ms.end());
    return {{"runs", runs}, {"medianMs", ms[ms.size() / 2]}, {"worstMs", ms.back()}};
}

void print(const QJsonObject& object)
{
    std::printf("%s\n", QJsonDocument(object).toJson(QJsonDocument::Compact).constData());
    std::fflush(stdout);
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList arguments = QCoreApplication::arguments();
    if (arguments.size() != 4) {
        std::fprintf(stderr, "usage: %s SCENARIO POWER_SUPPLY_FOLDER upower|sysfs\n", argv[0]);
        return 2;
    }
    const QString scenario = arguments[1], powerSupplies = arguments[2];
    const bool upower = arguments[3] == "upower";
    const int leakRefreshes = qEnvironmentVariableIntValue("NW_BENCH_REFRESHES") > 0
                                  ? qEnvironmentVariableIntValue("NW_BENCH_REFRESHES")
                                  : 10000;

    // The settings and the autostart entry where the user's would be: on the disk.
    QTemporaryDir home(QDir::homePath() + "/.cache/nightwick-bench-XXXXXX");
    const QString program = home.filePath("Applications/nightwick");
    SystemClock clock;
    IniSettingsStore store(home.filePath("config/nightwick/nightwick.conf"));
    XdgAutostartLoginItem loginItem(home.filePath("config/autostart/nightwick.desktop"), program);
    if (const Outcome enabled = loginItem.enable(); !enabled.ok())
        qFatal("%s", qPrintable(enabled.errorDescription()));
    FreedesktopTrash trash;
    SilentAlerts alerts;
    UPowerBatteryServices batteries(QDBusConnection::systemBus(),
                                    std::make_unique<SysfsBatteryServices>(powerSupplies));
    AppModel model({batteries, store, loginItem, trash, alerts, clock, program});
    if (model.battery() != MouseBattery{41, false})
        std::fprintf(stderr, "unexpected reading with %s\n", qPrintable(scenario));

    if (!upower) {
        print({{"what", "refresh through sysfs"}, {"devices", scenario}, {"timing", timed(200, [&] {
                                                                              model.refresh();
                                                                          })}});
        return 0;
    }
    print({{"what", "upower read"}, {"devices", scenario}, {"timing", timed(200, [&] {
                                                                batteries.services();
                                                            })}});
    print({{"what", "refresh"}, {"devices", scenario}, {"timing", timed(200, [&] {
                                                            model.refresh();
                                                        })}});
    QCoreApplication::processEvents();
    SysfsBatteryServices sysfs(powerSupplies);
    print({{"what", "sysfs read"}, {"devices", scenario}, {"timing", timed(200, [&] {
                                                               sysfs.services();
                                                           })}});
    if (scenario != "1 device")
        return 0;
    for (int i = 0; i < 100; ++i)
        model.refresh();
    const int descriptorsBefore = openDescriptors();
    const auto [rssBefore, pssBefore] = memory();
    for (int i = 0; i < leakRefreshes; ++i)
        model.refresh();
    const auto [rssAfter, pssAfter] = memory();
    print({{"what", "repeated refreshes"},
           {"refreshes", leakRefreshes},
           {"descriptorsBefore", descriptorsBefore},
           {"descriptorsAfter", openDescriptors()},
           {"rssBeforeKiB", rssBefore},
           {"rssAfterKiB", rssAfter},
           {"pssBeforeKiB", pssBefore},
           {"pssAfterKiB", pssAfter}});
    return 0;
}
