"""Screenshots the way models take them: scaled down, cropped, encoded as PNG.

Scaling is OpenCV's, encoding fpng's: the fastest of the PNG writers on PyPI by far (about 2.5 ms for a
1366x768 desktop where Pillow's default takes about 60 ms), for files about 1.4 times the size of
Pillow's; a model is billed for an image's pixels, not its bytes. benchmarks/bench_agents.py measures
them side by side.
"""

from __future__ import annotations

import base64

_NEEDS = "pip install 'pravlin[agents]' (numpy, opencv-python-headless, fpng)"


def _modules():
    try:
        import cv2
        import fpng
    except ImportError as error:
        raise ImportError(f"screenshots for models need OpenCV and fpng: {_NEEDS}") from error
    return cv2, fpng


def resize(bgrx, size: tuple[int, int]):
    """The (h, w, 4) BGRX image at `size` (width, height). Shrinking by less than half blends the two
    nearest source pixels of each axis (each source pixel then counts); by half or more, each target
    pixel averages the source pixels it covers."""
    cv2, _ = _modules()
    height, width = bgrx.shape[:2]
    if (width, height) == tuple(size):
        return bgrx
    shrink = min(width / size[0], height / size[1])
    method = cv2.INTER_AREA if shrink >= 2 else cv2.INTER_LINEAR
    return cv2.resize(bgrx, tuple(size), interpolation=method)


def rgb(bgrx):
    """A contiguous (h, w, 3) RGB copy of a BGRX image."""
    cv2, _ = _modules()
    return cv2.cvtColor(bgrx, cv2.COLOR_BGRA2RGB)


def png(bgrx) -> bytes:
    """A BGRX image as PNG bytes (RGB, 8 bits per channel)."""
    _, fpng = _modules()
    return fpng.from_ndarray(rgb(bgrx))


def png_base64(bgrx) -> str:
    return base64.b64encode(png(bgrx)).decode("ascii")
