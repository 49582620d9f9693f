"""A private headless sway for end-to-end tests.

sway refuses to run as root, so it runs as nobody with its own runtime dir;
the tests (root) can still connect to its sockets. A kbholder peer gives the
seat a keyboard, since a headless seat has none.
"""

import glob
import json
import os
import re
import select
import shutil
import signal
import socket
import subprocess
import tempfile
import time
from pathlib import Path

try:
    from .native_build import peer
except ImportError:
    from native_build import peer

BACKGROUND = (0x20, 0x40, 0x60)
START_TIMEOUT = 15.0
OUTPUT = "HEADLESS-1"

_CONFIG = """\
swaynag_command -
xwayland disable
output {output} resolution {width}x{height} position 0 0 bg #{bg} solid_color
default_border none
default_floating_border none
focus_follows_mouse no
seat * hide_cursor 0
"""

class SwaySessionError(RuntimeError):
    pass


def _stop(proc, timeout):
    """SIGTERM the process group led by proc, SIGKILL it if it lingers."""
    if proc is None:
        return
    for sig, wait in ((signal.SIGTERM, timeout), (signal.SIGKILL, 5.0)):
        try:
            os.killpg(proc.pid, sig)
        except ProcessLookupError:
            pass
        try:
            proc.wait(wait)
            break
        except subprocess.TimeoutExpired:
            continue
    # Children that outlived the leader (swaybg, a terminal's shell) share its group.
    try:
        os.killpg(proc.pid, signal.SIGKILL)
    except ProcessLookupError:
        pass
    for stream in (proc.stdin, proc.stdout, proc.stderr):
        if stream:
            stream.close()


class SwaySession:
    """Context manager running one headless sway with a single output.

    Attributes once entered: display (socket name), socket (its absolute
    path), runtime_dir, swaysock, env (os.environ for clients of this sway),
    log_path (sway's stderr).
    """

    def __init__(self, width=1920, height=1080, tmp_path=None):
        if int(width) <= 0 or int(height) <= 0:
            raise ValueError(f"bad output size {width}x{height}")
        self.width, self.height = int(width), int(height)
        # The runtime dir cannot live under pytest's tmp_path: that is root-only
        # (nobody could not reach it) and socket paths must stay short. tmp_path
        # only keeps the logs for post-mortem.
        self._log_dir = Path(tmp_path) if tmp_path is not None else None
        self._base = None
        self._sway = None
        self._kbholder = None
        self._clients = []
        self.display = self.socket = self.runtime_dir = self.swaysock = None
        self.log_path = None
        self.env = {}

    # -- lifecycle ---------------------------------------------------------

    def __enter__(self):
        self.start()
        return self

    def __exit__(self, *exc):
        self.close()
        return False

    def start(self):
        t0 = time.monotonic()
        try:
            self._start_sway()
            deadline = t0 + START_TIMEOUT
            self._wait_sockets(deadline)
            self._wait_output(deadline)
            self._wait_background(deadline)
            self._start_kbholder()
        except BaseException:
            self.close()
            raise
        self.start_seconds = time.monotonic() - t0

    def close(self):
        for proc in self._clients:
            _stop(proc, 3.0)
        self._clients.clear()
        _stop(self._kbholder, 3.0)
        self._kbholder = None
        _stop(self._sway, 5.0)
        self._sway = None
        if self._base:
            shutil.rmtree(self._base, ignore_errors=True)
            self._base = None

    # -- clients -----------------------------------------------------------

    def swaymsg(self, *args):
        """Run swaymsg against this sway; return its stdout, raise on failure."""
        res = subprocess.run(["swaymsg", "-s", self.swaysock, *args], env=self.env,
                             capture_output=True, text=True, timeout=10)
        if res.returncode != 0:
            raise SwaySessionError(f"swaymsg {' '.join(args)} failed ({res.returncode}): "
                                   f"{res.stdout}{res.stderr}")
        return res.stdout

    def spawn(self, argv, **popen_kw):
        """Start a client of this sway; it is killed (with its group) on close.

        An env passed here is layered over self.env.
        """
        popen_kw["env"] = {**self.env, **popen_kw.get("env", {})}
        popen_kw.setdefault("start_new_session", True)
        proc = subprocess.Popen(argv, **popen_kw)
        self._clients.append(proc)
        return proc

    def log_tail(self, lines=30):
        try:
            text = Path(self.log_path).read_text(errors="replace")
        except (OSError, TypeError):
            return "(no sway log)"
        return "\n".join(text.splitlines()[-lines:])

    # -- start-up steps ----------------------------------------------------

    def _fail(self, what):
        kept = f" ({self.log_path})" if self._log_dir is not None else ""
        raise SwaySessionError(f"{what}\n--- sway log{kept} ---\n{self.log_tail()}")

    def _start_sway(self):
        base = Path(tempfile.mkdtemp(prefix="pravlin-sway-"))
        self._base = base
        base.chmod(0o755)
        run, home = base / "run", base / "home"
        for d in (run, home):
            d.mkdir(mode=0o700)
            shutil.chown(d, "nobody", "nogroup")
        config = base / "config"
        config.write_text(_CONFIG.format(output=OUTPUT, width=self.width, height=self.height,
                                         bg="%02x%02x%02x" % BACKGROUND))
        config.chmod(0o644)

        if self._log_dir is not None:
            self._log_dir.mkdir(parents=True, exist_ok=True)
            n = 1
            while (self._log_dir / f"sway-{n}.log").exists():
                n += 1
            self.log_path = str(self._log_dir / f"sway-{n}.log")
        else:
            self.log_path = str(base / "sway.log")
        self.runtime_dir = str(run)

        sway_env = {
            "PATH": os.environ.get("PATH", "/usr/bin:/bin"),
            "LANG": "C.UTF-8",
            "HOME": str(home),
            "XDG_RUNTIME_DIR": self.runtime_dir,
            "WLR_BACKENDS": "headless",
            "WLR_RENDERER": "pixman",
            "WLR_LIBINPUT_NO_DEVICES": "1",
            "WLR_HEADLESS_OUTPUTS": "1",
        }
        with open(self.log_path, "wb") as log:
            self._sway = subprocess.Popen(
                ["setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups",
                 "sway", "-c", str(config)],
                env=sway_env, cwd=str(home), stdin=subprocess.DEVNULL, stdout=log,
                stderr=subprocess.STDOUT, start_new_session=True)

    def _check_alive(self, what):
        if self._sway.poll() is not None:
            self._fail(f"sway exited with {self._sway.returncode} while {what}")

    def _wait_sockets(self, deadline):
        # sway skips wayland-0; with a fresh runtime dir there is exactly one socket.
        while True:
            self._check_alive("waiting for its sockets")
            names = [n for n in os.listdir(self.runtime_dir) if re.fullmatch(r"wayland-\d+", n)]
            ipc = glob.glob(os.path.join(self.runtime_dir, "sway-ipc.*.sock"))
            if names and ipc and self._accepts(os.path.join(self.runtime_dir, names[0])):
                break
            if time.monotonic() > deadline:
                self._fail(f"no Wayland/IPC socket in {self.runtime_dir} "
                           f"after {START_TIMEOUT:.0f} s: {os.listdir(self.runtime_dir)}")
            time.sleep(0.02)
        self.display = names[0]
        self.socket = os.path.join(self.runtime_dir, self.display)
        self.swaysock = ipc[0]
        env = dict(os.environ)
        for var in ("DISPLAY", "WAYLAND_SOCKET"):
            env.pop(var, None)
        env.update(WAYLAND_DISPLAY=self.display, XDG_RUNTIME_DIR=self.runtime_dir,
                   SWAYSOCK=self.swaysock)
        self.env = env

    @staticmethod
    def _accepts(path):
        with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as s:
            try:
                s.connect(path)
                return True
            except OSError:
                return False

    def _wait_output(self, deadline):
        last = None
        while True:
            self._check_alive("waiting for its output")
            try:
                outputs = json.loads(self.swaymsg("-r", "-t", "get_outputs"))
                last = next((o for o in outputs if o.get("name") == OUTPUT), None)
                mode = (last or {}).get("current_mode", {})
                if (last and last.get("active")
                        and (mode.get("width"), mode.get("height")) == (self.width, self.height)):
                    break
            except (SwaySessionError, ValueError, subprocess.TimeoutExpired) as e:
                last = e
            if time.monotonic() > deadline:
                self._fail(f"{OUTPUT} not active at {self.width}x{self.height}; last seen: {last}")
            time.sleep(0.02)
        # sway only logs config errors and carries on; the output is configured
        # after the config has been read, so any error is in the log by now.
        if "Error(s) loading config" in Path(self.log_path).read_text(errors="replace"):
            self._fail("sway rejected the generated config")

    def _wait_background(self, deadline):
        # swaybg draws the background asynchronously; until it has, screenshots
        # show whatever sway clears to. Sample one pixel at the far corner.
        geometry = f"{self.width - 1},{self.height - 1} 1x1"
        pixel = None
        while True:
            self._check_alive("waiting for the background")
            res = subprocess.run(["grim", "-g", geometry, "-t", "ppm", "-"], env=self.env,
                                 capture_output=True, timeout=10)
            if res.returncode == 0 and len(res.stdout) >= 3:
                pixel = tuple(res.stdout[-3:])
                if pixel == BACKGROUND:
                    return
            if time.monotonic() > deadline:
                self._fail(f"background never appeared; last pixel {pixel}, "
                           f"grim: {res.stderr.decode(errors='replace').strip()}")
            time.sleep(0.02)

    def refresh_keyboard(self, timeout=10.0):
        """Make the keyboard holder's keyboard the seat's active one again.

        sway leaves the seat without an active keyboard once the client whose
        virtual keyboard was active disconnects (every Pravlin instance creates
        one), and wl_seat.get_keyboard then sends no keymap. Call this before
        constructing another Pravlin on the same session."""
        self._kbholder.send_signal(signal.SIGUSR1)
        self._read_ready(self._kbholder, timeout)

    def _start_kbholder(self, timeout=10.0):
        proc = subprocess.Popen([str(peer("kbholder"))], env=self.env, stdin=subprocess.DEVNULL,
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                start_new_session=True)
        self._kbholder = proc
        self._read_ready(proc, timeout)

    def _read_ready(self, proc, timeout):
        ready, _, _ = select.select([proc.stdout], [], [], timeout)
        line = proc.stdout.readline() if ready else None
        if line != b"READY\n":
            err = b""
            if line == b"":  # EOF: it is exiting, so its stderr is complete
                proc.wait(5)
                err = proc.stderr.read()
            self._fail(f"kbholder not ready (got {line!r}, exit {proc.poll()}): "
                       f"{err.decode(errors='replace').strip()}")
