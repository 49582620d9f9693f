"""Small helpers shared by the tests."""

import contextlib
import gc
import os
import subprocess
import sys
from pathlib import Path


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


def shm_names():
    """What a headless session could leave in /dev/shm. (Its directory in /tmp is checked by name:
    other sessions, of this run or of others on the machine, come and go there.)"""
    return set(os.listdir("/dev/shm"))
