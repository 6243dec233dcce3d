#include "SwayFocusedOutput.h"

#include <QDeadlineTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QScopeGuard>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

// Every i3/sway IPC message: the magic string, then the payload's length and the message type
// as 32-bit integers in the machine's own byte order.
const QByteArray magic("i3-ipc");
constexpr qsizetype headerSize = 6 + 2 * sizeof(quint32);
constexpr quint32 getOutputs = 3;

QByteArray request(quint32 type)
{
    QByteArray message = magic;
    const quint32 words[2] = {0, type};
    message.append(reinterpret_cast<const char*>(words), sizeof(words));
    return message;
}

int remainingMs(const QDeadlineTimer& deadline)
{
    return int(std::max<qint64>(0, deadline.remainingTime()));
}

// Whether `socket` became ready for `events` (POLLIN, POLLOUT) before the deadline.
bool waitFor(int socket, short events, const QDeadlineTimer& deadline)
{
    pollfd entry{socket, events, 0};
    int ready = 0;
    do {
        ready = ::poll(&entry, 1, remainingMs(deadline));
    } while (ready < 0 && errno == EINTR);
    return ready > 0;
}

// Whether a send or receive that returned `moved` failed for good, not just for now.
bool failedForGood(ssize_t moved)
{
    return moved < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR;
}

// The rectangle of the focused, active output in sway's answer to GET_OUTPUTS.
std::optional<QRect> focusedOutputIn(const QByteArray& outputsJson)
{
    const QJsonArray outputs = QJsonDocument::fromJson(outputsJson).array();
    for (const QJsonValue& value : outputs) {
        const QJsonObject output = value.toObject();
        if (!output.value(QLatin1String("focused")).toBool() ||
            !output.value(QLatin1String("active")).toBool()) {
            continue;
        }
        const QJsonObject rect = output.value(QLatin1String("rect")).toObject();
        const QRect found(rect.value(QLatin1String("x")).toInt(),
                          rect.value(QLatin1String("y")).toInt(),
                          rect.value(QLatin1String("width")).toInt(),
                          rect.value(QLatin1String("height")).toInt());
        if (found.isValid()) {
            return found;
        }
    }
    return std::nullopt;
}

} // namespace

std::optional<QRect> swayFocusedOutput(std::chrono::milliseconds budget)
{
    const QByteArray path = qgetenv("SWAYSOCK");
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.isEmpty() || size_t(path.size()) >= sizeof(address.sun_path)) {
        return std::nullopt;
    }
    std::memcpy(address.sun_path, path.constData(), size_t(path.size()));
    const QDeadlineTimer deadline(budget);
    // Never blocking: every wait below ends at the deadline.
    const int socket = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (socket < 0) {
        return std::nullopt;
    }
    const auto closeSocket = qScopeGuard([socket] { ::close(socket); });
    if (::connect(socket, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0) {
        return std::nullopt; // not there, or too busy to take a client at once
    }
    const QByteArray message = request(getOutputs);
    for (qsizetype sent = 0; sent < message.size();) {
        if (!waitFor(socket, POLLOUT, deadline)) {
            return std::nullopt;
        }
        const ssize_t moved =
            ::send(socket, message.constData() + sent, size_t(message.size() - sent), MSG_NOSIGNAL);
        if (failedForGood(moved)) {
            return std::nullopt;
        }
        sent += std::max<ssize_t>(moved, 0);
    }
    QByteArray reply;
    quint32 length = 0;
    while (reply.size() < headerSize || reply.size() < headerSize + qsizetype(length)) {
        if (!waitFor(socket, POLLIN, deadline)) {
            return std::nullopt;
        }
        char chunk[4096];
        const ssize_t moved = ::recv(socket, chunk, sizeof(chunk), 0);
        if (moved == 0 || failedForGood(moved)) {
            return std::nullopt;
        }
        reply.append(chunk, std::max<ssize_t>(moved, 0));
        if (reply.size() >= headerSize) {
            if (!reply.startsWith(magic)) {
                return std::nullopt;
            }
            std::memcpy(&length, reply.constData() + magic.size(), sizeof(length));
        }
    }
    return focusedOutputIn(reply.mid(headerSize, qsizetype(length)));
}
