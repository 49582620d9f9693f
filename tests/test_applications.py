"""The applications agents and GUI tests drive, in sessions of their own with Xwayland, on the US and
German layouts: every character of a mixed text arrives by Desktop.type(), what the application copies
comes out of Desktop.clipboard and what is written there pastes in, Ctrl+A and typing replaces the text,
and the wheel scrolls notch by notch. Chromium cannot take 😀 from any key: type() pastes it, and the
clipboard holds what it held before afterwards. xterm copies and pastes the primary selection (a triple
click selects a line, Shift+Insert pastes), which Xwayland shares with the Wayland seat. Each application
reports what it got in its own way: the browsers post a textarea's text and their scroll position to a
loopback server of the test's, the editors save to a file, xterm runs `cat` into one."""

import contextlib
import http.server
import json
import os
import queue
import shutil
import signal
import subprocess
import threading
import time
from pathlib import Path

import pytest

from pravlin_desktop import ClipboardEmpty, Desktop
from pravlin_session import HeadlessSession

from helpers import skip_applications_when_sanitized

pytestmark = skip_applications_when_sanitized

TEXT = 'Hello, World! The quick brown fox (100% OK) — ÄÖÜ äöü ß é ñ ç @#$^&*_+{}|:"<>?~ 漢字 ✓ 😀 Ωπ'
# Written to the clipboard and pasted into each application.
PASTED = "Eingefügt: Grüße ✓ 漢字 😀 €"
# On the clipboard while text is typed into the browsers: it is still there afterwards.
KEPT = "kept on the clipboard ✓"
REPLACED = "Ersetzt: ✓ ß $€"
# More characters the layout lacks than there are keys to carry them: every carrier key is used, and
# taken again for the rest.
GREEK = "αβγδεζηθικλμνξοπρστυφχψω ΑΒΓΔ"

PAGE = """<!doctype html><meta charset="utf-8"><title>pravlin</title>
<body style="margin:0"><textarea id="t" autofocus style="width:600px;height:200px"></textarea>
<div style="height:20000px"></div><script>
const t = document.getElementById("t");
function post(what) { fetch("/report", {method: "POST", body: JSON.stringify(what)}); }
t.addEventListener("input", () => post({text: t.value}));
addEventListener("scroll", () => post({scroll: scrollY}));
addEventListener("load", () => { t.focus(); post({ready: true}); });
</script>"""


class _Reports(http.server.ThreadingHTTPServer):
    """Serves the page and queues what it posts."""

    def __init__(self):
        self.reports: queue.Queue = queue.Queue()
        super().__init__(("127.0.0.1", 0), _Handler)
        threading.Thread(target=self.serve_forever, daemon=True).start()

    @property
    def url(self) -> str:
        return f"http://127.0.0.1:{self.server_address[1]}/"

    def latest(self, key, until, timeout=10.0):
        """Reports until `until(value)` holds for `key`'s value; that value (or the last seen)."""
        deadline, last = time.monotonic() + timeout, None
        while time.monotonic() < deadline:
            try:
                report = self.reports.get(timeout=0.05)
            except queue.Empty:
                continue
            if key in report:
                last = report[key]
                if until(last):
                    return last
        return last


class _Handler(http.server.BaseHTTPRequestHandler):
    def do_GET(self):
        body = PAGE.encode()
        self.send_response(200)
        self.send_header("Content-Type", "text/html; charset=utf-8")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def do_POST(self):
        self.server.reports.put(json.loads(self.rfile.read(int(self.headers["Content-Length"]))))
        self.send_response(204)
        self.end_headers()

    def log_message(self, *args):
        pass


@pytest.fixture(scope="module", params=["us", "de"])
def desk(request):
    missing = [p for p in ("chromium", "firefox-esr", "mousepad", "gnome-text-editor", "featherpad", "xterm")
               if shutil.which(p) is None]
    if missing:
        pytest.skip(f"not installed: {', '.join(missing)}")
    with HeadlessSession([(1280, 720)], keyboard_layout=request.param, xwayland=True) as session:
        desktop = Desktop(session.socket)
        yield session, desktop
        desktop.close()


def _clipboard_holds(desktop, expected, *, primary=False, timeout=10.0):
    """The clipboard's text once it is `expected`, but for newlines at the end (or the last seen, or None
    when it stays empty)."""
    deadline, text = time.monotonic() + timeout, None
    while time.monotonic() < deadline:
        try:
            text = desktop.clipboard.read_text(primary=primary)
        except ClipboardEmpty:
            text = None
        if text is not None and text.rstrip("\n") == expected.rstrip("\n"):
            break
        time.sleep(0.05)
    return text


def _focused_window(session, proc, timeout=30.0):
    """Waits until a window of `proc`'s process group (an X11 one too) has the focus."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        assert proc.poll() is None, f"{proc.args[0]} exited ({proc.returncode})"
        tree = json.loads(session.swaymsg("-t", "get_tree"))
        stack = [tree]
        while stack:
            node = stack.pop()
            stack += node.get("nodes", []) + node.get("floating_nodes", [])
            if node.get("focused") and node.get("pid"):
                try:
                    if os.getpgid(node["pid"]) == proc.pid:
                        return node
                except OSError:
                    pass
        time.sleep(0.1)
    raise AssertionError(f"no window of {proc.args[0]} got the focus")


def _wait_file(path: Path, expected: str, timeout=10.0) -> str:
    deadline, text = time.monotonic() + timeout, None
    while time.monotonic() < deadline:
        try:
            text = path.read_text(encoding="utf-8")
        except (OSError, UnicodeDecodeError):
            text = None
        if text is not None and text.rstrip("\n") == expected:
            break
        time.sleep(0.05)
    return text


def _stop(proc):
    with contextlib.suppress(ProcessLookupError):
        os.killpg(proc.pid, signal.SIGTERM)
    try:
        proc.wait(10)
    except subprocess.TimeoutExpired:
        os.killpg(proc.pid, signal.SIGKILL)
        proc.wait()


def _browser(session, desktop, argv):
    server = _Reports()
    proc = None
    try:
        proc = session.spawn([*argv, server.url], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        assert server.latest("ready", bool, timeout=60), f"{argv[0]} did not load the page"
        window = _focused_window(session, proc)
        rect = window["rect"]
        # Inside the textarea, below Firefox's toolbar too.
        desktop.click(rect["x"] + 300, rect["y"] + 150)
        # A browser that has just mapped its window may let the first keys go by (plain letters as
        # much as any): ready when a key it gets reaches the page.
        for _ in range(20):
            desktop.type("x")
            if server.latest("text", lambda t: t.endswith("x"), timeout=0.5):
                break
        desktop.key("ctrl+a")
        desktop.clipboard.write_text(KEPT)
        desktop.type(TEXT)
        assert server.latest("text", lambda t: t == TEXT) == TEXT
        assert desktop.clipboard.read_text() == KEPT
        desktop.key("ctrl+a")
        desktop.key("ctrl+c")
        assert _clipboard_holds(desktop, TEXT) == TEXT
        desktop.clipboard.write_text(PASTED)
        desktop.key("ctrl+a")
        desktop.key("ctrl+v")
        assert server.latest("text", lambda t: t == PASTED) == PASTED
        desktop.key("ctrl+a")
        desktop.type(REPLACED)
        assert server.latest("text", lambda t: t == REPLACED) == REPLACED
        desktop.key("ctrl+a")
        desktop.type(GREEK)
        assert server.latest("text", lambda t: t == GREEK) == GREEK
        # The wheel, over the page below the textarea: one notch, then five, each its own step.
        desktop.move(rect["x"] + 800, rect["y"] + 400)
        desktop.scroll(1)
        one = server.latest("scroll", lambda y: y > 0)
        time.sleep(0.5)  # smooth scrolling ends
        one = server.latest("scroll", lambda y: False, timeout=0.3) or one
        assert one and one > 0
        desktop.scroll(5)
        six = server.latest("scroll", lambda y: y >= 6 * one, timeout=5)
        assert six == 6 * one, (one, six)
    finally:
        if proc is not None:
            _stop(proc)
        server.shutdown()
        server.server_close()


def test_chromium_gets_every_character_and_every_notch(desk, tmp_path):
    session, desktop = desk
    argv = ["chromium", "--ozone-platform=wayland", "--no-sandbox", "--no-first-run", "--disable-gpu",
            "--test-type", f"--user-data-dir={tmp_path / 'chromium'}", "--app"]
    _browser(session, desktop, argv)


def test_firefox_started_as_root(desk, tmp_path):
    session, desktop = desk
    profile = tmp_path / "firefox"
    profile.mkdir()
    _browser(session, desktop, ["firefox-esr", "--new-instance", "--profile", str(profile)])


LINES = "".join(f"line {n}\n" for n in range(1, 301))


def _differs(a, b) -> float:
    """The share of pixels that differ between two screenshots."""
    return float((a != b).any(axis=2).mean())


def _wheel_round_trip(desktop, rect, notches=3):
    """Three notches down (negative: up) move the view; three back bring it back. Compared: the top third
    of the window, where text is and no notice (FeatherPad's "Root Instance") lies."""
    x, y, w, h = rect["x"], rect["y"], rect["width"], rect["height"]
    desktop.move(x + w // 2, y + h // 2)
    time.sleep(0.3)

    def shot():
        return desktop.screenshot()[y:y + h // 3, x:x + w]

    before = shot()
    desktop.scroll(notches)
    time.sleep(0.5)
    down = shot()
    desktop.scroll(-notches)
    time.sleep(0.5)
    back = shot()
    # A caret may blink in between: a few pixels, where scrolling redraws every line of text.
    moved, returned = _differs(before, down), _differs(before, back)
    assert moved > 0.002 and returned < 0.001 and moved > 5 * returned, (moved, returned)


@pytest.mark.parametrize("argv", [["mousepad"], ["gnome-text-editor", "--standalone"], ["featherpad"]],
                         ids=["gtk3-mousepad", "gtk4-gnome-text-editor", "qt5-featherpad"])
def test_editors_get_every_character_and_the_wheel(desk, tmp_path, argv):
    session, desktop = desk
    path = tmp_path / "text.txt"
    path.write_text(LINES)
    proc = session.spawn([*argv, str(path)], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                         env={"NO_AT_BRIDGE": "1", "GSK_RENDERER": "cairo"})
    try:
        window = _focused_window(session, proc)
        time.sleep(1.0)  # the document loaded
        rect = window["rect"]
        _wheel_round_trip(desktop, rect)
        desktop.key("ctrl+home")
        desktop.type(TEXT + "\n")
        desktop.key("ctrl+s")
        text = _wait_file(path, TEXT + "\n" + LINES.rstrip("\n"))
        assert text is not None and text.split("\n")[0] == TEXT
        desktop.key("ctrl+a")
        desktop.key("ctrl+c")
        copied = _clipboard_holds(desktop, text)
        assert copied is not None and copied.rstrip("\n") == text.rstrip("\n"), copied and copied[:200]
        desktop.clipboard.write_text(PASTED)
        desktop.key("ctrl+a")
        desktop.key("ctrl+v")
        # The editor asks for the pasted text and inserts it when it comes, which may be after a Ctrl+S
        # sent at once: saved again until the file holds it.
        for _ in range(10):
            desktop.key("ctrl+s")
            if (saved := _wait_file(path, PASTED, timeout=1.0)) and saved.rstrip("\n") == PASTED:
                break
        assert saved is not None and saved.rstrip("\n") == PASTED, saved and saved[:200]
        desktop.key("ctrl+a")
        desktop.type(REPLACED)
        desktop.key("ctrl+s")
        assert _wait_file(path, REPLACED).rstrip("\n") == REPLACED
    finally:
        _stop(proc)


def test_xterm_under_xwayland_gets_every_character_and_the_wheel(desk, tmp_path):
    session, desktop = desk
    path = tmp_path / "typed.txt"
    proc = session.spawn(["xterm", "-u8", "-geometry", "100x30", "-e", "sh", "-c",
                          f"seq 300; stty -ixon; exec cat > {path}"],
                         stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, env={"LANG": "C.UTF-8"})
    try:
        window = _focused_window(session, proc)
        # Floating, xterm keeps the 30 rows it asked for: where each line is follows from the height.
        session.swaymsg(f"[con_id={window['id']}] floating enable")
        deadline = time.monotonic() + 10
        while (window := _focused_window(session, proc))["type"] != "floating_con":
            assert time.monotonic() < deadline, "xterm did not float"
            time.sleep(0.1)
        time.sleep(0.5)
        rect, inner = window["rect"], window["window_rect"]
        desktop.type(TEXT + "\n")
        assert _wait_file(path, TEXT) == TEXT + "\n"
        # A terminal's Ctrl+A: the line typed so far goes with Ctrl+U.
        desktop.type("wrong")
        desktop.key("ctrl+u")
        desktop.type(REPLACED + "\n" + GREEK + "\n")
        assert _wait_file(path, f"{TEXT}\n{REPLACED}\n{GREEK}") == f"{TEXT}\n{REPLACED}\n{GREEK}\n"
        # TEXT is the fourth row from the bottom, above REPLACED, GREEK and the cursor's; xterm's
        # border inside is 2 px. A triple click selects the row into the primary selection.
        row = (inner["height"] - 4) / 30
        left, top = rect["x"] + inner["x"], rect["y"] + inner["y"] + 2 + round(26 * row)
        desktop.click(left + 40, top + round(row / 2), clicks=3)
        assert _clipboard_holds(desktop, TEXT, primary=True) == TEXT + "\n"  # a line's selection ends it

        def line():
            return desktop.screenshot()[top:top + round(row), left:left + inner["width"]]

        selected = line()
        desktop.clipboard.write_text(PASTED + "\n", primary=True)
        # xterm pastes its own selection until the X server tells it another program owns it, and then
        # takes the highlight off the line.
        deadline = time.monotonic() + 10
        while _differs(line(), selected) < 0.05:
            assert time.monotonic() < deadline, "xterm kept the primary selection"
            time.sleep(0.05)
        # Shift+Insert pastes the primary selection, a line of its own: Return typed after it could come
        # before the pasted text, which xterm gets later.
        desktop.key("shift+insert")
        expected = f"{TEXT}\n{REPLACED}\n{GREEK}\n{PASTED}"
        assert _wait_file(path, expected) == expected + "\n"
        # Up into the scrollback, and down again.
        _wheel_round_trip(desktop, rect, -3)
    finally:
        _stop(proc)
