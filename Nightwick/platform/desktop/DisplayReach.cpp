#include "DisplayReach.h"

#include <QByteArray>
#include <QtGlobal>

#if NIGHTWICK_HAS_XCB
#include <xcb/xcb.h>
#endif

#include <cerrno>
#include <cstring>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

bool x11DisplayAnswers()
{
#if NIGHTWICK_HAS_XCB
    xcb_connection_t* connection = xcb_connect(nullptr, nullptr);
    const bool answers = xcb_connection_has_error(connection) == 0;
    xcb_disconnect(connection);
    return answers;
#else
    return true; // Qt will tell
#endif
}

bool waylandDisplayAnswers()
{
    if (!qEnvironmentVariableIsEmpty("WAYLAND_SOCKET")) {
        return true; // a connection handed over by whoever started the agent
    }
    const QByteArray name = qgetenv("WAYLAND_DISPLAY");
    const QByteArray path = name.startsWith('/') ? name : qgetenv("XDG_RUNTIME_DIR") + '/' + name;
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (size_t(path.size()) >= sizeof(address.sun_path)) {
        return false;
    }
    std::memcpy(address.sun_path, path.constData(), size_t(path.size()));
    const int socket = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (socket < 0) {
        return true; // Qt will tell
    }
    // A compositor whose queue of new clients is full (EAGAIN) is there all the same.
    const bool answers =
        ::connect(socket, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) == 0 ||
        errno == EAGAIN;
    ::close(socket);
    return answers;
}
