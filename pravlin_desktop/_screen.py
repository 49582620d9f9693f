"""Frames of the outputs, for a Desktop and for a Viewer (a connection that only looks)."""

from __future__ import annotations

import math
import os
import threading
import time
import weakref
from collections.abc import Callable
from typing import TYPE_CHECKING, Any, NamedTuple

from . import _artifacts

if TYPE_CHECKING:
    import numpy as np

    from .vision import Box

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


class Closed:
    """Stands in for the native session of a closed Desktop or Viewer: every use says so."""

    def __init__(self, what: str):
        self._what = what

    def __getattr__(self, name):
        raise RuntimeError(f"this {self._what} is closed")

    def __bool__(self) -> bool:
        return False


class _Turns:
    """The lock through which threads take turns with one connection (re-entrant, as threading.RLock).

    A wait for a change of the screen gives the connection up while it waits: a thread that finds the
    lock taken wakes the wait (an eventfd the core polls beside the connection), which lets every waiting
    thread have its turn before it takes the lock again and waits on, its frames still in flight."""

    __slots__ = ("_lock", "_wake", "_waiting", "_turns", "try_acquire", "release", "__weakref__")

    def __init__(self) -> None:
        self._lock = threading.RLock()
        # The lock's own methods, for the actions that count microseconds: try_acquire(False) takes the
        # lock if it is free (or this thread's), and only a False from it needs acquire().
        self.try_acquire = self._lock.acquire
        self.release = self._lock.release
        self._wake = os.eventfd(0, os.EFD_NONBLOCK | os.EFD_CLOEXEC)
        self._waiting = 0
        self._turns = threading.Condition(threading.Lock())
        weakref.finalize(self, os.close, self._wake)

    def acquire(self) -> bool:
        if self._lock.acquire(False):
            return True
        with self._turns:
            self._waiting += 1
        try:
            os.eventfd_write(self._wake, 1)
            return self._lock.acquire()
        finally:
            with self._turns:
                self._waiting -= 1
                self._turns.notify_all()

    __enter__ = acquire

    def __exit__(self, *exc) -> None:
        self._lock.release()

    def wake_fd(self) -> int | None:
        """The eventfd for a wait of the thread that holds the lock once; None when it holds it more than
        once (it cannot give it up) or Python does not say how often."""
        count = getattr(self._lock, "_recursion_count", None)
        return self._wake if count is not None and count() == 1 else None

    def take_turns(self) -> None:
        """Called after a woken wait, holding the lock once: lets every thread that waits for the lock have
        it, then takes it again."""
        try:
            os.eventfd_read(self._wake)
        except BlockingIOError:
            pass
        self._lock.release()
        try:
            with self._turns:
                self._turns.wait_for(lambda: self._waiting == 0)
        finally:
            self._lock.acquire()


class _Frames:
    """Capture through `self._c` (the native session, or a Closed), under `self._lock`."""

    def __init__(self) -> None:
        self._lock = _Turns()
        # Outputs of which this connection has had a frame that waited for a change (the first comes at
        # once, whatever changed).
        self._primed: set[str] = set()

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
        asks for the pointer to be drawn in; outputs without a hardware cursor (every headless one)
        have it in their frames either way."""
        if screen_name is None:
            with self._lock:
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
        deadline = None if timeout is None else time.monotonic() + timeout
        with self._lock:
            if one and screen_name is None:
                # Several outputs and no name: the same error as a screenshot gives.
                self._c.screenshot(None)
            while True:
                left = _SLICE if deadline is None else max(0.0, min(_SLICE, deadline - time.monotonic()))
                wake = self._lock.wake_fd() if damage else None
                got = self._c.capture(screen_name, int(damage), round(left * 1000) if damage else None, int(cursor),
                                      wake)
                if got or not damage or (deadline is not None and time.monotonic() >= deadline):
                    if damage:
                        self._primed.update(name for name, *_ in got)
                    return [Frame(name, image, t / 1e9, box) for name, image, t, box in got]
                if wake is not None:
                    self._lock.take_turns()

    # -- looking for things -------------------------------------------------------------------------

    def locate(self, template: Any, *, confidence: float = 0.95, region: tuple[int, int, int, int] | None = None,
               screen_name: str | None = None, grayscale: bool = False) -> Box | None:
        """Where `template` (an array, Pillow image or path; see pravlin_desktop.vision) is on the screen
        now: its Box in layout pixels, or None when no place scores `confidence`. `region` (left, top,
        width, height, layout pixels) and `screen_name` narrow the search."""
        search = _Target(self, template, confidence, region, screen_name, grayscale)
        frames = self._frames(screen_name, False, None, False)
        return search.first(frames)

    def wait_for(self, target: Any, *, timeout: float = 10, region: tuple[int, int, int, int] | None = None,
                 screen_name: str | None = None, confidence: float = 0.95, grayscale: bool = False) -> Any:
        """Waits until `target` is on the screen and gives its Box (layout pixels); or, when `target` is
        callable, until it returns something true for a frame and gives that. A callable gets each new
        frame as an array (blue, green, red, unused), cut to `region` when given.

        The screen is looked at once at the start, then each time the compositor reports that it changed
        (where it changed, when `region` is given); nothing runs while it is still. After `timeout`
        seconds TimeoutError says what was seen, and the screen at that moment is saved as PNG files in
        the running test's artifact folder (or $PRAVLIN_ARTIFACTS)."""
        timeout = _seconds(timeout, "timeout")
        deadline = time.monotonic() + timeout
        search = _Target(self, target, confidence, region, screen_name, grayscale)
        last: dict[str, Frame] = {}
        frames = self._frames(screen_name, False, None, False)
        while True:
            for frame in frames:
                last[frame.screen] = frame
            found = search.first(frames)
            if found is not None:
                return found
            left = deadline - time.monotonic()
            if left <= 0:
                raise TimeoutError(search.failure(timeout) + _saved(last, "wait_for-timeout"))
            frames = self._frames(screen_name, True, left, False)

    def wait_until_settled(self, *, quiet: float = 0.2, timeout: float = 10, screen_name: str | None = None) -> None:
        """Waits until the compositor has reported no change of the screen (or of `screen_name`) for
        `quiet` seconds. The pointer counts: on headless outputs it is drawn into the frames. After
        `timeout` seconds of changes, TimeoutError, with the screen saved as wait_for saves it."""
        timeout = _seconds(timeout, "timeout")
        result = self._settle(_seconds(quiet, "quiet"), timeout, screen_name)
        if not result.settled:
            raise TimeoutError(f"the screen was still changing after {timeout:g} s (last change at "
                               f"{result.last_change:.3f} s)" + _saved(result.frames, "settle-timeout"))

    def _settle(self, quiet: float, timeout: float, screen_name: str | None = None, cursor: bool = False) -> _Settling:
        """The wait of wait_until_settled, which gives what it saw rather than raising."""
        start = time.monotonic()
        deadline = start + timeout
        with self._lock:
            names = [screen_name] if screen_name else [o[0] for o in self._c.outputs()]
        last: dict[str, Frame] = {}
        # The first frame of each output comes at once, changed or not: it says nothing about changes.
        while not self._primed.issuperset(names):
            frames = self._frames(screen_name, True, max(0.0, deadline - time.monotonic()), cursor)
            last.update((f.screen, f) for f in frames)
            if time.monotonic() >= deadline:
                break
        changed = start
        changes = 0
        while True:
            now = time.monotonic()
            if now - changed >= quiet or now >= deadline:
                return _Settling(last, now - changed >= quiet, changed - start, changes)
            frames = self._frames(screen_name, True, min(changed + quiet, deadline) - now, cursor)
            changes += len(frames)
            for frame in frames:
                last[frame.screen] = frame
                # A frame that was in flight before the wait began shows a change from before it.
                changed = max(changed, frame.time)


class _Settling(NamedTuple):
    frames: dict[str, Frame]  # the last frame of each output that came during the wait
    settled: bool  # no change for the quiet time (else the time ran out)
    last_change: float  # seconds from the start of the wait to the last change
    changes: int  # frames that showed a change


def _seconds(value, name: str) -> float:
    if isinstance(value, bool) or not isinstance(value, (int, float)) or math.isnan(value) or value < 0:
        raise ValueError(f"{name} is seconds, at least 0, not {value!r}")
    return float(value)


def _saved(frames: dict[str, Frame], stem: str) -> str:
    paths = _artifacts.save_screens({name: f.image for name, f in frames.items()}, stem)
    if not paths:
        return "; the screen was not saved (no test folder, and PRAVLIN_ARTIFACTS is not set)"
    return "; the screen then: " + ", ".join(str(p) for p in paths)


class _Target:
    """What a locate or a wait looks for, on which outputs and where, in layout pixels."""

    def __init__(self, frames: _Frames, target: Any, confidence: float, region, screen_name: str | None,
                 grayscale: bool):
        from . import vision
        self.vision = vision
        self.predicate: Callable[[Any], Any] | None = target if callable(target) else None
        self.template = None if self.predicate else vision.Template(target)
        self.confidence = vision._check_confidence(confidence)
        self.grayscale = grayscale
        self.region = region
        with frames._lock:
            places = {o[0]: o[1:5] for o in frames._c.outputs()}
        if screen_name is not None and screen_name not in places:
            raise ValueError(f"there is no output named {screen_name!r}; there are {sorted(places)}")
        self.places = {n: p for n, p in places.items() if screen_name in (None, n)}
        if region is not None:
            try:
                left, top, width, height = region
            except (TypeError, ValueError):
                raise ValueError(f"region must be (left, top, width, height), not {region!r}") from None
            if width < 1 or height < 1:
                raise ValueError(f"region {tuple(region)} is empty")
            if not any(self._overlap(p) for p in self.places.values()):
                raise ValueError(f"region {tuple(region)} lies on no output")
        if self.template is not None and not any(self._fits(p) for p in self.places.values()):
            tw, th = self.template.size
            raise ValueError(f"the {tw}x{th} template is larger than the region searched on every output")
        self.best: tuple[float, Box] | None = None
        self.looked = 0

    def _overlap(self, place) -> tuple[int, int, int, int] | None:
        """The region's part of an output, in layout pixels relative to the output."""
        ox, oy, w, h = place
        if self.region is None:
            return 0, 0, w, h
        left, top, width, height = self.region
        x0, y0 = max(left, ox), max(top, oy)
        x1, y1 = min(left + width, ox + w), min(top + height, oy + h)
        return (x0 - ox, y0 - oy, x1 - x0, y1 - y0) if x1 > x0 and y1 > y0 else None

    def first(self, frames: list[Frame]) -> Any:
        """The Box (or the predicate's value) found in these frames; None when nothing is."""
        hits = []
        for frame in frames:
            place = self.places.get(frame.screen)
            part = self._overlap(place) if place else None
            if part is None:
                continue
            ih, iw = frame.image.shape[:2]
            scale = iw / place[2] if place[2] else 1.0
            px = tuple(round(v * scale) for v in part)
            if frame.damage is not None and not _meets(frame.damage, px):
                continue
            self.looked += 1
            if self.predicate is not None:
                value = self.predicate(frame.image[px[1]:px[1] + px[3], px[0]:px[0] + px[2]])
                if value:
                    return value
                continue
            tw, th = self.template.size
            if tw > px[2] or th > px[3]:
                continue
            box, score = self.vision.best_match(frame.image, self.template, region=px, grayscale=self.grayscale)
            box = type(box)(place[0] + round(box.left / scale), place[1] + round(box.top / scale),
                            round(box.width / scale), round(box.height / scale))
            if self.best is None or score > self.best[0]:
                self.best = (score, box)
            if score >= self.confidence:
                hits.append((score, box))
        return max(hits, key=lambda h: h[0])[1] if hits else None

    def _fits(self, place) -> bool:
        part = self._overlap(place)
        return part is not None and self.template.size[0] <= part[2] and self.template.size[1] <= part[3]

    def failure(self, timeout: float) -> str:
        if self.predicate is not None:
            name = getattr(self.predicate, "__qualname__", repr(self.predicate))
            return f"{name} gave nothing true for any of {self.looked} frames in {timeout:g} s"
        tw, th = self.template.size
        best = (f"the best place scored {self.best[0]:.3f} at {tuple(self.best[1])}" if self.best
                else "nothing was compared")
        return (f"the {tw}x{th} template did not appear with confidence {self.confidence:g} in {timeout:g} s "
                f"({self.looked} frames looked at; {best})")


def _meets(a: tuple[int, int, int, int], b: tuple[int, int, int, int]) -> bool:
    return a[0] < b[0] + b[2] and b[0] < a[0] + a[2] and a[1] < b[1] + b[3] and b[1] < a[1] + a[3]
