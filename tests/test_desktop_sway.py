"""pravlin_desktop.Desktop on headless sway, checked by what real windows receive: text typed into
foot arrives byte for byte (on a US and a German layout, keys of the layout unchanged afterwards); wev
sees the modifier state, every button, the wheel's values and discrete steps, and motion during a drag;
a GTK window's entry, list and slider answer to a person's keys, wheel and drag; and what a killed
process held is released before the next one types and clicks."""

import contextlib
import json
import os
import re
import select
import signal
import subprocess
import sys
import textwrap
import threading
import time
from pathlib import Path

import pytest

from pravlin import Pravlin
from pravlin_desktop import Desktop
from pravlin_desktop.computer_use import AnthropicComputer
from pravlin_session import HeadlessSession

GTK_WIDGETS = Path(__file__).resolve().parent / "gtk_widgets.py"
TEXT = "The quick Brown fox, 42 times: é à ü ß ñ ç @ € [x] {y} | ~ \\ ' \" < > 漢字 😀 ✓\tend\n"
KEY_Y, KEY_ENTER = 21, 28


def wev_events(text):
    """wev's output as dicts: the object's interface, the event, and all its text."""
    events = []
    for line in text.splitlines():
        head = re.match(r"\[\s*\d+:\s*(\w+)\] (\w+): (.*)", line)
        if head:
            events.append({"iface": head[1], "event": head[2], "text": head[3]})
        elif events and line.startswith(" "):
            events[-1]["text"] += " " + line.strip()
    return events


class Client:
    """A program of the session whose output the test reads as it comes."""

    def __init__(self, session, argv, **kwargs):
        self.proc = session.spawn(argv, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, **kwargs)
        self.output = ""

    def read(self, timeout):
        ready, _, _ = select.select([self.proc.stdout], [], [], max(timeout, 0))
        if ready:
            chunk = os.read(self.proc.stdout.fileno(), 65536)
            if not chunk:
                raise AssertionError(f"{self.proc.args[0]} exited; it printed:\n{self.output}")
            self.output += chunk.decode(errors="replace")

    def wait(self, predicate, what, timeout=10.0):
        deadline = time.monotonic() + timeout
        while not (found := predicate(self.output)):
            left = deadline - time.monotonic()
            if left <= 0:
                raise AssertionError(f"no {what} within {timeout} s; output:\n{self.output[-4000:]}")
            self.read(left)
        return found

    def close(self):
        if self.proc.poll() is None:
            os.killpg(self.proc.pid, signal.SIGKILL)
        self.proc.wait(10)
        self.proc.stdout.close()


def focused_at_full_size(session, pid, width, height, timeout=10.0):
    deadline = time.monotonic() + timeout
    while True:
        def walk(node):
            yield node
            for child in node.get("nodes", []) + node.get("floating_nodes", []):
                yield from walk(child)
        nodes = list(walk(json.loads(session.swaymsg("-r", "-t", "get_tree"))))
        if any(n.get("pid") == pid and n.get("focused") and (n["rect"]["width"], n["rect"]["height"]) == (width, height)
               for n in nodes):
            return
        assert time.monotonic() < deadline, f"window of {pid} never focused at {width}x{height}"
        time.sleep(0.02)

def gtk_widgets_at_full_size(session):
    """tests/gtk_widgets.py focused and filling the first output, at (0, 0), so that its window
    coordinates are layout coordinates: the client, a reader of its events of one kind, and the
    widgets' places."""
    width, height = session.outputs[0].width, session.outputs[0].height
    app = Client(session, ["/usr/bin/python3", "-u", str(GTK_WIDGETS)], env={"GDK_BACKEND": "wayland"})
    try:
        focused_at_full_size(session, app.proc.pid, width, height, timeout=20)

        def events(kind):
            return [e for e in map(json.loads, app.output.splitlines()) if e["ev"] == kind]

        app.wait(lambda out: any(e["width"] == width for e in events("places")), "the widgets at full size")
        return app, events, [e for e in events("places") if e["width"] == width][-1]
    except BaseException:
        app.close()
        raise



@pytest.fixture
def wev(sway):
    w = Client(sway, ["stdbuf", "-oL", "wev"])
    try:
        w.wait(lambda out: "wl_keyboard] enter" in out, "keyboard focus")
        yield w
    finally:
        w.close()


def type_into_cat(session, tmp_path, socket):
    """Types TEXT into `cat > file` in foot, then KEY_Y and Enter as pravlin.Pravlin sends them, then
    Ctrl+D; returns what cat wrote."""
    out = tmp_path / "typed.txt"
    foot = session.spawn(["foot", "sh", "-c", f"cat > {out}"], stderr=subprocess.DEVNULL)
    try:
        focused_at_full_size(session, foot.pid, session.outputs[0].width, session.outputs[0].height)
        with Desktop(socket) as d:
            d.type(TEXT)
            p = Pravlin(socket)
            p.key_press(KEY_Y, 0)
            p.key_press(KEY_ENTER, 0)
            del p
            d.key("ctrl+d")
        foot.wait(10)
    finally:
        if foot.poll() is None:
            os.killpg(foot.pid, signal.SIGKILL)
            foot.wait()
    return out.read_text()


def test_text_typed_into_foot_arrives_byte_for_byte_and_the_layout_stays(sway, tmp_path):
    assert type_into_cat(sway, tmp_path, sway.socket) == TEXT + "y\n"


def test_the_same_text_on_a_german_layout(tmp_path):
    with HeadlessSession([(1280, 720)], keyboard_layout="de") as session:
        # KEY_Y is "z" on a German keyboard, before and after.
        assert type_into_cat(session, tmp_path, session.socket) == TEXT + "z\n"


def test_wev_sees_modifiers_buttons_the_wheel_and_motion_during_a_drag(sway, wev):
    with Desktop(sway.socket) as d:
        d.click(300, 300, modifiers=["ctrl"])
        for button in ("middle", "back", "forward", "right"):
            d.click(button=button)
        d.scroll(3)
        d.scroll(dx=-1)
        d.drag([(100, 100), (300, 160)])
        d.key("alt+shift+x")
    wev.wait(lambda out: re.search(r"key: 64; state: 0", out), "the last key")
    ev = wev_events(wev.output)
    kinds = [(e["event"], e["text"]) for e in ev if e["event"] in ("button", "modifiers", "axis_discrete",
                                                                    "axis_stop", "axis", "motion", "key")]
    buttons = [re.search(r"button: (\d+).*state: (\d)", t).groups() for k, t in kinds if k == "button"]
    assert buttons == [(b, s) for b in ("272", "274", "275", "276", "273", "272") for s in ("1", "0")]
    # Ctrl is down while the first click happens, and up afterwards.
    first_press = next(i for i, (k, t) in enumerate(kinds) if k == "button")
    assert "depressed: 00000004: Control" in [t for k, t in kinds[:first_press] if k == "modifiers"][-1]
    # Three notches down, one left, each a 15-degree step with its discrete count.
    axes = [re.search(r"axis: (\d).*value: (-?[\d.]+)", t).groups() for k, t in kinds if k == "axis"]
    assert axes == [("0", "15.000000")] * 3 + [("1", "-15.000000")]
    assert len(re.findall(r"discrete: 1\b", wev.output)) == 3 and len(re.findall(r"discrete: -1\b", wev.output)) == 1
    # Between the drag's press and release the pointer moves, in steps, to the end.
    press = max(i for i, (k, t) in enumerate(kinds) if k == "button" and "272" in t and "state: 1" in t)
    moves = [t for k, t in kinds[press:] if k == "motion"]
    assert len(moves) >= 10 and "x, y: 300.000000, 160.000000" in moves[-1]
    mods = [t for k, t in kinds if k == "modifiers"]
    assert any("depressed: 00000009: Shift Mod1" in t for t in mods)


@pytest.mark.skipif(subprocess.run(["/usr/bin/python3", "-c", "import gi"], capture_output=True).returncode != 0,
                    reason="python3-gi is not installed")
def test_a_gtk_window_answers_keys_wheel_and_drag(sway):
    app, events, places = gtk_widgets_at_full_size(sway)
    try:
        centre = {k: (v[0] + v[2] // 2, v[1] + v[3] // 2) for k, v in places.items() if k in ("entry", "list", "scale")}
        with Desktop(sway.socket) as d:
            d.click(*centre["entry"])
            d.type("hello")
            app.wait(lambda out: any(e["text"] == "hello" for e in events("entry")), "hello in the entry")
            d.key("ctrl+a")
            d.type("Grüße")
            app.wait(lambda out: events("entry") and events("entry")[-1]["text"] == "Grüße", "the text replaced")

            d.scroll(5, x=centre["list"][0], y=centre["list"][1])
            app.wait(lambda out: events("scroll") and events("scroll")[-1]["value"] > 0, "the list scrolled down")
            d.scroll(-50)
            app.wait(lambda out: events("scroll")[-1]["value"] == 0, "the list back at the top")

            x, y, w, h = places["scale"]
            d.drag([(x + 8, y + h // 2), (x + w * 3 // 4, y + h // 2)], duration=0.3)
            app.wait(lambda out: events("scale") and 60 <= events("scale")[-1]["value"] <= 90, "the slider moved")
    finally:
        app.close()


HOLDER = textwrap.dedent("""
    import sys, time
    from pravlin_desktop import Desktop
    d = Desktop(sys.argv[1])
    d.move(500, 400)
    d.key_down("shift")
    d.mouse_down("left")
    print("held", flush=True)
    time.sleep(60)
""")


def test_what_a_killed_process_held_is_released_before_the_next_types_and_clicks(sway, wev):
    proc = subprocess.Popen([sys.executable, "-P", "-c", HOLDER, sway.socket], stdout=subprocess.PIPE)
    try:
        assert proc.stdout.readline() == b"held\n"
        wev.wait(lambda out: re.search(r"button: 272 \(left\), state: 1", out), "the press")
        proc.kill()
        proc.wait(10)
    finally:
        proc.stdout.close()
    released = r"button: 272 \(left\), state: 0"
    wev.wait(lambda out: re.search(released, out), "the guard's release of the button")
    mark = len(wev_events(wev.output))
    with Desktop(sway.socket) as d:
        d.type("a")
        d.click(600, 400)
    wev.wait(lambda out: len(re.findall(released, out)) == 2, "the click's release")
    after = wev_events(wev.output)[mark:]
    typed = [e["text"] for e in after if e["event"] == "key" and "state: 1" in e["text"]]
    assert len(typed) == 1 and "utf8: 'a'" in typed[0], typed
    assert [re.search(r"state: (\d)", e["text"])[1] for e in after if e["event"] == "button"] == ["1", "0"]


FORKING_HOLDER = textwrap.dedent("""
    import gc, multiprocessing, os, sys, time
    from pravlin_desktop import Desktop
    d = Desktop(sys.argv[1])
    d.move(500, 400)
    d.key_down("shift")
    d.mouse_down("left")
    # A child forked without exec that drops its copy of the Desktop releases nothing of its parent's.
    child = os.fork()
    if child == 0:
        del d
        gc.collect()
        os._exit(0)
    os.waitpid(child, 0)
    multiprocessing.set_start_method("fork")
    worker = multiprocessing.Process(target=time.sleep, args=(120,))
    worker.start()
    # Closing another Desktop does not wait for the worker, which holds its guard's pipe too.
    Desktop(sys.argv[1]).close()
    print("held", worker.pid, flush=True)
    time.sleep(120)
""")


def test_a_forked_child_neither_keeps_the_guard_waiting_nor_releases_its_parents_keys(sway, wev):
    proc = subprocess.Popen([sys.executable, "-P", "-c", FORKING_HOLDER, sway.socket], stdout=subprocess.PIPE)
    worker = None
    try:
        ready, _, _ = select.select([proc.stdout], [], [], 30)
        assert ready, "the holder never got past forking and closing"
        word, worker = proc.stdout.readline().split()
        assert word == b"held"
        worker = int(worker)
        wev.wait(lambda out: re.search(r"button: 272 \(left\), state: 1", out), "the press")
        # The forked child's exit released nothing: a Desktop's round trip lands after anything it sent.
        with Desktop(sway.socket) as d:
            d.move(510, 410)
        wev.wait(lambda out: "x, y: 510.000000, 410.000000" in out, "the later motion")
        assert not re.search(r"button: 272 \(left\), state: 0|key: 50; state: 0", wev.output)
        proc.kill()
        proc.wait(10)
        # The guard sees its owner die although the worker keeps the pipe's write end open.
        wev.wait(lambda out: re.search(r"button: 272 \(left\), state: 0", out), "the guard's release of the button")
        wev.wait(lambda out: re.search(r"key: 50; state: 0", out), "the guard's release of Shift")
        os.kill(worker, 0)
    finally:
        if worker:
            with contextlib.suppress(ProcessLookupError):
                os.kill(worker, signal.SIGKILL)
        if proc.poll() is None:
            proc.kill()
            proc.wait()
        proc.stdout.close()


def test_other_threads_take_turns_with_a_capture_that_waits_for_a_change(sway):
    with Desktop(sway.socket) as d:
        d.move(100, 100)
        d.capture(damage=True)  # the first comes at once; the next waits for a change
        got = []
        waiter = threading.Thread(target=lambda: got.append(d.capture(damage=True, timeout=60)))
        waiter.start()
        try:
            time.sleep(0.3)  # into its wait
            assert waiter.is_alive(), "nothing changed, yet the capture did not wait"
            # Every call waits for its turn instead of failing, and none waits out the capture's time-out.
            name = d.outputs[0].name
            assert d.size() == (sway.outputs[0].width, sway.outputs[0].height)
            assert d.position() == (100, 100)
            assert d.capture().screen == name
            computer = AnthropicComputer(d, size=None, screenshots=False)
            result = computer.tool_result({"id": "1", "input": {"action": "mouse_move", "coordinate": [400, 300]}})
            assert not result.get("is_error"), result
            d.click(420, 320)
            assert d.position() == (420, 320)
        finally:
            waiter.join(30)
        # The pointer that moved while it waited is the change the capture saw.
        assert not waiter.is_alive() and got and got[0] is not None and got[0].damage is not None


def test_typing_keeps_to_the_pace_of_the_window_and_gives_up_on_one_that_stopped(sway, tmp_path):
    out = tmp_path / "typed.txt"
    foot = sway.spawn(["foot", "sh", "-c", f"cat > {out}"], stderr=subprocess.PIPE)

    def arrived(expected, timeout=60.0):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline and foot.poll() is None:
            if out.exists() and out.read_text() == expected:
                return True
            time.sleep(0.05)
        return out.exists() and out.read_text() == expected

    lines = [f"line {n:03d}: The Quick Brown Fox {n * 7919 % 10007:05d} jumps; over (x) ~4" for n in range(200)]
    long_text = "".join(line + "\n" for line in lines)
    assert len(long_text) == 11_000
    try:
        focused_at_full_size(sway, foot.pid, sway.outputs[0].width, sway.outputs[0].height)
        with Desktop(sway.socket) as d:
            # At full speed, faster than foot reads.
            d.type(long_text)
            expected = long_text
            assert arrived(expected), f"{len(out.read_text())} of {len(expected)} characters arrived"
            # Stopped for a while, then going on: the keys wait for it.
            os.kill(foot.pid, signal.SIGSTOP)
            threading.Timer(1.5, os.kill, (foot.pid, signal.SIGCONT)).start()
            d.type(long_text[:5000], timeout=10)
            expected += long_text[:5000]
            # Read before it stops again (up to the last whole line, which is what cat has written):
            # what it left unread would hold back the first keys.
            whole = expected[:expected.rindex("\n") + 1]
            assert arrived(whole), f"{len(out.read_text())} of {len(whole)} characters arrived"
            # Stopped for longer than the time-out: a clear error, part of the text typed, no key held.
            os.kill(foot.pid, signal.SIGSTOP)
            try:
                with pytest.raises(TimeoutError, match=r"read none of them for 1 s .* of the 5000 characters were typed"
                                   ) as failure:
                    d.type(long_text[:5000], timeout=1)
            finally:
                os.kill(foot.pid, signal.SIGCONT)
            assert d._c.held() == ((), ())
            typed = int(re.search(r"(\d+) of the 5000", str(failure.value))[1])
            assert 0 < typed < 5000
            d.type("\n")
            expected += long_text[:typed] + "\n"
            assert arrived(expected), f"{len(out.read_text())} of {len(expected)} characters arrived"
            d.key("ctrl+d")
        foot.wait(10)
        assert foot.returncode == 0, foot.stderr.read().decode(errors="replace")[-2000:]
    finally:
        if foot.poll() is None:
            os.kill(foot.pid, signal.SIGCONT)
            os.killpg(foot.pid, signal.SIGKILL)
            foot.wait()
        foot.stderr.close()
