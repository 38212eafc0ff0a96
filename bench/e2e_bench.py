#!/usr/bin/env python3
"""End-to-end benchmarks of the real helper program on a private Xvfb, fed by
the scripted HTTPS server on loopback (tools/e2e/harness.py), observed by the
x11 probe client with CLOCK_MONOTONIC timestamps, the clock the server marks
its writes with. With --baseline, another build of the program (today's main)
runs beside it in the same invocation, round by round in shuffled order:

  pointer latency      server writes a batch with one move -> probe sees it
  pointer throughput   10,000 moves in batches of 100, beside a bare XTest
                       loop on the same X server; then batch sizes 1 to 10,000
  typing               five texts, each typist on a fresh X server (a clean
                       keymap), beside `xdotool type --delay 0`; correctness
                       by edit distance; a run with the receiver stopped
                       twice for 300 ms while it is typed to
  round trips          X round trips per move, click and typed keyboardchar
                       (bench/xreply_count.c preloaded)
  idle cost            CPU in 60 s of held polls, RSS over 100,000 commands,
                       TLS handshakes per 1,000 polls (this build only)

Prints a Markdown table. Not a test: nothing here passes or fails.
Usage: e2e_bench.py --helper BIN --probe BIN --xtest-loop BIN
                    [--baseline BIN] [--xreply-count LIB] [--rounds N] [--only NAME ...]
"""

import argparse
import contextlib
import json
import os
import random
import signal
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tools", "e2e"))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "app"))
import harness  # noqa: E402
from faults_test import Commands, batch  # noqa: E402

URL = harness.HelperCase.URL
MAIN_X = 1280  # root x of the main monitor, the origin of the display space
ROWS = []


def row(benchmark, measure, result, goal=""):
    ROWS.append((benchmark, measure, result, goal))
    print("  %s / %s: %s" % (benchmark, measure, result), file=sys.stderr, flush=True)


def spread(values, fmt="%.0f"):
    """Median and range of the rounds' values."""
    return (fmt + " (" + fmt + "–" + fmt + ")") % (statistics.median(values), min(values),
                                                 max(values))


def move(x, y):
    return {"cmd": "mouseevent", "mode": "", "event": "move", "x": x, "y": y}


def cpu_seconds(pid):
    """User plus system CPU time the process has used so far."""
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    # Fields 14 and 15 of stat(5); the list starts at field 3.
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def helpers(args):
    """The builds compared: this one first, then the baseline when given."""
    out = [("this build", args.helper)]
    if args.baseline:
        out.append(("main", args.baseline))
    return out


def shuffled(items):
    items = list(items)
    random.shuffle(items)
    return items


class Rig:
    """Xvfb, a helper session through consent, and a timestamping probe
    that has the keyboard focus."""

    def __init__(self, helper, script, stack, probe=True, probe_binary=None):
        self.xvfb = harness.Xvfb()
        stack.callback(self.xvfb.stop)
        self.display = harness.Display(self.xvfb.display)
        self.session = None
        if helper:
            self.session = harness.Session(helper, self.xvfb.display, script)
            stack.callback(self.session.close)
            self.session.start([{"args": [URL]}])
            self.display.answer_alert("Return")
            self.pid = self.session.launch_pid(0)
        self.probe = None
        if probe:
            # Started after the consent dialog, so it keeps the focus.
            self.probe = harness.Probe(probe_binary, self.xvfb.display, timestamps=True)
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


def gated(name, bodies, **first):
    """Poll steps bringing `bodies`, the first held until flag `name` and
    marked with it."""
    steps = [{"body": b} for b in bodies]
    steps[0].update({"wait_flag": name, "mark": name}, **first)
    return steps


# --- 2 and 3: pointer latency, throughput, batch sizes ----------------------

LATENCY_MOVES = 300
THROUGHPUT_MOVES = 10000
WIDTH = 1800
SCALING = [(1, 1000), (10, 2000), (100, 10000), (1000, 10000), (10000, 10000)]


def root_point(i):
    return MAIN_X + 10 + i % WIDTH, 100 + i // WIDTH


def move_batches(size, count):
    moves = [move(root_point(i)[0] - MAIN_X, root_point(i)[1]) for i in range(count)]
    return [batch(*moves[b:b + size]) for b in range(0, count, size)]


def latency_points(r):
    return [(10 + i, 500 + 10 * (i % 2) + 20 * r) for i in range(LATENCY_MOVES)]


def bench_pointer(args):
    rounds = args.rounds
    polls = [{"wait_flag": "go", "body": batch({"cmd": "initcheck"})}]
    for r in range(rounds):
        steps = []
        for i, point in enumerate(latency_points(r)):
            # Spaced out, so each move is measured alone, not behind the last.
            steps.append({"delay": 0.01, "mark": "lat%d-%d" % (r, i),
                          "body": batch(move(*point))})
        steps[0]["wait_flag"] = "lat%d" % r
        polls += steps
        polls += gated("thr%d" % r, move_batches(100, THROUGHPUT_MOVES))
        for size, count in SCALING:
            polls += gated("scale%d-%d" % (size, r), move_batches(size, count))
    polls.append({"wait_flag": "end", "body": "close"})

    names = [name for name, _ in helpers(args)]
    latency = {n: {"p50": [], "p99": [], "max": []} for n in names}
    rates = {n: [] for n in names + ["bare XTest"]}
    ratios = {n: [] for n in names}
    scaling = {(n, size): [] for n in names for size, _ in SCALING}
    last = root_point(THROUGHPUT_MOVES - 1)
    with contextlib.ExitStack() as stack:
        rigs = {name: Rig(helper, {"poll": polls}, stack, probe_binary=args.probe)
                for name, helper in helpers(args)}
        for rig in rigs.values():
            rig.session.raise_flag("go")
        for r in range(rounds):
            for name in shuffled(names):
                rig = rigs[name]
                rig.park_pointer()
                rig.session.raise_flag("lat%d" % r)
                points = latency_points(r)
                rig.seen_at(MAIN_X + points[-1][0], points[-1][1], 120)
                marks = rig.marks()
                first_seen = {}
                for t, x, y in rig.motions():
                    first_seen.setdefault((x - MAIN_X, y), t)
                values = sorted((first_seen[p] - marks["lat%d-%d" % (r, i)]) * 1000
                                for i, p in enumerate(points)
                                if p in first_seen and "lat%d-%d" % (r, i) in marks)
                latency[name]["p50"].append(statistics.median(values))
                latency[name]["p99"].append(values[min(len(values) - 1,
                                                       int(round(0.99 * len(values))) - 1)])
                latency[name]["max"].append(values[-1])
            round_rates = {}
            for name in shuffled(names + ["bare XTest"]):
                rig = rigs[name if name != "bare XTest" else names[0]]
                rig.park_pointer()
                if name == "bare XTest":
                    out = subprocess.run(
                        [args.xtest_loop, str(THROUGHPUT_MOVES), str(root_point(0)[0]),
                         str(root_point(0)[1]), str(WIDTH)],
                        env=dict(os.environ, DISPLAY=rig.xvfb.display),
                        capture_output=True, text=True, timeout=120, check=True).stdout
                    start = float(out)
                else:
                    rig.session.raise_flag("thr%d" % r)
                    start = None
                seen = rig.seen_at(*last, timeout=300)
                if start is None:
                    start = rig.marks()["thr%d" % r]
                round_rates[name] = THROUGHPUT_MOVES / (seen - start)
                rates[name].append(round_rates[name])
            for name in names:
                ratios[name].append(round_rates[name] / round_rates["bare XTest"])
            for size, count in SCALING:
                for name in shuffled(names):
                    rig = rigs[name]
                    rig.park_pointer()
                    flag = "scale%d-%d" % (size, r)
                    rig.session.raise_flag(flag)
                    seen = rig.seen_at(*root_point(count - 1), timeout=300)
                    scaling[(name, size)].append(count / (seen - rig.marks()[flag]))
        for rig in rigs.values():
            rig.session.raise_flag("end")

    for name in names:
        goal = name == names[0]
        row("2 pointer latency", "%s: p50 over %d one-move batches" % (name, LATENCY_MOVES),
            spread(latency[name]["p50"], "%.2f") + " ms", "< 0.5 ms" if goal else "")
        row("2 pointer latency", "%s: p99" % name, spread(latency[name]["p99"], "%.2f") + " ms",
            "< 5 ms" if goal else "")
        row("2 pointer latency", "%s: max" % name, spread(latency[name]["max"], "%.2f") + " ms")
    for name in names + ["bare XTest"]:
        row("3 pointer throughput", "%s, %d moves%s" % (
            name, THROUGHPUT_MOVES, " in batches of 100" if name != "bare XTest" else
            ", XFlush per event"), spread(rates[name]) + " moves/s")
    for name in names:
        row("3 pointer throughput", "%s ÷ bare XTest (same round)" % name,
            spread(ratios[name], "%.2f") + " ×", ">= 0.4 ×" if name == names[0] else "")
    for size, count in SCALING:
        row("3 batch sizes", "%d moves in batches of %d" % (count, size),
            "; ".join("%s %s moves/s" % (name, spread(scaling[(name, size)]))
                      for name in names))


# --- 4: typing ---------------------------------------------------------------

RUSSIAN_LETTERS = "абвгдеёжзийклмнопрстуфхцчшщъыьэюя"


def spread_evenly(letters, length, seed=20):
    """Words of 3 to 7 characters drawn evenly from `letters`, lower and upper
    case alike."""
    pick, out = random.Random(seed), []
    while len(" ".join(out)) < length:
        out.append("".join(pick.choice(letters + letters.upper()) for _ in range(pick.randint(3, 7))))
    return " ".join(out)[:length]


TEXTS = {
    "ASCII": "The quick brown fox jumps over the lazy dog; 42 (x+y) = {z}! ",
    # All 33 letters and their capitals: 66 characters off the layout.
    "Russian, every letter and capital evenly": spread_evenly(RUSSIAN_LETTERS, 2000),
    "Russian prose": ("Когда Евгений вернулся домой, уже стемнело. В окнах горел свет, и на кухне "
                      "шумел самовар. «Ты опять опоздал, — сказала мать, — ужин давно остыл». Он "
                      "молча снял пальто, сел за стол и подумал, что завтра всё будет иначе: утром "
                      "он поедет к Ивану Сергеевичу, отдаст ему письмо и наконец объяснит, почему "
                      "прошлой зимой так и не смог приехать. "),
    "accented Latin with emoji": ("Zażółć gęślą jaźń, łódź płynie. Ça été très à côté, où êtes-vous? "
                                  "Grüße aus Köln, schöne Bäume 🌳. Señor Muñoz: ¿qué tal, niña? "
                                  "Příliš žluťoučký kůň úpěl ďábelské ódy 😀. Ærøskøbing på Ærø; "
                                  "São João, ação e coração 👍. Árvíztűrő tükörfúrógép! "),
    "mixed with emoji": "Hello 😀 мир — café 🚀 ✓ 日本語 👍 ok; ",
}
TYPED_LENGTH = 2000
STALLED = "Russian, every letter and capital evenly"


def text_of(name):
    unit = TEXTS[name]
    return (unit * (TYPED_LENGTH // len(unit) + 1))[:TYPED_LENGTH]


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


def edit_distance(a, b):
    previous = list(range(len(b) + 1))
    for i, ca in enumerate(a, 1):
        current = [i]
        for j, cb in enumerate(b, 1):
            current.append(min(previous[j] + 1, current[j - 1] + 1,
                               previous[j - 1] + (ca != cb)))
        previous = current
    return previous[-1]


def wait_typed(rig, expected, timeout):
    """Waits until the probe has the whole text or nothing came for 3 s;
    answers (text, time of the last key)."""
    deadline = time.monotonic() + timeout
    last_change, last_size = time.monotonic(), -1
    while time.monotonic() < deadline:
        text, last = rig.typed()
        if len(text) >= len(expected):
            return text, last
        if len(text) != last_size:
            last_change, last_size = time.monotonic(), len(text)
        elif time.monotonic() - last_change > 3:
            break
        time.sleep(0.05)
    return rig.typed()


def type_once(args, typist, helper, text, stall=False):
    """Types `text` on a fresh X server; answers (chars/s, edit distance)."""
    with contextlib.ExitStack() as stack:
        if helper:
            commands = [{"cmd": "keyboardchar", "key": p} for p in keyboardchar_pieces(text)]
            polls = [{"body": batch({"cmd": "initcheck"})}]
            polls += gated("type", [batch(*commands[b:b + 50])
                                    for b in range(0, len(commands), 50)], wait_posts=1)
            polls.append({"wait_flag": "end", "body": "close"})
            rig = Rig(helper, {"poll": polls}, stack, probe_binary=args.probe)
            harness.wait_for("the initcheck reply", lambda: any(
                r["type"] == "post" for r in rig.session.requests()))
            rig.probe.clear()
            rig.session.raise_flag("type")
            if stall:  # stopped as its first key arrives, and again 300 ms after it goes on
                harness.wait_for("the first key", lambda: rig.typed()[0], 60, interval=0.001)
                for _ in range(2):
                    os.kill(rig.probe.process.pid, signal.SIGSTOP)
                    time.sleep(0.3)
                    os.kill(rig.probe.process.pid, signal.SIGCONT)
                    time.sleep(0.3)
            received, last = wait_typed(rig, text, 300)
            start = rig.marks()["type"]
            rig.session.raise_flag("end")
        else:
            rig = Rig(None, None, stack, probe_binary=args.probe)
            start = time.clock_gettime(time.CLOCK_MONOTONIC)
            subprocess.run(["xdotool", "type", "--delay", "0", text], env=dict(os.environ, DISPLAY=rig.xvfb.display),
                           timeout=300, check=True)
            received, last = wait_typed(rig, text, 60)
    rate = len(received) / (last - start) if last and last > start else 0
    return rate, edit_distance(received, text)


def bench_typing(args):
    typists = helpers(args) + [("xdotool type --delay 0", None)]
    for text_name in TEXTS:
        text = text_of(text_name)
        results = {name: ([], []) for name, _ in typists}
        for _ in range(args.rounds):
            for name, helper in shuffled(typists):
                rate, distance = type_once(args, name, helper, text)
                results[name][0].append(rate)
                results[name][1].append(distance)
        for name, _ in typists:
            rates, distances = results[name]
            goal = ""
            if name == typists[0][0]:
                goal = {"ASCII": "exact, >= 4 × xdotool --delay 0",
                        STALLED: "exact, >= 3,000 chars/s",
                        "accented Latin with emoji": "exact, >= 3,000 chars/s",
                        "Russian prose": "exact, >= 10,000 chars/s"}.get(text_name, "exact")
            row("4 typing", "%s, %s (%d chars)" % (text_name, name, len(text)),
                "%s chars/s; edit distance %s" % (spread(rates), spread(distances)), goal)
    text = text_of(STALLED)
    stalled = {name: [] for name, _ in helpers(args)}
    for _ in range(args.rounds):
        for name, helper in shuffled(helpers(args)):
            stalled[name].append(type_once(args, name, helper, text, stall=True))
    for name, runs in stalled.items():
        row("4 typing", "%s, %s, receiver stopped twice for 300 ms" % (STALLED, name),
            "%s chars/s; edit distance %s" % (spread([r for r, _ in runs]),
                                              spread([d for _, d in runs])),
            "exact" if name == "this build" else "")


# --- round trips -----------------------------------------------------------

def bench_round_trips(args):
    """X round trips of one whole session with a workload, less those of the
    same session without it, per command."""
    if not args.xreply_count:
        return
    lc = {"cmd": "mouseevent", "mode": "", "event": "lc", "x": 300, "y": 300}
    workloads = [
        ("move, batches of 100", [move(10 + i % 500, 200) for i in range(1000)], 100),
        ("move, one per batch", [move(10 + i % 500, 200) for i in range(200)], 1),
        ("click (lc), batches of 100", [lc] * 300, 100),
        ("ASCII keyboardchar of one character, batches of 100",
         [{"cmd": "keyboardchar", "key": "abcdefgh"[i % 8]} for i in range(1000)], 100),
        ("ASCII keyboardchar of one character, one per batch",
         [{"cmd": "keyboardchar", "key": "abcdefgh"[i % 8]} for i in range(200)], 1),
    ]
    work = tempfile.mkdtemp(prefix="mv-xreply-")

    def count(helper, commands, size):
        out = os.path.join(work, "count-%d" % len(os.listdir(work)))
        wrapper = out + ".sh"
        with open(wrapper, "w") as f:
            f.write("#!/bin/sh\nLD_PRELOAD=%s MV_XREPLY_COUNT_FILE=%s exec %s \"$@\"\n"
                    % (args.xreply_count, out, os.path.abspath(helper)))
        os.chmod(wrapper, 0o755)
        polls = [{"body": batch({"cmd": "initcheck"})}]
        polls += [{"wait_posts": 1, "body": batch(*commands[b:b + size])}
                  for b in range(0, len(commands), size)]
        polls.append({"body": "close"})
        with contextlib.ExitStack() as stack:
            rig = Rig(wrapper, {"poll": polls}, stack, probe=False)
            rig.session.wait_end(300)
        with open(out) as f:
            return sum(int(line) for line in f)

    for name, helper in helpers(args):
        empty = count(helper, [], 1)
        for label, commands, size in workloads:
            per = (count(helper, commands, size) - empty) / len(commands)
            row("round trips", "%s: per %s" % (name, label), "%.2f" % per)


# --- 5: idle cost ------------------------------------------------------------

def bench_idle_cpu(args):
    with contextlib.ExitStack() as stack:
        rig = Rig(args.helper, {"poll_hold": 25}, stack, probe=False)
        polls = lambda: [r for r in rig.session.requests() if r["type"] == "poll"]  # noqa: E731
        harness.wait_for("the first poll", polls)
        before, start = cpu_seconds(rig.pid), time.monotonic()
        time.sleep(60)
        used, took = cpu_seconds(rig.pid) - before, time.monotonic() - start
        tick = 1 / os.sysconf("SC_CLK_TCK")
        row("5 idle cost", "CPU in %.0f s of polls held 25 s (%d polls)" % (took, len(polls())),
            "%.2f s (%d clock ticks of %.0f ms)" % (used, round(used / tick), tick * 1000),
            "< 0.1 s")


def bench_memory(args):
    commands = Commands(100000)
    total = sum(map(len, commands.batches))
    polls = commands.polls({0: "started", 10: "warm"})
    with contextlib.ExitStack() as stack:
        rig = Rig(args.helper, {"poll": polls}, stack, probe=False)
        posts = []

        def posts_reach(count):
            posts.extend(1 for r in rig.session.records(follow=True)
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
    row("5 idle cost", "RSS after %d commands (peak %.1f MiB)" % (total, peak / 1024),
        "%.1f MiB: %+.1f%% from start, %+.1f%% from the first 1,000"
        % (end / 1024, 100.0 * (end - started) / started, 100.0 * (end - warm) / warm),
        "growth < 5%")
    row("5 idle cost", "soak mix through the helper, batch by batch",
        "%.0f commands/s" % ((total - 1000) / took))


def bench_handshakes(args):
    polls = 1000
    script = {"poll": [{"body": "timeout", "repeat": polls}, {"body": "close"}]}
    with contextlib.ExitStack() as stack:
        rig = Rig(args.helper, script, stack, probe=False)
        rig.session.wait_end(120)
        records = rig.session.records()
    tls = [r for r in records if r["kind"] == "connection" and r["tls"] == "ok"]
    gets = [r for r in records if r["kind"] == "request" and r["type"] in ("handshake", "poll")]
    row("5 idle cost", "TLS handshakes for the handshake and %d polls" % (len(gets) - 1),
        "%d (%d in the whole session, the close notice's included)"
        % (len({r["conn"] for r in gets}), len(tls)), "1")


BENCHES = {"pointer": bench_pointer, "typing": bench_typing, "roundtrips": bench_round_trips,
           "idle": bench_idle_cpu, "memory": bench_memory, "handshakes": bench_handshakes}


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--helper", required=True)
    parser.add_argument("--probe", required=True)
    parser.add_argument("--xtest-loop", required=True)
    parser.add_argument("--baseline", help="another build of the program, run beside it")
    parser.add_argument("--xreply-count", help="the round trip counter to preload")
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--only", nargs="*", choices=sorted(BENCHES), default=list(BENCHES))
    args = parser.parse_args()
    with open("/proc/loadavg") as f:
        load_before = f.read().split()[:3]
    for name in args.only:
        print("running %s ..." % name, file=sys.stderr, flush=True)
        BENCHES[name](args)
    with open("/proc/loadavg") as f:
        load_after = f.read().split()[:3]
    print("Load average (1, 5, 15 min) before: %s; after: %s" % (" ".join(load_before),
                                                               " ".join(load_after)))
    print("| Benchmark | Measure | Result | Goal |")
    print("|---|---|---|---|")
    for benchmark, measure, result, goal in ROWS:
        print("| %s | %s | %s | %s |" % (benchmark, measure, result, goal))
    return 0


if __name__ == "__main__":
    sys.exit(main())
