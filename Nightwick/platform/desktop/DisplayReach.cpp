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

X11DisplayProbe::X11DisplayProbe()
{
#if NIGHTWICK_HAS_XCB
    if (!qEnvironmentVariableIsEmpty("DISPLAY")) {
        m_connection = xcb_connect(nullptr, nullptr);
    }
#endif
}

X11DisplayProbe::~X11DisplayProbe()
{
#if NIGHTWICK_HAS_XCB
    if (m_connection) {
        xcb_disconnect(m_connection);
    }
#endif
}

bool X11DisplayProbe::answers() const
{
#if NIGHTWICK_HAS_XCB
    return m_connection && xcb_connection_has_error(m_connection) == 0;
#else
    return !qEnvironmentVariableIsEmpty("DISPLAY"); // Qt will tell
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
