#include "XdgBaseDirectories.h"

#include <QByteArray>

#include <pwd.h>
#include <unistd.h>

void XdgBaseDirectories::settleEnvironment()
{
    // Qt takes any of them as it finds it: files would go under the working folder, or to "//".
    if (!qgetenv("HOME").startsWith('/')) {
        if (const passwd* user = ::getpwuid(::getuid()); user && user->pw_dir[0] == '/') {
            qputenv("HOME", user->pw_dir);
        }
    }
    for (const char* name : {"XDG_CONFIG_HOME", "XDG_DATA_HOME"}) {
        if (!qgetenv(name).startsWith('/')) {
            qunsetenv(name);
        }
    }
}
