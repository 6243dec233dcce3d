// Drives KWin's fake-input protocol for scripts/try-card: `fake-input key CODE` presses and
// releases an evdev key, `fake-input abs X Y` puts the pointer there. KWin takes it only with
// KWIN_WAYLAND_NO_PERMISSION_CHECKS=1.
#include "fake-input-client.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>
#include <wayland-client.h>

static struct org_kde_kwin_fake_input* fakeInput;

static void global(void* data, struct wl_registry* registry, uint32_t name, const char* interface,
                   uint32_t version)
{
    (void)data;
    if (strcmp(interface, org_kde_kwin_fake_input_interface.name) == 0) {
        fakeInput = wl_registry_bind(registry, name, &org_kde_kwin_fake_input_interface,
                                     version < 4 ? version : 4);
    }
}

static void globalRemove(void* data, struct wl_registry* registry, uint32_t name)
{
    (void)data, (void)registry, (void)name;
}

int main(int argc, char** argv)
{
    struct wl_display* display = wl_display_connect(NULL);
    if (!display) {
        fputs("fake-input: no Wayland display\n", stderr);
        return 1;
    }
    static const struct wl_registry_listener listener = {global, globalRemove};
    wl_registry_add_listener(wl_display_get_registry(display), &listener, NULL);
    wl_display_roundtrip(display);
    if (!fakeInput) {
        fputs("fake-input: the compositor offers no org_kde_kwin_fake_input\n", stderr);
        return 1;
    }
    org_kde_kwin_fake_input_authenticate(fakeInput, "try-card", "trying the reminder card");
    if (argc == 3 && strcmp(argv[1], "key") == 0) {
        org_kde_kwin_fake_input_keyboard_key(fakeInput, (uint32_t)atoi(argv[2]), 1);
        wl_display_roundtrip(display);
        usleep(30000);
        org_kde_kwin_fake_input_keyboard_key(fakeInput, (uint32_t)atoi(argv[2]), 0);
    } else if (argc == 4 && strcmp(argv[1], "abs") == 0) {
        org_kde_kwin_fake_input_pointer_motion_absolute(fakeInput, wl_fixed_from_int(atoi(argv[2])),
                                                        wl_fixed_from_int(atoi(argv[3])));
    } else {
        fputs("usage: fake-input key CODE | abs X Y\n", stderr);
        return 2;
    }
    wl_display_roundtrip(display);
    return 0;
}
