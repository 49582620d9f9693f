"""Viewer: a connection that only looks at the outputs."""

from __future__ import annotations

from . import _native
from ._desktop import Output
from ._screen import Closed, _Frames


class Viewer(_Frames):
    """A connection to the compositor for frames only: it puts no keyboard or pointer on the seat, so it
    can watch (record, wait for the screen to settle) beside a Desktop or any other client without
    touching its input. Same display rules and errors as Desktop."""

    def __init__(self, wayland_display: str | None = None):
        self._c: _native.Viewer | Closed = _native.Viewer(wayland_display)
        super().__init__()

    @property
    def outputs(self) -> tuple[Output, ...]:
        with self._lock:
            outs = self._c.outputs()
        return tuple(Output(*o[:5]) for o in outs)

    def close(self) -> None:
        with self._lock:
            self._c = Closed("Viewer")

    def __enter__(self) -> Viewer:
        return self

    def __exit__(self, *exc) -> None:
        self.close()
