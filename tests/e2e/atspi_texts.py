#!/usr/bin/python3
"""Prints the accessible name of every object of every application on the
accessibility bus of the current D-Bus session, one per line: what the
widgets show, read through the desktop's accessibility interface."""
import sys

import dbus

ACCESSIBLE = "org.a11y.atspi.Accessible"
MAX_DEPTH = 12


def walk(bus, name, path, depth=0):
    obj = bus.get_object(name, path)
    text = obj.Get(ACCESSIBLE, "Name", dbus_interface="org.freedesktop.DBus.Properties")
    print(str(text).replace("\n", " "))
    if depth < MAX_DEPTH:
        for child_name, child_path in obj.GetChildren(dbus_interface=ACCESSIBLE):
            walk(bus, child_name, child_path, depth + 1)


def main():
    session = dbus.SessionBus()
    address = session.get_object("org.a11y.Bus", "/org/a11y/bus").GetAddress(dbus_interface="org.a11y.Bus")
    a11y = dbus.bus.BusConnection(address)
    root = a11y.get_object("org.a11y.atspi.Registry", "/org/a11y/atspi/accessible/root")
    for name, path in root.GetChildren(dbus_interface=ACCESSIBLE):
        walk(a11y, name, path)
    return 0


if __name__ == "__main__":
    sys.exit(main())
