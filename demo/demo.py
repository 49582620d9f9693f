"""pravlin demo: drive a terminal window like a person would, then take a screenshot.

Usage:
    python3 demo/demo.py [--headless | --display NAME] [--text TEXT] [--png PATH]
                         [--size 1280x720] [--screen NAME] [--keep]

Without a display (no WAYLAND_DISPLAY, or with --headless) it starts a private
headless session (pravlin_session.HeadlessSession: sway and its seat holder).
With WAYLAND_DISPLAY set or --display it drives that compositor. The PNG is
written with Pillow (pip install pillow).

It opens a foot terminal running a shell, glides the pointer onto it, clicks,
types TEXT and Enter at a person's pace with pravlin_desktop.Desktop (any
text: capitals, punctuation and accents go through the seat keyboard's own
layout, characters the layout lacks on keys added for the moment), waits for
the shell's answer, takes a screenshot and writes it as a PNG.
"""

import argparse
import json
import os
import signal
import subprocess
import time
from pathlib import Path

import numpy as np
from PIL import Image

from pravlin_desktop import Desktop
from pravlin_session import ExistingDisplay, HeadlessSession, SessionError, parse_size

PROMPT = "pravlin-demo$ "
TEXT = "echo 'Typed by pravlin: Hello, World! Grüße, naïve café (100% OK) ✓'"


class Steps:
    """Runs and times the demo's steps, printing one line each."""

    def __init__(self):
        self.start = time.perf_counter()

    def run(self, what, call, *args, **kwargs):
        t0 = time.perf_counter()
        result = call(*args, **kwargs)
        print(f"  {(time.perf_counter() - t0) * 1e3:8.1f} ms  {what}", flush=True)
        return result

    def total(self):
        return time.perf_counter() - self.start


def write_png(path, img):
    """Writes a BGRX screenshot as an RGB PNG; returns its size in bytes."""
    Image.fromarray(np.ascontiguousarray(img[..., 2::-1])).save(path, optimize=False)
    return Path(path).stat().st_size


def find_window(tree, pid):
    """sway's node for the window of process pid, if mapped."""
    if tree.get("pid") == pid and tree.get("visible"):
        return tree
    for child in tree.get("nodes", []) + tree.get("floating_nodes", []):
        found = find_window(child, pid)
        if found:
            return found
    return None


def swaymsg(env, *args):
    res = subprocess.run(["swaymsg", *args], env=env, capture_output=True, text=True, timeout=10)
    return res.stdout if res.returncode == 0 else None


def wait_for_window(env, proc, timeout=15.0):
    """The window's rectangle, from sway's tree; None when there is no sway IPC to ask."""
    if not env.get("SWAYSOCK"):
        time.sleep(1.0)  # some other compositor: give the terminal a moment
        return None
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if proc.poll() is not None:
            raise SystemExit(f"foot exited with {proc.returncode} before showing a window")
        tree = swaymsg(env, "-r", "-t", "get_tree")
        node = find_window(json.loads(tree), proc.pid) if tree else None
        if node:
            return node["rect"]
        time.sleep(0.05)
    raise SystemExit("foot did not show a window")


def settle(p, screen, before=None, timeout=5.0):
    """Screenshots until the screen differs from `before` and two in a row agree."""
    deadline = time.monotonic() + timeout
    last = p.screenshot(screen)
    while time.monotonic() < deadline:
        time.sleep(0.1)
        img = p.screenshot(screen)
        if np.array_equal(img, last) and (before is None or not np.array_equal(img, before)):
            return img
        last = img
    return last


def drive(display, env, args, steps, outputs):
    """The demo proper, against a compositor whose socket is `display`; returns foot's process when
    it is to stay open."""
    screen = args.screen
    if screen is not None and screen not in [o.name for o in outputs]:
        raise SystemExit(f"demo: no output {screen} (the outputs are {', '.join(o.name for o in outputs)})")
    p = steps.run(f"connected to {display}", Desktop, display)
    first = steps.run("first screenshot (learns the output size)", p.screenshot, screen)
    height, width = first.shape[:2]
    print(f"             output is {width}x{height}")

    foot_env = {**env, "PS1": PROMPT, "ENV": ""}
    foot = subprocess.Popen(["foot", "-o", "cursor.blink=no", "sh"], env=foot_env, stdin=subprocess.DEVNULL,
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, start_new_session=True)
    try:
        rect = steps.run("opened foot with a shell and waited for its window", wait_for_window, env, foot)
        if rect is None:
            rect = {"x": 0, "y": 0, "width": width, "height": height}
        cx, cy = rect["x"] + rect["width"] // 2, rect["y"] + rect["height"] // 2
        before = settle(p, screen)

        steps.run("moved the pointer to the top left", p.move, 5, 5)
        steps.run(f"glided to the window's middle ({cx}, {cy}) in 0.3..0.6 s", p.move, cx, cy, duration=(0.3, 0.6))
        steps.run("left click, held 60..90 ms", p.click, hold=(0.06, 0.09))
        steps.run(f"typed {args.text!r} and Enter, 15..60 ms apart", p.type, args.text + "\n",
                  interval=(0.015, 0.06))
        shot = steps.run("waited for the shell's answer, screenshot", settle, p, screen, before)
        size = steps.run(f"wrote {args.png}", write_png, args.png, shot)
        print(f"             {size} bytes, {shot.shape[1]}x{shot.shape[0]}")
        if args.keep:
            kept, foot = foot, None
            return kept
    finally:
        if foot is not None:
            try:
                os.killpg(foot.pid, signal.SIGTERM)
            except ProcessLookupError:
                pass
            foot.wait(5)


def size_argument(text):
    try:
        return parse_size(text)
    except SessionError as e:
        raise argparse.ArgumentTypeError(str(e)) from None


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    where = parser.add_mutually_exclusive_group()
    where.add_argument("--headless", action="store_true", help="always start a private headless sway")
    where.add_argument("--display", help="Wayland display to drive (default: $WAYLAND_DISPLAY)")
    parser.add_argument("--text", default=TEXT, help="what to type (any text)")
    parser.add_argument("--png", default="pravlin-demo.png", help="where to write the screenshot")
    parser.add_argument("--size", default="1280x720", type=size_argument,
                        help="output size of the private session (1280x720)")
    parser.add_argument("--screen", help="output to capture when the compositor has several")
    parser.add_argument("--keep", action="store_true", help="leave the terminal open afterwards")
    args = parser.parse_args()

    steps = Steps()
    display = args.display or (None if args.headless else os.environ.get("WAYLAND_DISPLAY"))
    try:
        if display:
            print(f"driving the compositor at {display}")
            env = dict(os.environ, WAYLAND_DISPLAY=display)
            drive(display, env, args, steps, ExistingDisplay(display).outputs)
            if args.keep:
                print("foot stays open (--keep)")
        else:
            width, height = args.size
            print(f"starting a private headless session at {width}x{height}")
            session = steps.run("sway and its seat holder are up", HeadlessSession([(width, height)]).start)
            with session:
                foot = drive(session.socket, session.environ(), args, steps, session.outputs)
                if foot is not None:
                    print(f"foot stays open (--keep) in the session at WAYLAND_DISPLAY={session.socket}; "
                          "the session ends when foot exits or on Ctrl-C")
                    try:
                        foot.wait()
                    except KeyboardInterrupt:
                        pass
    except SessionError as e:
        raise SystemExit(f"demo: {e}") from None
    print(f"done in {steps.total():.2f} s; screenshot in {Path(args.png).resolve()}")


if __name__ == "__main__":
    main()
