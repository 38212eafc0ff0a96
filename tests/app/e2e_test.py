#!/usr/bin/env python3
"""End-to-end runs of the real helper program: launched as a browser would
launch it, against the scripted HTTPS sharing server in a private namespace,
on a private Xvfb with three monitors, its dialogs answered with xdotool.

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

BINARY = None
PROBE = os.environ.get("MV_X11_PROBE")  # tests/platform/x11_probe
URL = "morrowvanenativehost://test.morrowvane.com/abc123"
OTHER_URL = "morrowvanenativehost://test.morrowvane.com/fed42"


def batch(*payloads):
    return json.dumps({"messages": [{"payload": p} for p in payloads]})


def envelope(payload):
    return json.dumps({"message": "nh_to_agent", "payload": payload}, separators=(",", ":"))


CLOSE_NOTICE = '{"event":"close","reason":"normal"}'
HOT_KEY_NOTICE = envelope({"cmd": "hot key pressed"})
# A server that answers the close notice one byte a second, for a minute.
TRICKLED_CLOSE = {"body": "x" * 60, "byte_interval": 1}
INITCHECK_OK = envelope({"cmd": "initcheck", "version": "1.6", "result": "ok", "hotkey": "E"})
VERSION_OK = envelope({"cmd": "version", "result": "ok", "version": "1.1"})
HOT_KEY_NOTICE = envelope({"cmd": "hot key pressed"})
ACTIVE = "Remote control active — stop with Control+Alt+Shift+E"
STOPPED = "Remote control stopped"


class HelperE2E(unittest.TestCase):
    def setUp(self):
        self.xvfb = harness.Xvfb()
        self.addCleanup(self.xvfb.stop)
        self.display = harness.Display(self.xvfb.display)

    def start(self, script, launches, **options):
        session = harness.Session(BINARY, self.xvfb.display, script,
                                  keep=bool(os.environ.get("MV_E2E_KEEP")), **options)
        self.addCleanup(session.close)
        session.start(launches)
        return session

    def assertEnded(self, session, timeout=40.0):
        status = session.wait_end(timeout)
        self.assertEqual(status, 0, session.output_text())

    def posts(self, session):
        return [r["body"] for r in session.requests() if r["method"] == "POST"]

    def pointer(self):
        out = self.display.run(["xdotool", "getmouselocation", "--shell"]).stdout
        values = dict(line.split("=", 1) for line in out.split())
        return int(values["X"]), int(values["Y"])

    # --- a whole session ----------------------------------------------------

    def test_full_session_requests_replies_and_log_in_order(self):
        translate = {"cmd": "translatexywh", "x": 960, "y": 540, "w": 1920, "h": 1080}
        script = {"poll": [
            {"body": batch({"cmd": "initcheck"}, {"cmd": "version"})},
            {"wait_posts": 2, "body": "timeout"},
            {"body": "\ufeff" + batch(translate, {"cmd": "nosuchcommand"})},
            {"wait_posts": 4, "body": "close"},
        ]}
        # A desktop without a status area: notifications tell the user.
        session = self.start(script, [{"args": [URL]}], desktop=("notifications",))
        self.display.answer_alert("Return")
        self.assertEnded(session)
        self.assertEqual(session.notifications(), [ACTIVE, "Remote control ended"])

        requests = session.requests()
        self.assertEqual([(r["method"], r["target"]) for r in requests[:2]],
                         [("GET", "/nativehelper?id=abc123"),
                          ("GET", "/nativehelper?token=test-token")])
        for r in requests:
            self.assertIn(["User-Agent", "MorrowvaneHelper/1.0"], r["headers"])
            self.assertEqual(r["target"].split("?")[0], "/nativehelper")
        polls = [r for r in requests if r["type"] == "poll"]
        self.assertEqual(len(polls), 4)
        # Replies of a batch come after the poll that brought it; the server
        # released the next batches only once they were in.
        self.assertEqual(sorted(self.posts(session)[:2]), sorted([INITCHECK_OK, VERSION_OK]))
        self.assertEqual(sorted(self.posts(session)[2:4]), sorted([
            envelope({"cmd": "translatexywh", "x": 32768, "y": 32768, "w": 65536, "h": 65536,
                      "result": "ok"}),
            envelope({"cmd": "nosuchcommand", "result": "error", "detail": "Unknown command."})]))
        # The server's "close" ends the session; the close notice is the last word.
        self.assertEqual(requests[-1]["method"], "POST")
        self.assertEqual(requests[-1]["body"], CLOSE_NOTICE)
        self.assertIn(["Content-Type", "text/plain"], requests[-1]["headers"])
        self.assertEqual(len(self.posts(session)), 5)

        self.assertEqual(session.log_lines(), [
            "MorrowvaneHelper: URL from argv: " + URL,
            "MorrowvaneHelper: parsed server=test.morrowvane.com sessionId=abc123",
            "MorrowvaneHelper: user granted; connecting to test.morrowvane.com",
            'MorrowvaneHelper: initSession GET ?id=abc123 -> {"token": "<redacted>"}',
            "MorrowvaneHelper: initSession ok; entering poll loop",
            "MorrowvaneHelper: dispatch cmd=initcheck",
            "MorrowvaneHelper: quit hot key registered: Control+Alt+Shift+E",
            "MorrowvaneHelper: dispatch cmd=version",
            "MorrowvaneHelper: dispatch cmd=translatexywh",
            "MorrowvaneHelper: dispatch cmd=nosuchcommand",
            "MorrowvaneHelper: session ended: server closed the session",
            "MorrowvaneHelper: poll loop ending (result=3); terminating",
        ])

    def test_message_box_holds_back_the_rest_of_its_batch_and_later_batches(self):
        script = {"poll": [
            {"body": batch({"cmd": "messagebox", "caption": "Morrowvane Remote Control Helper",
                            "text": "hello"}, {"cmd": "version"})},
            {"body": batch({"cmd": "initcheck"})},
            {"wait_posts": 2, "body": "close"},
        ]}
        session = self.start(script, [{"args": [URL]}])
        self.display.answer_alert("Return")  # consent
        window = self.display.wait_alert()
        # The helper holds the second batch (it has polled a third time) ...
        harness.wait_for("the third poll", lambda: len(
            [r for r in session.requests() if r["type"] == "poll"]) >= 3)
        # ... but neither the rest of the first batch nor the second has run.
        self.assertEqual(self.posts(session), [])
        self.assertEqual(self.display.answer_alert("Return"), window)
        self.assertEnded(session)
        # Reply POSTs run concurrently, so their order at the server is free.
        posts = self.posts(session)
        self.assertEqual(sorted(posts[:2]), sorted([VERSION_OK, INITCHECK_OK]))
        self.assertEqual(posts[2:], [CLOSE_NOTICE])

    def test_quit_hot_key_sends_its_notice_and_closes_the_gate(self):
        def move(x, y):
            return {"cmd": "mouseevent", "x": x, "y": y, "mode": "", "event": "move"}
        script = {"poll": [
            {"body": batch({"cmd": "initcheck"}, move(100, 200))},
            {"wait_posts": 2, "body": batch(move(300, 400), {"cmd": "version"})},
            {"wait_flag": "stopped", "body": batch({"cmd": "initcheck"})},
            {"wait_posts": 5, "body": "close"},
        ]}
        # A desktop with a status area, watched over D-Bus.
        session = self.start(script, [{"args": [URL]}], desktop=("watcher", "notifications"))
        self.display.answer_alert("Return")

        def shows(tooltip, enabled):
            menu = [{"id": 1, "label": "Stop remote control", "enabled": enabled}]
            items = session.status_items()
            return len(items) == 1 and (items[0]["tooltip"], items[0]["menu"]) == (tooltip, menu)

        harness.wait_for("the first move", lambda: self.pointer() == (1380, 200))
        harness.wait_for("the initcheck reply", lambda: INITCHECK_OK in self.posts(session))
        harness.wait_for("the active status icon", lambda: shows(ACTIVE, True))
        self.assertEqual(session.notifications(), [])
        self.display.key("ctrl+alt+shift+e")
        harness.wait_for("the stopped status icon", lambda: shows(STOPPED, False))
        self.assertEqual(session.notifications(), [STOPPED])
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
        self.assertEqual([line for line in session.log_lines() if "dispatch" not in line][-5:], [
            "MorrowvaneHelper: quit hot key registered: Control+Alt+Shift+E",
            "MorrowvaneHelper: quit hot key pressed",
            'MorrowvaneHelper: "Stop remote control" chosen in the status icon',
            "MorrowvaneHelper: session ended: server closed the session",
            "MorrowvaneHelper: poll loop ending (result=3); terminating",
        ])

    def test_link_on_a_web_page_starts_the_installed_program_through_the_browser(self):
        """The path a user takes: a page of the sharing site sends Chromium to
        the launch link; a managed policy lets that origin open the scheme
        without asking; Chromium hands the link to xdg-open, which finds the
        installed desktop entry and starts the program. Chromium runs as the
        namespace's root, so without its sandbox."""
        page = "<!doctype html><script>location.href = %s;</script>" % json.dumps(URL)
        script = {"other": [{"headers": {"Content-Type": "text/html"}, "body": page}],
                  "poll": [{"body": batch({"cmd": "initcheck"})},
                           {"wait_posts": 1, "body": "close"}]}
        session = harness.Session(BINARY, self.xvfb.display, script,
                                  keep=bool(os.environ.get("MV_E2E_KEEP")))
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
        subprocess.run(["cmake", "--install", os.path.dirname(BINARY), "--prefix", prefix],
                       check=True, capture_output=True, timeout=120)
        subprocess.run(["xdg-mime", "default", "com.morrowvane.Helper.desktop",
                        "x-scheme-handler/morrowvanenativehost"],
                       env=dict(os.environ, **env), check=True, timeout=60)
        # No bus-activated services: with a desktop portal Chromium would ask
        # it instead of xdg-open.
        no_services = os.path.join(session.work, "no-services")
        os.makedirs(no_services)
        session.binds = [(os.path.join(session.work, "chromium"), "/etc/chromium"),
                         (no_services, "/usr/share/dbus-1/services")]
        session.env = env
        # The page's certificate comes from the test CA, which Chromium's own
        # trust store lacks; the program still verifies its connection.
        session.start([{"argv": [
            "chromium", "--no-sandbox", "--user-data-dir=" + os.path.join(home, "chromium"),
            "--no-first-run", "--disable-gpu", "--password-store=basic",
            "--ignore-certificate-errors", "https://test.morrowvane.com/start"]}])
        # Docks match the dialog to the installed entry by its WM_CLASS.
        wm_class = self.display.run(["xprop", "-id", self.display.wait_alert(timeout=60),
                                     "WM_CLASS"]).stdout
        with open(os.path.join(prefix, "share", "applications",
                               "com.morrowvane.Helper.desktop")) as f:
            self.assertIn('"%s"' % f.read().split("StartupWMClass=")[1].split()[0], wm_class)
        self.display.answer_alert("Return")
        harness.wait_for("the close notice", lambda: CLOSE_NOTICE in self.posts(session), 30)
        self.assertEqual([(r["method"], r["target"]) for r in session.requests()[:2]],
                         [("GET", "/start"), ("GET", "/nativehelper?id=abc123")])
        self.assertEqual(self.posts(session), [INITCHECK_OK, CLOSE_NOTICE])
        # xdg-open ran the entry's command with the link as its argument.
        self.assertEqual(session.log_lines()[0], "MorrowvaneHelper: URL from argv: " + URL)

    def test_quit_hot_key_stops_a_long_batch_at_once(self):
        typing = [{"cmd": "keyboardchar", "key": "a"}] * 200000  # seconds of typing, even fast
        script = {"poll": [{"wait_flag": "probe", "body": batch({"cmd": "initcheck"}, *typing)},
                           {"wait_posts": 2, "body": "close"}]}
        session = self.start(script, [{"args": [URL]}])
        self.display.answer_alert("Return")
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
        # The rest of the batch had no effect: typing stopped with the press,
        # not at the end of the batch (a press xdotool makes while the batch
        # types at full speed is sometimes missed and repeated).
        self.assertLess(len(probe.typed_text().replace("e", "")), len(typing))

    # --- endings before a session -------------------------------------------

    def test_declined_consent_makes_no_request(self):
        session = self.start({}, [{"args": [URL]}])
        self.display.answer_alert("Escape")
        self.assertEnded(session)
        self.assertEqual(session.records(), [])
        self.assertEqual(session.log_lines()[-1],
                         "MorrowvaneHelper: user declined remote control, terminating")

    def test_bare_launch_shows_the_information_alert_and_quits(self):
        for sigterm in (False, True):  # the alert answered, or a signal while it is open
            with self.subTest(sigterm=sigterm):
                session = self.start({}, [{"args": []}])
                if sigterm:
                    self.display.wait_alert()
                    os.kill(session.launch_pid(0), signal.SIGTERM)
                else:
                    self.display.answer_alert("Return")
                self.assertEnded(session)
                self.assertEqual(session.records(), [])
                self.assertEqual(session.log_lines(), [])

    def test_refused_argument_url_leads_to_the_bare_alert(self):
        refused = "morrowvanenativehost://evil.example/abc123"
        session = self.start({}, [{"args": [refused, URL]}])
        self.display.answer_alert("Return")
        self.assertEnded(session)
        self.assertEqual(session.records(), [])
        self.assertEqual(session.log_lines(), [
            "MorrowvaneHelper: URL from argv: " + refused,
            "MorrowvaneHelper: server not allowed: evil.example",
        ])

    def test_failed_handshake_ends_without_polling(self):
        session = self.start({"handshake": [{"status": 403, "body": "{}"}]}, [{"args": [URL]}])
        self.display.answer_alert("Return")
        self.assertEnded(session)
        self.assertEqual([r["type"] for r in session.requests()], ["handshake"])
        self.assertEqual(session.log_lines()[-1],
                         "MorrowvaneHelper: initSession failed (no token); terminating")

    # --- a second launch ------------------------------------------------------

    def test_second_launch_with_accepted_url_changes_nothing_in_the_running_instance(self):
        other = "morrowvanenativehost://eu.morrowvane.com/fed42"
        script = {"poll": [{"body": batch({"cmd": "initcheck"})},
                           {"wait_posts": 2, "body": "close"}]}
        session = self.start(script, [
            {"args": [URL], "background": True},
            {"args": [other], "after": "second"},
        ])
        self.display.answer_alert("Return")
        harness.wait_for("the initcheck reply", lambda: INITCHECK_OK in self.posts(session))
        session.raise_flag("second")
        harness.wait_for("the second launch to end",
                         lambda: session.launch_status(1) is not None)
        self.assertEqual(session.launch_status(1), 0)
        session.wait_log("MorrowvaneHelper: session already started; ignoring "
                         "server=eu.morrowvane.com sessionId=fed42")
        # Nothing restarted: one handshake, no second dialog. The server may
        # now close the session.
        self.assertEqual(self.display.visible_windows("^%s$" % harness.ALERT_TITLE), [])
        self.display.key("ctrl+alt+shift+e")  # its notice releases the server's "close"
        self.assertEnded(session)
        self.assertEqual(self.posts(session)[1:], [HOT_KEY_NOTICE, CLOSE_NOTICE])
        self.assertEqual([r["type"] for r in session.requests()].count("handshake"), 1)
        log = session.log_lines()
        self.assertIn("MorrowvaneHelper: GetURL event: " + other, log)
        self.assertNotIn("MorrowvaneHelper: URL rejected, terminating", log)
        self.assertEqual(log[-1], "MorrowvaneHelper: poll loop ending (result=3); terminating")

    def test_second_launch_with_refused_url_ends_the_running_session(self):
        refused = "morrowvanenativehost://test.morrowvane.com/XYZ"
        script = {"poll": [{"stall": True}]}
        session = self.start(script, [
            {"args": [URL], "background": True},
            {"args": [refused], "after": "second"},
        ])
        self.display.answer_alert("Return")
        harness.wait_for("the first poll", lambda: any(
            r["type"] == "poll" for r in session.requests()))
        session.raise_flag("second")
        # The running instance ends at once, although its poll is held.
        self.assertEnded(session, timeout=25)
        self.assertEqual(session.launch_status(1), 0)
        self.assertEqual(self.posts(session), [CLOSE_NOTICE])
        self.assertEqual(session.log_lines()[-2:], [
            "MorrowvaneHelper: GetURL event: " + refused,
            "MorrowvaneHelper: URL rejected, terminating",
        ])

    def test_sigterm_ends_the_session_in_order(self):
        session = self.start({"poll": [{"stall": True}]}, [{"args": [URL]}])
        self.display.answer_alert("Return")
        harness.wait_for("the first poll", lambda: any(
            r["type"] == "poll" for r in session.requests()))
        os.kill(session.launch_pid(0), signal.SIGTERM)
        # Teardown closes the session although the poll is held.
        self.assertEnded(session, timeout=25)
        self.assertEqual(self.posts(session), [CLOSE_NOTICE])
        self.assertEqual(session.log_lines()[-1],
                         "MorrowvaneHelper: initSession ok; entering poll loop")

    def test_sigterm_under_a_message_box_ends_the_program_and_the_batch(self):
        move = {"cmd": "mouseevent", "x": 100, "y": 200, "mode": "", "event": "move"}
        script = {"poll": [{"body": batch({"cmd": "initcheck"}, {"cmd": "messagebox"}, move,
                                          {"cmd": "version"})}, {"stall": True}],
                  "post": [{}, TRICKLED_CLOSE]}
        session = self.start(script, [{"args": [URL]}])
        self.display.answer_alert("Return")
        self.display.wait_alert()
        before = self.pointer()
        os.kill(session.launch_pid(0), signal.SIGTERM)
        # Well before the server finishes its answer to the close notice.
        self.assertEnded(session, timeout=30)
        self.assertEqual(self.posts(session), [INITCHECK_OK, CLOSE_NOTICE])
        self.assertEqual(self.pointer(), before)

    def test_second_sigterm_ends_a_slow_close_at_once(self):
        session = self.start({"poll": [{"stall": True}], "post": [TRICKLED_CLOSE]},
                             [{"args": [URL]}])
        self.display.answer_alert("Return")
        harness.wait_for("the first poll", lambda: any(
            r["type"] == "poll" for r in session.requests()))
        pid = session.launch_pid(0)
        os.kill(pid, signal.SIGTERM)
        harness.wait_for("the close notice", lambda: self.posts(session))
        os.kill(pid, signal.SIGTERM)
        self.assertEqual(session.wait_end(30), 128 + signal.SIGTERM)

    def test_launch_during_teardown_becomes_the_running_instance(self):
        script = {"poll": [{"stall": True}, {"body": "close"}], "post": [TRICKLED_CLOSE]}
        session = self.start(script, [{"args": [URL], "background": True},
                                      {"args": [OTHER_URL], "after": "second"}])
        self.display.answer_alert("Return")
        harness.wait_for("the first poll", lambda: any(
            r["type"] == "poll" for r in session.requests()))
        os.kill(session.launch_pid(0), signal.SIGTERM)
        harness.wait_for("the close notice", lambda: self.posts(session))
        session.raise_flag("second")
        self.display.answer_alert("Return")  # the second launch's own consent
        self.assertEnded(session)
        self.assertEqual(session.launch_status(1), 0)
        self.assertEqual([r["target"] for r in session.requests() if r["type"] == "handshake"],
                         ["/nativehelper?id=abc123", "/nativehelper?id=fed42"])

    # --- the idle limit -------------------------------------------------------

    def test_stalled_server_ends_the_program_after_the_idle_limit(self):
        session = self.start({"poll": [{"stall": 90}]}, [{"args": [URL]}])
        self.display.answer_alert("Return")
        self.assertEnded(session, timeout=75)
        self.assertEqual(session.log_lines()[-1],
                         "MorrowvaneHelper: poll loop ending (result=3); terminating")
        self.assertEqual(self.posts(session), [CLOSE_NOTICE])


if __name__ == "__main__":
    BINARY = sys.argv.pop(1)
    unittest.main(verbosity=2)
