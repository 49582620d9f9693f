"""pravlin_desktop.pyautogui: pyautogui code in OSWorld's style (`import pyautogui`, run with `python -c`)
unchanged on headless sway, checked in the windows it drives; and the module's own rules (PAUSE,
FAILSAFE, its errors, what it tells of the screen)."""

import subprocess
import sys
import time

import pytest

from agent_peers import BTN, FootCat, GtkApp, Wev

import pravlin_desktop.pyautogui as pyautogui

# As wev reports them: xkb keycodes, the Linux codes (29, 42) plus 8.
KEY_LEFTCTRL, KEY_LEFTSHIFT = 37, 50
# How OSWorld runs an action: python -c "import pyautogui; import time; pyautogui.FAILSAFE = False; <code>".
PREFIX = "import pyautogui; import time; pyautogui.FAILSAFE = False; "
needs_gtk = pytest.mark.skipif(
    subprocess.run(["/usr/bin/python3", "-c", "import gi"], capture_output=True).returncode != 0,
    reason="python3-gi is not installed")


def run_snippet(sway, code, tmp_path):
    """The code as OSWorld sends it, in a fresh interpreter where `import pyautogui` is this module."""
    res = subprocess.run([sys.executable, "-m", "pravlin_desktop.pyautogui", "-c", PREFIX + code],
                         env=sway.environ(), cwd=tmp_path, capture_output=True, text=True, timeout=60)
    assert res.returncode == 0, res.stderr
    return res.stdout


@pytest.fixture
def pg(sway, monkeypatch):
    """The module in this process, on the session, without its pauses."""
    monkeypatch.setattr(pyautogui, "PAUSE", 0.0)
    pyautogui.connect(sway.socket)
    yield pyautogui
    pyautogui._desktop.close()
    pyautogui._desktop = None


def test_osworld_typing_snippets_run_unchanged_in_foot(sway, tmp_path):
    foot = FootCat(sway, tmp_path / "typed.txt")
    try:
        run_snippet(sway, "pyautogui.click(960, 540); pyautogui.typewrite('Hello, World! 123', interval=0.01); "
                          "pyautogui.press('enter'); pyautogui.write('naïve café ✓ abc'); "
                          "pyautogui.press('backspace', presses=2); "
                          "pyautogui.typewrite(['enter', 'a', 'B', 'space', 'tab']); pyautogui.press('enter'); "
                          "pyautogui.hotkey('ctrl', 'd')", tmp_path)
        assert foot.text() == "Hello, World! 123\nnaïve café ✓ a\naB \t\n"
    finally:
        foot.close()


@needs_gtk
def test_osworld_pointer_snippets_run_unchanged_in_a_gtk_window(sway, tmp_path):
    gtk = GtkApp(sway)
    try:
        run_snippet(sway, "pyautogui.moveTo(400, 300); pyautogui.click(); pyautogui.rightClick(500, 320); "
                          "pyautogui.doubleClick(x=1000, y=200); pyautogui.click(700, 600, button='middle')", tmp_path)
        got = gtk.take(lambda e: e["ev"] == "release" and e["button"] == 2)
        assert [(e["button"], e["x"], e["y"]) for e in got if e["ev"] == "press"] == [
            (1, 400, 300), (3, 500, 320), (1, 1000, 200), (1, 1000, 200), (2, 700, 600)], got
        assert [e["n"] for e in got if e["ev"] == "multi"] == [2]
        run_snippet(sway, "pyautogui.moveTo(300, 700); pyautogui.dragTo(600, 750, duration=0.3, button='left'); "
                          "pyautogui.dragRel(0, -100)", tmp_path)
        got = gtk.take(lambda e: e["ev"] == "release") + gtk.take(lambda e: e["ev"] == "release")
        assert [(e["x"], e["y"]) for e in got if e["ev"] in ("press", "release")] == [
            (300, 700), (600, 750), (600, 750), (600, 650)], got
        assert len([e for e in got if e["ev"] == "motion" and e["buttons"] == [1]]) >= 3, got
        run_snippet(sway, "pyautogui.scroll(-3, x=200, y=500); pyautogui.scroll(2)", tmp_path)
        got = []
        for _ in range(5):
            got += gtk.take(lambda e: e["ev"] == "scroll" and not e["smooth"])
        assert [(e["x"], e["y"], e["dy"]) for e in got if e["ev"] == "scroll" and not e["smooth"]] == [
            (200, 500, 1)] * 3 + [(200, 500, -1)] * 2, got
    finally:
        gtk.close()


def test_linux_wheel_buttons_sideways_scroll_and_held_keys(pg, sway):
    wev = Wev(sway)
    try:
        pg.hscroll(2, x=100, y=100)
        pg.click(150, 150, button=4)
        got = wev.take(lambda e: e[0] == "axis" and e[1] == 0)
        assert [e for e in got if e[0] == "axis"] == [("axis", 1, 15.0), ("axis", 1, 15.0), ("axis", 0, -15.0)]
        with pg.hold(["ctrl", "shift"]):
            pg.mouseDown(button="right")
            pg.mouseUp(button=3)
        got = wev.take(lambda e: e == ("key", KEY_LEFTCTRL, False))
        assert [e for e in got if e[0] in ("button", "key")] == [
            ("key", KEY_LEFTCTRL, True), ("key", KEY_LEFTSHIFT, True), ("button", BTN["right"], True),
            ("button", BTN["right"], False), ("key", KEY_LEFTSHIFT, False), ("key", KEY_LEFTCTRL, False)], got
    finally:
        wev.close()


def test_failsafe_pause_and_bad_arguments(pg, monkeypatch):
    monkeypatch.setattr(pg, "FAILSAFE", True)
    pg.moveTo(0, 0)
    with pytest.raises(pg.FailSafeException):
        pg.click()
    monkeypatch.setattr(pg, "FAILSAFE", False)
    pg.moveTo(-50, 99999)  # off the screen: to the nearest edge, as X11 puts it
    assert pg.position() == (0, 1079)
    with pytest.raises(pg.PyAutoGUIException, match="button must be one of"):
        pg.click(10, 10, button="thumb")
    with pytest.raises(ValueError, match="unknown key name"):
        pg.press("nosuchkey")
    assert pg.isValidKey("enter") and pg.isValidKey("a") and not pg.isValidKey("nosuchkey")
    assert pg._desktop._c.held() == ((), ())


def test_screen_queries(pg):
    assert pg.size() == (1920, 1080) and pg.resolution() == pg.size()
    assert pg.onScreen(1919, 1079) and not pg.onScreen(1920, 5) and pg.onScreen((5, 5))
    pg.moveTo(123, 456)
    assert pg.position() == (123, 456) and pg.position(x=7) == (7, 456)
    shot = pg.screenshot(region=(10, 20, 30, 40))
    assert shot.mode == "RGB" and shot.size == (30, 40)
    full = pg.screenshot()
    assert full.size == (1920, 1080)
    r, g, b = full.getpixel((15, 25))
    assert pg.pixel(15, 25) == (r, g, b)
    assert pg.pixelMatchesColor(15, 25, (r, g, b)) and pg.pixelMatchesColor(15, 25, (r + 3, g, b), tolerance=3)
    assert pg.center((10, 20, 30, 40)) == (25, 40)
    assert pg.easeInOutQuad(0.5) == 0.5


@needs_gtk
def test_image_search_finds_and_clicks_what_a_screenshot_shows(pg, sway, tmp_path):
    pytest.importorskip("cv2")
    gtk = GtkApp(sway)
    try:
        # GTK animates its buttons for a moment once the window has the focus: wait for a still screen.
        before, deadline = None, time.monotonic() + 5
        while (now := pg.screenshot().tobytes()) != before and time.monotonic() < deadline:
            before = now
            time.sleep(0.1)
        piece = tmp_path / "piece.png"
        pg.screenshot(piece, region=(405, 10, 75, 28))  # the toolbar's Settings button
        assert pg.locateOnScreen(str(piece)) == (405, 10, 75, 28)
        assert pg.locateCenterOnScreen(str(piece), confidence=0.9) == (442, 24)
        assert list(pg.locateAllOnScreen(str(piece), region=(300, 0, 400, 60))) == [(405, 10, 75, 28)]
        pg.click(str(piece))
        got = gtk.take(lambda e: e["ev"] == "release")
        assert [(e["x"], e["y"]) for e in got if e["ev"] == "press"] == [(442, 24)], got
        missing = pg.screenshot(region=(405, 10, 75, 28)).transpose(0)  # mirrored: nowhere on the screen
        with pytest.raises(pg.ImageNotFoundException):
            pg.locateOnScreen(missing)
        pg.useImageNotFoundException(False)
        try:
            assert pg.locateOnScreen(missing) is None and pg.locateCenterOnScreen(missing) is None
        finally:
            pg.useImageNotFoundException()
    finally:
        gtk.close()


def _focused_window(sway, title, timeout=10.0):
    """Waits until sway has a focused window named `title`."""
    import json

    def find(node):
        if node.get("name") == title and node.get("focused"):
            return True
        return any(find(n) for n in node.get("nodes", []) + node.get("floating_nodes", []))

    deadline = time.monotonic() + timeout
    while not find(json.loads(sway.swaymsg("-t", "get_tree"))):
        assert time.monotonic() < deadline, f"no focused window {title!r}"
        time.sleep(0.05)


@needs_gtk
def test_message_boxes_are_gtk_dialogs_answered_in_the_session(pg, sway):
    import threading

    d = pg._desktop
    cases = [
        ("alert", dict(text="Saved.", title="box-alert"), lambda: d.key("Return"), "OK"),
        ("confirm", dict(text="Really?", title="box-confirm", buttons=["Yes", "No", "Later"]),
         lambda: (d.key("Right"), d.key("Return")), "No"),
        ("prompt", dict(text="Name?", title="box-prompt", default="x"),
         lambda: (d.key("BackSpace"), d.type("Grüße\n")), "Grüße"),
        ("password", dict(text="Secret?", title="box-password"), lambda: d.key("Escape"), None),
    ]
    for name, kwargs, answer, expected in cases:
        got = {}
        asking = threading.Thread(target=lambda: got.update(value=getattr(pg, name)(**kwargs)))
        asking.start()
        try:
            _focused_window(sway, kwargs["title"])
            answer()
        finally:
            asking.join(10)
        assert not asking.is_alive() and got == {"value": expected}, (name, got)
    assert pg.alert("nobody answers", title="box-timeout", timeout=200) == "Timeout"
    for name in ("mouseInfo", "displayMousePosition"):
        with pytest.raises(NotImplementedError, match="Wayland tells no client where the pointer is"):
            getattr(pg, name)()
