"""What a headless seat must give instances that come and go: run in-process by the tests, or as a
script inside `pravlin-run` (it prints one JSON line with the counts).

    constructions  back-to-back `Pravlin(); key_press(42, 0); del`, a `wtype` run after every tenth:
                   how many constructed;
    clicks         a fresh instance per trial moves onto a wev window and clicks at once: in how many
                   trials wev saw the motion at its position and the button's press and release.
"""

import json
import os
import select
import subprocess
import sys
import time

from pravlin import Pravlin

KEY_LEFTSHIFT = 42
BTN_LEFT = 272


def constructions(env, count=200, wtype_every=10):
    constructed, failures = 0, []
    for i in range(count):
        try:
            p = Pravlin()
            p.key_press(KEY_LEFTSHIFT, 0)
            del p
            constructed += 1
        except BaseException as e:  # PanicException is a BaseException
            failures.append(f"{i}: {e}")
        if i % wtype_every == wtype_every - 1:
            subprocess.run(["wtype", "a"], env=env, check=True, timeout=30)
    return constructed, failures


class _Output:
    """The text a process writes, read as it comes."""

    def __init__(self, stream):
        self.fd = stream.fileno()
        self.text = ""

    def read_for(self, seconds):
        deadline = time.monotonic() + seconds
        while (left := deadline - time.monotonic()) > 0:
            if select.select([self.fd], [], [], left)[0]:
                chunk = os.read(self.fd, 1 << 16)
                if not chunk:
                    break
                self.text += chunk.decode(errors="replace")

    def wait_for(self, text, seconds):
        deadline = time.monotonic() + seconds
        while text not in self.text and time.monotonic() < deadline:
            self.read_for(0.05)
        return text in self.text


def clicks(env, width, height, trials=20):
    """wev tiles over the whole output (no borders), so its surface coordinates are the output's."""
    wev = subprocess.Popen(["stdbuf", "-oL", "wev"], env=env, stdout=subprocess.PIPE,
                           stderr=subprocess.STDOUT, start_new_session=True)
    out = _Output(wev.stdout)
    try:
        if not out.wait_for("xdg_toplevel] configure", 15):
            raise RuntimeError(f"wev showed no window: {out.text[-500:]}")
        out.read_for(0.3)
        good, misses = 0, []
        for trial in range(trials):
            out.text = ""
            x, y = width // 4 + 7 * trial, height // 3 + 3 * trial
            p = Pravlin()
            p.move_mouse(width, height, x, y)
            p.left_click(0)
            del p
            out.read_for(0.25)
            seen = {
                "motion": f"x, y: {x}.000000, {y}.000000" in out.text,
                "press": f"button: {BTN_LEFT} (left), state: 1 (pressed)" in out.text,
                "release": f"button: {BTN_LEFT} (left), state: 0 (released)" in out.text,
            }
            if all(seen.values()):
                good += 1
            else:
                misses.append(f"trial {trial}: {seen}")
        return good, misses
    finally:
        wev.kill()
        wev.wait(5)
        wev.stdout.close()


if __name__ == "__main__":
    width, height = int(sys.argv[1]), int(sys.argv[2])
    env = dict(os.environ)
    built, failed = constructions(env)
    clicked, missed = clicks(env, width, height)
    print(json.dumps({"constructions": built, "construction_failures": failed,
                      "clicks": clicked, "click_misses": missed}))
