"""Where pictures of a failure go: the running test's folder, which the pytest plugin sets, or the folder
named by $PRAVLIN_ARTIFACTS; and how frames become PNG files."""

from __future__ import annotations

import os
from collections.abc import Callable
from pathlib import Path
from typing import TYPE_CHECKING

if TYPE_CHECKING:
    import numpy as np

# Gives the running test's folder, readied for files the first time it is asked; None outside a test.
test_folder: Callable[[], Path] | None = None


def folder() -> Path | None:
    if test_folder is not None:
        return test_folder()
    env = os.environ.get("PRAVLIN_ARTIFACTS")
    return Path(env) if env else None


def free_path(directory: Path, stem: str, suffix: str = ".png") -> Path:
    """`stem` + `suffix` in `directory`, or with -2, -3, ... when taken; the directory is made."""
    directory.mkdir(parents=True, exist_ok=True)
    path = directory / f"{stem}{suffix}"
    n = 1
    while path.exists():
        n += 1
        path = directory / f"{stem}-{n}{suffix}"
    return path


def check_available() -> None:
    try:
        import PIL  # noqa: F401
    except ImportError:
        raise ImportError("writing PNG files needs Pillow: pip install 'pravlin[vision]'") from None


def write_png(image: np.ndarray, path: Path) -> Path:
    """Writes a frame (blue, green, red, unused), an RGB array or a gray one as a PNG file."""
    check_available()
    import numpy as np
    from PIL import Image
    pixels = np.ascontiguousarray(image)
    h, w = pixels.shape[:2]
    if pixels.ndim == 3 and pixels.shape[2] == 4:
        picture = Image.frombuffer("RGB", (w, h), pixels, "raw", "BGRX", 0, 1)
    else:
        picture = Image.fromarray(pixels, "L" if pixels.ndim == 2 else "RGB")
    # Level 1: a 1080p frame in a few tens of milliseconds rather than a few hundred, in a file about a
    # third larger.
    picture.save(path, compress_level=1)
    return path


def save_screens(images: dict[str, np.ndarray], stem: str) -> list[Path]:
    """Each output's picture as `stem`-OUTPUT.png in the artifact folder; [] when there is none."""
    directory = folder()
    if directory is None:
        return []
    return [write_png(image, free_path(directory, f"{stem}-{name}")) for name, image in sorted(images.items())]
