#include "FreedesktopTrash.h"

#include <QFile>
#include <QFileInfo>

Outcome FreedesktopTrash::moveToTrash(const QString& path)
{
    QFile file(path);
    if (!QFileInfo::exists(path)) {
        return Outcome::failure(
            QStringLiteral("Could not move %1 to the Trash: the file does not exist.").arg(path));
    }
    if (!file.moveToTrash()) {
        return Outcome::failure(
            QStringLiteral("Could not move %1 to the Trash: %2").arg(path, file.errorString()));
    }
    return Outcome::success();
}
