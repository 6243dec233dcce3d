// The autostart entry as another program or the user may leave it is read without fault, and the
// entry the agent writes for a program anywhere always reads back as the agent's own.
#include "platform/files/XdgAutostartLoginItem.h"

#include <QTemporaryFile>

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char*>(data), qsizetype(size));
    QTemporaryFile file;
    file.open();
    file.write(bytes);
    file.close();
    const QString entry = file.fileName();
    XdgAutostartLoginItem(entry, "/opt/Applications/nightwick").isEnabled();
    DesktopExec::parse(QString::fromUtf8(bytes));

    // Any path but one with a NUL in it, which no file name holds.
    XdgAutostartLoginItem ours(entry, QString::fromUtf8(bytes.left(bytes.indexOf('\0'))));
    if (ours.enable().ok() != ours.isEnabled())
        std::abort();
    return 0;
}
