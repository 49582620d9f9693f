"""What image search costs: pravlin_desktop.vision.locate on a screenshot-sized array, against calling
OpenCV directly the way one would without it.

    python3 benchmarks/bench_vision.py [--size 1920x1080] [--rounds N]

A synthetic screen (flat background, patterned tiles, the template placed once) and templates of three
sizes. For each: locate() in colour and in gray, locate_all(), and a template with transparent pixels,
against two floors measured in the same run on the same arrays: OpenCV's matchTemplate with TM_SQDIFF on
the three-channel image plus minMaxLoc (the same sum locate() computes, through OpenCV's own colour path),
and TM_CCOEFF_NORMED (the correlation pyautogui's confidence uses) the same way. Reported: median
milliseconds per call, and locate()'s ratio to each floor. The floors take a prepared BGR array; locate()
takes the screenshot as Desktop.screenshot gives it and converts it itself.
"""

import argparse
import statistics
import time

import cv2
import numpy as np
from PIL import Image

from pravlin_desktop import vision


def timed(fn, rounds):
    fn()
    times = []
    for _ in range(rounds):
        t0 = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t0)
    return statistics.median(times) * 1000


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--size", default="1920x1080")
    ap.add_argument("--rounds", type=int, default=15)
    args = ap.parse_args()
    width, height = (int(v) for v in args.size.split("x"))
    rng = np.random.default_rng(7)
    shot = np.full((height, width, 4), 255, np.uint8)
    shot[:, :, :3] = (238, 238, 238)
    for _ in range(40):
        y, x = rng.integers(0, height - 60), rng.integers(0, width - 120)
        shot[y:y + 60, x:x + 120, :3] = rng.integers(0, 256, 3)
    bgr = np.ascontiguousarray(shot[:, :, :3])
    print(f"{width}x{height} screen, {args.rounds} rounds, OpenCV {cv2.__version__}, {cv2.getNumThreads()} threads")
    print(f"{'template':>9} {'locate':>8} {'gray':>7} {'all':>7} {'alpha':>7} {'SQDIFF':>8} {'CCOEFF_N':>9}"
          f" {'/SQDIFF':>8} {'/CCOEFF':>8}   (ms, median)")
    for tw, th in ((16, 16), (64, 32), (200, 100)):
        rgb = rng.integers(0, 256, (th, tw, 3), dtype=np.uint8)
        x, y = width * 2 // 3, height // 2
        shot[y:y + th, x:x + tw, :3] = rgb[:, :, ::-1]
        bgr[:] = shot[:, :, :3]
        tpl_bgr = np.ascontiguousarray(rgb[:, :, ::-1])
        rgba = Image.new("RGBA", (tw, th), (0, 0, 0, 0))
        rgba.paste(Image.fromarray(rgb[2:-2, 2:-2]), (2, 2))
        assert vision.locate(shot, rgb) == (x, y, tw, th)
        assert vision.locate(shot, rgba) == (x, y, tw, th)
        ours = timed(lambda: vision.locate(shot, rgb), args.rounds)
        gray = timed(lambda: vision.locate(shot, rgb, grayscale=True), args.rounds)
        every = timed(lambda: vision.locate_all(shot, rgb), args.rounds)
        alpha = timed(lambda: vision.locate(shot, rgba), args.rounds)
        sq = timed(lambda: cv2.minMaxLoc(cv2.matchTemplate(bgr, tpl_bgr, cv2.TM_SQDIFF)), args.rounds)
        cc = timed(lambda: cv2.minMaxLoc(cv2.matchTemplate(bgr, tpl_bgr, cv2.TM_CCOEFF_NORMED)), args.rounds)
        print(f"{tw:>4}x{th:<4} {ours:8.1f} {gray:7.1f} {every:7.1f} {alpha:7.1f} {sq:8.1f} {cc:9.1f}"
              f" {ours / sq:7.2f}x {ours / cc:7.2f}x")


if __name__ == "__main__":
    main()
