# Runs the real helper program against the scripted sharing server, the way a
# browser would start it, inside a private user, network and mount namespace:
# loopback only, a hosts file naming the test host, a throw-away test CA as the
# trust store, and a D-Bus session bus of its own. Every wait is bounded.

import json
import os
import shlex
import shutil
import signal
import subprocess
import tempfile
import time
import unittest

TOOLS = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
HOST = "test.morrowvane.com"
ALERT = "Morrowvane Remote Control Helper$"  # the end of the title of the helper's dialogs


Timeout = TimeoutError


GUARD_SECONDS = 1.3  # a dialog ignores keys for its first second on screen


def wait_for(what, predicate, timeout=20.0, interval=0.05):
    # Polls `predicate` until it answers something true; returns that.
    deadline = time.monotonic() + timeout
    while not (value := predicate()):
        if time.monotonic() >= deadline:
            raise Timeout("timed out after %.0f s waiting for %s" % (timeout, what))
        time.sleep(interval)
    return value


def read(path, convert=str, default=None):
    try:
        with open(path, encoding="utf-8", errors="replace") as f:
            return convert(f.read())
    except (OSError, ValueError):
        return default


def proc_status_kib(pid, field):
    # A "kB" line of /proc/PID/status (VmRSS, VmHWM, ...); None once it has gone.
    lines = read("/proc/%d/status" % pid, str.splitlines, [])
    return next((int(line.split()[1]) for line in lines if line.startswith(field + ":")), None)


# The x11 probe client (tests/platform/x11_probe.cpp) on a display, its lines
# written to a file; with `timestamps`, each starts with the time read.
class Probe:
    def __init__(self, binary, display, timestamps=False):
        self.out, self._cleared = tempfile.NamedTemporaryFile("w+", prefix="mv-probe-"), 1
        self.process = subprocess.Popen([binary] + ["--timestamps"] * timestamps,
                                        env=dict(os.environ, DISPLAY=display), stdout=self.out,
                                        stdin=subprocess.PIPE, stderr=subprocess.DEVNULL)
        wait_for("the probe to be ready", lambda: "ready" in self.snapshot()[:1])

    def lines(self):
        text = read(self.out.name, default="")
        return text[:text.rfind("\n") + 1].splitlines()  # the last may be half written

    def snapshot(self):
        lines = self.lines()
        return lines[:1] + lines[self._cleared:]

    def clear(self):  # forgets all lines but the first
        self._cleared = len(self.lines())

    def typed_text(self, lines=None):
        # The text of every key press so far, or in `lines` ("key" lines end
        # in it, in hex).
        keys = [line.split()[-1] for line in (self.snapshot() if lines is None else lines)
                if line.startswith("key ")]
        return b"".join(bytes.fromhex(k) for k in keys if k != "-").decode(errors="replace")

    def wait_quiet(self, quiet=1.0, timeout=30.0):
        # Until no line has come for `quiet` seconds.
        seen = [None]

        def unchanged():
            count, seen[0] = seen[0], len(self.lines())
            return count == seen[0]
        wait_for("the probe's input to end", unchanged, timeout, quiet)

    def stop(self):
        self.process.stdin.close()  # it ends at the end of its input
        self.process.wait(timeout=10)  # its lines stay readable until it is gone


# A private X server with three RandR monitors side by side: LEFT
# (1280x1024 at root 0,0), MAIN (1920x1080 at 1280,0, primary) and RIGHT
# (1280x1024 at 3200,0). `nested`: the server is Xephyr in a window of an
# outer Xvfb, so that keys pressed there (press_outside) reach it through a
# keyboard of its own, as a user's do, not through XTest.
class Xvfb:
    def __init__(self, nested=False):
        self.processes, output = [], "screen"  # the server's one RandR output
        try:
            self.display = self.outer = self._serve(["Xvfb", "-screen", "0", "4480x1440x24"])
            if nested:
                self.display, output = self._serve(["Xephyr", "-screen", "4480x1440x24"],
                                                   DISPLAY=self.outer), "default"
                self.window = wait_for("the Xephyr window", lambda: Display(self.outer).run(
                    ["xdotool", "search", "--name", "^Xephyr"]).stdout.split())[0]
            for monitor in ("LEFT 1280/340x1024/270+0+0 none",
                            "*MAIN 1920/508x1080/286+1280+0 " + output,
                            "RIGHT 1280/338x1024/270+3200+0 none"):
                Display(self.display).run(["xrandr", "--setmonitor"] + monitor.split(), check=True)
        except BaseException:
            self.stop()
            raise

    def _serve(self, argv, **env):
        read_end, write_end = os.pipe()
        self.processes.append(subprocess.Popen(
            argv + ["-displayfd", str(write_end), "-noreset", "-nolisten", "tcp"],
            pass_fds=(write_end,), env=dict(os.environ, **env), stdout=subprocess.DEVNULL,
            stderr=subprocess.DEVNULL))
        os.close(write_end)
        with os.fdopen(read_end) as pipe:
            return ":" + pipe.readline().strip()  # just ":" if it failed: xrandr fails

    def press_outside(self, *commands):
        # Keys (xdotool's commands) on the nested server's own keyboard.
        Display(self.outer).run(["xdotool", "windowfocus", "--sync", self.window, *commands],
                                check=True)

    def stop(self):
        for process in reversed(self.processes):
            process.terminate()
            process.wait(timeout=10)


# X clients on any display (Xvfb, Xwayland or the user's own).
class Display:
    def __init__(self, display):
        self.display = display

    def run(self, argv, check=False):
        env = dict(os.environ, DISPLAY=self.display)
        env.pop("WAYLAND_DISPLAY", None)
        return subprocess.run(argv, env=env, capture_output=True, text=True, timeout=20,
                              check=check)

    def alerts(self):
        # Ids of the helper's mapped dialogs.
        return self.run(["xdotool", "search", "--onlyvisible", "--name", ALERT]).stdout.split()

    def wait_alert(self, timeout=20.0):
        return wait_for("a dialog of the helper", self.alerts, timeout)[0]

    def answer_alert(self, key, timeout=20.0):
        # Waits for a dialog and presses `key` once in it (Return: the default,
        # first button; Escape: the last) after the second in which a dialog
        # of the helper ignores keys; it must then close.
        window = self.wait_alert(timeout)
        time.sleep(GUARD_SECONDS)
        self.run(["xdotool", "windowfocus", "--sync", window, "key", key], check=True)
        wait_for("the dialog to close after %s" % key, lambda: window not in self.alerts(), timeout)


# One run in a work folder: certificates, the server with its script, and
# the helper (or a browser) started inside the namespace. `cert`: which
# certificate of make-test-certs.sh the server shows; `desktop`: stand-ins
# on the session bus ("watcher", a status area, and "notifications", see
# desktop_services.py); `binds`: (source, target) mounts; `env`: more
# environment (with DBUS_SESSION_BUS_ADDRESS the helper joins that bus);
# `state`: a folder of state files of an earlier run.
class Session:
    def __init__(self, binary, display, script, keep=os.environ.get("MV_E2E_KEEP"),
                 cert="server", desktop=(), binds=(), env=None, state=None):
        self.binary, self.display, self.script, self.keep = binary, display, script, keep
        self.cert, self.desktop, self.binds, self.env = cert, desktop, binds, env or {}
        self.state = state
        self.work = tempfile.mkdtemp(prefix="mv-e2e-")
        self.process, self._offset = None, 0

    def path(self, *names):
        return os.path.join(self.work, *names)

    def start(self, launches):
        # Starts the server and then `launches` one after the other in one
        # D-Bus session, each {"args": the program's arguments} or {"argv": a
        # whole command}, plus "after": a flag to wait for first, "background":
        # True to go on at once. The run's status is the first launch's.
        subprocess.run([os.path.join(TOOLS, "make-test-certs.sh"), self.path("certs"), HOST],
                       check=True, timeout=60)
        if self.state:
            shutil.copytree(self.state, self.path("state"))
        with open(self.path("script.json"), "w") as f:
            json.dump(self.script, f)
        lines = ["pids=()"] + ["/usr/bin/python3 %s %s & desktop=$!; wait_file ready" % (
            os.path.join(TOOLS, "e2e", "desktop_services.py"),
            " ".join("--" + d for d in self.desktop))] * bool(self.desktop)
        for i, launch in enumerate(launches):
            argv = launch.get("argv") or [os.path.abspath(self.binary)] + launch["args"]
            lines.append("%s{ %s & p=$!; echo $p > pid-%d; wait $p; echo $? > status-%d; }%s" % (
                "wait_file flag-%s; " % launch["after"] if "after" in launch else "",
                shlex.join(argv), i, i, " & pids+=($!)" if launch.get("background") else ""))
        with open(self.path("launch.sh"), "w") as f:
            f.write("\n".join(lines + ['for p in "${pids[@]}"; do wait "$p"; done']
                              + ["kill $desktop"] * bool(self.desktop)))
        binds = [("hosts", "/etc/hosts"), ("certs/ca.pem", "/etc/ssl/certs/ca-certificates.crt"),
                 *self.binds]
        inner = "\n".join([
            "set -eu", "cd " + shlex.quote(self.work), "ip link set lo up",
            "echo 127.0.0.1 localhost %s > hosts" % HOST]
            + ["mount --bind %s %s" % (shlex.quote(a), shlex.quote(b)) for a, b in binds] + [
            'wait_file() { for i in $(seq 600); do [ -e "$1" ] && return; sleep 0.1; done; false; }',
            "export -f wait_file",
            "python3 %s --cert certs/%s.pem --key certs/%s.key --script script.json --record "
            "record.jsonl --port-file port --flag-dir . & server=$!" % (
                os.path.join(TOOLS, "sharing_server.py"), self.cert, self.cert),
            'wait_file port || { echo "sharing server did not start" >&2; exit 97; }', "set +e",
            "%s bash launch.sh" % ("" if "DBUS_SESSION_BUS_ADDRESS" in self.env
                                   else "dbus-run-session --"), "kill -TERM $server; wait $server"])
        env = dict(os.environ, DISPLAY=self.display, XDG_STATE_HOME=self.path("state"))
        env.pop("DBUS_SESSION_BUS_ADDRESS", None)
        with open(self.path("output.txt"), "w") as out:
            self.process = subprocess.Popen(
                ["unshare", "-Urnm", "--propagation", "private", "bash", "-c", inner],
                env=dict(env, **self.env), stdout=out, stderr=subprocess.STDOUT,
                start_new_session=True)

    def raise_flag(self, name):
        open(self.path("flag-" + name), "w").close()

    def records(self, follow=False):
        # The server's records; with `follow`, those since the last such call.
        with open(self.path("record.jsonl"), "a+b") as f:  # made here if the server has not yet
            f.seek(self._offset if follow else 0)
            data = f.read()
        data = data[:data.rfind(b"\n") + 1]  # the server may be writing the last line
        self._offset += len(data) if follow else 0
        return [json.loads(line) for line in data.splitlines()]

    def requests(self):
        return [r for r in self.records() if r["kind"] == "request"]

    def log_lines(self):
        # "<date>  <message>": the date itself holds single blanks only.
        text = read(self.path("state", "MorrowvaneHelper", "MorrowvaneHelper.log"), default="")
        return [line.split("  ", 1)[1] for line in text.splitlines() if "  " in line]

    def desktop_state(self):
        # What the desktop stand-ins saw (see desktop_services.py).
        return read(self.path("desktop.json"), json.loads, {"notifications": [], "items": []})

    def launch_status(self, index):
        return read(self.path("status-%d" % index), int)

    def launch_pid(self, index, timeout=20.0):
        return wait_for("launch %d to start" % index,
                        lambda: read(self.path("pid-%d" % index), int), timeout)

    def wait_end(self, timeout=30.0):
        # Waits for the whole run to end; answers the first launch's status.
        self.process.wait(timeout=timeout)
        return self.launch_status(0)

    def output_text(self):
        return read(self.path("output.txt"), default="")

    def close(self):
        if self.process and self.process.poll() is None:
            os.killpg(self.process.pid, signal.SIGKILL)
            self.process.wait()
        if not self.keep:
            shutil.rmtree(self.work, ignore_errors=True)


def nested_display(test):
    # Marks a HelperCase test to run on Xephyr (Xvfb's `nested`).
    test.nested_display = True
    return test


# Test cases that run the helper (the test script sets BINARY): a fresh
# Xvfb per test, sessions cleaned up afterwards.
class HelperCase(unittest.TestCase):
    BINARY = None
    URL = "morrowvanenativehost://%s/abc123" % HOST

    def setUp(self):
        self.xvfb = Xvfb(getattr(getattr(self, self._testMethodName), "nested_display", False))
        self.addCleanup(self.xvfb.stop)
        self.display = Display(self.xvfb.display)

    def start(self, script, consent=True, launches=None, **options):
        # Starts a session (by default with the test URL); answers the consent dialog.
        session = Session(self.BINARY, self.xvfb.display, script, **options)
        self.addCleanup(session.close)
        session.start(launches or [{"args": [self.URL]}])
        if consent:
            self.display.answer_alert("Return")
        return session

    def assertEnded(self, session, timeout=40.0):
        self.assertEqual(session.wait_end(timeout), 0, session.output_text())

    @staticmethod
    def posts(session):
        return [r["body"] for r in session.requests() if r["method"] == "POST"]
