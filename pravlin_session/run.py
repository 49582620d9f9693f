"""pravlin-run: run a command inside a private headless Wayland session, in the spirit of xvfb-run.

    pravlin-run [options] -- COMMAND [ARGS...]

The command gets WAYLAND_DISPLAY, XDG_RUNTIME_DIR and (on sway) SWAYSOCK pointing at the session, and
pravlin-run exits with its status (128 + N when a signal N ended it). pravlin-run's own failures
exit with 125, a command that cannot be run with 126 or 127, as with env(1) and timeout(1).
"""

from __future__ import annotations

import argparse
import ctypes
import errno
import os
import shutil
import signal
import subprocess
import sys

from ._compositors import COMPOSITORS
from ._session import MAX_OUTPUTS, SESSION_VARIABLE, HeadlessSession, SessionError

FAILED, CANNOT_RUN, NOT_FOUND = 125, 126, 127
STOP_SIGNALS = (signal.SIGINT, signal.SIGTERM, signal.SIGHUP)
# How long the command may take to go after a stop signal was passed on to it.
GRACE_SECONDS = 10.0
PR_SET_PDEATHSIG = 1

EPILOG = f"""\
The command gets WAYLAND_DISPLAY, XDG_RUNTIME_DIR, SWAYSOCK (sway only) and {SESSION_VARIABLE} (the
session's socket, which pravlin's pytest plugin uses instead of starting a session of its own), and,
unless --no-accessibility, DBUS_SESSION_BUS_ADDRESS, AT_SPI_BUS_ADDRESS and the variables that turn
GTK's, Qt's, Chromium's and Firefox's accessibility on;
DISPLAY and WAYLAND_SOCKET are removed. Outputs sit side by side, left to right; at most {MAX_OUTPUTS}.

exit status:
  N        the command's
  128+N    the command was ended by signal N (or pravlin-run was, before the command started)
  125      pravlin-run itself failed: a bad option, or the session could not start (one line says why)
  126      the command was found but cannot be run
  127      the command was not found

examples:
  pravlin-run -- python3 my_script.py
  pravlin-run -o 1920x1080 -o 1280x720@144 -- pytest tests
  pravlin-run -e sway.log --debug-log -- ./agent
  pravlin-run --view 6080 --control -- ./agent
"""


class _Parser(argparse.ArgumentParser):
    def error(self, message):
        # A usage error is one of pravlin-run's own failures: one line, status 125.
        self.exit(FAILED, f"{self.prog}: {message} (see {self.prog} --help)\n")


class _Stopped(BaseException):
    def __init__(self, signum: int):
        super().__init__(signum)
        self.signum = signum


def _raise_stopped(signum, frame):
    raise _Stopped(signum)


def _version() -> str:
    from importlib.metadata import PackageNotFoundError, version

    try:
        return version("pravlin")
    except PackageNotFoundError:
        return "unknown"


def _parser() -> argparse.ArgumentParser:
    p = _Parser(prog="pravlin-run", description=__doc__.split("\n\n")[0],
                usage="%(prog)s [options] -- COMMAND [ARGS...]", epilog=EPILOG,
                formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("-o", "--output", metavar="WxH[@HZ]", action="append", type=str,
                   help="add an output of this size, and refresh rate (repeat for more; default one 1920x1080)")
    p.add_argument("-r", "--refresh", metavar="HZ", default=None,
                   help="refresh rate of every output given without @HZ (default: 60)")
    p.add_argument("-c", "--compositor", choices=sorted(COMPOSITORS), default="sway",
                   help="the compositor to run (default: sway)")
    p.add_argument("-l", "--keyboard-layout", metavar="LAYOUT", default="us",
                   help="xkb layout of the seat's keyboard (default: us)")
    p.add_argument("--keyboard-variant", metavar="VARIANT", default="", help="xkb variant of that layout")
    p.add_argument("-x", "--xwayland", action="store_true",
                   help="run X11 programs too: Xwayland, started by the first one, and DISPLAY (sway only)")
    p.add_argument("-u", "--user", help="unprivileged user to run the compositor as when started by root "
                                        "(default: a user id of the session's own)")
    p.add_argument("-e", "--error-file", metavar="FILE",
                   help="keep the compositor's log in FILE (it is removed with the session otherwise)")
    p.add_argument("--debug-log", action="store_true",
                   help="have the compositor write its debug log (sway -d; phoc's GLib debug messages)")
    p.add_argument("--view", metavar="[HOST:]PORT",
                   help="serve the session's screen to a browser on this address (host 127.0.0.1 unless given; "
                        "port 0 picks one); the page's URL, with its token, is printed on standard error")
    p.add_argument("--vnc", metavar="[HOST:]PORT",
                   help="serve VNC clients on this address, an output per port from PORT up (wayvnc 0.5 "
                        "asks no password: any local account can connect)")
    p.add_argument("--control", action="store_true",
                   help="let the viewer take control: the page gets a control toggle, and while a person has "
                        "control, pravlin's Desktops wait before each action (view only without this)")
    p.add_argument("--no-accessibility", action="store_true",
                   help="start no D-Bus session bus and accessibility bus (AT-SPI) with the session")
    p.add_argument("-t", "--timeout", type=float, default=15.0, metavar="SECONDS",
                   help="how long the session may take to be ready (default: 15)")
    p.add_argument("--version", action="version", version=f"%(prog)s {_version()}")
    p.add_argument("command", nargs=argparse.REMAINDER, help="the command and its arguments, after --")
    return p


def _say(message: str) -> None:
    first, _, rest = message.partition("\n")
    print(f"pravlin-run: {first}" + (f"\n{rest}" if rest else ""), file=sys.stderr, flush=True)


class _Foreground:
    """Hands the terminal to the command's process group while it runs, as a shell does for a job,
    so that Ctrl-C and Ctrl-Z reach the command and not pravlin-run. It acts only while one of the
    two groups holds the terminal: a job the shell has put in the background (bg) leaves the
    terminal to the shell."""

    def __init__(self):
        self.fd = 0 if os.isatty(0) else None

    def give(self, pgid: int) -> None:
        """To the command, when pravlin-run is in the foreground."""
        if self._holder() == os.getpgrp():
            self._set(pgid)

    def take_back(self, pgid: int) -> None:
        """From the command, when it has the terminal."""
        if self._holder() == pgid:
            self._set(os.getpgrp())

    def _holder(self) -> int | None:
        try:
            return None if self.fd is None else os.tcgetpgrp(self.fd)
        except OSError:  # not our controlling terminal
            return None

    def _set(self, pgid: int) -> None:
        # A background group changing the terminal's foreground group would be stopped by SIGTTOU.
        old = signal.signal(signal.SIGTTOU, signal.SIG_IGN)
        try:
            os.tcsetpgrp(self.fd, pgid)
        except OSError:
            pass
        finally:
            signal.signal(signal.SIGTTOU, old)


def _command_dies_with_us(launcher: int):
    """For the command, before it starts: until the holder has been told of the command's group,
    nothing else would stop the command were pravlin-run killed outright."""

    libc = ctypes.CDLL(None)

    def arrange():
        libc.prctl(PR_SET_PDEATHSIG, signal.SIGTERM)
        if os.getppid() != launcher:  # killed already
            os._exit(128 + signal.SIGTERM)

    return arrange


def _run_command(argv: list[str], session: HeadlessSession) -> int:
    """Runs the command in a process group of its own; returns the status pravlin-run exits with."""
    terminal = _Foreground()
    env = session.environ()
    # pravlin-run has one thread, which the death signal is tied to and which makes preexec_fn safe.
    start = dict(env=env, process_group=0, preexec_fn=_command_dies_with_us(os.getpid()))
    try:
        try:
            proc = subprocess.Popen(argv, **start)
        except OSError as e:
            if e.errno != errno.ENOEXEC:
                raise
            # execvp's rule, which env(1) follows: a file the kernel cannot run is a shell script.
            path = argv[0] if "/" in argv[0] else shutil.which(argv[0], path=env.get("PATH"))
            proc = subprocess.Popen(["/bin/sh", path or argv[0], *argv[1:]], **start)
    except OSError as e:
        if e.errno == errno.ENOENT and "/" not in argv[0]:
            _say(f"{argv[0]}: command not found")
        else:
            _say(f"{argv[0]}: {e.strerror}")
        return NOT_FOUND if e.errno == errno.ENOENT else CANNOT_RUN
    session.adopt_group(proc.pid)

    def pass_on(signum, frame):
        try:
            os.killpg(proc.pid, signum)
        except ProcessLookupError:
            pass
        # The first stop signal starts the grace period; later ones leave it running.
        remaining = signal.alarm(0)
        signal.alarm(remaining or int(GRACE_SECONDS))

    def out_of_patience(signum, frame):
        try:
            os.killpg(proc.pid, signal.SIGKILL)
        except ProcessLookupError:
            pass

    def resume(signum=None, frame=None):
        # The shell's fg or bg continues pravlin-run's group; the command's follows, with the
        # terminal when pravlin-run is in the foreground. At the start, the command may have met the
        # terminal before it was handed over, and been stopped for it.
        terminal.give(proc.pid)
        try:
            os.killpg(proc.pid, signal.SIGCONT)
        except ProcessLookupError:
            pass

    for sig in STOP_SIGNALS:
        signal.signal(sig, pass_on)
    signal.signal(signal.SIGALRM, out_of_patience)
    signal.signal(signal.SIGCONT, resume)
    resume()
    try:
        while True:
            _, status = os.waitpid(proc.pid, os.WUNTRACED)
            if not os.WIFSTOPPED(status):
                break
            # Ctrl-Z, or a read of the terminal in the background: stop with the command, as a job
            # would, until the shell continues pravlin-run.
            terminal.take_back(proc.pid)
            os.kill(os.getpid(), signal.SIGSTOP)
    finally:
        signal.alarm(0)
        signal.signal(signal.SIGCONT, signal.SIG_DFL)
        terminal.take_back(proc.pid)
        # Whatever the command left behind in its group goes with it.
        try:
            os.killpg(proc.pid, signal.SIGKILL)
        except ProcessLookupError:
            pass
    # Reaped above: Popen must not wait for it again.
    proc.returncode = os.waitstatus_to_exitcode(status)
    return 128 - proc.returncode if proc.returncode < 0 else proc.returncode


def main(argv: list[str] | None = None) -> int:
    parser = _parser()
    args = parser.parse_args(argv)
    command = args.command[1:] if args.command[:1] == ["--"] else args.command
    if not command:
        parser.error("no command given (pravlin-run [options] -- COMMAND [ARGS...])")

    for sig in STOP_SIGNALS:
        signal.signal(sig, _raise_stopped)
    session = None
    try:
        session = HeadlessSession(",".join(args.output or ["1920x1080"]), refresh=args.refresh,
                                  compositor=args.compositor, keyboard_layout=args.keyboard_layout,
                                  keyboard_variant=args.keyboard_variant, user=args.user,
                                  timeout=args.timeout, log_path=args.error_file, debug_log=args.debug_log,
                                  view=args.view, vnc=args.vnc, control=args.control,
                                  accessibility=not args.no_accessibility, xwayland=args.xwayland)
        session.start()
        if session.view_url:
            _say(f"watch the session at {session.view_url}")
        for host, port in session.vnc_addresses:
            _say(f"VNC on {host}:{port}")
        # From here on a stop signal is the command's to handle; the session outlives it.
        return _run_command(command, session)
    except SessionError as e:
        _say(str(e))
        return FAILED
    except Exception as e:  # a fault of pravlin-run's own: still one line, and its status
        _say(f"unexpected failure: {type(e).__name__}: {e}")
        return FAILED
    except _Stopped as e:
        return 128 + e.signum
    except KeyboardInterrupt:
        return 128 + signal.SIGINT
    finally:
        for sig in (*STOP_SIGNALS, signal.SIGALRM):
            signal.signal(sig, signal.SIG_IGN)
        if session is not None:
            session.close()


if __name__ == "__main__":
    sys.exit(main())
