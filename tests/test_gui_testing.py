"""GUI tests that show what happened: waits driven by the compositor's damage, and what pravlin_desktop's
pytest plugin leaves behind (screenshots, videos, screenshot assertions), seen from a sample suite run
the way a user runs theirs."""

import os
import subprocess
import sys
import textwrap
import time
import xml.etree.ElementTree as ET
from pathlib import Path

import numpy as np
import pytest

pytest.importorskip("cv2")
pytest.importorskip("PIL")

from pravlin_desktop import Desktop, _artifacts  # noqa: E402

HERE = Path(__file__).resolve().parent
COLOUR_WINDOW = HERE / "gtk_colour.py"
BLUE, RED = "#3366cc", "#cc3333"


@pytest.fixture
def colour_window(sway):
    proc = sway.spawn(["/usr/bin/python3", str(COLOUR_WINDOW), BLUE], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                      stderr=subprocess.DEVNULL)
    try:
        assert proc.stdout.readline() == b"MAPPED\n"

        def paint(colour):
            proc.stdin.write(f"{colour}\n".encode())
            proc.stdin.flush()
        yield paint
    finally:
        proc.kill()
        proc.wait()


def bgr(colour):
    return [int(colour[i:i + 2], 16) for i in (5, 3, 1)]


def test_waits_return_on_the_change_they_wait_for_and_say_what_they_saw(colour_window, tmp_path, monkeypatch):
    with Desktop() as d:
        d.wait_until_settled(timeout=5)
        shot = d.screenshot()
        assert list(shot[300, 300, :3]) == bgr(BLUE)
        # A template already on the screen is found at once, in layout pixels.
        assert d.wait_for(shot[100:140, 200:260], timeout=0, region=(100, 50, 300, 300)) is not None

        red = np.full((30, 30, 3), [0xcc, 0x33, 0x33], np.uint8)
        start = time.monotonic()
        timer = _after(0.3, colour_window, RED)
        box = d.wait_for(red, timeout=5, region=(500, 500, 100, 100))
        waited = time.monotonic() - start
        timer.join()
        assert box == (500, 500, 30, 30)
        assert 0.25 < waited < 3, waited

        # A predicate gets the region's pixels and its first true value is the result.
        timer = _after(0.2, colour_window, BLUE)
        seen = d.wait_for(lambda a: a.shape[:2] == (10, 20) and list(a[0, 0, :3]) == bgr(BLUE) and "blue",
                          region=(5, 5, 20, 10), timeout=5)
        timer.join()
        assert seen == "blue"

        # Settled: no damage for `quiet` seconds after the last of a burst of changes.
        start = time.monotonic()
        for colour in (RED, BLUE, RED):
            colour_window(colour)
            time.sleep(0.1)
        d.wait_until_settled(quiet=0.3, timeout=5)
        assert time.monotonic() - start >= 0.5
        assert list(d.screenshot()[10, 10, :3]) == bgr(RED)

        # A time-out names what it saw and keeps the screen.
        monkeypatch.setattr(_artifacts, "test_folder", lambda: tmp_path)
        with pytest.raises(TimeoutError, match=r"did not appear .* best place scored 0\.\d+") as failed:
            d.wait_for(np.zeros((20, 20, 3), np.uint8), timeout=0.3)
        saved = tmp_path / "wait_for-timeout-HEADLESS-1.png"
        assert str(saved) in str(failed.value) and saved.stat().st_size > 0

        def keep_changing():
            for i in range(30):
                colour_window(RED if i % 2 else BLUE)
                time.sleep(0.05)
        timer = _after(0, keep_changing)
        with pytest.raises(TimeoutError, match="still changing after 0.8 s"):
            d.wait_until_settled(quiet=0.3, timeout=0.8)
        timer.join()


def _after(seconds, fn, *args):
    import threading

    def run():
        time.sleep(seconds)
        fn(*args)
    t = threading.Thread(target=run)
    t.start()
    return t


SAMPLE_CONFTEST = f"""
import os, subprocess
import pytest

@pytest.fixture
def window(wayland_session):
    colour = open("colour").read().strip() if os.path.exists("colour") else "{BLUE}"
    proc = wayland_session.spawn(["/usr/bin/python3", {str(COLOUR_WINDOW)!r}, colour], stdout=subprocess.PIPE,
                                 stdin=subprocess.PIPE, stderr=subprocess.DEVNULL)
    assert proc.stdout.readline() == b"MAPPED\\n"
    yield proc
    proc.kill()
    proc.wait()
"""

SAMPLE_TESTS = """
import time
from pravlin_desktop import Desktop

def test_passes(window):
    with Desktop() as d:
        d.wait_until_settled()
        time.sleep(0.3)

def test_fails(window):
    with Desktop() as d:
        d.move(100, 100)
        time.sleep(1.0)
        assert False, "the window is blue"

def test_snapshot(window, wayland_snapshot):
    with Desktop() as d:
        d.move(50, 50)
        wayland_snapshot.assert_match("window", timeout=1)

def test_without_the_session():
    pass
"""

REGION_TESTS = """
from pravlin_desktop import Desktop

def test_region(window, wayland_session, wayland_snapshot):
    # A second window, red, tiles the right half beside the first.
    import subprocess
    right = wayland_session.spawn(["/usr/bin/python3", {window_script!r}, "{red}"], stdout=subprocess.PIPE,
                                  stdin=subprocess.PIPE, stderr=subprocess.DEVNULL)
    assert right.stdout.readline() == b"MAPPED\\n"
    with Desktop() as d:
        d.move(10, 10)
        wayland_snapshot.assert_match("right-half", region=(320, 0, 320, 480), timeout=1)
    right.kill()
    right.wait()
""".format(window_script=str(COLOUR_WINDOW), red=RED)


def run_sample(tmp_path, *options, tests="test_sample.py"):
    """pytest on the sample suite, in a process of its own with a session of its own."""
    env = {k: v for k, v in os.environ.items() if k not in ("WAYLAND_DISPLAY", "SWAYSOCK", "WAYLAND_SOCKET")}
    argv = [sys.executable, "-P", "-m", "pytest", "-p", "no:cacheprovider", "-rA", "--rootdir", str(tmp_path),
            "--wayland-outputs", "640x480", "--junitxml", "junit.xml", *options, tests]
    # From tmp_path: a checkout on sys.path would shadow the installed package.
    res = subprocess.run(argv, env=env, cwd=str(tmp_path), capture_output=True, text=True, timeout=300)
    return res, res.stdout + res.stderr


def tree(root):
    return sorted(str(p.relative_to(root)) for p in root.rglob("*") if p.is_file())


@pytest.fixture
def sample(tmp_path, sway):
    (tmp_path / "conftest.py").write_text(SAMPLE_CONFTEST)
    (tmp_path / "test_sample.py").write_text(SAMPLE_TESTS)
    return tmp_path


def test_a_run_leaves_exactly_the_artifacts_its_options_ask_for(sample):
    av = pytest.importorskip("av")
    res, out = run_sample(sample, "--wayland-screenshot", "only-on-failure", "--wayland-video", "retain-on-failure",
                          "-k", "not snapshot")
    assert res.returncode == 1, out
    assert tree(sample / "test-results") == [".pravlin-artifacts", "test-sample-py-test-fails/screenshot-HEADLESS-1.png",
                                             "test-sample-py-test-fails/video-HEADLESS-1.mp4"], out
    failed = "test-results/test-sample-py-test-fails"
    # The report names them: in the failure, in the run's summary, in the JUnit XML.
    summary = out.split("wayland artifacts of failed tests")[1].split("short test summary")[0]
    assert f"{sample / failed}/video-HEADLESS-1.mp4" in summary and "test_passes" not in summary, out
    assert "wayland artifacts" in out.split("_ test_fails _")[1], out
    cases = {c.get("name"): c for c in ET.parse(sample / "junit.xml").iter("testcase")}
    props = [p.get("value") for p in cases["test_fails"].iter("property") if p.get("name") == "wayland_artifact"]
    assert sorted(props) == [f"{sample / failed}/screenshot-HEADLESS-1.png", f"{sample / failed}/video-HEADLESS-1.mp4"]
    assert not list(cases["test_passes"].iter("property"))

    # The screenshot is the screen at the end of the test: the window still up.
    from PIL import Image
    assert Image.open(sample / failed / "screenshot-HEADLESS-1.png").getpixel((320, 240)) == (0x33, 0x66, 0xcc)

    # The video plays in a browser (H.264, yuv420p, MP4), shows the window, and lasts as long as the test.
    with av.open(str(sample / failed / "video-HEADLESS-1.mp4")) as video:
        stream = video.streams.video[0]
        assert (stream.codec_context.name, stream.format.name, stream.width, stream.height) == \
            ("h264", "yuv420p", 640, 480)
        frames = [(float(f.pts * f.time_base), f.to_ndarray(format="rgb24")) for f in video.decode(stream)]
        length = video.duration / 1e6
    blue = [t for t, rgb in frames if np.abs(rgb[240, 320].astype(int) - (0x33, 0x66, 0xcc)).max() < 12]
    assert blue, [(t, rgb[240, 320]) for t, rgb in frames]
    # Only changes make frames: the one-second still wait in the test made none.
    assert len(frames) < 12, [t for t, _ in frames]
    # From the recording's start in set-up to its end in teardown; the phases' durations leave out the
    # plugin's own work between them (the screenshot), so the video may run a little longer.
    test_time = float(cases["test_fails"].get("time"))
    assert test_time - 0.4 < length < test_time + 0.25, (length, test_time)
    # The window is in the video from before the test's still second to the end.
    assert blue[0] < length - 0.8 and max(t for t, _ in frames) > 1.0, (blue[0], length)

    # The defaults leave nothing, not even the folder.
    res, out = run_sample(sample, "-k", "not snapshot", "--wayland-output", "elsewhere")
    assert res.returncode == 1 and not (sample / "elsewhere").exists(), out
    # "on" keeps the passing test's too; the previous run's folders go.
    (sample / "test-results" / "stale").mkdir()
    res, out = run_sample(sample, "--wayland-screenshot", "on", "-k", "passes")
    assert res.returncode == 0, out
    assert tree(sample / "test-results") == [".pravlin-artifacts",
                                             "test-sample-py-test-passes/screenshot-HEADLESS-1.png"], out


def test_the_snapshot_flow_update_pass_change_fail_update_pass(sample):
    snap = sample / "__snapshots__" / "test_sample" / "window.png"
    folder = sample / "test-results" / "test-sample-py-test-snapshot"

    res, out = run_sample(sample, "-k", "snapshot")
    assert res.returncode == 1 and "had no baseline" in out and snap.exists(), out
    assert not folder.exists()
    for step in ("again", "update"):
        res, out = run_sample(sample, "-k", "snapshot", *(["--wayland-update-snapshots"] if step == "update" else []))
        assert res.returncode == 0, (step, out)

    (sample / "colour").write_text(RED)
    written = snap.stat().st_mtime_ns
    res, out = run_sample(sample, "-k", "snapshot")
    assert res.returncode == 1, out
    # 640x480 less the pointer's square (64x64 around (50, 50)).
    assert "307200 pixels differ" not in out and f"{640 * 480 - 64 * 64} pixels differ" in out, out
    assert "(0, 0) expected #3366cc, got #cc3333" in out, out
    assert sorted(p.name for p in folder.iterdir()) == ["window-actual.png", "window-diff.png", "window-expected.png"]
    from PIL import Image
    assert Image.open(folder / "window-diff.png").getpixel((300, 300)) == (255, 0, 0)
    assert Image.open(folder / "window-actual.png").getpixel((300, 300)) == (0xcc, 0x33, 0x33)
    assert snap.stat().st_mtime_ns == written

    res, out = run_sample(sample, "-k", "snapshot", "--wayland-update-snapshots")
    assert res.returncode == 0 and snap.stat().st_mtime_ns != written, out
    assert Image.open(snap).getpixel((300, 300)) == (0xcc, 0x33, 0x33)
    res, out = run_sample(sample, "-k", "snapshot")
    assert res.returncode == 0 and not folder.exists(), out


def test_a_region_snapshot_holds_the_region_and_the_run_lists_the_baselines_it_wrote(sample):
    from PIL import Image
    (sample / "test_region.py").write_text(REGION_TESTS)
    snap = sample / "__snapshots__" / "test_region" / "right-half.png"
    res, out = run_sample(sample, tests="test_region.py")
    assert res.returncode == 1 and "had no baseline" in out, out
    # The region's own pixels: the red window on the right, not the top left corner of the screen.
    with Image.open(snap) as image:
        assert image.size == (320, 480) and image.getpixel((160, 240)) == (0xcc, 0x33, 0x33)
    assert f"new {snap}" in out.split("wayland snapshot baselines written")[1], out
    # The left half turning red leaves the region as it was; nothing is written.
    (sample / "colour").write_text(RED)
    res, out = run_sample(sample, tests="test_region.py")
    assert res.returncode == 0 and "baselines written" not in out, out
    # The right half changed: the comparison fails, and an update says what it rewrote.
    (sample / "colour").write_text(BLUE)
    Image.new("RGB", (320, 480), (0x33, 0x66, 0xcc)).save(snap)
    res, out = run_sample(sample, tests="test_region.py")
    assert res.returncode == 1 and f"{320 * 480} pixels differ" in out, out
    res, out = run_sample(sample, "--wayland-update-snapshots", tests="test_region.py")
    assert res.returncode == 0 and f"changed {snap}" in out.split("wayland snapshot baselines written")[1], out
