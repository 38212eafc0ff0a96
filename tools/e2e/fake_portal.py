"""A scripted XDG desktop portal on a private session bus: RemoteDesktop and
ScreenCast as the program calls them (no GlobalShortcuts: the program falls
back to its X grab), for what real desktops cannot be made to do on demand:
requests answered late, never or with an error, restore tokens refused,
sessions gone in the middle of a batch, and pointer motions answered late and
in the worst order. Needs python3-gi."""

import os
import threading
import time

from gi.repository import Gio, GLib

from wayland import DESKTOP, PORTAL, PORTAL_RD, Compositor, own

PORTAL_CAST = "org.freedesktop.portal.ScreenCast"
REQUEST, SESSION = "org.freedesktop.portal.Request", "org.freedesktop.portal.Session"
MOTIONS = ("NotifyPointerMotion", "NotifyPointerMotionAbsolute")
GONE = ("org.freedesktop.DBus.Error.AccessDenied", "Invalid session")  # xdg-desktop-portal's words
# Answered with a Request's handle, then its Response (interface, method, arguments).
REQUESTS = [(PORTAL_RD, "CreateSession", "a{sv}"), (PORTAL_RD, "SelectDevices", "oa{sv}"),
            (PORTAL_RD, "Start", "osa{sv}"), (PORTAL_CAST, "SelectSources", "oa{sv}")]
NOTIFY = [("NotifyPointerMotion", "oa{sv}dd"), ("NotifyPointerMotionAbsolute", "oa{sv}udd"),
          ("NotifyPointerButton", "oa{sv}iu"), ("NotifyKeyboardKeysym", "oa{sv}iu")]
# The monitors of harness.Xvfb, each a stream: node, position, size.
STREAMS = [(51, (0, 0), (1280, 1024)), (52, (1280, 0), (1920, 1080)), (53, (3200, 0), (1280, 1024))]
QUIET = 0.03  # motions are answered once none has come for this long


def interface_xml(name, methods):
    def method(member, signature, out):
        args = "".join('<arg type="%s" direction="in"/>' % t for t in GLib.Variant.split_signature(
            "(%s)" % signature)) + '<arg type="o" direction="out"/>' * out
        return '<method name="%s">%s</method>' % (member, args)
    return '<interface name="%s">%s<property name="version" type="u" access="read"/></interface>' % (
        name, "".join(method(*m) for m in methods))


class FakePortal(Compositor):
    """`version` of both interfaces; `answers`: per request method, the responses of
    its calls in turn (None: no Response ever; 0 once the list runs out);
    `token_refused`: SelectDevices answers 2 when given a restore token;
    `new_token`: the restore token Start gives ("": none); `gone_at`: from the
    Notify call of this number on (counted from 1), every one answers that the
    session is gone. Motions are answered once none has come for QUIET, the
    latest first (calls in flight together may reach a compositor in any
    order); hold() keeps them unanswered until release().
    `calls`: (method, arguments after session and options, motions unanswered
    as it came, where the answered ones put the pointer); "answered gone" and
    "released" mark when those went out."""

    def __init__(self, version=2, answers=None, token_refused=False, new_token="", gone_at=None):
        super().__init__()
        self.version, self.answers = version, {k: list(v) for k, v in (answers or {}).items()}
        self.token_refused, self.new_token, self.gone_at = token_refused, new_token, gone_at
        self.calls, self.pending, self.position, self.max_in_flight = [], [], (0, 0), 0
        self.notified, self.last_motion, self.holding, self.cast = 0, 0.0, False, set()

    def start(self):
        os.mkdir(self.runtime, 0o700)
        threading.Thread(target=self.loop.run, daemon=True).start()
        self.bus, address = self._bus("session_bus")
        self.env = dict(DBUS_SESSION_BUS_ADDRESS=address, XDG_RUNTIME_DIR=self.runtime,
                        XDG_SESSION_TYPE="wayland")
        node = Gio.DBusNodeInfo.new_for_xml("<node>%s%s</node>" % (
            interface_xml(PORTAL_RD, [(m, s, True) for i, m, s in REQUESTS if i == PORTAL_RD] +
                          [(m, s, False) for m, s in NOTIFY]),
            interface_xml(PORTAL_CAST, [(m, s, True) for i, m, s in REQUESTS if i == PORTAL_CAST])))
        for interface in node.interfaces:
            self.bus.register_object(PORTAL, interface, self._call,
                                     lambda *a: GLib.Variant("u", self.version), None)
        self.session_info = Gio.DBusNodeInfo.new_for_xml(
            '<node><interface name="%s"><method name="Close"/></interface></node>' % SESSION
        ).interfaces[0]
        own(self.bus, DESKTOP)
        GLib.timeout_add(5, self._answer_motions)

    def _call(self, bus, sender, path, interface, method, parameters, invocation):
        args = parameters.unpack()
        if method.startswith("Notify"):
            self._notify(method, args, invocation)
            return
        self.record(method, args)
        options = args[-1]
        prefix = "/org/freedesktop/portal/desktop/%s/" + sender[1:].replace(".", "_") + "/"
        request = prefix % "request" + options["handle_token"]
        invocation.return_value(GLib.Variant("(o)", (request,)))
        script = self.answers.get(method)
        response = script.pop(0) if script else 0
        results = {}
        if method == "CreateSession":
            session = prefix % "session" + options["session_handle_token"]
            self.bus.register_object(session, self.session_info, lambda *a: (
                self.record("Close", (a[2],)), a[6].return_value(None)), None, None)
            results = {"session_handle": GLib.Variant("s", session)}
        elif method == "SelectDevices" and self.token_refused and "restore_token" in options:
            response = 2
        elif method == "SelectSources":
            self.cast.add(args[0])
        elif method == "Start":
            results = {"devices": GLib.Variant("u", 3)}
            if args[0] in self.cast:
                results["streams"] = GLib.Variant("a(ua{sv})", [(node, {
                    "position": GLib.Variant("(ii)", at), "size": GLib.Variant("(ii)", size)})
                    for node, at, size in STREAMS])
            if self.new_token:
                results["restore_token"] = GLib.Variant("s", self.new_token)
        if response is not None:
            bus.emit_signal(None, request, REQUEST, "Response",
                            GLib.Variant("(ua{sv})", (response, results)))

    def _notify(self, method, args, invocation):
        self.notified += 1
        gone = self.gone_at is not None and self.notified >= self.gone_at
        self.record(method, args[2:])
        if method not in MOTIONS:
            self._answer(invocation, gone)
            return
        self.pending.append((invocation, method, args[2:], gone))
        self.max_in_flight = max(self.max_in_flight, len(self.pending))
        self.last_motion = time.monotonic()

    def _answer(self, invocation, gone):
        if gone:
            if not any(c[0] == "answered gone" for c in self.calls):
                self.record("answered gone")
            invocation.return_dbus_error(*GONE)
        else:
            invocation.return_value(None)

    def _answer_motions(self):
        if self.pending and not self.holding and time.monotonic() - self.last_motion >= QUIET:
            for invocation, method, values, gone in reversed(self.pending):
                if method == "NotifyPointerMotion":
                    self.position = (self.position[0] + values[0], self.position[1] + values[1])
                else:
                    node, at, _ = next(s for s in STREAMS if s[0] == values[0])
                    self.position = (at[0] + values[1], at[1] + values[2])
                self._answer(invocation, gone)
            self.pending.clear()
        return True

    def hold(self):
        GLib.idle_add(lambda: setattr(self, "holding", True))

    def release(self):
        def answer():
            self.record("released")
            self.holding = False
            self.last_motion = 0.0
        GLib.idle_add(answer)

    def record(self, what, values=()):
        self.calls.append((what, values, len(self.pending), self.position))

    def motions(self):
        return [c for c in self.calls if c[0] in MOTIONS]

    def made(self, method):
        return [c[1] for c in self.calls if c[0] == method]
