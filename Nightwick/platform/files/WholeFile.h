#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

#include <optional>
#include <sys/types.h>

// The agent's own files, written and removed so that nothing is ever left half done; each
// failure comes back in the system's words.
namespace WholeFile {

// What a removal took away, enough to put it back as it was: a file's bytes and mode, or the
// target of a link.
struct Removed {
    QByteArray contents;
    mode_t mode = 0;
    std::optional<QByteArray> linkTarget;
};

// Replaces the file at `path` (through a link there, the file it points to) in one step: a reader
// sees the old file or the new one, whole, and a write that fails leaves the old one. The file
// gets `mode` when given, else keeps its own; a new one gets what the umask leaves of 0666.
std::optional<QString> write(const QString& path, QByteArrayView contents,
                             std::optional<mode_t> mode = std::nullopt);

// Removes the file or link at `path` (never what a link points to) and says what it was;
// nothing there is nothing removed.
std::optional<QString> remove(const QString& path, std::optional<Removed>& removed);

// Puts back at `path` what remove took away.
std::optional<QString> putBack(const QString& path, const Removed& removed);

} // namespace WholeFile
