#pragma once

#include <QRect>

#include <chrono>
#include <optional>

// The output that has the focus on sway, asked of it through its IPC socket ($SWAYSOCK). Sway
// moves the focus to the output the pointer goes to, so this stands in for the pointer's screen
// where an X11 client cannot see the pointer (XWayland, while the pointer is over a Wayland
// window). Nothing when sway is not running, or does not answer within `budget`.
std::optional<QRect> swayFocusedOutput(std::chrono::milliseconds budget);
