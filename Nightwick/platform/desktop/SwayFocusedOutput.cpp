#include "SwayFocusedOutput.h"

#include <QDeadlineTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLocalSocket>

#include <algorithm>
#include <cstring>

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
    const QString path = qEnvironmentVariable("SWAYSOCK");
    if (path.isEmpty()) {
        return std::nullopt;
    }
    const QDeadlineTimer deadline(budget);
    QLocalSocket socket;
    socket.connectToServer(path);
    if (!socket.waitForConnected(remainingMs(deadline))) {
        return std::nullopt;
    }
    socket.write(request(getOutputs));
    if (!socket.waitForBytesWritten(remainingMs(deadline))) {
        return std::nullopt;
    }
    QByteArray reply;
    quint32 length = 0;
    while (reply.size() < headerSize || reply.size() < headerSize + qsizetype(length)) {
        if (!socket.waitForReadyRead(remainingMs(deadline))) {
            return std::nullopt;
        }
        reply += socket.readAll();
        if (reply.size() >= headerSize) {
            if (!reply.startsWith(magic)) {
                return std::nullopt;
            }
            std::memcpy(&length, reply.constData() + magic.size(), sizeof(length));
        }
    }
    return focusedOutputIn(reply.mid(headerSize, qsizetype(length)));
}
