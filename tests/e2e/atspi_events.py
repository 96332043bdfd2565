#!/usr/bin/python3
"""Listens on the accessibility bus of the current D-Bus session, as a screen
reader does, and prints every change of an object's accessible name or
description that an application announces, one per line:
    name|<the new name>
    description|<the new description>
Prints "ready" once it is registered for these events; ends after SECONDS."""
import sys

import dbus
import dbus.mainloop.glib
from gi.repository import GLib

ACCESSIBLE = "org.a11y.atspi.Accessible"
PROPERTIES = "org.freedesktop.DBus.Properties"
EVENTS = {"accessible-name": ("name", "Name"), "accessible-description": ("description", "Description")}


def main():
    seconds = int(sys.argv[1]) if len(sys.argv) > 1 else 60
    dbus.mainloop.glib.DBusGMainLoop(set_as_default=True)
    session = dbus.SessionBus()
    address = session.get_object("org.a11y.Bus", "/org/a11y/bus").GetAddress(dbus_interface="org.a11y.Bus")
    a11y = dbus.bus.BusConnection(address)

    def changed(kind, *_args, sender=None, path=None):
        if str(kind) not in EVENTS:
            return
        label, prop = EVENTS[str(kind)]
        try:
            value = a11y.get_object(sender, path).Get(ACCESSIBLE, prop, dbus_interface=PROPERTIES)
        except dbus.DBusException:
            return
        print(f"{label}|{str(value)}".replace("\n", " "), flush=True)

    a11y.add_signal_receiver(changed, signal_name="PropertyChange", dbus_interface="org.a11y.atspi.Event.Object",
                             sender_keyword="sender", path_keyword="path")
    registry = a11y.get_object("org.a11y.atspi.Registry", "/org/a11y/atspi/registry")
    for kind in EVENTS:
        registry.RegisterEvent("object:property-change:" + kind, dbus.Array([], signature="s"), "",
                               dbus_interface="org.a11y.atspi.Registry")
    print("ready", flush=True)
    loop = GLib.MainLoop()
    GLib.timeout_add_seconds(seconds, loop.quit)
    loop.run()
    return 0


if __name__ == "__main__":
    sys.exit(main())
