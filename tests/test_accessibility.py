"""The accessibility tree of real applications in a headless session with two outputs: what it reads,
where its boxes are (the pointer, sent to a box, lands on the application's own widget), its formats
and locators; and the session's buses."""

import json
import os
import re
import selectors
import shutil
import subprocess
import sys
import time
import xml.etree.ElementTree as ET
from pathlib import Path

import numpy as np
import pytest

from pravlin_desktop import Desktop
from pravlin_desktop.computer_use import AnthropicComputer
from pravlin_desktop.accessibility import NAMESPACES, AccessibilityUnavailable, ElementNotFound
from pravlin_session import HeadlessSession
from helpers import skip_applications_when_sanitized

HERE = Path(__file__).parent
SYSTEM_PYTHON = "/usr/bin/python3"
OUTPUTS = [(1280, 800), (1024, 768)]


@pytest.fixture(scope="module")
def desktop():
    """A two-output session with accessibility, this process pointed at it, and a Desktop there."""
    with HeadlessSession(OUTPUTS) as session, pytest.MonkeyPatch.context() as mp:
        for key, value in session.environ().items():
            mp.setenv(key, value)
        with Desktop(session.socket) as d:
            yield session, d


class Peer:
    """A test application printing JSON lines: waits for the events it reports."""

    def __init__(self, session, argv, **options):
        if os.environ.get("PRAVLIN_SANITIZED"):
            # The peers run on the system's Python and load nothing of pravlin's: the sanitizer run's
            # preloaded runtime would only slow their start (GTK's and its bridge's) past the waits.
            options["env"] = {**options.get("env", {}), "LD_PRELOAD": ""}
        self.proc = session.spawn(argv, stdout=subprocess.PIPE, text=True, **options)
        self.sel = selectors.DefaultSelector()
        self.sel.register(self.proc.stdout, selectors.EVENT_READ)

    def next(self, timeout=10.0):
        if not self.sel.select(timeout):
            raise AssertionError(f"{self.proc.args} said nothing within {timeout} s")
        line = self.proc.stdout.readline()
        assert line, f"{self.proc.args} ended"
        return json.loads(line)

    def drain(self):
        while self.sel.select(0.15):
            if not self.proc.stdout.readline():
                break

    def close(self):
        self.proc.kill()
        self.proc.wait()
        self.proc.stdout.close()


def probe_points(box):
    """The box's middle and points 2 pixels inside two opposite corners."""
    left, top, w, h = box
    return [(left + w // 2, top + h // 2), (left + 2, top + 2), (left + w - 3, top + h - 3)]


def window_of(session, pid):
    tree = json.loads(session.swaymsg("-t", "get_tree", "-r"))
    stack = [tree]
    while stack:
        node = stack.pop()
        if node.get("pid") == pid:
            return node
        stack += node.get("nodes", []) + node.get("floating_nodes", [])
    raise AssertionError(f"sway has no window of pid {pid}")


def test_gtk3_and_gtk4_trees_read_and_placed_on_two_outputs(desktop):
    session, d = desktop
    gtk3 = Peer(session, [SYSTEM_PYTHON, str(HERE / "a11y_gtk3.py")])
    gtk4 = Peer(session, [SYSTEM_PYTHON, str(HERE / "a11y_gtk4.py")])
    try:
        assert gtk3.next()["ev"] == "ready" and gtk4.next()["ev"] == "ready"
        # GTK 4 floats on the second output, at a place no window would get by itself.
        session.swaymsg(f"[pid={gtk4.proc.pid}] floating enable, resize set 520 300, move absolute position 1400 131")
        deadline = time.monotonic() + 5
        while window_of(session, gtk4.proc.pid)["rect"]["x"] != 1400 and time.monotonic() < deadline:
            time.sleep(0.05)
        time.sleep(0.3)
        tree = d.accessibility()
        apps = {app.pid: app for app in tree.applications}
        assert gtk3.proc.pid in apps and gtk4.proc.pid in apps, [a.describe() for a in tree.applications]

        def one(app, role, name):
            found = [e for e in apps[app.proc.pid] if e.role == role and e.name == name]
            assert len(found) == 1, f"{role} {name!r}: {[e.describe() for e in apps[app.proc.pid]]}"
            return found[0]

        save, entry = one(gtk3, "push button", "Save"), one(gtk3, "text", "File name")
        row = one(gtk3, "label", "row 3")
        assert row.parent.role == "list item" and row.parent.parent.role == "list box"
        assert "row 150" not in {e.name for e in apps[gtk3.proc.pid]}, "a row scrolled out of sight was read"
        assert "Click" in save.actions and {"enabled", "showing", "focusable"} <= save.states
        assert "editable" in entry.states and entry.text == ""
        targets = [(gtk3, save, "Save"), (gtk3, entry, "File name"), (gtk3, row, "row 3"),
                   (gtk4, one(gtk4, "push button", "Open"), "Open"), (gtk4, one(gtk4, "text", "Search"), "Search"),
                   (gtk4, one(gtk4, "check box", "Remember"), "Remember")]
        second = d.outputs[1]
        for peer, element, widget in targets:
            assert element.box is not None, element.describe()
            if peer is gtk4:
                assert element.box.left >= second.x, f"{element.describe()} is not on the second output"
            for x, y in probe_points(element.box):
                peer.drain()
                d.click(x, y)
                said = peer.next()
                assert said == {"ev": "press", "widget": widget}, f"{element.describe()} clicked at {x},{y}: {said}"

        # Locators: ARIA or AT-SPI roles, typing through the keyboard, waits, and errors with close matches.
        gtk3.drain()
        d.find(role="button", name="Save").click()
        assert gtk3.next() == {"ev": "press", "widget": "Save"}
        note = d.find(role="textbox", name="File name")
        note.type("report.txt")
        assert note.wait_for("visible").text == "report.txt"
        assert d.find("text", "File name", exact=True).box == note.box
        d.find("check box", "Remember").wait_for("enabled", timeout=2)
        with pytest.raises(ElementNotFound, match=r"(?s)name='Sav3'.*push button 'Save'"):
            d.find(role="button", name="Sav3", timeout=0.2).click()
        with pytest.raises(ElementNotFound, match="elements match"):
            d.find(role="label", name="row", timeout=0).element()
        with pytest.raises(ValueError, match="unknown role"):
            d.find(role="pushbutton-ish")

        # Formats: OSWorld's XML, the agents' table, set-of-marks.
        tree = d.accessibility()
        root = ET.fromstring(tree.xml())
        st, cp = NAMESPACES["st"], NAMESPACES["cp"]
        saved = [e for e in root.iter("push-button") if e.get("name") == "Save"]
        assert len(saved) == 1 and saved[0].get(f"{{{st}}}showing") == "true"
        box = one(gtk3, "push button", "Save").box
        assert saved[0].get(f"{{{cp}}}screencoord") == f"({box.left}, {box.top})"
        assert saved[0].get(f"{{{cp}}}size") == f"({box.width}, {box.height})"
        assert root.find(".//text[@name='File name']").text == "report.txt"
        table = tree.table().splitlines()
        assert table[0].startswith("tag\tname\ttext") and \
            f"push-button\tSave\t\t\t\t({box.left}, {box.top})\t({box.width}, {box.height})" in table
        first, second = d.outputs
        shot = d.screenshot(first.name)
        marked, marks = tree.marks(shot)
        numbered = {e.name: n for n, e in marks}
        assert "Save" in numbered and "Open" not in numbered and marks[0][0] == 1
        assert (marked[box.top, box.left + box.width // 2][:3] == (0, 0, 255)).all()  # red, in BGR
        assert (marked != shot).any(axis=2).sum() < shot.shape[0] * shot.shape[1] // 4
        assert tree.marks_text(marks).splitlines()[numbered["Save"]] == f"{numbered['Save']}\tpush-button\tSave\t\"\""
        _, marks = tree.marks(d.screenshot(second.name), origin=(second.x, second.y))
        assert {"Open", "Remember"} <= {e.name for _, e in marks} and "Save" not in {e.name for _, e in marks}

        # The executors' view: the second output shrunk to half, in the model's pixels.
        computer = AnthropicComputer(d, screen=second.name, size=(second.width // 2, second.height // 2))
        seen = {e.name: e.box for e in computer.accessibility() if e.box is not None}
        opened = one(gtk4, "push button", "Open").box
        assert "Save" not in seen and seen["Open"] == (
            (opened.left - second.x) // 2, (opened.top - second.y) // 2,
            (opened.left + opened.width - second.x + 1) // 2 - (opened.left - second.x) // 2,
            (opened.top + opened.height - second.y + 1) // 2 - (opened.top - second.y) // 2)
        assert computer.screen.to_layout(seen["Open"][0] + 1, seen["Open"][1] + 1, "point")[0] >= opened.left
    finally:
        gtk3.close()
        gtk4.close()
    # Gone applications leave the registry.
    deadline = time.monotonic() + 5
    while d.find(role="button", name="Save", timeout=0).exists() and time.monotonic() < deadline:
        time.sleep(0.05)
    d.find(role="button", name="Save").wait_for("hidden", timeout=1)


@skip_applications_when_sanitized
def test_browser_page_read_and_placed_on_the_second_output(desktop, tmp_path):
    session, d = desktop
    browser = shutil.which("chromium")
    page = (HERE / "a11y_page.html").as_uri()
    proc = session.spawn([browser, "--no-sandbox", f"--user-data-dir={tmp_path}", "--no-first-run",
                          "--ozone-platform=wayland", "--disable-gpu", "--force-renderer-accessibility",
                          "--window-size=900,700", page], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        submit = d.find(role="button", name="Submit order", timeout=30)
        submit.wait_for("visible", timeout=30)
        session.swaymsg(f"[pid={proc.pid}] move container to output {d.outputs[1].name}")
        deadline = time.monotonic() + 5
        while window_of(session, proc.pid)["rect"]["x"] < d.outputs[1].x and time.monotonic() < deadline:
            time.sleep(0.05)
        time.sleep(0.5)
        tree = d.accessibility()
        names = {(e.role, e.name) for e in tree}
        assert {("heading", "Orders"), ("push button", "Submit order"), ("entry", "Note"), ("link", "Help"),
                ("document web", "pravlin page")} <= names, sorted(names)
        presses = 0
        for role, name, pressed in (("push button", "Submit order", "submit"), ("entry", "Note", "note"),
                                    ("link", "Help", "help")):
            element = d.find(role, name, exact=True).element()
            assert element.box.left >= d.outputs[1].x, element.describe()
            for x, y in probe_points(element.box):
                d.click(x, y)
                presses += 1
                title = d.find(role="frame", name=re.compile(rf"^press {presses} "), timeout=5).element().name
                assert title.startswith(f"press {presses} {pressed} "), \
                    f"{element.describe()} clicked at {x},{y}: {title!r}"
    finally:
        proc.kill()
        proc.wait()


def test_session_buses_are_private_stop_with_it_and_can_be_left_out(tmp_path):
    with HeadlessSession([(640, 480)]) as session:
        env = session.environ()
        bus_dir = Path(env["AT_SPI_BUS_ADDRESS"].removeprefix("unix:path=")).parent.parent
        st = bus_dir.stat()
        assert (st.st_uid, st.st_mode & 0o777) == (os.geteuid(), 0o700)
        assert env["QT_LINUX_ACCESSIBILITY_ALWAYS_ON"] == "1" and "NO_AT_BRIDGE" not in env
        pids = [p.pid for p in session._buses.groups]
        reply = subprocess.run(["dbus-send", "--session", "--print-reply", "--dest=org.a11y.Bus", "/org/a11y/bus",
                                "org.a11y.Bus.GetAddress"], env=env, capture_output=True, text=True, timeout=10)
        assert env["AT_SPI_BUS_ADDRESS"] in reply.stdout, reply.stdout + reply.stderr
    assert not bus_dir.exists()
    left = []
    for entry in filter(str.isdigit, os.listdir("/proc")):
        try:
            stat = Path(f"/proc/{entry}/stat").read_bytes().rpartition(b")")[2].split()
        except OSError:
            continue
        if stat[0] != b"Z" and int(stat[2]) in pids:
            left.append(Path(f"/proc/{entry}/cmdline").read_bytes())
    assert not left, f"the buses' processes outlived the session: {left}"
    with HeadlessSession([(640, 480)], accessibility=False) as session, pytest.MonkeyPatch.context() as mp:
        env = session.environ()
        for key in ("AT_SPI_BUS_ADDRESS", "DBUS_SESSION_BUS_ADDRESS"):
            assert key not in session.env
            mp.delenv(key, raising=False)
        with Desktop(session.socket) as d, pytest.raises(AccessibilityUnavailable, match="no accessibility bus"):
            d.accessibility()


def test_agents_get_the_table_from_the_mcp_tool_and_the_environment(tmp_path):
    """pravlin-mcp's accessibility_tree tool (its own session) and DesktopEnv's observation, each with
    the GTK 3 window, in the pixels their screenshots have."""
    pytest.importorskip("mcp")
    pytest.importorskip("gymnasium")
    import anyio
    from mcp import ClientSession
    from mcp.client.stdio import StdioServerParameters, stdio_client

    from pravlin_desktop.env import ACTIONS, DesktopEnv

    app = f"{SYSTEM_PYTHON} {HERE / 'a11y_gtk3.py'}"
    params = StdioServerParameters(command=sys.executable, cwd=tmp_path, args=[
        "-m", "pravlin_desktop.mcp_server", "--headless", "--outputs", "1280x800", "--size", "640x400",
        "--launch", app])

    async def client():
        async with stdio_client(params) as (read, write), ClientSession(read, write) as session:
            await session.initialize()
            deadline = time.monotonic() + 20
            while True:
                table = await session.call_tool("accessibility_tree", {})
                assert not table.is_error, table
                if "push-button\tSave" in table.content[0].text:
                    break
                assert time.monotonic() < deadline, table.content[0].text
                await anyio.sleep(0.2)
            # GTK lays the button over the window's whole width: 640 pixels of the 640x400 screenshots.
            assert "push-button\tSave\t\t\t\t(0, 0)\t(640, 17)" in table.content[0].text, table.content[0].text
            xml = await session.call_tool("accessibility_tree", {"format": "xml"})
            assert ET.fromstring(xml.content[0].text).find(".//push-button[@name='Save']") is not None
            marks = await session.call_tool("accessibility_tree", {"format": "marks"})
            image, listing = marks.content
            assert image.type == "image" and "\tpush-button\tSave\t" in listing.text
    anyio.run(client)

    with DesktopEnv(outputs=[(1280, 800)], observation_size=(640, 400), accessibility=True,
                    programs=[[SYSTEM_PYTHON, str(HERE / "a11y_gtk3.py")]]) as env:
        obs, _ = env.reset()
        origin = np.zeros(2, np.int32)
        wait = {"action": ACTIONS.index("wait"), "coordinate": origin, "start_coordinate": origin, "text": "",
                "scroll": origin, "duration": np.float32(0.2)}
        for _ in range(20):
            if "push-button\tSave" in obs["accessibility"]:
                break
            obs, *_ = env.step(wait)
        assert "push-button\tSave\t\t\t\t(0, 0)\t(640, 17)" in obs["accessibility"], obs["accessibility"]
        assert env.observation_space.contains(obs)
    with DesktopEnv(outputs=[(320, 200)]) as env:
        assert "accessibility" not in env.observation_space.spaces
