"""Screenshot assertions against baselines stored beside the tests.

Two frames of the same scene from a wlroots compositor's pixman renderer are identical to the bit, with
two exceptions, which the comparison leaves out and nothing else:
- the fourth byte of each pixel (XRGB8888: its value is undefined);
- the pointer: on headless outputs it is drawn into every frame, whatever the capture asks, in an image
  its theme or the client under it chooses, wherever the last motion of any client left it. The square
  of 2 x CURSOR_REACH pixels around each spot where a live Desktop of this process last put the pointer
  is left out, in the baseline (the spots are stored in its PNG) and in the screen now.
Beyond that, `threshold` is the caller's tolerance for colour (pixelmatch's: 0 counts any difference, 1
none; 0.1 lets through differences of a few levels) and `max_diff_pixels` their budget of pixels.
"""

from __future__ import annotations

import re
import time
from pathlib import Path
from typing import TYPE_CHECKING

from . import _artifacts

if TYPE_CHECKING:
    import numpy as np

    from ._viewer import Viewer

# Cursors of sizes up to 32 pixels, whatever their hotspot.
CURSOR_REACH = 32
# What masks are painted with: the colour Playwright paints masked elements.
MASK_COLOUR = (255, 0, 255)
# The largest squared YIQ distance between two colours (black and white): pixelmatch's scale.
_MAX_YIQ_DELTA = 35215.0
_POINTER_KEY = "pravlin-pointer"


class Snapshots:
    """The `wayland_snapshot` fixture: assert_match(name, ...) compares the screen with
    __snapshots__/<test file>/<name>.png beside the test file."""

    def __init__(self, viewer: Viewer, test_file: Path, update: bool, pointers, written=None):
        self._viewer = viewer
        self._dir = test_file.parent / "__snapshots__" / test_file.stem
        self._update = update
        self._pointers = pointers
        # Told of each baseline written: written(path, "new" or "changed").
        self._written = written or (lambda path, how: None)

    def path(self, name: str) -> Path:
        if not isinstance(name, str) or not re.fullmatch(r"[\w][\w.+-]*", name) or ".." in name:
            raise ValueError(f"a snapshot name is letters, digits and _ . + - (a file name), not {name!r}")
        return self._dir / (name if name.endswith(".png") else f"{name}.png")

    def assert_match(self, name: str, *, screen_name: str | None = None,
                     region: tuple[int, int, int, int] | None = None, mask=(), threshold: float = 0.1,
                     max_diff_pixels: int = 0, timeout: float = 5) -> None:
        """Passes once the screen (one output, or `region` of it, layout pixels) matches the baseline
        `name`: at most `max_diff_pixels` pixels differ by more than `threshold`. The screen is compared
        now and again each time it changes, for up to `timeout` seconds; then AssertionError says how
        many pixels differ and where, and the actual, expected and diff images are saved with the test's
        artifacts. `mask` boxes (layout pixels) are painted out on both sides. Without a baseline (or with
        --wayland-update-snapshots, when it does not match) the settled screen becomes the baseline; the
        first case fails, saying so."""
        path = self.path(name)
        if isinstance(threshold, bool) or not isinstance(threshold, (int, float)) or not 0 <= threshold <= 1:
            raise ValueError(f"threshold must be a number from 0 to 1, not {threshold!r}")
        if isinstance(max_diff_pixels, bool) or not isinstance(max_diff_pixels, int) or max_diff_pixels < 0:
            raise ValueError(f"max_diff_pixels must be a whole number, at least 0, not {max_diff_pixels!r}")
        view = _View(self._viewer, screen_name, region, mask)
        expected = _read_baseline(path) if path.exists() else None
        result = None
        if expected is not None:
            deadline = time.monotonic() + timeout
            frame = view.capture(damage=False, timeout=None)
            while True:
                if frame is not None:
                    result = _Comparison(view.pixels(frame), self._pointer_in(view), *expected, threshold)
                    if result.differing <= max_diff_pixels:
                        return
                left = deadline - time.monotonic()
                if left <= 0:
                    break
                frame = view.capture(damage=True, timeout=left)
        if expected is not None and not self._update:
            assert result is not None
            raise AssertionError(self._mismatch(name, view, result, max_diff_pixels))
        self._viewer.wait_until_settled(screen_name=view.screen, timeout=timeout)
        frame = view.capture(damage=False, timeout=None)
        _write_baseline(path, view.pixels(frame), self._pointer_in(view))
        self._written(path, "new" if expected is None else "changed")
        if expected is None and not self._update:
            raise AssertionError(f"snapshot {name!r} had no baseline: the screen now was written to {path}; "
                                 "look at it, and run the test again")

    def _pointer_in(self, view: _View) -> list[tuple[int, int]]:
        """Where Desktops of this process last put the pointer, in the snapshot's pixels."""
        return [spot for x, y in self._pointers() if (spot := view.to_pixels(x, y)) is not None]

    def _mismatch(self, name: str, view: _View, result: _Comparison, allowed: int) -> str:
        folder = _artifacts.folder()
        saved = ""
        if folder is not None:
            paths = [_artifacts.write_png(image, _artifacts.free_path(folder, f"{name.removesuffix('.png')}-{kind}"))
                     for kind, image in (("actual", result.actual), ("expected", result.expected),
                                         ("diff", result.diff_image()))]
            saved = "; actual, expected and diff: " + ", ".join(str(p) for p in paths)
        return f"snapshot {name!r} of {view.describe()}: {result.describe(view)} (allowed: {allowed}){saved}"


class _View:
    """The part of one output a snapshot covers, and how its pixels map to the layout."""

    def __init__(self, viewer: Viewer, screen_name: str | None, region, mask):
        outputs = viewer.outputs
        if screen_name is None:
            if len(outputs) != 1:
                raise ValueError(f"there are {len(outputs)} outputs: name one with screen_name "
                                 f"({', '.join(o.name for o in outputs)})")
            place = outputs[0]
        else:
            found = [o for o in outputs if o.name == screen_name]
            if not found:
                raise ValueError(f"there is no output named {screen_name!r}")
            place = found[0]
        self.viewer = viewer
        self.screen = place.name
        self.place = place
        if region is None:
            region = (place.x, place.y, place.width, place.height)
        try:
            left, top, width, height = region
        except (TypeError, ValueError):
            raise ValueError(f"region must be (left, top, width, height), not {region!r}") from None
        if (width < 1 or height < 1 or left < place.x or top < place.y or left + width > place.x + place.width
                or top + height > place.y + place.height):
            raise ValueError(f"region {tuple(region)} does not lie within output {place.name} "
                             f"({place.width}x{place.height} at {place.x},{place.y})")
        self.region = (left, top, width, height)
        self.masks = []
        for box in mask:
            try:
                mx, my, mw, mh = box
            except (TypeError, ValueError):
                raise ValueError(f"a mask is a box (left, top, width, height), not {box!r}") from None
            self.masks.append((mx, my, mw, mh))
        self.scale = 1.0

    def capture(self, *, damage: bool, timeout: float | None):
        frame = self.viewer.capture(self.screen, damage=damage, timeout=timeout)
        if frame is not None:
            self.scale = frame.image.shape[1] / self.place.width
        return frame

    def _px(self, box) -> tuple[int, int, int, int]:
        """A layout box in pixels of the snapshot."""
        s = self.scale
        return (round((box[0] - self.region[0]) * s), round((box[1] - self.region[1]) * s),
                round(box[2] * s), round(box[3] * s))

    def to_pixels(self, x: int, y: int) -> tuple[int, int] | None:
        left, top, w, h = self.region
        if not (left <= x < left + w and top <= y < top + h):
            return None
        return round((x - left) * self.scale), round((y - top) * self.scale)

    def pixels(self, frame) -> np.ndarray:
        """The region's pixels as RGB, masks painted."""
        # The frame is the whole output: the region's place in it counts from the output's corner.
        s = self.scale
        left, top, width, height = self.region
        x, y = round((left - self.place.x) * s), round((top - self.place.y) * s)
        w, h = round(width * s), round(height * s)
        rgb = frame.image[y:y + h, x:x + w, 2::-1].copy()
        for box in self.masks:
            mx, my, mw, mh = self._px(box)
            rgb[max(0, my):max(0, my + mh), max(0, mx):max(0, mx + mw)] = MASK_COLOUR
        return rgb

    def to_layout(self, px: int, py: int) -> tuple[int, int]:
        return (self.region[0] + round(px / self.scale), self.region[1] + round(py / self.scale))

    def describe(self) -> str:
        place = self.place
        if self.region == (place.x, place.y, place.width, place.height):
            return f"output {self.screen}"
        return f"region {self.region} of output {self.screen}"


class _Comparison:
    def __init__(self, actual: np.ndarray, actual_pointer: list[tuple[int, int]], expected: np.ndarray,
                 expected_pointer: list[tuple[int, int]], threshold: float):
        import numpy as np
        self.actual, self.expected = actual, expected
        if actual.shape != expected.shape:
            self.differing = actual.shape[0] * actual.shape[1]
            self.mask = None
            self.sizes = (actual.shape[1], actual.shape[0]), (expected.shape[1], expected.shape[0])
            return
        self.sizes = None
        delta = _yiq_delta(actual, expected)
        differ = delta > _MAX_YIQ_DELTA * threshold * threshold
        self.ignored = np.zeros(differ.shape, bool)
        for x, y in actual_pointer + expected_pointer:
            self.ignored[max(0, y - CURSOR_REACH):max(0, y + CURSOR_REACH),
                         max(0, x - CURSOR_REACH):max(0, x + CURSOR_REACH)] = True
        self.mask = differ & ~self.ignored
        self.differing = int(np.count_nonzero(self.mask))

    def describe(self, view: _View) -> str:
        import numpy as np
        if self.sizes is not None:
            (aw, ah), (ew, eh) = self.sizes
            return f"the screen is {aw}x{ah} pixels, the baseline {ew}x{eh}"
        ys, xs = np.nonzero(self.mask)
        x0, y0 = view.to_layout(int(xs.min()), int(ys.min()))
        x1, y1 = view.to_layout(int(xs.max()) + 1, int(ys.max()) + 1)
        samples = []
        for y, x in list(zip(ys.tolist(), xs.tolist()))[:3]:
            lx, ly = view.to_layout(x, y)
            samples.append(f"({lx}, {ly}) expected #{_hex(self.expected[y, x])}, got #{_hex(self.actual[y, x])}")
        return (f"{self.differing} pixels differ, all within the box (left {x0}, top {y0}, width {x1 - x0}, "
                f"height {y1 - y0}) of the layout; first: " + "; ".join(samples))

    def diff_image(self) -> np.ndarray:
        """The expected image faded to light gray, differing pixels red, pixels left out (the pointer)
        yellow."""
        import numpy as np
        if self.mask is None:
            return self.actual
        gray = self.expected @ np.array([0.299, 0.587, 0.114])
        faded = (255 - (255 - gray) * 0.1).astype(np.uint8)
        out = np.repeat(faded[:, :, None], 3, axis=2)
        out[self.ignored] = (255, 220, 0)
        out[self.mask] = (255, 0, 0)
        return out


def _yiq_delta(a: np.ndarray, b: np.ndarray) -> np.ndarray:
    """pixelmatch's colour distance of two RGB images, per pixel (0 to 35215)."""
    import numpy as np
    d = a.astype(np.float32) - b.astype(np.float32)
    r, g, bl = d[:, :, 0], d[:, :, 1], d[:, :, 2]
    y = r * 0.29889531 + g * 0.58662247 + bl * 0.11448223
    i = r * 0.59597799 - g * 0.27417610 - bl * 0.32180189
    q = r * 0.21147017 - g * 0.52261711 + bl * 0.31114694
    return 0.5053 * y * y + 0.299 * i * i + 0.1957 * q * q


def _hex(rgb) -> str:
    return "".join(f"{int(v):02x}" for v in rgb)


def _read_baseline(path: Path) -> tuple[np.ndarray, list[tuple[int, int]]]:
    import numpy as np
    from PIL import Image
    with Image.open(path) as image:
        pixels = np.asarray(image.convert("RGB"))
        spots = image.info.get(_POINTER_KEY, "")
    try:
        pointer = [(int(x), int(y)) for x, y in (s.split(",") for s in spots.split(";") if s)]
    except ValueError:
        raise ValueError(f"{path}: {_POINTER_KEY} is not x,y;x,y...: {spots!r}") from None
    return pixels, pointer


def _write_baseline(path: Path, rgb: np.ndarray, pointer: list[tuple[int, int]]) -> None:
    from PIL import Image, PngImagePlugin
    info = PngImagePlugin.PngInfo()
    if pointer:
        info.add_text(_POINTER_KEY, ";".join(f"{x},{y}" for x, y in pointer))
    path.parent.mkdir(parents=True, exist_ok=True)
    Image.fromarray(rgb, "RGB").save(path, pnginfo=info)
