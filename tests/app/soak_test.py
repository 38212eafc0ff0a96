#!/usr/bin/env python3
"""A long session through the real helper program: many batches of pointer,
typing, key and replying commands from the scripted server, which counts
every reply. None may be lost or come twice, the helper's memory must stay
flat once warm, and no key or button may be left held in the X server.

Usage: soak_test.py BINARY X11_PROBE [unittest arguments]
The number of commands is MV_SOAK_COMMANDS (default 10000; the full run is
100000), sent in batches of 100.
"""

import collections
import json
import os
import sys
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)),
                                "..", "..", "tools", "e2e"))
import harness  # noqa: E402
from e2e_test import CLOSE_NOTICE, INITCHECK_OK, VERSION_OK  # noqa: E402

PROBE = None
BATCH = 100
MAIN_W, MAIN_H = 1920, 1080  # the harness's main monitor, at the display space's origin
RATIO = 65536
TEXTS = ["hello", "a1b2c3d4", "Grüße", " ", "€5", "привет", "\U0001F600", "x,y.z!?"]
KEYS = ["Return", "Left", "SelectLongLeft", "Copy", "Backspace", "SelectShortUp", "Tab"]


class Commands:
    """The commands of the run, and what the server must receive for them."""

    def __init__(self, count):
        self.batches = []
        self.translates = collections.Counter()  # (x, y) sent in translatexywh
        self.versions = 0
        self.replies_through = []  # replies expected once batch i has run
        self.last_point = None  # where the last mouse command puts the pointer, display space
        self._n = 0
        self._translated = 0
        replies = 0
        # Batches of BATCH commands whose last one replies, so once every
        # reply of a batch is in, the whole batch has run.
        while len(self.batches) * BATCH < count:
            batch = [] if self.batches else [{"cmd": "initcheck"}]
            while len(batch) < BATCH - 1:
                batch.append(self._next())
                if batch[-1]["cmd"] == "mouseevent":
                    self._note_pointer(batch[-1])
            batch.append(self._version())
            replies += sum(1 for c in batch
                           if c["cmd"] in ("initcheck", "translatexywh", "version"))
            self.batches.append(batch)
            self.replies_through.append(replies)

    def _note_pointer(self, command):
        self.last_point = (command["x"], command["y"])
        if command["mode"] == "screen":
            self.last_point = (command["x"] * MAIN_W / RATIO, command["y"] * MAIN_H / RATIO)

    def _version(self):
        self.versions += 1
        return {"cmd": "version"}

    def _next(self):
        n = self._n
        self._n += 1
        kind = n % 20
        x, y = (n * 37) % MAIN_W, (n * 53) % MAIN_H
        if kind < 8:
            if kind % 2:
                return {"cmd": "mouseevent", "mode": "screen", "event": "move",
                        "x": x * RATIO // MAIN_W, "y": y * RATIO // MAIN_H}
            return {"cmd": "mouseevent", "mode": "", "event": "move", "x": x, "y": y}
        if kind in (8, 9, 10):
            return {"cmd": "mouseevent", "mode": "", "event": ("lc", "rc", "dbllc")[kind - 8],
                    "x": x, "y": y}
        if kind == 11:
            return {"cmd": "mouseevent", "mode": "", "event": "dragstart", "x": x, "y": y}
        if kind == 12:
            return {"cmd": "mouseevent", "mode": "", "event": "move", "x": x, "y": y}
        if kind == 13:
            return {"cmd": "mouseevent", "mode": "", "event": "dragstop", "x": x, "y": y}
        if kind == 14:
            return {"cmd": "keyboardchar", "key": TEXTS[(n // 20) % len(TEXTS)]}
        if kind == 15:
            return {"cmd": "keyboardevent", "event": KEYS[(n // 20) % len(KEYS)]}
        if kind in (16, 17):
            # A point of its own for every translation, so each reply says
            # which request it answers.
            t = self._translated
            self._translated += 1
            point = (t % MAIN_W, (t // MAIN_W) % MAIN_H)
            self.translates[point] += 1
            return {"cmd": "translatexywh", "x": point[0], "y": point[1], "w": 100, "h": 100}
        if kind == 18:
            return self._version()
        return {"cmd": "keepalive"}

    def count(self):
        return sum(len(b) for b in self.batches)


def batch_text(commands):
    return json.dumps({"messages": [{"payload": c} for c in commands]}, separators=(",", ":"))


def paced_polls(commands, flags):
    """Poll steps that bring one batch at a time, each once every reply of
    the one before is in; `flags` maps a batch index to a flag the server
    waits for before bringing it. A last step, after every reply and the flag
    "end", closes the session."""
    polls = []
    for index, batch in enumerate(commands.batches):
        step = {"body": batch_text(batch)}
        if index > 0:
            step["wait_posts"] = commands.replies_through[index - 1]
        if index in flags:
            step["wait_flag"] = flags[index]
        polls.append(step)
    polls.append({"wait_posts": commands.replies_through[-1], "wait_flag": "end",
                  "body": "close"})
    return polls


class Soak(harness.HelperCase):

    def test_every_reply_arrives_once_memory_stays_flat_nothing_stays_pressed(self):
        commands = Commands(int(os.environ.get("MV_SOAK_COMMANDS", "10000")))
        warm = max(1, len(commands.batches) // 10)  # RSS is taken after this many batches
        session = self.start({"poll": paced_polls(commands, {warm: "warm"})})
        pid = session.launch_pid(0)

        posts = []

        def posts_reach(count):
            posts.extend(r["body"] for r in session.follow()
                         if r.get("kind") == "request" and r["method"] == "POST")
            return len(posts) >= count

        # Between batches, so the helper is idle while measured.
        harness.wait_for("the warm-up batches",
                         lambda: posts_reach(commands.replies_through[warm - 1]), timeout=120)
        rss_warm = harness.proc_status_kib(pid, "VmRSS")
        session.raise_flag("warm")
        harness.wait_for("every reply", lambda: posts_reach(commands.replies_through[-1]),
                         timeout=60 + commands.count() / 50)
        rss_end = harness.proc_status_kib(pid, "VmRSS")
        keys, buttons = harness.pressed_state(PROBE, self.xvfb.display)
        pointer = self.display.run(["xdotool", "getmouselocation", "--shell"], check=True).stdout
        pointer = dict(line.split("=", 1) for line in pointer.split())
        session.raise_flag("end")
        self.assertEnded(session, timeout=60)
        posts_reach(0)

        # Every reply once: the translations by the request they answer.
        self.assertEqual(posts[-1], CLOSE_NOTICE)
        bodies = collections.Counter(posts[:-1])
        self.assertEqual(bodies.pop(INITCHECK_OK, 0), 1)
        self.assertEqual(bodies.pop(VERSION_OK, 0), commands.versions)
        answered = collections.Counter()
        for body, times in bodies.items():
            reply = json.loads(body)["payload"]
            self.assertEqual((reply["cmd"], reply["result"]), ("translatexywh", "ok"), body)
            point = (round(reply["x"] * MAIN_W / RATIO), round(reply["y"] * MAIN_H / RATIO))
            answered[point] += times
        self.assertEqual(answered, commands.translates)
        self.assertFalse([line for line in session.log_lines() if "reply POST failed" in line])
        self.assertEqual(session.log_lines()[-1],
                         "MorrowvaneHelper: poll loop ending (result=3); terminating")

        # The input did reach the X server: the pointer is where the last
        # mouse command put it (the main monitor starts at root x 1280).
        self.assertAlmostEqual(int(pointer["X"]), 1280 + commands.last_point[0], delta=1)
        self.assertAlmostEqual(int(pointer["Y"]), commands.last_point[1], delta=1)
        self.assertEqual(keys, [], "keys held after the run")
        self.assertEqual(buttons, 0, "pointer buttons held after the run")
        # Memory once warm: caches and pools are filled; what grows from
        # there on grows with the number of commands. (A sanitizer's
        # allocator keeps freed memory in quarantine: no figure then.)
        if harness.sanitized(self.BINARY):
            return
        self.assertIsNotNone(rss_warm)
        self.assertIsNotNone(rss_end)
        growth = (rss_end - rss_warm) / rss_warm
        print("soak: %d commands, RSS %d KiB when warm, %d KiB at the end (%+.1f%%)"
              % (commands.count(), rss_warm, rss_end, 100 * growth), file=sys.stderr)
        self.assertLess(growth, 0.15, "RSS grew from %d to %d KiB" % (rss_warm, rss_end))


if __name__ == "__main__":
    harness.HelperCase.BINARY = sys.argv.pop(1)
    PROBE = sys.argv.pop(1)
    unittest.main(verbosity=2)
