"""One headless session: a compositor with its outputs, and the seat holder."""

from __future__ import annotations

import contextlib
import itertools
import json
import math
import os
import pwd
import re
import secrets
import selectors
import shlex
import shutil
import signal
import stat
import subprocess
import time
from dataclasses import dataclass
from pathlib import Path

from . import _accessibility
from ._compositors import COMPOSITORS, Compositor, SessionDirectory
from ._view import CONTROL_VARIABLE, LiveView, ViewError, parse_address

HOLDER = Path(__file__).resolve().with_name("pravlin-seat-holder")
MAX_SIDE = 16384
MAX_OUTPUTS = 16  # the seat holder's limit
DEFAULT_REFRESH = 60.0
MAX_REFRESH = 1000.0
# How long spawn(..., wait_for_window=True) waits for the client's window, in seconds.
WINDOW_TIMEOUT = 15.0
# Set in a session's clients: the socket of the session they run in (the plugin uses it).
SESSION_VARIABLE = "PRAVLIN_SESSION"
# sockaddr_un.sun_path holds 108 bytes with the terminating NUL.
_SUN_PATH_MAX = 107
_RUNTIME = "run"  # the compositor's runtime directory, inside a session's directory
# Beside it, in a session that root runs for another account: the runtime directory of root's
# programs, root's alone, where the seat holder links the compositor's sockets.
_ROOT_RUNTIME = "root-run"
_BUSES = "buses"  # the caller's directory of D-Bus sockets inside it, which the compositor's account cannot enter
_sessions_started = itertools.count()
_START_NOTICES = ("drmGetDevices2 failed", "No DRM backend supplied")


class SessionError(RuntimeError):
    """A session could not be started. The first line of the message says why; a failed compositor's
    log tail may follow."""


class CompositorMissing(SessionError):
    """The compositor (or a tool the session needs) is not installed."""


@dataclass(frozen=True)
class Output:
    """An output: its name, size and position in the layout (pixels), and its refresh rate (Hz; 0
    where the compositor does not say)."""

    name: str
    width: int
    height: int
    x: int = 0
    y: int = 0
    refresh: float = DEFAULT_REFRESH


def parse_size(text: str) -> tuple[int, int]:
    """'1920x1080' -> (1920, 1080); SessionError for anything else."""
    match = re.fullmatch(r"([0-9]+)x([0-9]+)", text.strip().lower())
    if match:
        size = int(match[1]), int(match[2])
        if all(1 <= side <= MAX_SIDE for side in size):
            return size
    raise SessionError(f"bad output size {text!r}: expected WIDTHxHEIGHT, each from 1 to {MAX_SIDE}")


def parse_refresh(text: str | float) -> float:
    """'144', '59.94' or a number -> the rate in Hz; SessionError for anything else."""
    try:
        rate = float(text.strip().lower().removesuffix("hz")) if isinstance(text, str) else float(text)
    except (TypeError, ValueError):
        rate = math.nan
    if not 1 <= rate <= MAX_REFRESH:  # nan and the infinities fail too
        raise SessionError(f"bad refresh rate {text!r}: expected a number of Hz from 1 to {MAX_REFRESH:g}")
    return rate


def parse_outputs(text: str) -> list[tuple[int, int]]:
    """'1920x1080,1280x720' -> [(1920, 1080), (1280, 720)]."""
    return [parse_size(part) for part in text.split(",")]


def _parse_output_list(text: str) -> list[tuple[tuple[int, int], float | None]]:
    """'1920x1080@144,1280x720' -> [((1920, 1080), 144.0), ((1280, 720), None)]."""
    outputs = []
    for part in text.split(","):
        size, at, rate = part.partition("@")
        outputs.append((parse_size(size), parse_refresh(rate) if at else None))
    return outputs


def _stop_group(proc: subprocess.Popen | None, grace: float, group: bool = True) -> None:
    """SIGTERM the process group `proc` leads (or `proc` alone, when it leads none), then SIGKILL
    whatever of it is left once `grace` seconds have passed: every member of the group has the
    grace, not only its leader."""
    if proc is None:
        return

    def send(sig):
        try:
            if group:
                os.killpg(proc.pid, sig)
            else:
                proc.send_signal(sig)
        except (ProcessLookupError, PermissionError):
            pass

    def gone():
        return proc.poll() is not None and not (group and _group_alive(proc.pid))

    if not gone():
        send(signal.SIGTERM)
        deadline = time.monotonic() + grace
        while not gone() and time.monotonic() < deadline:
            time.sleep(0.01)
        send(signal.SIGKILL)
    try:
        proc.wait(5.0)
    except subprocess.TimeoutExpired:
        pass
    for stream in (proc.stdin, proc.stdout, proc.stderr):
        if stream:
            stream.close()


def _group_alive(pgid: int) -> bool:
    """Whether the group has a member that is not a zombie (an init that reaps late leaves
    them standing)."""
    try:
        os.killpg(pgid, 0)
    except ProcessLookupError:
        return False
    except PermissionError:
        return True
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open(f"/proc/{entry}/stat", "rb") as f:
                fields = f.read().rpartition(b")")[2].split()  # state, parent, group, ...
        except OSError:
            continue
        if len(fields) > 2 and fields[0] != b"Z" and int(fields[2]) == pgid:
            return True
    return False


# Directories open at once while removing a session's, and the most passes: as the seat holder's.
_REMOVE_DEPTH = 32
_REMOVE_PASSES = 32768
_DIRECTORY = os.O_RDONLY | os.O_DIRECTORY | os.O_NOFOLLOW | os.O_CLOEXEC


def _remove_tree(path: str | os.PathLike) -> None:
    """Removes the directory `path` and what it holds as the seat holder does: never following a link
    (every entry is reached through its directory's descriptor, every directory opened with
    O_NOFOLLOW), without recursion and with at most _REMOVE_DEPTH directories open; a directory deeper
    than that is moved up to the top under a fresh name and removed from there."""
    path = os.fspath(path)
    try:
        parent = os.open(os.path.dirname(path) or ".", _DIRECTORY & ~os.O_NOFOLLOW)
    except OSError:
        return
    try:
        top = os.open(os.path.basename(path), _DIRECTORY, dir_fd=parent)
    except OSError:
        os.close(parent)
        return
    try:
        _empty_directory(top)
    finally:
        os.close(top)
    try:
        os.rmdir(os.path.basename(path), dir_fd=parent)
    except OSError:
        pass
    finally:
        os.close(parent)


def _empty_directory(top: int) -> None:
    moved = itertools.count()
    for _ in range(_REMOVE_PASSES):
        found = progress = False
        stack = [(top, "", os.listdir(top))]  # (descriptor, name in its parent, names left)
        try:
            while stack:
                fd, _, names = stack[-1]
                if not names:
                    _, name, _ = stack.pop()
                    if stack:
                        os.close(fd)
                        try:
                            os.rmdir(name, dir_fd=stack[-1][0])
                            progress = True
                        except OSError:
                            pass
                    continue
                name = names.pop()
                found = True
                try:
                    os.unlink(name, dir_fd=fd)
                    progress = True
                    continue
                except FileNotFoundError:
                    continue
                except OSError:
                    pass
                try:
                    sub = os.open(name, _DIRECTORY, dir_fd=fd)
                except OSError:
                    continue
                if len(stack) < _REMOVE_DEPTH:
                    try:
                        os.fchmod(sub, 0o700)  # a directory its owner made read-only would keep what it holds
                    except OSError:
                        pass
                    try:
                        stack.append((sub, name, os.listdir(sub)))
                    except OSError:
                        os.close(sub)
                    continue
                os.close(sub)
                fresh = f".pravlin-moved-up-{next(moved)}"
                try:
                    os.lstat(fresh, dir_fd=top)  # taken already: the next pass tries another name
                except FileNotFoundError:
                    try:
                        os.rename(name, fresh, src_dir_fd=fd, dst_dir_fd=top)
                        progress = True
                    except OSError:
                        pass
        finally:
            for fd, _, _ in stack[1:]:
                os.close(fd)
        if not (found and progress):
            return


def _shared_cpu() -> int | None:
    """A CPU for a compositor and its holder to share, or None where this process may use only one.
    Sessions started by different processes, or one after another, mostly land on different CPUs."""
    allowed = sorted(os.sched_getaffinity(0))
    if len(allowed) < 2:
        return None
    return allowed[(os.getpid() + next(_sessions_started)) % len(allowed)]


def _pin(pid: int, cpu: int | None) -> None:
    if cpu is not None:
        try:
            os.sched_setaffinity(pid, {cpu})
        except OSError:  # gone: the session's next user will hear of it
            pass


def _account(user: str | None) -> tuple[list[str], str | None]:
    """How the seat holder is to pick the compositor's account, and the account's name (None for a
    dynamic user, whose id the holder reports)."""
    if os.geteuid() != 0:
        try:
            me = pwd.getpwuid(os.geteuid()).pw_name
        except KeyError:
            me = str(os.geteuid())
        if user not in (None, me):
            raise SessionError(f"only root can run the compositor as another user (asked for {user!r})")
        return [], me
    if user is None:
        return ["--dynamic-user"], None
    try:
        entry = pwd.getpwnam(user)
    except KeyError:
        raise SessionError(f"running as root, but there is no user {user!r} to run the compositor as "
                           "(it refuses root); name an unprivileged user") from None
    if entry.pw_uid == 0:
        raise SessionError(f"user {user!r} is root; the compositor must run as an unprivileged user")
    return ["--user-id", str(entry.pw_uid), "--group-id", str(entry.pw_gid)], user


def _session_parent() -> str:
    """Where a session's directory goes: $TMPDIR as mktemp(1) takes it, unless its path would make
    the socket's too long, is not plain text (clients pass the socket's path on as UTF-8), or, run by
    root, cannot be passed through by the compositor's account. SessionError when an account other
    than root and this process's could change it or a directory above it: such an account could swap
    the session's directory for one of its own, whose files are links to ours."""
    given = os.environ.get("TMPDIR", "").rstrip("/")
    parent = named = "/tmp"
    if given.startswith("/") and len(given) <= 60 and given.isascii() and given.isprintable():
        parent, named = os.path.realpath(given), f"TMPDIR={given}"
    if os.geteuid() == 0 and parent != "/tmp":
        try:
            if not all(os.stat(d).st_mode & 0o001 for d in (parent, *Path(parent).parents)):
                parent = named = "/tmp"
        except OSError:
            parent = named = "/tmp"
    me = os.geteuid()
    for directory in (*reversed(Path(parent).parents), Path(parent)):
        try:
            st = os.lstat(directory)
        except OSError as e:
            raise SessionError(f"the session's directory cannot go in {named}: {e.strerror}") from None
        problem = None
        if not stat.S_ISDIR(st.st_mode):
            problem = "is not a directory"
        elif st.st_uid not in (0, me):
            problem = f"belongs to user id {st.st_uid}, who could swap what is written there for links"
        elif st.st_mode & 0o022 and not st.st_mode & stat.S_ISVTX:
            problem = "is writable by others without the sticky bit, so they could swap what is written there for links"
        if problem:
            where = "it" if str(directory) == parent else str(directory)
            raise SessionError(f"the session's directory cannot go in {named}: {where} {problem}; point TMPDIR "
                               "at a directory that only root and you can change, or unset it")
    return parent


class _Display:
    """What a test or a program needs of a display: where it is, and how to start clients there."""

    display: str | None = None
    socket: str | None = None
    runtime_dir: str | None = None
    outputs: tuple[Output, ...] = ()
    # Known of a session started here; None for a display that runs already.
    compositor_pid: int | None = None

    def __init__(self):
        self.env: dict[str, str] = {}
        self._clients: list[tuple[subprocess.Popen, bool]] = []  # and whether it leads its group

    def environ(self) -> dict[str, str]:
        """os.environ pointed at this display (and away from any other: DISPLAY, SWAYSOCK and
        WAYLAND_SOCKET are dropped unless the display sets them)."""
        self._require_running()
        dropped = ("WAYLAND_SOCKET", "DISPLAY", "SWAYSOCK", SESSION_VARIABLE)
        if "AT_SPI_BUS_ADDRESS" in self.env:
            dropped += _accessibility.REMOVED
        env = {k: v for k, v in os.environ.items() if k not in dropped}
        env.update(self.env)
        return env

    def _require_running(self) -> None:
        if not self.env:
            raise SessionError("the session is not running")

    def spawn(self, argv, *, wait_for_window: bool | float = False, **popen_kwargs) -> subprocess.Popen:
        """Starts a client in a process group of its own, stopped (the whole group) on close. An `env`
        given here is layered over `environ()`.

        `wait_for_window` (True: up to 15 s, or a number of seconds) returns only once a process of
        the client's group has mapped a window, as sway's IPC reports; a client that exits first or
        takes longer is stopped, and SessionError says which. It needs sway's IPC."""
        if wait_for_window is not False:
            timeout = WINDOW_TIMEOUT if wait_for_window is True else wait_for_window
            if isinstance(timeout, bool) or not isinstance(timeout, (int, float)) or not 0 < timeout < math.inf:
                raise ValueError(f"wait_for_window is True or seconds, more than 0, not {wait_for_window!r}")
            return self._spawn_window(argv, float(timeout), popen_kwargs)
        popen_kwargs["env"] = {**self.environ(), **popen_kwargs.get("env", {})}
        popen_kwargs.setdefault("start_new_session", True)
        proc = subprocess.Popen(argv, **popen_kwargs)
        # Popen returns once the child has run exec, so its group is settled.
        leads = os.getpgid(proc.pid) == proc.pid
        self._clients.append((proc, leads))
        if leads:
            self.adopt_group(proc.pid)
        return proc

    def _spawn_window(self, argv, timeout: float, popen_kwargs: dict) -> subprocess.Popen:
        from ._windows import SwayWindows, wait_mapped
        self._require_running()
        if "SWAYSOCK" not in self.env:
            raise SessionError("waiting for a window needs sway's IPC, which this display has not")
        env = self.environ()
        watch = SwayWindows(lambda args, **kw: subprocess.Popen(args, env=env, start_new_session=True, **kw))
        try:
            proc = self.spawn(argv, **popen_kwargs)
            group = os.getpgid(proc.pid) if proc.poll() is None else proc.pid
            try:
                wait_mapped(watch, proc, group, timeout, shlex.join(map(os.fspath, argv))
                            if not isinstance(argv, (str, bytes)) else str(argv))
            except BaseException:
                _stop_group(proc, 3.0, group=group == proc.pid)
                raise
            return proc
        finally:
            _stop_group(watch.process, 1.0)

    def adopt_group(self, pgid: int) -> None:
        """Makes a process group part of the session."""

    def swaymsg(self, *args: str, timeout: float = 10.0) -> str:
        """Runs swaymsg against this display's sway and returns its output."""
        self._require_running()
        if "SWAYSOCK" not in self.env:
            raise SessionError("this display has no sway IPC")
        res = subprocess.run(["swaymsg", "-s", self.env["SWAYSOCK"], *args], env=self.environ(),
                             capture_output=True, text=True, timeout=timeout)
        if res.returncode != 0:
            raise SessionError(f"swaymsg {' '.join(args)} failed ({res.returncode}): "
                               f"{(res.stdout + res.stderr).strip()}")
        return res.stdout

    def close(self) -> None:
        for proc, leads in self._clients:
            _stop_group(proc, 3.0, group=leads)
        self._clients.clear()


class ExistingDisplay(_Display):
    """A display that runs already (WAYLAND_DISPLAY, or a name or socket path), described like a
    HeadlessSession; its outputs are asked of the compositor."""

    def __init__(self, name: str):
        super().__init__()
        runtime_dir = os.environ.get("XDG_RUNTIME_DIR", "")
        self.display = name
        self.socket = name if name.startswith("/") else str(Path(runtime_dir) / name)
        self.runtime_dir = runtime_dir or None
        self.env = {"WAYLAND_DISPLAY": name}
        if runtime_dir:
            self.env["XDG_RUNTIME_DIR"] = runtime_dir
        if "SWAYSOCK" in os.environ:
            self.env["SWAYSOCK"] = os.environ["SWAYSOCK"]
        if running_session() == self.socket:
            self.env[SESSION_VARIABLE] = self.socket
            # The session's X server, when it has one.
            if os.environ.get("DISPLAY"):
                self.env["DISPLAY"] = os.environ["DISPLAY"]
        # Only sway has the IPC that SWAYSOCK names.
        self.compositor = "sway" if "SWAYSOCK" in self.env else None
        _require_holder()
        res = subprocess.run([str(HOLDER), "--socket", self.socket, "--probe"], capture_output=True,
                             text=True, timeout=30)
        if res.returncode != 0:
            reason = res.stderr.strip().splitlines()[-1:] or ["no reason given"]
            raise SessionError(f"cannot use the Wayland display {name}: "
                               f"{reason[0].removeprefix('pravlin-seat-holder: ')}")
        self.outputs = tuple(_output(o) for o in json.loads(res.stdout)["outputs"])


def _output(reported: dict) -> Output:
    return Output(reported["name"], reported["width"], reported["height"], reported["x"], reported["y"],
                  reported["refresh_mhz"] / 1000)


def _require_holder() -> None:
    if not HOLDER.exists():
        if HOLDER.with_name("seat_holder.c").exists():
            raise SessionError(f"{HOLDER.parent} is pravlin's source, which has no seat holder built: run "
                               "from outside the checkout (or with python -P), so that the installed "
                               "pravlin_session is imported")
        raise SessionError(f"the seat holder is missing: {HOLDER} (reinstall pravlin)")


def running_session() -> str | None:
    """The socket of the headless session this process runs in (started by pravlin-run, or by a
    HeadlessSession whose environment it has), if its WAYLAND_DISPLAY still points there."""
    marked = os.environ.get(SESSION_VARIABLE)
    display = os.environ.get("WAYLAND_DISPLAY", "")
    if not marked or not display:
        return None
    socket = display if display.startswith("/") else os.path.join(os.environ.get("XDG_RUNTIME_DIR", ""), display)
    return marked if os.path.normpath(socket) == os.path.normpath(marked) else None


class HeadlessSession(_Display):
    """A private headless Wayland session, ready when entered::

        with HeadlessSession([(1920, 1080)]) as session:
            Pravlin(session.socket).screenshot()
            session.spawn(["foot"])

    It runs the compositor (sway, or phoc with `compositor="phoc"`: pixman renderer, one
    output per size, laid out left to right) in its own directory, with the seat holder keeping a
    virtual keyboard and pointer on the seat. Started by root, the compositor runs as a user id of its
    own, which no account and no other process has while the session lasts (or as `user`), and root's
    clients get a runtime directory of root's alone, where the compositor's sockets are hard links, so
    that they follow nothing the compositor's account can change. Once ready, the
    compositor and the holder share one CPU. Leaving the block stops everything it started and removes
    its directory; if this process is killed outright, the holder does that. (The compositor is the
    holder's child, and cannot outlive it.)

    `outputs` are sizes, `(width, height)`, or a string "WxH[@HZ],..."; `refresh` the rate in Hz of
    every output whose size has none, or a rate per output (default 60).

    With `xwayland=True` (sway only) X11 programs run too: sway starts Xwayland when the first one
    connects, and `x_display` and env's DISPLAY name its display.

    Once started: `display` and `socket` (the Wayland socket's name and absolute path), `runtime_dir`,
    `env` (the variables that point a client here), `outputs` (name, size, position and refresh rate of
    each output), `compositor_pid`, `log_path` and `ready_seconds`. Once closed it refuses to be used.
    `debug_log` has the compositor write its debug log (sway -d).

    `view="[HOST:]PORT"` serves the screen to a browser (wayvnc per output, websockify and noVNC's
    client): `view_url` is the page, with a random token that only this process knows. `vnc="[HOST:]PORT"`
    has wayvnc listen there instead of on sockets in the session's directory, for VNC clients (an output
    each, on PORT, PORT+1, ...: `vnc_addresses`; wayvnc 0.5 asks no password). Hosts default to 127.0.0.1;
    port 0 picks a free one. Viewers only watch unless `control=True`: then the page has a control
    toggle, and while a person has control every Desktop on the session waits before each action
    (`person_has_control` tells).
    With `accessibility` (the default) the session also runs a D-Bus session bus and the AT-SPI
    accessibility bus (dbus-daemon and at-spi2-core's launcher, as the caller, with sockets only the
    caller can reach), and `env` has their addresses and the variables that turn GTK's, Qt's,
    Chromium's and Firefox's accessibility on, so that `Desktop.accessibility()` sees the session's
    applications. `accessibility=False` starts neither bus.
    """

    def __init__(self, outputs=((1920, 1080),), *, refresh=None, compositor: str = "sway",
                 keyboard_layout: str = "us", keyboard_variant: str = "", user: str | None = None,
                 timeout: float = 15.0, log_path: str | os.PathLike | None = None, debug_log: bool = False,
                 view: str | int | None = None, vnc: str | int | None = None, control: bool = False,
                 accessibility: bool = True, xwayland: bool = False):
        super().__init__()
        if isinstance(outputs, str):
            specs = _parse_output_list(outputs)
        else:
            specs = [(parse_size(f"{w}x{h}"), None) for w, h in outputs]
        if not specs:
            raise SessionError("a session needs at least one output")
        if len(specs) > MAX_OUTPUTS:
            raise SessionError(f"a session has at most {MAX_OUTPUTS} outputs ({len(specs)} asked for)")
        if refresh is None or isinstance(refresh, (int, float, str)):
            refresh = [refresh] * len(specs)
        refresh = list(refresh)
        if len(refresh) != len(specs):
            raise SessionError(f"{len(refresh)} refresh rates for {len(specs)} outputs")
        self._sizes = [size for size, _ in specs]
        self._rates = [parse_refresh(given if given is not None else default if default is not None
                                     else DEFAULT_REFRESH) for (_, given), default in zip(specs, refresh)]
        if compositor not in COMPOSITORS:
            raise SessionError(f"unknown compositor {compositor!r}; known: {', '.join(sorted(COMPOSITORS))}")
        if not (isinstance(timeout, (int, float)) and 0 < timeout < math.inf):
            raise SessionError(f"bad timeout {timeout!r}: expected a positive number of seconds")
        if xwayland and not COMPOSITORS[compositor].has_xwayland:
            raise SessionError(f"{compositor} sessions have no Xwayland; sway's have (xwayland=True)")
        self._compositor: Compositor = COMPOSITORS[compositor](self._sizes, self._rates, debug=debug_log,
                                                               xwayland=bool(xwayland))
        self._layout, self._variant = keyboard_layout, keyboard_variant
        self._user, self._timeout = user, timeout
        self._keep_log = Path(log_path) if log_path is not None else None
        self._base: Path | None = None
        self._dir: SessionDirectory | None = None
        self._holder: subprocess.Popen | None = None
        self._holder_output = b""
        self._user_name: str | None = None
        self._deadline = 0.0
        self._adopted: list[int] = []
        self._accessibility = bool(accessibility)
        self._buses: _accessibility.AccessibilityBuses | None = None
        self.log_path: str | None = None
        self.x_display: str | None = None
        self.compositor_pid: int | None = None
        self.ready_seconds: float | None = None
        self._view_options = dict(view=None if view is None else str(view), vnc=None if vnc is None else str(vnc),
                                  control=bool(control))
        if control and view is None and vnc is None:
            raise SessionError("taking control needs a viewer: give view or vnc as well")
        try:
            for kind in ("view", "vnc"):
                if self._view_options[kind] is not None:
                    parse_address(self._view_options[kind], kind)
        except ViewError as e:
            raise SessionError(str(e)) from None
        self._live: LiveView | None = None
        self.view_url: str | None = None
        self.vnc_addresses: list[tuple[str, int]] = []

    @property
    def compositor(self) -> str:
        return self._compositor.name

    @property
    def person_has_control(self) -> bool:
        """Whether a person watching the session has taken control."""
        return self._live is not None and self._live.person_has_control

    # -- life ----------------------------------------------------------------------

    def __enter__(self) -> "HeadlessSession":
        if self._base is None:
            self.start()
        return self

    def __exit__(self, *exc) -> None:
        self.close()

    def start(self) -> "HeadlessSession":
        if self._base is not None:
            raise SessionError("the session is already running")
        t0 = time.monotonic()
        try:
            self._start()
        except BaseException:
            self.close()
            raise
        self.ready_seconds = time.monotonic() - t0
        return self

    def close(self) -> None:
        """Stops every process of the session and removes its directory. Safe to call twice."""
        super().close()
        if self._live is not None:
            self._live.close()
        if self._buses is not None:
            for proc in self._buses.groups:
                _stop_group(proc, 3.0)
            self._buses = None
        for pgid in self._adopted:
            try:
                os.killpg(pgid, signal.SIGKILL)
            except (ProcessLookupError, PermissionError):
                pass
        self._adopted.clear()
        # The holder stops the compositor (its child), what is left of a dynamic user's processes,
        # and removes the directory.
        _stop_group(self._holder, 8.0)
        self._holder = None
        if self._dir is not None:
            os.close(self._dir.fd)
            self._dir = None
        if self._base is not None:
            _remove_tree(self._base)
            self._base = None
        self._holder_output = b""
        self.env = {}
        self.x_display = None

    # -- clients -------------------------------------------------------------------

    def adopt_group(self, pgid: int) -> None:
        """Makes a process group part of the session: stopped with it, and by the seat holder if this
        process is killed outright."""
        self._adopted.append(pgid)
        self._tell_holder(f"stop {pgid}")

    def log_tail(self, lines: int = 15) -> str:
        try:
            text = Path(self.log_path).read_text(errors="replace")
        except (OSError, TypeError):
            return ""
        return "\n".join(text.rstrip().splitlines()[-lines:])

    # -- start-up --------------------------------------------------------------------

    def _start(self) -> None:
        comp = self._compositor
        if shutil.which(comp.executable) is None:
            raise CompositorMissing(f"{comp.name} is not installed ({comp.install_hint})")
        if self._accessibility and (why := _accessibility.missing()):
            raise CompositorMissing(f"{why}; or start the session with accessibility=False")
        self._prepare(seat=True)
        if self._accessibility:
            # Started before the compositor, and waited for after it: the two start side by side.
            self._buses = _accessibility.AccessibilityBuses(self._base / _BUSES)
            self._tell_holder(f"stop {self._buses.start()}")
        if comp.xwayland:
            self._write_x_authority()
        if comp.xwayland and os.geteuid() == 0 and not os.path.isdir("/tmp/.X11-unix"):
            # The compositor's account would make it its own, and no other account's X server could
            # then put its socket there; made here, it is root's and open to all, as systemd makes it.
            with contextlib.suppress(FileExistsError):
                os.mkdir("/tmp/.X11-unix")
                os.chmod("/tmp/.X11-unix", 0o1777)
        self._launch_compositor()
        if self._buses is not None:
            try:
                self._tell_holder(f"stop {self._buses.launch(self._deadline)}")
            except _accessibility.AccessibilityError as e:
                raise SessionError(str(e)) from None
        self.outputs = self._arrange(self._holder_report()["outputs"])
        if comp.holder_shares_cpu:
            # Only once ready: the two start faster on two CPUs. The compositor's main thread is the
            # one that serves clients.
            cpu = _shared_cpu()
            _pin(self.compositor_pid, cpu)
            _pin(self._holder.pid, cpu)
        runtime = Path(self.runtime_dir)
        buses = {}
        if self._buses is not None:
            try:
                buses = self._buses.wait(self._deadline)
            except _accessibility.AccessibilityError as e:
                raise SessionError(str(e)) from None
        self.env = {"WAYLAND_DISPLAY": self.display, "XDG_RUNTIME_DIR": self.runtime_dir,
                    **comp.client_environment(runtime), **buses, SESSION_VARIABLE: self.socket}
        if comp.xwayland:
            self.x_display = self.env["DISPLAY"] = self._find_x_display()
            self.env["XAUTHORITY"] = str(comp.x_authority(self._base))
        if self._view_options["view"] is not None or self._view_options["vnc"] is not None:
            self._start_view()

    def _start_view(self) -> None:
        # The directory is the caller's alone, beside the compositor account's run/ and home/ in a
        # directory the account cannot write to.
        self._live = LiveView(self, self._base / "view", **self._view_options)
        try:
            self._live.start(time.monotonic() + self._timeout, "-".join(filter(None, (self._layout, self._variant))))
        except ViewError as e:
            raise SessionError(str(e)) from None
        self.view_url, self.vnc_addresses = self._live.url, self._live.vnc_addresses
        if self._live.control_path:
            self.env[CONTROL_VARIABLE] = self._live.control_path

    def _prepare(self, seat: bool) -> None:
        """Starts the seat holder, which makes the session's directory and account before anything
        else exists, so that it can clean up after this process whenever that dies."""
        comp = self._compositor
        _require_holder()
        account, self._user_name = _account(self._user)
        parent = _session_parent()
        clients = _ROOT_RUNTIME if os.geteuid() == 0 else _RUNTIME
        socket = f"{parent}/pravlin-session-XXXXXX/{clients}/{comp.socket_name()}"
        if len(socket) > _SUN_PATH_MAX:
            raise SessionError(f"the session's socket path would be too long for a Unix socket: {socket}")
        self._deadline = time.monotonic() + self._timeout
        seat_args = []
        if seat:
            seat_args = ["--socket", f"{_RUNTIME}/{comp.socket_name()}", "--outputs", str(len(self._sizes)),
                         "--layout", self._layout, "--variant", self._variant,
                         *comp.holder_arguments(Path(_RUNTIME))]
        holder_env = {"PATH": os.environ.get("PATH", "/usr/bin:/bin"), "LANG": "C.UTF-8"}
        if "XKB_CONFIG_ROOT" in os.environ:
            holder_env["XKB_CONFIG_ROOT"] = os.environ["XKB_CONFIG_ROOT"]
        self._holder = subprocess.Popen(
            [str(HOLDER), "--session-in", parent, *account, *seat_args,
             "--timeout-ms", str(max(int(self._timeout * 1000), 1))],
            env=holder_env, stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
            start_new_session=True)
        made = self._holder_report()
        self._base = base = Path(made["directory"])
        # Everything written there goes through this descriptor, of the directory the holder made:
        # no one but root and this process's account can make a directory of theirs, or move one in
        # (_session_parent).
        fd = os.open(base, os.O_RDONLY | os.O_DIRECTORY | os.O_NOFOLLOW | os.O_CLOEXEC)
        self._dir = SessionDirectory(base, fd)
        owner = os.fstat(fd).st_uid
        if owner != os.geteuid():
            raise SessionError(f"the session's directory {base} belongs to user id {owner}, not to this process's")
        self._uid, self._gid = made["uid"], made["gid"]
        self._user_name = self._user_name or f"user id {self._uid}"
        runtime = base / clients
        self.runtime_dir, self.display = str(runtime), comp.socket_name()
        self.socket = str(runtime / comp.socket_name())

    def _launch_compositor(self) -> int:
        """Has the holder start the compositor in the prepared directory, as the session's account;
        returns its pid."""
        comp, base = self._compositor, self._base
        runtime = base / _RUNTIME
        argv = comp.write_config(self._dir)
        env = {
            "PATH": os.environ.get("PATH", "/usr/bin:/bin"),
            "LANG": "C.UTF-8",
            "HOME": str(base / "home"),
            "XDG_RUNTIME_DIR": str(runtime),
            **comp.environment(runtime),
        }
        if self._keep_log is None:
            path = self._dir.write("compositor.log", b"")
        else:
            path = Path(os.path.abspath(self._keep_log))
            try:
                path.open("wb").close()
            except OSError as e:
                raise SessionError(f"cannot write the compositor's log to {path}: {e.strerror}") from None
        self.log_path = str(path)
        fields = [str(path), *argv, "", *(f"{k}={v}" for k, v in env.items())]
        self._dir.write("compositor.exec", b"".join(os.fsencode(f) + b"\0" for f in fields), 0o600)
        self._tell_holder("start")
        self.compositor_pid = self._holder_report()["compositor"]
        return self.compositor_pid

    def _write_x_authority(self) -> None:
        """The cookie Xwayland asks its clients for. Xwayland admits, without one, only programs of its
        own account, and only when the account has a name (a session's own user id has none). The file
        (Xauthority format: one entry for any display) is this process's, readable by the compositor's
        group too, and by no other account."""
        path = self._compositor.x_authority(self._base)
        name = b"MIT-MAGIC-COOKIE-1"
        entry = b"".join(len(f).to_bytes(2, "big") + f for f in (b"", b"", name, secrets.token_bytes(16)))
        fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o400)
        try:
            os.write(fd, (0xFFFF).to_bytes(2, "big") + entry)
            if os.geteuid() != self._uid:
                os.fchown(fd, -1, self._gid)
                os.fchmod(fd, 0o440)
        finally:
            os.close(fd)

    def _find_x_display(self) -> str:
        """The X display the compositor took for Xwayland (it binds the display's sockets at start-up;
        the server itself starts with the first X11 client), as sway's environment names it."""
        told = self._base / _RUNTIME / "x-display"
        self.swaymsg("exec", f"echo $DISPLAY > {told}.new && mv {told}.new {told}")
        while True:
            # The compositor's account writes the file: it is read without following a link, and
            # what it holds is shown only when it is a display's name.
            with contextlib.suppress(OSError):
                fd = os.open(told, os.O_RDONLY | os.O_NOFOLLOW | os.O_NONBLOCK | os.O_CLOEXEC)
                try:
                    display = os.read(fd, 64).decode(errors="replace").strip()
                finally:
                    os.close(fd)
                if re.fullmatch(r":\d+", display):
                    return display
                raise self._failure(f"{self.compositor} has no X display for Xwayland")
            if time.monotonic() > self._deadline:
                raise self._failure(f"{self.compositor} did not tell its X display")
            time.sleep(0.005)

    def _tell_holder(self, line: str) -> None:
        if self._holder is not None and self._holder.stdin is not None:
            try:
                self._holder.stdin.write(f"{line}\n".encode())
                self._holder.stdin.flush()
            except OSError:
                pass

    def _holder_report(self) -> dict:
        """The holder's next line of JSON; SessionError if the holder or the compositor dies, or the
        time runs out, first."""
        comp = self._compositor
        what = "ready" if self._base is not None else "prepared"
        sel = selectors.DefaultSelector()
        holder = os.pidfd_open(self._holder.pid)
        try:
            sel.register(self._holder.stdout, selectors.EVENT_READ, "line")
            sel.register(holder, selectors.EVENT_READ, "holder")
            while b"\n" not in self._holder_output:
                left = self._deadline - time.monotonic()
                events = sel.select(max(left, 0)) if left > 0 else []
                if not events:
                    raise self._failure(f"{comp.name} was not {what} within {self._timeout:g} s")
                for key, _ in events:
                    if key.data == "line":
                        chunk = os.read(self._holder.stdout.fileno(), 65536)
                        self._holder_output += chunk
                        if not chunk:
                            sel.unregister(self._holder.stdout)
                    elif b"\n" not in self._holder_output:
                        # Before there is a directory to guard, the holder gives up by exiting.
                        status = self._holder.wait()
                        lines = self._holder.stderr.read().decode(errors="replace").strip().splitlines()
                        reason = lines[-1].removeprefix("pravlin-seat-holder: ") if lines else ""
                        raise SessionError(f"the seat holder could not prepare the session (status {status}): "
                                           f"{reason or 'no reason given'}")
        finally:
            sel.close()
            os.close(holder)
        line, _, self._holder_output = self._holder_output.partition(b"\n")
        report = json.loads(line.decode(errors="surrogateescape"))
        if "exited" in report:
            raise self._failure(f"{comp.name} (as {self._user_name}) exited with status {report['exited']} "
                                "while starting")
        if "error" in report:
            raise SessionError(f"the seat holder could not take the seat: {report['error']}")
        return report

    def _failure(self, what: str) -> SessionError:
        # What wlroots says on every headless start would read as the cause of any failure.
        tail = "\n".join(line for line in self.log_tail(40).splitlines()
                         if not any(notice in line for notice in _START_NOTICES))
        tail = "\n".join(tail.splitlines()[-15:])
        if not tail:
            return SessionError(what)
        return SessionError(f"{what}; its log ends:\n" + "\n".join("  " + line for line in tail.splitlines()))

    def _arrange(self, reported: list[dict]) -> tuple[Output, ...]:
        """The reported outputs in the order their sizes were asked for, checked against those sizes
        and rates."""
        by_name = {o["name"]: o for o in reported}
        arranged = []
        for name, (width, height), rate in zip(self._compositor.output_names(), self._sizes, self._rates):
            o = by_name.get(name)
            if o is None:
                raise self._failure(f"{self.compositor} has no output {name} "
                                    f"(it has {', '.join(sorted(by_name)) or 'none'})")
            output = _output(o)
            if (output.width, output.height) != (width, height):
                raise self._failure(f"{name} came up at {output.width}x{output.height}, not {width}x{height}")
            if abs(output.refresh - rate) > 0.01:
                raise self._failure(f"{name} came up at {output.refresh:g} Hz, not {rate:g} Hz")
            arranged.append(output)
        return tuple(arranged)
