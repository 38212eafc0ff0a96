#!/usr/bin/env python3
# A misbehaving sharing server and a long session against the real helper.
# Usage: faults_test.py BINARY [unittest arguments, e.g. ServerFaults.test_bodies_it_cannot_use]
# The soak's command count is MV_SOAK_COMMANDS (default 10000; the full run is 100000); the
# reply flood's batch size and length are MV_FLOOD_COMMANDS and MV_FLOOD_SECONDS (default 100000
# and 20; the full run is 350000 and 120).

import collections
import itertools
import os
import sys
import time
import unittest

from e2e_test import CLOSE_NOTICE, ENDED, H, INITCHECK_OK, PROBE, VERSION_OK, batch, \
    envelope, harness

ERROR_ANSWER = [H + "session ended: error answer", H + "poll loop ending (result=2); terminating"]
TRANSPORT_FAILED = [H + "session ended: transport failed", ENDED[1]]
DEEP = 100000


def translated(x, y):
    # The reply for a 100x100 rectangle on the 1920x1080 main monitor, the
    # origin of the display space.
    return envelope({"cmd": "translatexywh", "x": round(x * 65536 / 1920),
                     "y": round(y * 65536 / 1080), "w": 3413, "h": 6068, "result": "ok"})


def soak_commands(n):
    # Command n of the soak's mix (pointer, typing, key and replying ones), as a list.
    mouse, pick = {"cmd": "mouseevent", "mode": "", "x": n % 1920, "y": n % 1080}, \
        lambda options: options[n % len(options)]
    return [[dict(mouse, event="move")], [dict(mouse, mode="screen", event="move", x=n % 65536)],
            [dict(mouse, event=pick(("lc", "rc", "dbllc")))],
            [dict(mouse, event=e, x=x) for e, x in (("dragstart", 10), ("move", 500), ("dragstop", 900))],
            [{"cmd": "keyboardchar", "key": pick(("hello", "Grüße", "€5", "\U0001F600"))}],
            [{"cmd": "keyboardevent", "event": pick(("Return", "Left", "SelectLongLeft", "Backspace"))}],
            [{"cmd": "translatexywh", "x": n % 1820, "y": n // 1820 % 980, "w": 100, "h": 100}],
            [{"cmd": "keepalive"}]][n % 8]


# Batches of about 100 commands, each ending in a version; replies_through[i]:
# the number of replies once batch i ran.
class Commands:
    def __init__(self, count):
        self.batches = [[{"cmd": "initcheck"}] * (b == 0) + [c for n in range(b * 99, b * 99 + 99)
                                                            for c in soak_commands(n)]
                        + [{"cmd": "version"}] for b in range(-(-count // 100))]
        self.replies_through = list(itertools.accumulate(sum(
            c["cmd"] in ("initcheck", "translatexywh", "version") for c in b) for b in self.batches))

    def polls(self, flags):
        # One batch per poll once every reply of the one before is in, the
        # batches of `flags` (index: name) once that flag is raised too; then,
        # after the flag "end", the session's close.
        return [{"body": batch(*b), "wait_posts": ([0] + self.replies_through)[i]}
                | ({"wait_flag": flags[i]} if i in flags else {}) for i, b in enumerate(self.batches)
                ] + [{"wait_posts": self.replies_through[-1], "wait_flag": "end", "body": "close"}]


class ServerFaults(harness.HelperCase):
    def setUp(self):
        super().setUp()
        # ASan and TSan builds: their memory use is their own.
        with open(self.BINARY, "rb") as f:
            data = f.read()
        self.sanitized = b"__asan_init" in data or b"__tsan_init" in data

    def test_bodies_it_cannot_use(self):
        # Each answer to the second poll ends the session as its row says,
        # with the close notice, never holding a 50 MB body whole (without a
        # length, the limit applies while it streams in). Replies the server
        # never answers, six at a time, are given up on and logged at teardown
        # (a ThreadSanitizer build fails on a race).
        version = batch({"cmd": "version"})
        huge = {"body": version, "pad_to": 50 * 1024 * 1024}  # a valid batch once stripped
        # (row, polls after the first, replies the server holds, the log's end)
        for row, polls, held, ending in [
                ("garbage", [{"status": 502, "body": "<html>502</html>"}], 0, ERROR_ANSWER),
                ("nested beyond reason", [{"body": "[" * DEEP + "]" * DEEP}], 0, ERROR_ANSWER),
                ("cut short", [{"body": version, "cut_after": 20}], 0, TRANSPORT_FAILED),
                ("reset", [{"body": version, "reset_after": 20}], 0, TRANSPORT_FAILED),
                ("silent for the idle limit", [{"stall": True}], 0, TRANSPORT_FAILED),
                ("50 MB", [huge], 0, TRANSPORT_FAILED),
                ("50 MB chunked", [dict(huge, chunked=True)], 0, TRANSPORT_FAILED),
                ("replies never answered", [{"body": batch(*[{"cmd": "version"}] * 100)},
                                            {"wait_posts": 6, "wait_flag": "ran", "body": "close"}],
                 6, ENDED + [
                     H + "reply POST failed: code=0 err=Operation was aborted by an application "
                         "callback"] * 100)]:
            with self.subTest(row):
                # The first poll is held until the baseline is taken, the
                # close notice until the peak is.
                session = self.start({"poll": [{"wait_flag": "baseline", "body": "timeout"}] + polls,
                                      "post": [{"stall": True}] * held + [{"wait_flag": "peak"}]})
                pid = session.launch_pid(0)
                harness.wait_for("the first poll", lambda: session.requests()[1:])
                baseline = harness.proc_status_kib(pid, "VmHWM")
                session.raise_flag("baseline")
                start = time.monotonic()
                if held:  # the close comes once the whole batch ran, as a slow machine may not
                    harness.wait_for("the batch run", lambda: session.log_lines().count(
                        H + "dispatch cmd=version") == 100, 60)
                    session.raise_flag("ran")
                harness.wait_for("the close notice", lambda: CLOSE_NOTICE in self.posts(session), 60)
                if row == "silent for the idle limit":  # 30 s, not a tenth or ten times that
                    self.assertGreater(time.monotonic() - start, 25)
                peak = harness.proc_status_kib(pid, "VmHWM")
                session.raise_flag("peak")
                self.assertEnded(session)
                self.assertEqual(session.log_lines()[-len(ending):], ending)
                self.assertEqual(self.posts(session), [VERSION_OK] * held + [CLOSE_NOTICE])
                if not self.sanitized:
                    self.assertLess((peak - baseline) / 1024, 40, "peak RSS growth in MiB")

    def test_every_reply_once_memory_flat_nothing_held(self):
        # Every reply arrives once, memory stays flat and no key or button is
        # left held, while the server closes the connection after the
        # handshake, every other poll and some replies.
        commands = Commands(int(os.environ.get("MV_SOAK_COMMANDS", "10000")))
        warm = len(commands.batches) // 10  # RSS is taken once this many batches ran
        polls = [dict(p, close=i % 2 == 0) for i, p in enumerate(commands.polls({warm: "warm"}))]
        session = self.start({"handshake": [{"close": True, "body": '{"token": "test-token"}'}],
                              "poll": polls, "post": [{"close": True}, {}] * 50})
        pid, posts = session.launch_pid(0), []

        def posts_reach(n):
            posts.extend(r["body"] for r in session.records(follow=True)
                         if r["kind"] == "request" and r["method"] == "POST")
            return len(posts) >= n
        # Between batches, so the helper is idle while measured.
        harness.wait_for("the warm-up", lambda: posts_reach(commands.replies_through[warm - 1]),
                         120)
        rss_warm = harness.proc_status_kib(pid, "VmRSS")
        session.raise_flag("warm")
        harness.wait_for("every reply", lambda: posts_reach(commands.replies_through[-1]),
                         60 + len(commands.batches) * 2)
        rss_end = harness.proc_status_kib(pid, "VmRSS")
        held = self.display.run([PROBE, "--pressed"], check=True).stdout
        session.raise_flag("end")
        self.assertEnded(session, timeout=60)
        posts_reach(0)
        sent = [c for b in commands.batches for c in b]
        expected = collections.Counter({INITCHECK_OK: 1, VERSION_OK: len(commands.batches)})
        expected.update(translated(c["x"], c["y"]) for c in sent if c["cmd"] == "translatexywh")
        self.assertEqual(collections.Counter(posts[:-1]), expected)
        self.assertEqual(posts[-1:], [CLOSE_NOTICE])
        self.assertEqual(held.split(), ["keys", "buttons", "0"], "keys or buttons held")
        if not self.sanitized:
            self.assertLess((rss_end - rss_warm) / rss_warm, 0.15, (rss_warm, rss_end))

    def test_reply_flood_pauses_polling_memory_and_log_bounded(self):
        # Batches of versions, as many as it takes, while the server answers no
        # reply: once the replies back up the helper stops polling, its memory
        # and log folder stay bounded, and once the server answers again the
        # replies drain and polling resumes.
        count = int(os.environ.get("MV_FLOOD_COMMANDS", "100000"))
        seconds = float(os.environ.get("MV_FLOOD_SECONDS", "20"))
        flood = {"body": batch(*[{"cmd": "version"}] * count), "until_flag": "answer", "repeat": 50}
        session = self.start({"poll": [flood, {"body": "close"}],
                              "post": [{"wait_flag": "answer", "repeat": 1000}]})
        pid, folder, seen = session.launch_pid(0), session.path("state", "MorrowvaneHelper"), []

        def polls_reach(n):
            seen.extend(r["type"] for r in session.records(follow=True) if r.get("type") in ("poll", "post"))
            return seen.count("poll") >= n
        harness.wait_for("the first replies", lambda: polls_reach(0) and "post" in seen, 60)
        rss, end, halfway = [], time.monotonic() + seconds, None
        while time.monotonic() < end:
            rss.append(harness.proc_status_kib(pid, "VmRSS") or 0)
            polls_reach(0)
            if halfway is None and time.monotonic() > end - seconds / 2:
                halfway = seen.count("poll")
            time.sleep(0.5)
        log_bytes = sum(os.path.getsize(os.path.join(folder, f)) for f in os.listdir(folder))
        session.raise_flag("answer")
        start, waiting = time.monotonic(), seen.count("poll")
        harness.wait_for("polling to resume", lambda: polls_reach(waiting + 1), 600)
        print("flood of %d x %.0f s: RSS max %.0f MiB, log folder %.1f MiB, %d batches taken, "
              "polling resumed after %.0f s" % (count, seconds, max(rss) / 1024, log_bytes / 2**20,
                                               waiting, time.monotonic() - start), file=sys.stderr)
        self.assertEqual(halfway, waiting, "polls in the second half of the flood")
        self.assertLess(waiting, 50, "batches taken while no reply was answered")
        self.assertLess(log_bytes, 25 * 2**20)
        if not self.sanitized:
            self.assertLess(max(rss) / 1024, 150, "RSS in MiB")
        self.assertEnded(session, timeout=600)
        self.assertEqual(set(self.posts(session)), {VERSION_OK, CLOSE_NOTICE})


if __name__ == "__main__":
    harness.HelperCase.BINARY = sys.argv.pop(1)
    unittest.main(verbosity=2)
