"""Waiting for the screen: Desktop.wait_for and wait_until_settled, driven by the compositor's damage,
against the polling loops one writes without them (screenshot, look, sleep, again).

    python3 benchmarks/bench_wait.py [--rounds N] [--size 1280x720]

One headless sway session with a foot window. The change waited for is made by sway itself: the focused
window's border goes from none to 40 pixels (`swaymsg border pixel 40`), which sway draws at its next
frame. Reported, for each way of waiting:
- latency: from the moment `swaymsg` returns to the moment the wait returns (median and 90th percentile);
- CPU while nothing changes: the waiting process's and sway's CPU time over a 3-second wait that ends
  unanswered, in ms per second;
- settle: after a burst of border changes every 50 ms, how long after the last change each settle wait
  returns, less its quiet time (0.2 s), and the CPU it spent. A negative figure is a wait that called
  the screen settled before the burst was over: polling every 100 ms sees the border on, on, on while
  it goes on, off, on.
The polling loops sleep 100 ms (what scripts commonly do) or not at all between screenshots; they look
with the same search (pravlin_desktop.vision) at the same region.
"""

import argparse
import os
import statistics
import threading
import time

import numpy as np

from pravlin_desktop import Desktop, Viewer, vision
from pravlin_session import HeadlessSession

QUIET = 0.2


def cpu_of(pid):
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rpartition(")")[2].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def poll_for(viewer, template, region, interval, timeout):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        box = vision.locate(viewer.screenshot(), template, region=region)
        if box is not None:
            return box
        if interval:
            time.sleep(interval)
    return None


def poll_settled(viewer, interval, quiet=QUIET, timeout=10):
    previous, since = viewer.screenshot().copy(), time.monotonic()
    deadline = since + timeout
    while time.monotonic() < deadline:
        if interval:
            time.sleep(interval)
        now = viewer.screenshot()
        if not np.array_equal(now[:, :, :3], previous[:, :, :3]):
            previous, since = now.copy(), time.monotonic()
        elif time.monotonic() - since >= quiet:
            return


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--rounds", type=int, default=15)
    ap.add_argument("--size", default="1280x720")
    args = ap.parse_args()
    width, height = (int(v) for v in args.size.split("x"))
    with HeadlessSession([(width, height)]) as session:
        session.spawn(["foot"])
        sway = session.compositor_pid
        desktop = Desktop(session.socket)
        viewer = Viewer(session.socket)
        desktop.wait_until_settled(quiet=0.5, timeout=20)

        def border(on):
            session.swaymsg("border", "pixel 40" if on else "none")

        border(True)
        desktop.wait_until_settled()
        region = (0, height // 2 - 50, 60, 100)
        template = desktop.screenshot()[height // 2 - 20:height // 2 + 20, 0:40].copy()
        border(False)
        desktop.wait_until_settled()
        assert desktop.locate(template, region=region) is None

        ways = {
            "wait_for (damage)": lambda t: desktop.wait_for(template, region=region, timeout=t),
            "poll, 100 ms sleep": lambda t: poll_for(viewer, template, region, 0.1, t),
            "poll, no sleep": lambda t: poll_for(viewer, template, region, 0, t),
        }
        print(f"{width}x{height}, {args.rounds} rounds per way")
        print(f"{'way':<22} {'latency ms p50':>15} {'p90':>7}   {'idle CPU ms/s: waiter':>22} {'sway':>6}")
        for name, wait in ways.items():
            latencies = []
            for _ in range(args.rounds):
                border(False)
                desktop.wait_until_settled(quiet=0.1)
                done = {}
                waiter = threading.Thread(target=lambda: done.setdefault("t", (wait(5), time.monotonic())))
                waiter.start()
                time.sleep(0.15)
                border(True)
                changed = time.monotonic()
                waiter.join()
                box, found_at = done["t"]
                assert box is not None, name
                latencies.append((found_at - changed) * 1000)
            border(False)
            desktop.wait_until_settled(quiet=0.1)
            c0, s0, w0 = time.process_time(), cpu_of(sway), time.monotonic()
            assert wait(3) is None if name != "wait_for (damage)" else _times_out(wait)
            seconds = time.monotonic() - w0
            waiter_cpu = (time.process_time() - c0) * 1000 / seconds
            sway_cpu = (cpu_of(sway) - s0) * 1000 / seconds
            latencies.sort()
            print(f"{name:<22} {statistics.median(latencies):15.1f} {latencies[int(len(latencies) * 0.9)]:7.1f}"
                  f"   {waiter_cpu:22.1f} {sway_cpu:6.1f}")

        settles = {
            "wait_until_settled": lambda: desktop.wait_until_settled(quiet=QUIET),
            "poll, 100 ms sleep": lambda: poll_settled(viewer, 0.1),
            "poll, no sleep": lambda: poll_settled(viewer, 0),
        }
        print(f"\n{'settle':<22} {'late ms p50':>15} {'p90':>7}   {'CPU ms per settle':>22} {'sway':>6}")
        for name, settle in settles.items():
            late, cpu, sway_cpu = [], [], []
            for _ in range(args.rounds):
                stop = {}

                def burst():
                    for i in range(10):
                        time.sleep(0.05)
                        border(i % 2 == 0)
                    stop["t"] = time.monotonic()
                maker = threading.Thread(target=burst)
                c0, s0 = time.process_time(), cpu_of(sway)
                maker.start()
                time.sleep(0.02)
                settle()
                returned = time.monotonic()
                maker.join()
                cpu.append((time.process_time() - c0) * 1000)
                sway_cpu.append((cpu_of(sway) - s0) * 1000)
                late.append((returned - stop["t"] - QUIET) * 1000)
            late.sort()
            print(f"{name:<22} {statistics.median(late):15.1f} {late[int(len(late) * 0.9)]:7.1f}"
                  f"   {statistics.median(cpu):22.1f} {statistics.median(sway_cpu):6.1f}")


def _times_out(wait):
    try:
        wait(3)
    except TimeoutError:
        return True
    return False


if __name__ == "__main__":
    main()
