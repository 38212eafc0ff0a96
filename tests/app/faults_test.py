#!/usr/bin/env python3
"""A misbehaving sharing server (garbage, cut, reset, huge or deeply nested
bodies, wrong certificates, redirects, a connection per response) and a long
session against the real helper program, through tools/e2e/harness.py.

Usage: faults_test.py BINARY [unittest arguments, e.g. ServerFaults.test_bodies_it_cannot_use]
The soak's command count is MV_SOAK_COMMANDS (default 10000; the full run is 100000).
"""

import collections
import json
import os
import sys
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)),
                                "..", "..", "tools", "e2e"))
import harness  # noqa: E402
from e2e_test import CLOSE_NOTICE, ENDED, H, INITCHECK_OK, VERSION_OK, batch, envelope  # noqa

PROBE = os.environ.get("MV_X11_PROBE")
ERROR_ANSWER = [H + "session ended: error answer", H + "poll loop ending (result=2); terminating"]
TRANSPORT_FAILED = [H + "session ended: transport failed", ENDED]
OTHER_HOST = "wrong.morrowvane.test"
MIB = 1024 * 1024
DEEP = 100000


def translate(x, y):
    return {"cmd": "translatexywh", "x": x, "y": y, "w": 100, "h": 100}


def translated(x, y):
    """The reply for a 100x100 rectangle on the 1920x1080 main monitor, which
    sits at the origin of the display space."""
    r = 65536
    return envelope({"cmd": "translatexywh", "x": round(x * r / 1920), "y": round(y * r / 1080),
                     "w": round(100 * r / 1920), "h": round(100 * r / 1080), "result": "ok"})


KINDS = [lambda n: {"cmd": "mouseevent", "mode": "", "event": "move", "x": n % 1920, "y": n % 1080},
         lambda n: {"cmd": "mouseevent", "mode": "screen", "event": "move",
                    "x": n % 65536, "y": n % 65536},
         lambda n: {"cmd": "mouseevent", "mode": "", "x": n % 1920, "y": n % 1080,
                    "event": ("lc", "rc", "dbllc")[n % 3]},
         lambda n: [{"cmd": "mouseevent", "mode": "", "event": event, "x": x, "y": n % 1080}
                    for event, x in (("dragstart", 10), ("move", 500), ("dragstop", 900))],
         lambda n: {"cmd": "keyboardchar", "key": ("hello", "Grüße", "€5", "\U0001F600")[n % 4]},
         lambda n: {"cmd": "keyboardevent",
                    "event": ("Return", "Left", "SelectLongLeft", "Backspace", "Tab")[n % 5]},
         lambda n: translate(n % 1820, n // 1820 % 980),  # each reply names its request
         lambda n: {"cmd": "keepalive"}]


class Commands:
    """Batches of about 100 pointer, typing, key and replying commands, each
    ending in a reply; replies_through[i]: the number of replies once batch i ran."""

    def __init__(self, count):
        self.batches, self.replies_through = [], []
        while len(self.batches) * 100 < count:
            head = [] if self.batches else [{"cmd": "initcheck"}]
            first = len(self.batches) * 99
            body = [KINDS[n % len(KINDS)](n) for n in range(first, first + 99 - len(head))]
            self.batches.append(head + [c for b in body for c in (b if isinstance(b, list) else [b])]
                                + [{"cmd": "version"}])
            self.replies_through.append(sum(c["cmd"] in ("initcheck", "translatexywh", "version")
                                            for b in self.batches for c in b))

    def count(self):
        return sum(map(len, self.batches))


def batch_text(commands):
    return batch(*commands)


def paced_polls(commands, flags):
    """One batch per poll once every reply of the one before is in, the
    batches of `flags` (index: name) once that flag is raised too; then,
    after the flag "end", the session's close."""
    polls = [{"body": batch_text(b), "wait_posts": ([0] + commands.replies_through)[i]}
             for i, b in enumerate(commands.batches)]
    for index, flag in flags.items():
        polls[index]["wait_flag"] = flag
    return polls + [{"wait_posts": commands.replies_through[-1], "wait_flag": "end",
                     "body": "close"}]


class ServerFaults(harness.HelperCase):

    def assertEndsWith(self, session, lines, posts=(CLOSE_NOTICE,)):
        self.assertEnded(session)
        self.assertEqual(session.log_lines()[-len(lines):], lines)
        self.assertEqual(self.posts(session), list(posts))

    def test_bodies_it_cannot_use(self):
        version = batch({"cmd": "version"})
        rows = [("garbage", {"status": 502, "body": "<html>502 Bad Gateway</html>"}, ERROR_ANSWER),
                ("nested beyond reason", {"body": "[" * DEEP + "]" * DEEP}, ERROR_ANSWER),
                ("cut short", {"body": version, "cut_after": 20}, TRANSPORT_FAILED),
                ("reset", {"body": version, "reset_after": 20}, TRANSPORT_FAILED)]
        for row, poll, ending in rows:
            with self.subTest(row):
                session = self.start({"poll": [poll]})
                self.assertEndsWith(session, ending)
                self.assertEqual([r["type"] for r in session.requests()],
                                 ["handshake", "poll", "post"])
                self.assertNotIn(H + "dispatch cmd=version", session.log_lines())

    def test_50_mb_bodies_are_refused_and_never_held_whole(self):
        # Without a length (chunked) the limit applies while the body streams in.
        for chunked in (False, True):
            with self.subTest(chunked=chunked):
                # A valid batch once stripped: only its size is wrong. The first
                # poll is held until the baseline is taken, the close notice
                # until the peak is.
                script = {"poll": [{"wait_flag": "baseline", "body": "timeout"},
                                   {"body": batch({"cmd": "version"}), "pad_to": 50 * MIB,
                                    "pad_char": " ", "chunked": chunked}],
                          "post": [{"wait_flag": "peak"}]}
                session = self.start(script)
                pid = session.launch_pid(0)
                harness.wait_for("the first poll", lambda: session.requests()[1:])
                baseline = harness.proc_status_kib(pid, "VmHWM")
                session.raise_flag("baseline")
                harness.wait_for("the close notice", lambda: self.posts(session), timeout=60)
                peak = harness.proc_status_kib(pid, "VmHWM")
                session.raise_flag("peak")
                self.assertEndsWith(session, TRANSPORT_FAILED)
                if not harness.sanitized(self.BINARY):  # a sanitizer's RSS is its own
                    self.assertLess((peak - baseline) / 1024, 40, "peak RSS growth in MiB")

    def test_servers_it_must_not_trust(self):
        elsewhere = "https://%s/nativehelper" % OTHER_HOST
        # The other host leads to this server too, so a followed redirect would
        # show up as a connection failing TLS (the certificate is not for it).
        redirects = {
            "handshake": [{"status": 302, "headers": {"Location": elsewhere + "?id=abc123"},
                           "body": json.dumps({"token": "from-the-redirect"})}],
            "poll": [{"status": 307, "headers": {"Location": elsewhere + "?token=x"},
                      "body": batch({"cmd": "version"})},
                     {"wait_posts": 1, "status": 301, "headers": {"Location": elsewhere},
                      "body": "close"}]}
        for cert in ("wronghost", "rogue"):
            with self.subTest(cert=cert):
                session = self.start({}, cert=cert)
                self.assertEndsWith(session, [
                    H + "initSession GET ?id=abc123 -> (nil/transport error)",
                    H + "initSession failed (no token); terminating"], posts=[])
                # It did connect: the certificate, not the network, stopped it.
                self.assertTrue([r for r in session.records() if r["kind"] == "connection"])
        with self.subTest("redirects"):
            session = self.start(redirects, extra_hosts=[OTHER_HOST])
            self.assertEndsWith(session, [H + "session ended: server closed the session", ENDED],
                                posts=[VERSION_OK, CLOSE_NOTICE])
            requests = session.requests()
            self.assertEqual([r["type"] for r in requests],
                             ["handshake", "poll", "poll", "post", "post"])
            # The redirect's own body is what the helper read: its token.
            for r in requests[1:]:
                self.assertEqual(r["target"], "/nativehelper?token=from-the-redirect")
            self.assertTrue(all(r["tls"] == "ok" for r in session.records()
                                if r["kind"] == "connection"))

    def test_server_closing_the_connection_after_every_response_still_polls(self):
        polls = []
        for index, x in enumerate([0, 480, 960, 1440]):
            polls += [{"wait_posts": 2 * index, "close": True,
                       "body": batch(translate(x, 540), {"cmd": "version"})},
                      {"close": True, "body": "timeout"}]
        polls.append({"wait_posts": 8, "close": True, "body": "close"})
        script = {"handshake": [{"close": True, "body": json.dumps({"token": "test-token"})}],
                  "poll": polls, "post": [{"close": True, "repeat": 9}]}
        session = self.start(script)
        self.assertEnded(session)
        posts = self.posts(session)
        self.assertEqual(posts[-1], CLOSE_NOTICE)
        self.assertEqual(sorted(posts[:-1]), sorted(
            [translated(x, 540) for x in [0, 480, 960, 1440]] + [VERSION_OK] * 4))
        gets = [r for r in session.requests() if r["method"] == "GET"]
        self.assertEqual(len(gets), 1 + len(polls))
        self.assertEqual(len({r["conn"] for r in gets}), len(gets))  # a connection each

    def test_replies_held_at_teardown_and_a_deeply_nested_batch(self):
        # Replies the server never answers are given up on and logged while
        # the program tears down (a ThreadSanitizer build fails on a race).
        held = {"poll": [{"body": batch(*[{"cmd": "version"}] * 100)},
                         {"wait_posts": 100, "body": "close"}],
                "post": [{"stall": True, "repeat": 100}]}
        session = self.start(held)
        self.assertEnded(session)
        self.assertEqual(self.posts(session).count(CLOSE_NOTICE), 1)
        # Nesting neither crashes the parser nor stops later batches.
        arrays, objects = "[" * DEEP + "]" * DEEP, '{"a":' * DEEP + "1" + "}" * DEEP
        first = ('{"messages":[{"payload":%s},{"payload":{"cmd":"version","deep":%s}}],'
                 '"extra":%s}' % (arrays, objects, arrays))
        session = self.start({"poll": [{"body": first},
                                       {"wait_posts": 2, "body": batch(translate(960, 540))},
                                       {"wait_posts": 3, "body": "close"}]})
        self.assertEnded(session, timeout=60)
        self.assertEqual(session.log_lines()[-1], ENDED)
        posts = self.posts(session)
        self.assertEqual(sorted(posts[:2]), sorted([
            envelope({"cmd": "", "result": "error", "detail": "Unknown command."}), VERSION_OK]))
        self.assertEqual(posts[2:], [translated(960, 540), CLOSE_NOTICE])

    def test_every_reply_once_memory_flat_nothing_held(self):
        commands = Commands(int(os.environ.get("MV_SOAK_COMMANDS", "10000")))
        warm = len(commands.batches) // 10  # RSS is taken once this many batches ran
        session = self.start({"poll": paced_polls(commands, {warm: "warm"})})
        pid, posts = session.launch_pid(0), []

        def posts_reach(n):
            posts.extend(r["body"] for r in session.follow()
                         if r.get("kind") == "request" and r["method"] == "POST")
            return len(posts) >= n
        # Between batches, so the helper is idle while measured.
        harness.wait_for("the warm-up", lambda: posts_reach(commands.replies_through[warm - 1]),
                         120)
        rss_warm = harness.proc_status_kib(pid, "VmRSS")
        session.raise_flag("warm")
        harness.wait_for("every reply", lambda: posts_reach(commands.replies_through[-1]),
                         60 + commands.count() / 50)
        rss_end = harness.proc_status_kib(pid, "VmRSS")
        keys, buttons = harness.pressed_state(PROBE, self.xvfb.display)
        session.raise_flag("end")
        self.assertEnded(session, timeout=60)
        posts_reach(0)
        sent = [c for b in commands.batches for c in b]
        expected = collections.Counter({INITCHECK_OK: 1, VERSION_OK: sum(
            c["cmd"] == "version" for c in sent)})
        expected.update(translated(c["x"], c["y"]) for c in sent if c["cmd"] == "translatexywh")
        self.assertEqual(collections.Counter(posts[:-1]), expected)
        self.assertEqual(posts[-1:], [CLOSE_NOTICE])
        self.assertEqual((keys, buttons), ([], 0), "keys or buttons held after the run")
        if not harness.sanitized(self.BINARY):  # a sanitizer's allocator keeps freed memory
            self.assertLess((rss_end - rss_warm) / rss_warm, 0.15, (rss_warm, rss_end))

if __name__ == "__main__":
    harness.HelperCase.BINARY = sys.argv.pop(1)
    unittest.main(verbosity=2)
