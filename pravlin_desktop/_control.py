"""Whether a person watching the session (pravlin-run --view --control) has taken control of it: the
first byte of the session's control file, which a Desktop maps and reads before each action."""

from __future__ import annotations

import mmap
import os
import stat
import sys
import threading
import time
import weakref

# How often a waiting Desktop looks whether control is back, and a Desktop's watcher whether it was taken.
POLL_SECONDS = 0.02
WATCH_SECONDS = 0.05
CONTROL_VARIABLE = "PRAVLIN_CONTROL"  # pravlin_session._view's
SESSION_VARIABLE = "PRAVLIN_SESSION"
CHOICES = ("wait", "raise")


class PersonHasControl(RuntimeError):
    """A person watching the session has taken control of it; the action was not done."""


def check_choice(value: str) -> str:
    if value not in CHOICES:
        raise ValueError(f"person_control must be 'wait' or 'raise', not {value!r}")
    return value


def _socket_path(wayland_display: str | None) -> str:
    name = wayland_display or os.environ.get("WAYLAND_DISPLAY") or "wayland-0"
    if not name.startswith("/"):
        name = os.path.join(os.environ.get("XDG_RUNTIME_DIR", ""), name)
    return os.path.normpath(name)


def find(wayland_display: str | None) -> mmap.mmap | None:
    """The control file of the session at `wayland_display`, mapped; None when it has none (no viewer
    that may take control, or not a pravlin session). Only a file of this process's user that no one
    else can write counts."""
    socket = _socket_path(wayland_display)
    view = sys.modules.get("pravlin_session._view")
    path = view.control_files.get(socket) if view is not None else None
    if path is None:
        marked = os.environ.get(SESSION_VARIABLE)
        if marked and os.path.normpath(marked) == socket:
            path = os.environ.get(CONTROL_VARIABLE)
    if not path:
        return None
    try:
        fd = os.open(path, os.O_RDONLY | os.O_NOFOLLOW | os.O_CLOEXEC)
    except OSError:
        return None
    try:
        st = os.fstat(fd)
        if not stat.S_ISREG(st.st_mode) or st.st_uid != os.geteuid() or st.st_mode & 0o022 or st.st_size < 1:
            return None
        return mmap.mmap(fd, 1, access=mmap.ACCESS_READ)
    except OSError:
        return None
    finally:
        os.close(fd)


def wait_turn(desktop, control: mmap.mmap) -> None:
    """What an action does while a person has control: raises PersonHasControl, or lets go of all that
    the Desktop holds and waits until the person hands control back."""
    if desktop.person_control == "raise":
        raise PersonHasControl("a person watching the session has control of it")
    desktop._release_for_person()
    while control[0]:
        time.sleep(POLL_SECONDS)


def watch(desktop, control: mmap.mmap) -> None:
    """Lets go of what the Desktop holds between its actions (key_down, mouse_down) once a person takes
    control, rather than at its next action: a thread for the Desktop's life, on sessions with a
    control file only."""
    ref = weakref.ref(desktop)

    def run():
        while True:
            time.sleep(WATCH_SECONDS)
            d = ref()
            if d is None or not d._c:
                return
            if control[0]:
                with d._lock:
                    if d._c and any(d._c.held()):
                        d._release_for_person()
            del d

    threading.Thread(target=run, name="pravlin-desktop-control", daemon=True).start()
