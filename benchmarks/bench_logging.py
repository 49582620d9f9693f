"""Does log forwarding cost anything when Python logging does not want the records?

    python3 benchmarks/bench_logging.py [--rounds N] [--calls N] [--build-dir DIR]

Builds the extension twice from this checkout into scratch directories (kept
under --build-dir, default /tmp/pravlin-bench, and rebuilt incrementally):
"on", as shipped, and "off", compiled with -DPRAVLIN_LOG_OFF so that no sink
is installed and every log statement stays one relaxed load. Against one
compositor, it then alternates fresh interpreters of each build (the order
flips every round), on one headless session (pravlin_session). Each worker leaves logging at its default (WARNING),
constructs a session, which sends the first records and so caches the
app_data threshold as Warn, warms up, and times batches of `move_mouse`.

Reported: median per-call time of each build, their ratio (on / off; the
claim is that it stays within 1.05), and, for information, the median
construction time of ten more sessions per worker (each construction emits a
few dozen Info records, all of which the "on" build drops at the cached
threshold). One unrecorded round of each build warms up first.
"""

import argparse
import json
import statistics
import subprocess
import sys
from pathlib import Path

from pravlin_session import HeadlessSession

REPO = Path(__file__).resolve().parents[1]

WORKER = r"""
import json, logging, sys, time
build_dir, socket, calls, batches = sys.argv[1], sys.argv[2], int(sys.argv[3]), int(sys.argv[4])
sys.path.insert(0, build_dir)
looked_up = []
real_get = logging.getLogger
def getLogger(name=None):
    looked_up.append(name)
    return real_get(name)
logging.getLogger = getLogger
import pravlin
assert pravlin.__file__.startswith(build_dir), pravlin.__file__

p = pravlin.Pravlin(socket)
for i in range(calls // 4):
    p.move_mouse(1000, 1000, i % 1000, (7 * i) % 1000)
per_call = []
for b in range(batches):
    t0 = time.perf_counter_ns()
    for i in range(calls):
        p.move_mouse(1000, 1000, i % 1000, (7 * i) % 1000)
    per_call.append((time.perf_counter_ns() - t0) / calls)
# More sessions: each construction's records now meet the cached threshold.
sessions, construct_ns = [], []
for _ in range(10):
    t0 = time.perf_counter_ns()
    sessions.append(pravlin.Pravlin(socket))
    construct_ns.append(time.perf_counter_ns() - t0)
print(json.dumps({"per_call_ns": per_call, "construct_ns": construct_ns,
                  "loggers": [n for n in looked_up if str(n).startswith("pravlin")]}))
"""


def build(build_dir: Path, off: bool) -> Path:
    if not (build_dir / "build.ninja").exists():
        cmd = ["meson", "setup", str(build_dir), str(REPO)]
        if off:
            cmd.append("-Dcpp_args=-DPRAVLIN_LOG_OFF")
        subprocess.run(cmd, check=True, stdout=subprocess.DEVNULL)
    subprocess.run(["meson", "compile", "-C", str(build_dir)], check=True, stdout=subprocess.DEVNULL)
    return build_dir.resolve()


def run_worker(build_dir: Path, socket: str, calls: int, batches: int) -> dict:
    proc = subprocess.run([sys.executable, "-c", WORKER, str(build_dir), socket, str(calls), str(batches)],
                          capture_output=True, text=True, timeout=600, cwd="/")
    if proc.returncode != 0:
        raise RuntimeError(f"worker for {build_dir} failed:\n{proc.stderr}")
    return json.loads(proc.stdout.splitlines()[-1])


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--rounds", type=int, default=10, help="worker runs per build")
    ap.add_argument("--calls", type=int, default=2000, help="move_mouse calls per batch")
    ap.add_argument("--batches", type=int, default=5, help="batches per worker")
    ap.add_argument("--build-dir", type=Path, default=Path("/tmp/pravlin-bench"))
    args = ap.parse_args()

    print("building ...", flush=True)
    builds = {"on": build(args.build_dir / "on", off=False), "off": build(args.build_dir / "off", off=True)}

    with HeadlessSession() as session:
        results = {"on": [], "off": []}
        construct = {"on": [], "off": []}
        for r in range(-1, args.rounds):  # round -1 warms up sway and the page cache
            order = ("on", "off") if r % 2 == 0 else ("off", "on")
            for variant in order:
                out = run_worker(builds[variant], session.socket, args.calls, args.batches)
                # The "on" build looks the logger up once (then caches Warn); "off" never does.
                expected = ["pravlin.pravlin_lib.app_data"] if variant == "on" else []
                if out["loggers"] != expected:
                    raise RuntimeError(f"{variant}: logger look-ups {out['loggers']}, expected {expected}")
                if r >= 0:
                    results[variant].extend(out["per_call_ns"])
                    construct[variant].extend(out["construct_ns"])
            if r < 0:
                continue
            print(f"round {r + 1}/{args.rounds}: "
                  + ", ".join(f"{v} {statistics.median(results[v][-args.batches:]) / 1000:.2f} us"
                              for v in ("on", "off")), flush=True)

    med = {v: statistics.median(results[v]) for v in results}
    ratio = med["on"] / med["off"]
    print(f"\nheadless sway; {args.rounds} workers x {args.batches} batches x "
          f"{args.calls} calls per build")
    for v in ("on", "off"):
        print(f"  {v:3}: move_mouse median {med[v] / 1000:8.2f} us/call "
              f"(min {min(results[v]) / 1000:.2f}, max {max(results[v]) / 1000:.2f}); "
              f"construction median {statistics.median(construct[v]) / 1e6:.2f} ms")
    verdict = "within" if abs(ratio - 1) <= 0.05 else "NOT within"
    print(f"  ratio on/off: {ratio:.4f} ({verdict} 5%)")
    return 0 if verdict == "within" else 1


if __name__ == "__main__":
    sys.exit(main())
