#pragma once

#include <QPoint>
#include <QSize>
#include <QString>

#include <cstdint>

struct wl_display;
struct wl_proxy;

// A keyboard and a pointer of the test's own on a wlroots compositor, through its virtual-keyboard
// and virtual-pointer protocols. Both last as long as this object, as a user's devices would:
// sway hands the keyboard focus round again whenever a keyboard is added.
class VirtualInput {
public:
    VirtualInput() = default;
    VirtualInput(const VirtualInput&) = delete;
    VirtualInput& operator=(const VirtualInput&) = delete;
    ~VirtualInput();

    // `layout`: the size of all outputs together, in which pointer positions are given.
    bool connect(const QString& socketPath, QSize layout);
    void typeKey(std::uint32_t linuxKeyCode); // KEY_A is 30
    void movePointer(QPoint layoutPosition);
    void clickLeft();

private:
    wl_display* m_display = nullptr;
    wl_proxy* m_keyboard = nullptr;
    wl_proxy* m_pointer = nullptr;
    QSize m_layout;
    std::uint32_t m_time = 0;
};
