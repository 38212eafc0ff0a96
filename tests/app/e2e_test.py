#!/usr/bin/env python3
"""The real helper program, launched as a browser would launch it, against the
scripted HTTPS server in a private namespace, on a private Xvfb.

Usage: e2e_test.py BINARY [unittest arguments, e.g. HelperE2E.test_full_session]
"""

import json
import os
import signal
import subprocess
import sys
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)),
                                "..", "..", "tools", "e2e"))
import harness  # noqa: E402

PROBE = os.environ.get("MV_X11_PROBE")  # tests/platform/x11_probe
URL = harness.HelperCase.URL
H = "MorrowvaneHelper: "
ENDED = H + "poll loop ending (result=3); terminating"


def batch(*payloads):
    return json.dumps({"messages": [{"payload": p} for p in payloads]})


def envelope(payload):
    return json.dumps({"message": "nh_to_agent", "payload": payload}, separators=(",", ":"))


def move(x, y):
    return {"cmd": "mouseevent", "x": x, "y": y, "mode": "", "event": "move"}


CLOSE_NOTICE = '{"event":"close","reason":"normal"}'
HOT_KEY_NOTICE = envelope({"cmd": "hot key pressed"})
# A server that answers the close notice one byte a second, for a minute.
TRICKLED_CLOSE = {"body": "x" * 60, "byte_interval": 1}
INITCHECK_OK = envelope({"cmd": "initcheck", "version": "1.6", "result": "ok", "hotkey": "E"})
VERSION_OK = envelope({"cmd": "version", "result": "ok", "version": "1.1"})
ACTIVE = "Remote control active — stop with Control+Alt+Shift+E"
STOPPED = "Remote control stopped"


class HelperE2E(harness.HelperCase):
    def pointer(self):
        out = self.display.run(["xdotool", "getmouselocation", "--shell"]).stdout
        values = dict(line.split("=", 1) for line in out.split())
        return int(values["X"]), int(values["Y"])

    def first_poll(self, session):
        harness.wait_for("the first poll", lambda: any(
            r["type"] == "poll" for r in session.requests()))

    def test_full_session_requests_replies_and_log_in_order(self):
        translate = {"cmd": "translatexywh", "x": 960, "y": 540, "w": 1920, "h": 1080}
        script = {"poll": [
            {"body": batch({"cmd": "initcheck"}, {"cmd": "version"})},
            {"wait_posts": 2, "body": "timeout"},
            {"body": "\ufeff" + batch(translate, {"cmd": "nosuchcommand"})},
            {"wait_posts": 4, "body": "close"}]}
        # A desktop without a status area: notifications tell the user.
        session = self.start(script, desktop=("notifications",))
        self.assertEnded(session)
        self.assertEqual(session.notifications(), [ACTIVE, "Remote control ended"])
        requests = session.requests()
        self.assertEqual([(r["method"], r["target"]) for r in requests[:2]],
                         [("GET", "/nativehelper?id=abc123"),
                          ("GET", "/nativehelper?token=test-token")])
        for r in requests:
            self.assertIn(["User-Agent", "MorrowvaneHelper/1.0"], r["headers"])
            self.assertEqual(r["target"].split("?")[0], "/nativehelper")
        self.assertEqual([r["type"] for r in requests].count("poll"), 4)
        # Each batch's replies (concurrent, so in any order) came before the next.
        posts = self.posts(session)
        self.assertEqual(sorted(posts[:2]), sorted([INITCHECK_OK, VERSION_OK]))
        self.assertEqual(sorted(posts[2:4]), sorted([
            envelope({"cmd": "translatexywh", "x": 32768, "y": 32768, "w": 65536, "h": 65536,
                      "result": "ok"}),
            envelope({"cmd": "nosuchcommand", "result": "error", "detail": "Unknown command."})]))
        self.assertEqual(posts[4:], [CLOSE_NOTICE])
        self.assertEqual(requests[-1]["body"], CLOSE_NOTICE)
        self.assertIn(["Content-Type", "text/plain"], requests[-1]["headers"])
        self.assertEqual(session.log_lines(), [H + line for line in [
            "URL from argv: " + URL,
            "parsed server=test.morrowvane.com sessionId=abc123",
            "user granted; connecting to test.morrowvane.com",
            'initSession GET ?id=abc123 -> {"token": "<redacted>"}',
            "initSession ok; entering poll loop",
            "dispatch cmd=initcheck",
            "quit hot key registered: Control+Alt+Shift+E",
            "dispatch cmd=version",
            "dispatch cmd=translatexywh",
            "dispatch cmd=nosuchcommand",
            "session ended: server closed the session"]] + [ENDED])

    def test_message_box_holds_back_the_rest_of_its_batch_and_later_batches(self):
        script = {"poll": [
            {"body": batch({"cmd": "messagebox", "caption": "Morrowvane Remote Control Helper",
                            "text": "hello"}, {"cmd": "version"})},
            {"body": batch({"cmd": "initcheck"})},
            {"wait_posts": 2, "body": "close"}]}
        session = self.start(script)
        window = self.display.wait_alert()
        # The helper holds the second batch (it has polled a third time) ...
        harness.wait_for("the third poll", lambda: [
            r["type"] for r in session.requests()].count("poll") >= 3)
        # ... but neither the rest of the first batch nor the second has run.
        self.assertEqual(self.posts(session), [])
        self.assertEqual(self.display.answer_alert("Return"), window)
        self.assertEnded(session)
        posts = self.posts(session)
        self.assertEqual(sorted(posts[:2]), sorted([VERSION_OK, INITCHECK_OK]))
        self.assertEqual(posts[2:], [CLOSE_NOTICE])

    def test_quit_hot_key_sends_its_notice_and_closes_the_gate(self):
        script = {"poll": [
            {"body": batch({"cmd": "initcheck"}, move(100, 200))},
            {"wait_posts": 2, "body": batch(move(300, 400), {"cmd": "version"})},
            {"wait_flag": "stopped", "body": batch({"cmd": "initcheck"})},
            {"wait_posts": 5, "body": "close"}]}
        # A desktop with a status area, watched over D-Bus.
        session = self.start(script, desktop=("watcher", "notifications"))

        def shows(tooltip, enabled):
            menu = [{"id": 1, "label": "Stop remote control", "enabled": enabled}]
            items = session.status_items()
            return len(items) == 1 and (items[0]["tooltip"], items[0]["menu"]) == (tooltip, menu)

        harness.wait_for("the first move", lambda: self.pointer() == (1380, 200))
        harness.wait_for("the active status icon", lambda: shows(ACTIVE, True))
        self.assertEqual(session.notifications(), [])
        self.display.key("ctrl+alt+shift+e")
        harness.wait_for("the stopped status icon", lambda: shows(STOPPED, False))
        session.raise_flag("stopped")
        # A later initcheck allows input again; the icon's menu stops it like the key.
        harness.wait_for("the second initcheck reply", lambda: len(self.posts(session)) == 4)
        harness.wait_for("the active status icon again", lambda: shows(ACTIVE, True))
        session.click_status_menu("Stop remote control")
        self.assertEnded(session)
        self.assertEqual(self.posts(session), [INITCHECK_OK, HOT_KEY_NOTICE, VERSION_OK,
                                               INITCHECK_OK, HOT_KEY_NOTICE, CLOSE_NOTICE])
        # The gate closed at the key: the second batch's move had no effect.
        self.assertEqual(self.pointer(), (1380, 200))
        self.assertEqual(session.notifications(), [STOPPED, STOPPED])
        self.assertEqual(session.status_items(), [])  # the icon went with the session
        self.assertEqual([line for line in session.log_lines() if "dispatch" not in line][-4:], [
            H + "quit hot key pressed",
            H + '"Stop remote control" chosen in the status icon',
            H + "session ended: server closed the session", ENDED])

    def test_quit_hot_key_stops_a_long_batch_at_once(self):
        typing = [{"cmd": "keyboardchar", "key": "a"}] * 200000  # seconds of typing, even fast
        script = {"poll": [{"wait_flag": "probe", "body": batch({"cmd": "initcheck"}, *typing)},
                           {"wait_posts": 2, "body": "close"}]}
        session = self.start(script)
        probe = harness.Probe(PROBE, self.xvfb.display)  # after the dialog: it keeps the focus
        self.addCleanup(probe.stop)
        session.raise_flag("probe")
        harness.wait_for("typing", lambda: len(probe.typed_text()) >= 50)

        def press_until_noticed():
            # A press can meet a key stroke that briefly lets go of its modifiers.
            if HOT_KEY_NOTICE in self.posts(session):
                return True
            self.display.key("ctrl+alt+shift+e")
            return False
        harness.wait_for("the hot key notice", press_until_noticed, interval=0.5)
        self.assertEnded(session)
        # Typing stopped with the press, not at the end of the batch (a press
        # xdotool makes while the batch types at full speed can be missed and
        # is repeated).
        self.assertLess(len(probe.typed_text().replace("e", "")), len(typing) // 2)

    def test_link_on_a_web_page_starts_the_installed_program_through_the_browser(self):
        """A page sends Chromium to the link; a managed policy lets that origin
        open the scheme without asking; xdg-open finds the installed desktop
        entry. Chromium runs as the namespace's root, so without its sandbox."""
        page = "<!doctype html><script>location.href = %s;</script>" % json.dumps(URL)
        script = {"other": [{"headers": {"Content-Type": "text/html"}, "body": page}],
                  "poll": [{"body": batch({"cmd": "initcheck"})},
                           {"wait_posts": 1, "body": "close"}]}
        session = harness.Session(self.BINARY, self.xvfb.display, script)
        self.addCleanup(session.close)
        home, prefix = os.path.join(session.work, "home"), os.path.join(session.work, "prefix")
        policies = os.path.join(session.work, "chromium", "policies", "managed")
        os.makedirs(policies)
        with open(os.path.join(policies, "launch.json"), "w") as f:
            json.dump({"AutoLaunchProtocolsFromOrigins": [
                {"protocol": "morrowvanenativehost",
                 "allowed_origins": ["https://test.morrowvane.com"]}]}, f)
        env = {"HOME": home, "XDG_CONFIG_HOME": os.path.join(home, ".config"),
               "XDG_DATA_HOME": os.path.join(home, ".local", "share"),
               "XDG_DATA_DIRS": os.path.join(prefix, "share") + ":/usr/share"}
        subprocess.run(["cmake", "--install", os.path.dirname(self.BINARY), "--prefix", prefix],
                       check=True, capture_output=True, timeout=120)
        subprocess.run(["xdg-mime", "default", "com.morrowvane.Helper.desktop",
                        "x-scheme-handler/morrowvanenativehost"],
                       env=dict(os.environ, **env), check=True, timeout=60)
        # No bus-activated services: with a desktop portal Chromium would ask it.
        os.makedirs(os.path.join(session.work, "no-services"))
        session.binds = [(os.path.join(session.work, "chromium"), "/etc/chromium"),
                         (os.path.join(session.work, "no-services"), "/usr/share/dbus-1/services")]
        session.env = env
        # Chromium's own trust store lacks the test CA; the program still verifies.
        session.start([{"argv": [
            "chromium", "--no-sandbox", "--user-data-dir=" + os.path.join(home, "chromium"),
            "--no-first-run", "--disable-gpu", "--password-store=basic",
            "--ignore-certificate-errors", "https://test.morrowvane.com/start"]}])
        # Docks match the dialog to the installed entry by its WM_CLASS.
        wm_class = self.display.run(["xprop", "-id", self.display.wait_alert(timeout=60),
                                     "WM_CLASS"]).stdout
        self.assertIn('"morrowvane-helper"', wm_class)
        self.display.answer_alert("Return")
        harness.wait_for("the close notice", lambda: CLOSE_NOTICE in self.posts(session), 30)
        self.assertEqual([(r["method"], r["target"]) for r in session.requests()[:2]],
                         [("GET", "/start"), ("GET", "/nativehelper?id=abc123")])
        self.assertEqual(self.posts(session), [INITCHECK_OK, CLOSE_NOTICE])
        self.assertEqual(session.log_lines()[0], H + "URL from argv: " + URL)

    def test_launches_that_end_before_a_session(self):
        refused = "morrowvanenativehost://evil.example/abc123"
        # (row, script, arguments, key for the dialog, requests, the log or its end)
        rows = [
            ("declined consent", {}, [URL], "Escape", [],
             [H + "user declined remote control, terminating"]),
            ("bare launch", {}, [], "Return", [], []),
            ("SIGTERM under the bare alert", {}, [], None, [], []),
            ("refused URL", {}, [refused, URL], "Return", [],
             [H + "URL from argv: " + refused, H + "server not allowed: evil.example"]),
            ("failed handshake", {"handshake": [{"status": 403, "body": "{}"}]}, [URL], "Return",
             ["handshake"], [H + "initSession failed (no token); terminating"])]
        for row, script, args, key, requests, log in rows:
            with self.subTest(row):
                session = self.start(script, consent=False, launches=[{"args": args}])
                if key:
                    self.display.answer_alert(key)
                else:
                    self.display.wait_alert()
                    os.kill(session.launch_pid(0), signal.SIGTERM)
                self.assertEnded(session)
                self.assertEqual([r["type"] for r in session.requests()], requests)
                lines = session.log_lines()
                self.assertEqual(lines[-len(log):] if log else lines, log)

    def test_second_launch_with_accepted_url_changes_nothing_in_the_running_instance(self):
        other = "morrowvanenativehost://eu.morrowvane.com/fed42"
        script = {"poll": [{"body": batch({"cmd": "initcheck"})},
                           {"wait_posts": 2, "body": "close"}]}
        session = self.start(script, launches=[{"args": [URL], "background": True},
                                               {"args": [other], "after": "second"}])
        harness.wait_for("the initcheck reply", lambda: INITCHECK_OK in self.posts(session))
        session.raise_flag("second")
        session.wait_log(H + "session already started; ignoring "
                         "server=eu.morrowvane.com sessionId=fed42")
        harness.wait_for("the second launch to end", lambda: session.launch_status(1) == 0)
        # The consent stays with its own link: no second dialog, no new handshake.
        self.assertEqual(self.display.visible_windows("^%s$" % harness.ALERT_TITLE), [])
        self.display.key("ctrl+alt+shift+e")  # its notice releases the server's "close"
        self.assertEnded(session)
        self.assertEqual(self.posts(session)[1:], [HOT_KEY_NOTICE, CLOSE_NOTICE])
        self.assertEqual([r["type"] for r in session.requests()].count("handshake"), 1)
        self.assertEqual(session.log_lines()[-1], ENDED)

    def test_second_launch_with_refused_url_ends_the_running_session(self):
        refused = "morrowvanenativehost://test.morrowvane.com/XYZ"
        session = self.start({"poll": [{"stall": True}]}, launches=[
            {"args": [URL], "background": True}, {"args": [refused], "after": "second"}])
        self.first_poll(session)
        session.raise_flag("second")
        self.assertEnded(session, timeout=25)  # although its poll is held
        self.assertEqual(session.launch_status(1), 0)
        self.assertEqual(self.posts(session), [CLOSE_NOTICE])
        self.assertEqual(session.log_lines()[-2:], [
            H + "GetURL event: " + refused, H + "URL rejected, terminating"])

    def test_sigterm_ends_the_session_and_a_second_one_a_slow_close(self):
        # (row, answers to the posts, SIGTERMs sent, status)
        rows = [("held poll", [], 1, 0),
                ("trickled close notice", [TRICKLED_CLOSE], 2, 128 + signal.SIGTERM)]
        for row, post, signals, status in rows:
            with self.subTest(row):
                session = self.start({"poll": [{"stall": True}], "post": post})
                self.first_poll(session)
                pid = session.launch_pid(0)
                for _ in range(signals):
                    os.kill(pid, signal.SIGTERM)
                    harness.wait_for("the close notice", lambda: self.posts(session))
                self.assertEqual(session.wait_end(30), status, row)
                self.assertEqual(self.posts(session), [CLOSE_NOTICE])
                self.assertEqual(session.log_lines()[-1], H + "initSession ok; entering poll loop")

    def test_sigterm_under_a_message_box_ends_the_program_and_the_batch(self):
        script = {"poll": [{"body": batch({"cmd": "initcheck"}, {"cmd": "messagebox"},
                                          move(100, 200), {"cmd": "version"})},
                           {"stall": True}],
                  "post": [{}, TRICKLED_CLOSE]}
        session = self.start(script)
        self.display.wait_alert()
        before = self.pointer()
        os.kill(session.launch_pid(0), signal.SIGTERM)
        # Well before the server finishes its answer to the close notice.
        self.assertEnded(session, timeout=30)
        self.assertEqual(self.posts(session), [INITCHECK_OK, CLOSE_NOTICE])
        self.assertEqual(self.pointer(), before)

    def test_launch_during_teardown_becomes_the_running_instance(self):
        script = {"poll": [{"stall": True}, {"body": "close"}], "post": [TRICKLED_CLOSE]}
        session = self.start(script, launches=[
            {"args": [URL], "background": True},
            {"args": ["morrowvanenativehost://test.morrowvane.com/fed42"], "after": "second"}])
        self.first_poll(session)
        os.kill(session.launch_pid(0), signal.SIGTERM)
        harness.wait_for("the close notice", lambda: self.posts(session))
        session.raise_flag("second")
        self.display.answer_alert("Return")  # the second launch's own consent
        self.assertEnded(session)
        self.assertEqual(session.launch_status(1), 0)
        self.assertEqual([r["target"] for r in session.requests() if r["type"] == "handshake"],
                         ["/nativehelper?id=abc123", "/nativehelper?id=fed42"])


if __name__ == "__main__":
    harness.HelperCase.BINARY = sys.argv.pop(1)
    unittest.main(verbosity=2)
