#include "ProgramLocation.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>

QString ProgramLocation::programFile()
{
    QString executable = QCoreApplication::applicationFilePath();
    // Qt names no file whose path is not text in the locale's encoding; the kernel still does,
    // with what cannot be shown replaced, which is enough to say which file is meant.
    if (executable.isEmpty()) {
        executable = QFileInfo(QStringLiteral("/proc/self/exe")).symLinkTarget();
    }
    const QString resolved = QFileInfo(executable).canonicalFilePath();
    return programFile(qEnvironmentVariable("APPIMAGE"), qEnvironmentVariable("APPDIR"),
                       resolved.isEmpty() ? executable : resolved);
}

// An AppImage runs from a temporary mount; the file the user keeps is the image itself. Its
// runtime exports $APPIMAGE and $APPDIR to every program it starts, so a terminal or an editor
// that is an AppImage hands its own to this program: the login entry would then start that other
// AppImage, and uninstall would trash it.
QString ProgramLocation::programFile(const QString& appImage, const QString& appDir,
                                     const QString& executable)
{
    const QString mount =
        QDir::isAbsolutePath(appDir) ? QFileInfo(appDir).canonicalFilePath() : QString();
    const bool runsFromTheMount =
        !mount.isEmpty() && executable.startsWith(mount + QLatin1Char('/'));
    const QFileInfo image(appImage);
    if (runsFromTheMount && QDir::isAbsolutePath(appImage) && image.isFile()) {
        return image.absoluteFilePath();
    }
    return executable;
}
