#pragma once

// Whether the display server the environment names takes a connection, asked before Qt starts:
// Qt's platforms abort the program when they cannot connect (a DISPLAY left over from an old SSH
// session, or an X server not up yet).
bool x11DisplayAnswers();     // $DISPLAY, with its authorization
bool waylandDisplayAnswers(); // $WAYLAND_DISPLAY, in $XDG_RUNTIME_DIR unless it is a path
