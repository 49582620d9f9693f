"""Windows that report what they receive, for the tests of the agent layers (computer use, MCP,
pyautogui): wev (the raw Wayland events), the GTK application of benchmarks/gtk_app.py (what a toolkit
makes of them) and foot running `cat > FILE` (typed text). Each is the only window on the session's
output, which sway tiles over all of it without a border: window coordinates are layout coordinates."""

import os
import re
import select
import signal
import subprocess
import sys
import time
from pathlib import Path

BENCHMARKS = Path(__file__).resolve().parent.parent / "benchmarks"
sys.path.insert(0, str(BENCHMARKS))

from helpers import tree_nodes  # noqa: E402
from x11_reference import start_app  # noqa: E402

BTN = {"left": 272, "right": 273, "middle": 274, "back": 275, "forward": 276}


def wait_focused_full(session, pid, timeout=15.0):
    """Until the window of `pid` is focused and covers the whole output."""
    out = session.outputs[0]
    deadline = time.monotonic() + timeout
    while True:
        node = next((n for n in tree_nodes(session) if n.get("pid") == pid), None)
        if node and node.get("focused") and node["rect"]["width"] == out.width and node["rect"]["height"] == out.height:
            return
        assert time.monotonic() < deadline, f"window of {pid} not focused over the output: {node}"
        time.sleep(0.03)


def stop(session, proc):
    """Kills a peer's process group and waits until its window has left the tree."""
    try:
        os.killpg(proc.pid, signal.SIGKILL)
    except ProcessLookupError:
        pass
    proc.wait(10)
    deadline = time.monotonic() + 10
    while any(n.get("pid") == proc.pid for n in tree_nodes(session)):
        assert time.monotonic() < deadline, "a peer's window stayed in sway's tree"
        time.sleep(0.02)


class _Reported:
    """Events a peer reports, read as they come (`_more`), and taken in order."""

    events: list

    def take(self, until, timeout=5.0):
        """The events up to and including the first that `until` accepts; they are consumed."""
        deadline = time.monotonic() + timeout
        while True:
            for i, event in enumerate(self.events):
                if until(event):
                    taken, self.events = self.events[:i + 1], self.events[i + 1:]
                    return taken
            assert time.monotonic() < deadline, f"{type(self).__name__} never showed what was awaited: {self.events}"
            self._more(0.05)


class Wev(_Reported):
    """wev's events, parsed: ("motion", x, y), ("button", code, pressed), ("axis", axis, value),
    ("discrete", axis, steps), ("key", code, pressed); axis 0 is vertical, 1 horizontal."""

    _PATTERNS = (
        (re.compile(r"wl_pointer\] (?:motion|enter):.*x, y: (-?[\d.]+), (-?[\d.]+)"),
         lambda m: ("motion", round(float(m[1])), round(float(m[2])))),
        (re.compile(r"wl_pointer\] button:.*button: (\d+).*state: (\d)"), lambda m: ("button", int(m[1]), m[2] == "1")),
        (re.compile(r"wl_pointer\] axis: .*axis: (\d).*value: (-?[\d.]+)"), lambda m: ("axis", int(m[1]), float(m[2]))),
        # wev labels axis_discrete as axis_stop.
        (re.compile(r"wl_pointer\] axis_stop: axis: (\d).*discrete: (-?\d+)"),
         lambda m: ("discrete", int(m[1]), int(m[2]))),
        (re.compile(r"wl_keyboard\] key:.*key: (\d+); state: (\d)"), lambda m: ("key", int(m[1]), m[2] == "1")),
    )

    def __init__(self, session):
        self.session = session
        self.proc = session.spawn(["stdbuf", "-oL", "wev"], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        self.events = []
        self._buf = b""
        self.text = ""
        deadline = time.monotonic() + 15
        while "xdg_toplevel] configure" not in self.text:
            assert time.monotonic() < deadline, f"wev showed no window: {self.text[-500:]}"
            self.read(0.1)
        wait_focused_full(session, self.proc.pid)
        self.read(0.1)
        self.events.clear()

    def read(self, seconds):
        deadline = time.monotonic() + seconds
        while (left := deadline - time.monotonic()) > 0 and select.select([self.proc.stdout], [], [], left)[0]:
            chunk = os.read(self.proc.stdout.fileno(), 1 << 16)
            if not chunk:
                break
            self._buf += chunk
            *lines, self._buf = self._buf.split(b"\n")
            for line in lines:
                text = line.decode(errors="replace")
                self.text += text + "\n"
                for pattern, make in self._PATTERNS:
                    m = pattern.search(text)
                    if m:
                        self.events.append(make(m))

    _more = read

    def close(self):
        stop(self.session, self.proc)
        self.proc.stdout.close()


class GtkApp(_Reported):
    """benchmarks/gtk_app.py on the session, its events as it reports them."""

    def __init__(self, session):
        self.session = session
        self.app = start_app(session.environ(), "wayland", (session.outputs[0].width, session.outputs[0].height),
                             spawn=session.spawn)
        wait_focused_full(session, self.app.proc.pid)
        self.events = []

    def _more(self, seconds):
        self.events += self.app.lines(seconds)

    def close(self):
        stop(self.session, self.app.proc)
        self.app.proc.stdout.close()


class FootCat:
    """foot running `cat > path`: what is typed into it lands in the file once ctrl+d ends cat."""

    def __init__(self, session, path):
        self.session, self.path = session, Path(path)
        self.proc = session.spawn(["foot", "sh", "-c", f"cat > '{self.path}'"],
                                  stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        wait_focused_full(session, self.proc.pid)

    def text(self, timeout=10.0):
        """The file's text once cat (and with it foot) has exited."""
        try:
            self.proc.wait(timeout)
        except subprocess.TimeoutExpired:
            raise AssertionError(f"foot is still running; the file has {self.path.read_text()!r}") from None
        return self.path.read_text()

    def close(self):
        stop(self.session, self.proc)


def descendants(pid):
    """The pids of a process's descendants, from /proc."""
    children = {}
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            try:
                stat = Path(f"/proc/{entry}/stat").read_text()
            except OSError:
                continue
            ppid = int(stat.rsplit(")", 1)[1].split()[1])
            children.setdefault(ppid, []).append(int(entry))
    found, todo = [], [pid]
    while todo:
        for child in children.get(todo.pop(), []):
            found.append(child)
            todo.append(child)
    return found
