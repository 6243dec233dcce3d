#!/usr/bin/python3
"""Stands in for systemd's manager (org.freedesktop.systemd1) on a private bus, for a real
systemd-logind under test, and records what reaches it.

It only ever connects to the bus address it is given, never to the machine's buses. Every
method call to it and every signal of logind's manager is recorded with the time it arrived
(CLOCK_MONOTONIC, in ms, the clock QElapsedTimer reads). The recorder interface hands the
record out, clears it, and finishes the started jobs, which logind takes as a called-off
shutdown."""

import sys
import time

import dbus
import dbus.mainloop.glib
import dbus.service
from gi.repository import GLib

MANAGER = "org.freedesktop.systemd1.Manager"
RECORDER = "org.nightwick.Recorder"
UNITS = "/org/freedesktop/systemd1/unit"
UNIT_PROPERTIES = {"LoadState": "loaded", "ActiveState": "inactive"}


class Manager(dbus.service.Object):
    def __init__(self, bus):
        super().__init__(bus, "/org/freedesktop/systemd1")
        self.record = []
        self.jobs = []
        self.job_count = 0
        bus.add_match_string("type='signal',interface='org.freedesktop.login1.Manager'")
        bus.add_message_filter(self.note)

    def note(self, _connection, message):
        if isinstance(message, (dbus.lowlevel.MethodCallMessage, dbus.lowlevel.SignalMessage)):
            is_call = isinstance(message, dbus.lowlevel.MethodCallMessage)
            ours = message.get_interface() in (RECORDER, "org.freedesktop.DBus")
            if (is_call and not ours) or message.get_interface() == "org.freedesktop.login1.Manager":
                arguments = " ".join(str(argument) for argument in message.get_args_list())
                self.record.append((time.clock_gettime(time.CLOCK_MONOTONIC) * 1000.0,
                                    message.get_member(), message.get_path() + " " + arguments))
        return dbus.lowlevel.HANDLER_RESULT_NOT_YET_HANDLED  # the objects below answer

    @dbus.service.method(MANAGER)
    def Subscribe(self):
        pass

    @dbus.service.method(MANAGER)
    def Unsubscribe(self):
        pass

    @dbus.service.method(MANAGER, in_signature="ss", out_signature="o")
    def StartUnit(self, unit, _mode):
        self.job_count += 1
        job = dbus.ObjectPath("/org/freedesktop/systemd1/job/%d" % self.job_count)
        self.jobs.append((self.job_count, job, unit))
        return job

    @dbus.service.signal(MANAGER, signature="uoss")
    def JobRemoved(self, _id, _job, _unit, _result):
        pass

    @dbus.service.method(RECORDER, out_signature="a(dss)")
    def Calls(self):
        return dbus.Array(self.record, signature="(dss)")

    # Forgets what was recorded, so that a long run's record stays short.
    @dbus.service.method(RECORDER)
    def Clear(self):
        self.record = []

    # Ends every job still running, as systemd does when another job replaces it.
    @dbus.service.method(RECORDER, in_signature="s")
    def FinishJobs(self, result):
        jobs, self.jobs = self.jobs, []
        for number, job, unit in jobs:
            self.JobRemoved(dbus.UInt32(number), job, unit, result)


class Units(dbus.service.FallbackObject):
    @dbus.service.method(dbus.PROPERTIES_IFACE, in_signature="ss", out_signature="v",
                         rel_path_keyword="path")
    def Get(self, _interface, name, path):
        if name not in UNIT_PROPERTIES:
            raise dbus.exceptions.DBusException(
                "no property " + name, name="org.freedesktop.DBus.Error.UnknownProperty")
        return dbus.String(UNIT_PROPERTIES[name], variant_level=1)


def main():
    dbus.mainloop.glib.DBusGMainLoop(set_as_default=True)
    bus = dbus.bus.BusConnection(sys.argv[1])
    manager = Manager(bus)
    units = Units(bus, UNITS)
    if bus.request_name("org.freedesktop.systemd1", dbus.bus.NAME_FLAG_DO_NOT_QUEUE) != \
            dbus.bus.REQUEST_NAME_REPLY_PRIMARY_OWNER:
        sys.exit("org.freedesktop.systemd1 is owned already")
    GLib.MainLoop().run()
    del manager, units


if __name__ == "__main__":
    main()
