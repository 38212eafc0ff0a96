"""Headless desktops with the XDG desktop portals: mutter 43 (Compositor), KWin
5.27 (KWin) and GNOME Shell 48 (GnomeShell), each with a remote session of the
test's own as the person at the desktop. Needs python3-gi."""

import contextlib
import glob
import json
import os
import queue
import shutil
import signal
import subprocess
import tempfile
import threading
import time

from gi.repository import Gio, GLib

from harness import ALERT, wait_for

NAME, RD, CAST = "mv-wayland-0", "org.gnome.Mutter.RemoteDesktop", "org.gnome.Mutter.ScreenCast"
DESKTOP, PORTAL = "org.freedesktop.portal.Desktop", "/org/freedesktop/portal/desktop"
PORTAL_RD = "org.freedesktop.portal.RemoteDesktop"
LOCALE1 = ("X11Layout", "X11Model", "X11Variant", "X11Options")


def own(bus, name):
    bus.call_sync("org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                  "RequestName", GLib.Variant("(su)", (name, 4)), None, Gio.DBusCallFlags.NONE,
                  5000, None)


class Compositor:
    corner = "motion -"  # a probe line of the pointer placed from a corner: none here
    root = ""  # of the file system the desktop runs in
    enter_moves = False  # a pointer entering a window there comes without its motion
    # Where answer_portal leaves the shared pointer: the program's session
    # starts with a motion by nothing, seen there.
    rest = "motion 853 273 0"

    def __init__(self):
        self.work = tempfile.mkdtemp(prefix="mv-wayland-")
        self.runtime, self.processes, self.env, self.display = self.path("run"), [], None, ""
        self.loop = GLib.MainLoop()

    def path(self, *names):
        return os.path.join(self.work, *names)

    def _spawn(self, argv, ready=None):
        self.processes.append(subprocess.Popen(argv, env=self.env, stdout=subprocess.DEVNULL,
                                               stderr=subprocess.DEVNULL, start_new_session=True))
        wait_for(argv[0], lambda: not ready or os.path.exists(ready), 30)
        return self.processes[-1]

    def _bus(self, name):
        self._spawn(["dbus-daemon", "--session", "--nofork", "--address=unix:path=" + self.path(name)],
                    self.path(name))
        return Gio.DBusConnection.new_for_address_sync(
            "unix:path=" + self.path(name), Gio.DBusConnectionFlags.AUTHENTICATION_CLIENT |
            Gio.DBusConnectionFlags.MESSAGE_BUS_CONNECTION), "unix:path=" + self.path(name)

    def _services(self, layout, portals, desktop, **more):
        """The buses, the environment the portals are started in, and PipeWire."""
        os.mkdir(self.runtime, 0o700)
        threading.Thread(target=self.loop.run, daemon=True).start()
        self.system, system = self._bus("system_bus")
        xml = "".join('<property name="%s" type="s" access="read"/>' % p for p in LOCALE1)
        values = dict(zip(LOCALE1, (layout, "pc105", "", "")))
        self.system.register_object("/org/freedesktop/locale1", Gio.DBusNodeInfo.new_for_xml(
            '<node><interface name="org.freedesktop.locale1">%s</interface></node>' % xml)
            .interfaces[0], None, lambda *a: GLib.Variant("s", values[a[4]]), None)
        own(self.system, "org.freedesktop.locale1")
        self.bus, session = self._bus("session_bus")
        os.mkdir(self.path("portals"))
        for name in portals:
            shutil.copy("%s/usr/share/xdg-desktop-portal/portals/%s.portal" % (self.root, name),
                        self.path("portals"))
        new = dict(XDG_RUNTIME_DIR=self.runtime, XDG_CURRENT_DESKTOP=desktop, WAYLAND_DISPLAY=NAME,
                   XDG_DESKTOP_PORTAL_DIR=self.path("portals"), XDG_SESSION_TYPE="wayland",
                   DBUS_SYSTEM_BUS_ADDRESS=system, **more)
        self.env = {k: v for k, v in os.environ.items() if k not in ("DISPLAY", "XAUTHORITY")}
        self.env.update(new, DBUS_SESSION_BUS_ADDRESS=session)
        subprocess.run(["dbus-update-activation-environment"] + list(new), env=self.env,
                       check=True, timeout=20)
        self.started_buses()
        self.pipewire = self._spawn(["pipewire"], os.path.join(self.runtime, "pipewire-0"))
        self._spawn(["wireplumber"])  # it starts the portals

    def started_buses(self):
        """What the desktop has on its buses before the portals start."""

    def start(self, layout="fr", remote_desktop=True, x11=True):
        # Without remote desktop only the GTK backend (as on wlroots desktops).
        self._services(layout, ("gnome", "gtk") if remote_desktop else ("gtk",), "GNOME",
                       GSETTINGS_BACKEND="memory")
        argv = ["mutter", "--headless", "--wayland", "--wayland-display=" + NAME]
        argv += ["--virtual-monitor", "1280x800"] * 2 + ([] if x11 else ["--no-x11"])
        self.mutter = self._spawn(argv, os.path.join(self.runtime, NAME))
        if x11:
            self.display, xauthority = wait_for("mutter's X display", self._xwayland, 30)
            self.env.update(DISPLAY=self.display, XAUTHORITY=xauthority)
            # Mutter starts Xwayland for the first X client; not the helper's.
            subprocess.run(["xdpyinfo"], env=self.env, stdout=subprocess.DEVNULL, timeout=60,
                           check=True)

    def _xwayland(self):  # the lower of the two displays whose lock files name mutter
        def mine(lock):
            with open(lock) as f:
                return f.read().strip() == str(self.mutter.pid)
        numbers = sorted(int(lock[7:-5]) for lock in glob.glob("/tmp/.X*-lock") if mine(lock))
        auth = glob.glob(os.path.join(self.runtime, ".mutter-Xwaylandauth.*"))
        return len(numbers) >= 2 and auth and (":%d" % numbers[0], auth[0])

    def call(self, path, method, args=None, reply=None, name=RD, interface=None):
        answer = self.bus.call_sync(name, path, interface or name + ".Session", method, args,
                                    GLib.VariantType(reply) if reply else None,
                                    Gio.DBusCallFlags.NONE, 10000, None)
        return answer[0] if reply else None

    def start_user(self):
        self.user = self.call("/org/gnome/Mutter/RemoteDesktop", "CreateSession", None, "(o)",
                              interface=RD)
        user_id = self.call(self.user, "Get", GLib.Variant("(ss)", (RD + ".Session", "SessionId")),
                            "(v)", interface="org.freedesktop.DBus.Properties")
        cast = self.call("/org/gnome/Mutter/ScreenCast", "CreateSession", GLib.Variant(
            "(a{sv})", ({"remote-desktop-session-id": GLib.Variant("s", user_id)},)), "(o)",
            name=CAST, interface=CAST)
        self.stream = self.call(cast, "RecordMonitor", GLib.Variant("(sa{sv})", ("", {})), "(o)",
                                name=CAST)
        self.call(self.user, "Start")
        self.key(0xffe1)  # mutter drops a new session's first key: a Shift, which answers nothing

    def notify(self, method, signature, *args):
        self.call(self.user, method, GLib.Variant(signature, args))

    def press(self, keysym, down):
        self.notify("NotifyKeyboardKeysym", "(ub)", keysym, down)

    def chord(self, *keysyms):
        """Presses keys together, then lets them go."""
        for down, order in ((True, keysyms), (False, keysyms[::-1])):
            for keysym in order:
                self.press(keysym, down)

    def key(self, keysym):
        self.chord(keysym)

    def click(self, x, y, buttons=(True, False)):
        """At a point of the primary monitor; `buttons` () only moves."""
        self.notify("NotifyPointerMotionAbsolute", "(sdd)", self.stream, x, y)
        for pressed in buttons:
            self.notify("NotifyPointerButton", "(ib)", 272, pressed)

    def answer_portal(self, accept, probe_sees):
        """Shares both monitors with remote interaction on, or cancels, once the
        portal's dialog covers the middle of the primary monitor."""
        wait_for("the portal's dialog", lambda: not any(
            self.click(x, 400, ()) or probe_sees(x, 400) for x in (640, 641)), 30)
        time.sleep(1)  # it zooms in as it appears
        # The second monitor, "Allow remote interaction", Share; or Cancel.
        for point in [(640, 441), (830, 527), (853, 273)] if accept else [(430, 273)]:
            self.click(*point)
            time.sleep(0.5)

    def dialog_focused(self, probe):
        """Whether the program's dialog has the focus: here it takes it from
        the client as it appears."""
        return [l for l in probe.lines() if l.startswith("focus ")][-1:] == ["focus -"]

    def answer_shortcuts(self):
        """Where the desktop asks the user before it binds a shortcut, agrees."""

    def edge_barriers(self):
        """Turns on barriers at the edges between monitors where the desktop
        has them; whether it has."""
        return False

    def end_sessions(self):
        """The desktop ends the remote sessions: here as its screen casts end."""
        self.pipewire.terminate()

    def stop(self):
        # With the buses go the portals they started.
        for process in self.processes:
            with contextlib.suppress(ProcessLookupError):
                os.killpg(process.pid, signal.SIGKILL)
            process.wait()
        self.loop.quit()
        subprocess.run(["fusermount3", "-uz", os.path.join(self.runtime, "doc")],
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        shutil.rmtree(self.work, ignore_errors=True)


class KWin(Compositor):
    """KWin 5.27 headless, without Xwayland, with KDE's portals; the person at
    the desktop is a portal session of the test's own, whose keys KWin's fake
    input presses (a program without an app id gets no dialog here)."""
    corner = "motion 2559 0 "  # two monitors of one size: the pointer is placed from there
    enter_moves = True
    rest = None

    options = ["--no-kactivities"]

    def start(self, layout="fr", x11=False):  # never with Xwayland
        os.makedirs(self.path("config"), exist_ok=True)
        with open(self.path("config", "kxkbrc"), "w") as f:
            f.write("[Layout]\nLayoutList=%s\nUse=true\n" % layout)
        self._services(layout, ("kde",), "KDE", XDG_CONFIG_HOME=self.path("config"),
                       **self.environment())
        # A copy: the installed binary's file capability is refused in containers.
        kwin = shutil.copy(self.root + "/usr/bin/kwin_wayland", self.path("kwin_wayland"))
        self._spawn([kwin, "--virtual", "--socket", NAME, "--width", "1280", "--height", "800",
                     "--output-count", "2", "--no-lockscreen"] + self.options,
                    os.path.join(self.runtime, NAME))
        self.portal_ready()

    def environment(self):
        return dict(KDE_FULL_SESSION="true")

    def portal_ready(self):
        # The portal's first session right after its start can fail.
        self.remote_desktop_version()
        time.sleep(1)

    def remote_desktop_version(self):
        return self.call(PORTAL, "Get", GLib.Variant("(ss)", (PORTAL_RD, "version")), "(v)",
                         name=DESKTOP, interface="org.freedesktop.DBus.Properties")

    def request(self, method, signature, *args, interface=PORTAL_RD):
        """A portal request answered with response 0; its results."""
        self.serial += 1
        token = "mvtest%d" % self.serial
        path = "/org/freedesktop/portal/desktop/request/%s/%s" % (
            self.bus.get_unique_name()[1:].replace(".", "_"), token)
        answers = queue.Queue()
        subscription = self.bus.signal_subscribe(
            DESKTOP, "org.freedesktop.portal.Request", "Response", path, None,
            Gio.DBusSignalFlags.NONE, lambda *a: answers.put(a[5].unpack()))
        try:
            args[-1]["handle_token"] = GLib.Variant("s", token)
            self.call(PORTAL, method, GLib.Variant(signature, args), "(o)", name=DESKTOP,
                      interface=interface)
            response, results = answers.get(timeout=30)
        finally:
            self.bus.signal_unsubscribe(subscription)
        assert response == 0, "%s answered %d" % (method, response)
        return results

    serial = 0

    def start_user(self):
        self.user = self.request("CreateSession", "(a{sv})", {"session_handle_token": GLib.Variant(
            "s", "mvtestuser%d" % self.serial)})["session_handle"]
        self.request("SelectDevices", "(oa{sv})", self.user, {"types": GLib.Variant("u", 3)})
        self.request("Start", "(osa{sv})", self.user, "", {})

    def notify(self, method, signature, *args):
        self.call(PORTAL, method, GLib.Variant("(oa{sv}" + signature[1:], (self.user, {}) + args),
                  name=DESKTOP, interface=PORTAL_RD)

    def press(self, keysym, down):
        self.notify("NotifyKeyboardKeysym", "(iu)", keysym, int(down))

    def answer_portal(self, accept, probe_sees):
        """No dialog here: a program without an app id is not asked."""


class InRootfs:
    """A desktop of a Debian 13 root filesystem that tools/test.sh builds: the
    buses, PipeWire, the compositor and the portals run in it; the work
    folder, with every socket, is mounted at the same path there. With
    `one_namespace` every process joins the first one's mount namespace, as
    KWin tells its clients apart by the paths of their programs."""
    one_namespace = False

    def _spawn(self, argv, ready=None):
        if self.one_namespace and self.processes:
            return super()._spawn(["nsenter", "-t", str(self.processes[0].pid), "-m", "-r", "-w",
                                   *argv], ready)
        inside = ('mount -t proc proc "$R/proc" && mount --rbind /dev "$R/dev" && '
                  'mount --rbind /sys "$R/sys" && mkdir -p "$R$W" && mount --bind "$W" "$R$W" && '
                  'exec chroot "$R" "$@"')
        return super()._spawn(["env", "R=" + self.root, "W=" + self.work, "unshare", "-m",
                               "--propagation", "private", "sh", "-c", inside, "sh", *argv], ready)

    def check_root(self):
        assert os.path.exists(os.path.join(self.root, ".complete")), \
            "no root filesystem at %s: tools/test.sh builds it" % self.root


class GnomeShell(InRootfs, Compositor):
    """GNOME Shell 48 headless (a 1280x800 and a 1024x768 monitor, no Xwayland)
    from the root filesystem in $MV_ROOTFS/gnome48. The shell runs in unsafe
    mode, for Eval."""
    root = os.path.join(os.environ.get("MV_ROOTFS", ""), "gnome48")
    rest = None

    def start(self, layout="fr", x11=False):  # never with Xwayland
        self.check_root()
        os.makedirs(self.path("share", "applications"))
        with open(self.path("share", "applications", "com.morrowvane.Helper.desktop"), "w") as f:
            # Its Exec must name a program the portal finds.
            f.write("[Desktop Entry]\nType=Application\nName=Helper\nExec=true %u\n")
        with open(self.path("unsafe.js"), "w") as f:  # the shell ends when the script does
            f.write("export function init() {\n  global.context.unsafe_mode = true;\n}\n"
                    "export async function run() {\n  await new Promise(() => {});\n}\n")
        # The shell takes the layout from its settings, not from locale1.
        os.makedirs(self.path("config", "glib-2.0", "settings"))
        with open(self.path("config", "glib-2.0", "settings", "keyfile"), "w") as f:
            f.write("[org/gnome/desktop/input-sources]\nsources=[('xkb', '%s')]\n" % layout)
        self._services(layout, ("gnome",), "GNOME", GSETTINGS_BACKEND="keyfile",
                       XDG_CONFIG_HOME=self.path("config"),
                       XDG_DATA_DIRS=self.path("share") + ":/usr/share")
        self.mutter = self._spawn(["gnome-shell", "--headless", "--wayland", "--no-x11",
                                   "--wayland-display=" + NAME, "--virtual-monitor", "1280x800",
                                   "--virtual-monitor", "1024x768", "--automation-script",
                                   self.path("unsafe.js")], os.path.join(self.runtime, NAME))
        # It starts in the overview, which takes the keys.
        wait_for("the shell", self._overview_hidden, 60, interval=0.5)

    def _overview_hidden(self):
        with contextlib.suppress(GLib.Error):  # its interface comes once it is up
            return self.shell("Main.layoutManager._startingUp ? '' : Main.overview.hide() || '1'")

    def shell(self, script):
        """What a script evaluated in the shell gives (unsafe mode)."""
        ok, value = self.bus.call_sync("org.gnome.Shell", "/org/gnome/Shell", "org.gnome.Shell",
                                       "Eval", GLib.Variant("(s)", (script,)), None,
                                       Gio.DBusCallFlags.NONE, 10000, None).unpack()
        return ok and value and json.loads(value)

    def dialog_focused(self, probe):
        # Its new windows do not take the focus: the user clicks the dialog.
        return self.shell("const w = global.get_window_actors().map(a => a.meta_window).find("
                          "w => /%s/.test(w.get_title() || '')); if (w && !w.has_focus()) "
                          "w.activate(global.get_current_time()); !!w && w.has_focus()" % ALERT)

    def answer_portal(self, accept, probe_sees):
        """Shares both monitors with remote interaction on (Alt+I; Tab, Tab,
        space, Right, space select both; Alt+S), or cancels (Escape)."""
        self.answer_window("Remote Desktop", [(0xffe9, 0x69), (0xff09,), (0xff09,), (0x20,),
                                              (0xff53,), (0x20,), (0xffe9, 0x73)] if accept else
                           [(0xff1b,)])

    def end_sessions(self):  # as a click on the sharing indicator in the top bar does
        self.shell("Main.panel.statusArea.screenSharing._stopSharing()")

    def answer_shortcuts(self):
        """GNOME's "Add Keyboard Shortcuts" dialog: Alt+A adds them."""
        self.answer_window("Add Keyboard Shortcuts", [(0xffe9, 0x61)])

    def answer_window(self, title, chords):
        # Types `chords` into a window of the title once it has the focus; it must close.
        window = "global.get_window_actors().some(a => a.meta_window.get_title() === %s && " \
                 "a.meta_window.%%s())" % json.dumps(title)
        wait_for(title, lambda: self.shell(window % "has_focus"), 60)
        for keysyms in chords:  # as a person types them
            self.chord(*keysyms)
            time.sleep(0.2)
        wait_for("%s to close" % title, lambda: not self.shell(window % "get_title"), 10)


class KWin6(InRootfs, KWin):
    """KWin 6.3 headless (two 1280x800 monitors, no Xwayland, no OpenGL and so
    no screen cast) from the root filesystem in $MV_ROOTFS/kwin6. A program
    without an app id gets KWin's "Remote control requested" dialog; the
    test's own session gets none while the permission store says yes to it.
    A stand-in status area holds KDE's "Remote Desktop" item of each session."""
    root = os.path.join(os.environ.get("MV_ROOTFS", ""), "kwin6")
    options, one_namespace = [], True
    DIALOG = "Remote control requested"

    def start(self, layout="fr", x11=False):
        self.check_root()
        # KWin lets only programs of the application menu (the portal) cast
        # the screen and press keys.
        os.makedirs(self.path("config", "menus"))
        with open(self.path("config", "menus", "applications.menu"), "w") as f:
            f.write('<!DOCTYPE Menu PUBLIC "-//freedesktop//DTD Menu 1.0//EN" '
                    '"http://www.freedesktop.org/standards/menu-spec/1.0/menu.dtd">\n<Menu>'
                    '<Name>Applications</Name><DefaultAppDirs/><Include><All/></Include></Menu>\n')
        # As the user has set to be controlled on two monitors: barriers
        # would take part of a relative motion crossing from one to the other.
        with open(self.path("config", "kwinrc"), "w") as f:
            f.write("[EdgeBarrier]\nEdgeBarrier=0\nCornerBarrier=false\n")
        super().start(layout)
        self.env["KDE_SESSION_VERSION"] = "6"  # for the program: KWin does not start with it

    def edge_barriers(self):  # KWin's defaults
        os.remove(self.path("config", "kwinrc"))
        return True

    def environment(self):
        # KWin 6 does not start with KDE_FULL_SESSION and KDE_SESSION_VERSION;
        # caches and the permission store go to the work folder.
        return dict(HOME=self.path("home"))

    def started_buses(self):
        # Before the portals, which put their status items only where a status area is.
        self.captions = queue.Queue()
        self.bus.register_object("/", Gio.DBusNodeInfo.new_for_xml(
            '<node><interface name="mv.Test"><method name="Focus"><arg type="s" direction="in"/>'
            '</method></interface></node>').interfaces[0],
            lambda *a: (self.captions.put(a[5].unpack()[0]), a[6].return_value(None)), None, None)
        with open(self.path("caption.js"), "w") as f:  # tells the test which window has the focus
            f.write("callDBus(%s, '/', 'mv.Test', 'Focus', workspace.activeWindow ? "
                    "workspace.activeWindow.caption : '');\n" % json.dumps(self.bus.get_unique_name()))
        os.mkdir(self.path("status"))
        self.status = subprocess.Popen(
            [os.path.join(os.path.dirname(os.path.abspath(__file__)), "desktop_services.py"),
             "--watcher"], env=self.env, cwd=self.path("status"), stdout=subprocess.DEVNULL,
            start_new_session=True)
        self.processes.append(self.status)
        wait_for("the status area", lambda: os.path.exists(self.path("status", "ready")))

    def portal_ready(self):
        # Started before KWin (PipeWire's session manager asks it), the
        # portal may have lost its KDE part for good: started again then.
        wait_for("the RemoteDesktop portal", self._remote_desktop_or_restart, 60, interval=1)

    def _remote_desktop_or_restart(self):
        try:
            return self.remote_desktop_version()
        except GLib.Error:
            for name in (DESKTOP, "org.freedesktop.impl.portal.desktop.kde"):
                with contextlib.suppress(GLib.Error):
                    os.kill(self.call("/org/freedesktop/DBus", "GetConnectionUnixProcessID",
                                      GLib.Variant("(s)", (name,)), "(u)",
                                      name="org.freedesktop.DBus",
                                      interface="org.freedesktop.DBus"), signal.SIGKILL)
            return False

    def permission(self, method, signature, *args):
        self.call("/org/freedesktop/impl/portal/PermissionStore", method,
                  GLib.Variant(signature, args), name="org.freedesktop.impl.portal.PermissionStore",
                  interface="org.freedesktop.impl.portal.PermissionStore")

    def start_user(self):
        self.permission("SetPermission", "(sbssas)", "kde-authorized", True, "remote-desktop", "",
                        ["yes"])
        try:
            super().start_user()
        finally:  # the program under test is asked
            self.permission("DeletePermission", "(sss)", "kde-authorized", "remote-desktop", "")

    def focused(self):
        """The caption of the window that has the focus."""
        name = "mvcaption%d" % self.serial
        self.serial += 1
        script = self.call("/Scripting", "loadScript", GLib.Variant("(ss)", (
            self.path("caption.js"), name)), "(i)", name="org.kde.KWin",
            interface="org.kde.kwin.Scripting")
        try:
            self.call("/Scripting/Script%d" % script, "run", name="org.kde.KWin",
                      interface="org.kde.kwin.Script")
            return self.captions.get(timeout=10)
        finally:
            self.call("/Scripting", "unloadScript", GLib.Variant("(s)", (name,)), "(b)",
                      name="org.kde.KWin", interface="org.kde.kwin.Scripting")

    def answer_portal(self, accept, probe_sees):
        """Share (Return) or Cancel (Escape) in KWin's dialog, pressed once it
        has the focus. Shared, it comes twice: the first session asks for the
        screen cast too, which cannot start; the next asks for input alone."""
        for _ in range(2 if accept else 1):
            wait_for(self.DIALOG, lambda: self.focused() == self.DIALOG, 30, interval=0.2)
            self.key(0xff0d if accept else 0xff1b)
            wait_for("%s to close" % self.DIALOG, lambda: self.focused() != self.DIALOG, 10)

    def end_sessions(self):
        """The entry End of the last session's "Remote Desktop" item."""
        open(self.path("status", "flag-end"), "w").close()
        wait_for("the click on End", lambda: not os.path.exists(self.path("status", "flag-end")))
