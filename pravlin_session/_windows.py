"""Windows as sway's IPC reports them: which program mapped one, and waiting for it."""

from __future__ import annotations

import json
import os
import selectors
import subprocess
import time
from collections.abc import Callable
from typing import Any

from ._session import SessionError


class SwayWindows:
    """The compositor's news of windows mapped and closed, from sway's IPC (a subscribed swaymsg, started
    with `spawn`, which takes Popen's arguments)."""

    def __init__(self, spawn: Callable[..., subprocess.Popen]):
        self._proc = spawn(["swaymsg", "-r", "-m", "-t", "subscribe", '["window","tick"]'],
                           stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, stdin=subprocess.DEVNULL)
        self._fd = self._proc.stdout.fileno()
        os.set_blocking(self._fd, False)
        self._buffer = b""
        # sway answers a subscription to ticks with a first tick at once: from then on no window
        # event is missed.
        try:
            if not any(e.get("first") for e in self._events(10.0, until=lambda e: e.get("first"))):
                raise SessionError("sway's IPC did not answer a subscription to window events")
        except BaseException:
            self._proc.kill()
            self._proc.wait()
            self._proc.stdout.close()
            raise

    @property
    def process(self) -> subprocess.Popen:
        return self._proc

    def _events(self, timeout: float, until: Callable[[dict], Any]) -> list[dict]:
        """Events as they come, until one satisfies `until` or `timeout` seconds pass."""
        deadline = time.monotonic() + timeout
        got: list[dict] = []
        with selectors.DefaultSelector() as sel:
            sel.register(self._fd, selectors.EVENT_READ)
            while True:
                while b"\n" in self._buffer:
                    line, self._buffer = self._buffer.split(b"\n", 1)
                    if line.strip():
                        event = json.loads(line)
                        got.append(event)
                        if until(event):
                            return got
                if not sel.select(max(0.0, deadline - time.monotonic())):
                    return got
                try:
                    chunk = os.read(self._fd, 65536)
                except BlockingIOError:
                    continue
                if not chunk:
                    raise SessionError("sway's IPC subscription ended")
                self._buffer += chunk

    def poll(self, timeout: float, until: Callable[[dict], Any]) -> list[dict]:
        """Window events (new, close, focus, ...) until one satisfies `until` or `timeout` passes."""
        return [e for e in self._events(timeout, until) if "change" in e]


def mapped_by(event: dict) -> tuple[int, int] | None:
    """(process group, sway container id) of the window a "new" event announces: a window is a
    program's when its process is in the program's process group. None for other events, and for a
    process gone meanwhile."""
    container = event.get("container") or {}
    pid, con = container.get("pid"), container.get("id")
    if event.get("change") != "new" or not pid:
        return None
    try:
        return os.getpgid(pid), con
    except ProcessLookupError:
        return None


def closed(event: dict) -> int | None:
    """The sway container id of the window a "close" event announces."""
    if event.get("change") != "close":
        return None
    return (event.get("container") or {}).get("id")


def wait_mapped(watch: SwayWindows, proc: subprocess.Popen, group: int, timeout: float, what: str) -> int:
    """Waits until a process of `group` maps a window; its sway container id. SessionError when `proc`
    exits first or `timeout` seconds pass."""
    deadline = time.monotonic() + timeout
    while True:
        left = deadline - time.monotonic()
        for event in watch.poll(max(0.0, min(left, 0.1)), until=lambda e: e.get("change") == "new"):
            owner = mapped_by(event)
            if owner is not None and owner[0] == group:
                return owner[1]
        if proc.poll() is not None:
            raise SessionError(f"{what} exited with status {proc.returncode} before it mapped a window")
        if left <= 0:
            raise SessionError(f"{what} mapped no window within {timeout:g} s")
