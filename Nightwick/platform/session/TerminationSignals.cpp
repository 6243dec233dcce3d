#include "TerminationSignals.h"

#include <QSocketNotifier>

#include <array>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace {

constexpr std::array caughtSignals{SIGTERM, SIGINT, SIGHUP};

volatile sig_atomic_t writeEnd = -1;
std::array<struct sigaction, caughtSignals.size()> previousActions{};

void onSignal(int signalNumber)
{
    const int savedErrno = errno;
    const auto byte = static_cast<unsigned char>(signalNumber);
    // A full pipe already holds enough wake-ups; losing this byte loses nothing.
    [[maybe_unused]] const ssize_t written = ::write(writeEnd, &byte, 1);
    errno = savedErrno;
}

} // namespace

TerminationSignals::TerminationSignals(QObject* parent)
    : QObject(parent)
{
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) {
        return;
    }
    m_readFd = fds[0];
    m_writeFd = fds[1];
    writeEnd = m_writeFd;

    struct sigaction action {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (std::size_t i = 0; i < caughtSignals.size(); ++i) {
        ::sigaction(caughtSignals[i], &action, &previousActions[i]);
    }
    m_notifier = std::make_unique<QSocketNotifier>(m_readFd, QSocketNotifier::Read);
    connect(m_notifier.get(), &QSocketNotifier::activated, this, &TerminationSignals::drain);
}

TerminationSignals::~TerminationSignals()
{
    if (m_readFd < 0) {
        return;
    }
    for (std::size_t i = 0; i < caughtSignals.size(); ++i) {
        ::sigaction(caughtSignals[i], &previousActions[i], nullptr);
    }
    writeEnd = -1;
    m_notifier.reset();
    ::close(m_readFd);
    ::close(m_writeFd);
}

void TerminationSignals::drain()
{
    unsigned char byte = 0;
    while (::read(m_readFd, &byte, 1) == 1) {
        emit received(byte);
    }
}
