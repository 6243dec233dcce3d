#include "DisplayLoss.h"

#include <QString>
#include <QtGlobal>

#include <atomic>
#include <cstdio>
#include <cstdlib>

namespace {

QtMessageHandler forwardTo = nullptr;

void handleMessage(QtMsgType type, const QMessageLogContext& context, const QString& message)
{
    // Qt warns with these words and then calls exit(1). The Wayland platform may warn again from
    // its own thread, or while exit() runs, so the program ends here at once, without running
    // exit handlers in a broken display connection.
    if (type == QtWarningMsg &&
        (message.startsWith(QLatin1String("The X11 connection broke")) ||
         message.startsWith(QLatin1String("The Wayland connection broke")))) {
        static std::atomic_flag said = ATOMIC_FLAG_INIT;
        if (!said.test_and_set()) {
            std::fputs("nightwick: the display went away (the desktop is ending); quitting.\n",
                       stderr);
        }
        std::fflush(nullptr);
        std::_Exit(0);
    }
    if (forwardTo) {
        forwardTo(type, context, message);
    }
}

} // namespace

void quitCleanlyWhenTheDisplayGoesAway()
{
    forwardTo = qInstallMessageHandler(handleMessage);
}
