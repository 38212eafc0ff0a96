#!/usr/bin/env python3
"""The real helper's portal client against a scripted portal on a private session
bus (tools/e2e/fake_portal.py), its dialogs on Xvfb: what the desktops cannot be
made to do on demand. Args: BINARY [unittest]"""

import os
import signal
import sys
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "../../tools/e2e"))
from harness import HelperCase, read, wait_for  # noqa: E402
import fake_portal  # noqa: E402
from wayland_test import NOTICE, PERMISSION, batch, initchecks, mouse  # noqa: E402

OK = dict(cmd="initcheck", version="1.6", result="ok", hotkey="E")  # the X grab on Xvfb
TOKEN = ("MorrowvaneHelper", "portal-restore-token")
typed = lambda text: [{"cmd": "keyboardchar", "key": c} for c in text]  # noqa: E731


class PortalClient(HelperCase):
    def run_helper(self, polls, token=None, **portal):
        # The program on a new fake portal (a table's row ends the last), with
        # the restore token of an earlier run if given; consent given.
        if hasattr(self, "portal"):
            self.session.close()
            self.portal.stop()
        self.portal = fake_portal.FakePortal(**portal)
        self.addCleanup(self.portal.stop)
        self.portal.start()
        state = token and self.portal.path("state")
        if token:
            os.makedirs(os.path.join(state, TOKEN[0]), 0o700)
            with open(os.open(os.path.join(state, *TOKEN), os.O_CREAT | os.O_WRONLY, 0o600), "w") as f:
                f.write(token)
        self.session = self.start({"poll": polls + [{"stall": True}]}, env=self.portal.env, state=state)

    def wait_logged(self, line, timeout=20):
        wait_for(line, lambda: any(line in l for l in self.session.log_lines()), timeout)

    def quiet(self, held):  # no motion for a while; some unanswered or none
        return bool(self.portal.pending) == held and time.monotonic() - self.portal.last_motion > 0.3

    def keys(self):  # pressed, but the lone Shift each session starts with
        return [k for k, down in self.portal.made("NotifyKeyboardKeysym") if down and k != 0xffe1]

    def test_portal_request_nobody_answers_is_given_up_and_asked_again(self):
        # No Response to the first CreateSession: 20 s later the program gives
        # up, and the next initcheck starts a new session.
        self.run_helper([{"body": batch({"cmd": "initcheck"})},
                         {"wait_flag": "given-up", "body": batch({"cmd": "initcheck"})},
                         {"wait_flag": "started", "body": batch({"cmd": "initcheck"}, *typed("a"))}],
                        answers={"CreateSession": [None]})
        self.wait_logged("the desktop did not answer CreateSession in time", 30)
        self.assertEqual(len(self.portal.made("CreateSession")), 1)
        self.session.raise_flag("given-up")
        self.wait_logged("remote desktop session started")
        self.session.raise_flag("started")
        self.assertEqual([r.get("error", r["result"]) for r in initchecks(self.session, 3)],
                         [PERMISSION, PERMISSION, "ok"])
        wait_for("the key", lambda: self.keys() == [ord("a")])

    def test_portal_start_answered_error_once_or_cancelled(self):
        # (row, Start's answer, Starts made, logged): an error is asked again,
        # and the session starts (without the screen cast, which may be what
        # failed); cancelled is the user's no: the next initcheck asks the user
        # before the desktop, and the user says no.
        for row, answer, starts, line in [
                ("error", 2, 2, "the desktop could not go on with Start (answer 2, error)"),
                ("cancelled", 1, 1, "the remote desktop session was declined (answer 1, cancelled)")]:
            with self.subTest(row):
                self.run_helper([{"wait_flag": "answered", "body": batch({"cmd": "initcheck"},
                                                                        *typed("a"))}],
                                answers={"Start": [answer]})
                self.wait_logged(line)
                self.session.raise_flag("answered")
                if answer == 1:
                    self.display.answer_alert("Escape")
                self.assertEqual(initchecks(self.session, 1), [OK] if answer == 2 else [dict(
                    cmd="initcheck", version="1.6", result="error", error=PERMISSION)])
                wait_for("the key", lambda: self.keys() == [ord("a")] * (answer == 2))
                self.assertEqual(len(self.portal.made("Start")), starts)

    def test_portal_restore_tokens(self):
        # (row, whether SelectDevices refuses a token, the token Start gives,
        # the tokens SelectDevices got, the token kept afterwards, 0600)
        for row, refused, new, sent, kept in [
                ("refused: asked again without it", True, "new", ["old", None], "new"),
                ("none back: the used one is gone", False, "", ["old"], None)]:
            with self.subTest(row):
                self.run_helper([], token="old", token_refused=refused, new_token=new)
                self.wait_logged("remote desktop session started")
                self.assertEqual([o.get("restore_token") for _, o in self.portal.made("SelectDevices")],
                                 sent)
                path = self.session.path("state", *TOKEN)
                self.assertEqual(read(path), kept)
                self.assertEqual(kept and os.stat(path).st_mode & 0o777, kept and 0o600)

    def test_portal_session_gone_during_a_batch(self):
        # The 20th Notify call (with the lone Shift and the motion by nothing
        # of the session's start) answers that the session is gone: input
        # stops, the server hears of it as of the quit hot key, and nothing
        # more goes to the portal, whatever was in flight.
        for row, commands in [("a key", typed("abc" * 100)),
                              ("a motion", [mouse("move", 100 + i, 200) for i in range(1000)])]:
            with self.subTest(row):
                self.run_helper([{"wait_flag": "started", "body": batch({"cmd": "initcheck"},
                                                                       *commands)}], gone_at=20)
                self.wait_logged("remote desktop session started")
                self.session.raise_flag("started")
                wait_for("the notice", lambda: NOTICE in self.posts(self.session))
                self.wait_logged("failed, the session is gone")
                time.sleep(0.5)
                calls = [c[0] for c in self.portal.calls]
                self.assertEqual([c for c in calls[calls.index("answered gone"):]
                                  if c.startswith("Notify")], [], row)

    def test_portal_pointer_motions_in_flight(self):
        # Motions answered once they pause, the latest first: at most 64 go
        # unanswered, the last of a burst is sent again so that the pointer
        # ends where it was sent, a button waits for the motions before it,
        # and after SIGTERM nothing but the release of a held button goes out.
        burst = [mouse("move", 100 + i, 200 + i % 7) for i in range(300)]
        drag = [dict(mouse("move", 310, 310), event="dragstart")] + [
            mouse("move", 100 + i % 1500, 300) for i in range(100000)]
        self.run_helper([{"body": batch({"cmd": "initcheck"})},
                         {"wait_flag": "started", "body": batch({"cmd": "initcheck"}, *burst)},
                         {"wait_flag": "drag", "body": batch(*burst, mouse("lc", 300, 300), *drag)}])
        self.wait_logged("remote desktop session started")
        self.session.raise_flag("started")
        self.assertEqual(initchecks(self.session, 2)[1], OK)
        wait_for("the burst", lambda: len(self.portal.motions()) >= 300 and self.quiet(False))
        self.assertEqual(self.portal.position, (1280 + 399, 200 + 299 % 7))
        self.session.raise_flag("drag")
        wait_for("the drag", lambda: len(self.portal.made("NotifyPointerButton")) == 3
                 and len(self.portal.motions()) > 1500)
        self.portal.hold()
        wait_for("motions held", lambda: self.quiet(True))  # well within the program's 2 s
        os.kill(self.session.launch_pid(0), signal.SIGTERM)
        time.sleep(0.3)  # the stop is immediate; the program waits for answers
        self.portal.release()
        self.session.wait_end(20)
        self.assertIn(self.portal.max_in_flight, range(2, 65))
        calls = self.portal.calls
        self.assertEqual([c[:3] for c in calls[[c[0] for c in calls].index("released"):]
                          if c[0].startswith("Notify")], [("NotifyPointerButton", (272, 0), 0)])
        # Each button where it was sent, every motion before it answered.
        self.assertEqual([c[1:] for c in calls if c[0] == "NotifyPointerButton"][:3], [
            ((272, 1), 0, (1580, 300)), ((272, 0), 0, (1580, 300)), ((272, 1), 0, (1590, 310))])
        self.assertEqual([c for c in calls if c[0] == "NotifyKeyboardKeysym" and c[2] != 0], [])


if __name__ == "__main__":
    HelperCase.BINARY = sys.argv.pop(1)
    unittest.main(verbosity=2)
