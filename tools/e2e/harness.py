"""Runs the real helper program against the scripted sharing server, the way
a browser would start it, inside a private user, network and mount namespace:
loopback only, a hosts file naming the test host, a throw-away test CA as the
trust store, and a D-Bus session bus of its own. Every wait is bounded."""

import json
import os
import shlex
import shutil
import signal
import subprocess
import tempfile
import threading
import time
import unittest

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
SERVER = os.path.join(ROOT, "tools", "sharing_server.py")
MAKE_CERTS = os.path.join(ROOT, "tools", "make-test-certs.sh")
DESKTOP_SERVICES = os.path.join(ROOT, "tools", "e2e", "desktop_services.py")
HOST = "test.morrowvane.com"
ALERT_TITLE = "Morrowvane Remote Control Helper"


class Timeout(Exception):
    pass


def wait_for(what, predicate, timeout=20.0, interval=0.05):
    """Polls `predicate` until it answers something true; returns that."""
    deadline = time.monotonic() + timeout
    while True:
        value = predicate()
        if value:
            return value
        if time.monotonic() >= deadline:
            raise Timeout("timed out after %.0f s waiting for %s" % (timeout, what))
        time.sleep(interval)


def proc_status_kib(pid, field):
    """A "kB" line of /proc/PID/status (VmRSS, VmHWM, ...); None once it has gone."""
    try:
        with open("/proc/%d/status" % pid) as f:
            for line in f:
                if line.startswith(field + ":"):
                    return int(line.split()[1])
    except (FileNotFoundError, ProcessLookupError):
        return None
    return None


def sanitized(binary):
    """Whether the program was built with ASan or TSan, whose RSS is their own."""
    with open(binary, "rb") as f:
        data = f.read()
    return b"__asan_init" in data or b"__tsan_init" in data


def cpu_seconds(pid):
    """User plus system CPU time the process has used so far."""
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    # Fields 14 and 15 of stat(5); the list starts at field 3.
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def end(process, ask):
    """Asks a running process to end (`ask`), and kills it after 10 s."""
    if process.poll() is None:
        ask()
        try:
            process.wait(timeout=10)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()


def read_int(path):
    try:
        with open(path) as f:
            return int(f.read().strip())
    except (FileNotFoundError, ValueError):
        return None


class Probe:
    """The x11 probe client (tests/platform/x11_probe.cpp) on a display, its
    lines gathered by a thread; with `timestamps`, each starts with the time read."""

    def __init__(self, binary, display, timestamps=False):
        self.lines = []
        self._lock = threading.Lock()
        self._timestamps = timestamps
        argv = [binary] + (["--timestamps"] if timestamps else [])
        self.process = subprocess.Popen(argv, env=dict(os.environ, DISPLAY=display),
                                        stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                        stderr=subprocess.DEVNULL, text=True)
        self._reader = threading.Thread(target=self._read, daemon=True)
        self._reader.start()
        wait_for("the probe to be ready", lambda: "ready" in self.snapshot()[:1], 20)

    def _read(self):
        for line in self.process.stdout:
            with self._lock:
                self.lines.append(line.rstrip("\n"))

    def snapshot(self):
        with self._lock:
            return list(self.lines)

    def clear(self):
        with self._lock:
            del self.lines[1:]

    def typed_text(self):
        """The text of every key press so far ("key" lines carry it in hex)."""
        text = b""
        for line in self.snapshot():
            fields = line.split()[1 if self._timestamps else 0:]
            if fields[:1] == ["key"] and len(fields) >= 5 and fields[4] != "-":
                text += bytes.fromhex(fields[4])
        return text.decode(errors="replace")

    def stop(self):
        end(self.process, self.process.stdin.close)
        self._reader.join(timeout=10)


def pressed_state(probe_binary, display):
    """Keys and pointer buttons held now on the display: (keycodes, button mask)."""
    out = subprocess.run([probe_binary, "--pressed"], env=dict(os.environ, DISPLAY=display),
                         capture_output=True, text=True, timeout=20, check=True).stdout
    words = {line.split()[0]: line.split()[1:] for line in out.splitlines() if line.split()}
    return [int(k) for k in words["keys"]], int(words["buttons"][0], 16)


class Xvfb:
    """A private X server with three RandR monitors side by side: LEFT
    (1280x1024 at root 0,0), MAIN (1920x1080 at 1280,0, primary) and RIGHT
    (1280x1024 at 3200,0)."""

    def __init__(self):
        read_end, write_end = os.pipe()
        self.process = subprocess.Popen(
            ["Xvfb", "-displayfd", str(write_end), "-screen", "0", "4480x1440x24",
             "-noreset", "-nolisten", "tcp"],
            pass_fds=(write_end,), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        os.close(write_end)
        with os.fdopen(read_end) as pipe:
            number = pipe.readline().strip()  # nothing when Xvfb failed
        if not number:
            raise Timeout("Xvfb did not report its display")
        self.display = ":" + number
        for monitor in ("LEFT 1280/340x1024/270+0+0 none",
                        "*MAIN 1920/508x1080/286+1280+0 screen",
                        "RIGHT 1280/338x1024/270+3200+0 none"):
            Display(self.display).run(["xrandr", "--setmonitor"] + monitor.split(), check=True)

    def stop(self):
        end(self.process, self.process.terminate)


class Display:
    """X client helpers over any display (Xvfb or the user's own)."""

    def __init__(self, display):
        self.display = display

    def env(self):
        env = dict(os.environ, DISPLAY=self.display)
        env.pop("WAYLAND_DISPLAY", None)
        return env

    def run(self, argv, check=False):
        result = subprocess.run(argv, env=self.env(), capture_output=True, text=True,
                                timeout=20, check=False)
        if check and result.returncode != 0:
            raise RuntimeError("%s failed: %s" % (" ".join(argv), result.stderr.strip()))
        return result

    def visible_windows(self, name):
        """Ids of mapped windows whose title matches the regular expression."""
        out = self.run(["xdotool", "search", "--onlyvisible", "--name", name]).stdout
        return [w for w in out.split() if w]

    def wait_alert(self, timeout=20.0):
        """Waits for one of the helper's dialogs; answers its window id."""
        return wait_for("a dialog of the helper",
                        lambda: self.visible_windows("^%s$" % ALERT_TITLE), timeout)[0]

    def answer_alert(self, key, timeout=20.0):
        """Waits for a dialog and presses `key` in it (Return: the default,
        first button; Escape: the last), then waits until it is gone."""
        window = self.wait_alert(timeout)

        def press_until_closed():
            # A key that comes while the dialog is still being set up is
            # lost, so press again until it has gone.
            if window not in self.visible_windows("^%s$" % ALERT_TITLE):
                return True
            self.run(["xdotool", "windowfocus", "--sync", window])
            self.run(["xdotool", "key", key])
            return False

        wait_for("the dialog to close after %s" % key, press_until_closed, timeout, interval=0.5)
        return window

    def key(self, keys):
        self.run(["xdotool", "key"] + keys.split(), check=True)

    def screenshot(self, path):
        self.run(["import", "-window", "root", path], check=True)


class Session:
    """One run: a work folder, certificates, a server script, and the helper
    started inside the namespace with a launch plan."""

    def __init__(self, binary, display, script, keep=False, cert="server",
                 extra_hosts=(), desktop=(), binds=(), env=None):
        self.binary, self.display, self.script, self.keep = (
            os.path.abspath(binary), display, script, keep)
        self.cert = cert  # which certificate of make-test-certs.sh the server shows
        self.extra_hosts = extra_hosts  # more names that lead to the server
        # Desktop stand-ins on the helper's session bus: "watcher" (a status
        # area) and/or "notifications" (see desktop_services.py).
        self.desktop = desktop
        self.binds = binds  # (source, target) pairs mounted in the namespace
        # More environment for everything started inside; with
        # DBUS_SESSION_BUS_ADDRESS the helper joins that bus, not a private one.
        self.env = env or {}
        self.work = tempfile.mkdtemp(prefix="mv-e2e-")
        self.process = None
        self.state = os.path.join(self.work, "state")
        self.record_path = os.path.join(self.work, "record.jsonl")
        self.output = os.path.join(self.work, "output.txt")
        self.desktop_path = os.path.join(self.work, "desktop.json")

    # --- setting up ---------------------------------------------------------

    def _prepare(self):
        subprocess.run([MAKE_CERTS, os.path.join(self.work, "certs"), HOST], check=True,
                       timeout=60)
        with open(os.path.join(self.work, "hosts"), "w") as f:
            f.write("127.0.0.1 localhost\n127.0.0.1 %s\n" % HOST)
            for name in self.extra_hosts:
                f.write("127.0.0.1 %s\n" % name)
        with open(os.path.join(self.work, "script.json"), "w") as f:
            json.dump(self.script, f)
        os.makedirs(self.state)

    def start(self, launches):
        """Starts the server and the helper. `launches` is a list of launches
        made one after the other in the same D-Bus session, each a dict:
          "args": the program's arguments
          "argv": instead of "args", a whole command to start (e.g. a browser)
          "after": a flag name: wait until flag(name) was raised first
          "background": True to go on without waiting for this launch to end
        The run's status is that of the first launch."""
        self._prepare()
        lines = ["set -u", "pids=()"]
        if self.desktop:
            ready = shlex.quote(os.path.join(self.work, "ready"))
            lines += ["/usr/bin/python3 %s --state %s --flag-dir %s %s &" % (
                          shlex.quote(DESKTOP_SERVICES), shlex.quote(self.desktop_path),
                          shlex.quote(self.work), " ".join("--" + d for d in self.desktop)),
                      "desktop=$!",
                      "for i in $(seq 200); do [ -e %s ] && break; sleep 0.05; done" % ready]
        for index, launch in enumerate(launches):
            if launch.get("after"):
                flag = os.path.join(self.work, "flag-" + launch["after"])
                lines.append("for i in $(seq 600); do [ -e %s ] && break; sleep 0.1; done"
                             % shlex.quote(flag))
            argv = " ".join(shlex.quote(a)
                            for a in launch.get("argv") or [self.binary] + launch["args"])
            status = shlex.quote(os.path.join(self.work, "status-%d" % index))
            pid = shlex.quote(os.path.join(self.work, "pid-%d" % index))
            run = "{ %s & p=$!; echo $p > %s; wait $p; echo $? > %s; }" % (argv, pid, status)
            if launch.get("background"):
                lines.append("%s & pids+=($!)" % run)
            else:
                lines.append(run)
        lines.append('for p in "${pids[@]}"; do wait "$p"; done')
        if self.desktop:
            lines.append("kill $desktop")
        with open(os.path.join(self.work, "launch.sh"), "w") as f:
            f.write("\n".join(lines) + "\n")

        w = shlex.quote(self.work)
        binds = "".join("mount --bind %s %s\n" % (shlex.quote(a), shlex.quote(b))
                        for a, b in self.binds)
        inner = f"""
set -eu
ip link set lo up
mount --bind {w}/hosts /etc/hosts
mount --bind {w}/certs/ca.pem /etc/ssl/certs/ca-certificates.crt
{binds}python3 {shlex.quote(SERVER)} --host 127.0.0.1 --port 443 --cert {w}/certs/{self.cert}.pem \
  --key {w}/certs/{self.cert}.key --script {w}/script.json --record {w}/record.jsonl \
  --port-file {w}/port --flag-dir {w} &
server=$!
for i in $(seq 200); do [ -e {w}/port ] && break; sleep 0.05; done
[ -e {w}/port ] || {{ echo "sharing server did not start" >&2; exit 97; }}
set +e
{"" if "DBUS_SESSION_BUS_ADDRESS" in self.env else "dbus-run-session --"} bash {w}/launch.sh
kill -TERM $server; wait $server
"""
        env = dict(os.environ, DISPLAY=self.display, XDG_STATE_HOME=self.state)
        env.pop("DBUS_SESSION_BUS_ADDRESS", None)
        env.update(self.env)
        self.out_file = open(self.output, "w")
        self.process = subprocess.Popen(
            ["unshare", "-Urnm", "--propagation", "private", "bash", "-c", inner],
            env=env, stdout=self.out_file, stderr=subprocess.STDOUT, start_new_session=True)

    def raise_flag(self, name):
        open(os.path.join(self.work, "flag-" + name), "w").close()

    # --- observing ----------------------------------------------------------

    def records(self):
        try:
            with open(self.record_path) as f:
                return [json.loads(line) for line in f if line.strip()]
        except FileNotFoundError:
            return []

    def requests(self):
        return [r for r in self.records() if r.get("kind") == "request"]

    def follow(self):
        """The records written since the last call; a long record is read
        once, not again on every look."""
        offset = getattr(self, "_follow_offset", 0)
        try:
            with open(self.record_path, "rb") as f:
                f.seek(offset)
                data = f.read()
        except FileNotFoundError:
            return []
        complete = data[:data.rfind(b"\n") + 1]
        self._follow_offset = offset + len(complete)
        return [json.loads(line) for line in complete.splitlines() if line.strip()]

    def log_lines(self):
        path = os.path.join(self.state, "MorrowvaneHelper", "MorrowvaneHelper.log")
        try:
            with open(path, encoding="utf-8") as f:
                # "<date>  <message>": the date itself holds single blanks only.
                return [line.rstrip("\n").split("  ", 1)[1] for line in f if "  " in line]
        except FileNotFoundError:
            return []

    def desktop_state(self):
        """What the desktop stand-ins saw: notifications and status items."""
        try:
            with open(self.desktop_path) as f:
                return json.load(f)
        except FileNotFoundError:
            return {"notifications": [], "items": []}

    def notifications(self):
        return [n["summary"] for n in self.desktop_state()["notifications"]]

    def status_items(self):
        return [i for i in self.desktop_state()["items"] if not i["gone"]]

    def click_status_menu(self, label):
        with open(os.path.join(self.work, "flag-click"), "w") as f:
            f.write(label)

    def wait_log(self, line, timeout=20.0):
        return wait_for("log line %r" % line, lambda: line in self.log_lines(), timeout)

    def launch_status(self, index):
        return read_int(os.path.join(self.work, "status-%d" % index))

    def launch_pid(self, index, timeout=20.0):
        return wait_for("launch %d to start" % index,
                        lambda: read_int(os.path.join(self.work, "pid-%d" % index)), timeout)

    def wait_end(self, timeout=30.0):
        """Waits for the whole run to end; answers the first launch's status."""
        try:
            self.process.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            raise Timeout("the helper did not end within %.0f s" % timeout)
        return self.launch_status(0)

    def output_text(self):
        with open(self.output, errors="replace") as f:
            return f.read()

    def close(self):
        if self.process and self.process.poll() is None:
            os.killpg(self.process.pid, signal.SIGKILL)
            self.process.wait()
        if getattr(self, "out_file", None):
            self.out_file.close()
        if not self.keep:
            shutil.rmtree(self.work, ignore_errors=True)


class HelperCase(unittest.TestCase):
    """Base of the test cases that run the helper: a fresh Xvfb per test and
    sessions that are cleaned up afterwards. The test script sets BINARY."""

    BINARY = None
    URL = "morrowvanenativehost://%s/abc123" % HOST

    def setUp(self):
        self.xvfb = Xvfb()
        self.addCleanup(self.xvfb.stop)
        self.display = Display(self.xvfb.display)

    def start(self, script, consent=True, launches=None, **options):
        """Starts a session (by default with the test URL); answers the consent dialog."""
        session = Session(self.BINARY, self.xvfb.display, script,
                          keep=bool(os.environ.get("MV_E2E_KEEP")), **options)
        self.addCleanup(session.close)
        session.start(launches or [{"args": [self.URL]}])
        if consent:
            self.display.answer_alert("Return")
        return session

    def assertEnded(self, session, timeout=40.0):
        status = session.wait_end(timeout)
        self.assertEqual(status, 0, session.output_text())

    @staticmethod
    def posts(session):
        return [r["body"] for r in session.requests() if r["method"] == "POST"]
