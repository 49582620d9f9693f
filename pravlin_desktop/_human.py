"""A person's variation: times drawn from ranges, and the path a hand moves the pointer along."""

from __future__ import annotations

import math
import random
from collections.abc import Sequence
from numbers import Real

Seconds = float | tuple[float, float]

_random = random.Random()


def check_seconds(value: object, what: str) -> None:
    """Raises for anything that is not a duration in seconds or a (low, high) range of them."""
    if isinstance(value, tuple):
        if len(value) != 2 or not all(_is_number(v) for v in value):
            raise TypeError(f"{what} is seconds or a (low, high) range of seconds, not {value!r}")
        low, high = value
        if not (math.isfinite(low) and math.isfinite(high)) or low < 0 or high < low:
            raise ValueError(f"{what} range {value!r} needs 0 <= low <= high")
        return
    if not _is_number(value):
        raise TypeError(f"{what} is seconds or a (low, high) range of seconds, not {value!r}")
    if not math.isfinite(value) or value < 0:
        raise ValueError(f"{what} must be a finite number of seconds, at least 0, not {value!r}")


def draw(value: Seconds) -> float:
    """A fixed duration, or a fresh draw from a range: normal, centred on its middle with a standard
    deviation of half its width, clamped to it (as the hold times of pravlin.Pravlin are drawn)."""
    if not isinstance(value, tuple):
        return float(value)
    low, high = value
    if high <= low:
        return float(high)
    centre, spread = (low + high) / 2, (high - low) / 2
    return min(max(_random.gauss(centre, spread), low), high)


def _is_number(v: object) -> bool:
    return isinstance(v, Real) and not isinstance(v, bool)


def glide(start: tuple[float, float], end: tuple[float, float], steps: int) -> list[tuple[int, int]]:
    """`steps` points from just after `start` to exactly `end`, along a path a hand would take: a
    slight curve to one side, the speed rising and then falling (a minimum-jerk profile)."""
    (x0, y0), (x1, y1) = start, end
    dx, dy = x1 - x0, y1 - y0
    length = math.hypot(dx, dy)
    # Control points a third and two thirds along, pushed sideways by up to a tenth of the distance.
    bend = _random.uniform(-0.1, 0.1) * length
    nx, ny = (-dy / length, dx / length) if length else (0.0, 0.0)
    c1 = (x0 + dx / 3 + nx * bend, y0 + dy / 3 + ny * bend)
    c2 = (x0 + 2 * dx / 3 + nx * bend * _random.uniform(0.5, 1.0), y0 + 2 * dy / 3 + ny * bend * _random.uniform(0.5, 1.0))
    points = []
    for i in range(1, steps + 1):
        t = _min_jerk(i / steps)
        u = 1 - t
        x = u**3 * x0 + 3 * u * u * t * c1[0] + 3 * u * t * t * c2[0] + t**3 * x1
        y = u**3 * y0 + 3 * u * u * t * c1[1] + 3 * u * t * t * c2[1] + t**3 * y1
        points.append((round(x), round(y)))
    points[-1] = (round(x1), round(y1))
    return points


def along(points: Sequence[tuple[int, int]], steps: int) -> list[tuple[int, int]]:
    """`steps` points through a polyline (after its first point, ending on its last), spaced by the
    minimum-jerk profile over its length."""
    lengths = [math.dist(a, b) for a, b in zip(points, points[1:])]
    total = sum(lengths)
    out = []
    for i in range(1, steps + 1):
        target = _min_jerk(i / steps) * total
        seg = 0
        while seg < len(lengths) - 1 and target > lengths[seg]:
            target -= lengths[seg]
            seg += 1
        (ax, ay), (bx, by) = points[seg], points[seg + 1]
        f = target / lengths[seg] if lengths[seg] else 1.0
        out.append((round(ax + (bx - ax) * f), round(ay + (by - ay) * f)))
    out[-1] = tuple(points[-1])
    return out


def through(points: Sequence[tuple[int, int]], max_step: float) -> list[tuple[int, int]]:
    """The points of a polyline after its first, with points added between them so that no two are
    further apart than `max_step` pixels."""
    out = []
    for (ax, ay), (bx, by) in zip(points, points[1:]):
        n = max(1, math.ceil(math.dist((ax, ay), (bx, by)) / max_step))
        out.extend((round(ax + (bx - ax) * i / n), round(ay + (by - ay) * i / n)) for i in range(1, n + 1))
    return out


def _min_jerk(t: float) -> float:
    return t * t * t * (10 - 15 * t + 6 * t * t)
