#include "FreedesktopTrash.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>

#include <cerrno>
#include <cstring>
#include <sys/stat.h>

Outcome FreedesktopTrash::moveToTrash(const QString& path)
{
    QFile file(path);
    if (!QFileInfo::exists(path)) {
        return Outcome::failure(
            QStringLiteral("Could not move %1 to the Trash: the file does not exist.").arg(path));
    }
    // Qt makes the home Trash inside the data folder but not the data folder itself; without
    // it, the "Trash" would be made in the working folder instead.
    const QString dataFolder =
        QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation);
    if (!QDir().mkpath(dataFolder)) {
        return Outcome::failure(
            QStringLiteral("Could not move %1 to the Trash: the folder %2 cannot be created.")
                .arg(path, dataFolder));
    }
    // Where the home Trash cannot be a folder (a file holds its place), Qt 6.4 moves the file
    // into "files" under the working folder instead, and reports success.
    const QString homeTrash = dataFolder + QStringLiteral("/Trash");
    int error = 0;
    if (::mkdir(QFile::encodeName(homeTrash).constData(), 0700) != 0 && errno != EEXIST) {
        error = errno;
    } else if (!QFileInfo(homeTrash).isDir()) {
        error = ENOTDIR;
    }
    if (error != 0) {
        return Outcome::failure(
            QStringLiteral("Could not move %1 to the Trash: %2: %3")
                .arg(path, homeTrash, QString::fromLocal8Bit(std::strerror(error))));
    }
    if (!file.moveToTrash()) {
        return Outcome::failure(
            QStringLiteral("Could not move %1 to the Trash: %2").arg(path, file.errorString()));
    }
    return Outcome::success();
}
