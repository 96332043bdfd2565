#!/usr/bin/python3
"""atspi_events.py [SECONDS]: listens on the accessibility bus of the current D-Bus session, as a
screen reader does, and prints each change of an object's accessible name or description that an
application announces as "name|<the new name>" or "description|<the new description>"; prints
"ready" once registered; ends after SECONDS (60)."""
import sys

import dbus
import dbus.mainloop.glib
from gi.repository import GLib

EVENTS = {"accessible-name": ("name", "Name"), "accessible-description": ("description", "Description")}

dbus.mainloop.glib.DBusGMainLoop(set_as_default=True)
address = dbus.SessionBus().get_object("org.a11y.Bus", "/org/a11y/bus").GetAddress(dbus_interface="org.a11y.Bus")
a11y = dbus.bus.BusConnection(address)


def changed(kind, *_args, sender=None, path=None):
    if str(kind) in EVENTS:
        label, prop = EVENTS[str(kind)]
        try:
            value = a11y.get_object(sender, path).Get("org.a11y.atspi.Accessible", prop,
                                                      dbus_interface="org.freedesktop.DBus.Properties")
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
GLib.timeout_add_seconds(int(sys.argv[1]) if len(sys.argv) > 1 else 60, loop.quit)
loop.run()
