#pragma once

// Qt's X11 platform ends the program with status 1 when the X server goes away. Through XWayland
// that is how a Wayland desktop without a session manager (sway, Hyprland and the like) logs
// out: the compositor ends and takes XWayland with it. The agent then has nothing to save or
// answer, so from this call on it ends with status 0 and one line on stderr instead.
void quitCleanlyWhenTheX11DisplayGoesAway();
