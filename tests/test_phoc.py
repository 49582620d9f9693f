"""The headless-session facility on phoc: no IPC, and a seat that exists only once a device does."""

import json
import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

from helpers import PRAVLIN_RUN, shm_names
from pravlin import Pravlin
from pravlin_session import HeadlessSession

HERE = Path(__file__).resolve().parent


# The seat holder takes the seat's keyboard back only after phoc has made another one active; a
# construction that follows the previous instance at once can, rarely, ask for the keymap first.
EXPECTED_CONSTRUCTIONS = 190

pytestmark = pytest.mark.skipif(shutil.which("phoc") is None,
                                reason="phoc is not installed (apt-get install phoc)")

# The plugin's session in a pytest run of its own, reporting the bars' counts.
BARS_TEST = """
import json
import seat_bars

def test_bars(wayland_session):
    screen = wayland_session.outputs[0]
    env = wayland_session.environ()
    built, failed = seat_bars.constructions(env)
    clicked, missed = seat_bars.clicks(env, screen.width, screen.height)
    print("COUNTS " + json.dumps({"constructions": built, "construction_failures": failed,
                                  "clicks": clicked, "click_misses": missed}))
"""


def test_phoc_session_has_its_outputs_and_a_seat_for_instances():
    before = shm_names()
    with HeadlessSession([(1280, 720), (640, 480)], refresh=[60, 144], compositor="phoc") as session:
        assert (session.display, "SWAYSOCK" in session.env) == ("wayland-0", False)
        assert [(o.name, o.width, o.height, o.x, o.refresh) for o in session.outputs] == [
            ("HEADLESS-1", 1280, 720, 0, 60.0), ("HEADLESS-2", 640, 480, 1280, 144.0)]
        p = Pravlin(session.socket)
        p.key_press(30, 0)
        p.move_mouse(1280, 720, 640, 360)
        p.left_click(0)
        assert p.screenshot("HEADLESS-2").shape == (480, 640, 4)
        assert p.screenshot("HEADLESS-1").shape == (720, 1280, 4)
        del p
        # The next instance finds the holder's keyboard active again.
        Pravlin(session.socket).key_press(30, 0)
        base = Path(session.runtime_dir).parent
    assert not base.exists()
    assert shm_names() <= before


@pytest.mark.parametrize("via", ["pravlin-run", "plugin"])
def test_instances_come_and_go_on_phoc(via, tmp_path):
    env = {k: v for k, v in os.environ.items() if k not in ("WAYLAND_DISPLAY", "SWAYSOCK", "WAYLAND_SOCKET")}
    if via == "pravlin-run":
        argv = [*PRAVLIN_RUN, "--compositor", "phoc", "-o", "1280x720", "--",
                sys.executable, str(HERE / "seat_bars.py"), "1280", "720"]
    else:
        (tmp_path / "test_bars.py").write_text(BARS_TEST)
        env["PYTHONPATH"] = os.pathsep.join(filter(None, [str(HERE), env.get("PYTHONPATH")]))
        argv = [sys.executable, "-m", "pytest", "-q", "-s", "-p", "no:cacheprovider", "--rootdir", str(tmp_path),
                "--wayland-compositor", "phoc", "--wayland-outputs", "1280x720", str(tmp_path / "test_bars.py")]
    # From tmp_path: a checkout on sys.path would shadow the installed package.
    res = subprocess.run(argv, env=env, cwd=str(tmp_path), capture_output=True, text=True, timeout=300)
    assert res.returncode == 0, res.stdout[-2000:] + res.stderr[-2000:]
    line = [line for line in res.stdout.splitlines() if line.startswith("{") or "COUNTS " in line][-1]
    counts = json.loads(line.partition("COUNTS ")[2] or line)
    assert counts["constructions"] >= EXPECTED_CONSTRUCTIONS, counts["construction_failures"][:5]
    assert counts["clicks"] == 20, counts["click_misses"]
