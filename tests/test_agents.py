"""Computer-use executors end to end on headless sway: scripted agent loops, the actions as each vendor's
model emits them, typed into foot and clicked, scrolled and dragged into wev and a GTK window; where
each coordinate lands after scaling; what bad actions give back."""

import base64
import io
import subprocess
import uuid

import pytest

pytest.importorskip("cv2")
pytest.importorskip("fpng")

from agent_peers import BTN, FootCat, GtkApp, Wev  # noqa: E402
from PIL import Image  # noqa: E402

from pravlin_desktop import Desktop  # noqa: E402
from pravlin_desktop.computer_use import AnthropicComputer, OpenAIComputer, notches, recommended_size  # noqa: E402

MODEL = (1366, 768)  # the session's 1920x1080 as the vendor scales it
MIXED = "Grüße, naïve café: 漢字 ✓ €5 ½ — 'q' \"d\" <a|b> \\ $HOME ~/x\tend"
needs_gtk = pytest.mark.skipif(
    subprocess.run(["/usr/bin/python3", "-c", "import gi"], capture_output=True).returncode != 0,
    reason="python3-gi is not installed")


def layout(point, model=MODEL, out=(1920, 1080)):
    """Where a model's point must land: the middle of the output pixels it covers."""
    return tuple(int((v + 0.5) * o / m) for v, m, o in zip(point, model, out))


def tool_use(action, **fields):
    return {"type": "tool_use", "id": f"toolu_{uuid.uuid4().hex[:12]}", "name": "computer",
            "input": {"action": action, **fields}}


def png_size(data: str):
    return Image.open(io.BytesIO(base64.b64decode(data))).size


@pytest.fixture(scope="module")
def desktop(sway):
    with Desktop(sway.socket) as d:
        yield d


@pytest.fixture
def wev(sway):
    w = Wev(sway)
    yield w
    w.close()


@pytest.fixture
def gtk(sway):
    app = GtkApp(sway)
    yield app
    app.close()


@pytest.mark.parametrize("size, expected", [
    ((1920, 1080), (1366, 768)), ((3840, 2160), (1366, 768)), ((1920, 1200), (1280, 800)),
    ((2560, 1600), (1280, 800)), ((1280, 960), (1024, 768)), ((1366, 768), (1366, 768)),
    ((1280, 720), (1280, 720)), ((800, 600), (800, 600)), ((5120, 1440), (1568, 441)),
    ((2000, 2000), (1072, 1072)),
])
def test_screens_scale_to_the_vendors_targets_by_aspect_and_never_up(size, expected):
    assert recommended_size(*size) == expected


def test_scroll_pixels_become_the_nearest_notches_at_least_one():
    assert [notches(p) for p in (0, 1, 49, 149, 150, 250, 1000, -1, -250)] == [0, 1, 1, 1, 2, 3, 10, -1, -3]
    assert notches(120, pixels_per_notch=40) == 3


def test_anthropic_loop_types_mixed_text_into_foot(sway, desktop, tmp_path):
    foot = FootCat(sway, tmp_path / "typed.txt")
    try:
        computer = AnthropicComputer(desktop, version="computer_20250124")
        assert computer.tool_param() == {"type": "computer_20250124", "name": "computer",
                                         "display_width_px": 1366, "display_height_px": 768}
        for block in [tool_use("left_click", coordinate=[683, 384]), tool_use("type", text=MIXED),
                      tool_use("key", text="Return"), tool_use("key", text="ctrl+d")]:
            result = computer.tool_result(block)
            assert result["tool_use_id"] == block["id"] and "is_error" not in result, result
            [image] = result["content"]
            assert png_size(image["source"]["data"]) == MODEL
        assert foot.text() == MIXED + "\n"
    finally:
        foot.close()


def test_openai_loop_types_mixed_text_into_foot(sway, desktop, tmp_path):
    foot = FootCat(sway, tmp_path / "typed.txt")
    try:
        computer = OpenAIComputer(desktop)
        call = {"type": "computer_call", "id": "cu_1", "call_id": "call_1", "pending_safety_checks": [],
                "status": "completed", "actions": [
                    {"type": "click", "button": "left", "x": 960, "y": 540},
                    {"type": "type", "text": MIXED},
                    {"type": "keypress", "keys": ["ENTER"]},
                    {"type": "keypress", "keys": ["CTRL", "D"]}]}
        assert computer.run(call) is None
        shot = computer.screenshot_output()
        assert shot["type"] == "computer_screenshot" and shot["image_url"].startswith("data:image/png;base64,")
        assert png_size(shot["image_url"].split(",", 1)[1]) == (1920, 1080)
        assert foot.text() == MIXED + "\n"
    finally:
        foot.close()


def presses(events):
    return [(e["button"], e["x"], e["y"]) for e in events if e["ev"] == "press"]


@needs_gtk
def test_anthropic_loop_lands_every_coordinate_in_a_gtk_window(desktop, gtk):
    computer = AnthropicComputer(desktop, screenshots=False)
    at = {"left_click": 1, "right_click": 3, "middle_click": 2}
    for action, button in at.items():
        point = [100 + 37 * button, 300 + 11 * button]
        assert computer.run({"action": action, "coordinate": point}) == []
        got = gtk.take(lambda e: e["ev"] == "release")
        assert presses(got) == [(button, *layout(point))], got
    # Apart by more than GDK's double-click distance, or the triple click would continue the double.
    for action, count, point in (("double_click", 2, [501, 222]), ("triple_click", 3, [560, 260])):
        computer.run({"action": action, "coordinate": point})
        got = gtk.take(lambda e: e["ev"] == "multi" and e["n"] == count) + gtk.take(lambda e: e["ev"] == "release")
        assert presses(got) == [(1, *layout(point))] * count, got
    computer.run({"action": "left_click_drag", "start_coordinate": [50, 600], "coordinate": [400, 650],
                  "text": "ctrl"})
    got = gtk.take(lambda e: e["ev"] == "release")
    [press] = [e for e in got if e["ev"] == "press"]
    assert (press["x"], press["y"], press["mods"]) == (*layout([50, 600]), ["ctrl"]), got
    assert (got[-1]["x"], got[-1]["y"]) == layout([400, 650]), got
    assert any(e["ev"] == "motion" and e["buttons"] == [1] for e in got), got
    computer.run({"action": "scroll", "coordinate": [200, 400], "scroll_direction": "down", "scroll_amount": 3})
    got = gtk.take(lambda e: e["ev"] == "scroll" and not e["smooth"] and e["dy"] == 1)
    got += gtk.take(lambda e: e["ev"] == "scroll" and not e["smooth"] and e["dy"] == 1)
    got += gtk.take(lambda e: e["ev"] == "scroll" and not e["smooth"] and e["dy"] == 1)
    assert {(e["x"], e["y"]) for e in got if e["ev"] == "scroll"} == {layout([200, 400])}, got
    computer.run({"action": "left_mouse_down", "coordinate": [900, 500]})
    computer.run({"action": "mouse_move", "coordinate": [950, 520]})
    computer.run({"action": "left_mouse_up"})
    got = gtk.take(lambda e: e["ev"] == "release")
    assert presses(got) == [(1, *layout([900, 500]))] and (got[-1]["x"], got[-1]["y"]) == layout([950, 520]), got
    assert computer.run({"action": "cursor_position"}) == [{"type": "text", "text": "X=950,Y=520"}]


@needs_gtk
def test_openai_loop_lands_every_coordinate_in_a_gtk_window(desktop, gtk):
    computer = OpenAIComputer(desktop, size="auto")
    assert computer.run({"type": "click", "button": "right", "x": 10, "y": 700, "keys": ["CTRL"]}) is None
    got = gtk.take(lambda e: e["ev"] == "release")
    assert [(e["button"], e["x"], e["y"], e["mods"]) for e in got if e["ev"] == "press"] == [
        (3, *layout([10, 700]), ["ctrl"])], got
    assert computer.run([{"type": "double_click", "x": 1300, "y": 20},
                         {"type": "drag", "path": [{"x": 100, "y": 100}, {"x": 300, "y": 150}, {"x": 320, "y": 400}]},
                         {"type": "scroll", "x": 150, "y": 300, "scroll_x": 0, "scroll_y": 250}]) is None
    got = gtk.take(lambda e: e["ev"] == "multi") + gtk.take(lambda e: e["ev"] == "release")
    assert presses(got) == [(1, *layout([1300, 20]))] * 2, got
    got = gtk.take(lambda e: e["ev"] == "release")
    assert presses(got) == [(1, *layout([100, 100]))] and (got[-1]["x"], got[-1]["y"]) == layout([320, 400]), got
    got = []
    for _ in range(3):  # 250 pixels: 3 notches
        got += gtk.take(lambda e: e["ev"] == "scroll" and not e["smooth"])
    assert {(e["x"], e["y"], e["dy"]) for e in got if e["ev"] == "scroll" and not e["smooth"]} == {
        (*layout([150, 300]), 1)}


def test_buttons_sideways_wheel_and_drags_reach_wev_as_the_vendors_name_them(desktop, wev):
    openai = OpenAIComputer(desktop)
    for button in ("back", "forward", "wheel"):
        assert openai.run({"type": "click", "button": button, "x": 700, "y": 300}) is None
        code = BTN["middle" if button == "wheel" else button]
        assert [e for e in wev.take(lambda e: e[0] == "button" and not e[2]) if e[0] == "button"] == [
            ("button", code, True), ("button", code, False)]
    anthropic = AnthropicComputer(desktop, screenshots=False)
    anthropic.run({"action": "scroll", "coordinate": [683, 384], "scroll_direction": "left", "scroll_amount": 2})
    got = wev.take(lambda e: e[0] == "axis") + wev.take(lambda e: e[0] == "axis")
    assert ("motion", 960, 540) in got
    assert [e for e in got if e[0] in ("axis", "discrete")] == [("discrete", 1, -1), ("axis", 1, -15.0)] * 2
    anthropic.run({"action": "left_click_drag", "start_coordinate": [100, 100], "coordinate": [300, 180]})
    got = wev.take(lambda e: e[0] == "button" and not e[2])
    buttons = [i for i, e in enumerate(got) if e[0] == "button"]
    path = [e[1:] for e in got if e[0] == "motion"]
    assert len(buttons) == 2 and path[0] == layout([100, 100]) and path[-1] == layout([300, 180]), got
    assert got[buttons[0] - 1] == ("motion", *layout([100, 100])), got  # pressed where the drag starts
    assert all(abs(ax - bx) <= 10 and abs(ay - by) <= 10 for (ax, ay), (bx, by) in zip(path, path[1:])), path


def test_bad_actions_give_error_results_and_leave_nothing_pressed(desktop, wev):
    computer = AnthropicComputer(desktop, version="computer_20241022")
    bad = [
        ({"action": "left_click", "coordinate": [1366, 10]}, "off the screen"),
        ({"action": "mouse_move"}, "coordinate is missing"),
        ({"action": "key", "text": "ctrl+nosuchkey"}, "unknown key name 'nosuchkey'"),
        ({"action": "type", "text": 5}, "text must be a string"),
        ({"action": "scroll", "scroll_direction": "down", "scroll_amount": 1}, "not an action of computer_20241022"),
        ({"action": "fly"}, "unknown action 'fly'"),
        ({"coordinate": [1, 1]}, "action is missing"),
        ("left_click", "an action is a dict"),
    ]
    for action, words in bad:
        result = computer.tool_result({"type": "tool_use", "id": "t", "name": "computer", "input": action})
        assert result["is_error"] and result["content"][0]["text"].startswith("Error:"), result
        assert words in result["content"][0]["text"], result
    wev.read(0.1)
    assert wev.events == []  # nothing of them reached the window

    newer = AnthropicComputer(desktop, version="computer_20250124", screenshots=False)
    newer.run({"action": "left_mouse_down", "coordinate": [10, 10]})
    [error] = newer.run({"action": "left_click_drag", "start_coordinate": [5, 5], "coordinate": [9999, 5]})
    assert "off the screen" in error["text"]
    got = wev.take(lambda e: e[0] == "button" and not e[2])
    assert [e for e in got if e[0] == "button"] == [("button", BTN["left"], True), ("button", BTN["left"], False)]
    assert desktop._c.held() == ((), ())

    openai = OpenAIComputer(desktop)
    error = openai.run({"type": "computer_call", "actions": [
        {"type": "move", "x": 5, "y": 5, "keys": ["SHIFT"]},
        {"type": "click", "button": "sideways", "x": 1, "y": 1},
        {"type": "type", "text": "never typed"}]})
    assert error.startswith("Error in action 2 of 3 (click): button must be one of"), error
    assert openai.run({"type": "keypress", "keys": ["CTRL", "NOPE"]}).startswith("Error in action (keypress)")
    assert openai.run({"type": "drag", "path": [{"x": 1, "y": 1}]}).startswith("Error in action (drag): path")
    assert openai.run({"type": "scroll", "x": 1, "y": 1, "scroll_y": "a lot"}) is not None
    got = wev.take(lambda e: e == ("motion", 5, 5))
    assert not [e for e in wev.events if e[0] in ("button", "axis")], wev.events
    assert desktop._c.held() == ((), ())


def test_zoom_and_screenshots_come_at_the_models_size(desktop):
    computer = AnthropicComputer(desktop, version="computer_20251124")
    assert computer.tool_param()["enable_zoom"] is True
    [shot] = computer.run({"action": "screenshot"})
    assert shot["source"]["media_type"] == "image/png" and png_size(shot["source"]["data"]) == MODEL
    # Whatever the region's shape and rounding, the close-up is the screenshot's size; a region of
    # another shape grows to the screenshot's about its middle rather than being stretched.
    for region in ([0, 0, 683, 384], [0, 0, 341, 192], [0, 0, 683, 192], [1000, 700, 1366, 768]):
        [zoom] = computer.run({"action": "zoom", "region": region})
        assert png_size(zoom["source"]["data"]) == MODEL, region
    [error] = computer.run({"action": "zoom", "region": [10, 10, 5, 20]})
    assert "is not a box on the screen" in error["text"]
    plain = AnthropicComputer(desktop, version="computer_20241022", size=None)
    assert plain.tool_param()["display_width_px"] == 1920 and "enable_zoom" not in plain.tool_param()
    # A size the model's points cannot all be told apart in, of another shape, or beyond the API's limits.
    for size, words in (((2560, 1440), "never enlarged"), ((1000, 1000), "another shape"),
                        ((1600, 900), "beyond what Anthropic's API takes")):
        with pytest.raises(ValueError, match=words):
            AnthropicComputer(desktop, size=size)
    # Every point of a smaller model size reads back as given.
    small = AnthropicComputer(desktop, size=(960, 540), screenshots=False)
    for x, y in ((0, 0), (1, 1), (959, 539), (333, 217), (480, 270)):
        small.run({"action": "mouse_move", "coordinate": [x, y]})
        assert small.run({"action": "cursor_position"}) == [{"type": "text", "text": f"X={x},Y={y}"}]


def test_the_official_sdks_objects_work_as_their_dicts(desktop, wev):
    anthropic = pytest.importorskip("anthropic")
    openai_responses = pytest.importorskip("openai.types.responses")
    block = anthropic.types.beta.BetaToolUseBlock(
        id="toolu_1", type="tool_use", name="computer", input={"action": "left_click", "coordinate": [683, 384]})
    result = AnthropicComputer(desktop, screenshots=False).tool_result(block)
    assert result == {"type": "tool_result", "tool_use_id": "toolu_1", "content": []}
    call = openai_responses.ResponseComputerToolCall.model_validate({
        "id": "cu_1", "call_id": "call_1", "type": "computer_call", "status": "completed",
        "pending_safety_checks": [], "actions": [{"type": "move", "x": 100, "y": 120},
                                                 {"type": "click", "button": "right", "x": 101, "y": 121}]})
    computer = OpenAIComputer(desktop)
    assert computer.run(call) is None
    assert computer.run(call.actions[0]) is None
    got = wev.take(lambda e: e == ("button", BTN["right"], False))
    assert [e for e in got if e[0] == "button"] == [
        ("button", BTN["left"], True), ("button", BTN["left"], False),
        ("button", BTN["right"], True), ("button", BTN["right"], False)], got
    assert ("motion", 960, 540) in got and ("motion", 100, 120) in got and ("motion", 101, 121) in got


def test_a_models_numbers_are_bounded_and_its_first_cursor_position_is_the_middle(sway, wev):
    with Desktop(sway.socket) as fresh:
        anthropic = AnthropicComputer(fresh, version="computer_20251124", screenshots=False)
        assert anthropic.run({"action": "cursor_position"}) == [{"type": "text", "text": "X=683,Y=384"}]
        huge = 10 ** 400
        bad = [
            ({"action": "key", "text": "shift", "repeat": 10 ** 9}, "repeat must be a whole number from 1 to 1000"),
            ({"action": "key", "text": "a b", "repeat": 501}, "from 1 to 500"),
            ({"action": "left_click", "coordinate": [huge, 5]}, "coordinate x is out of range"),
            ({"action": "mouse_move", "coordinate": [1e300, 5]}, "off the screen"),
            ({"action": "hold_key", "text": "shift", "duration": huge}, "duration is out of range"),
            ({"action": "wait", "duration": 1e300}, "duration must be from 0 to 100"),
            ({"action": "scroll", "scroll_direction": "down", "scroll_amount": huge}, "from 0 to 100"),
            ({"action": "zoom", "region": [0, 0, huge, 5]}, "region is out of range"),
        ]
        for action, words in bad:
            [error] = anthropic.run(action)
            assert error["text"].startswith("Error:") and words in error["text"], (action, error)
            assert len(error["text"]) < 200, error
        openai = OpenAIComputer(fresh)
        for action, words in (
                ({"type": "scroll", "x": 1, "y": 1, "scroll_y": huge}, "scroll_y is out of range"),
                ({"type": "scroll", "x": 1, "y": 1, "scroll_x": 10 ** 6}, "at most 100"),
                ({"type": "click", "x": huge, "y": 1}, "out of range"),
                ({"type": "drag", "path": [[1, 1], [5, 5]]}, 'path[0] must be a point {"x": X, "y": Y}, not [1, 1]'),
                ({"type": "drag", "path": [{"x": 1, "y": 1}] * 1001}, "path must be a list of 2 to 1000 points")):
            error = openai.run(action)
            assert error is not None and words in error, (action, error)
    wev.read(0.1)
    # None of them pressed anything (the executor moved the pointer to the middle, nothing more).
    assert not [e for e in wev.events if e[0] in ("button", "key", "axis")], wev.events
