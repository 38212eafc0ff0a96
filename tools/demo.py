#!/usr/bin/env python3
"""A demonstration session of the helper against the bundled scripted sharing
server: consent, monitor identification, a border, pointer moves, typed text
into a probe window, a translation and a close.

Usage: demo.py BUILD_DIR
On the user's own reachable X display the user answers the consent dialog;
otherwise a private Xvfb answers it, and captioned screenshots land in BUILD_DIR/demo/.
"""

import json
import os
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "e2e"))
import harness  # noqa: E402

URL = "morrowvanenativehost://test.morrowvane.com/de30"
TEXT = "Hello from the remote side!"


def batch(*payloads):
    return json.dumps({"messages": [{"payload": p} for p in payloads]})


def move(x, y, event="move"):
    # Ratio coordinates of the selected monitor: 65536 is its full width/height.
    return {"cmd": "mouseevent", "x": x, "y": y, "mode": "screen", "event": event}


# What the server sends, poll by poll; "wait_posts" holds a batch until the
# replies to the earlier ones are in, "delay" leaves time to look.
BATCHES = [
    ("initial check and version", {}, [{"cmd": "initcheck"}, {"cmd": "version"}]),
    ("identify the monitors", {"wait_posts": 2}, [{"cmd": "detectmonitors"}]),
    ("border around a rectangle of monitor 0", {"wait_posts": 3, "delay": 2.5},
     [{"cmd": "enddetectmonitors"}, {"cmd": "selectmonitor", "index": 0},
      {"cmd": "showborderrel", "x": 8192, "y": 8192, "w": 49152, "h": 49152}]),
    ("pointer moves and a click", {"wait_posts": 5, "delay": 2.5},
     [move(8192 * i, 8192 + 6000 * i) for i in range(1, 8)] + [move(32768, 32768, "lc")]),
    # One "keyboardchar" carries at most 8 UTF-16 units.
    ("typed text", {"delay": 0.5},
     [{"cmd": "keyboardchar", "key": TEXT[i:i + 8]} for i in range(0, len(TEXT), 8)]),
    ("translate a rectangle", {"delay": 0.5},
     [{"cmd": "translatexywh", "x": 0, "y": 0, "w": 960, "h": 540}]),
    ("hide the border", {"wait_posts": 6, "delay": 1.0}, [{"cmd": "hideborder"}]),
]


def script():
    polls = [dict(step, body=batch(*payloads)) for _, step, payloads in BATCHES]
    return {"poll": polls + [{"delay": 0.5, "body": "close"}], "poll_hold": 0.5}


def own_display():
    display = os.environ.get("DISPLAY")
    reachable = display and subprocess.run(["xdotool", "getdisplaygeometry"], timeout=10,
                                           capture_output=True, check=False).returncode == 0
    return display if reachable else None


def screenshot(display, path, caption):
    """The whole screen with `caption` in a band above it."""
    display.run(["import", "-window", "root", path], check=True)
    subprocess.run(["convert", path, "-background", "#202020", "-fill", "white",
                    "-font", "DejaVu-Sans", "-pointsize", "40", "-gravity", "north",
                    "-splice", "0x70", "-annotate", "+0+12", caption, path],
                   check=True, timeout=60)
    print("demo: screenshot saved: %s (%s)" % (path, caption))


def main():
    build = os.path.abspath(sys.argv[1])
    display_name, xvfb = own_display(), None
    if display_name is None:
        xvfb = harness.Xvfb()
        display_name = xvfb.display
        print("demo: using a private Xvfb %s with three monitors, answering the consent "
              "dialog automatically" % display_name)
    else:
        print("demo: running on your display %s; answer the consent dialog with Yes"
              % display_name)
    display, shots = harness.Display(display_name), os.path.join(build, "demo")
    os.makedirs(shots, exist_ok=True)
    probe = harness.Probe(os.path.join(build, "x11_probe"), display_name)
    session = harness.Session(os.path.join(build, "morrowvane-helper"), display_name, script())
    try:
        session.start([{"args": [URL]}])
        # Screenshots once the Nth batch went out (N = 0: the consent dialog).
        for polls, name, caption in [
                (0, "consent.png", "The consent dialog: nothing reaches the server before Yes"),
                (2, "identify.png", "Monitor identification: one window in its own colour "
                                    "on each monitor (left, main, right)"),
                (3, "border.png", "The border the server drew around a rectangle of the "
                                  "main monitor")]:
            if not xvfb:
                break
            harness.wait_for("batch %d" % polls, lambda: [
                r["type"] for r in session.requests()].count("poll") >= polls, 60)
            if polls == 0:
                display.wait_alert(timeout=30)
            time.sleep(1.0)  # let it paint
            screenshot(display, os.path.join(shots, name), caption)
            if polls == 0:
                display.answer_alert("Return", timeout=30)
        status = session.wait_end(180)
        for r in session.requests():
            print("helper -> server  %s %s  %s" % (r["method"], r["target"], r.get("body", "")))
        print("demo: the helper's log:\n    " + "\n    ".join(session.log_lines()))
    finally:
        session.close()
        probe.stop()
        if xvfb:
            xvfb.stop()
    received = probe.typed_text()
    print("demo: the probe window received the typed text %r; the helper ended with status %r"
          % (received, status))
    return 0 if status == 0 and received == TEXT else 1


if __name__ == "__main__":
    sys.exit(main())
