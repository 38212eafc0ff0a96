#!/usr/bin/env python3
"""The real helper on a headless GNOME compositor (mutter with two 1280x800
monitors side by side, a French layout, the XDG desktop portals): started
from a launch URL against the scripted server, its input observed by a
native Wayland client, the portal's dialog answered through mutter's own
virtual pointer.

Usage: wayland_test.py BINARY PROBE [unittest arguments]
"""

import json
import os
import sys
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)),
                                "..", "..", "tools", "e2e"))
import harness  # noqa: E402
import wayland  # noqa: E402

BINARY = PROBE = None
URL = "morrowvanenativehost://test.morrowvane.com/abc123"
PERMISSION_ERROR = (
    "Morrowvane Helper needs Accessibility permission. Open System Settings > Privacy & "
    "Security > Accessibility, enable Morrowvane Helper, then try again.")
CONTROL = 0x4000000  # Qt::ControlModifier


def batch(*payloads):
    return json.dumps({"messages": [{"payload": p} for p in payloads]})


def mouse(event, x, y):
    return {"cmd": "mouseevent", "mode": "", "event": event, "x": x, "y": y}


def initcheck(session, index):
    """The payload of the index-th "initcheck" reply."""
    replies = [json.loads(b).get("payload", {}) for b in harness.HelperCase.posts(session)]
    return [r for r in replies if r.get("cmd") == "initcheck"][index]


# Pointer commands and what the native client sees of them: points are in
# global display space, the second monitor starts at x 1280.
POINTER = [
    (mouse("move", 100, 200), ["motion 100 200 0"]),
    (mouse("move", 1500, 300), ["motion 1500 300 0"]),
    (mouse("lc", 200, 250), ["motion 200 250 0", "press 1 200 250", "release 1 200 250"]),
    (mouse("dbllc", 2000, 350), ["motion 2000 350 0", "press 1 2000 350", "release 1 2000 350",
                                 "double 1 2000 350", "release 1 2000 350"]),
    (mouse("rc", 300, 100), ["motion 300 100 0", "press 2 300 100", "release 2 300 100"]),
    (mouse("dragstart", 400, 400), ["motion 400 400 0", "press 1 400 400"]),
    (mouse("move", 500, 450), ["motion 500 450 1"]),
    (mouse("dragstop", 1600, 500), ["motion 1600 500 1", "release 1 1600 500"]),
    (mouse("move", 2560, 10), []),  # on no monitor
]
# Text and what arrives on the French layout: everything it has, at any
# level; what it lacks (É, Ç, Cyrillic) never arrives, and nothing else
# arrives in its place.
TEXT = [("ab x", "ab x"), ("AB1!", "AB1!"), ("été à où", "été à où"), ("ß€", "ß€"),
        ("ÉÇя", ""), ("z\n", "z\r")]
# Named keys as (Qt key, modifiers) of the key that is not a modifier.
CHORDS = [("SelectAll", (0x41, CONTROL)), ("SelectLongLeft", (0x1000012, 0x6000000)),
          ("Paste", (0x56, CONTROL)), ("Down", (0x1000015, 0))]
MODIFIER_KEYS = {0x1000020, 0x1000021, 0x1001103}  # Shift, Control, AltGr


class HelperOnWayland(unittest.TestCase):
    def compositor(self, **options):
        self.wayland = wayland.Compositor(**options)
        self.addCleanup(self.wayland.stop)
        saved = dict(os.environ)
        self.addCleanup(lambda: (os.environ.clear(), os.environ.update(saved)))
        os.environ.update(self.wayland.env, QT_QPA_PLATFORM="wayland")

    def start(self, script, consent=True):
        session = harness.Session(BINARY, self.wayland.display, script, env=self.wayland.env,
                                  keep=bool(os.environ.get("MV_E2E_KEEP")))
        self.addCleanup(session.close)
        session.start([{"args": [URL]}])
        if consent:
            harness.Display(self.wayland.display).answer_alert("Return")  # on Xwayland
        return session

    def start_probe(self):
        """The native client, and a test of whether it sees the pointer at a
        point (it does not while a dialog covers it)."""
        probe = harness.Probe(PROBE, self.wayland.display)
        self.addCleanup(probe.stop)

        def sees(x, y):
            probe.clear()
            try:
                harness.wait_for("motion", lambda: "motion %d %d 0" % (x, y) in probe.snapshot(),
                                 1)
                return True
            except harness.Timeout:
                return False
        return probe, sees

    def share(self, user, session, probe, sees):
        user.answer_portal(True, sees)
        harness.wait_for("the portal's answer",
                         lambda: "session started on 2 monitor(s)" in session.output_text())
        # Keys go where the focus is: back at the client once the dialog has gone.
        self.wait_focus(probe)
        probe.clear()

    @staticmethod
    def wait_focus(probe):
        harness.wait_for("the focus at the client", lambda: any(
            line.startswith("focus ") and line != "focus -" for line in probe.snapshot()))

    def wait_posts(self, session, count):
        harness.wait_for("%d replies" % count,
                         lambda: len(harness.HelperCase.posts(session)) >= count, 30)

    def test_portal_session_declined_accepted_used_and_closed_by_the_desktop(self):
        self.compositor()
        probe, probe_sees = self.start_probe()

        commands = [c for c, _ in POINTER] + [{"cmd": "keyboardchar", "key": t} for t, _ in TEXT]
        commands += [{"cmd": "keyboardevent", "event": name} for name, _ in CHORDS]
        session = self.start({"poll": [
            {"wait_flag": "declined", "body": batch({"cmd": "initcheck"})},
            {"wait_flag": "accepted", "body": batch({"cmd": "initcheck"}, *commands)},
            {"wait_flag": "closed", "body": batch(mouse("move", 700, 100), {"cmd": "initcheck"})},
            {"wait_posts": 4, "body": "close"},
        ]})
        user = self.wayland.user()
        # The dialog asked at consent is declined: no input, the permission error.
        user.answer_portal(False, probe_sees)
        session.raise_flag("declined")
        self.wait_posts(session, 1)
        self.assertEqual(initcheck(session, 0)["error"], PERMISSION_ERROR)
        # That "initcheck" asked again; this time the user shares.
        self.share(user, session, probe, probe_sees)
        session.raise_flag("accepted")
        self.wait_posts(session, 2)
        self.assertEqual(initcheck(session, 1),
                         {"cmd": "initcheck", "version": "1.6", "result": "ok", "hotkey": "E"})
        keys = lambda: [line.split() for line in probe.snapshot() if line.startswith("key ")]
        harness.wait_for("the last chord",
                         lambda: keys() and keys()[-1][1] == str(CHORDS[-1][1][0]))
        lines = probe.snapshot()[1:]
        self.assertEqual([l for l in lines if l.split()[0] in ("motion", "press", "release",
                                                            "double")],
                         [line for _, expected in POINTER for line in expected])
        typed = b"".join(bytes.fromhex(k[3]) for k in keys()
                         if k[3] != "-" and not int(k[2], 16) & CONTROL)
        self.assertEqual(typed.decode(), "".join(e for _, e in TEXT))
        self.assertEqual([(int(k[1]), int(k[2], 16)) for k in keys()
                          if int(k[1]) not in MODIFIER_KEYS and (k[3] == "-" or int(k[2], 16)
                                                                 & CONTROL)],
                         [chord for _, chord in CHORDS])
        # The desktop ends the session (its media server went away): the
        # server hears of it as of the quit hot key, and the gate is shut.
        self.wayland.stop_pipewire()
        harness.wait_for("the notice", lambda: json.dumps(
            {"message": "nh_to_agent", "payload": {"cmd": "hot key pressed"}},
            separators=(",", ":")) in harness.HelperCase.posts(session))
        probe.clear()
        session.raise_flag("closed")
        self.assertEqual(session.wait_end(60), 0)
        self.assertEqual(initcheck(session, 2)["error"], PERMISSION_ERROR)
        # That "initcheck" asked again, so the focus may have gone to a new
        # dialog; the move had no effect.
        self.assertEqual([l for l in probe.snapshot()[1:] if not l.startswith("focus ")], [])

    def test_without_a_remote_desktop_portal_initcheck_is_the_permission_error(self):
        self.compositor(remote_desktop=False)
        session = self.start({"poll": [{"body": batch({"cmd": "initcheck"})},
                                       {"wait_posts": 1, "body": "close"}]})
        self.assertEqual(session.wait_end(60), 0)
        self.assertEqual(initcheck(session, 0)["error"], PERMISSION_ERROR)
        self.assertIn("offers no RemoteDesktop portal", session.output_text())


    def test_without_xwayland_the_dialogs_show_on_wayland_and_input_arrives(self):
        self.compositor(x11=False)
        probe, probe_sees = self.start_probe()
        session = self.start({"poll": [
            {"wait_flag": "accepted", "body": batch({"cmd": "initcheck"}, mouse("move", 700, 100))},
            {"wait_posts": 1, "body": "close"},
        ]}, consent=False)
        user = self.wayland.user()
        # The consent dialog takes the focus from the client; Return says Yes.
        harness.wait_for("the consent dialog", lambda: "focus -" in probe.snapshot(), 30)
        probe.clear()

        def answered():
            user.key(0xff0d)  # a new virtual keyboard may lose its first key
            return any(l.startswith("focus ") for l in probe.snapshot())
        harness.wait_for("the dialog to close", answered, 20, interval=1)
        self.share(user, session, probe, probe_sees)
        session.raise_flag("accepted")
        self.assertEqual(session.wait_end(60), 0)
        # No X display, so no hot key: said so, and input is accepted.
        self.assertEqual(initcheck(session, 0)["error"], "Unable to register hot key")
        harness.wait_for("the move", lambda: "motion 700 100 0" in probe.snapshot())


if __name__ == "__main__":
    BINARY, PROBE = sys.argv.pop(1), sys.argv.pop(1)
    unittest.main(verbosity=2)
