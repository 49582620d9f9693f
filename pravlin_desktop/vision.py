"""Where a picture appears on the screen: image search on arrays, with OpenCV's template matching.

    from pravlin_desktop import vision

    shot = desktop.screenshot()                      # uint8 (h, w, 4), blue, green, red, unused
    box = vision.locate(shot, "ok-button.png")       # Box(left, top, width, height) or None
    boxes = vision.locate_all(shot, icon, confidence=0.9, region=(0, 0, 800, 600))

What is searched and what is looked for can each be a numpy array, a Pillow image or the path of an
image file; a template searched for again and again can be read once, as a `Template`. Arrays are uint8 and read by their shape: (h, w) gray, (h, w, 3) red, green, blue (Pillow's
order, and that of `shot[:, :, 2::-1]`), (h, w, 4) the order of pravlin's screenshots: blue, green, red and
a fourth byte that is never read. Transparency comes from Pillow images and files (RGBA, LA, or a palette
or colour key with transparency): only the template's fully opaque pixels are compared, since what a
partly transparent pixel looks like on the screen depends on what lies under it.

A match's score is 1 minus the root-mean-square difference of the compared samples, as a fraction of
255: 1.0 is identical, 0.95 (the default `confidence`) allows an average difference of about 13 levels.
Unlike a correlation coefficient, it does not call a flat template a match everywhere, nor a greyed-out
button a match for the same button in colour.
"""

from __future__ import annotations

import math
import os
from typing import Any, NamedTuple

import numpy as np

__all__ = ["Box", "Template", "best_match", "locate", "locate_all"]


class Box(NamedTuple):
    """A place on the screen: left and top edge, width and height in pixels (pyautogui's Box)."""

    left: int
    top: int
    width: int
    height: int


def locate(image: Any, template: Any, *, confidence: float = 0.95, region: tuple[int, int, int, int] | None = None,
           grayscale: bool = False) -> Box | None:
    """The box where `template` matches `image` best, if its score reaches `confidence`; else None.

    `region` (left, top, width, height) limits the search to that part of the image; boxes are in the
    image's coordinates all the same. `grayscale` compares brightness only (about three times faster).
    Of equally good matches, the top-most, then left-most, is given."""
    found = _Search(image, template, region, grayscale).matches(_check_confidence(confidence), 1)
    return found[0][0] if found else None


def locate_all(image: Any, template: Any, *, confidence: float = 0.95,
               region: tuple[int, int, int, int] | None = None, grayscale: bool = False,
               limit: int | None = None) -> list[Box]:
    """Every place where `template` matches with at least `confidence`, best first, none overlapping
    another: a match next to a better one (the same picture one pixel over) is not a second match. At
    most `limit` boxes when given."""
    if limit is not None and (isinstance(limit, bool) or not isinstance(limit, int) or limit < 1):
        raise ValueError(f"limit must be a whole number, at least 1, or None, not {limit!r}")
    found = _Search(image, template, region, grayscale).matches(_check_confidence(confidence), limit)
    return [box for box, _ in found]


def best_match(image: Any, template: Any, *, region: tuple[int, int, int, int] | None = None,
               grayscale: bool = False) -> tuple[Box, float]:
    """The best place for `template` whatever its score, and the score: what to look at when `locate`
    finds nothing and a confidence is to be chosen."""
    return _Search(image, template, region, grayscale).matches(0.0, 1)[0]


# -- internals ------------------------------------------------------------------------------------------

# How many places within float error of the best locate() scores exactly (a flat template on a flat
# screen has millions).
_NEAR_BEST = 64


def _check_confidence(confidence) -> float:
    if isinstance(confidence, bool) or not isinstance(confidence, (int, float)) or not 0 <= confidence <= 1:
        raise ValueError(f"confidence must be a number from 0 to 1, not {confidence!r}")
    return float(confidence)


def _check_region(region, width: int, height: int) -> tuple[int, int, int, int]:
    if region is None:
        return 0, 0, width, height
    try:
        left, top, w, h = region
    except (TypeError, ValueError):
        raise ValueError(f"region must be (left, top, width, height), not {region!r}") from None
    if not all(isinstance(v, int) and not isinstance(v, bool) for v in (left, top, w, h)):
        raise ValueError(f"region must be four whole numbers (left, top, width, height), not {region!r}")
    if w < 1 or h < 1 or left < 0 or top < 0 or left + w > width or top + h > height:
        raise ValueError(f"region {tuple(region)} does not lie within the {width}x{height} image")
    return left, top, w, h


def _cv2():
    try:
        import cv2
    except ImportError:
        raise ImportError("image search needs OpenCV: pip install 'pravlin[vision]' "
                          "(or opencv-python-headless)") from None
    return cv2


def _pixels(source: Any, what: str) -> tuple[np.ndarray, np.ndarray | None]:
    """(pixels, opaque) of an array, Pillow image or file: pixels uint8 blue, green, red (h, w, 3) or
    gray (h, w), C-contiguous; opaque a uint8 mask (255 where fully opaque), or None when all are."""
    cv2 = _cv2()
    if isinstance(source, (str, os.PathLike)):
        try:
            from PIL import Image
        except ImportError:
            raise ImportError("reading image files needs Pillow: pip install 'pravlin[vision]'") from None
        with Image.open(source) as opened:
            opened.load()
            return _pixels(opened, what)
    if isinstance(source, np.ndarray):
        if source.dtype != np.uint8:
            raise ValueError(f"the {what} must be an array of uint8, not {source.dtype}")
        shape = source.shape
        if source.ndim == 3 and shape[2] == 1:
            source = source[:, :, 0]
        if source.ndim == 2:
            pixels = np.ascontiguousarray(source)
        elif source.ndim == 3 and shape[2] == 3:
            pixels = cv2.cvtColor(np.ascontiguousarray(source), cv2.COLOR_RGB2BGR)
        elif source.ndim == 3 and shape[2] == 4:
            pixels = cv2.cvtColor(np.ascontiguousarray(source), cv2.COLOR_BGRA2BGR)
        else:
            raise ValueError(f"the {what} must be (h, w) gray, (h, w, 3) RGB or (h, w, 4) blue, green, red, "
                             f"unused; its shape is {shape}")
        if pixels.size == 0:
            raise ValueError(f"the {what} is empty ({shape})")
        return pixels, None
    if hasattr(source, "mode") and hasattr(source, "convert"):
        return _from_pillow(source, what)
    raise TypeError(f"the {what} must be a numpy array, a Pillow image or a path, not {type(source).__name__}")


def _from_pillow(image, what: str) -> tuple[np.ndarray, np.ndarray | None]:
    cv2 = _cv2()
    if image.width == 0 or image.height == 0:
        raise ValueError(f"the {what} is empty ({image.width}x{image.height})")
    transparent = image.mode in ("RGBA", "LA", "PA", "RGBa", "La") or "transparency" in image.info
    if transparent:
        rgba = np.asarray(image.convert("RGBA"))
        opaque = np.where(rgba[:, :, 3] == 255, np.uint8(255), np.uint8(0))
        if not opaque.any():
            raise ValueError(f"the {what} has no fully opaque pixel to compare")
        pixels = cv2.cvtColor(np.ascontiguousarray(rgba[:, :, :3]), cv2.COLOR_RGB2BGR)
        return pixels, (None if opaque.all() else opaque)
    if image.mode in ("1", "L", "I", "I;16", "F"):
        return np.ascontiguousarray(np.asarray(image.convert("L"))), None
    return cv2.cvtColor(np.asarray(image.convert("RGB")), cv2.COLOR_RGB2BGR), None


def _gray(pixels: np.ndarray) -> np.ndarray:
    return pixels if pixels.ndim == 2 else _cv2().cvtColor(pixels, _cv2().COLOR_BGR2GRAY)


class Template:
    """A template read and converted once, for searching many images (each frame of a wait)."""

    def __init__(self, source: Any):
        if isinstance(source, Template):
            self.pixels, self.opaque = source.pixels, source.opaque
        else:
            self.pixels, self.opaque = _pixels(source, "template")

    @property
    def size(self) -> tuple[int, int]:
        """Width and height."""
        return self.pixels.shape[1], self.pixels.shape[0]


class _Search:
    """One template against one image: the sum of squared differences at every place, from OpenCV."""

    def __init__(self, image, template, region, grayscale: bool):
        if isinstance(image, np.ndarray) and image.ndim >= 2:
            # Only the region is converted.
            self.left, self.top, rw, rh = _check_region(region, image.shape[1], image.shape[0])
            hay, _ = _pixels(image[self.top:self.top + rh, self.left:self.left + rw], "image")
        else:
            hay, _ = _pixels(image, "image")
            self.left, self.top, rw, rh = _check_region(region, hay.shape[1], hay.shape[0])
            hay = hay[self.top:self.top + rh, self.left:self.left + rw]
        prepared = Template(template)
        needle, opaque = prepared.pixels, prepared.opaque
        if grayscale or hay.ndim == 2 or needle.ndim == 2:
            hay, needle = _gray(hay), _gray(needle)
        th, tw = needle.shape[:2]
        if tw > rw or th > rh:
            where = "region" if region is not None else "image"
            raise ValueError(f"the {tw}x{th} template is larger than the {rw}x{rh} {where} searched")
        self.hay = hay
        self.needle = needle
        self.opaque = opaque
        channels = 1 if hay.ndim == 2 else 3
        # Samples compared at each place: the divisor that turns a sum into a mean.
        self.samples = channels * (th * tw if opaque is None else int(np.count_nonzero(opaque)))

    def _sums(self) -> np.ndarray:
        """float32 sum of squared differences for each place of the template's top-left corner.

        A colour image is matched one channel at a time: OpenCV's own path for three channels takes about
        four times as long as three single-channel passes."""
        cv2 = _cv2()
        if self.hay.ndim == 2:
            return cv2.matchTemplate(np.ascontiguousarray(self.hay), self.needle, cv2.TM_SQDIFF,
                                     mask=self.opaque)
        total = None
        for plane, needle_plane in zip(cv2.split(self.hay), cv2.split(self.needle)):
            part = cv2.matchTemplate(plane, needle_plane, cv2.TM_SQDIFF, mask=self.opaque)
            total = part if total is None else cv2.add(total, part, dst=total)
        return total

    def _exact(self, x: int, y: int) -> float:
        """The score at one place, in exact integer arithmetic."""
        th, tw = self.needle.shape[:2]
        diff = self.hay[y:y + th, x:x + tw].astype(np.int32) - self.needle
        sq = diff * diff
        if self.opaque is not None:
            sq = sq[self.opaque != 0]
        return self._score(float(sq.sum()))

    def _score(self, ssd: float) -> float:
        return 1.0 - math.sqrt(max(ssd, 0.0) / self.samples) / 255.0

    def matches(self, confidence: float, limit: int | None) -> list[tuple[Box, float]]:
        sums = self._sums()
        th, tw = self.needle.shape[:2]
        # The float sums are off by up to about 1e-6 of the squares summed (the correlation behind them
        # runs through a Fourier transform): candidates are taken with that much to spare, and every
        # match given back is scored again exactly.
        slack = 1e-6 * self.samples * 255.0 ** 2 * 4
        limit_ssd = ((1.0 - confidence) * 255.0) ** 2 * self.samples + slack
        flat = sums.ravel()
        if limit == 1:
            low = _cv2().minMaxLoc(sums)[0]
            if low > limit_ssd:
                return []
            # The float minimum may be a hair off: of the places as good within the slack, the exact
            # best, the first in reading order among equals.
            near = np.flatnonzero(flat <= min(limit_ssd, low + slack))[:_NEAR_BEST]
            width = sums.shape[1]
            scored = [(self._exact(x, y), -y, -x) for y, x in (divmod(i, width) for i in near.tolist())]
            score, y, x = max(scored)
            return [(self._box(-x, -y), score)] if score >= confidence else []
        candidates = np.flatnonzero(flat <= limit_ssd)
        # Best first; among equals, in reading order.
        candidates = candidates[np.lexsort((candidates, flat[candidates]))]
        width = sums.shape[1]
        # A place is taken once a kept match overlaps a template put there.
        taken = bytearray(sums.size)
        taken_grid = np.frombuffer(taken, dtype=np.uint8).reshape(sums.shape)
        found: list[tuple[Box, float]] = []
        for index in candidates.tolist():
            if taken[index]:
                continue
            y, x = divmod(index, width)
            score = self._exact(x, y)
            if score < confidence:
                continue
            taken_grid[max(0, y - th + 1):y + th, max(0, x - tw + 1):x + tw] = 1
            found.append((self._box(x, y), score))
            if limit is not None and len(found) >= limit:
                break
        found.sort(key=lambda m: (-m[1], m[0].top, m[0].left))
        return found

    def _box(self, x: int, y: int) -> Box:
        th, tw = self.needle.shape[:2]
        return Box(self.left + x, self.top + y, tw, th)
