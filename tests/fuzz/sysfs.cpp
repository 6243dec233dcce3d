// The power supply class as a kernel, a driver or a broken device may lay it out: attributes of
// any content, files where folders belong and the other way round. The reader never fails.
#include "FuzzScratch.h"
#include "platform/battery/SysfsBatteryServices.h"

#include <QTemporaryDir>

#include <array>
#include <fuzzer/FuzzedDataProvider.h>

namespace {

// What the reader looks at in a supply's folder.
const std::array<const char*, 14> attributes{"scope",
                                             "capacity",
                                             "status",
                                             "model_name",
                                             "device/uevent",
                                             "device/bInterfaceNumber",
                                             "device/input/input0/capabilities/ev",
                                             "device/input/input0/capabilities/key",
                                             "device/input/input0/capabilities/abs",
                                             "device/input/input0/properties",
                                             "device/input/input1/capabilities/ev",
                                             "device/input/input1/capabilities/key",
                                             "device/input/input1/capabilities/abs",
                                             "device/input/input1/properties"};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FuzzedDataProvider input(data, size);
    QTemporaryDir root(FuzzScratch::folder() + "/sys-XXXXXX");
    const QDir base(root.path());
    const int supplies = input.ConsumeIntegralInRange(1, 3);
    for (int supply = 0; supply < supplies; ++supply) {
        const QString folder = QStringLiteral("power_supply/%1").arg(supply);
        base.mkpath(folder);
        // Most are peripherals, whose every attribute the reader goes on to read.
        if (input.ConsumeIntegralInRange(0, 3) != 0) {
            QFile scope(base.filePath(folder + "/scope"));
            if (scope.open(QIODevice::WriteOnly))
                scope.write("Device\n");
        }
        while (input.remaining_bytes() > 0 && !input.ConsumeBool()) {
            const QString path = base.filePath(
                folder + '/' +
                attributes[input.ConsumeIntegralInRange<size_t>(0, attributes.size() - 1)]);
            base.mkpath(QFileInfo(path).path());
            if (input.ConsumeIntegralInRange(0, 15) == 0) {
                base.mkpath(path); // a folder where an attribute belongs
                continue;
            }
            QFile file(path);
            if (file.open(QIODevice::WriteOnly))
                file.write(QByteArray::fromStdString(input.ConsumeRandomLengthString(256)));
        }
    }
    SysfsBatteryServices(base.filePath("power_supply")).services();
    return 0;
}
