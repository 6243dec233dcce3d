#pragma once

#include <QPoint>
#include <QString>

#include <chrono>
#include <optional>

// What the window system can tell the reminder card about the desktop, and the favours the card
// asks of X11.
namespace WindowSystem {

// How long the card waits on a compositor's word on where the user is: one that hangs must not
// hold it back for long.
constexpr std::chrono::milliseconds compositorAnswerBudget{150};

// Where the pointer is, where this program can see it: not so under XWayland while the pointer is
// over a Wayland window.
std::optional<QPoint> visiblePointer();

// The centre of the output sway has focused, which follows the pointer; nothing without sway.
std::optional<QPoint> swayFocusCentre();

// The name the X11 window manager goes by ("KWin", "GNOME Shell", "Xfwm4"); empty without one.
QString windowManagerName();

// Asks the window manager to leave a window not yet shown out of the taskbar and the pager.
void keepOffTaskbar(quint64 windowId);

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
