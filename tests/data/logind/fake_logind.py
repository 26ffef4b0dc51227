#!/usr/bin/python3
# A stand-in for logind on a private D-Bus bus: Inhibit hands out the write
# end of a pipe, as logind hands out a FIFO, and Locks tells the test what
# was asked for and whether the caller still holds it (its end still open).
# Usage: fake_logind.py BUS_ADDRESS [--refuse]
import os
import select
import sys

import dbus
import dbus.mainloop.glib
import dbus.service
from gi.repository import GLib

dbus.mainloop.glib.DBusGMainLoop(set_as_default=True)
bus = dbus.bus.BusConnection(sys.argv[1])
refuse = "--refuse" in sys.argv[2:]
name = dbus.service.BusName("org.freedesktop.login1", bus)


class Manager(dbus.service.Object):
    def __init__(self):
        super().__init__(bus, "/org/freedesktop/login1")
        self.locks = []

    @dbus.service.method("org.freedesktop.login1.Manager", in_signature="ssss",
                         out_signature="h")
    def Inhibit(self, what, who, why, mode):
        if refuse:
            raise dbus.exceptions.DBusException(
                "Access denied", name="org.freedesktop.DBus.Error.AccessDenied")
        r, w = os.pipe()
        self.locks.append((str(what), str(who), str(why), str(mode), r))
        fd = dbus.types.UnixFd(w)
        os.close(w)
        return fd

    @dbus.service.method("com.lumavix.test.FakeLogind", out_signature="a(ssssb)")
    def Locks(self):
        out = []
        for what, who, why, mode, r in self.locks:
            readable, _, _ = select.select([r], [], [], 0)
            out.append((what, who, why, mode, not readable))
        return out


manager = Manager()
print("ready", flush=True)
GLib.MainLoop().run()
