#!/usr/bin/env python3
"""The real helper on headless Wayland desktops (mutter 43, KWin 5.27, GNOME Shell
48, KWin 6.3; two monitors, a French layout), its input seen by a native Wayland client.
Args: BINARY PROBE [unittest]"""

import json
import os
import signal
import sys
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "../../tools/e2e"))
from harness import GUARD_SECONDS, Display, HelperCase, Probe, Session, Timeout, wait_for  # noqa: E402
import wayland  # noqa: E402

PERMISSION = "Morrowvane Helper needs Accessibility permission. Open System Settings > " \
    "Privacy & Security > Accessibility, enable Morrowvane Helper, then try again."
NOTICE = '{"message":"nh_to_agent","payload":{"cmd":"hot key pressed"}}'
CONTROL = 0x4000000  # Qt::ControlModifier


batch = lambda *p: json.dumps({"messages": [{"payload": c} for c in p]})  # noqa: E731
mouse = lambda e, x, y: {"cmd": "mouseevent", "mode": "", "event": e, "x": x, "y": y}  # noqa: E731
# Pointer commands in global display space (the second monitor starts at x
# 1280) and what the client sees of them.
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
# Text and what arrives on the French layout: all it has, at any level; what
# it lacks (É, Ç, Cyrillic) never arrives, and nothing in its place.
TEXT = [("ab x", "ab x"), ("AB1!", "AB1!"), ("été à où", "été à où"), ("ß€", "ß€"),
        ("ÉÇя", ""), ("z\n", "z\r")]
# Named keys and the (Qt key, modifiers) of their key that is not Shift,
# Control or AltGr (0x1000020, 0x1000021, 0x1001103).
CHORDS = [("SelectAll", (0x41, CONTROL)), ("SelectLongLeft", (0x1000012, 0x6000000)),
          ("Paste", (0x56, CONTROL)), ("Down", (0x1000015, 0))]

COMMANDS = [c for c, _ in POINTER] + [{"cmd": "keyboardchar", "key": t} for t, _ in TEXT] + [
    {"cmd": "keyboardevent", "event": name} for name, _ in CHORDS]
QUIT = (0xffe3, 0xffe9, 0xffe1, 0x65)  # Control, Alt, Shift and e


def initchecks(session, count):
    """The replies to the first `count` initchecks, once there are as many."""
    replies = lambda: [r["payload"] for r in map(json.loads, HelperCase.posts(session))  # noqa
                       if r.get("payload", {}).get("cmd") == "initcheck"]
    return wait_for("%d initchecks" % count, lambda: len(replies()) >= count and replies(), 30)


class HelperOnWayland(unittest.TestCase):
    def run_helper(self, polls, desktop=wayland.Compositor, **options):
        self.wayland = desktop()
        self.addCleanup(self.wayland.stop)
        self.wayland.start(**options)
        saved = dict(os.environ)
        self.addCleanup(lambda: (os.environ.clear(), os.environ.update(saved)))
        os.environ.update(self.wayland.env, QT_QPA_PLATFORM="wayland")
        self.probe = Probe(PROBE, self.wayland.display)
        self.addCleanup(self.probe.stop)
        self.launch(polls)

    def launch(self, polls, state=None):
        # The program, with the state files of an earlier run if given; the
        # person at the desktop says Yes in its dialog.
        self.session = Session(BINARY, self.wayland.display, {"poll": polls}, env=self.wayland.env,
                               state=state)
        self.addCleanup(self.session.close)
        self.session.start([{"args": [HelperCase.URL]}])
        self.wayland.start_user()
        self.answer_dialog(0xff0d)

    def answer_dialog(self, keysym, again=False):
        # Return (0xff0d) says Yes, Escape (0xff1b) No: one key, once the
        # dialog has the focus and takes keys; `again`: the dialog asking to
        # allow remote control again.
        if self.wayland.display:
            Display(self.wayland.display).answer_alert({0xff0d: "Return", 0xff1b: "Escape"}[keysym])
            return
        if again:
            wait_for("the dialog", lambda: "asking the user to allow" in self.logged(), 30)
        wait_for("the dialog's focus", lambda: self.wayland.dialog_focused(self.probe), 30)
        time.sleep(GUARD_SECONDS)
        answers = len(self.answers())
        self.wayland.key(keysym)
        wait_for("the dialog's answer", lambda: len(self.answers()) > answers, 20)

    def answers(self):
        return [l for l in self.session.log_lines() if l.startswith((
            "MorrowvaneHelper: user granted", "MorrowvaneHelper: user declined",
            "MorrowvaneHelper: user allowed", "MorrowvaneHelper: user refused"))]

    def sees(self, x, y):  # the pointer at a point, unless a dialog covers it
        self.probe.clear()
        try:
            return wait_for("motion", lambda: "motion %d %d 0" % (x, y) in self.probe.snapshot(), 1)
        except Timeout:
            return False

    def declined_accepted_used_and_closed_by_the_desktop(self, x11):
        self.run_helper([
            {"wait_flag": "declined", "body": batch({"cmd": "initcheck"})},
            {"wait_flag": "accepted", "body": batch({"cmd": "initcheck"}, *COMMANDS)},
            {"wait_flag": "closed", "body": batch(mouse("move", 700, 100), {"cmd": "initcheck"})},
            {"wait_posts": 3 + x11, "body": "close"}], x11=x11)
        # The dialog asked at consent is declined: that "initcheck" asks the
        # user first, then the desktop again, and this time the user shares.
        self.wayland.answer_portal(False, self.sees)
        self.session.raise_flag("declined")
        self.answer_dialog(0xff0d, again=True)
        self.assertEqual(initchecks(self.session, 1)[0]["error"], PERMISSION)
        self.wayland.answer_portal(True, self.sees)
        wait_for("the session", lambda: "started on 2 monitor(s)" in self.logged())
        # Keys go where the focus is: back at the client once the dialog has gone.
        wait_for("the focus", lambda: {l for l in self.probe.snapshot() if l[:6] == "focus "} - {
            "focus -"})
        self.probe.clear()
        self.session.raise_flag("accepted")
        # Without an X display no hot key: said so, and input is accepted.
        self.assertEqual(initchecks(self.session, 2)[1], dict(cmd="initcheck", version="1.6", **(
            dict(result="ok", hotkey="E") if x11 else
            dict(result="error", error="Unable to register hot key"))))
        self.assert_input()
        # The desktop ends the session (as its stop indicator does): input
        # stops, and the server hears of it as of the quit hot key.
        ended = lambda: self.logged().count("closed the remote")  # noqa: E731
        before = ended()
        self.wayland.pipewire.terminate()  # the media server goes: so do the sessions
        wait_for("the session's end", lambda: ended() > before)
        self.probe.clear()
        self.session.raise_flag("closed")
        self.assertIn(NOTICE, HelperCase.posts(self.session))  # with a hot key or none
        # The next initcheck asks the user first. Only Xwayland still takes the
        # test's keys: without it the program is ended under the dialog.
        if x11:
            self.answer_dialog(0xff1b, again=True)  # the user does not allow it again
            self.assertEqual(initchecks(self.session, 3)[2]["error"], PERMISSION)
        else:
            wait_for("the dialog", lambda: "asking the user to allow" in self.logged(), 30)
            os.kill(self.session.launch_pid(0), signal.SIGTERM)
        self.assertEqual(self.session.wait_end(60), 0)
        # The move had no effect (the new dialog may have taken the focus).
        self.assertEqual([l for l in self.probe.snapshot()[1:] if not l.startswith("focus ")], [])

    def quit_key_and_the_desktops_stop(self, desktop, remembers=False, logged=""):
        # Consent, input on both monitors, the quit hot key pressed once while
        # the native client has the focus, and the desktop ending the session;
        # with `remembers`, a second run that the desktop asks nothing;
        # `logged` at the session's start.
        self.run_helper([
            {"body": batch({"cmd": "initcheck"})},
            {"wait_flag": "started", "body": batch({"cmd": "initcheck"}, *COMMANDS)},
            {"wait_flag": "pressed", "body": batch({"cmd": "initcheck"}, mouse("move", 700, 100))},
            {"wait_flag": "ended", "body": "close"}], desktop=desktop, x11=False)
        self.wayland.answer_portal(True, self.sees)
        wait_for("the session", lambda: "remote desktop session started" in self.logged(), 60)
        self.assertIn(logged, self.logged())
        self.probe.clear()
        self.session.raise_flag("started")
        self.wayland.answer_shortcuts()
        self.assertEqual(initchecks(self.session, 2)[1], dict(cmd="initcheck", version="1.6", result="ok",
                                                     hotkey="E"))
        self.assert_input()
        self.probe.clear()
        self.wayland.chord(*QUIT)
        wait_for("the notice", lambda: NOTICE in HelperCase.posts(self.session))
        # The desktop took the E: it never reached the client.
        self.assertNotIn("69", [l.split()[1] for l in self.probe.snapshot() if l[:4] == "key "])
        # The next initcheck asks the user, and input goes on once allowed.
        self.session.raise_flag("pressed")
        self.answer_dialog(0xff0d, again=True)
        wait_for("the move", lambda: "motion 700 100 0" in self.pointer())
        self.wayland.end_sessions()
        wait_for("the second notice", lambda: HelperCase.posts(self.session).count(NOTICE) == 2)
        self.assertIn("closed the remote", self.logged())
        self.session.raise_flag("ended")
        self.assertEqual(self.session.wait_end(60), 0)
        if remembers:
            self.second_run_without_dialogs(self.session.path("state"))

    def second_run_without_dialogs(self, state):
        # On KDE 6 now with its edge barriers: the pointer is not moved.
        refused = self.wayland.edge_barriers()
        started = self.logged().count("remote desktop session started")  # by the first run
        self.launch([{"body": batch({"cmd": "initcheck"})},
                     {"wait_flag": "started", "body": batch({"cmd": "initcheck"}, mouse(
                         "move", 1800, 600), {"cmd": "keyboardchar", "key": "z"})},
                     {"wait_flag": "ended", "body": "close"}], state)
        # Nobody answers the desktop's dialogs now: none may come.
        wait_for("the session", lambda: self.logged().count("remote desktop session started") >
                 started, 30)
        token = os.stat(self.session.path("state", "MorrowvaneHelper", "portal-restore-token"))
        self.assertEqual(token.st_mode & 0o777, 0o600)
        self.probe.clear()
        self.session.raise_flag("started")
        self.assertEqual(initchecks(self.session, 2)[1], dict(cmd="initcheck", version="1.6", result="ok",
                                                     hotkey="E"))
        wait_for("the key after the move", lambda: self.probe.typed_text() == "z")
        self.assertEqual(self.pointer(), [] if refused else ["motion 1800 600 0"])
        self.assertEqual("barriers between monitors" in self.logged(), refused)
        self.session.raise_flag("ended")
        self.assertEqual(self.session.wait_end(60), 0)

    def assert_input(self):
        # What the commands of COMMANDS did at the client, one monitor after the other.
        keys = lambda: [l.split() for l in self.probe.snapshot() if l.startswith("key ")]  # noqa
        wait_for("the last chord", lambda: keys() and keys()[-1][1] == str(CHORDS[-1][1][0]))
        self.assertEqual(self.pointer(), [l for _, e in POINTER for l in e])
        typed = [k for k in keys() if k[3] != "-" and not int(k[2], 16) & CONTROL]
        self.assertEqual(b"".join(bytes.fromhex(k[3]) for k in typed).decode(),
                         "".join(e for _, e in TEXT))
        self.assertEqual([(int(k[1]), int(k[2], 16)) for k in keys() if int(k[1]) not in (
            0x1000020, 0x1000021, 0x1001103) and (k[3] == "-" or int(k[2], 16) & CONTROL)],
                         [chord for _, chord in CHORDS])

    def pointer(self):
        # What the client saw of the pointer: where the desktop sends no motion
        # as the pointer enters a window, entering at a new point is one; the
        # corner the pointer is placed from by relative motion and the pointer
        # at rest before the commands are no points of the commands.
        seen, at = [], None
        for line in self.probe.snapshot()[1:]:
            kind, *values = line.split()
            point = values[-2:] if kind in ("press", "release", "double") else values[:2]
            if kind == "enter" and point != at and self.wayland.enter_moves:
                line = "motion" + line[5:]
            if line.split()[0] in ("motion", "press", "release", "double"):
                at = point
                repeated = line.startswith("motion") and seen[-1:] == [line]
                resting = not seen and line == self.wayland.rest
                if not (repeated or resting or line.startswith(self.wayland.corner)):
                    seen.append(line)
        return seen

    def logged(self):
        return "\n".join(self.session.log_lines())

    def test_on_xwayland(self):
        self.declined_accepted_used_and_closed_by_the_desktop(x11=True)

    def test_without_xwayland_the_dialogs_show_on_wayland(self):
        self.declined_accepted_used_and_closed_by_the_desktop(x11=False)

    def test_on_kwin_5_27(self):
        self.quit_key_and_the_desktops_stop(wayland.KWin)

    def test_on_gnome_shell_48(self):
        self.quit_key_and_the_desktops_stop(wayland.GnomeShell, remembers=True)

    def test_on_kwin_6(self):
        # Without OpenGL KWin casts no screen: the pointer moves relatively.
        self.quit_key_and_the_desktops_stop(wayland.KWin6, remembers=True, logged=(
            "no screen cast: the pointer is placed by relative motion"))

    def test_without_a_remote_desktop_portal_initcheck_is_the_permission_error(self):
        self.run_helper([{"body": batch({"cmd": "initcheck"})}, {"wait_flag": "told", "body": "close"}],
                        remote_desktop=False)
        self.assertEqual(initchecks(self.session, 1)[0]["error"], PERMISSION)
        wait_for("the log line", lambda: "offers no RemoteDesktop portal" in self.logged())
        self.session.raise_flag("told")
        self.assertEqual(self.session.wait_end(60), 0)


if __name__ == "__main__":
    BINARY, PROBE = sys.argv.pop(1), sys.argv.pop(1)
    unittest.main(verbosity=2)
