#!/usr/bin/python3
# Stand-ins for a desktop's status area (--watcher) and notification service
# (--notifications) on the session bus, recording what the helper shows its user
# in desktop.json in the current folder: {"notifications": [summary, ...],
# "items": [[tooltip, [[menu label, enabled], ...]], ...]}, the items read back
# every 100 ms. A file flag-click clicks the first entry of each menu, a file
# flag-action the first button of the last notification that has one, a file
# flag-end the entry End of the last item that has one; a file ready appears
# once the names are owned.
#   desktop_services.py [--watcher] [--notifications]

import json
import os
import sys

import dbus
import dbus.service
from dbus.mainloop.glib import DBusGMainLoop
from gi.repository import GLib

WATCHER, NOTIFICATIONS = "org.kde.StatusNotifierWatcher", "org.freedesktop.Notifications"


class Watcher(dbus.service.Object):
    @dbus.service.method(WATCHER, in_signature="s")
    def RegisterStatusNotifierItem(self, service):
        SERVICES.append(str(service))  # Qt hands over its unique name

    # Qt reads the properties through an interface built from this text.
    @dbus.service.method(dbus.INTROSPECTABLE_IFACE, out_signature="s")
    def Introspect(self):
        return ('<node><interface name="%s"><method name="RegisterStatusNotifierItem">'
                '<arg type="s" direction="in"/></method><property type="b" access="read" '
                'name="IsStatusNotifierHostRegistered"/><property type="i" access="read" '
                'name="ProtocolVersion"/></interface></node>' % WATCHER)

    @dbus.service.method(dbus.PROPERTIES_IFACE, in_signature="ss", out_signature="v")
    def Get(self, interface, name):  # KDE's items register only with protocol 0
        return dbus.Int32(0) if name == "ProtocolVersion" else True


class Notifications(dbus.service.Object):
    @dbus.service.method(NOTIFICATIONS, in_signature="susssasa{sv}i", out_signature="u")
    def Notify(self, app, replaces, icon, summary, body, actions, hints, timeout):
        STATE["notifications"].append(str(summary))
        if actions:
            BUTTON[:] = [len(STATE["notifications"]), str(actions[0])]
        save()  # before the answer: the caller may end right after it
        return len(STATE["notifications"])

    @dbus.service.signal(NOTIFICATIONS, signature="us")
    def ActionInvoked(self, id, key):
        pass


def save():
    with open("desktop.tmp", "w") as f:
        json.dump(STATE, f)
    os.replace("desktop.tmp", "desktop.json")


def tick():
    menus = []
    for service in list(SERVICES):
        try:
            props = BUS.get_object(service, "/StatusNotifierItem", introspect=False).GetAll(
                "org.kde.StatusNotifierItem", dbus_interface=dbus.PROPERTIES_IFACE)
            menu = dbus.Interface(BUS.get_object(service, props["Menu"]), "com.canonical.dbusmenu")
            entries = menu.GetLayout(0, -1, dbus.Array([], signature="s"))[1][2]
            menus.append((str(props["ToolTip"][2]), menu, entries))
        except dbus.DBusException as e:  # not exported yet, or gone
            if e.get_dbus_name() == "org.freedesktop.DBus.Error.ServiceUnknown":
                SERVICES.remove(service)
    STATE["items"] = [[tooltip, [[str(p.get("label")), bool(p.get("enabled", True))]
                                 for _, p, _ in entries]] for tooltip, _, entries in menus]
    if os.path.exists("flag-action") and BUTTON:
        os.remove("flag-action")
        NOTIFIER.ActionInvoked(*BUTTON)
    ends = [(menu, i) for _, menu, entries in menus for i, p, _ in entries
            if str(p.get("label")).replace("&", "").replace("_", "") == "End"]
    if os.path.exists("flag-end") and ends:
        os.remove("flag-end")
        ends[-1][0].Event(ends[-1][1], "clicked", dbus.Int32(0, variant_level=1), 0)
    if os.path.exists("flag-click"):
        os.remove("flag-click")
        for _, menu, entries in menus:
            menu.Event(entries[0][0], "clicked", dbus.Int32(0, variant_level=1), 0)
    save()
    return True


SERVICES, STATE, BUTTON = [], {"notifications": [], "items": []}, []
DBusGMainLoop(set_as_default=True)
BUS = dbus.SessionBus()
NAMES = [dbus.service.BusName(name, BUS) for flag, name in (
    ("--watcher", WATCHER), ("--notifications", NOTIFICATIONS)) if flag in sys.argv]
Watcher(BUS, "/StatusNotifierWatcher")
NOTIFIER = Notifications(BUS, "/org/freedesktop/Notifications")
tick()
open("ready", "w").close()
GLib.timeout_add(100, tick)
GLib.MainLoop().run()
