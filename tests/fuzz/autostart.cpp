// The autostart entry as another program or the user may leave it, and the entry the agent
// writes for a program anywhere: the first is read without fault, the second always reads back as
// the agent's own.
#include "FuzzScratch.h"
#include "platform/files/XdgAutostartLoginItem.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char*>(data), qsizetype(size));
    const QString entry = FuzzScratch::file(bytes);
    XdgAutostartLoginItem(entry, "/opt/Applications/nightwick").isEnabled();
    DesktopExec::parse(QString::fromUtf8(bytes));

    // Any path but one with a NUL in it, which no file name holds.
    const QString program = QString::fromUtf8(bytes.left(bytes.indexOf('\0')));
    XdgAutostartLoginItem ours(entry, program);
    if (ours.enable().ok() != ours.isEnabled())
        std::abort();
    return 0;
}
