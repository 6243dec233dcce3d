// Prints, one a line, the CLOCK_MONOTONIC time in ms at which it learnt that the X server mapped
// a window that bypasses the window manager, as the card's does; "ready" once it watches.
#include <xcb/xcb.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>

int main()
{
    xcb_connection_t* connection = xcb_connect(nullptr, nullptr);
    if (xcb_connection_has_error(connection))
        return 1;
    xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(connection)).data;
    const uint32_t mask = XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY;
    xcb_change_window_attributes(connection, screen->root, XCB_CW_EVENT_MASK, &mask);
    xcb_flush(connection);
    std::printf("ready\n");
    std::fflush(stdout);
    while (xcb_generic_event_t* event = xcb_wait_for_event(connection)) {
        timespec now{};
        clock_gettime(CLOCK_MONOTONIC, &now);
        if ((event->response_type & 0x7f) == XCB_MAP_NOTIFY &&
            reinterpret_cast<xcb_map_notify_event_t*>(event)->override_redirect) {
            std::printf("%.3f\n", double(now.tv_sec) * 1e3 + double(now.tv_nsec) / 1e6);
            std::fflush(stdout);
        }
        std::free(event);
    }
    return 0;
}
