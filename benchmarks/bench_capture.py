"""Screenshot speed: pravlin's screenshot() against grim and a reference C client.

Usage:
    python3 benchmarks/bench_capture.py [--captures N] [--grim-runs N] [--rounds N]
                                        [--sizes 1280x720,1920x1080] [--refresh 60,1000]

For each size it starts its own headless sway (tests/sway_session.py); for
each refresh rate it sets the output's mode and measures, in rounds that
alternate the three so that drift hits them alike:

  pravlin    Pravlin.screenshot() on one instance;
  reference  benchmarks/capture_ref.c (built with the native test peers): one
             reused shared-memory buffer, per capture a frame, a copy and one
             memcpy into fresh memory: the floor;
  grim       one `grim -t ppm -` process per capture, its output read from a pipe.

Per method: latency median and p95, captures per second over the whole run,
and CPU time per capture (user + system of the capturing process: ours for
pravlin, the reference process for its loop, the grim processes for grim).
Then the ratios against the targets: at least 5x faster than grim (median
latency), latency within 1.2x and CPU within 1.3x of the reference.
The exit status is 0 when every target holds, 1 otherwise.

sway copies a frame when the output next renders, so at 60 Hz every method
waits for the frame clock; at 1000 Hz the wait is sway's own rendering.
"""

import argparse
import json
import resource
import statistics
import subprocess
import sys
import time
from pathlib import Path

TESTS = Path(__file__).resolve().parents[1] / "tests"
sys.path.insert(0, str(TESTS))

from native_build import peer  # noqa: E402
from sway_session import SwaySession  # noqa: E402

from pravlin import Pravlin  # noqa: E402

TARGETS = {  # name: (description, limit, True if the ratio must be at least the limit)
    "grim_speedup": ("grim latency / pravlin latency", 5.0, True),
    "latency": ("pravlin latency / reference latency", 1.2, False),
    "cpu": ("pravlin CPU / reference CPU", 1.3, False),
}


class Series:
    def __init__(self):
        self.latencies_ns = []
        self.cpu_ns = 0
        self.wall_ns = 0

    def add(self, latencies_ns, cpu_ns, wall_ns):
        self.latencies_ns += latencies_ns
        self.cpu_ns += cpu_ns
        self.wall_ns += wall_ns

    @property
    def median_ms(self):
        return statistics.median(self.latencies_ns) / 1e6

    @property
    def p95_ms(self):
        return statistics.quantiles(self.latencies_ns, n=20, method="inclusive")[-1] / 1e6

    @property
    def per_second(self):
        return len(self.latencies_ns) / (self.wall_ns / 1e9)

    @property
    def cpu_ms(self):
        return self.cpu_ns / len(self.latencies_ns) / 1e6


def cpu_ns(who):
    u = resource.getrusage(who)
    return int((u.ru_utime + u.ru_stime) * 1e9)


def run_pravlin(p, count, expected_shape):
    latencies = []
    cpu0, wall0 = cpu_ns(resource.RUSAGE_SELF), time.perf_counter_ns()
    for _ in range(count):
        t0 = time.perf_counter_ns()
        img = p.screenshot()
        latencies.append(time.perf_counter_ns() - t0)
        del img
    wall = time.perf_counter_ns() - wall0
    cpu = cpu_ns(resource.RUSAGE_SELF) - cpu0
    assert p.screenshot().shape == expected_shape
    return latencies, cpu, wall


def run_reference(session, count):
    # The process also connects and exits; only its capture loop is timed, by itself.
    res = subprocess.run([str(peer("capture_ref")), str(count)], env=session.env, capture_output=True,
                         text=True, timeout=300)
    if res.returncode != 0:
        raise RuntimeError(f"capture_ref failed: {res.stderr.strip()}")
    latencies, cpu = [], None
    for line in res.stdout.splitlines():
        key, value = line.split()
        if key == "ns":
            latencies.append(int(value))
        elif key == "cpu_ns":
            cpu = int(value)
    assert len(latencies) == count and cpu is not None, res.stdout[-200:]
    return latencies, cpu, sum(latencies)


def run_grim(session, count, expected_bytes):
    latencies = []
    cpu0, wall0 = cpu_ns(resource.RUSAGE_CHILDREN), time.perf_counter_ns()
    for _ in range(count):
        t0 = time.perf_counter_ns()
        res = subprocess.run(["grim", "-t", "ppm", "-"], env=session.env, stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE, timeout=60)
        latencies.append(time.perf_counter_ns() - t0)
        if res.returncode != 0 or len(res.stdout) < expected_bytes:
            raise RuntimeError(f"grim failed: {res.stderr.decode(errors='replace').strip()}")
    wall = time.perf_counter_ns() - wall0
    return latencies, cpu_ns(resource.RUSAGE_CHILDREN) - cpu0, wall


def set_refresh(session, hz):
    session.swaymsg("--", "output", "HEADLESS-1", "mode", "--custom", f"{session.width}x{session.height}@{hz}Hz")
    deadline = time.monotonic() + 10
    while json.loads(session.swaymsg("-r", "-t", "get_outputs"))[0]["current_mode"]["refresh"] != hz * 1000:
        if time.monotonic() > deadline:
            raise RuntimeError(f"sway did not switch to {hz} Hz")
        time.sleep(0.05)


def bench_size(width, height, refresh_rates, captures, grim_runs, rounds):
    """{refresh: {method: Series}} for one output size."""
    results = {}
    with SwaySession(width, height) as session:
        p = Pravlin(session.socket)
        shape = (height, width, 4)
        for hz in refresh_rates:
            set_refresh(session, hz)
            for _ in range(10):  # warm-up: first mappings, page faults, caches
                p.screenshot()
            run_reference(session, 10)
            series = {"pravlin": Series(), "reference": Series(), "grim": Series()}
            for _ in range(rounds):
                series["pravlin"].add(*run_pravlin(p, captures // rounds, shape))
                series["reference"].add(*run_reference(session, captures // rounds))
                series["grim"].add(*run_grim(session, grim_runs // rounds, width * height * 3))
            results[hz] = series
        del p
    return results


def report(width, height, hz, series):
    print(f"\n{width}x{height} at {hz} Hz")
    print(f"  {'':10} {'median ms':>10} {'p95 ms':>8} {'captures/s':>11} {'CPU ms/capture':>15} {'n':>5}")
    for name, s in series.items():
        print(f"  {name:10} {s.median_ms:10.2f} {s.p95_ms:8.2f} {s.per_second:11.1f} {s.cpu_ms:15.3f} "
              f"{len(s.latencies_ns):5d}")
    pr, ref, grim = series["pravlin"], series["reference"], series["grim"]
    ratios = {
        "grim_speedup": grim.median_ms / pr.median_ms,
        "latency": pr.median_ms / ref.median_ms,
        "cpu": pr.cpu_ms / ref.cpu_ms,
    }
    met = True
    for key, value in ratios.items():
        what, limit, at_least = TARGETS[key]
        ok = value >= limit if at_least else value <= limit
        met &= ok
        print(f"  {what:38} {value:6.2f}x  (target {'>=' if at_least else '<='} {limit}x: "
              f"{'met' if ok else 'MISSED'})")
    print(f"  {'pravlin p95 / reference p95':38} {pr.p95_ms / ref.p95_ms:6.2f}x")
    print(f"  {'grim throughput / pravlin throughput':38} {grim.per_second / pr.per_second:6.2f}x")
    print(f"  {'grim CPU / pravlin CPU':38} {grim.cpu_ms / pr.cpu_ms:6.2f}x")
    return met


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--captures", type=int, default=300, help="screenshots per method and size (300)")
    parser.add_argument("--grim-runs", type=int, default=60, help="grim processes per size (60)")
    parser.add_argument("--rounds", type=int, default=3, help="alternating rounds (3)")
    parser.add_argument("--sizes", default="1280x720,1920x1080", help="output sizes (1280x720,1920x1080)")
    parser.add_argument("--refresh", default="60,1000", help="output refresh rates in Hz (60,1000)")
    args = parser.parse_args()
    if args.captures < args.rounds or args.grim_runs < args.rounds:
        parser.error("need at least one capture and one grim run per round")
    sizes = [tuple(int(v) for v in s.split("x")) for s in args.sizes.split(",")]
    refresh_rates = [int(hz) for hz in args.refresh.split(",")]

    peer("capture_ref")  # build before anything is timed
    print(f"headless sway, pixman renderer; {args.captures} captures, {args.grim_runs} grim runs "
          f"per size in {args.rounds} rounds")
    met = True
    for width, height in sizes:
        results = bench_size(width, height, refresh_rates, args.captures, args.grim_runs, args.rounds)
        for hz, series in results.items():
            met &= report(width, height, hz, series)
    print("\nall targets met" if met else "\nsome targets MISSED")
    return 0 if met else 1


if __name__ == "__main__":
    sys.exit(main())
