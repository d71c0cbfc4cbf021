#!/usr/bin/python3
"""Prints what a screen reader reads of a running program's windows: the role and
name of every control, one control a line ("push button<TAB>Start Splitting").

    scripts/read-window.py APPLICATION [SECONDS]

Asks the accessibility bus of the session (AT-SPI) for the application of that name
and waits up to SECONDS (default 30) until it shows a push button. Exit status 1
when it never does. Needs python3-dbus and at-spi2-core; the program must have
accessibility on (QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1 for a Qt program).
"""
import sys
import time

import dbus

ACCESSIBLE = "org.a11y.atspi.Accessible"


def a11y_bus():
    session = dbus.SessionBus()
    address = session.get_object("org.a11y.Bus", "/org/a11y/bus").GetAddress(dbus_interface="org.a11y.Bus")
    return dbus.bus.BusConnection(str(address))


def node(bus, name, path):
    return bus.get_object(name, path, introspect=False)


def walk(bus, name, path, lines, depth=0):
    # A window holds a few dozen controls; the depth bound only guards against a cycle.
    if depth > 30:
        return
    accessible = node(bus, name, path)
    role = str(accessible.GetRoleName(dbus_interface=ACCESSIBLE))
    label = str(accessible.Get(ACCESSIBLE, "Name", dbus_interface=dbus.PROPERTIES_IFACE))
    lines.append(f"{role}\t{label}")
    for child_name, child_path in accessible.GetChildren(dbus_interface=ACCESSIBLE):
        walk(bus, str(child_name), str(child_path), lines, depth + 1)


def read(bus, application):
    registry = node(bus, "org.a11y.atspi.Registry", "/org/a11y/atspi/accessible/root")
    for name, path in registry.GetChildren(dbus_interface=ACCESSIBLE):
        app = node(bus, str(name), str(path))
        if str(app.Get(ACCESSIBLE, "Name", dbus_interface=dbus.PROPERTIES_IFACE)) == application:
            lines = []
            walk(bus, str(name), str(path), lines)
            return lines
    return []


def main():
    if len(sys.argv) not in (2, 3):
        sys.exit(__doc__)
    application = sys.argv[1]
    deadline = time.monotonic() + (float(sys.argv[2]) if len(sys.argv) == 3 else 30.0)
    bus = a11y_bus()
    while True:
        try:
            lines = read(bus, application)
        except dbus.exceptions.DBusException:
            lines = []  # the program is still starting or just went away
        if any(line.startswith("push button\t") for line in lines):
            print("\n".join(lines))
            return
        if time.monotonic() > deadline:
            sys.exit(f"read-window: no window of {application} showed a push button")
        time.sleep(0.5)


main()
