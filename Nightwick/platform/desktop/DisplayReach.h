#pragma once

struct xcb_connection_t;

// Whether the display server the environment names takes a connection, asked before Qt starts:
// Qt's platforms abort the program when they cannot connect (a DISPLAY left over from an old SSH
// session, or an X server not up yet).

// A connection to the X server $DISPLAY names, with its authorization, held while this lives: an
// X server with no other client (Xvfb, a server started for this program alone) resets when its
// last client leaves, and Qt connecting in that moment would find no display. Keep it until Qt
// has connected.
class X11DisplayProbe {
public:
    X11DisplayProbe();
    ~X11DisplayProbe();
    X11DisplayProbe(const X11DisplayProbe&) = delete;
    X11DisplayProbe& operator=(const X11DisplayProbe&) = delete;

    bool answers() const;

private:
    xcb_connection_t* m_connection = nullptr;
};

bool waylandDisplayAnswers(); // $WAYLAND_DISPLAY, in $XDG_RUNTIME_DIR unless it is a path
