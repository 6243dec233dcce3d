#pragma once

#include <QByteArray>
#include <QProcess>

#include <memory>
#include <sys/types.h>
#include <vector>

// The processes a test started and the ones those started in turn, which may outlive their
// parents: a session manager's clients, a daemon's children.

// A process that is killed when the test dies, so that a crashed test leaves no daemons behind.
std::unique_ptr<QProcess> childProcess();
// Makes the test the parent of every orphan below it, so that it can find and end them.
void adoptOrphans();
bool isAlive(pid_t pid);
// Kills (SIGKILL) every process below the test whose environment holds the mark; their pids.
std::vector<pid_t> killDescendantsWith(const QByteArray& environmentMark);
// Waits a little for each to end and takes its exit status.
void reap(const std::vector<pid_t>& pids);
