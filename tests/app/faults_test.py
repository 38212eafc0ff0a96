#!/usr/bin/env python3
"""A misbehaving sharing server against the real helper program: bodies that
are garbage, cut short, reset, huge or nested beyond reason, certificates for
the wrong name, redirects, and a server that closes every connection. Each
run is a real session in the private namespace of tools/e2e/harness.py.

Usage: faults_test.py BINARY [unittest arguments, e.g. ServerFaults.test_garbage_poll_body]
"""

import json
import os
import sys
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)),
                                "..", "..", "tools", "e2e"))
import harness  # noqa: E402
from e2e_test import CLOSE_NOTICE, VERSION_OK, batch, envelope  # noqa: E402

POLL_ERROR = "MorrowvaneHelper: poll loop ending (result=2); terminating"
POLL_CLOSED = "MorrowvaneHelper: poll loop ending (result=3); terminating"
# How the log ends when the server answered something unusable, and when no
# answer came whole.
ERROR_ANSWER = ["MorrowvaneHelper: session ended: error answer", POLL_ERROR]
TRANSPORT_FAILED = ["MorrowvaneHelper: session ended: transport failed", POLL_CLOSED]
OTHER_HOST = "wrong.morrowvane.test"
MIB = 1024 * 1024


def translate(x, y, w=1920, h=1080):
    return {"cmd": "translatexywh", "x": x, "y": y, "w": w, "h": h}


def translated(x, y, w=1920, h=1080):
    """The reply for a rectangle inside the 1920x1080 main monitor at the
    origin of the display space (the harness's layout), for values that
    convert without rounding."""
    ratio = 65536
    return envelope({"cmd": "translatexywh", "x": x * ratio // 1920, "y": y * ratio // 1080,
                     "w": min(w * ratio // 1920, ratio), "h": min(h * ratio // 1080, ratio),
                     "result": "ok"})


class ServerFaults(harness.HelperCase):

    def assertEndsWith(self, session, lines, posts=(CLOSE_NOTICE,)):
        self.assertEnded(session)
        self.assertEqual(session.log_lines()[-len(lines):], lines)
        self.assertEqual(self.posts(session), list(posts))

    # --- bodies the helper cannot use --------------------------------------

    def test_garbage_poll_body_is_a_poll_error(self):
        session = self.start({"poll": [
            {"status": 502, "body": "<html><body>502 Bad Gateway</body></html>"}]})
        self.assertEndsWith(session, ERROR_ANSWER)
        self.assertEqual([r["type"] for r in session.requests()], ["handshake", "poll", "post"])

    def test_deeply_nested_poll_body_that_is_no_batch_is_a_poll_error(self):
        depth = 100000
        session = self.start({"poll": [{"body": "[" * depth + "]" * depth}]})
        self.assertEndsWith(session, ERROR_ANSWER)

    def test_truncated_body_is_a_transport_failure(self):
        # The server promises the whole batch and closes after 20 bytes.
        session = self.start({"poll": [{"body": batch({"cmd": "version"}), "cut_after": 20}]})
        self.assertEndsWith(session, TRANSPORT_FAILED)
        self.assertNotIn("MorrowvaneHelper: dispatch cmd=version", session.log_lines())

    def test_connection_reset_mid_body_is_a_transport_failure(self):
        session = self.start({"poll": [{"body": batch({"cmd": "version"}), "reset_after": 20}]})
        self.assertEndsWith(session, TRANSPORT_FAILED)
        self.assertNotIn("MorrowvaneHelper: dispatch cmd=version", session.log_lines())

    def assertHugeBodyRefused(self, **delivery):
        size = 50 * MIB
        script = {
            # The first poll is held until the baseline is taken; the close
            # notice until the peak is.
            "poll": [{"wait_flag": "baseline", "body": "timeout"},
                     # A valid batch once stripped: only its size is wrong.
                     dict(body=batch({"cmd": "version"}), pad_to=size, pad_char=" ", **delivery)],
            "post": [{"wait_flag": "peak"}],
        }
        session = self.start(script)
        pid = session.launch_pid(0)
        harness.wait_for("the first poll", lambda: any(
            r["type"] == "poll" for r in session.requests()))
        baseline = harness.proc_status_kib(pid, "VmHWM")
        self.assertIsNotNone(baseline)
        session.raise_flag("baseline")
        harness.wait_for("the close notice", lambda: self.posts(session), timeout=60)
        peak = harness.proc_status_kib(pid, "VmHWM")
        session.raise_flag("peak")
        self.assertEndsWith(session, TRANSPORT_FAILED)
        self.assertIsNotNone(peak)
        if harness.sanitized(self.BINARY):
            return  # its RSS is the sanitizer's; the run itself has been checked
        # Holding the body whole (let alone a copy of it) would take more
        # than its 50 MiB.
        growth_mib = (peak - baseline) / 1024
        self.assertLess(growth_mib, 40, "peak RSS grew by %.1f MiB" % growth_mib)

    def test_50_mb_body_is_a_transport_failure_and_is_never_held_whole(self):
        self.assertHugeBodyRefused()

    def test_50_mb_chunked_body_without_a_length_is_refused_the_same_way(self):
        # No length to refuse up front: the limit applies while it streams in.
        self.assertHugeBodyRefused(chunked=True)

    # --- the server's identity ---------------------------------------------

    def assertRefusedServer(self, cert):
        session = self.start({}, cert=cert)
        self.assertEnded(session)
        self.assertEqual(session.requests(), [])  # not even the handshake's GET
        # It did connect: the certificate, not the network, stopped it. (With
        # TLS 1.3 the server may finish its side before the client refuses.)
        self.assertTrue([r for r in session.records() if r["kind"] == "connection"])
        self.assertEqual(session.log_lines()[-2:], [
            "MorrowvaneHelper: initSession GET ?id=abc123 -> (nil/transport error)",
            "MorrowvaneHelper: initSession failed (no token); terminating",
        ])

    def test_certificate_for_another_host_fails_the_handshake(self):
        self.assertRefusedServer("wronghost")

    def test_certificate_from_an_untrusted_authority_fails_the_handshake(self):
        self.assertRefusedServer("rogue")

    def test_redirect_to_another_host_is_not_followed(self):
        # The other host leads to this server too, so a followed redirect
        # would show up in the record (as a failed TLS connection: the
        # certificate is not for that name).
        elsewhere = "https://%s/nativehelper" % OTHER_HOST
        script = {
            "handshake": [{"status": 302, "headers": {"Location": elsewhere + "?id=abc123"},
                           "body": json.dumps({"token": "from-the-redirect"})}],
            "poll": [{"status": 307, "headers": {"Location": elsewhere + "?token=x"},
                      "body": batch({"cmd": "version"})},
                     {"wait_posts": 1, "status": 301, "headers": {"Location": elsewhere},
                      "body": "close"}],
        }
        session = self.start(script, extra_hosts=[OTHER_HOST])
        self.assertEndsWith(session, ["MorrowvaneHelper: session ended: server closed the session",
                                      POLL_CLOSED], posts=[VERSION_OK, CLOSE_NOTICE])
        requests = session.requests()
        self.assertEqual([r["type"] for r in requests], ["handshake", "poll", "poll", "post", "post"])
        # The redirect's own body is what the helper read: its token.
        for r in requests[1:]:
            self.assertEqual(r["target"], "/nativehelper?token=from-the-redirect")
        connections = [r for r in session.records() if r["kind"] == "connection"]
        self.assertTrue(all(c["tls"] == "ok" for c in connections), connections)

    # --- connections ---------------------------------------------------------

    def test_server_closing_the_connection_after_every_response_still_polls(self):
        lefts = [0, 480, 960, 1440]
        polls = []
        for index, x in enumerate(lefts):
            polls.append({"wait_posts": 2 * index, "close": True,
                          "body": batch(translate(x, 540), {"cmd": "version"})})
            polls.append({"close": True, "body": "timeout"})
        polls.append({"wait_posts": 2 * len(lefts), "close": True, "body": "close"})
        script = {"handshake": [{"close": True, "body": json.dumps({"token": "test-token"})}],
                  "poll": polls,
                  "post": [{"close": True, "repeat": 2 * len(lefts) + 1}]}
        session = self.start(script)
        self.assertEnded(session)
        self.assertEqual(session.log_lines()[-1], POLL_CLOSED)
        posts = self.posts(session)
        self.assertEqual(posts[-1], CLOSE_NOTICE)
        self.assertEqual(sorted(posts[:-1]),
                         sorted([translated(x, 540) for x in lefts] + [VERSION_OK] * len(lefts)))
        gets = [r for r in session.requests() if r["method"] == "GET"]
        self.assertEqual(len(gets), 1 + len(polls))
        # Every request came on a connection of its own.
        self.assertEqual(len({r["conn"] for r in gets}), len(gets))

    def test_replies_held_at_teardown_are_logged_before_the_platform_goes(self):
        # The server holds every reply; the session then ends and the client
        # gives up on them, logging each one while the program tears down.
        count = 100
        script = {"poll": [{"body": batch(*[{"cmd": "version"}] * count)},
                           {"wait_posts": count, "body": "close"}],
                  "post": [{"stall": True, "repeat": count}]}
        session = self.start(script)
        self.assertEnded(session)  # a ThreadSanitizer build fails it on a race
        self.assertEqual(self.posts(session).count(CLOSE_NOTICE), 1)

    # --- nesting -------------------------------------------------------------

    def test_deeply_nested_batch_neither_crashes_nor_stops_later_batches(self):
        depth = 100000
        arrays = "[" * depth + "]" * depth
        objects = '{"a":' * depth + "1" + "}" * depth
        first = ('{"messages":[{"payload":%s},{"payload":{"cmd":"version","deep":%s}}],'
                 '"extra":%s}' % (arrays, objects, arrays))
        script = {"poll": [{"body": first},
                           {"wait_posts": 2, "body": batch(translate(960, 540))},
                           {"wait_posts": 3, "body": "close"}]}
        session = self.start(script)
        self.assertEnded(session, timeout=60)
        posts = self.posts(session)
        self.assertEqual(sorted(posts[:2]), sorted([
            envelope({"cmd": "", "result": "error", "detail": "Unknown command."}), VERSION_OK]))
        self.assertEqual(posts[2:], [translated(960, 540), CLOSE_NOTICE])
        self.assertEqual(session.log_lines()[-1], POLL_CLOSED)


if __name__ == "__main__":
    harness.HelperCase.BINARY = sys.argv.pop(1)
    unittest.main(verbosity=2)
