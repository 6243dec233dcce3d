#include "FreedesktopTrash.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>

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
    if (!file.moveToTrash()) {
        return Outcome::failure(
            QStringLiteral("Could not move %1 to the Trash: %2").arg(path, file.errorString()));
    }
    return Outcome::success();
}
