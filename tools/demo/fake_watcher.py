#!/usr/bin/python3
"""Stands in for a panel's org.kde.StatusNotifierWatcher on the session bus.

Used by scripts/demo and bench/startup.sh on their private buses. Prints "ready" once it
owns the name, then one line per registration:

    registered <wall-clock seconds> <caller pid> <service>

and serves until SIGTERM or SIGINT.
"""

import signal
import sys
import time

import dbus
import dbus.service
from dbus.mainloop.glib import DBusGMainLoop
from gi.repository import GLib

NAME = "org.kde.StatusNotifierWatcher"
PATH = "/StatusNotifierWatcher"
PROPS = "org.freedesktop.DBus.Properties"
PROPERTY_TYPES = {
    "RegisteredStatusNotifierItems": "as",
    "IsStatusNotifierHostRegistered": "b",
    "ProtocolVersion": "i",
}


def say(line):
    sys.stdout.write(line + "\n")
    sys.stdout.flush()


class Watcher(dbus.service.Object):
    def __init__(self, bus):
        super().__init__(bus, PATH)
        self.bus = bus
        self.items = []

    def _pid_of(self, sender):
        try:
            proxy = self.bus.get_object("org.freedesktop.DBus", "/org/freedesktop/DBus")
            return int(proxy.GetConnectionUnixProcessID(
                sender, dbus_interface="org.freedesktop.DBus"))
        except dbus.DBusException:
            return 0

    @dbus.service.method(NAME, in_signature="s", out_signature="", sender_keyword="sender")
    def RegisterStatusNotifierItem(self, service, sender=None):
        # Taken first so the figure is not skewed by the look-ups below.
        stamp = time.time()
        # Items that pass an object path mean "at this path, on my own connection".
        full = service if not service.startswith("/") else sender + service
        if full not in self.items:
            self.items.append(full)
        say(f"registered {stamp:.6f} {self._pid_of(sender)} {full}")
        self.StatusNotifierItemRegistered(full)

    @dbus.service.method(NAME, in_signature="s", out_signature="")
    def RegisterStatusNotifierHost(self, service):
        pass

    @dbus.service.signal(NAME, signature="s")
    def StatusNotifierItemRegistered(self, service):
        pass

    def _properties(self):
        return {
            "RegisteredStatusNotifierItems": dbus.Array(self.items, signature="s"),
            # A host is there: Qt's own tray icon only uses the watcher when it says so.
            "IsStatusNotifierHostRegistered": dbus.Boolean(True),
            "ProtocolVersion": dbus.Int32(0),
        }

    # python-dbus leaves properties out of its own introspection data, and Qt reads
    # IsStatusNotifierHostRegistered through an interface built from that data.
    @dbus.service.method(dbus.INTROSPECTABLE_IFACE, in_signature="", out_signature="s",
                         path_keyword="object_path", connection_keyword="connection")
    def Introspect(self, object_path, connection):
        xml = super().Introspect(object_path, connection)
        props = "".join(f'<property name="{name}" type="{kind}" access="read"/>'
                        for name, kind in PROPERTY_TYPES.items())
        return xml.replace(f'<interface name="{NAME}">', f'<interface name="{NAME}">{props}', 1)

    @dbus.service.method(PROPS, in_signature="ss", out_signature="v")
    def Get(self, interface, name):
        props = self._properties()
        if interface != NAME or name not in props:
            raise dbus.exceptions.DBusException(
                f"no property {name}", name="org.freedesktop.DBus.Error.UnknownProperty")
        return props[name]

    @dbus.service.method(PROPS, in_signature="s", out_signature="a{sv}")
    def GetAll(self, interface):
        return self._properties() if interface == NAME else {}


def main():
    DBusGMainLoop(set_as_default=True)
    bus = dbus.SessionBus()
    watcher = Watcher(bus)
    name = dbus.service.BusName(NAME, bus, do_not_queue=True)
    loop = GLib.MainLoop()
    for sig in (signal.SIGTERM, signal.SIGINT):
        GLib.unix_signal_add(GLib.PRIORITY_DEFAULT, sig, loop.quit)
    say("ready")
    loop.run()
    del name, watcher


if __name__ == "__main__":
    main()
