"""Soak: many screenshots and input actions on one headless sway session,
with the process's resident memory and open file descriptors sampled as it
goes. Both must stay flat; the slopes are printed per 1000 operations.
pravlin's Pravlin first, then pravlin_desktop's Desktop: its frames (kept
buffers, frames that wait for a change), its actions (typed text with
characters the layout lacks, which extends and restores the keymap), and
Desktops made and closed (each with its guard process).

    python3 benchmarks/soak.py [--screenshots 2000] [--actions 20000]

Run after `pip install .` (or `bash scripts/setup.sh`). Exits non-zero when
a slope is above its limit.
"""

import argparse
import os
import sys
import time

from pravlin import Pravlin
from pravlin_desktop import Desktop
from pravlin_session import HeadlessSession

PAGE = os.sysconf("SC_PAGE_SIZE")


def rss_kib():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * PAGE // 1024


def fd_count():
    return len(os.listdir("/proc/self/fd"))


def slope(samples):
    """Least-squares slope of (x, y) pairs."""
    n = len(samples)
    mx = sum(x for x, _ in samples) / n
    my = sum(y for _, y in samples) / n
    den = sum((x - mx) ** 2 for x, _ in samples)
    return sum((x - mx) * (y - my) for x, y in samples) / den if den else 0.0


def run(label, count, step, every):
    # The first tenth warms allocator pools and caches up; it is not measured.
    warmup = count // 10
    for i in range(warmup):
        step(i)
    rss, fds = [], []
    start = time.perf_counter()
    for i in range(count):
        step(i)
        if i % every == 0:
            rss.append((i, rss_kib()))
            fds.append((i, fd_count()))
    elapsed = time.perf_counter() - start
    rss_slope = slope(rss) * 1000
    fd_slope = slope(fds) * 1000
    print(f"{label}: {count} in {elapsed:.1f} s; RSS {rss[0][1]} -> {rss[-1][1]} KiB "
          f"(slope {rss_slope:+.1f} KiB per 1000), fds {fds[0][1]} -> {fds[-1][1]} "
          f"(slope {fd_slope:+.3f} per 1000)")
    return rss_slope, fd_slope


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--screenshots", type=int, default=2000)
    parser.add_argument("--actions", type=int, default=20000)
    args = parser.parse_args()

    with HeadlessSession([(1280, 720)]) as session:
        p = Pravlin(session.socket)

        def shot(i):
            a = p.screenshot()
            assert a.shape == (720, 1280, 4)

        def act(i):
            kind = i % 4
            if kind == 0:
                p.move_mouse(1280, 720, i % 1280, i % 720, None, (i % 720) + 10)
            elif kind == 1:
                p.left_click(0)
            elif kind == 2:
                p.right_click(0, 1)
            else:
                p.key_press(42, 0)  # left shift: types nothing anywhere

        results = {
            "screenshots": run("screenshots", args.screenshots, shot, max(1, args.screenshots // 100)),
            "input actions": run("input actions", args.actions, act, max(1, args.actions // 100)),
        }

        d = Desktop(session.socket)

        def frame(i):
            # Every other one waits for a change that a move of the pointer makes.
            if i % 2:
                d.move(100 + (i // 2) % 2, 100)
                assert d.capture(damage=True, timeout=1.0) is not None
            else:
                assert d.screenshot().shape == (720, 1280, 4)

        def desktop_act(i):
            kind = i % 5
            if kind == 0:
                d.click(i % 1280, i % 720)
            elif kind == 1:
                d.key("shift+ctrl")
            elif kind == 2:
                d.scroll(1, x=i % 1280, y=i % 720)
            elif kind == 3:
                d.drag([(10, 10), (40, 30)], modifiers=["shift"])
            else:
                d.type("\u00e9\u2713" if i % 50 == 4 else "\t")  # Tab is a key of the layout

        def lifetime(i):
            Desktop(session.socket).close()

        results["Desktop frames"] = run("Desktop frames", args.screenshots, frame, max(1, args.screenshots // 100))
        results["Desktop actions"] = run("Desktop actions", args.actions // 4, desktop_act,
                                         max(1, args.actions // 400))
        results["Desktops made and closed"] = run("Desktops made and closed", args.screenshots // 10, lifetime,
                                                  max(1, args.screenshots // 1000))
        d.close()

    # One full-HD frame is 8 MiB, so a leaked capture would add thousands of
    # KiB per 1000; allocator noise stays far below these limits.
    failed = False
    for label, (rss_slope, fd_slope) in results.items():
        if rss_slope > 200 or fd_slope > 0.05:
            print(f"FAIL: {label} grow", file=sys.stderr)
            failed = True
    sys.exit(1 if failed else 0)


if __name__ == "__main__":
    main()
