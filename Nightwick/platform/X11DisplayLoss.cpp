#include "X11DisplayLoss.h"

#include <QString>
#include <QtGlobal>

#include <cstdio>
#include <cstdlib>

namespace {

QtMessageHandler forwardTo = nullptr;

void handleMessage(QtMsgType type, const QMessageLogContext& context, const QString& message)
{
    // Qt warns with these words and then calls exit(1).
    if (type == QtWarningMsg && message.startsWith(QLatin1String("The X11 connection broke"))) {
        std::fputs("nightwick: the X11 display went away (the desktop is ending); quitting.\n",
                   stderr);
        std::exit(0);
    }
    if (forwardTo) {
        forwardTo(type, context, message);
    }
}

} // namespace

void quitCleanlyWhenTheX11DisplayGoesAway()
{
    forwardTo = qInstallMessageHandler(handleMessage);
}
