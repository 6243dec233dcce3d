// The power supply class as a kernel, a driver or a broken device may lay it out: attributes of
// any content, folders where attributes belong. The reader never fails.
#include "platform/battery/SysfsBatteryServices.h"

#include <QDir>
#include <QTemporaryDir>

#include <fuzzer/FuzzedDataProvider.h>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const QStringList attributes =
        QStringLiteral("scope capacity status model_name device/uevent device/bInterfaceNumber "
                       "device/input/input0/capabilities/ev device/input/input0/capabilities/key "
                       "device/input/input0/capabilities/abs device/input/input0/properties "
                       "device/input/input1/capabilities/ev device/input/input1/capabilities/key "
                       "device/input/input1/capabilities/abs device/input/input1/properties")
            .split(' ');
    FuzzedDataProvider input(data, size);
    QTemporaryDir root;
    const QDir base(root.path());
    for (int supply = input.ConsumeIntegralInRange(1, 3); supply > 0; --supply) {
        const QString folder = QStringLiteral("power_supply/%1/").arg(supply);
        base.mkpath(folder);
        QFile scope(base.filePath(folder + "scope")); // most are peripherals, read on
        if (input.ConsumeIntegralInRange(0, 3) != 0 && scope.open(QIODevice::WriteOnly))
            scope.write("Device\n");
        scope.close();
        while (input.remaining_bytes() > 0 && !input.ConsumeBool()) {
            const QString path = base.filePath(
                folder + attributes[input.ConsumeIntegralInRange<int>(0, attributes.size() - 1)]);
            base.mkpath(QFileInfo(path).path());
            QFile file(path);
            if (input.ConsumeIntegralInRange(0, 15) == 0)
                base.mkpath(path); // a folder where an attribute belongs
            else if (file.open(QIODevice::WriteOnly))
                file.write(QByteArray::fromStdString(input.ConsumeRandomLengthString(256)));
        }
    }
    SysfsBatteryServices(base.filePath("power_supply")).services();
    return 0;
}
