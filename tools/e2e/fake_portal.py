"""A scripted XDG desktop portal (RemoteDesktop version 2 and ScreenCast, no
GlobalShortcuts) on a private session bus, for what real desktops cannot be
made to do on demand. Needs python3-gi."""

import os
import threading
import time

from gi.repository import Gio, GLib

from wayland import DESKTOP, PORTAL, PORTAL_RD, Compositor, own

REQUEST, SESSION = "org.freedesktop.portal.Request", "org.freedesktop.portal.Session"
MOTIONS = ("NotifyPointerMotion", "NotifyPointerMotionAbsolute")
GONE = ("org.freedesktop.DBus.Error.AccessDenied", "Invalid session")  # xdg-desktop-portal's words
# The signatures of the methods' arguments; those of requests answer a handle.
METHODS = {PORTAL_RD: dict(CreateSession="a{sv}", SelectDevices="oa{sv}", Start="osa{sv}",
                           NotifyPointerMotion="oa{sv}dd", NotifyPointerMotionAbsolute="oa{sv}udd",
                           NotifyPointerButton="oa{sv}iu", NotifyKeyboardKeysym="oa{sv}iu"),
           "org.freedesktop.portal.ScreenCast": dict(SelectSources="oa{sv}"), SESSION: dict(Close="")}
# The monitors of harness.Xvfb, each a stream: node, position, size.
STREAMS = [(51, (0, 0), (1280, 1024)), (52, (1280, 0), (1920, 1080)), (53, (3200, 0), (1280, 1024))]
QUIET = 0.03  # motions are answered once none has come for this long


def interface_xml(name, methods):
    return '<interface name="%s">%s<property name="version" type="u" access="read"/></interface>' % (
        name, "".join('<method name="%s">%s%s</method>' % (
            method, "".join('<arg type="%s"/>' % t for t in GLib.Variant.split_signature(
                "(%s)" % signature)),
            "" if method.startswith(("Notify", "Close")) else '<arg type="o" direction="out"/>')
            for method, signature in methods.items()))


class FakePortal(Compositor):
    """`answers`: per request method, the responses of its calls in turn (None:
    none ever; 0 once the list runs out); `token_refused`: SelectDevices
    answers 2 when given a restore token; `new_token`: the one Start gives;
    `gone_at`: from the Notify call of this number on, each answers that the
    session is gone. Motions are answered once they pause, the latest first (a
    portal's worker threads may reorder calls in flight); hold() keeps them
    unanswered until release(). `calls`: (method, arguments after session and
    options, motions unanswered then, where the answered ones put the
    pointer), "answered gone" and "released" marking when those went out."""

    def __init__(self, answers=None, token_refused=False, new_token="", gone_at=None):
        super().__init__()
        self.answers = {method: list(responses) for method, responses in (answers or {}).items()}
        self.token_refused, self.new_token, self.gone_at = token_refused, new_token, gone_at
        self.calls, self.pending, self.position, self.max_in_flight = [], [], (0, 0), 0
        self.notified, self.last_motion, self.holding, self.cast = 0, 0.0, False, set()

    def start(self):
        os.mkdir(self.runtime, 0o700)
        threading.Thread(target=self.loop.run, daemon=True).start()
        self.bus, address = self._bus("session_bus")
        self.env = dict(DBUS_SESSION_BUS_ADDRESS=address, XDG_RUNTIME_DIR=self.runtime,
                        XDG_SESSION_TYPE="wayland")
        self.interfaces = Gio.DBusNodeInfo.new_for_xml("<node>%s</node>" % "".join(
            interface_xml(*i) for i in METHODS.items())).interfaces
        for interface in self.interfaces[:-1]:
            self.bus.register_object(PORTAL, interface, self._call, lambda *a: GLib.Variant("u", 2))
        own(self.bus, DESKTOP)
        GLib.timeout_add(5, self._answer_motions)

    def _call(self, bus, sender, path, interface, method, parameters, invocation):
        args = parameters.unpack()
        self.record(method, args[2:] if method.startswith("Notify") else args)
        if method.startswith(("Notify", "Close")):
            self._notify(method, args, invocation)
            return
        options = args[-1]
        prefix = "/org/freedesktop/portal/desktop/%s/" + sender[1:].replace(".", "_") + "/"
        request = prefix % "request" + options["handle_token"]
        invocation.return_value(GLib.Variant("(o)", (request,)))
        script = self.answers.get(method)
        response, results = script.pop(0) if script else 0, {}
        if method == "CreateSession":
            session = prefix % "session" + options["session_handle_token"]
            bus.register_object(session, self.interfaces[-1], self._call)
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
        self.notified += method != "Close"
        gone = method != "Close" and self.gone_at is not None and self.notified >= self.gone_at
        if method not in MOTIONS:
            self._answer(invocation, gone)
            return
        self.pending.append((invocation, method, args[2:], gone))
        self.max_in_flight = max(self.max_in_flight, len(self.pending))
        self.last_motion = time.monotonic()

    def _answer(self, invocation, gone):
        if not gone:
            invocation.return_value(None)
            return
        if "answered gone" not in (c[0] for c in self.calls):
            self.record("answered gone")
        invocation.return_dbus_error(*GONE)

    def _answer_motions(self):
        if self.pending and not self.holding and time.monotonic() - self.last_motion >= QUIET:
            for invocation, method, values, gone in reversed(self.pending):
                if method == "NotifyPointerMotionAbsolute":
                    _, at, _ = next(s for s in STREAMS if s[0] == values[0])
                    self.position = (at[0] + values[1], at[1] + values[2])
                self._answer(invocation, gone)
            self.pending.clear()
        return True

    def hold(self):
        GLib.idle_add(setattr, self, "holding", True)

    def release(self):
        GLib.idle_add(lambda: self.record("released") or setattr(self, "holding", False))

    def record(self, what, values=()):
        self.calls.append((what, values, len(self.pending), self.position))

    def motions(self):
        return [c for c in self.calls if c[0] in MOTIONS]

    def made(self, method):
        return [c[1] for c in self.calls if c[0] == method]
