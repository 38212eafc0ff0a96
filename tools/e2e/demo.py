#!/usr/bin/env python3
"""A demonstration session of the helper against the bundled scripted sharing
server: consent, initcheck, monitor identification, a border, pointer moves,
typed text into a small probe window, translatexywh and a close.

Usage: demo.py BUILD_DIR
On the user's own X display (DISPLAY set and reachable) the user answers the
consent dialog; otherwise a private Xvfb is used and the dialog is answered
automatically. On Xvfb, screenshots of the consent dialog, the identification
windows and the border, each with a caption saying what it shows, are saved in
BUILD_DIR/demo/.
"""

import json
import os
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
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
    polls = []
    for _, step, payloads in BATCHES:
        polls.append(dict(step, body=batch(*payloads)))
    polls.append({"delay": 0.5, "body": "close"})
    return {"poll": polls, "poll_hold": 0.5}


def own_display():
    display = os.environ.get("DISPLAY")
    if not display:
        return None
    probe = subprocess.run(["xdotool", "getdisplaygeometry"], capture_output=True,
                           timeout=10, check=False)
    return display if probe.returncode == 0 else None


def main():
    build = os.path.abspath(sys.argv[1])
    binary = os.path.join(build, "morrowvane-helper")
    probe_binary = os.path.join(build, "x11_probe")
    display_name = own_display()
    xvfb = None
    if display_name is None:
        xvfb = harness.Xvfb()
        display_name = xvfb.display
        print("demo: no reachable X display of yours; using a private Xvfb %s with three "
              "monitors, answering the consent dialog automatically" % display_name)
    else:
        print("demo: running on your display %s; answer the consent dialog with Yes" %
              display_name)
    display = harness.Display(display_name)
    shots = os.path.join(build, "demo")
    os.makedirs(shots, exist_ok=True)

    probe = harness.Probe(probe_binary, display_name)
    session = harness.Session(binary, display_name, script())
    status = None
    try:
        session.start([{"args": [URL]}])
        print("demo: browser would open %s; helper started" % URL)
        if xvfb:
            display.wait_alert(timeout=30)
            time.sleep(1.0)  # let the dialog paint
            screenshot(display, os.path.join(shots, "consent.png"),
                       "The consent dialog: nothing reaches the server before Yes")
            display.answer_alert("Return", timeout=30)
            print("demo: consent dialog answered: Yes")
        status = follow(session, display if xvfb else None, shots)
    finally:
        session.close()
        probe.stop()
        if xvfb:
            xvfb.stop()

    received = probe.typed_text()
    print("demo: the probe window received the typed text %r" % received)
    if status != 0:
        print("demo: the helper ended with status %r" % status)
        return 1
    if received != TEXT:
        print("demo: the typed text did not arrive as sent")
        return 1
    print("demo: done; the helper ended by itself with status 0")
    return 0


def screenshot(display, path, caption):
    """The whole screen with `caption` in a band above it."""
    display.screenshot(path)
    subprocess.run(["convert", path, "-background", "#202020", "-fill", "white",
                    "-font", "DejaVu-Sans", "-pointsize", "40", "-gravity", "north",
                    "-splice", "0x70", "-annotate", "+0+12", caption, path],
                   check=True, timeout=60)
    print("demo: screenshot saved: %s (%s)" % (path, caption))


def follow(session, display, shots):
    """Prints requests as they reach the server, takes the screenshots, and
    answers the helper's exit status."""
    seen = 0
    polls = 0
    # After the Nth batch went out: file name and caption.
    shots_due = {2: ("identify.png", "Monitor identification: one window in its own colour on "
                                     "each monitor (left, main, right)"),
                 3: ("border.png", "The border the server drew around a rectangle of the main "
                                   "monitor")}
    deadline = time.monotonic() + 180
    while True:
        ended = session.process.poll() is not None
        requests = session.requests()
        for request in requests[seen:]:
            if request["type"] == "handshake":
                print("helper -> server  GET %s" % request["target"])
            elif request["type"] == "poll":
                polls += 1
                print("helper -> server  GET %s  (poll %d)" % (request["target"], polls))
                if polls <= len(BATCHES):
                    title, _, payloads = BATCHES[polls - 1]
                    print("server -> helper  batch: %s" % title)
                    for payload in payloads:
                        print("                    %s" % json.dumps(payload))
                elif polls == len(BATCHES) + 1:
                    print("server -> helper  close")
                if display and polls - 1 in shots_due:
                    time.sleep(1.0)
                    name, caption = shots_due.pop(polls - 1)
                    screenshot(display, os.path.join(shots, name), caption)
            else:
                print("helper -> server  %s %s  %s" % (request["method"], request["target"],
                                                       request["body"]))
        seen = len(requests)
        if ended:
            break
        if time.monotonic() > deadline:
            raise harness.Timeout("the demo session did not end")
        time.sleep(0.05)
    print("demo: the helper's log:")
    for line in session.log_lines():
        print("    " + line)
    return session.wait_end(10)


if __name__ == "__main__":
    sys.exit(main())
