#pragma once

// Qt's X11 and Wayland platforms end the program with status 1 when the display server goes
// away. On a Wayland desktop without a session manager (sway, Hyprland and the like) that is how
// logging out looks: the compositor ends, and XWayland with it. The agent then has nothing to
// save or answer, so from this call on it ends with status 0 and one line on stderr instead.
void quitCleanlyWhenTheDisplayGoesAway();
