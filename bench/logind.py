"""logind as python3-dbusmock's template has it, which also notes, on CLOCK_MONOTONIC in ms, when
it announced a shutdown and when each lock on shutdown was let go: the benchmark times the agent
by them.
Like the real logind, it takes a lock as let go only once every copy of its descriptor is closed."""
import os
import time

import dbus
from dbusmock import MOCK_IFACE, mockobject
from dbusmock.templates.logind import *  # noqa: F401,F403 (the template; Inhibit is replaced)
from dbusmock.templates.logind import MAIN_IFACE
from gi.repository import GLib

RELEASED = []


def now_ms():
    return time.monotonic() * 1000


@dbus.service.method(MAIN_IFACE, in_signature='ssss', out_signature='h')
def Inhibit(_, what, who, why, mode):
    inhibitors = mockobject.__dict__.setdefault('inhibitors', [])
    held, given = os.pipe()
    inhibitor = (what, who, why, mode, 1000, 123456)
    inhibitors.append(inhibitor)

    def released(fd, _condition):
        if 'shutdown' in what:  # not upowerd's lock on sleep
            RELEASED.append(now_ms())
        os.close(fd)
        inhibitors.remove(inhibitor)
        return False

    GLib.unix_fd_add_full(GLib.PRIORITY_HIGH, held, GLib.IO_HUP, released)
    GLib.idle_add(os.close, given)
    return given


@dbus.service.method(MOCK_IFACE, in_signature='b', out_signature='d')
def Announce(self, starting):
    """Emits PrepareForShutdown; when, in ms."""
    at = now_ms()
    self.EmitSignal(MAIN_IFACE, 'PrepareForShutdown', 'b', [starting])
    return at


@dbus.service.method(MOCK_IFACE, in_signature='', out_signature='ad')
def Released(_):
    return RELEASED
