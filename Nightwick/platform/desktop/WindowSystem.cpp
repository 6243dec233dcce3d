#include "WindowSystem.h"
#include "platform/desktop/SwayFocusedOutput.h"

#include <QCursor>
#include <QGuiApplication>
#include <QScreen>

#if NIGHTWICK_HAS_XCB
#include <xcb/xcb.h>
#endif

#include <algorithm>
#include <chrono>
#include <cstdlib>

namespace {

// Sway answers its IPC at once; a compositor that hangs must not hold the card back for long.
constexpr std::chrono::milliseconds compositorAnswerBudget{150};

#if NIGHTWICK_HAS_XCB
xcb_connection_t* x11Connection()
{
    auto* x11 = qGuiApp->nativeInterface<QNativeInterface::QX11Application>();
    return x11 ? x11->connection() : nullptr;
}

// XWayland names its outputs so.
bool isXWayland()
{
    const QList<QScreen*> screens = QGuiApplication::screens();
    return std::any_of(screens.begin(), screens.end(), [](const QScreen* screen) {
        return screen->name().startsWith(QLatin1String("XWAYLAND"));
    });
}

// Whether XWayland has the pointer over one of its windows, the only place it follows it;
// elsewhere it keeps an old position (at first the middle of the whole desktop). The old position
// lies over no window of its own (sway), or over a window that only takes input, such as the
// guard window GNOME's mutter spreads under everything.
bool xwaylandFollowsPointer(xcb_connection_t* connection)
{
    const xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(connection)).data->root;
    xcb_query_pointer_reply_t* pointer =
        xcb_query_pointer_reply(connection, xcb_query_pointer(connection, root), nullptr);
    const xcb_window_t child = pointer ? pointer->child : xcb_window_t(XCB_NONE);
    std::free(pointer);
    if (child == XCB_NONE) {
        return false;
    }
    xcb_get_window_attributes_reply_t* attributes = xcb_get_window_attributes_reply(
        connection, xcb_get_window_attributes(connection, child), nullptr);
    const bool drawn = attributes && attributes->_class == XCB_WINDOW_CLASS_INPUT_OUTPUT;
    std::free(attributes);
    return drawn;
}
#endif

} // namespace

namespace WindowSystem {

std::optional<QPoint> pointerHint()
{
#if NIGHTWICK_HAS_XCB
    xcb_connection_t* connection = x11Connection();
    if (connection && isXWayland() && !xwaylandFollowsPointer(connection)) {
        const std::optional<QRect> focused = swayFocusedOutput(compositorAnswerBudget);
        return focused ? std::optional(focused->center()) : std::nullopt;
    }
#endif
    return QCursor::pos();
}

bool composites()
{
    if (QGuiApplication::platformName() != QLatin1String("xcb")) {
        return true; // Wayland always composites; offscreen renders into images
    }
#if NIGHTWICK_HAS_XCB
    xcb_connection_t* connection = x11Connection();
    if (!connection) {
        return true;
    }
    // A compositing manager owns the _NET_WM_CM_S<n> selection of the screen it composites.
    int screenNumber = 0;
    const QByteArray display = qgetenv("DISPLAY");
    if (const qsizetype dot = display.lastIndexOf('.'); dot > display.lastIndexOf(':')) {
        screenNumber = display.mid(dot + 1).toInt();
    }
    const QByteArray name = "_NET_WM_CM_S" + QByteArray::number(screenNumber);
    const auto atomCookie = xcb_intern_atom(connection, 0, uint16_t(name.size()), name.constData());
    xcb_intern_atom_reply_t* atom = xcb_intern_atom_reply(connection, atomCookie, nullptr);
    if (!atom) {
        return true;
    }
    const auto ownerCookie = xcb_get_selection_owner(connection, atom->atom);
    std::free(atom);
    xcb_get_selection_owner_reply_t* owner =
        xcb_get_selection_owner_reply(connection, ownerCookie, nullptr);
    const bool owned = owner && owner->owner != XCB_NONE;
    std::free(owner);
    return owned;
#else
    return true;
#endif
}

void refocusThroughChild([[maybe_unused]] quint64 windowId, [[maybe_unused]] quint32& focusChild)
{
#if NIGHTWICK_HAS_XCB
    xcb_connection_t* connection = x11Connection();
    if (!connection) {
        return;
    }
    const auto window = xcb_window_t(windowId);
    if (!focusChild) {
        focusChild = xcb_generate_id(connection);
        xcb_create_window(connection, 0, focusChild, window, 0, 0, 1, 1, 0,
                          XCB_WINDOW_CLASS_INPUT_ONLY, XCB_COPY_FROM_PARENT, 0, nullptr);
        xcb_map_window(connection, focusChild);
    }
    xcb_set_input_focus(connection, XCB_INPUT_FOCUS_PARENT, focusChild, XCB_CURRENT_TIME);
    xcb_set_input_focus(connection, XCB_INPUT_FOCUS_PARENT, window, XCB_CURRENT_TIME);
    xcb_flush(connection);
#endif
}

} // namespace WindowSystem
