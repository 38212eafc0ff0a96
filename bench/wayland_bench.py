#!/usr/bin/env python3
"""Input speed of the real program on a headless GNOME compositor through the
RemoteDesktop portal (tools/e2e/wayland.py), beside bare portal clients of the
same compositor, in one run, round by round in shuffled order, each contender
from the same state (the pointer parked, the probe's window focused):

  pointer   2,000 absolute motions: the program (batches of 100 "move"
            commands), a bare client that waits for each answer, and one that
            keeps up to 64 motions in flight (calls in flight arrive in any
            order: once all are answered it sends the last point again); from the first batch's mark (or
            the first call) to the last motion the probe sees, once it has
            seen the last point
  typing    2,000 characters of the French layout: the program
            ("keyboardchar" commands of 8 characters, 50 per batch) and a bare
            client that presses and releases each keysym, waiting for each
            answer; checked by edit distance

The probe is the Wayland test client (tests/platform/wayland_probe.cpp); each
of its lines is stamped with CLOCK_MONOTONIC as it is read. With --baseline,
another build of the program runs beside this one. Prints a Markdown table.
Not a test: nothing here passes or fails.
Usage: wayland_bench.py --helper BIN --probe BIN [--baseline BIN] [--rounds N]
"""

import argparse
import contextlib
import os
import statistics
import subprocess
import sys
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tools", "e2e"))
from e2e_bench import batch, edit_distance, keyboardchar_pieces, move, shuffled, spread  # noqa: E402
from gi.repository import Gio, GLib  # noqa: E402
import harness  # noqa: E402
import wayland  # noqa: E402

PORTAL, PORTAL_PATH = "org.freedesktop.portal.Desktop", "/org/freedesktop/portal/desktop"
RD = "org.freedesktop.portal.RemoteDesktop"
MOVES, CHARS, IN_FLIGHT = 2000, 2000, 64
TEXT = "Portez ce vieux whisky au juge blond qui fume; Zola, Voltaire et Hugo! "
ROWS = []


def point(i):
    """Distinct points on the primary monitor, away from its edges."""
    return 20 + i % 1200, 60 + i // 1200


def row(measure, result, goal=""):
    ROWS.append((measure, result, goal))
    print("  %s: %s" % (measure, result), file=sys.stderr, flush=True)


class Probe:
    """The Wayland probe, each line stamped as it is read."""

    def __init__(self, binary, env):
        self.process = subprocess.Popen([binary], env=env, stdin=subprocess.PIPE,
                                        stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                                        text=True)
        self.lines = []
        threading.Thread(target=self._read, daemon=True).start()
        harness.wait_for("the probe", lambda: any(w == ["ready"] for _, w in self.lines), 30)

    def _read(self):
        for line in self.process.stdout:
            self.lines.append((time.monotonic(), line.split()))

    def stop(self):
        self.process.stdin.close()
        self.process.wait(timeout=10)

    def seen(self, start, words):
        """The time of the first line from `start` on that is `words`."""
        return next((t for t, w in self.lines[start:] if w == words), None)

    def sees(self, x, y):
        """Whether the pointer came to (x, y) in the last half second."""
        def look():
            return any(t > time.monotonic() - 0.5 and w[:3] == ["motion", str(x), str(y)]
                       for t, w in self.lines[-50:])
        with contextlib.suppress(harness.Timeout):
            return harness.wait_for("motion", look, 1)
        return False

    def typed(self, start):
        """The text of the key presses from `start` on, and the time of the last."""
        keys = [(t, w) for t, w in self.lines[start:] if w[0] == "key"]
        text = b"".join(bytes.fromhex(w[3]) for _, w in keys if w[3] != "-")
        return text.decode(errors="replace"), keys[-1][0] if keys else None


class BareClient:
    """A portal session of its own, on a connection of its own, whose answers
    arrive in a main context it runs itself."""

    def __init__(self, compositor, probe):
        self.context = GLib.MainContext.new()
        self.context.push_thread_default()
        self.bus = Gio.DBusConnection.new_for_address_sync(
            compositor.env["DBUS_SESSION_BUS_ADDRESS"],
            Gio.DBusConnectionFlags.AUTHENTICATION_CLIENT |
            Gio.DBusConnectionFlags.MESSAGE_BUS_CONNECTION)
        self.sender, self.serial = self.bus.get_unique_name()[1:].replace(".", "_"), 0
        self.session = self.request(RD, "CreateSession", [], {
            "session_handle_token": GLib.Variant("s", "bare")})["session_handle"]
        self.request(RD, "SelectDevices", [self.session], {"types": GLib.Variant("u", 3)})
        self.request("org.freedesktop.portal.ScreenCast", "SelectSources", [self.session],
                     {"types": GLib.Variant("u", 1), "multiple": GLib.Variant("b", True)})
        results = self.request(RD, "Start", [self.session, ""], {},
                               lambda: compositor.answer_portal(True, probe.sees))
        self.node = next(node for node, props in results["streams"]
                         if tuple(props["position"]) == (0, 0))
        self.key(0xffe1)  # mutter loses the first key of a new virtual keyboard

    def request(self, interface, method, arguments, options, meanwhile=None):
        self.serial += 1
        token = "bare%d" % self.serial
        path = "%s/request/%s/%s" % (PORTAL_PATH, self.sender, token)
        answer = []
        self.bus.signal_subscribe(PORTAL, "org.freedesktop.portal.Request", "Response", path, None,
                                  Gio.DBusSignalFlags.NONE, lambda *a: answer.append(a[5]))
        signature = "(%sa{sv})" % "".join("o" if a.startswith("/") else "s" for a in arguments)
        self.bus.call(PORTAL, PORTAL_PATH, interface, method, GLib.Variant(
            signature, (*arguments, dict(options, handle_token=GLib.Variant("s", token)))),
            None, Gio.DBusCallFlags.NONE, 20000, None, None, None)
        if meanwhile:
            meanwhile()
        deadline = time.monotonic() + 60
        while not answer and time.monotonic() < deadline:
            self.context.iteration(False) or time.sleep(0.01)
        response, results = answer[0].unpack()
        if response != 0:
            raise RuntimeError("%s answered %d" % (method, response))
        return results

    def notify(self, method, signature, *arguments):
        self.bus.call_sync(PORTAL, PORTAL_PATH, RD, method,
                           GLib.Variant(signature, (self.session, {}, *arguments)),
                           None, Gio.DBusCallFlags.NONE, 2000, None)

    def key(self, keysym):
        for pressed in (1, 0):
            self.notify("NotifyKeyboardKeysym", "(oa{sv}iu)", keysym, pressed)

    def move_blocking(self, points):
        for x, y in points:
            self.notify("NotifyPointerMotionAbsolute", "(oa{sv}udd)", self.node, x, y)

    def move_pipelined(self, points):
        in_flight = [0]

        def answered(bus, result, _):
            in_flight[0] -= 1
            bus.call_finish(result)

        for x, y in points:
            while in_flight[0] >= IN_FLIGHT:
                self.context.iteration(True)
            self.bus.call(PORTAL, PORTAL_PATH, RD, "NotifyPointerMotionAbsolute",
                          GLib.Variant("(oa{sv}udd)", (self.session, {}, self.node, x, y)),
                          None, Gio.DBusCallFlags.NONE, 2000, None, answered, None)
            in_flight[0] += 1
        while in_flight[0]:
            self.context.iteration(True)
        # The last may have been overtaken: it is sent again, alone.
        self.move_blocking(points[-1:])


def program_script(text):
    """Poll steps: the moves, then the text, each held until its flag and
    marked with it; polls answered "timeout" while a flag is down."""
    moves = [move(*point(i)) for i in range(MOVES)]
    commands = [{"cmd": "keyboardchar", "key": p} for p in keyboardchar_pieces(text)]
    polls = [{"body": batch({"cmd": "initcheck"})}]

    def gated(name, bodies):
        # Quick answers while the flag is down: the program gives up a poll
        # silent for 30 s.
        polls.extend({"until_flag": name, "delay": 0.25, "body": "timeout"} for _ in range(1200))
        polls.extend([{"wait_flag": name, "mark": name, "body": bodies[0]}] +
                     [{"body": b} for b in bodies[1:]])

    # Input is let through after an initcheck that finds the portal's session.
    gated("ready", [batch({"cmd": "initcheck"})])
    gated("pointer", [batch(*moves[b:b + 100]) for b in range(0, MOVES, 100)])
    gated("typing", [batch(*commands[b:b + 50]) for b in range(0, len(commands), 50)])
    gated("end", ["close"])
    return polls


class Program:
    """One run of the program (one instance per desktop session), through the
    user's consent and the portal's dialog."""

    def __init__(self, binary, compositor, probe, text):
        self.session = harness.Session(binary, compositor.display, {"poll": program_script(text)},
                                       env=dict(compositor.env, QT_QPA_PLATFORM="wayland"))
        self.session.start([{"args": [harness.HelperCase.URL]}])
        harness.Display(compositor.display).answer_alert("Return", 60)
        compositor.answer_portal(True, probe.sees)
        harness.wait_for("the program's portal session", lambda: any(
            "started on 2 monitor(s)" in line for line in self.session.log_lines()), 60)
        self.session.raise_flag("ready")
        harness.wait_for("the second initcheck", lambda: sum(
            r["type"] == "post" for r in self.session.requests()) >= 2, 60)

    def run(self, flag):
        self.session.raise_flag(flag)
        return lambda: next((r["t"] for r in self.session.records()
                             if r.get("kind") == "sent" and r.get("mark") == flag), None)

    def close(self):
        self.session.raise_flag("end")
        self.session.wait_end(60)
        self.session.close()


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--helper", required=True)
    parser.add_argument("--probe", required=True)
    parser.add_argument("--baseline", help="another build of the program, run beside it")
    parser.add_argument("--rounds", type=int, default=3)
    args = parser.parse_args()
    text = (TEXT * (CHARS // len(TEXT) + 1))[:CHARS]
    builds = [("this build", args.helper)] + [("main", args.baseline)] * bool(args.baseline)
    with open("/proc/loadavg") as f:
        load_before = f.read().split()[:3]
    moves = {n: [] for n in [b for b, _ in builds] + ["bare, blocking", "bare, 64 in flight"]}
    ended_elsewhere = {n: 0 for n in moves}
    typing = {n: ([], []) for n in [b for b, _ in builds] + ["bare, blocking"]}
    with contextlib.ExitStack() as stack:
        compositor = wayland.Compositor()
        stack.callback(compositor.stop)
        compositor.start()
        os.environ.update(compositor.env, QT_QPA_PLATFORM="wayland")  # xdotool needs XAUTHORITY
        probe = Probe(args.probe, os.environ)
        stack.callback(probe.stop)
        compositor.start_user()
        bare = BareClient(compositor, probe)
        last = ["motion", *map(str, point(MOVES - 1)), "0"]

        def pointer(name, run):
            compositor.click(5, 5, ())  # parked where no contender goes
            harness.wait_for("the parked pointer", lambda: probe.sees(5, 5), 30)
            start = len(probe.lines)
            began = run()
            with contextlib.suppress(harness.Timeout):
                harness.wait_for("the last motion", lambda: probe.seen(start, last), 60)
            # Motions in flight together arrive in any order: the run ends
            # with the last motion the probe sees, which should be the last point.
            harness.wait_for("the motions to end", lambda: probe.lines[-1][0] <
                             time.monotonic() - 0.5, 60)
            seen, final = [(t, w) for t, w in probe.lines[start:] if w[0] == "motion"][-1]
            ended_elsewhere[name] += final != last
            moves[name].append(MOVES / (seen - (began() if callable(began) else began)))

        def typed(name, run):
            compositor.click(600, 600)  # the probe's window takes the keys
            time.sleep(0.5)
            start = len(probe.lines)
            began = run()

            def whole():
                received, at = probe.typed(start)
                return len(received) >= len(text) and (received, at)
            with contextlib.suppress(harness.Timeout):
                harness.wait_for("the whole text", whole, 120)
            time.sleep(0.5)
            received, at = probe.typed(start)
            began = began() if callable(began) else began
            typing[name][0].append(len(received) / (at - began) if at else 0)
            typing[name][1].append(0 if received == text else edit_distance(received, text))

        def bare_run(send):
            began = time.monotonic()
            send()
            return began

        points = [point(i) for i in range(MOVES)]
        for r in range(args.rounds):
            print("round %d" % (r + 1), file=sys.stderr, flush=True)
            # A program runs alone on a desktop session: each build starts
            # afresh for its turn.
            for name in shuffled([b for b, _ in builds] + ["bare"]):
                if name == "bare":
                    for kind in shuffled(["bare, blocking", "bare, 64 in flight"]):
                        pointer(kind, lambda: bare_run(lambda: (
                            bare.move_blocking if kind == "bare, blocking" else
                            bare.move_pipelined)(points)))
                    typed("bare, blocking", lambda: bare_run(
                        lambda: [bare.key(ord(ch)) for ch in text]))
                    continue
                program = Program(dict(builds)[name], compositor, probe, text)
                try:
                    pointer(name, lambda: program.run("pointer"))
                    typed(name, lambda: program.run("typing"))
                finally:
                    program.close()
    with open("/proc/loadavg") as f:
        load_after = f.read().split()[:3]

    blocking, pipelined = moves["bare, blocking"], moves["bare, 64 in flight"]
    for name, rates in moves.items():
        row("pointer, %s, %d moves" % (name, MOVES), "%s moves/s; ended off the last point "
            "in %d of %d rounds" % (spread(rates), ended_elsewhere[name], len(rates)))
    for name, _ in builds:
        row("pointer, %s ÷ bare blocking (same round)" % name,
            spread([a / b for a, b in zip(moves[name], blocking)], "%.2f") + " ×")
        row("pointer, %s ÷ bare 64 in flight (same round)" % name,
            spread([a / b for a, b in zip(moves[name], pipelined)], "%.2f") + " ×",
            "≥ 0.8 ×" if name == "this build" else "")
    for name, (rates, distances) in typing.items():
        row("typing, %s, %d chars" % (name, CHARS),
            "%s chars/s; edit distance %s" % (spread(rates), spread(distances)),
            "exact" if name == "this build" else "")
    for name, _ in builds:
        row("typing, %s ÷ bare blocking (same round)" % name,
            spread([a / b for a, b in zip(typing[name][0], typing["bare, blocking"][0])],
                   "%.2f") + " ×", "≥ 0.9 ×" if name == "this build" else "")
    print("Load average (1, 5, 15 min) before: %s; after: %s" % (" ".join(load_before),
                                                               " ".join(load_after)))
    print("| Measure | Result | Goal |")
    print("|---|---|---|")
    for measure, result, goal in ROWS:
        print("| %s | %s | %s |" % (measure, result, goal))
    return 0


if __name__ == "__main__":
    sys.exit(main())
