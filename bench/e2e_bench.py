#!/usr/bin/env python3
"""End-to-end benchmarks of the real helper program on a private Xvfb, fed by
the scripted HTTPS server on loopback (tools/e2e/harness.py), observed by the
x11 probe client with CLOCK_MONOTONIC timestamps, the clock the server marks
its writes with:

  pointer latency      server writes a batch with one move -> probe sees it
  pointer throughput   10,000 moves in batches of 100, beside xdotool and a
                       bare XTest loop on the same X server
  typing               a 2,000-character text beside `xdotool type`
  idle cost            CPU in 60 s of held polls, RSS over 100,000 commands,
                       TLS handshakes per 1,000 polls

Prints a Markdown table. Not a test: nothing here passes or fails.
Usage: e2e_bench.py --helper BIN --probe BIN --xtest-loop BIN [--only NAME ...]
"""

import argparse
import contextlib
import json
import os
import statistics
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tools", "e2e"))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "app"))
import harness  # noqa: E402
from soak_test import Commands, batch_text, paced_polls  # noqa: E402

URL = harness.HelperCase.URL
MAIN_X = 1280  # root x of the main monitor, the origin of the display space
ROWS = []


def row(benchmark, measure, result, goal=""):
    ROWS.append((benchmark, measure, result, goal))
    print("  %s / %s: %s" % (benchmark, measure, result), file=sys.stderr, flush=True)


def move(x, y):
    return {"cmd": "mouseevent", "mode": "", "event": "move", "x": x, "y": y}


class Rig:
    """Xvfb, a helper session through consent, and a timestamping probe
    that has the keyboard focus."""

    def __init__(self, args, script, stack, probe=True):
        self.xvfb = harness.Xvfb()
        stack.callback(self.xvfb.stop)
        self.display = harness.Display(self.xvfb.display)
        self.session = harness.Session(args.helper, self.xvfb.display, script)
        stack.callback(self.session.close)
        self.session.start([{"args": [URL]}])
        self.display.answer_alert("Return")
        self.pid = self.session.launch_pid(0)
        self.probe = None
        if probe:
            # Started after the consent dialog, so it keeps the focus.
            self.probe = harness.Probe(args.probe, self.xvfb.display, timestamps=True)
            stack.callback(self.probe.stop)

    def marks(self):
        return {r["mark"]: r["t"] for r in self.session.records() if r.get("kind") == "sent"}

    def motions(self):
        """(time, root x, root y) of every motion the probe has seen."""
        out = []
        for line in self.probe.snapshot():
            words = line.split()
            if len(words) >= 4 and words[1] == "motion":
                out.append((float(words[0]), int(words[2]), int(words[3])))
        return out

    def seen_at(self, x, y, timeout):
        """The probe's time of its first motion to root (x, y)."""
        def look():
            for t, mx, my in self.motions():
                if (mx, my) == (x, y):
                    return t
            return None
        return harness.wait_for("motion to %d,%d" % (x, y), look, timeout, interval=0.02)

    def typed(self):
        """The text of the probe's key presses, and the time of the last."""
        data, last = b"", None
        for line in self.probe.snapshot():
            words = line.split()
            if len(words) >= 6 and words[1] == "key":
                last = float(words[0])
                if words[5] != "-":
                    data += bytes.fromhex(words[5])
        return data.decode("utf-8", errors="replace"), last

    def park_pointer(self):
        """Moves the pointer out of the way and forgets what the probe saw."""
        self.display.run(["xdotool", "mousemove", "5", "5"], check=True)
        self.seen_at(5, 5, 20)
        self.probe.clear()


# --- 2: pointer latency ------------------------------------------------------

def bench_latency(args):
    count = 1000
    points = [(10 + i, 500 + 10 * (i % 2)) for i in range(count)]
    polls = [{"wait_flag": "go", "body": batch_text([{"cmd": "initcheck"}])}]
    for i, point in enumerate(points):
        # Spaced out, so each move is measured alone, not behind the last.
        step = {"delay": 0.01, "mark": str(i), "body": batch_text([move(*point)])}
        if i == 0:
            step["wait_posts"] = 1
        polls.append(step)
    polls.append({"body": "close"})
    with contextlib.ExitStack() as stack:
        rig = Rig(args, {"poll": polls}, stack)
        rig.session.raise_flag("go")
        last = points[-1]
        rig.seen_at(MAIN_X + last[0], last[1], 120)
        marks = rig.marks()
        first_seen = {}
        for t, x, y in rig.motions():
            first_seen.setdefault((x - MAIN_X, y), t)
        latencies = sorted((first_seen[p] - marks[str(i)]) * 1000
                           for i, p in enumerate(points) if p in first_seen and str(i) in marks)
    lost = count - len(latencies)
    p50 = statistics.median(latencies)
    p99 = latencies[min(len(latencies) - 1, int(round(0.99 * len(latencies))) - 1)]
    row("2 pointer latency", "p50 (%d moves, %d not seen)" % (count, lost), "%.2f ms" % p50,
        "< 2 ms")
    row("2 pointer latency", "p99", "%.2f ms" % p99, "< 10 ms")
    row("2 pointer latency", "max", "%.2f ms" % latencies[-1])


# --- 3: pointer throughput ---------------------------------------------------

THROUGHPUT_MOVES = 10000
WIDTH = 1800


def root_point(i):
    return MAIN_X + 10 + i % WIDTH, 100 + i // WIDTH


def bench_throughput(args):
    rounds = 3
    n = THROUGHPUT_MOVES
    batches = [[move(root_point(i)[0] - MAIN_X, root_point(i)[1])
                for i in range(start, start + 100)] for start in range(0, n, 100)]
    polls = [{"wait_flag": "go", "body": batch_text([{"cmd": "initcheck"}])}]
    for r in range(rounds):
        for b, batch in enumerate(batches):
            step = {"body": batch_text(batch)}
            if b == 0:
                step.update({"wait_posts": 1, "wait_flag": "round%d" % r, "mark": "round%d" % r})
            polls.append(step)
    polls.append({"wait_flag": "end", "body": "close"})
    last = root_point(n - 1)
    rates = {"helper": [], "xtest": [], "xdotool_chain": [], "xdotool_each": []}
    with contextlib.ExitStack() as stack:
        rig = Rig(args, {"poll": polls}, stack)
        rig.session.raise_flag("go")
        for r in range(rounds):
            rig.park_pointer()
            rig.session.raise_flag("round%d" % r)
            seen = rig.seen_at(*last, timeout=120)
            rates["helper"].append(n / (seen - rig.marks()["round%d" % r]))
            got = len({(x, y) for _, x, y in rig.motions()})
        row("3 pointer throughput", "distinct positions the probe saw (helper, last round)",
            "%d of %d" % (got, n))
        for _ in range(rounds):
            rig.park_pointer()
            out = subprocess.run([args.xtest_loop, str(n), str(root_point(0)[0]),
                                  str(root_point(0)[1]), str(WIDTH)], env=rig.display.env(),
                                 capture_output=True, text=True, timeout=120, check=True).stdout
            rates["xtest"].append(n / (rig.seen_at(*last, timeout=120) - float(out)))
        for _ in range(rounds):
            rig.park_pointer()
            argv = ["xdotool"]
            for i in range(n):
                argv += ["mousemove", str(root_point(i)[0]), str(root_point(i)[1])]
            start = time.clock_gettime(time.CLOCK_MONOTONIC)
            subprocess.run(argv, env=rig.display.env(), timeout=300, check=True,
                           stdout=subprocess.DEVNULL)
            rates["xdotool_chain"].append(n / (rig.seen_at(*last, timeout=120) - start))
        # One process per move: a 500-move sample, scaled to the rate.
        each = 500
        rig.park_pointer()
        start = time.clock_gettime(time.CLOCK_MONOTONIC)
        for i in range(n - each, n):
            subprocess.run(["xdotool", "mousemove", str(root_point(i)[0]), str(root_point(i)[1])],
                           env=rig.display.env(), timeout=30, check=True)
        rates["xdotool_each"].append(each / (rig.seen_at(*last, timeout=120) - start))
        rig.session.raise_flag("end")

    bare = statistics.median(rates["xtest"])
    for name, label in (("helper", "helper, batches of 100"),
                        ("xtest", "bare XTest loop (XFlush per event)"),
                        ("xdotool_chain", "xdotool, one process for all moves"),
                        ("xdotool_each", "xdotool, one process per move (500 moves, scaled)")):
        rate = statistics.median(rates[name])
        goal = ">= 1/4 of bare XTest" if name == "helper" else ""
        row("3 pointer throughput", label,
            "%.0f moves/s (%.2f of bare XTest; %.2f s for 10,000)" % (rate, rate / bare, n / rate),
            goal)


# --- 4: typing ---------------------------------------------------------------

def typing_text(length=2000):
    sentence = "The café in Zürich: 5 € für Grüße — привет, мир! 😀 ok; "
    return (sentence * (length // len(sentence) + 1))[:length]


def keyboardchar_pieces(text):
    """The text in commands of at most 8 UTF-16 units, a surrogate pair never
    cut."""
    pieces, piece, units = [], "", 0
    for ch in text:
        size = 2 if ord(ch) > 0xFFFF else 1
        if units + size > 8:
            pieces.append(piece)
            piece, units = "", 0
        piece += ch
        units += size
    if piece:
        pieces.append(piece)
    return pieces


def wait_typed(rig, expected, timeout):
    """Waits until the probe has the whole text or nothing came for 5 s;
    answers (text, time of the last key)."""
    deadline = time.monotonic() + timeout
    last_change, last_size = time.monotonic(), -1
    while time.monotonic() < deadline:
        text, last = rig.typed()
        if len(text) >= len(expected):
            return text, last
        if len(text) != last_size:
            last_change, last_size = time.monotonic(), len(text)
        elif time.monotonic() - last_change > 5:
            break
        time.sleep(0.05)
    return rig.typed()


def describe_typing(label, text, sent, start, last):
    exact = text == sent
    if exact:
        verdict = "exact"
    else:
        same = sum(1 for a, b in zip(text, sent) if a == b)
        verdict = "NOT exact: %d chars received, %d in place" % (len(text), same)
    rate = len(text) / (last - start) if last and last > start else 0
    row("4 typing", label, "%.0f chars/s, %s" % (rate, verdict),
        "exact, faster than xdotool default" if label.startswith("helper") else "")


def bench_typing(args):
    text = typing_text()
    pieces = keyboardchar_pieces(text)
    commands = [{"cmd": "keyboardchar", "key": p} for p in pieces]
    polls = [{"wait_flag": "go", "body": batch_text([{"cmd": "initcheck"}])}]
    for b in range(0, len(commands), 50):
        step = {"body": batch_text(commands[b:b + 50])}
        if b == 0:
            step.update({"wait_posts": 1, "wait_flag": "type", "mark": "type"})
        polls.append(step)
    polls.append({"wait_flag": "end", "body": "close"})
    with contextlib.ExitStack() as stack:
        rig = Rig(args, {"poll": polls}, stack)
        rig.session.raise_flag("go")
        rig.probe.clear()
        rig.session.raise_flag("type")
        received, last = wait_typed(rig, text, 300)
        describe_typing("helper, keyboardchar of up to 8 UTF-16 units (%d commands)"
                        % len(pieces), received, text, rig.marks()["type"], last)
        for label, options in (("xdotool type, default delay (12 ms)", []),
                               ("xdotool type --delay 0", ["--delay", "0"])):
            rig.probe.clear()
            start = time.clock_gettime(time.CLOCK_MONOTONIC)
            subprocess.run(["xdotool", "type"] + options + [text], env=rig.display.env(),
                           timeout=300, check=True)
            received, last = wait_typed(rig, text, 60)
            describe_typing(label, received, text, start, last)
        rig.session.raise_flag("end")
    row("4 typing", "text", "%d characters (ASCII, accented Latin, €, —, Cyrillic, emoji)"
        % len(text))


# --- 5: idle cost ------------------------------------------------------------

def bench_idle_cpu(args):
    with contextlib.ExitStack() as stack:
        rig = Rig(args, {"poll_hold": 25}, stack, probe=False)
        polls = lambda: [r for r in rig.session.requests() if r["type"] == "poll"]  # noqa: E731
        harness.wait_for("the first poll", polls)
        before, start = harness.cpu_seconds(rig.pid), time.monotonic()
        time.sleep(60)
        used, took = harness.cpu_seconds(rig.pid) - before, time.monotonic() - start
        tick = 1 / os.sysconf("SC_CLK_TCK")
        row("5 idle cost", "CPU in %.0f s of polls held 25 s (%d polls)" % (took, len(polls())),
            "%.2f s (%d clock ticks of %.0f ms)" % (used, round(used / tick), tick * 1000),
            "< 0.1 s")


def bench_memory(args):
    commands = Commands(100000)
    polls = paced_polls(commands, {0: "started", 10: "warm"})
    with contextlib.ExitStack() as stack:
        rig = Rig(args, {"poll": polls}, stack, probe=False)
        posts = []

        def posts_reach(count):
            posts.extend(1 for r in rig.session.follow()
                         if r.get("kind") == "request" and r["method"] == "POST")
            return len(posts) >= count

        harness.wait_for("the first poll", lambda: any(
            r["type"] == "poll" for r in rig.session.requests()))
        started = harness.proc_status_kib(rig.pid, "VmRSS")
        rig.session.raise_flag("started")
        harness.wait_for("the first 1,000 commands",
                         lambda: posts_reach(commands.replies_through[9]), 120)
        warm = harness.proc_status_kib(rig.pid, "VmRSS")
        rig.session.raise_flag("warm")
        begin = time.monotonic()
        harness.wait_for("every reply", lambda: posts_reach(commands.replies_through[-1]), 900)
        took = time.monotonic() - begin
        end = harness.proc_status_kib(rig.pid, "VmRSS")
        peak = harness.proc_status_kib(rig.pid, "VmHWM")
        rig.session.raise_flag("end")
        rig.session.wait_end(60)
    row("5 idle cost", "RSS after start", "%.1f MiB" % (started / 1024))
    row("5 idle cost", "RSS after the first 1,000 commands", "%.1f MiB" % (warm / 1024))
    row("5 idle cost", "RSS after %d commands (peak %.1f MiB)" % (commands.count(), peak / 1024),
        "%.1f MiB: %+.1f%% from start, %+.1f%% from the first 1,000"
        % (end / 1024, 100.0 * (end - started) / started, 100.0 * (end - warm) / warm),
        "growth < 5%")
    row("5 idle cost", "soak mix through the helper, batch by batch",
        "%.0f commands/s" % ((commands.count() - 1000) / took))


def bench_handshakes(args):
    polls = 1000
    script = {"poll": [{"body": "timeout", "repeat": polls}, {"body": "close"}]}
    with contextlib.ExitStack() as stack:
        rig = Rig(args, script, stack, probe=False)
        rig.session.wait_end(120)
        records = rig.session.records()
    tls = [r for r in records if r["kind"] == "connection" and r["tls"] == "ok"]
    gets = [r for r in records if r["kind"] == "request" and r["type"] in ("handshake", "poll")]
    row("5 idle cost", "TLS handshakes for the handshake and %d polls" % (len(gets) - 1),
        "%d (%d in the whole session, the close notice's included)"
        % (len({r["conn"] for r in gets}), len(tls)), "1")


BENCHES = {"latency": bench_latency, "throughput": bench_throughput, "typing": bench_typing,
           "idle": bench_idle_cpu, "memory": bench_memory, "handshakes": bench_handshakes}


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--helper", required=True)
    parser.add_argument("--probe", required=True)
    parser.add_argument("--xtest-loop", required=True)
    parser.add_argument("--only", nargs="*", choices=sorted(BENCHES), default=list(BENCHES))
    args = parser.parse_args()
    for name in args.only:
        print("running %s ..." % name, file=sys.stderr, flush=True)
        BENCHES[name](args)
    print("| Benchmark | Measure | Result | Goal |")
    print("|---|---|---|---|")
    for benchmark, measure, result, goal in ROWS:
        print("| %s | %s | %s | %s |" % (benchmark, measure, result, goal))
    return 0


if __name__ == "__main__":
    sys.exit(main())
