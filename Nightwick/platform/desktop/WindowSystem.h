#pragma once

#include <QPoint>

#include <optional>

// What the window system can tell the reminder card about the desktop, and the one favour the
// card asks of X11.
namespace WindowSystem {

// Where the pointer is where the window system can tell; else the centre of the output sway has
// focused; else nothing.
std::optional<QPoint> pointerHint();

// Whether windows can be see-through: not so on an X11 display without a compositing manager.
bool composites();

// Under XWayland the compositor gives an X11 window the keyboard only once it sees that window
// take the X focus. GNOME's mutter starts watching a new bypassing window only after it is
// mapped, so the focus taken at once can go unseen (7 cards in 25 here), and the keyboard stays
// with the window that had it. Moving the focus into a child window (made on first use and kept
// in `focusChild`) and back makes a fresh focus-in that it does see. Elsewhere this changes
// nothing that matters; without X11 it does nothing.
void refocusThroughChild(quint64 windowId, quint32& focusChild);

} // namespace WindowSystem
