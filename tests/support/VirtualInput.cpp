#include "VirtualInput.h"

#include <wayland-client.h>

#include <cstring>
#include <string_view>

#include <sys/mman.h>
#include <unistd.h>

namespace {

// The requests this client sends, numbered as in the protocols' XML; a compositor reads requests
// by number, so this is all a client needs of the protocols.
const wl_message keyboardRequests[] = {{"keymap", "uhu", nullptr}, {"key", "uuu", nullptr}};
const wl_interface keyboard = {"zwp_virtual_keyboard_v1", 1, 2, keyboardRequests, 0, nullptr};
const wl_interface* newKeyboardTypes[] = {&wl_seat_interface, &keyboard};
const wl_message keyboardManagerRequests[] = {{"create_virtual_keyboard", "on", newKeyboardTypes}};
const wl_interface keyboardManager = {"zwp_virtual_keyboard_manager_v1", 1, 1,
                                      keyboardManagerRequests,           0, nullptr};

const wl_message pointerRequests[] = {{"motion", "uff", nullptr},
                                      {"motion_absolute", "uuuuu", nullptr},
                                      {"button", "uuu", nullptr},
                                      {"axis", "uuf", nullptr},
                                      {"frame", "", nullptr}};
const wl_interface pointer = {"zwlr_virtual_pointer_v1", 1, 5, pointerRequests, 0, nullptr};
const wl_interface* newPointerTypes[] = {&wl_seat_interface, &pointer};
const wl_message pointerManagerRequests[] = {{"create_virtual_pointer", "?on", newPointerTypes}};
const wl_interface pointerManager = {
    "zwlr_virtual_pointer_manager_v1", 1, 1, pointerManagerRequests, 0, nullptr};

enum : std::uint32_t { keymapRequest = 0, keyRequest = 1 };
enum : std::uint32_t { motionAbsoluteRequest = 1, buttonRequest = 2, frameRequest = 4 };

// The usual evdev layout, compiled by the compositor.
constexpr std::string_view keymap =
    "xkb_keymap { xkb_keycodes { include \"evdev+aliases(qwerty)\" };"
    " xkb_types { include \"complete\" }; xkb_compat { include \"complete\" };"
    " xkb_symbols { include \"pc+us+inet(evdev)\" }; };";

struct Globals {
    wl_proxy* seat = nullptr;
    wl_proxy* keyboardManager = nullptr;
    wl_proxy* pointerManager = nullptr;
};

void bindGlobal(void* data, wl_registry* registry, std::uint32_t name, const char* interface,
                std::uint32_t)
{
    auto* globals = static_cast<Globals*>(data);
    for (auto [wanted, slot] : {std::pair(&wl_seat_interface, &globals->seat),
                                std::pair(&keyboardManager, &globals->keyboardManager),
                                std::pair(&pointerManager, &globals->pointerManager)}) {
        if (std::strcmp(interface, wanted->name) == 0 && !*slot) {
            *slot = static_cast<wl_proxy*>(wl_registry_bind(registry, name, wanted, 1));
        }
    }
}

void forgetGlobal(void*, wl_registry*, std::uint32_t)
{
}

const wl_registry_listener registryListener = {bindGlobal, forgetGlobal};

} // namespace

VirtualInput::~VirtualInput()
{
    if (m_display) {
        wl_display_disconnect(m_display);
    }
}

bool VirtualInput::connect(const QString& socketPath, QSize layout)
{
    m_layout = layout;
    m_display = wl_display_connect(socketPath.toLocal8Bit().constData());
    Globals globals;
    if (!m_display) {
        return false;
    }
    wl_registry_add_listener(wl_display_get_registry(m_display), &registryListener, &globals);
    wl_display_roundtrip(m_display);
    if (!globals.seat || !globals.keyboardManager || !globals.pointerManager) {
        return false;
    }
    m_keyboard =
        wl_proxy_marshal_flags(globals.keyboardManager, 0, &keyboard, 1, 0, globals.seat, nullptr);
    m_pointer =
        wl_proxy_marshal_flags(globals.pointerManager, 0, &pointer, 1, 0, globals.seat, nullptr);
    const int file = memfd_create("keymap", MFD_CLOEXEC);
    const bool written = file >= 0 &&
                         write(file, keymap.data(), keymap.size()) == ssize_t(keymap.size()) &&
                         write(file, "", 1) == 1;
    if (written) {
        wl_proxy_marshal_flags(m_keyboard, keymapRequest, nullptr, 1, 0, 1u /* xkb v1 */, file,
                               std::uint32_t(keymap.size() + 1));
    }
    close(file);
    return written && wl_display_roundtrip(m_display) >= 0;
}

void VirtualInput::typeKey(std::uint32_t linuxKeyCode)
{
    for (const std::uint32_t pressed : {1u, 0u}) {
        wl_proxy_marshal_flags(m_keyboard, keyRequest, nullptr, 1, 0, ++m_time, linuxKeyCode,
                               pressed);
    }
    wl_display_roundtrip(m_display); // the compositor has handled it when this returns
}

void VirtualInput::movePointer(QPoint layoutPosition)
{
    wl_proxy_marshal_flags(m_pointer, motionAbsoluteRequest, nullptr, 1, 0, ++m_time,
                           std::uint32_t(layoutPosition.x()), std::uint32_t(layoutPosition.y()),
                           std::uint32_t(m_layout.width()), std::uint32_t(m_layout.height()));
    wl_proxy_marshal_flags(m_pointer, frameRequest, nullptr, 1, 0);
    wl_display_roundtrip(m_display);
}

void VirtualInput::clickLeft()
{
    for (const std::uint32_t pressed : {1u, 0u}) {
        wl_proxy_marshal_flags(m_pointer, buttonRequest, nullptr, 1, 0, ++m_time,
                               0x110u /* BTN_LEFT */, pressed);
        wl_proxy_marshal_flags(m_pointer, frameRequest, nullptr, 1, 0);
    }
    wl_display_roundtrip(m_display);
}
