#include "ProgramLocation.h"

#include <QCoreApplication>
#include <QFileInfo>

QString ProgramLocation::programFile()
{
    // An AppImage runs from a temporary mount; the file the user keeps is the image itself.
    const QString appImage = qEnvironmentVariable("APPIMAGE");
    if (!appImage.isEmpty()) {
        return QFileInfo(appImage).absoluteFilePath();
    }
    const QString executable = QCoreApplication::applicationFilePath();
    const QString resolved = QFileInfo(executable).canonicalFilePath();
    return resolved.isEmpty() ? executable : resolved;
}
