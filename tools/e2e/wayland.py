"""A headless GNOME compositor for the Wayland tests: a private session bus
on a path socket (so that programs in other network namespaces reach it), a
private system bus that tells mutter the keyboard layout, PipeWire and
WirePlumber, and `mutter --headless` with its virtual monitors and Xwayland.
The XDG desktop portals are bus-activated on the session bus.

`user` answers the portal's dialog as a person at the desktop would, through
mutter's own org.gnome.Mutter.RemoteDesktop API. Needs python3-gi.
"""

import os
import shutil
import signal
import subprocess
import tempfile
import threading
import time

from gi.repository import Gio, GLib

from harness import Timeout, wait_for

NAME = "mv-wayland-0"
LOCALE1_XML = """<node><interface name="org.freedesktop.locale1">
<property name="X11Layout" type="s" access="read"/><property name="X11Model" type="s" access="read"/>
<property name="X11Variant" type="s" access="read"/><property name="X11Options" type="s" access="read"/>
<property name="Locale" type="as" access="read"/><property name="VConsoleKeymap" type="s" access="read"/>
</interface></node>"""


class Compositor:
    def __init__(self, monitors=("1280x800", "1280x800"), layout="fr", remote_desktop=True,
                 x11=True):
        self.work = tempfile.mkdtemp(prefix="mv-wayland-")
        self.runtime = os.path.join(self.work, "run")
        os.mkdir(self.runtime, 0o700)
        self.processes = []
        self.loop = GLib.MainLoop()
        threading.Thread(target=self.loop.run, daemon=True).start()
        try:
            self._start(monitors, layout, remote_desktop, x11)
        except BaseException:
            self.stop()
            raise

    def _bus(self, name):
        path = os.path.join(self.work, name)
        self._spawn(["dbus-daemon", "--session", "--nofork", "--address=unix:path=" + path])
        wait_for("the %s bus" % name, lambda: os.path.exists(path), 20)
        return "unix:path=" + path

    def _spawn(self, argv):
        process = subprocess.Popen(argv, env=getattr(self, "env", None),
                                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                                   start_new_session=True)
        self.processes.append(process)
        return process

    def _start(self, monitors, layout, remote_desktop, x11):
        system = self._bus("system_bus")
        # Mutter takes the layout from locale1 on the system bus.
        self.system = Gio.DBusConnection.new_for_address_sync(
            system, Gio.DBusConnectionFlags.AUTHENTICATION_CLIENT |
            Gio.DBusConnectionFlags.MESSAGE_BUS_CONNECTION)
        values = {"X11Layout": GLib.Variant("s", layout), "X11Model": GLib.Variant("s", "pc105"),
                  "X11Variant": GLib.Variant("s", ""), "X11Options": GLib.Variant("s", ""),
                  "Locale": GLib.Variant("as", ["LANG=C.UTF-8"]),
                  "VConsoleKeymap": GLib.Variant("s", layout)}
        self.system.register_object(
            "/org/freedesktop/locale1", Gio.DBusNodeInfo.new_for_xml(LOCALE1_XML).interfaces[0],
            None, lambda *a: values[a[4]], None)
        self.system.call_sync("org.freedesktop.DBus", "/org/freedesktop/DBus",
                              "org.freedesktop.DBus", "RequestName",
                              GLib.Variant("(su)", ("org.freedesktop.locale1", 4)), None,
                              Gio.DBusCallFlags.NONE, 5000, None)
        session = self._bus("session_bus")
        self.env = {k: v for k, v in os.environ.items()
                    if k not in ("DISPLAY", "XAUTHORITY", "WAYLAND_DISPLAY")}
        # Without remote desktop the portal knows only the GTK backend, which
        # has no RemoteDesktop (as on wlroots desktops).
        portals = os.path.join(self.work, "portals")
        os.mkdir(portals)
        for name in ("gnome", "gtk") if remote_desktop else ("gtk",):
            shutil.copy("/usr/share/xdg-desktop-portal/portals/%s.portal" % name, portals)
        self.env.update(XDG_RUNTIME_DIR=self.runtime, XDG_CURRENT_DESKTOP="GNOME",
                        XDG_DESKTOP_PORTAL_DIR=portals,
                        XDG_SESSION_TYPE="wayland", WAYLAND_DISPLAY=NAME,
                        GSETTINGS_BACKEND="memory", DBUS_SESSION_BUS_ADDRESS=session,
                        DBUS_SYSTEM_BUS_ADDRESS=system)
        subprocess.run(["dbus-update-activation-environment", "XDG_RUNTIME_DIR",
                        "XDG_CURRENT_DESKTOP", "XDG_DESKTOP_PORTAL_DIR", "XDG_SESSION_TYPE",
                        "WAYLAND_DISPLAY",
                        "GSETTINGS_BACKEND", "DBUS_SYSTEM_BUS_ADDRESS"],
                       env=self.env, check=True, timeout=20)
        self.pipewire = self._spawn(["pipewire"])
        wait_for("pipewire", lambda: os.path.exists(os.path.join(self.runtime, "pipewire-0")), 20)
        self._spawn(["wireplumber"])
        argv = ["mutter", "--headless", "--wayland", "--wayland-display=" + NAME]
        argv += [] if x11 else ["--no-x11"]
        for monitor in monitors:
            argv += ["--virtual-monitor", monitor]
        self.mutter = self._spawn(argv)
        wait_for("mutter's socket", lambda: os.path.exists(os.path.join(self.runtime, NAME)), 30)
        self.display = ""  # none without Xwayland
        if x11:
            self.display, xauthority = wait_for("mutter's X display", self._xwayland, 30)
            self.env.update(DISPLAY=self.display, XAUTHORITY=xauthority)
            # Mutter starts Xwayland for the first X client; not the helper's.
            subprocess.run(["xdpyinfo"], env=self.env, stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL, timeout=60, check=True)
        self.bus = Gio.DBusConnection.new_for_address_sync(
            session, Gio.DBusConnectionFlags.AUTHENTICATION_CLIENT |
            Gio.DBusConnectionFlags.MESSAGE_BUS_CONNECTION)

    def _xwayland(self):
        """Mutter's public X display (it starts Xwayland on the first X
        client) and its auth file. Mutter holds the lock files of two
        displays; the second is its own."""
        auth = [f for f in os.listdir(self.runtime) if f.startswith(".mutter-Xwaylandauth.")]
        numbers = []
        for lock in os.listdir("/tmp"):
            try:
                with open(os.path.join("/tmp", lock)) as f:
                    if lock.startswith(".X") and lock.endswith("-lock") and \
                            int(f.read().strip()) == self.mutter.pid:
                        numbers.append(int(lock[2:-5]))
            except (OSError, ValueError):
                continue
        if len(numbers) < 2 or not auth:
            return None
        return ":%d" % min(numbers), os.path.join(self.runtime, auth[0])

    def call(self, path, interface, method, args=None, reply=None, name="org.gnome.Mutter.RemoteDesktop"):
        return self.bus.call_sync(name, path, interface, method, args,
                                  GLib.VariantType(reply) if reply else None,
                                  Gio.DBusCallFlags.NONE, 10000, None)

    def stop_pipewire(self):
        """The desktop's media server goes away; mutter ends every screen
        cast, and with it the remote desktop sessions."""
        self.pipewire.terminate()
        self.pipewire.wait(timeout=10)

    def user(self):
        """A virtual keyboard and pointer of mutter's own, as the person at
        the desktop would use them."""
        return MutterUser(self)

    def stop(self):
        # Clients first: mutter hangs on SIGTERM while a portal screen cast runs.
        for name in ("xdg-desktop-portal-gnome", "xdg-desktop-portal-gtk", "xdg-desktop-portal",
                     "xdg-document-portal", "xdg-permission-store"):
            self._kill_children_named(name)
        for process in reversed(self.processes):
            if process.poll() is None:
                os.killpg(process.pid, signal.SIGTERM)
                try:
                    process.wait(timeout=10)
                except subprocess.TimeoutExpired:
                    os.killpg(process.pid, signal.SIGKILL)
                    process.wait()
        self.loop.quit()
        subprocess.run(["fusermount3", "-uz", os.path.join(self.runtime, "doc")],
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=False)
        shutil.rmtree(self.work, ignore_errors=True)

    def _kill_children_named(self, name):
        """Bus-activated services are children of the session bus daemon."""
        daemons = {p.pid for p in self.processes}
        for pid in os.listdir("/proc"):
            try:
                with open("/proc/%s/stat" % pid) as f:
                    fields = f.read().rsplit(")", 1)
                comm = fields[0].split("(", 1)[1]
                ppid = int(fields[1].split()[1])
            except (OSError, ValueError, IndexError):
                continue
            if ppid in daemons and comm == name[:15]:
                try:
                    os.kill(int(pid), signal.SIGKILL)
                except ProcessLookupError:
                    pass


class MutterUser:
    RD = "org.gnome.Mutter.RemoteDesktop"

    def __init__(self, compositor):
        self.c = compositor
        self.session = compositor.call("/org/gnome/Mutter/RemoteDesktop", self.RD,
                                       "CreateSession", None, "(o)")[0]
        session_id = compositor.call(self.session, "org.freedesktop.DBus.Properties", "Get",
                                     GLib.Variant("(ss)", (self.RD + ".Session", "SessionId")),
                                     "(v)")[0]
        cast = compositor.call("/org/gnome/Mutter/ScreenCast", "org.gnome.Mutter.ScreenCast",
                               "CreateSession", GLib.Variant(
                                   "(a{sv})", ({"remote-desktop-session-id":
                                                GLib.Variant("s", session_id)},)),
                               "(o)", name="org.gnome.Mutter.ScreenCast")[0]
        self.stream = compositor.call(cast, "org.gnome.Mutter.ScreenCast.Session",
                                      "RecordMonitor", GLib.Variant("(sa{sv})", ("", {})),
                                      "(o)", name="org.gnome.Mutter.ScreenCast")[0]
        compositor.call(self.session, self.RD + ".Session", "Start")

    def _notify(self, method, signature, args):
        self.c.call(self.session, self.RD + ".Session", method, GLib.Variant(signature, args))

    def key(self, keysym):
        for pressed in (True, False):
            self._notify("NotifyKeyboardKeysym", "(ub)", (keysym, pressed))

    def move(self, x, y):
        """To a point of the primary monitor."""
        self._notify("NotifyPointerMotionAbsolute", "(sdd)", (self.stream, x, y))

    def click(self, x, y):
        self.move(x, y)
        for pressed in (True, False):
            self._notify("NotifyPointerButton", "(ib)", (272, pressed))
        time.sleep(0.5)

    def answer_portal(self, accept, probe_sees):
        """Waits for the portal's dialog in the middle of the primary monitor
        (the probe below it no longer sees the pointer there), then shares
        both monitors with remote interaction on, or cancels."""
        def covered():
            # Twice unseen, so that a slow client is not taken for a dialog.
            for x in (640, 641):
                self.move(x, 400)
                if probe_sees(x, 400):
                    return False
            return True
        wait_for("the portal's dialog", covered, 30)
        time.sleep(1)  # it zooms in as it appears
        if accept:
            self.click(640, 441)  # the second monitor
            self.click(830, 527)  # "Allow remote interaction"
            self.click(853, 273)  # Share
        else:
            self.click(430, 273)  # Cancel

    def stop(self):
        self.c.call(self.session, self.RD + ".Session", "Stop")
