"""Frames of the outputs, for a Desktop and for a Viewer (a connection that only looks)."""

from __future__ import annotations

import math
import threading
import time
from typing import TYPE_CHECKING, NamedTuple

if TYPE_CHECKING:
    import numpy as np

# A wait for a change of the screen is cut into slices this long, so that Ctrl-C and signal handlers
# get through; frames stay in flight from one slice to the next.
_SLICE = 0.2


class Frame(NamedTuple):
    """One output's pixels: uint8 (height, width, 4), blue, green, red, unused; `time` is when the
    compositor presented them, on time.monotonic()'s clock; `damage` the (x, y, width, height) that
    changed since the previous frame that waited for a change (None for other frames). The pixels are
    the capture buffer itself: the next frames go into other buffers while any array of this one
    lives."""

    screen: str
    image: np.ndarray
    time: float
    damage: tuple[int, int, int, int] | None


class _Frames:
    """Capture through `self._c` (the native session), under `self._lock`."""

    _lock: threading.RLock

    def screenshot(self, screen_name: str | None = None):
        """One output's pixels, as pravlin.Pravlin.screenshot gives them: uint8 (height, width, 4), blue,
        green, red, unused; without a name there must be exactly one output."""
        with self._lock:
            return self._c.screenshot(screen_name)

    def capture(self, screen_name: str | None = None, *, damage: bool = False, timeout: float | None = None,
                cursor: bool = False) -> Frame | None:
        """A frame of one output (without a name, the only one). With `damage`, it waits until the
        output changed since this connection's previous such frame of it (the first comes at once) and
        gives None if `timeout` seconds pass first; no polling, the compositor says when. `cursor`
        draws the pointer in."""
        if screen_name is None:
            names = [o[0] for o in self._c.outputs()]
            if len(names) == 1:
                screen_name = names[0]
        frames = self._frames(screen_name, damage, timeout, cursor, one=True)
        return frames[0] if frames else None

    def capture_all(self, *, damage: bool = True, timeout: float | None = None, cursor: bool = False) -> list[Frame]:
        """Frames of every output; with `damage` (the default), of those that changed since the previous
        call, waiting for at least one (an empty list when `timeout` seconds pass first)."""
        return self._frames(None, damage, timeout, cursor)

    def _frames(self, screen_name, damage, timeout, cursor, one=False) -> list[Frame]:
        if timeout is not None and (not isinstance(timeout, (int, float)) or isinstance(timeout, bool)
                                    or math.isnan(timeout) or timeout < 0):
            raise ValueError(f"timeout is seconds, at least 0, or None, not {timeout!r}")
        if one and screen_name is None:
            # Several outputs and no name: the same error as a screenshot gives.
            self._c.screenshot(None)
        deadline = None if timeout is None else time.monotonic() + timeout
        with self._lock:
            while True:
                left = _SLICE if deadline is None else max(0.0, min(_SLICE, deadline - time.monotonic()))
                got = self._c.capture(screen_name, int(damage), round(left * 1000) if damage else None, int(cursor))
                if got or not damage or (deadline is not None and time.monotonic() >= deadline):
                    return [Frame(name, image, t / 1e9, box) for name, image, t, box in got]
