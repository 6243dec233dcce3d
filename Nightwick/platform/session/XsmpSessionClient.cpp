#include "XsmpSessionClient.h"

#include <QPromise>
#include <QSocketNotifier>

#include <X11/ICE/ICElib.h>
#include <X11/SM/SMlib.h>

#include <array>
#include <cstdlib>
#include <thread>
#include <unistd.h>

namespace {

// libICE's own handlers exit the process on a broken connection and on some protocol errors,
// which once ended the agent in the middle of its card. A broken connection shows up where the
// messages are read; the rest is only worth a line.
void ignoreBrokenConnection(IceConn)
{
}

void reportIceError(IceConn, Bool, int, unsigned long, int errorClass, int severity, IcePointer)
{
    qWarning("nightwick: the session manager's connection reported error %d (severity %d)",
             errorClass, severity);
}

void reportSmError(SmcConn, Bool, int, unsigned long, int errorClass, int severity, SmPointer)
{
    qWarning("nightwick: the session manager reported error %d (severity %d)", errorClass,
             severity);
}

void installErrorHandlers()
{
    IceInitThreads();
    IceSetIOErrorHandler(ignoreBrokenConnection);
    IceSetErrorHandler(reportIceError);
    SmcSetErrorHandler(reportSmError);
}

} // namespace

XsmpSessionClient::XsmpSessionClient(QByteArray address, QString programFile, QObject* parent)
    : SessionManagerClient(parent)
    , m_address(std::move(address))
    , m_programFile(std::move(programFile))
{
    connect(&m_opening, &QFutureWatcher<Opened>::finished, this, &XsmpSessionClient::opened);
}

XsmpSessionClient::~XsmpSessionClient()
{
    closeConnection();
}

void XsmpSessionClient::start()
{
    if (m_address.isEmpty() || m_connection || m_opening.isRunning()) {
        return;
    }
    installErrorHandlers();
    QPromise<Opened> promise;
    m_opening.setFuture(promise.future());
    // Should the agent end first, the thread still finishes and its connection closes with the
    // process; the agent's pointer goes to libSM only to be handed back to the main thread.
    std::thread([promise = std::move(promise), address = m_address, client = this]() mutable {
        promise.start();
        promise.addResult(open(address, client));
        promise.finish();
    }).detach();
}

XsmpSessionClient::Opened XsmpSessionClient::open(const QByteArray& address, void* client)
{
    SmcCallbacks callbacks{};
    callbacks.save_yourself = {onSaveYourself, client};
    callbacks.die = {onDie, client};
    callbacks.save_complete = {onSaveComplete, client};
    callbacks.shutdown_cancelled = {onShutdownCancelled, client};
    std::array<char, 256> error{};
    char* clientId = nullptr;
    QByteArray networkIds = address;
    Opened opened;
    opened.connection = SmcOpenConnection(
        networkIds.data(), nullptr, SmProtoMajor, SmProtoMinor,
        SmcSaveYourselfProcMask | SmcDieProcMask | SmcSaveCompleteProcMask |
            SmcShutdownCancelledProcMask,
        &callbacks, nullptr, &clientId, static_cast<int>(error.size()), error.data());
    opened.error = QString::fromLocal8Bit(error.data());
    if (clientId) {
        opened.clientId = QString::fromLocal8Bit(clientId);
        std::free(clientId);
    }
    return opened;
}

void XsmpSessionClient::opened()
{
    const Opened opened = m_opening.result();
    if (!opened.connection) {
        qWarning("nightwick: could not join the session manager: %s", qPrintable(opened.error));
        return;
    }
    m_connection = opened.connection;
    m_clientId = opened.clientId;
    setProperties();
    const int fd = IceConnectionNumber(SmcGetIceConnection(m_connection));
    m_notifier = std::make_unique<QSocketNotifier>(fd, QSocketNotifier::Read);
    connect(m_notifier.get(), &QSocketNotifier::activated, this,
            &XsmpSessionClient::processMessages);
}

void XsmpSessionClient::setProperties()
{
    QByteArray program = m_programFile.toLocal8Bit();
    QByteArray autostart("--autostart");
    QByteArray user = qEnvironmentVariable("USER", QString::number(::getuid())).toLocal8Bit();
    QByteArray processId = QByteArray::number(::getpid());
    char restartNever = SmRestartNever;
    const auto value = [](QByteArray& bytes) {
        return SmPropValue{static_cast<int>(bytes.size()), bytes.data()};
    };
    std::array<SmPropValue, 2> command{value(program), value(autostart)};
    SmPropValue programValue = value(program), userValue = value(user),
                processValue = value(processId), styleValue{1, &restartNever};
    const auto property = [](const char* name, const char* type, int count, SmPropValue* values) {
        return SmProp{const_cast<char*>(name), const_cast<char*>(type), count, values};
    };
    // Asked never to be restarted, a session that restores itself starts no second agent; the
    // commands only satisfy session managers that insist on them.
    std::array properties{
        property(SmProgram, SmARRAY8, 1, &programValue),
        property(SmUserID, SmARRAY8, 1, &userValue),
        property(SmProcessID, SmARRAY8, 1, &processValue),
        property(SmRestartStyleHint, SmCARD8, 1, &styleValue),
        property(SmRestartCommand, SmLISTofARRAY8, 2, command.data()),
        property(SmCloneCommand, SmLISTofARRAY8, 2, command.data()),
    };
    std::array<SmProp*, properties.size()> list{};
    for (std::size_t i = 0; i < properties.size(); ++i) {
        list[i] = &properties[i];
    }
    SmcSetProperties(m_connection, static_cast<int>(list.size()), list.data());
}

void XsmpSessionClient::processMessages()
{
    if (!m_connection) {
        return;
    }
    const IceProcessMessagesStatus status =
        IceProcessMessages(SmcGetIceConnection(m_connection), nullptr, nullptr);
    if (status == IceProcessMessagesSuccess) {
        return;
    }
    const bool wasLoggingOut = m_loggingOut;
    closeConnection();
    if (wasLoggingOut) {
        // The session manager went away in the middle of a log-out: the session is over.
        emit stopRequested();
    } else {
        qWarning("nightwick: the session manager closed its connection; log-outs now go by "
                 "unnoticed");
    }
}

void XsmpSessionClient::onSaveYourself(SmcConn connection, void* client, int, int shutdown,
                                       int interactStyle, int)
{
    auto* self = static_cast<XsmpSessionClient*>(client);
    self->m_saveOwed = true;
    self->m_loggingOut = shutdown;
    // A checkpoint is no log-out; a log-out that may not interact gets no card, which holds the
    // pointer and the keyboard. The card is no error, so leave to interact on errors is not
    // enough either.
    if (shutdown && interactStyle == SmInteractStyleAny &&
        SmcInteractRequest(connection, SmDialogNormal, onInteract, client)) {
        return;
    }
    self->finishSave();
}

void XsmpSessionClient::onInteract(SmcConn, void* client)
{
    auto* self = static_cast<XsmpSessionClient*>(client);
    if (!self->m_saveOwed) {
        return;
    }
    self->m_interacting = true;
    emit self->endSessionRequested();
}

void XsmpSessionClient::answerEndSession()
{
    if (!m_interacting) {
        return;
    }
    m_interacting = false;
    SmcInteractDone(m_connection, False);
    finishSave();
}

void XsmpSessionClient::finishSave()
{
    if (!m_saveOwed) {
        return;
    }
    m_saveOwed = false;
    SmcSaveYourselfDone(m_connection, True);
}

void XsmpSessionClient::onDie(SmcConn, void* client)
{
    emit static_cast<XsmpSessionClient*>(client)->stopRequested();
}

void XsmpSessionClient::onSaveComplete(SmcConn, void* client)
{
    // A session that ends says die instead; Xfce calls a log-out off this way, without
    // ShutdownCancelled.
    static_cast<XsmpSessionClient*>(client)->m_loggingOut = false;
}

void XsmpSessionClient::onShutdownCancelled(SmcConn, void* client)
{
    auto* self = static_cast<XsmpSessionClient*>(client);
    self->m_loggingOut = false;
    // Whatever was still asked of the agent is moot; a card on screen runs its time.
    self->m_interacting = false;
    self->finishSave();
}

void XsmpSessionClient::closeConnection()
{
    m_notifier.reset();
    if (m_connection) {
        SmcCloseConnection(m_connection, 0, nullptr);
        m_connection = nullptr;
    }
    m_saveOwed = m_interacting = m_loggingOut = false;
}
