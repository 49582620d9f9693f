"""One headless session: a compositor with its outputs, and the seat holder."""

from __future__ import annotations

import itertools
import json
import os
import pwd
import selectors
import shutil
import signal
import subprocess
import tempfile
import time
from dataclasses import dataclass
from pathlib import Path

from ._compositors import COMPOSITORS, Compositor

HOLDER = Path(__file__).resolve().with_name("pravlin-seat-holder")
MAX_SIDE = 16384
# sockaddr_un.sun_path holds 108 bytes with the terminating NUL.
_SUN_PATH_MAX = 107
_RUNTIME = "run"  # the runtime directory's name inside a session's directory
_sessions_started = itertools.count()


class SessionError(RuntimeError):
    """A session could not be started. The first line of the message says why; a failed compositor's
    log tail may follow."""


class CompositorMissing(SessionError):
    """The compositor (or a tool the session needs) is not installed."""


@dataclass(frozen=True)
class Output:
    name: str
    width: int
    height: int
    x: int = 0
    y: int = 0


def parse_size(text: str) -> tuple[int, int]:
    """'1920x1080' -> (1920, 1080); SessionError for anything else."""
    width, sep, height = text.strip().lower().partition("x")
    if sep and width.isdigit() and height.isdigit():
        size = int(width), int(height)
        if all(1 <= side <= MAX_SIDE for side in size):
            return size
    raise SessionError(f"bad output size {text!r}: expected WIDTHxHEIGHT, each from 1 to {MAX_SIDE}")


def parse_outputs(text: str) -> list[tuple[int, int]]:
    """'1920x1080,1280x720' -> [(1920, 1080), (1280, 720)]."""
    return [parse_size(part) for part in text.split(",")]


def _stop_group(proc: subprocess.Popen | None, grace: float) -> None:
    """SIGTERM the process group `proc` leads, SIGKILL whatever is left after `grace` seconds."""
    if proc is None:
        return
    for sig, wait in ((signal.SIGTERM, grace), (signal.SIGKILL, 5.0)):
        try:
            os.killpg(proc.pid, sig)
        except (ProcessLookupError, PermissionError):
            pass
        try:
            proc.wait(wait)
            break
        except subprocess.TimeoutExpired:
            continue
    # Members that outlive the leader still carry its group.
    try:
        os.killpg(proc.pid, signal.SIGKILL)
    except (ProcessLookupError, PermissionError):
        pass
    for stream in (proc.stdin, proc.stdout, proc.stderr):
        if stream:
            stream.close()


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


def account(user: str | None) -> tuple[int, int, str]:
    """uid, gid and name the compositor runs as."""
    if os.geteuid() != 0:
        me = pwd.getpwuid(os.geteuid())
        if user not in (None, me.pw_name):
            raise SessionError(f"only root can run the compositor as another user (asked for {user!r})")
        return me.pw_uid, os.getegid(), me.pw_name
    name = user or "nobody"
    try:
        entry = pwd.getpwnam(name)
    except KeyError:
        raise SessionError(f"running as root, but there is no user {name!r} to run the compositor as "
                           "(it refuses root); name an unprivileged user") from None
    if entry.pw_uid == 0:
        raise SessionError(f"user {name!r} is root; the compositor must run as an unprivileged user")
    return entry.pw_uid, entry.pw_gid, name


def session_directory(prefix: str = "pravlin-session-") -> Path:
    """A fresh directory for a session, under the temporary directory unless that path is too long
    for the socket inside it."""
    root = Path(tempfile.gettempdir())
    if len(str(root)) > 60:  # keep the socket path well inside sun_path
        root = Path("/tmp")
    base = Path(tempfile.mkdtemp(prefix=prefix, dir=root))
    # Root's directory: the compositor's user only needs to pass through it.
    base.chmod(0o711)
    return base


def start_compositor(comp: Compositor, base: Path, uid: int, gid: int, log) -> subprocess.Popen:
    """Starts `comp` in the session directory `base`, as uid/gid, writing to `log`: its runtime
    directory (base/run) and home (base/home) are made here, its configuration written, and it leads
    a process group of its own."""
    runtime, home = base / _RUNTIME, base / "home"
    for d in (runtime, home):
        d.mkdir(mode=0o700)
        os.chown(d, uid, gid)
    argv = comp.write_config(base)
    env = {
        "PATH": os.environ.get("PATH", "/usr/bin:/bin"),
        "LANG": "C.UTF-8",
        "HOME": str(home),
        "XDG_RUNTIME_DIR": str(runtime),
        **comp.environment(runtime),
    }
    privileges = [] if os.geteuid() != 0 else [f"--reuid={uid}", f"--regid={gid}", "--clear-groups"]
    # The parent-death signal ends the compositor with its starter even when that is killed outright.
    return subprocess.Popen(["setpriv", *privileges, "--pdeathsig", "TERM", "--", *argv], env=env,
                            cwd=str(home), stdin=subprocess.DEVNULL, stdout=log, stderr=subprocess.STDOUT,
                            start_new_session=True)


class _Display:
    """What a test or a program needs of a display: where it is, and how to start clients there."""

    display: str | None = None
    socket: str | None = None
    runtime_dir: str | None = None
    outputs: tuple[Output, ...] = ()

    def __init__(self):
        self.env: dict[str, str] = {}
        self._clients: list[subprocess.Popen] = []

    def environ(self) -> dict[str, str]:
        """os.environ pointed at this display (and away from any other)."""
        env = {k: v for k, v in os.environ.items() if k not in ("WAYLAND_SOCKET", "DISPLAY", "SWAYSOCK")}
        env.update(self.env)
        return env

    def spawn(self, argv, **popen_kwargs) -> subprocess.Popen:
        """Starts a client in a process group of its own, stopped (the whole group) on close. An `env`
        given here is layered over `environ()`."""
        if not self.env:
            raise SessionError("the session is not running")
        popen_kwargs["env"] = {**self.environ(), **popen_kwargs.get("env", {})}
        popen_kwargs.setdefault("start_new_session", True)
        proc = subprocess.Popen(argv, **popen_kwargs)
        self._clients.append(proc)
        if os.getpgid(proc.pid) == proc.pid:
            self.adopt_group(proc.pid)
        return proc

    def adopt_group(self, pgid: int) -> None:
        """Makes a process group part of the session."""

    def swaymsg(self, *args: str, timeout: float = 10.0) -> str:
        """Runs swaymsg against this display's sway and returns its output."""
        if "SWAYSOCK" not in self.env:
            raise SessionError("this display has no sway IPC")
        res = subprocess.run(["swaymsg", "-s", self.env["SWAYSOCK"], *args], env=self.environ(),
                             capture_output=True, text=True, timeout=timeout)
        if res.returncode != 0:
            raise SessionError(f"swaymsg {' '.join(args)} failed ({res.returncode}): "
                               f"{(res.stdout + res.stderr).strip()}")
        return res.stdout

    def close(self) -> None:
        for proc in self._clients:
            _stop_group(proc, 3.0)
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
        res = subprocess.run([str(HOLDER), "--socket", self.socket, "--probe"], capture_output=True,
                             text=True, timeout=30)
        if res.returncode != 0:
            raise SessionError(f"cannot use the Wayland display {name}: {res.stderr.strip()}")
        self.outputs = tuple(Output(o["name"], o["width"], o["height"])
                             for o in json.loads(res.stdout)["outputs"])


class HeadlessSession(_Display):
    """A private headless Wayland session, ready when entered::

        with HeadlessSession([(1920, 1080)]) as session:
            Pravlin(session.socket).screenshot()
            session.spawn(["foot"])

    It runs the compositor (sway, or phoc with `compositor="phoc"`: pixman renderer, no Xwayland, one
    output per size, laid out left to right) in its own directory, as an unprivileged user when started
    by root, with the seat holder keeping a virtual keyboard and pointer on the seat. Once ready, the
    compositor and the holder share one CPU. Leaving the block stops everything it started and removes
    its directory; if this process is killed outright, the holder does that. (The compositor also has a
    parent-death signal, which Linux ties to the thread that started it: start a session from a thread
    that outlives it.)

    Once started: `display` and `socket` (the Wayland socket's name and absolute path), `runtime_dir`,
    `env` (the variables that point a client here), `outputs` (name, size and position of each output),
    `compositor_pid`, `log_path` and `ready_seconds`.
    """

    def __init__(self, outputs=((1920, 1080),), *, compositor: str = "sway", keyboard_layout: str = "us",
                 keyboard_variant: str = "", user: str | None = None, timeout: float = 15.0,
                 log_path: str | os.PathLike | None = None):
        super().__init__()
        if isinstance(outputs, str):
            outputs = parse_outputs(outputs)
        self._sizes = [parse_size(f"{w}x{h}") for w, h in outputs]
        if not self._sizes:
            raise SessionError("a session needs at least one output")
        if compositor not in COMPOSITORS:
            raise SessionError(f"unknown compositor {compositor!r}; known: {', '.join(sorted(COMPOSITORS))}")
        self._compositor: Compositor = COMPOSITORS[compositor](self._sizes)
        self._layout, self._variant = keyboard_layout, keyboard_variant
        self._user, self._timeout = user, timeout
        self._keep_log = Path(log_path) if log_path is not None else None
        self._base: Path | None = None
        self._compositor_proc: subprocess.Popen | None = None
        self._holder: subprocess.Popen | None = None
        self._adopted: list[int] = []
        self.log_path: str | None = None
        self.compositor_pid: int | None = None
        self.ready_seconds: float | None = None

    @property
    def compositor(self) -> str:
        return self._compositor.name

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
        for pgid in self._adopted:
            try:
                os.killpg(pgid, signal.SIGKILL)
            except (ProcessLookupError, PermissionError):
                pass
        self._adopted.clear()
        _stop_group(self._holder, 3.0)
        self._holder = None
        # sway loses a SIGTERM that arrives before its event loop runs: a session that never became
        # ready gets little grace.
        _stop_group(self._compositor_proc, 5.0 if self.ready_seconds is not None else 0.5)
        self._compositor_proc = None
        if self._base is not None:
            shutil.rmtree(self._base, ignore_errors=True)
            self._base = None

    # -- clients -------------------------------------------------------------------

    def adopt_group(self, pgid: int) -> None:
        """Makes a process group part of the session: stopped with it, and by the seat holder if this
        process is killed outright."""
        self._adopted.append(pgid)
        if self._holder is not None and self._holder.stdin is not None:
            try:
                self._holder.stdin.write(f"stop {pgid}\n".encode())
                self._holder.stdin.flush()
            except OSError:
                pass

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
        if shutil.which("setpriv") is None:
            raise CompositorMissing("setpriv is not installed (on Debian or Ubuntu: apt-get install util-linux)")
        if not HOLDER.exists():
            raise SessionError(f"the seat holder is missing: {HOLDER} (reinstall pravlin)")
        uid, gid, user = account(self._user)

        self._base = base = session_directory()
        runtime = base / _RUNTIME
        socket = runtime / comp.socket_name()
        if len(str(socket)) > _SUN_PATH_MAX:
            raise SessionError(f"the session's socket path would be too long for a Unix socket: {socket}")
        self.runtime_dir, self.display, self.socket = str(runtime), comp.socket_name(), str(socket)
        self.log_path = str(self._keep_log or base / "compositor.log")
        with open(self.log_path, "wb") as log:
            self._compositor_proc = start_compositor(comp, base, uid, gid, log)
        self.compositor_pid = self._compositor_proc.pid

        holder_env = {"PATH": os.environ.get("PATH", "/usr/bin:/bin"), "LANG": "C.UTF-8"}
        if "XKB_CONFIG_ROOT" in os.environ:
            holder_env["XKB_CONFIG_ROOT"] = os.environ["XKB_CONFIG_ROOT"]
        self._holder = subprocess.Popen(
            [str(HOLDER), "--socket", str(socket), "--outputs", str(len(self._sizes)),
             "--layout", self._layout, "--variant", self._variant, *comp.holder_arguments(runtime),
             "--cleanup", str(base), "--kill-group", str(self.compositor_pid)],
            env=holder_env, stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
            start_new_session=True)
        self.outputs = self._arrange(self._wait_ready(user))
        if comp.holder_shares_cpu:
            # Only once ready: the two start faster on two CPUs. The compositor's main thread is the
            # one that serves clients.
            cpu = _shared_cpu()
            _pin(self.compositor_pid, cpu)
            _pin(self._holder.pid, cpu)
        self.env = {"WAYLAND_DISPLAY": self.display, "XDG_RUNTIME_DIR": self.runtime_dir,
                    **comp.client_environment(runtime)}

    def _wait_ready(self, user: str) -> list[dict]:
        """The holder's report of the outputs, once it has the seat; SessionError if anything dies or
        the time runs out first."""
        comp = self._compositor
        deadline = time.monotonic() + self._timeout
        sel = selectors.DefaultSelector()
        comp_fd = os.pidfd_open(self._compositor_proc.pid)
        holder_fd = os.pidfd_open(self._holder.pid)
        try:
            sel.register(self._holder.stdout, selectors.EVENT_READ, "line")
            sel.register(comp_fd, selectors.EVENT_READ, "compositor")
            sel.register(holder_fd, selectors.EVENT_READ, "holder")
            while True:
                left = deadline - time.monotonic()
                events = sel.select(max(left, 0)) if left > 0 else []
                if not events:
                    raise self._failure(f"{comp.name} was not ready within {self._timeout:g} s")
                for key, _ in events:
                    if key.data == "line":
                        line = self._holder.stdout.readline()
                        if line:
                            return json.loads(line)["outputs"]
                        sel.unregister(self._holder.stdout)
                    elif key.data == "compositor":
                        status = self._compositor_proc.wait()
                        raise self._failure(f"{comp.name} (as {user}) exited with status {status} while starting")
                    else:
                        status = self._holder.wait()
                        # The holder's reason names the compositor's shortcoming (a missing global, an
                        # output that never came); if the compositor died meanwhile, that is the news.
                        if self._compositor_proc.poll() is not None:
                            raise self._failure(f"{comp.name} (as {user}) exited with status "
                                                f"{self._compositor_proc.returncode} while starting")
                        lines = self._holder.stderr.read().decode(errors="replace").strip().splitlines()
                        reason = lines[-1].removeprefix("pravlin-seat-holder: ") if lines else ""
                        raise SessionError(f"the seat holder could not take the seat (status {status}): "
                                           f"{reason or 'no reason given'}")
        finally:
            sel.close()
            os.close(comp_fd)
            os.close(holder_fd)

    def _failure(self, what: str) -> SessionError:
        tail = self.log_tail()
        if not tail:
            return SessionError(what)
        return SessionError(f"{what}; its log ends:\n" + "\n".join("  " + line for line in tail.splitlines()))

    def _arrange(self, reported: list[dict]) -> tuple[Output, ...]:
        """The reported outputs in the order their sizes were asked for, checked against those sizes."""
        by_name = {o["name"]: o for o in reported}
        arranged = []
        comp = self._compositor
        for name, (width, height), (x, y) in zip(comp.output_names(), self._sizes, comp.positions()):
            o = by_name.get(name)
            if o is None:
                raise self._failure(f"{self.compositor} has no output {name} "
                                    f"(it has {', '.join(sorted(by_name)) or 'none'})")
            if (o["width"], o["height"]) != (width, height):
                raise self._failure(f"{name} came up at {o['width']}x{o['height']}, not {width}x{height}")
            arranged.append(Output(name, width, height, x, y))
        return tuple(arranged)
