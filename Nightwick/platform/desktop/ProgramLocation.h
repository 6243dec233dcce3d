#pragma once

#include <QString>

namespace ProgramLocation {

// The file the user installed: the AppImage when running from one, else the executable itself
// with links resolved.
QString programFile();

// The same from what it is made of: $APPIMAGE, $APPDIR and the running executable (links
// resolved). $APPIMAGE counts only when it is an absolute path to a file and the executable runs
// from inside $APPDIR, the AppImage's own mount.
QString programFile(const QString& appImage, const QString& appDir, const QString& executable);

} // namespace ProgramLocation
