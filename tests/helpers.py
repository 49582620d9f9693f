"""Small helpers shared by the tests."""

import contextlib
import gc
import itertools
import json
import os
import select
import signal
import subprocess
import sys
import time
from pathlib import Path

import numpy as np
import pytest


def open_fds():
    return sorted(int(fd) for fd in os.listdir("/proc/self/fd"))


@contextlib.contextmanager
def fds_unchanged():
    """Fails if the block leaves file descriptors open (or closes some)."""
    # Instances left by earlier code close their sockets when collected;
    # that must not happen in the middle of the block.
    gc.collect()
    before = open_fds()
    yield
    after = open_fds()
    assert after == before, f"fds before {before}, after {after}"


CLOSER = r"""
import socket, sys
sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
sock.bind(sys.argv[1])
sock.listen(8)
print("READY", flush=True)
while True:
    conn, _ = sock.accept()
    print("ACCEPTED", flush=True)
    conn.close()
"""


class ClosingListener:
    """A Unix socket that accepts connections and closes them at once,
    counting them: proves which path a client connected to. It runs in its
    own process, since a Pravlin call keeps the interpreter lock while it
    waits on the socket."""

    def __init__(self, path):
        self.path = str(path)
        self.proc = subprocess.Popen([sys.executable, "-c", CLOSER, self.path],
                                     stdout=subprocess.PIPE, text=True)
        assert self.proc.stdout.readline().strip() == "READY"
        self._accepted = 0

    @property
    def accepted(self):
        # Each accept prints one line; read what has arrived so far.
        os.set_blocking(self.proc.stdout.fileno(), False)
        for line in self.proc.stdout:
            self._accepted += line.strip() == "ACCEPTED"
        return self._accepted

    def close(self):
        self.proc.kill()
        self.proc.wait()
        self.proc.stdout.close()


_script = Path(sys.executable).with_name("pravlin-run")
PRAVLIN_RUN = [str(_script)] if _script.exists() else [sys.executable, "-m", "pravlin_session.run"]


def settled(p, timeout=15.0):
    """Screenshots until two taken 0.3 s apart agree; returns the last."""
    deadline = time.monotonic() + timeout
    last = p.screenshot()
    while True:
        time.sleep(0.3)
        img = p.screenshot()
        if np.array_equal(img, last):
            return img
        assert time.monotonic() < deadline, "the scene never settled"
        last = img


def shm_names():
    """What a headless session could leave in /dev/shm. (Its directory in /tmp is checked by name:
    other sessions, of this run or of others on the machine, come and go there.)"""
    return set(os.listdir("/dev/shm"))


_app_ids = (f"pravlin-window-{os.getpid()}-{n}" for n in itertools.count())


def tree_nodes(sway):
    def walk(node):
        yield node
        for child in node.get("nodes", []) + node.get("floating_nodes", []):
            yield from walk(child)
    return list(walk(json.loads(sway.swaymsg("-r", "-t", "get_tree"))))


class Window:
    """A running pointer_window (tests/native/pointer_window.c) on sway and the events it has printed
    so far."""

    def __init__(self, sway, exe):
        self.sway = sway
        self.app_id = next(_app_ids)
        # Real-time priority so that it reads each event the moment sway writes
        # it: its receipt times then bound the hold from below.
        self.proc = sway.spawn(["chrt", "-f", "10", exe, self.app_id],
                               stdout=subprocess.PIPE)
        self.events = []
        self._buf = b""
        self._mark = self._cursor = 0  # since_mark() starts at _mark, wait() at _cursor
        self.x = self.y = None  # last pointer position reported

    def _read(self, timeout):
        ready, _, _ = select.select([self.proc.stdout], [], [], max(timeout, 0))
        if not ready:
            return
        chunk = os.read(self.proc.stdout.fileno(), 65536)
        if not chunk:
            raise AssertionError(f"pointer_window exited ({self.proc.poll()}); events: {self.events}")
        self._buf += chunk
        *lines, self._buf = self._buf.split(b"\n")
        for line in lines:
            ev = json.loads(line)
            if ev["ev"] in ("enter", "motion"):
                self.x, self.y = ev["x"], ev["y"]
            self.events.append(ev)

    def wait(self, predicate, what, timeout=5.0, from_start=False):
        """Read until an event after the last one waited for (or any event)
        satisfies predicate; return it."""
        deadline = time.monotonic() + timeout
        start = 0 if from_start else self._cursor
        while True:
            for i in range(start, len(self.events)):
                if predicate(self.events[i]):
                    self._cursor = i + 1
                    return self.events[i]
            start = len(self.events)
            left = deadline - time.monotonic()
            if left <= 0:
                raise AssertionError(f"no {what} within {timeout}s; window events: {self.events}")
            self._read(left)

    def wait_position(self, x, y, timeout=5.0):
        deadline = time.monotonic() + timeout
        while (self.x, self.y) != (x, y):
            left = deadline - time.monotonic()
            if left <= 0:
                raise AssertionError(f"pointer at ({self.x}, {self.y}), not ({x}, {y}); "
                                     f"window events: {self.events}")
            self._read(left)

    def mark(self):
        """Later waits and since_mark() only look at events that arrive from now on."""
        self._read(0)
        self._mark = self._cursor = len(self.events)

    def since_mark(self, kind):
        return [e for e in self.events[self._mark:] if e["ev"] == kind]

    def node(self):
        return next((n for n in tree_nodes(self.sway) if n.get("app_id") == self.app_id), None)

    def close(self):
        if self.proc.poll() is None:
            os.killpg(self.proc.pid, signal.SIGKILL)
        self.proc.wait()
        self.proc.stdout.close()
        deadline = time.monotonic() + 5
        while self.node() is not None:
            assert time.monotonic() < deadline, f"{self.app_id} still in sway's tree"
            time.sleep(0.02)


# The sanitizer run preloads AddressSanitizer into every process it starts; browsers and the desktop
# applications abort or never show a window with it, while pravlin's side of what they test runs under
# the sanitizer in the tests of its own windows.
skip_applications_when_sanitized = pytest.mark.skipif(
    bool(os.environ.get("PRAVLIN_SANITIZED")),
    reason="the applications do not start with the AddressSanitizer runtime preloaded")
