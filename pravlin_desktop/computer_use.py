"""Computer-use executors: a model's actions, exactly as its API returns them, performed on a Desktop.

    from pravlin_desktop import Desktop
    from pravlin_desktop.computer_use import AnthropicComputer, OpenAIComputer

    computer = AnthropicComputer(Desktop(), version="computer_20250124")
    tools = [computer.tool_param()]
    ...
    for block in response.content:
        if block.type == "tool_use":
            results.append(computer.tool_result(block))   # or computer.run(block.input): the content blocks

Actions come as plain dicts or as the objects of the official SDKs (`anthropic`, `openai`), neither of
which is needed here. A bad action (a missing or malformed field, an unknown key, a point off the
screen, an unknown action, a number beyond its bound) never raises: it gives an error result whose text
says what was wrong, and whatever the executor held pressed is released; so does typing into a window
that stopped reading its keys (the text says how much was typed). Failures of the desktop itself (a lost
connection) still raise. A model's numbers are bounded so that any action ends within seconds
(at most 1000 key presses, 100 wheel notches, 100 s of holding or waiting, 1000 points of a drag).

Coordinates are the model's: pixels of the screenshots it is shown. Anthropic's executor scales them
as the vendor recommends: the screenshot goes to the model at XGA (1024x768), WXGA (1280x800) or FWXGA
(1366x768), whichever has the output's aspect ratio, never enlarged; other shapes are shrunk to within
the API's own limits (1568 pixels on the long edge, 1.15 megapixels), below which it does not resample.
"""

from __future__ import annotations

import math
import time
from collections.abc import Mapping, Sequence
from numbers import Real

from . import _images, _keys
from ._control import PersonHasControl
from ._desktop import Desktop, Output

__all__ = ["ActionError", "AnthropicComputer", "OpenAIComputer", "notches", "recommended_size"]

# XGA, WXGA, FWXGA.
SCALING_TARGETS = ((1024, 768), (1280, 800), (1366, 768))
_ASPECT_TOLERANCE = 0.02
_MAX_LONG_EDGE = 1568
_MAX_PIXELS = 1_150_000
# What a double or triple click waits between its clicks (xdotool's --delay 10 in the vendor's setup).
_CLICK_INTERVAL = 0.01
# Bounds of a model's numbers: whatever a model asks, an action ends in seconds. A key action presses at
# most _MAX_PRESSES combinations (repeat times the combinations in its text), a scroll turns the wheel at
# most _MAX_NOTCHES notches per axis, a drag passes through at most _MAX_PATH points.
_MAX_PRESSES = 1000
_MAX_NOTCHES = 100
_MAX_PATH = 1000


class ActionError(ValueError):
    """An action that cannot be performed as given."""


def _person_control(value: str) -> str:
    if value not in ("wait", "report"):
        raise ValueError(f"person_control is 'wait' or 'report', not {value!r}")
    return value


def _yield_to_person(executor, acts: bool) -> None:
    """With person_control="report", an action that presses or moves is not performed while a person
    watching the session has control."""
    if acts and executor.person_control == "report" and executor.desktop.person_has_control:
        raise PersonHasControl("a person watching the session has taken control of it; the action was not "
                               "performed (try again later)")


def recommended_size(width: int, height: int) -> tuple[int, int]:
    """The size screenshots of a `width` x `height` output go to an Anthropic model at."""
    ratio = width / height
    for w, h in SCALING_TARGETS:
        if abs(w / h - ratio) < _ASPECT_TOLERANCE and w <= width and h <= height:
            return w, h
    factor = min(1.0, _MAX_LONG_EDGE / max(width, height), math.sqrt(_MAX_PIXELS / (width * height)))
    return max(1, math.floor(width * factor)), max(1, math.floor(height * factor))


def notches(pixels, pixels_per_notch: float = 100, what: str = "scroll distance") -> int:
    """Wheel notches for a scroll of `pixels`, the sign kept: the nearest whole number of notches (halves
    round up), but at least one for any scroll; ActionError beyond _MAX_NOTCHES."""
    pixels = _number(pixels, what)
    if pixels == 0:
        return 0
    count = max(1, math.floor(abs(pixels) / pixels_per_notch + 0.5))
    if count > _MAX_NOTCHES:
        raise ActionError(f"{what} of {pixels:g} pixels is {count} wheel notches; a scroll turns at most "
                          f"{_MAX_NOTCHES} ({_MAX_NOTCHES * pixels_per_notch:g} pixels)")
    return int(math.copysign(count, pixels))


# -- what both executors share ---------------------------------------------------------------------


def _plain(value) -> dict:
    """A dict of an action, a tool call or a block, whether given as a dict or an SDK object."""
    if isinstance(value, Mapping):
        return dict(value)
    dump = getattr(value, "model_dump", None)
    if callable(dump):
        return dump(exclude_none=True)
    raise ActionError(f"an action is a dict (or an SDK object), not {type(value).__name__}")


def _shown(value) -> str:
    """A model's value for an error message: huge numbers cut short."""
    text = repr(value)
    return text if len(text) <= 40 else f"{text[:20]}...({len(text)} characters)"


def _number(value, what: str) -> float:
    # A whole number too large for a float (10**400) is as unusable as an infinite one.
    try:
        number = float(value) if not isinstance(value, bool) and isinstance(value, Real) else math.nan
    except OverflowError:
        raise ActionError(f"{what} is out of range: {_shown(value)}") from None
    if not math.isfinite(number):
        raise ActionError(f"{what} must be a finite number, not {_shown(value)}")
    return number


def _whole(value, what: str, low: int = 0, high: int | None = None) -> int:
    if (isinstance(value, bool) or not isinstance(value, int) or value < low
            or (high is not None and value > high)):
        bounds = f"from {low} to {high}" if high is not None else f"at least {low}"
        raise ActionError(f"{what} must be a whole number {bounds}, not {_shown(value)}")
    return value


def _text(params: dict, field: str, required: bool = True) -> str | None:
    value = params.get(field)
    if value is None:
        if required:
            raise ActionError(f"{field} is missing")
        return None
    if not isinstance(value, str):
        raise ActionError(f"{field} must be a string, not {value!r}")
    return value


class _ModelScreen:
    """One output as the model sees it: screenshots at `size`, and its points mapped back to the
    layout (each model pixel to the middle of the output pixels it covers). A pointer that this
    Desktop has not placed yet goes to the output's middle, so that the model's first cursor_position
    has an answer and a click without coordinates lands where it says."""

    def __init__(self, desktop: Desktop, screen: str | None, size, api_limits: bool):
        if not isinstance(desktop, Desktop):
            raise TypeError(f"the executor drives a pravlin_desktop.Desktop, not {type(desktop).__name__}")
        self.desktop = desktop
        outputs = desktop.outputs
        names = [o.name for o in outputs]
        if screen is None:
            if len(outputs) != 1:
                raise ValueError(f"the desktop has {len(outputs)} outputs ({', '.join(names) or 'none'}): "
                                 "say which one the model sees (screen=NAME)")
            screen = names[0]
        elif screen not in names:
            raise ValueError(f"no output {screen!r}; the desktop has {', '.join(names) or 'none'}")
        self.name = screen
        out = self.output()
        if size == "auto":
            size = recommended_size(out.width, out.height)
        elif size is None:
            size = (out.width, out.height)
        elif (not isinstance(size, Sequence) or len(size) != 2
              or not all(isinstance(v, int) and not isinstance(v, bool) and v > 0 for v in size)):
            raise ValueError(f"size is 'auto', None or (width, height) in pixels, not {size!r}")
        else:
            _check_size(tuple(size), out, api_limits)
        self.size = (int(size[0]), int(size[1]))
        # Not while a person has control of the session: the executor would wait (or fail) at its
        # construction; the first cursor_position places it then.
        if not desktop.person_has_control:
            self.place_pointer()

    def place_pointer(self) -> None:
        """Puts a pointer this Desktop has not placed yet in the output's middle."""
        if self.desktop.position() is None:
            out = self.output()
            self.desktop.move(out.x + out.width // 2, out.y + out.height // 2)

    def output(self) -> Output:
        for o in self.desktop.outputs:
            if o.name == self.name:
                return o
        raise RuntimeError(f"the output {self.name} is gone")

    def to_layout(self, x, y, what: str) -> tuple[int, int]:
        x, y = _number(x, f"{what} x"), _number(y, f"{what} y")
        w, h = self.size
        if not (0 <= x < w and 0 <= y < h):
            raise ActionError(f"{what} ({x:g}, {y:g}) is off the screen, which is {w}x{h} pixels "
                              f"(x from 0 to {w - 1}, y from 0 to {h - 1})")
        o = self.output()
        return (o.x + min(int((x + 0.5) * o.width / w), o.width - 1),
                o.y + min(int((y + 0.5) * o.height / h), o.height - 1))

    def to_model(self, x: int, y: int) -> tuple[int, int]:
        o = self.output()
        w, h = self.size
        return (min(max(int((x - o.x + 0.5) * w / o.width), 0), w - 1),
                min(max(int((y - o.y + 0.5) * h / o.height), 0), h - 1))

    def capture(self):
        """The output's pixels (BGRX) with the pointer drawn in, as the model's screenshots show it."""
        return self.desktop.capture(self.name, cursor=True).image

    def screenshot(self) -> str:
        """A screenshot at the model's size: base64 of a PNG."""
        return _images.png_base64(_images.resize(self.capture(), self.size))

    def zoom(self, region) -> str:
        """A region (x0, y0, x1, y1 in the model's pixels) from the output's own pixels, at the model's
        screenshot size: base64 of a PNG. A region of another shape than the screenshot is widened (or
        heightened) about its middle to the screenshot's shape, moved back onto the screen where that
        takes it past an edge, so that nothing is stretched."""
        if not isinstance(region, Sequence) or isinstance(region, str) or len(region) != 4:
            raise ActionError(f"region must be [x0, y0, x1, y1], not {_shown(region)}")
        x0, y0, x1, y1 = (_number(v, "region") for v in region)
        w, h = self.size
        if not (0 <= x0 < x1 <= w and 0 <= y0 < y1 <= h):
            raise ActionError(f"region {list(region)} is not a box on the screen, which is {w}x{h} pixels "
                              "(0 <= x0 < x1 <= width, 0 <= y0 < y1 <= height)")
        x0, x1 = _widened(x0, x1, (y1 - y0) * w / h, w)
        y0, y1 = _widened(y0, y1, (x1 - x0) * h / w, h)
        o = self.output()
        left, top = round(x0 * o.width / w), round(y0 * o.height / h)
        right = max(round(x1 * o.width / w), left + 1)
        bottom = max(round(y1 * o.height / h), top + 1)
        crop = self.capture()[top:bottom, left:right]
        return _images.png_base64(_images.resize(crop, self.size))

    def accessibility(self, **options):
        """Desktop.accessibility(**options) with boxes in the model's screenshot pixels (None for
        elements off this output)."""
        o, (w, h) = self.output(), self.size
        return self.desktop.accessibility(**options).in_pixels_of((o.x, o.y), (w / o.width, h / o.height), (w, h))

    def point(self, value, what: str) -> tuple[int, int]:
        """[x, y] in the model's pixels to the layout."""
        if not isinstance(value, Sequence) or isinstance(value, str) or len(value) != 2:
            raise ActionError(f"{what} must be [x, y], not {_shown(value)}")
        return self.to_layout(value[0], value[1], what)


def _widened(low: float, high: float, length: float, limit: float) -> tuple[float, float]:
    """The span low..high grown about its middle to `length` (when shorter), kept within 0..limit."""
    if high - low >= length:
        return low, high
    low = min(max(0.0, (low + high - length) / 2), limit - length)
    return max(0.0, low), min(limit, low + length)


def _check_size(size: tuple[int, int], output: Output, api_limits: bool) -> None:
    """A model's screenshot size for an output: no larger, of its shape, and (for Anthropic's models)
    within what the API takes without resampling."""
    w, h = size
    ow, oh = output.width, output.height
    if w > ow or h > oh:
        raise ValueError(f"size {w}x{h} is larger than the output {output.name} ({ow}x{oh}): screenshots are "
                         "never enlarged, since the model's points could then not all be told apart")
    if not (abs(w / h - ow / oh) < _ASPECT_TOLERANCE or h == round(w * oh / ow) or w == round(h * ow / oh)):
        raise ValueError(f"size {w}x{h} has another shape than the output {output.name} ({ow}x{oh}); "
                         f"of that shape at width {w} is {w}x{max(1, round(w * oh / ow))}")
    if api_limits and (max(w, h) > _MAX_LONG_EDGE or w * h > _MAX_PIXELS):
        raise ValueError(f"size {w}x{h} is beyond what Anthropic's API takes without shrinking it itself "
                         f"({_MAX_LONG_EDGE} pixels on the long edge, {_MAX_PIXELS / 1e6:g} megapixels); "
                         f"recommended_size gives {'x'.join(map(str, recommended_size(ow, oh)))}")


# -- Anthropic -------------------------------------------------------------------------------------

_ACTIONS_20241022 = frozenset({"key", "type", "mouse_move", "left_click", "left_click_drag", "right_click",
                               "middle_click", "double_click", "screenshot", "cursor_position"})
_ACTIONS_20250124 = _ACTIONS_20241022 | {"scroll", "left_mouse_down", "left_mouse_up", "hold_key", "wait",
                                         "triple_click"}
VERSIONS = {
    "computer_20241022": _ACTIONS_20241022,
    "computer_20250124": _ACTIONS_20250124,
    "computer_20251124": _ACTIONS_20250124 | {"zoom"},
}
_CLICKS = {"left_click": ("left", 1), "right_click": ("right", 1), "middle_click": ("middle", 1),
           "double_click": ("left", 2), "triple_click": ("left", 3)}
_SCROLL = {"up": (-1, 0), "down": (1, 0), "left": (0, -1), "right": (0, 1)}
# The vendor's own executor refuses longer holds and waits.
_MAX_SECONDS = 100


class AnthropicComputer:
    """Performs the actions of Anthropic's computer tool (versions computer_20241022, computer_20250124,
    computer_20251124) on one output of a Desktop.

    `screen` names the output (by default the only one); `size` is what the model sees: "auto" (the
    vendor's recommendation, see recommended_size), None (the output's own size) or (width, height).
    After each action but screenshot, zoom and cursor_position the result holds a fresh screenshot, as
    the vendor's reference setup returns, unless `screenshots` is False. `zoom` offers the zoom action
    where the version has it. `type_interval` is the time between typed characters, in seconds.
    While a person watching the session has taken control (pravlin-run --view --control), actions wait
    for the person to hand back, or with `person_control="report"` give an error result saying so.
    """

    def __init__(self, desktop: Desktop, *, version: str = "computer_20250124", screen: str | None = None,
                 size="auto", screenshots: bool = True, zoom: bool = True, type_interval: float = 0.0,
                 person_control: str = "wait"):
        if version not in VERSIONS:
            raise ValueError(f"unknown version {version!r}; known: {', '.join(VERSIONS)}")
        self.version = version
        self.screen = _ModelScreen(desktop, screen, size, api_limits=True)
        self.desktop = desktop
        self.screenshots = screenshots
        self.actions = VERSIONS[version] if zoom else VERSIONS[version] - {"zoom"}
        self.type_interval = type_interval
        self.person_control = _person_control(person_control)
        self._button_down = False

    @property
    def display_size(self) -> tuple[int, int]:
        """Width and height of the model's screenshots, in pixels."""
        return self.screen.size

    def accessibility(self, **options):
        """The screen's accessibility tree (an accessibility.AccessibilityTree; options as
        Desktop.accessibility's) with boxes in the model's screenshot pixels, the coordinates its
        actions take: `.table()` is the text agents are given beside the screenshot."""
        return self.screen.accessibility(**options)

    def tool_param(self) -> dict:
        """The tool's definition for the request's `tools`."""
        w, h = self.screen.size
        param = {"type": self.version, "name": "computer", "display_width_px": w, "display_height_px": h}
        if "zoom" in self.actions:
            param["enable_zoom"] = True
        return param

    def run(self, tool_input) -> list[dict]:
        """Performs one action (the tool_use block's `input`, or the block itself) and returns the
        tool_result's content blocks: text where the action has something to say, an image (base64 PNG)
        where it gives one. A bad action gives one text block that starts with "Error:"."""
        return self._perform(tool_input)[0]

    def tool_result(self, tool_use) -> dict:
        """Performs a tool_use block's action and returns the whole tool_result block for it, with
        is_error set when the action was bad."""
        block = _plain(tool_use)
        content, failed = self._perform(block.get("input"))
        result = {"type": "tool_result", "tool_use_id": block.get("id"), "content": content}
        if failed:
            result["is_error"] = True
        return result

    # -- the actions --------------------------------------------------------------------------------

    def _perform(self, tool_input) -> tuple[list[dict], bool]:
        try:
            params = _plain(tool_input)
            if params.get("type") == "tool_use":
                params = _plain(params.get("input"))
            action = _text(params, "action")
            if action not in self.actions:
                known = sorted(set().union(*VERSIONS.values()))
                if action in known:
                    raise ActionError(f"{action!r} is not an action of {self.version}")
                raise ActionError(f"unknown action {action!r}; {self.version} has {', '.join(sorted(self.actions))}")
            _yield_to_person(self, action not in ("screenshot", "zoom", "cursor_position", "wait"))
            blocks = getattr(self, "_" + action)(params)
            if self.screenshots and action not in ("screenshot", "zoom", "cursor_position"):
                blocks.append(self._image(self.screen.screenshot()))
            return blocks, False
        except PersonHasControl as error:
            return [{"type": "text", "text": f"Error: {error}"}], True
        except (ActionError, ValueError, TypeError, TimeoutError) as error:
            self._let_go()
            return [{"type": "text", "text": f"Error: {error}"}], True

    def _let_go(self) -> None:
        if self._button_down:
            self._button_down = False
            self.desktop.mouse_up("left")

    @staticmethod
    def _image(data: str) -> dict:
        return {"type": "image", "source": {"type": "base64", "media_type": "image/png", "data": data}}

    def _at(self, params: dict, required: bool = False) -> tuple[int | None, int | None]:
        value = params.get("coordinate")
        if value is None:
            if required:
                raise ActionError("coordinate is missing")
            return None, None
        return self.screen.point(value, "coordinate")

    def _modifiers(self, params: dict) -> list[str]:
        text = _text(params, "text", required=False)
        if not text:
            return []
        names = _keys.split_combo(text)
        for name in names:
            self.desktop._keysym(name)
        return names

    def _key(self, params: dict) -> list[dict]:
        # xdotool's syntax: combinations separated by spaces are pressed one after another.
        combos = [_keys.split_combo(c) for c in _text(params, "text").split()]
        if not combos:
            raise ActionError("text names no key")
        for combo in combos:
            for name in combo:
                self.desktop._keysym(name)
        repeat = params.get("repeat")
        most = max(1, _MAX_PRESSES // len(combos))
        repeat = 1 if repeat is None else _whole(repeat, "repeat", 1, most)
        if len(combos) > _MAX_PRESSES:
            raise ActionError(f"text names {len(combos)} combinations; an action presses at most {_MAX_PRESSES}")
        for _ in range(repeat):
            for combo in combos:
                self.desktop.key(combo)
        return []

    def _type(self, params: dict) -> list[dict]:
        self.desktop.type(_text(params, "text"), interval=self.type_interval)
        return []

    def _mouse_move(self, params: dict) -> list[dict]:
        self.desktop.move(*self._at(params, required=True))
        return []

    def _click(self, params: dict) -> list[dict]:
        button, clicks = _CLICKS[params["action"]]
        x, y = self._at(params)
        self.desktop.click(x, y, button=button, clicks=clicks, interval=_CLICK_INTERVAL,
                           modifiers=self._modifiers(params))
        return []

    _left_click = _right_click = _middle_click = _double_click = _triple_click = _click

    def _left_click_drag(self, params: dict) -> list[dict]:
        end = self._at(params, required=True)
        if params.get("start_coordinate") is not None:
            start = self.screen.point(params["start_coordinate"], "start_coordinate")
        else:
            start = self.desktop.position()
            if start is None:
                raise ActionError("start_coordinate is missing, and the pointer has not been moved yet")
        self.desktop.drag([start, end], modifiers=self._modifiers(params))
        return []

    def _left_mouse(self, params: dict) -> list[dict]:
        x, y = self._at(params)
        if x is not None:
            self.desktop.move(x, y)
        down = params["action"] == "left_mouse_down"
        (self.desktop.mouse_down if down else self.desktop.mouse_up)("left")
        self._button_down = down
        return []

    _left_mouse_down = _left_mouse_up = _left_mouse

    def _scroll(self, params: dict) -> list[dict]:
        direction = _text(params, "scroll_direction")
        if direction not in _SCROLL:
            raise ActionError(f"scroll_direction must be one of up, down, left, right, not {direction!r}")
        amount = params.get("scroll_amount")
        if amount is None:
            raise ActionError("scroll_amount is missing")
        amount = _whole(amount, "scroll_amount", 0, _MAX_NOTCHES)
        dy, dx = _SCROLL[direction]
        x, y = self._at(params)
        self.desktop.scroll(dy * amount, dx * amount, x=x, y=y, modifiers=self._modifiers(params))
        return []

    def _seconds(self, params: dict) -> float:
        if params.get("duration") is None:
            raise ActionError("duration is missing")
        seconds = _number(params["duration"], "duration")
        if not 0 <= seconds <= _MAX_SECONDS:
            raise ActionError(f"duration must be from 0 to {_MAX_SECONDS} seconds, not {seconds:g}")
        return seconds

    def _hold_key(self, params: dict) -> list[dict]:
        seconds = self._seconds(params)
        self.desktop.key(_text(params, "text"), hold=seconds)
        return []

    def _wait(self, params: dict) -> list[dict]:
        time.sleep(self._seconds(params))
        return []

    def _cursor_position(self, params: dict) -> list[dict]:
        self.screen.place_pointer()
        x, y = self.screen.to_model(*self.desktop.position())
        return [{"type": "text", "text": f"X={x},Y={y}"}]

    def _screenshot(self, params: dict) -> list[dict]:
        return [self._image(self.screen.screenshot())]

    def _zoom(self, params: dict) -> list[dict]:
        if params.get("region") is None:
            raise ActionError("region is missing")
        return [self._image(self.screen.zoom(params["region"]))]


# -- OpenAI ----------------------------------------------------------------------------------------

_OPENAI_BUTTONS = ("left", "right", "wheel", "back", "forward")


class OpenAIComputer:
    """Performs the actions of OpenAI's computer tool (`computer_call` items: one `action`, or a batch
    of `actions`) on one output of a Desktop.

    `screen` names the output (by default the only one); `size` is what the model sees: None (the
    output's own pixels, the default), "auto" (as AnthropicComputer) or (width, height). Scrolls come in
    pixels; each `pixels_per_notch` pixels turn the wheel one notch, rounded to the nearest notch but
    at least one for any scroll (100 pixels: what a notch scrolls in Chromium on Windows). `keys` given
    with a mouse action are held during it. `wait` sleeps `wait_seconds`. `person_control` as for
    AnthropicComputer ("report" gives an error text).
    """

    def __init__(self, desktop: Desktop, *, screen: str | None = None, size=None, pixels_per_notch: float = 100,
                 wait_seconds: float = 1.0, type_interval: float = 0.0, person_control: str = "wait"):
        self.person_control = _person_control(person_control)
        self.screen = _ModelScreen(desktop, screen, size, api_limits=False)
        self.desktop = desktop
        self.pixels_per_notch = _number(pixels_per_notch, "pixels_per_notch")
        if self.pixels_per_notch <= 0:
            raise ValueError("pixels_per_notch must be more than 0")
        self.wait_seconds = wait_seconds
        self.type_interval = type_interval

    @property
    def display_size(self) -> tuple[int, int]:
        return self.screen.size

    def accessibility(self, **options):
        """As AnthropicComputer.accessibility: the tree in the model's screenshot pixels."""
        return self.screen.accessibility(**options)

    def tool_param(self, preview: bool = False) -> dict:
        """The tool's definition for the request: {"type": "computer"}, or with `preview` the
        computer_use_preview tool with the display's size."""
        if not preview:
            return {"type": "computer"}
        w, h = self.screen.size
        return {"type": "computer_use_preview", "display_width": w, "display_height": h, "environment": "linux"}

    def run(self, action) -> str | None:
        """Performs a computer_call's action or batch of actions (the call itself, one action, or a list
        of actions; dicts or SDK objects), in order. Returns None when all were performed, otherwise the
        text of what was wrong with the first bad one; the actions after it are not performed."""
        try:
            item = _plain(action) if not isinstance(action, list) else {"actions": action}
        except ActionError as error:
            return f"Error: {error}"
        if item.get("type") == "computer_call" or "actions" in item:
            actions = item.get("actions") or ([item["action"]] if item.get("action") is not None else [])
        else:
            actions = [item]
        if not isinstance(actions, list) or not actions:
            return "Error: the computer_call has no action"
        for i, one in enumerate(actions, 1):
            kind = "?"
            try:
                one = _plain(one)
                kind = one.get("type")
                _yield_to_person(self, kind not in ("screenshot", "wait"))
                self._act(one)
            except (ActionError, ValueError, TypeError, TimeoutError, PersonHasControl) as error:
                where = f"action {i} of {len(actions)}" if len(actions) > 1 else "action"
                return f"Error in {where} ({kind}): {error}"
        return None

    def screenshot_output(self) -> dict:
        """The `output` of a computer_call_output: a computer_screenshot with the PNG as a data URL."""
        return {"type": "computer_screenshot", "image_url": "data:image/png;base64," + self.screen.screenshot()}

    # -- the actions --------------------------------------------------------------------------------

    def _point(self, a: dict, what: str = "") -> tuple[int, int]:
        for field in ("x", "y"):
            if a.get(field) is None:
                raise ActionError(f"{field} is missing")
        return self.screen.to_layout(a["x"], a["y"], what or "point")

    def _held(self, a: dict) -> list[str]:
        keys = a.get("keys")
        if keys is None:
            return []
        return self._names(keys, "keys")

    def _names(self, keys, field: str) -> list[str]:
        if isinstance(keys, str) or not isinstance(keys, Sequence):
            raise ActionError(f"{field} must be a list of key names, not {keys!r}")
        names = []
        for name in keys:
            if not isinstance(name, str) or not name:
                raise ActionError(f"{field} must be a list of key names, not {keys!r}")
            # A key, not a character: "A" in ["CTRL", "A"] is the A key.
            names.append(name.lower() if len(name) == 1 and name.isascii() and name.isalpha() else name)
        for name in names:
            self.desktop._keysym(name)
        return names

    def _act(self, a: dict) -> None:
        kind = a.get("type")
        d = self.desktop
        if kind == "click":
            button = a.get("button", "left")
            if button not in _OPENAI_BUTTONS:
                raise ActionError(f"button must be one of {', '.join(_OPENAI_BUTTONS)}, not {button!r}")
            d.click(*self._point(a), button=button, modifiers=self._held(a))
        elif kind == "double_click":
            button = a.get("button", "left")
            if button not in _OPENAI_BUTTONS:
                raise ActionError(f"button must be one of {', '.join(_OPENAI_BUTTONS)}, not {button!r}")
            d.click(*self._point(a), button=button, clicks=2, interval=_CLICK_INTERVAL, modifiers=self._held(a))
        elif kind == "drag":
            path = a.get("path")
            if not isinstance(path, Sequence) or isinstance(path, str) or not 2 <= len(path) <= _MAX_PATH:
                raise ActionError(f"path must be a list of 2 to {_MAX_PATH} points {{\"x\": X, \"y\": Y}}, "
                                  f"not {_shown(path)}")
            points = []
            for i, p in enumerate(path):
                if not isinstance(p, Mapping) and not callable(getattr(p, "model_dump", None)):
                    raise ActionError(f"path[{i}] must be a point {{\"x\": X, \"y\": Y}}, not {_shown(p)}")
                points.append(self._point(_plain(p), f"path[{i}]"))
            d.drag(points, modifiers=self._held(a))
        elif kind == "keypress":
            keys = a.get("keys")
            if not keys:
                raise ActionError("keys is missing")
            d.key(self._names(keys, "keys"))
        elif kind == "move":
            x, y = self._point(a)
            with d.hold(*self._held(a)):
                d.move(x, y)
        elif kind == "scroll":
            x, y = self._point(a)
            dx = notches(a.get("scroll_x") or 0, self.pixels_per_notch, "scroll_x")
            dy = notches(a.get("scroll_y") or 0, self.pixels_per_notch, "scroll_y")
            d.scroll(dy, dx, x=x, y=y, modifiers=self._held(a))
        elif kind == "type":
            text = _text(a, "text")
            d.type(text, interval=self.type_interval)
        elif kind == "wait":
            time.sleep(self.wait_seconds)
        elif kind == "screenshot":
            pass
        else:
            raise ActionError(f"unknown action type {kind!r}; known: click, double_click, drag, keypress, move, "
                              "screenshot, scroll, type, wait")
