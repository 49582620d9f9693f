"""Screen capture against a real compositor (headless sway), checked against
grim's capture of the same scene."""

import gc
import glob
import json
import os
import re
import signal
import subprocess
import time


import numpy as np
import pytest

from helpers import Window, fds_unchanged, settled, tree_nodes
from native_build import peer
from pravlin import Pravlin

TEXT = "pravlin 0123456789 screencopy"
BACKGROUND = (0x20, 0x40, 0x60)  # the terminal's, as RGB


def grim_rgb(sway, *args):
    """grim's capture as an (height, width, 3) RGB array."""
    res = subprocess.run(["grim", *args, "-t", "ppm", "-"], env=sway.env, capture_output=True, timeout=30)
    assert res.returncode == 0, res.stderr.decode(errors="replace")
    # Exactly one whitespace byte ends the header: the first pixel may start with 0x20.
    header = re.match(rb"P6\s+(\d+)\s+(\d+)\s+255\s", res.stdout)
    assert header, res.stdout[:20]
    width, height = int(header[1]), int(header[2])
    return np.frombuffer(res.stdout, np.uint8, offset=header.end()).reshape(height, width, 3)


def rgb(img):
    return img[..., 2::-1]


@pytest.fixture(scope="module")
def p(sway):
    """One instance for the module."""
    yield Pravlin(sway.socket)


@pytest.fixture(scope="module")
def screen(sway):
    return sway.outputs[0]


@pytest.fixture
def terminal(sway):
    """A foot window over the whole output showing TEXT on BACKGROUND, closed after the test."""
    proc = sway.spawn(["foot", "-o", "cursor.blink=no", "-o", "colors.background=%02x%02x%02x" % BACKGROUND,
                       "sh", "-c", f"printf '{TEXT}'; exec sleep 600"],
                      stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    yield proc
    try:
        os.killpg(proc.pid, signal.SIGKILL)
    except ProcessLookupError:
        pass
    proc.wait(10)


def window_of(node, pid):
    if node.get("pid") == pid and node.get("visible"):
        return node
    for child in node.get("nodes", []) + node.get("floating_nodes", []):
        found = window_of(child, pid)
        if found:
            return found
    return None


def wait_for_window(sway, proc, timeout=15.0):
    deadline = time.monotonic() + timeout
    while not window_of(json.loads(sway.swaymsg("-r", "-t", "get_tree")), proc.pid):
        assert proc.poll() is None, f"foot exited with {proc.returncode}"
        assert time.monotonic() < deadline, "foot never mapped a window"
        time.sleep(0.05)


def pattern_rgb(width, height):
    """What tests/native/pointer_window.c draws, as RGB: a colour for each surface-local position."""
    y, x = np.mgrid[0:height, 0:width]
    return np.stack([x & 0xFF, y & 0xFF, (x >> 8 << 4 | y >> 8) & 0xFF], axis=-1).astype(np.uint8)


def side_by_side(sway, screen, terminal, pattern, timeout=15.0):
    """The rects of the terminal's window and the pattern's, once sway has tiled them over the output."""
    deadline = time.monotonic() + timeout
    while True:
        nodes = tree_nodes(sway)
        term = next((n for n in nodes if n.get("pid") == terminal.pid and n.get("visible")), None)
        ours = next((n for n in nodes if n.get("app_id") == pattern.app_id and n.get("visible")), None)
        if term and ours and term["rect"]["width"] + ours["rect"]["width"] == screen.width:
            return term["rect"], ours["rect"]
        assert time.monotonic() < deadline, f"the windows were never tiled side by side: {term}, {ours}"
        time.sleep(0.05)


def test_screenshot_equals_grim_on_a_static_scene(sway, screen, p, terminal):
    wait_for_window(sway, terminal)
    # Beside the terminal's text, a window whose every pixel is known.
    pattern = Window(sway, str(peer("pointer_window")))
    try:
        term, rect = side_by_side(sway, screen, terminal, pattern)
        size = rect["width"], rect["height"]
        pattern.wait(lambda e: e["ev"] == "configured" and (e["w"], e["h"]) == size, f"configure to {size}",
                     timeout=15, from_start=True)
        # The pointer, wherever an earlier test left it, goes over the terminal's top corner: over the
        # pattern its image would hide pixels of it.
        p.move_mouse(screen.width, screen.height, term["x"] + 10, term["y"] + 10)
        ours = settled(p)
        theirs = grim_rgb(sway)
        again = p.screenshot()
        assert side_by_side(sway, screen, terminal, pattern) == (term, rect)
    finally:
        pattern.close()
    assert ours.shape == (screen.height, screen.width, 4)
    np.testing.assert_array_equal(again, ours)  # still static after grim ran
    np.testing.assert_array_equal(rgb(ours), theirs)
    # Both windows are really there, where sway put them: every pixel of the pattern, and the
    # terminal's background in the far corner of its window, away from its text.
    x, y, w, h = rect["x"], rect["y"], rect["width"], rect["height"]
    np.testing.assert_array_equal(rgb(ours)[y:y + h, x:x + w], pattern_rgb(w, h))
    corner = term["y"] + term["height"] - 1, term["x"] + term["width"] - 1
    assert tuple(rgb(ours)[corner]) == BACKGROUND, (term, rect)


def test_named_output_is_the_same_capture(sway, screen, p):
    img = settled(p)
    named = p.screenshot(screen.name)
    assert named.shape == (screen.height, screen.width, 4)
    np.testing.assert_array_equal(named, img)
    np.testing.assert_array_equal(rgb(named), grim_rgb(sway, "-o", screen.name))


def test_pixels_are_bgrx(sway, p, terminal):
    wait_for_window(sway, terminal)
    img = settled(p)
    # The far corner is the terminal's background, away from its text.
    assert tuple(img[-1, -1, :3]) == BACKGROUND[::-1]


def test_wrong_name_is_refused(sway, p):
    with fds_unchanged(), pytest.raises(RuntimeError) as info:
        p.screenshot("HEADLESS-9")
    assert str(info.value) == "no WLOutput with name HEADLESS-9"
    with pytest.raises(RuntimeError) as info:
        p.screenshot("headless-1")
    assert str(info.value) == "no WLOutput with name headless-1"


def shm_mappings(pid):
    with open(f"/proc/{pid}/maps") as maps:
        return sum("/wl_shm-" in line for line in maps)


def test_two_hundred_captures_leave_nothing_behind(sway, screen, p):
    p.screenshot()
    sway_pid = sway.compositor_pid
    sway_fds = len(os.listdir(f"/proc/{sway_pid}/fd"))
    before = set(glob.glob("/dev/shm/wl_shm-*"))
    gc.collect()
    with fds_unchanged():
        for _ in range(200):
            img = p.screenshot()
            assert img.shape == (screen.height, screen.width, 4)
    assert set(glob.glob("/dev/shm/wl_shm-*")) <= before
    p.move_mouse(screen.width, screen.height, screen.width - 1, screen.height - 1)  # flushes the last destroys
    # sway has let go of every capture's file: no mapping and no descriptor left.
    assert shm_mappings(sway_pid) == 0
    assert len(os.listdir(f"/proc/{sway_pid}/fd")) <= sway_fds
