#include "WholeFile.h"

#include <QFile>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

QString systemWords(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

// The file a link at `path` leads to, through links to links; `path` itself when it is no link.
QByteArray linkedFile(QByteArray path)
{
    for (int hop = 0; hop < 40; ++hop) {
        QByteArray target(PATH_MAX, '\0');
        const ssize_t length = ::readlink(path.constData(), target.data(), target.size());
        if (length < 0) {
            break;
        }
        target.truncate(length);
        path = target.startsWith('/') ? target : path.left(path.lastIndexOf('/') + 1) + target;
    }
    return path;
}

qint64 milliseconds(const timespec& time)
{
    return qint64(time.tv_sec) * 1000 + time.tv_nsec / 1'000'000;
}

// Writes the whole of `contents` to the new copy and gives it its mode, before it takes the file's
// place. A disk that fills up says so here, where the old file is still whole.
std::optional<QString> fill(int fd, QByteArrayView contents, std::optional<mode_t> mode,
                            const struct stat* previous)
{
    for (qsizetype done = 0; done < contents.size();) {
        const ssize_t written = ::write(fd, contents.data() + done, size_t(contents.size() - done));
        if (written < 0 && errno != EINTR) {
            return systemWords(errno);
        }
        done += std::max<ssize_t>(written, 0);
    }
    if (mode && ::fchmod(fd, *mode) != 0) {
        return systemWords(errno);
    }
    // QSettings takes a file as unchanged while its size and modification time (to the
    // millisecond) are; a write within the millisecond of the one before must show.
    struct stat now {};
    if (previous && ::fstat(fd, &now) == 0 &&
        milliseconds(now.st_mtim) <= milliseconds(previous->st_mtim)) {
        const qint64 later = milliseconds(previous->st_mtim) + 1;
        const timespec times[2] = {{0, UTIME_OMIT}, {later / 1000, (later % 1000) * 1'000'000}};
        if (::futimens(fd, times) != 0) {
            return systemWords(errno);
        }
    }
    // On the disk before the rename, so that a crash does not leave an empty file in its place.
    if (::fdatasync(fd) != 0 && errno != EINVAL) {
        return systemWords(errno);
    }
    return std::nullopt;
}

} // namespace

std::optional<QString> WholeFile::write(const QString& path, QByteArrayView contents,
                                        std::optional<mode_t> mode)
{
    const QByteArray target = linkedFile(QFile::encodeName(path));
    struct stat previous {};
    const bool exists = ::stat(target.constData(), &previous) == 0;
    if (exists && S_ISDIR(previous.st_mode)) {
        return systemWords(EISDIR);
    }
    // The rename would replace a file its owner made read-only.
    if (exists && ::access(target.constData(), W_OK) != 0) {
        return systemWords(errno);
    }
    // The new copy has a name of its own beside the file. One left by a write killed before its
    // rename is removed by that name; nothing else in the folder is touched.
    const qsizetype slash = target.lastIndexOf('/');
    const QByteArray copy = target.left(slash + 1) + '.' + target.sliced(slash + 1) + ".writing";
    ::unlink(copy.constData());
    const int fd = ::open(copy.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0) {
        return systemWords(errno);
    }
    if (!mode && exists) {
        mode = previous.st_mode & 07777;
    }
    std::optional<QString> problem = fill(fd, contents, mode, exists ? &previous : nullptr);
    if (::close(fd) != 0 && !problem) {
        problem = systemWords(errno);
    }
    if (!problem && ::rename(copy.constData(), target.constData()) != 0) {
        problem = systemWords(errno);
    }
    if (problem) {
        ::unlink(copy.constData());
    }
    return problem;
}

std::optional<QString> WholeFile::remove(const QString& path, std::optional<Removed>& removed)
{
    removed.reset();
    const QByteArray name = QFile::encodeName(path);
    struct stat info {};
    if (::lstat(name.constData(), &info) != 0) {
        return errno == ENOENT ? std::nullopt : std::optional(systemWords(errno));
    }
    if (S_ISDIR(info.st_mode)) {
        return systemWords(EISDIR);
    }
    Removed kept{{}, mode_t(info.st_mode & 07777), std::nullopt};
    if (S_ISLNK(info.st_mode)) {
        QByteArray target(PATH_MAX, '\0');
        const ssize_t length = ::readlink(name.constData(), target.data(), target.size());
        if (length < 0) {
            return systemWords(errno);
        }
        kept.linkTarget = target.left(length);
    } else if (S_ISREG(info.st_mode)) {
        QFile file(path);
        if (!file.open(QIODevice::ReadOnly)) {
            return file.errorString();
        }
        kept.contents = file.readAll();
    }
    if (::unlink(name.constData()) != 0) {
        return systemWords(errno);
    }
    removed = std::move(kept);
    return std::nullopt;
}

std::optional<QString> WholeFile::putBack(const QString& path, const Removed& removed)
{
    if (!removed.linkTarget) {
        return write(path, removed.contents, removed.mode);
    }
    if (::symlink(removed.linkTarget->constData(), QFile::encodeName(path).constData()) != 0) {
        return systemWords(errno);
    }
    return std::nullopt;
}
