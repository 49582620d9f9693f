"""What recording costs: one GUI test suite run with --wayland-video off, on and retain-on-failure, side
by side.

    python3 benchmarks/bench_video.py [--rounds N] [--tests N] [--size 1920x1080]

The suite (written to a scratch folder) has --tests tests; each opens a foot terminal, types two lines
into it with pravlin_desktop.Desktop, waits until the screen settles, scrolls, and closes the window: a
screen that changes for about half of each test. Rounds alternate the three settings, after one
unrecorded warm-up run. Reported per setting: median wall time of the whole pytest run, its ratio to
"off", and the CPU time of pytest and of the processes it waited for (the recording thread is
pytest's), from the children's rusage.
"""

import argparse
import resource
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

SUITE = '''
import subprocess
import pytest
from pravlin_desktop import Desktop

@pytest.mark.parametrize("n", range({tests}))
def test_type_into_a_terminal(wayland_session, n):
    foot = wayland_session.spawn(["foot"], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        with Desktop() as d:
            d.wait_until_settled(quiet=0.3, timeout=20)
            d.type(f"echo test {{n}}: the quick brown fox jumps over the lazy dog\\n", interval=0.01)
            d.type("seq 1 200\\n")
            d.wait_until_settled(timeout=20)
            d.scroll(-5, x=200, y=200)
            d.wait_until_settled(timeout=20)
    finally:
        foot.terminate()
        foot.wait()
'''


def run(folder: Path, video: str, size: str) -> tuple[float, float]:
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    t0 = time.monotonic()
    res = subprocess.run([sys.executable, "-P", "-m", "pytest", "-q", "-p", "no:cacheprovider", "--rootdir", str(folder),
                          "--wayland-outputs", size, "--wayland-video", video, "test_suite.py"],
                         cwd=folder, capture_output=True, text=True)
    wall = time.monotonic() - t0
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    if res.returncode != 0:
        raise SystemExit(f"the suite failed with --wayland-video {video}:\n{res.stdout[-3000:]}{res.stderr[-2000:]}")
    cpu = (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)
    return wall, cpu


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--rounds", type=int, default=3)
    ap.add_argument("--tests", type=int, default=8)
    ap.add_argument("--size", default="1920x1080")
    args = ap.parse_args()
    settings = ("off", "on", "retain-on-failure")
    with tempfile.TemporaryDirectory(prefix="pravlin-bench-video-") as scratch:
        folder = Path(scratch)
        (folder / "test_suite.py").write_text(SUITE.format(tests=args.tests))
        run(folder, "off", args.size)
        results = {s: [] for s in settings}
        for r in range(args.rounds):
            order = settings if r % 2 == 0 else settings[::-1]
            for setting in order:
                results[setting].append(run(folder, setting, args.size))
        run(folder, "on", args.size)
        videos = sorted((folder / "test-results").rglob("*.mp4"))
        size_mb = sum(p.stat().st_size for p in videos) / 1e6
    off = statistics.median(w for w, _ in results["off"])
    print(f"{args.tests} tests at {args.size}, {args.rounds} rounds")
    print(f"{'--wayland-video':<18} {'wall s (median)':>16} {'vs off':>7} {'CPU s (median)':>15}   walls")
    for setting in settings:
        walls = [w for w, _ in results[setting]]
        wall = statistics.median(walls)
        cpu = statistics.median(c for _, c in results[setting])
        print(f"{setting:<18} {wall:16.2f} {wall / off:6.3f}x {cpu:15.2f}   " + " ".join(f"{w:.2f}" for w in walls))
    print(f"videos of one more 'on' run: {len(videos)} files, {size_mb:.1f} MB")


if __name__ == "__main__":
    main()
