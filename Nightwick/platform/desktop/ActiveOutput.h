#pragma once

#include <QRect>

#include <chrono>
#include <functional>
#include <optional>

// A Wayland compositor's word on which output the user is at, for a program that cannot see the
// pointer itself (an X11 client while the pointer is over a Wayland window).
class ActiveOutput {
public:
    virtual ~ActiveOutput() = default;

    // Runs `answer` once, never within this call, with the rectangle of the output the compositor
    // counts as active, or with nothing when it gives none within `budget`.
    virtual void ask(std::chrono::milliseconds budget,
                     std::function<void(std::optional<QRect>)> answer) = 0;
};
