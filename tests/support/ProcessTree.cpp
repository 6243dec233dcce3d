#include "ProcessTree.h"

#include <QDir>
#include <QFile>
#include <QThread>

#include <csignal>
#include <map>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// Every process below pid, from /proc.
std::vector<pid_t> descendants(pid_t pid)
{
    if (pid <= 1) {
        return {};
    }
    std::multimap<pid_t, pid_t> children;
    for (const QString& entry : QDir("/proc").entryList(QDir::Dirs)) {
        QFile stat("/proc/" + entry + "/stat");
        if (entry.toInt() > 0 && stat.open(QIODevice::ReadOnly)) {
            const QByteArray text = stat.readAll();
            const QList<QByteArray> fields = text.mid(text.lastIndexOf(')') + 2).split(' ');
            children.emplace(fields.value(1).toInt(), entry.toInt());
        }
    }
    std::vector<pid_t> found;
    for (std::vector<pid_t> next{pid}; !next.empty();) {
        const pid_t parent = next.back();
        next.pop_back();
        for (auto [it, end] = children.equal_range(parent); it != end; ++it) {
            found.push_back(it->second);
            next.push_back(it->second);
        }
    }
    return found;
}

} // namespace

std::unique_ptr<QProcess> childProcess()
{
    auto process = std::make_unique<QProcess>();
    process->setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGKILL); });
    return process;
}

void adoptOrphans()
{
    ::prctl(PR_SET_CHILD_SUBREAPER, 1);
}

bool isAlive(pid_t pid)
{
    QFile stat(QString("/proc/%1/stat").arg(pid));
    if (pid <= 0 || !stat.open(QIODevice::ReadOnly)) {
        return false;
    }
    const QByteArray text = stat.readAll();
    return text.mid(text.lastIndexOf(')') + 2, 1) != "Z";
}

std::vector<pid_t> killDescendantsWith(const QByteArray& environmentMark)
{
    // Below the test: what lost its parent was handed to it.
    std::vector<pid_t> killed;
    for (const pid_t pid : descendants(::getpid())) {
        QFile environment(QString("/proc/%1/environ").arg(pid));
        if (environment.open(QIODevice::ReadOnly) &&
            environment.readAll().contains(environmentMark)) {
            killed.push_back(pid);
            ::kill(pid, SIGKILL);
        }
    }
    return killed;
}

void reap(const std::vector<pid_t>& pids)
{
    for (const pid_t pid : pids) {
        for (int tries = 0; tries < 200 && ::waitpid(pid, nullptr, WNOHANG) == 0; ++tries) {
            QThread::msleep(5);
        }
    }
}
