#pragma once

// Where the user's files go, as the XDG base directory rules have it.
namespace XdgBaseDirectories {

// Makes the environment name the user's folders as the rules read it, for everything that looks
// later (Qt's standard paths and its Trash, the settings file, the autostart entry): a relative
// XDG_CONFIG_HOME or XDG_DATA_HOME is ignored, and a HOME that is unset or relative gives way to
// the home the password database gives.
void settleEnvironment();

} // namespace XdgBaseDirectories
