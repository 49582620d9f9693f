"""pravlin_desktop.Clipboard's speed against wl-clipboard, the peer doing the same job, in the same run on
a headless sway session:

  write  write_text() of a short text, returning once sway has the new selection, against `wl-copy`
         (which forks a server for the selection and returns);
  read   read_text() of what another client (wl-copy) owns, against `wl-paste -n`; both must get the text;
  own    read_text() of what this process owns: the request goes through sway and back to its own thread.

Usage (after `pip install .`, from anywhere):
    python3 benchmarks/bench_clipboard.py [--calls N] [--check]
Goal: write and read 10x or more faster than wl-copy and wl-paste. With --check the exit status is 1
when the goal is missed.
"""

import argparse
import statistics
import subprocess
import sys
import time

from pravlin_desktop import Clipboard
from pravlin_session import HeadlessSession

SPEEDUP = 10.0
TEXT = "Grüße, naïve café ✓ 😀 " * 4


def median_us(call, calls):
    out = []
    for _ in range(calls):
        start = time.perf_counter_ns()
        call()
        out.append(time.perf_counter_ns() - start)
    return statistics.median(out) / 1000


def main(argv=None) -> int:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--calls", type=int, default=200, help="calls of ours per figure (the peers get a tenth)")
    ap.add_argument("--check", action="store_true", help="exit 1 when a goal is missed")
    args = ap.parse_args(argv)
    peer_calls = max(args.calls // 10, 5)
    with HeadlessSession([(1280, 720)]) as session, Clipboard(session.socket) as clip:
        env = session.environ()

        def wl_copy():
            subprocess.run(["wl-copy", TEXT], env=env, check=True)

        def wl_paste():
            out = subprocess.run(["wl-paste", "-n"], env=env, check=True, capture_output=True).stdout.decode()
            assert out == TEXT, out

        def ours_read():
            assert clip.read_text() == TEXT

        write_ours = median_us(lambda: clip.write_text(TEXT), args.calls)
        own = median_us(ours_read, args.calls)
        write_peer = median_us(wl_copy, peer_calls)
        read_ours = median_us(ours_read, args.calls)
        read_peer = median_us(wl_paste, peer_calls)
    rows = [("write", write_ours, "wl-copy", write_peer), ("read", read_ours, "wl-paste -n", read_peer)]
    missed = False
    for name, ours, peer_name, peer in rows:
        speedup = peer / ours
        missed |= speedup < SPEEDUP
        print(f"{name:5}  {ours:9.1f} µs  against {peer_name} {peer:9.1f} µs: {speedup:6.1f}x faster")
    print(f"own    {own:9.1f} µs  (read_text of what this process owns)")
    return 1 if args.check and missed else 0


if __name__ == "__main__":
    sys.exit(main())
