#pragma once

#include <QString>

namespace ProgramLocation {

// The file the user installed: the AppImage when running from one, else the executable itself
// with links resolved.
QString programFile();

} // namespace ProgramLocation
