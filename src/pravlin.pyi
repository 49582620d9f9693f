"""Drive a Wayland desktop as a person at the keyboard and mouse would."""

from typing import final

import numpy as np
import numpy.typing as npt

__all__ = ["Pravlin"]

@final
class Pravlin:
    """One connection to a Wayland compositor, with a virtual pointer and a
    virtual keyboard on its seat.

    Raises RuntimeError when the compositor cannot be reached or the
    connection fails, and pravlin.errors.PanicException (a BaseException)
    when the compositor lacks what the session needs (a seat with a keyboard,
    the virtual keyboard and virtual pointer managers).
    """

    def __new__(cls, wayland_display: str | None = None) -> "Pravlin": ...
    def move_mouse(
        self,
        x_extent: int,
        y_extent: int,
        x: int,
        y: int,
        x_max: int | None = None,
        y_max: int | None = None,
    ) -> None:
        """Put the pointer at x / x_extent across and y / y_extent down; with
        x_max or y_max, that coordinate is drawn from the range."""
    def left_click(self, duration_ms: int, duration_ms_max: int | None = None) -> None:
        """Press and release the left button, held duration_ms (or a time drawn
        from duration_ms..duration_ms_max)."""
    def right_click(self, duration_ms: int, duration_ms_max: int | None = None) -> None:
        """Press and release the right button, held as for left_click."""
    def key_press(self, key: int, duration_ms: int, duration_ms_max: int | None = None) -> None:
        """Press and release one key, given as a Linux input event code
        (30 is KEY_A), held as for left_click."""
    def screenshot(self, screen_name: str | None = None) -> npt.NDArray[np.uint8]:
        """Capture one output: uint8 array of shape (height, width, 4), each
        pixel blue, green, red, unused. Without a name the session must know
        exactly one output."""
