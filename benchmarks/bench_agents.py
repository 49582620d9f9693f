"""One computer-use agent step, pravlin against the reference way, on the same application at the same size.

Usage (after `pip install '.[agents]'`, from anywhere):
    python3 benchmarks/bench_agents.py [--size 1920x1080] [--steps N] [--rounds N] [--refresh HZ] [--quick]

A step is what an agent loop does per model turn: one action (a left click on a row of
benchmarks/gtk_app.py's list, alternating rows so that the window redraws), then a screenshot scaled
to the model's size (1366x768 for 1920x1080: the vendor's FWXGA) and encoded as base64 PNG. No fixed
sleep on either side.

  pravlin    AnthropicComputer.run({"action": "left_click", "coordinate": ...}) on headless sway: the
             click and the screenshot through pravlin_desktop, in this process;
  reference  on Xvfb, the way the vendor's reference container does it: one
             `xdotool mousemove --sync X Y click 1` process, `scrot -p` to a file, `convert -resize
             WxH!` of that file, base64 of its bytes (benchmarks/x11_reference.py).

Rounds alternate the two. It prints the median step of each and the ratio of the two medians in each
round, whose median is the result (goal: pravlin 20x faster or more), where pravlin's step spends its time (action, capture, scaling, PNG, base64, measured part by
part on the same session) and where the reference's does, and then the PNG encoders of PyPI that are
installed, against Pillow's default, on the step's own screenshot (time and bytes).

A capture waits for the output's next frame, so the output's refresh rate bounds the step: --refresh
sets it (60 Hz by default).
"""

from __future__ import annotations

import argparse
import base64
import itertools
import io
import os
import platform
import statistics
import sys
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

from x11_reference import Xvfb, missing_tools, start_app  # noqa: E402

from pravlin_desktop import Desktop  # noqa: E402
from pravlin_desktop import _images  # noqa: E402
from pravlin_desktop.computer_use import AnthropicComputer, recommended_size  # noqa: E402
from pravlin_session import HeadlessSession, parse_size  # noqa: E402

GOAL = 20.0
# Rows of the GTK app's list, in the model's pixels of a 1366x768 screenshot of 1920x1080: the list's
# rows are about 16 model pixels high, from y = 32.
ROWS = (60, 140)
ROW_X = 120


def median_ms(samples) -> float:
    return statistics.median(samples) * 1000


def session_with_refresh(size, refresh):
    """A HeadlessSession with one output of `size` at `refresh` Hz."""
    return HeadlessSession([size], refresh=refresh).start()


# Each side's step number goes on from call to call, so that no click is where the pointer already is
# (`xdotool mousemove --sync` to the pointer's own position waits for a motion that never comes).
_step_numbers = {"pravlin": itertools.count(), "reference": itertools.count()}


def model_point(side, model):
    """The next click of a side, in the model's pixels, scaled from the 1366x768 layout of ROWS."""
    i = next(_step_numbers[side])
    return (round(ROW_X * model[0] / 1366), round(ROWS[i % 2] * model[1] / 768))


def pravlin_steps(computer, steps, model):
    samples = []
    for _ in range(steps):
        x, y = model_point("pravlin", model)
        start = time.perf_counter()
        blocks = computer.run({"action": "left_click", "coordinate": [x, y]})
        samples.append(time.perf_counter() - start)
        assert blocks[-1]["type"] == "image", blocks
    return samples


def reference_steps(x11, steps, size, model):
    samples = []
    for _ in range(steps):
        mx, my = model_point("reference", model)
        x, y = round(mx * size[0] / model[0]), round(my * size[1] / model[1])
        start = time.perf_counter()
        x11.xdotool("mousemove", "--sync", str(x), str(y), "click", "1")
        data = x11.screenshot_base64(model)
        samples.append(time.perf_counter() - start)
        assert data
    return samples


def pravlin_parts(computer, steps, model):
    """The step's parts one by one: the click, the capture, the scaling, the PNG, the base64."""
    parts = {"action": [], "capture": [], "scale": [], "png": [], "base64": []}
    desktop, screen = computer.desktop, computer.screen
    for _ in range(steps):
        x, y = screen.to_layout(*model_point("pravlin", model), "point")
        t0 = time.perf_counter()
        desktop.click(x, y)
        t1 = time.perf_counter()
        image = screen.capture()
        t2 = time.perf_counter()
        small = _images.resize(image, model)
        t3 = time.perf_counter()
        png = _images.png(small)
        t4 = time.perf_counter()
        base64.b64encode(png)
        t5 = time.perf_counter()
        del image
        for name, (a, b) in zip(parts, ((t0, t1), (t1, t2), (t2, t3), (t3, t4), (t4, t5))):
            parts[name].append(b - a)
    return parts


def reference_parts(x11, steps, size, model):
    import subprocess

    from x11_reference import CONVERT

    parts = {"xdotool": [], "scrot": [], "convert": [], "base64": []}
    path = x11._dir / "parts.png"
    for _ in range(steps):
        mx, my = model_point("reference", model)
        x, y = round(mx * size[0] / model[0]), round(my * size[1] / model[1])
        t0 = time.perf_counter()
        x11.xdotool("mousemove", "--sync", str(x), str(y), "click", "1")
        t1 = time.perf_counter()
        subprocess.run(["scrot", "-o", "-p", str(path)], env=x11.env, check=True, stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        t2 = time.perf_counter()
        subprocess.run([CONVERT, str(path), "-resize", f"{model[0]}x{model[1]}!", str(path)], check=True)
        t3 = time.perf_counter()
        base64.b64encode(path.read_bytes())
        t4 = time.perf_counter()
        for name, (a, b) in zip(parts, ((t0, t1), (t1, t2), (t2, t3), (t3, t4))):
            parts[name].append(b - a)
    return parts


# -- PNG encoders ----------------------------------------------------------------------------------


def encoders():
    """(name, encode(rgb array) -> bytes) for each PNG writer that is installed."""
    found = []
    from PIL import Image

    def pillow(**options):
        def encode(rgb):
            out = io.BytesIO()
            Image.fromarray(rgb).save(out, "PNG", **options)
            return out.getvalue()
        return encode

    found += [("Pillow, default (zlib level 6)", pillow()), ("Pillow, compress_level=1", pillow(compress_level=1))]
    try:
        import cv2

        found += [("OpenCV imencode, default", lambda rgb: cv2.imencode(".png", rgb[:, :, ::-1])[1].tobytes()),
                  ("OpenCV imencode, level 1", lambda rgb: cv2.imencode(
                      ".png", rgb[:, :, ::-1], [cv2.IMWRITE_PNG_COMPRESSION, 1])[1].tobytes())]
    except ImportError:
        pass
    try:
        import imagecodecs

        found += [("imagecodecs png_encode, level 1", lambda rgb: imagecodecs.png_encode(rgb, level=1)),
                  ("imagecodecs spng_encode", lambda rgb: imagecodecs.spng_encode(rgb))]
    except ImportError:
        pass
    try:
        import pyvips

        def vips(rgb, compression):
            h, w, _ = rgb.shape
            return pyvips.Image.new_from_memory(rgb.tobytes(), w, h, 3, "uchar").pngsave_buffer(compression=compression)

        found += [("pyvips pngsave, default", lambda rgb: vips(rgb, 6)),
                  ("pyvips pngsave, compression 1", lambda rgb: vips(rgb, 1))]
    except (ImportError, OSError):
        pass
    try:
        import fpng

        found.append(("fpng (chosen)", fpng.from_ndarray))
    except ImportError:
        pass
    return found


def measure_encoders(rgb, runs):
    import numpy as np
    from PIL import Image

    rows = []
    for name, encode in encoders():
        data = encode(rgb)
        if not np.array_equal(np.asarray(Image.open(io.BytesIO(data)).convert("RGB")), rgb):
            raise RuntimeError(f"{name} did not round-trip the image")
        samples = []
        for _ in range(runs):
            start = time.perf_counter()
            encode(rgb)
            samples.append(time.perf_counter() - start)
        rows.append((name, median_ms(samples), len(data)))
    return rows


# -- the run ---------------------------------------------------------------------------------------


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--size", default="1920x1080", help="the output's and the X screen's size (1920x1080)")
    ap.add_argument("--steps", type=int, default=10, help="steps per method per round (10)")
    ap.add_argument("--rounds", type=int, default=10, help="rounds (10)")
    ap.add_argument("--refresh", type=int, default=60, help="the output's refresh rate in Hz (60)")
    ap.add_argument("--quick", action="store_true", help="a smoke run: 3 steps, 2 rounds")
    args = ap.parse_args()
    if args.quick:
        args.steps, args.rounds = 3, 2
    missing = missing_tools()
    if missing:
        sys.exit(f"the reference needs these Debian packages: {' '.join(missing)}")
    size = parse_size(args.size)
    model = recommended_size(*size)
    ours, ref = [], []
    with Xvfb(*size) as x11:
        x11_app = start_app(x11.env, "x11", size, quiet=True)
        session = session_with_refresh(size, args.refresh)
        try:
            app = start_app(session.environ(), "wayland", size, quiet=True, spawn=session.spawn)
            desktop = Desktop(session.socket)
            computer = AnthropicComputer(desktop)
            assert computer.display_size == model, (computer.display_size, model)
            pravlin_steps(computer, 3, model)  # imports, first buffers
            reference_steps(x11, 1, size, model)
            for _ in range(args.rounds):
                ours.append(pravlin_steps(computer, args.steps, model))
                ref.append(reference_steps(x11, args.steps, size, model))
            our_parts = pravlin_parts(computer, args.steps * 2, model)
            ref_parts = reference_parts(x11, args.steps, size, model)
            rgb = _images.rgb(_images.resize(computer.screen.capture(), model))
            encoder_rows = measure_encoders(rgb, max(20, args.steps))
            desktop.close()
            app.close()
        finally:
            session.close()
            x11_app.close()

    print(f"machine: {os.cpu_count()} CPUs, Linux {platform.release()}, load average "
          f"{' '.join(f'{v:.2f}' for v in os.getloadavg())}")
    print(f"one step at {size[0]}x{size[1]} (screenshot {model[0]}x{model[1]}), {args.refresh} Hz, "
          f"{args.rounds} rounds x {args.steps} steps; medians:")
    # Each round's ratio compares steps taken under the same load; other work on the machine comes and goes.
    ratios = sorted(median_ms(r) / median_ms(o) for o, r in zip(ours, ref))
    ours, ref = [v for o in ours for v in o], [v for r in ref for v in r]
    ratio = statistics.median(ratios)
    print(f"  pravlin    {median_ms(ours):8.2f} ms   (p90 {sorted(ours)[int(len(ours) * 0.9)] * 1000:.2f})")
    print(f"  reference  {median_ms(ref):8.2f} ms   (p90 {sorted(ref)[int(len(ref) * 0.9)] * 1000:.2f})")
    print(f"  ratio of the medians over all steps: {median_ms(ref) / median_ms(ours):.1f}x")
    print(f"  per round: median {ratio:.1f}x, from {ratios[0]:.1f}x to {ratios[-1]:.1f}x")
    print(f"  pravlin is {ratio:.1f}x faster per step (goal: {GOAL:g}x) -> {'met' if ratio >= GOAL else 'MISSED'}")
    print("pravlin's step, part by part (medians):")
    for name, samples in our_parts.items():
        print(f"  {name:10} {median_ms(samples):7.2f} ms")
    print("the reference's step, part by part (medians):")
    for name, samples in ref_parts.items():
        print(f"  {name:10} {median_ms(samples):7.2f} ms")
    print(f"PNG encoders on the step's {model[0]}x{model[1]} screenshot (median of {max(20, args.steps)}):")
    base_ms, base_bytes = encoder_rows[0][1], encoder_rows[0][2]
    print(f"  {'encoder':34} {'ms':>8} {'bytes':>9} {'speed-up':>9} {'size':>6}")
    for name, ms, nbytes in encoder_rows:
        print(f"  {name:34} {ms:8.2f} {nbytes:9d} {base_ms / ms:8.1f}x {nbytes / base_bytes:5.2f}x")
    if args.quick:
        print("(--quick: a smoke run; too few steps for these figures to mean much)")


if __name__ == "__main__":
    main()
