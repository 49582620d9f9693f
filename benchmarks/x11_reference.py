"""The reference way computer-use agents run today, for benchmarks to measure against: an Xvfb server,
one `xdotool` process per action, `scrot` writing each screenshot to a file, ImageMagick's `convert`
resizing it, base64 of the file. And the application both sides drive: benchmarks/gtk_app.py, the same
GTK program on X11 and on Wayland.

    from x11_reference import Xvfb, start_app

    with Xvfb(1920, 1080) as x:
        app = start_app(x.env, "x11", (1920, 1080))
        x.xdotool("mousemove", "--sync", "960", "540", "click", "1")
        png_b64 = x.screenshot_base64((1366, 768))
        app.close()

Nothing here sleeps for a fixed time: Xvfb says when it listens (-displayfd), the application when it
has drawn itself, and each tool is waited for. Debian packages: xvfb, xdotool, scrot, imagemagick,
python3-gi, gir1.2-gtk-3.0.
"""

from __future__ import annotations

import base64
import contextlib
import json
import os
import select
import shutil
import signal
import subprocess
import tempfile
import time
from pathlib import Path

GTK_APP = Path(__file__).resolve().with_name("gtk_app.py")
SYSTEM_PYTHON = "/usr/bin/python3"  # the one with python3-gi
# /usr/local/bin may hold a stand-in named convert; the reference is ImageMagick's own.
CONVERT = "/usr/bin/convert" if Path("/usr/bin/convert").exists() else "convert"
TOOLS = {"Xvfb": "xvfb", "xdotool": "xdotool", "scrot": "scrot", CONVERT: "imagemagick"}


def missing_tools() -> list[str]:
    """The Debian packages of the reference tools that are not installed."""
    return sorted({pkg for tool, pkg in TOOLS.items() if shutil.which(tool) is None})


def _stop(proc: subprocess.Popen) -> None:
    """SIGTERM to the process group `proc` leads, SIGKILL after 5 s."""
    for sig, grace in ((signal.SIGTERM, 5), (signal.SIGKILL, None)):
        if proc.poll() is not None:
            return
        with contextlib.suppress(ProcessLookupError):
            os.killpg(proc.pid, sig)
        with contextlib.suppress(subprocess.TimeoutExpired):
            proc.wait(grace)


class Xvfb:
    """An Xvfb server with one screen of this size, in 24-bit colour, for the block; `env` points X
    clients at it."""

    def __init__(self, width: int, height: int):
        self.size = (width, height)
        self.env: dict[str, str] = {}
        self._proc: subprocess.Popen | None = None
        self._dir: Path | None = None

    def __enter__(self) -> Xvfb:
        read_fd, write_fd = os.pipe()
        try:
            self._proc = subprocess.Popen(
                ["Xvfb", "-displayfd", str(write_fd), "-screen", "0", f"{self.size[0]}x{self.size[1]}x24",
                 "-nolisten", "tcp", "-noreset"],
                pass_fds=(write_fd,), stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                stderr=subprocess.DEVNULL, start_new_session=True)
            os.close(write_fd)
            write_fd = -1
            number = b""
            while not number.endswith(b"\n"):
                if not select.select([read_fd], [], [], 15)[0]:
                    raise RuntimeError("Xvfb did not start within 15 s")
                chunk = os.read(read_fd, 64)
                if not chunk:
                    raise RuntimeError(f"Xvfb exited with status {self._proc.wait()} while starting")
                number += chunk
        except BaseException:
            self.close()
            raise
        finally:
            os.close(read_fd)
            if write_fd >= 0:
                os.close(write_fd)
        self._dir = Path(tempfile.mkdtemp(prefix="pravlin-x11-ref-"))
        self.env = {**{k: v for k, v in os.environ.items() if k not in ("WAYLAND_DISPLAY", "WAYLAND_SOCKET")},
                    "DISPLAY": f":{number.decode().strip()}"}
        return self

    def __exit__(self, *exc) -> None:
        self.close()

    def close(self) -> None:
        if self._proc is not None:
            _stop(self._proc)
            self._proc = None
        if self._dir is not None:
            shutil.rmtree(self._dir, ignore_errors=True)
            self._dir = None

    # -- the reference tools, one process each ----------------------------------------------------

    def xdotool(self, *args: str) -> None:
        """One xdotool process, waited for."""
        subprocess.run(["xdotool", *args], env=self.env, check=True, stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL)

    def screenshot_base64(self, size: tuple[int, int] | None = None) -> str:
        """scrot (with the pointer, -p) to a PNG file, `convert FILE -resize WxH! FILE` when a size is
        given, and the file's bytes in base64."""
        path = self._dir / "screenshot.png"
        path.unlink(missing_ok=True)
        subprocess.run(["scrot", "-o", "-p", str(path)], env=self.env, check=True, stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        if size is not None:
            subprocess.run([CONVERT, str(path), "-resize", f"{size[0]}x{size[1]}!", str(path)], check=True,
                           stdin=subprocess.DEVNULL)
        return base64.b64encode(path.read_bytes()).decode()


class App:
    """benchmarks/gtk_app.py running, ready (drawn at its size); `lines()` reads what it printed."""

    def __init__(self, proc: subprocess.Popen):
        self.proc = proc
        self._buf = b""

    def lines(self, timeout: float = 0.0) -> list[dict]:
        """The events it printed, waiting up to `timeout` seconds for the first."""
        out = []
        deadline = time.monotonic() + timeout
        fd = self.proc.stdout.fileno()
        while True:
            left = max(deadline - time.monotonic(), 0)
            if not select.select([fd], [], [], 0 if out else left)[0]:
                return out
            chunk = os.read(fd, 65536)
            if not chunk:
                return out
            self._buf += chunk
            *complete, self._buf = self._buf.split(b"\n")
            out.extend(json.loads(line) for line in complete if line.strip())

    def wait_for(self, predicate, what: str, timeout: float = 10.0) -> dict:
        deadline = time.monotonic() + timeout
        seen = []
        while time.monotonic() < deadline:
            for event in self.lines(deadline - time.monotonic()):
                seen.append(event)
                if predicate(event):
                    return event
        raise RuntimeError(f"the GTK app showed no {what} within {timeout} s; it printed {seen[-20:]}")

    def close(self) -> None:
        _stop(self.proc)
        self.proc.stdout.close()


def start_app(env: dict[str, str], backend: str, size: tuple[int, int], *, quiet: bool = False,
              spawn=None) -> App:
    """Starts benchmarks/gtk_app.py with GDK_BACKEND=`backend` (x11 or wayland) in `env` and returns
    once it has drawn itself at `size`. `spawn` (e.g. a HeadlessSession's) starts the process, so
    that it is stopped with the session; by default it is started here."""
    argv = [SYSTEM_PYTHON, "-u", str(GTK_APP), "--size", f"{size[0]}x{size[1]}"] + (["--quiet"] if quiet else [])
    options = {"env": {**env, "GDK_BACKEND": backend, "NO_AT_BRIDGE": "1"}, "stdin": subprocess.DEVNULL,
               "stdout": subprocess.PIPE, "stderr": subprocess.DEVNULL, "start_new_session": True}
    proc = spawn(argv, **options) if spawn else subprocess.Popen(argv, **options)
    app = App(proc)
    try:
        app.wait_for(lambda e: e.get("ev") == "ready", "first frame", timeout=30)
    except BaseException:
        app.close()
        raise
    return app
