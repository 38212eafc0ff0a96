#!/usr/bin/env python3
# The real helper program, launched as a browser would launch it, against the
# scripted HTTPS server in a private namespace, on a private Xvfb.
# Usage: e2e_test.py BINARY [unittest arguments, e.g. HelperE2E.test_launches_that_end_before_a_session]

import json
import os
import signal
import subprocess
import sys
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "../../tools/e2e"))
import harness  # noqa: E402

PROBE = os.environ.get("MV_X11_PROBE")  # tests/platform/x11_probe
URL, HOST, H = harness.HelperCase.URL, harness.HOST, "MorrowvaneHelper: "
ENDED = [H + "session ended: server closed the session",
         H + "poll loop ending (result=3); terminating"]


def batch(*payloads):
    return json.dumps({"messages": [{"payload": p} for p in payloads]})


def envelope(payload):
    return json.dumps({"message": "nh_to_agent", "payload": payload}, separators=(",", ":"))


def move(x, y):
    return {"cmd": "mouseevent", "x": x, "y": y, "mode": "", "event": "move"}


CLOSE_NOTICE = '{"event":"close","reason":"normal"}'
HOT_KEY_NOTICE = envelope({"cmd": "hot key pressed"})
TRICKLED_CLOSE = {"body": "x" * 60, "byte_interval": 1}  # a minute for the close notice
INITCHECK_OK = envelope({"cmd": "initcheck", "version": "1.6", "result": "ok", "hotkey": "E"})
VERSION_OK = envelope({"cmd": "version", "result": "ok", "version": "1.1"})
ACTIVE = "Remote control active — stop with Control+Alt+Shift+E"
STOPPED = "Remote control stopped"


class HelperE2E(harness.HelperCase):
    def pointer(self):
        out = self.display.run(["xdotool", "getmouselocation", "--shell"]).stdout
        return tuple(int(line[2:]) for line in out.split()[:2])  # X=..., Y=...

    def test_full_session_from_a_web_page(self):
        # A page sends Chromium to the link; a managed policy lets that origin
        # open the scheme without asking; xdg-open finds the installed desktop
        # entry (Chromium runs as the namespace's root, so without its sandbox).
        # Then the requests, replies, notifications and log of a whole session;
        # a message box holds back the rest of its batch and the next.
        page = "<!doctype html><script>location.href = %s;</script>" % json.dumps(URL)
        session = harness.Session(self.BINARY, self.xvfb.display, {
            "other": [{"headers": {"Content-Type": "text/html"}, "body": page}], "poll": [
                {"body": batch({"cmd": "messagebox", "text": "hi"}, {"cmd": "initcheck"},
                               {"cmd": "version"})},
                {"body": "\ufeff" + batch({"cmd": "translatexywh", "x": 960, "y": 540, "w": 1920,
                                           "h": 1080}, {"cmd": "nosuchcommand"})},
                {"wait_posts": 4, "body": "timeout"}, {"body": "close"}]},
            desktop=("notifications",))  # no status area: notifications tell the user
        self.addCleanup(session.close)
        home, prefix, etc = session.path("home"), session.path("prefix"), session.path("etc")
        os.makedirs(os.path.join(etc, "policies", "managed"))
        os.makedirs(session.path("no-services"))
        with open(os.path.join(etc, "policies", "managed", "launch.json"), "w") as f:
            json.dump({"AutoLaunchProtocolsFromOrigins": [{"protocol": "morrowvanenativehost",
                       "allowed_origins": ["https://" + HOST]}]}, f)
        session.env = {"HOME": home, "XDG_DATA_DIRS": prefix + "/share:/usr/share"}
        subprocess.run(["cmake", "--install", os.path.dirname(self.BINARY), "--prefix", prefix],
                       check=True, capture_output=True, timeout=120)
        subprocess.run(["xdg-mime", "default", "com.morrowvane.Helper.desktop",
                        "x-scheme-handler/morrowvanenativehost"],
                       env=dict(os.environ, **session.env), check=True, timeout=60)
        # No bus-activated services: with a desktop portal Chromium would ask it.
        session.binds = [(etc, "/etc/chromium"),
                         (session.path("no-services"), "/usr/share/dbus-1/services")]
        # Chromium's own trust store lacks the test CA; the program still verifies.
        session.start([{"argv": ["chromium", "--no-sandbox", "--user-data-dir=" + home,
                                 "--no-first-run", "--disable-gpu", "--password-store=basic",
                                 "--ignore-certificate-errors", "https://%s/start" % HOST]}])
        # Docks match the dialog to the installed entry by its WM_CLASS.
        consent = self.display.wait_alert(timeout=60)
        self.assertIn('"morrowvane-helper"', self.display.run(["xprop", "-id", consent, "WM_CLASS"]).stdout)
        # A Return typed for another window as the dialog appears answers nothing.
        self.display.run(["xdotool", "key", "--window", consent, "Return"], check=True)
        self.display.run(["xdotool", "windowfocus", "--sync", consent, "key", "Return"], check=True)
        time.sleep(0.3)
        self.assertEqual(self.display.alerts(), [consent])
        self.display.answer_alert("Return")
        self.display.wait_alert()
        # The second batch is in (a third poll waits), but nothing after the box has run.
        harness.wait_for("poll 3", lambda: [r["type"] for r in session.requests()].count("poll") > 2)
        self.assertEqual(self.posts(session), [])
        self.display.answer_alert("Return")
        harness.wait_for("the end", lambda: session.log_lines()[-1:] == ENDED[1:], 30)
        harness.wait_for("the notifications", lambda: session.desktop_state()["notifications"]
                         == [ACTIVE, "Remote control ended"])
        # The server records each request once it has answered it.
        harness.wait_for("every post recorded", lambda: len(self.posts(session)) == 5)
        requests, posts = session.requests(), self.posts(session)
        self.assertEqual([r["target"] for r in requests[:3]], ["/start", "/nativehelper?id=abc123",
                                                              "/nativehelper?token=test-token"])
        self.assertEqual(sorted(posts[:-1]), sorted([INITCHECK_OK, VERSION_OK, envelope(
            {"cmd": "translatexywh", "x": 32768, "y": 32768, "w": 65536, "h": 65536, "result": "ok"}),
            envelope({"cmd": "nosuchcommand", "result": "error", "detail": "Unknown command."})]))
        self.assertEqual(posts[-1], CLOSE_NOTICE)
        self.assertEqual(session.log_lines(), [H + line for line in [
            "URL from argv: " + URL, "parsed server=test.morrowvane.com sessionId=abc123",
            "user granted; connecting to test.morrowvane.com",
            'initSession GET ?id=abc123 -> {"token": "<redacted>"}',
            "initSession ok; entering poll loop", "dispatch cmd=messagebox",
            "dispatch cmd=initcheck", "quit hot key registered: Control+Alt+Shift+E",
            "dispatch cmd=version", "dispatch cmd=translatexywh",
            "dispatch cmd=nosuchcommand"]] + ENDED)

    @harness.nested_display
    def test_each_hot_key_press_stops_typing_until_the_user_allows_again(self):
        # One press on Xephyr's own keyboard (not the XTest device the program
        # types through) stops input while the remote types capitals and
        # characters off the layout in small batches, in every round; the
        # next initcheck lets input in again once the user allows it.
        typing = [{"cmd": "keyboardchar", "key": k} for k in "AbяЖ€" * 4]
        rounds, poll = 3, []
        for i in range(rounds):
            poll += [{"wait_flag": "round-%d" % i, "body": batch({"cmd": "initcheck"}, *typing)},
                     {"repeat": 1000, "body": batch(*typing)}]  # seconds of typing
        session = self.start({"poll": poll + [{"stall": True}], "post": [{}] * (2 * rounds)},
                             desktop=("watcher", "notifications"))
        probe = harness.Probe(PROBE, self.xvfb.display)  # after the dialog: it keeps the focus
        self.addCleanup(probe.stop)
        for i in range(rounds):
            probe.clear()
            session.raise_flag("round-%d" % i)
            if i > 0:
                self.display.answer_alert("Return")  # the user allows input again
            harness.wait_for("typing", lambda: len(probe.typed_text()) >= 40)
            self.xvfb.press_outside("keydown", "ctrl+alt+shift", "sleep", "0.2", "key", "e",
                                    "keyup", "ctrl+alt+shift")  # as fingers do
            harness.wait_for("the hot key notice", lambda: self.posts(session).count(
                HOT_KEY_NOTICE) == i + 1)
            harness.wait_for("the stopped status icon", lambda: session.desktop_state()[
                "items"] == [[STOPPED, [["Stop remote control", False]]]])
            # What reached the window after the user's Control (the probe
            # prints events in the server's order), once nothing more comes.
            probe.wait_quiet()
            lines = probe.snapshot()
            control = [n for n, line in enumerate(lines) if line.startswith("key ")
                       and line.split()[2] == "ffe3"]  # Control_L
            self.assertTrue(control, "round %d" % i)
            self.assertLess(len(probe.typed_text(lines[control[0]:])), 300, "round %d" % i)
            self.assertNotIn("e", probe.typed_text().lower(), "the user's E went through")
        self.assertEqual(self.posts(session), [INITCHECK_OK, HOT_KEY_NOTICE] * rounds)
        self.assertEqual(session.desktop_state()["notifications"], [STOPPED] * rounds)

    def typing_begun(self, session):
        # The observer (after the consent dialog: it keeps the focus), then the
        # batch of the "probe" flag, until its typing has begun.
        probe = harness.Probe(PROBE, self.xvfb.display)
        self.addCleanup(probe.stop)
        session.raise_flag("probe")
        harness.wait_for("typing", lambda: len(probe.typed_text()) >= 50)
        return probe

    def test_the_menu_and_sigterm_stop_a_long_batch_at_once(self):
        # The status icon's menu stops typing in the middle of a long batch and
        # lets go of the button the remote holds; until the user allows it again
        # in a dialog, the next initcheck opens nothing; SIGTERM stops the next
        # long batch at once; a refused link meanwhile ends nothing. The text
        # holds Shift and the level-three key for characters off the layout.
        typing = [{"cmd": "keyboardchar", "key": k} for k in "aЖ€" * 33334]  # seconds of typing, even fast
        drag = dict(move(150, 250), event="dragstart")
        session = self.start({"poll": [
            {"wait_flag": "probe", "body": batch({"cmd": "initcheck"}, move(100, 200), drag, *typing)},
            {"wait_flag": "stopped", "body": batch({"cmd": "initcheck"}, move(300, 400), *typing)},
            {"stall": True}], "post": [{}] * 3 + [TRICKLED_CLOSE]},
            launches=[{"args": [URL], "background": True},
                      {"args": ["morrowvanenativehost://evil.example.com/abc123"], "after": "evil"}],
            desktop=("watcher", "notifications"))
        probe = self.typing_begun(session)
        session.raise_flag("click")
        harness.wait_for("the menu's notice", lambda: HOT_KEY_NOTICE in self.posts(session))
        at_click = len(probe.typed_text())
        self.assertEqual(self.display.run([PROBE, "--pressed"]).stdout.split(), ["keys", "buttons", "0"])
        session.raise_flag("evil")
        harness.wait_for("the refused link to end", lambda: session.launch_status(1) == 0)
        at_ask = len(probe.typed_text())
        session.raise_flag("stopped")
        self.display.wait_alert()
        self.assertEqual(self.pointer(), (1430, 250))  # nothing moved while the user is asked
        self.display.answer_alert("Return")
        harness.wait_for("input again", lambda: self.pointer() == (1580, 400))
        harness.wait_for("typing again", lambda: len(probe.typed_text()) >= at_click + 50)
        os.kill(session.launch_pid(0), signal.SIGTERM)
        harness.wait_for("the close notice", lambda: CLOSE_NOTICE in self.posts(session))
        at_term = len(probe.typed_text())
        os.kill(session.launch_pid(0), signal.SIGTERM)  # a second one ends the slow close
        self.assertEqual(session.wait_end(30), 128 + signal.SIGTERM)
        # A few hundred keys at most were on their way at each stop.
        self.assertLess(at_click, len(typing) // 2)  # the menu was served during the batch
        self.assertLess(at_ask - at_click, 300)
        self.assertLess(len(probe.typed_text()) - at_term, 300)
        self.assertEqual(self.posts(session), [INITCHECK_OK, HOT_KEY_NOTICE, INITCHECK_OK, CLOSE_NOTICE])
        self.assertIn(H + "URL rejected; the running session goes on", session.log_lines())
        self.assertEqual(session.desktop_state()["notifications"], [STOPPED])

    def test_without_a_status_area_the_notification_stops_input(self):
        typing = [{"cmd": "keyboardchar", "key": "a"}] * 100000
        session = self.start({"poll": [
            {"wait_flag": "probe", "body": batch({"cmd": "initcheck"}, *typing)}, {"stall": True}],
            "post": [{}] * 2 + [TRICKLED_CLOSE]}, desktop=("notifications",))
        probe = self.typing_begun(session)
        session.raise_flag("action")
        harness.wait_for("the notice", lambda: HOT_KEY_NOTICE in self.posts(session))
        at_stop = len(probe.typed_text())
        harness.wait_for("the stopped notification", lambda: session.desktop_state()[
            "notifications"] == [ACTIVE, STOPPED])
        self.assertLess(at_stop, len(typing) // 2)
        self.assertLess(len(probe.typed_text()) - at_stop, 300)
        self.assertIn(H + '"Stop remote control" chosen in the notification', session.log_lines())

    def test_launches_that_end_before_a_session(self):
        no_token = [H + "initSession GET ?id=abc123 -> (nil/transport error)",
                    H + "initSession failed (no token); terminating"]
        # (row, certificate, key for the dialog, the log's end, connections:
        # the certificate, not the network, stops the helper)
        for row, cert, key, log, connections in [
                ("declined consent", "server", "Escape",
                 [H + "user declined remote control, terminating"], 0),
                ("certificate for another host", "wronghost", "Return", no_token, 1),
                ("certificate of an unknown CA", "rogue", "Return", no_token, 1)]:
            with self.subTest(row):
                session = self.start({}, consent=False, cert=cert)
                self.display.answer_alert(key)
                self.assertEnded(session)
                self.assertEqual([r["kind"] for r in session.records()], ["connection"] * connections)
                self.assertEqual(session.log_lines()[-len(log):], log)

    def test_second_links_and_sigterm(self):
        # A link any page can fire while the consent dialog is open changes
        # neither the server nor the session. SIGTERM closes a message box and
        # ends its batch and the program while the server trickles its answer
        # to the close notice; a link meanwhile starts anew, with its own consent.
        other = "morrowvanenativehost://eu.morrowvane.com/fed42"
        session = self.start({"poll": [{"body": batch({"cmd": "initcheck"}, {"cmd": "messagebox"},
                                                      move(100, 200), {"cmd": "version"})},
                                       {"stall": True}, {"body": "close"}],
                              "post": [{}, TRICKLED_CLOSE]}, consent=False,
                             launches=[{"args": [URL], "background": True},
                                       {"args": [other], "after": "second"},
                                       {"args": [URL[:-6] + "fed42"], "after": "third"}])
        self.display.wait_alert()
        session.raise_flag("second")
        harness.wait_for("the second launch to end", lambda: session.launch_status(1) == 0)
        self.assertEqual(len(self.display.alerts()), 1)  # no second dialog
        self.display.answer_alert("Return")
        harness.wait_for("the message box", lambda: self.posts(session) and self.display.alerts())
        before = self.pointer()
        os.kill(session.launch_pid(0), signal.SIGTERM)
        harness.wait_for("the box to close", lambda: not self.display.alerts())
        harness.wait_for("the close notice", lambda: CLOSE_NOTICE in self.posts(session))
        session.raise_flag("third")
        self.display.answer_alert("Return")  # the third launch's own consent
        self.assertEnded(session)  # well before the trickle ends
        self.assertEqual([session.launch_status(1), session.launch_status(2)], [0, 0])
        self.assertEqual([r["target"] for r in session.requests() if r["type"] == "handshake"],
                         ["/nativehelper?id=abc123", "/nativehelper?id=fed42"])
        self.assertEqual(self.posts(session), [INITCHECK_OK, CLOSE_NOTICE, CLOSE_NOTICE])
        self.assertEqual(self.pointer(), before)
        self.assertEqual(session.log_lines()[2:5], [
            H + "GetURL event: " + other,
            H + "session already started; ignoring server=eu.morrowvane.com sessionId=fed42",
            H + "user granted; connecting to test.morrowvane.com"])

if __name__ == "__main__":
    harness.HelperCase.BINARY = sys.argv.pop(1)
    unittest.main(verbosity=2)
