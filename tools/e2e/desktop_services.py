#!/usr/bin/python3
"""Stand-ins for a desktop's status area (--watcher) and notification service
(--notifications) on the session bus, recording what the helper shows its user.

  desktop_services.py --state FILE --flag-dir DIR [--watcher] [--notifications]

FILE: {"notifications": [{"summary", "body"}], "items": [{"service", "tooltip",
"menu": [{"id", "label", "enabled"}], "gone"}]}, items read back every 100 ms.
DIR/flag-click, holding a menu label, clicks that entry; DIR/ready: names owned.
"""

import argparse
import json
import os

import dbus
import dbus.service
from dbus.mainloop.glib import DBusGMainLoop
from gi.repository import GLib

WATCHER = "org.kde.StatusNotifierWatcher"
MENU = "com.canonical.dbusmenu"


class Watcher(dbus.service.Object):
    def __init__(self, bus, services):
        super().__init__(bus, "/StatusNotifierWatcher")
        self.services = services

    @dbus.service.method(WATCHER, in_signature="s")
    def RegisterStatusNotifierItem(self, service):
        self.services.append(str(service))  # Qt hands over its unique name

    # Qt reads the properties through an interface built from this text.
    @dbus.service.method(dbus.INTROSPECTABLE_IFACE, out_signature="s")
    def Introspect(self):
        return ('<node><interface name="%s"><method name="RegisterStatusNotifierItem">'
                '<arg type="s" direction="in"/></method><property type="b" access="read" '
                'name="IsStatusNotifierHostRegistered"/></interface></node>' % WATCHER)

    @dbus.service.method(dbus.PROPERTIES_IFACE, in_signature="ss", out_signature="v")
    def Get(self, interface, name):
        return True


class Notifications(dbus.service.Object):
    def __init__(self, bus, record, changed):
        super().__init__(bus, "/org/freedesktop/Notifications")
        self.record, self.changed = record, changed

    @dbus.service.method("org.freedesktop.Notifications", in_signature="susssasa{sv}i",
                         out_signature="u")
    def Notify(self, app, replaces, icon, summary, body, actions, hints, timeout):
        self.record.append({"summary": str(summary), "body": str(body)})
        self.changed()  # before the answer: the caller may end right after it
        return len(self.record)


def read_item(bus, service):
    props = bus.get_object(service, "/StatusNotifierItem").GetAll(
        "org.kde.StatusNotifierItem", dbus_interface=dbus.PROPERTIES_IFACE)
    menu = dbus.Interface(bus.get_object(service, props["Menu"]), MENU)
    _, (_, _, children) = menu.GetLayout(0, -1, dbus.Array([], signature="s"))
    return {"service": service, "tooltip": str(props["ToolTip"][2]), "gone": False,
            "menu": [{"id": int(i), "label": str(p.get("label", "")),
                      "enabled": bool(p.get("enabled", True))} for i, p, _ in children]}


def main():
    parser = argparse.ArgumentParser()
    for flag in ("--state", "--flag-dir"):
        parser.add_argument(flag, required=True)
    for flag in ("--watcher", "--notifications"):
        parser.add_argument(flag, action="store_true")
    args = parser.parse_args()

    DBusGMainLoop(set_as_default=True)
    bus = dbus.SessionBus()
    services, notifications, items, written = [], [], {}, [None]

    def save():
        state = json.dumps({"notifications": notifications, "items": list(items.values())})
        if state != written[0]:
            with open(args.state + ".tmp", "w") as f:
                f.write(state)
            os.replace(args.state + ".tmp", args.state)
            written[0] = state

    keep = []
    if args.watcher:
        keep += [dbus.service.BusName(WATCHER, bus), Watcher(bus, services)]
    if args.notifications:
        keep += [dbus.service.BusName("org.freedesktop.Notifications", bus),
                 Notifications(bus, notifications, save)]

    def owner_changed(name, old, new):
        if not new and name in items:
            items[name]["gone"] = True
            save()

    bus.add_signal_receiver(owner_changed, "NameOwnerChanged", dbus.BUS_DAEMON_IFACE)

    def tick():
        for service in services:
            if not items.get(service, {}).get("gone"):
                try:
                    items[service] = read_item(bus, service)
                except dbus.DBusException:
                    pass  # not exported yet, or just gone
        click = os.path.join(args.flag_dir, "flag-click")
        if os.path.exists(click):
            with open(click) as f:
                label = f.read()
            os.remove(click)
            for item, entry in [(i, e) for i in items.values() for e in i["menu"]]:
                if entry["label"] == label and not item["gone"]:
                    dbus.Interface(bus.get_object(item["service"], "/MenuBar"), MENU).Event(
                        entry["id"], "clicked", dbus.Int32(0, variant_level=1), 0)
        save()
        return True

    tick()
    open(os.path.join(args.flag_dir, "ready"), "w").close()
    GLib.timeout_add(100, tick)
    GLib.MainLoop().run()


if __name__ == "__main__":
    main()
