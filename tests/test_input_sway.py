"""End to end on headless sway: an xdg-shell window of ours
(tests/native/pointer_window.c) reports the pointer and keyboard input it is
given. sway tiles the only window over the whole 1920x1080 output without a
border, so surface coordinates are output coordinates; each test checks that
against the tree before it relies on it."""

import itertools
import os
import select
import signal
import subprocess
import time
from pathlib import Path

import pytest

from helpers import Window, tree_nodes
from native_build import peer
from pravlin import Pravlin

WIDTH, HEIGHT = 1920, 1080
BTN_LEFT, BTN_RIGHT = 272, 273
KEY_A = 30


@pytest.fixture
def pravlin(sway):
    yield Pravlin(sway.socket)


@pytest.fixture
def window(sway, pravlin):
    """A focused window tiled over the whole output, the pointer over it at (8, 8)."""
    w = Window(sway, str(peer("pointer_window")))
    try:
        w.wait(lambda e: e["ev"] == "configured" and (e["w"], e["h"]) == (WIDTH, HEIGHT),
               f"configure to {WIDTH}x{HEIGHT}")
        deadline = time.monotonic() + 5
        while True:
            node = w.node()
            if node and node["focused"] and node["rect"]["width"] == WIDTH:
                break
            assert time.monotonic() < deadline, f"window not tiled and focused: {node}"
            time.sleep(0.02)
        assert (node["rect"], node["window_rect"]) == (
            {"x": 0, "y": 0, "width": WIDTH, "height": HEIGHT},
            {"x": 0, "y": 0, "width": WIDTH, "height": HEIGHT}), node
        w.wait(lambda e: e["ev"] == "kbenter", "keyboard focus", from_start=True)
        # Two moves, so that the second one changes the position whatever it was.
        pravlin.move_mouse(WIDTH, HEIGHT, 7, 7)
        pravlin.move_mouse(WIDTH, HEIGHT, 8, 8)
        w.wait_position(8, 8)
        yield w
    finally:
        w.close()


@pytest.mark.parametrize("extents, position, surface", [
    ((WIDTH, HEIGHT), (100, 200), (100, 200)),
    ((WIDTH, HEIGHT), (0, 0), (0, 0)),
    ((WIDTH, HEIGHT), (WIDTH - 1, HEIGHT - 1), (WIDTH - 1, HEIGHT - 1)),
    ((2 * WIDTH, 2 * HEIGHT), (1001, 501), (500.5, 250.5)),
    ((100, 100), (25, 75), (WIDTH / 4, HEIGHT * 3 / 4)),
])
def test_pointer_lands_where_the_extents_put_it(pravlin, window, extents, position, surface):
    pravlin.move_mouse(*extents, *position)
    window.wait_position(*surface)


def test_each_move_is_one_motion(pravlin, window):
    window.mark()
    for x in (300, 310, 320):
        pravlin.move_mouse(WIDTH, HEIGHT, x, 40)
    window.wait_position(320, 40)
    assert [(e["x"], e["y"]) for e in window.since_mark("motion")] == [(300, 40), (310, 40), (320, 40)]


def press_and_release(window, kind, field, code, what):
    press = window.wait(lambda e: e["ev"] == kind and e[field] == code and e["state"] == 1, f"{what} press")
    release = window.wait(lambda e: e["ev"] == kind and e[field] == code and e["state"] == 0, f"{what} release")
    return press, release


# The press reaches the window before sway answers its sync, the release only
# after the sleep: the window's receipt times are at least the hold apart,
# short only by how much sooner the press was read than the sleep began
# (scheduling, well below SLACK_MS with the window at real-time priority).
SLACK_MS = 0.5


@pytest.mark.parametrize("method, code", [("left_click", BTN_LEFT), ("right_click", BTN_RIGHT)])
def test_click_is_press_then_release_held_at_least_the_hold(pravlin, window, method, code):
    window.mark()
    getattr(pravlin, method)(60)
    press, release = press_and_release(window, "button", "button", code, method)
    buttons = [(e["button"], e["state"]) for e in window.since_mark("button")]
    assert buttons == [(code, 1), (code, 0)], window.events
    # sway stamps buttons with its own clock in ms.
    assert release["time"] - press["time"] >= 60, (press, release)
    assert release["mono"] - press["mono"] >= 60 - SLACK_MS, (press, release)


def test_click_hold_drawn_from_a_range(pravlin, window):
    for _ in range(3):
        window.mark()
        pravlin.left_click(30, 45)
        press, release = press_and_release(window, "button", "button", BTN_LEFT, "left_click")
        assert release["time"] - press["time"] >= 30, (press, release)


def test_key_press_types_a_through_the_seat_keymap(pravlin, window):
    window.mark()
    pravlin.key_press(KEY_A, 50)
    press, release = press_and_release(window, "key", "key", KEY_A, "key 30")
    assert press["sym"] == release["sym"] == "a", (press, release)
    keys = [(e["key"], e["state"]) for e in window.since_mark("key")]
    assert keys == [(KEY_A, 1), (KEY_A, 0)], window.events
    # sway passes on the time the client gave, 0, so only receipt times tell the hold.
    assert release["mono"] - press["mono"] >= 50 - SLACK_MS, (press, release)


def test_clicks_land_at_the_pointer(pravlin, window):
    pravlin.move_mouse(WIDTH, HEIGHT, 640, 360)
    window.wait_position(640, 360)
    window.mark()
    pravlin.right_click(0)
    pravlin.left_click(0)
    window.wait(lambda e: e["ev"] == "button" and e["button"] == BTN_LEFT and e["state"] == 0, "left release")
    assert [(e["button"], e["state"]) for e in window.since_mark("button")] == [
        (BTN_RIGHT, 1), (BTN_RIGHT, 0), (BTN_LEFT, 1), (BTN_LEFT, 0)], window.events
    assert (window.x, window.y) == (640, 360)


GTK_BUTTON = Path(__file__).resolve().parent / "gtk_button.py"


def read_until(proc, wanted, timeout):
    deadline = time.monotonic() + timeout
    seen = b""
    while time.monotonic() < deadline:
        ready, _, _ = select.select([proc.stdout], [], [], max(deadline - time.monotonic(), 0))
        if not ready:
            break
        line = proc.stdout.readline()
        if not line:
            break
        seen += line
        if line.strip() == wanted:
            return True
    return False


@pytest.mark.skipif(subprocess.run(["/usr/bin/python3", "-c", "import gi"], capture_output=True).returncode != 0,
                    reason="python3-gi is not installed")
def test_gtk_button_receives_the_click(sway, pravlin):
    # GTK binds wl_pointer at version 5 or later and acts on pointer events only
    # when the frame that closes them arrives.
    # Unbuffered: read_until's select() sees every line that has not been read.
    app = sway.spawn(["/usr/bin/python3", "-u", str(GTK_BUTTON)], env={"GDK_BACKEND": "wayland"},
                     stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, bufsize=0)
    try:
        assert read_until(app, b"MAPPED", 15), "the GTK window never appeared"
        deadline = time.monotonic() + 10
        while not any(n.get("pid") == app.pid and n.get("focused") and n["rect"]["width"] == WIDTH
                      for n in tree_nodes(sway)):
            assert time.monotonic() < deadline, "the GTK window was never focused at full size"
            time.sleep(0.05)
        assert read_until(app, f"DRAWN {WIDTH}x{HEIGHT}".encode(), 10), "GTK never drew at the new size"
        # sway may read GTK's commit of that frame only after a motion of ours, and then puts the
        # pointer into the window when it applies the new size: the click waits until the button
        # has seen the pointer come in. Moves alternate, so that each one changes the position.
        deadline = time.monotonic() + 10
        for step in itertools.count():
            pravlin.move_mouse(WIDTH, HEIGHT, WIDTH // 2 + step % 2, HEIGHT // 2)
            if read_until(app, b"ENTERED", 0.5):
                break
            assert time.monotonic() < deadline, "the pointer never entered the button"
        pravlin.left_click(30)
        assert read_until(app, b"CLICKED", 5), "the button saw no click"
    finally:
        os.killpg(app.pid, signal.SIGKILL)
        app.wait(10)
        app.stdout.close()
