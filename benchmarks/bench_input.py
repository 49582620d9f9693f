"""Input speed: pravlin's move_mouse, left_click and key_press against a bare
Wayland round trip and against spawning wtype.

Usage (after `pip install .`, from anywhere):
    python3 benchmarks/bench_input.py [--calls N] [--rounds N] [--wtype-runs N] [--check]

It starts its own headless session (pravlin_session) and measures, in
rounds that alternate the methods so that drift hits them alike, twice: with
sway and the clients pinned to one core, and to two different cores (a
round trip costs several times more when the client wakes on another core):

  bare        benchmarks/roundtrip.c (compiled with cc into a temporary
              directory): wl_display_roundtrip on a connection of its own;
  move_mouse  move_mouse(1920, 1080, x, 540), x alternating: 1 request, 1 round trip;
  left_click  left_click(0): 2 requests, 2 round trips;
  key_press   key_press(30, 0): 2 requests, 2 round trips;
  wtype       one `wtype a` process per key, waited for.

It prints medians per call and per round trip, and per placement the ratios
against the targets: per round trip within 1.2x of the bare one, and
key_press at least 100x faster than spawning wtype. With --check the exit
status is 1 when a target is missed.
"""

import argparse
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent

from pravlin import Pravlin
from pravlin_session import HeadlessSession

ROUND_TRIP_LIMIT = 1.2
WTYPE_SPEEDUP = 100.0


def build_roundtrip(out_dir):
    exe = Path(out_dir) / "roundtrip"
    flags = subprocess.run(["pkg-config", "--cflags", "--libs", "wayland-client"],
                           check=True, capture_output=True, text=True).stdout.split()
    subprocess.run(["cc", "-O2", "-Wall", "-Wextra", "-o", str(exe), str(HERE / "roundtrip.c"), *flags],
                   check=True)
    return str(exe)


def bare_round_trips(exe, env, calls):
    out = subprocess.run([exe, str(calls)], env=env, check=True, capture_output=True, text=True).stdout
    return [int(line) for line in out.split()]


def timed(call, calls):
    samples = []
    clock = time.perf_counter_ns
    for i in range(calls):
        start = clock()
        call(i)
        samples.append(clock() - start)
    return samples


def wtype_runs(env, runs):
    samples = []
    for _ in range(runs):
        start = time.perf_counter_ns()
        subprocess.run(["wtype", "a"], env=env, check=True, stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        samples.append(time.perf_counter_ns() - start)
    return samples


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--calls", type=int, default=2000, help="calls per method per round (2000)")
    ap.add_argument("--rounds", type=int, default=5, help="rounds (5)")
    ap.add_argument("--wtype-runs", type=int, default=10, help="wtype processes per round (10)")
    ap.add_argument("--check", action="store_true", help="exit 1 if a target is missed")
    args = ap.parse_args()
    if shutil.which("wtype") is None:
        sys.exit("wtype is not installed")

    build_dir = tempfile.mkdtemp(prefix="bench-input-")
    try:
        exe = build_roundtrip(build_dir)
        with HeadlessSession() as session:
            return run(session, exe, args)
    finally:
        shutil.rmtree(build_dir, ignore_errors=True)


def pin(pid, cpus):
    """Set the CPU affinity of every thread of a process."""
    for tid in os.listdir(f"/proc/{pid}/task"):
        os.sched_setaffinity(int(tid), cpus)


def run(session, exe, args):
    p = Pravlin(session.socket)
    env = session.environ()
    methods = {
        "move_mouse": (1, lambda i: p.move_mouse(1920, 1080, 960 + (i & 1), 540)),
        "left_click": (2, lambda i: p.left_click(0)),
        "key_press": (2, lambda i: p.key_press(30, 0)),
    }
    # A round trip costs far more when the client wakes on another core than
    # sway's, and where the scheduler puts them changes from run to run: every
    # method, wtype included, is measured with both placements pinned.
    sway_pid = session.compositor_pid
    cpus = sorted(os.sched_getaffinity(0))
    placements = {"same core": ({cpus[0]}, {cpus[0]})}
    if len(cpus) > 1:
        placements["cross core"] = ({cpus[0]}, {cpus[1]})
    samples = {(where, name): [] for where in placements for name in ("bare", *methods, "wtype")}
    for _, call in methods.values():  # warm-up
        timed(call, 100)
    try:
        for _ in range(args.rounds):
            for where, (sway_cpus, our_cpus) in placements.items():
                pin(sway_pid, sway_cpus)
                pin(os.getpid(), our_cpus)  # the bare client and wtype inherit it
                samples[where, "bare"] += bare_round_trips(exe, env, args.calls)
                for name, (_, call) in methods.items():
                    samples[where, name] += timed(call, args.calls)
                samples[where, "wtype"] += wtype_runs(env, args.wtype_runs)
    finally:
        pin(sway_pid, set(cpus))
        pin(os.getpid(), set(cpus))

    med = {key: statistics.median(s) / 1e3 for key, s in samples.items()}  # us
    screen = session.outputs[0]
    print(f"headless sway {screen.width}x{screen.height}, {args.rounds} rounds of {args.calls} calls per "
          f"method and {args.wtype_runs} wtype runs; medians, sway and the clients pinned to the")
    missed = []
    for where in placements:
        bare = med[where, "bare"]
        print(f"  {where}: bare wl_display_roundtrip {bare:.1f} us")
        for name, (trips, _) in methods.items():
            per_trip = med[where, name] / trips
            ratio = per_trip / bare
            ok = ratio <= ROUND_TRIP_LIMIT
            missed += [] if ok else [f"{where} {name}"]
            print(f"    {name:11} {med[where, name]:7.1f} us per call, {per_trip:6.1f} us per round trip"
                  f" = {ratio:4.2f}x bare (target <= {ROUND_TRIP_LIMIT}x) {'ok' if ok else 'MISSED'}")
        wtype = med[where, "wtype"]
        speedup = wtype / med[where, "key_press"]
        ok = speedup >= WTYPE_SPEEDUP
        missed += [] if ok else [f"{where} wtype"]
        print(f"    `wtype a`   {wtype / 1e3:7.2f} ms per key: key_press is {speedup:.0f}x faster "
              f"(target >= {WTYPE_SPEEDUP:.0f}x) {'ok' if ok else 'MISSED'}")
    if missed:
        print("missed: " + ", ".join(missed))
    return 1 if args.check and missed else 0


if __name__ == "__main__":
    sys.exit(main())
