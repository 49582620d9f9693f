"""pyautogui's functions on a Wayland desktop, so that pyautogui code as agents write it runs unchanged:

    import pravlin_desktop.pyautogui as pyautogui

    pyautogui.FAILSAFE = False
    pyautogui.click(100, 200)
    pyautogui.write("Grüße, naïve café!\\n", interval=0.01)
    pyautogui.hotkey("ctrl", "s")
    pyautogui.scroll(-5)

Or run code that says `import pyautogui` as it stands, the way OSWorld runs its actions (`import pyperclip`
there gives pravlin_desktop.pyperclip):

    python -m pravlin_desktop.pyautogui -c "import pyautogui; pyautogui.press('enter')"

It connects on first use, to WAYLAND_DISPLAY (or call connect()). Where pyautogui behaves differently by
platform, this follows what it does on Linux: scroll(n > 0) turns the wheel up, hscroll(n > 0) right;
buttons 4 to 7 are wheel notches; a point off the screen is moved to its nearest edge; size() is the whole
layout. PAUSE and FAILSAFE work as in pyautogui; FAILSAFE looks at where this module last put the pointer,
since Wayland tells no client where the pointer is. Where pyautogui does nothing on Linux it raises
here: an unknown key name raises ValueError instead of being ignored. Unlike pyautogui's, write() types any
Unicode text with the keyboard's own layout.
"""

from __future__ import annotations

import collections
import contextlib
import functools
import string
import sys
import threading
import time
from collections.abc import Sequence

from ._desktop import Desktop

__all__ = [
    "FAILSAFE", "FAILSAFE_POINTS", "KEYBOARD_KEYS", "KEY_NAMES", "LEFT", "MIDDLE", "MINIMUM_DURATION",
    "MINIMUM_SLEEP", "PAUSE", "PRIMARY", "RIGHT", "SECONDARY", "FailSafeException", "ImageNotFoundException",
    "Point", "PyAutoGUIException", "RGB", "Size", "alert", "center", "click", "confirm", "connect", "countdown",
    "displayMousePosition", "doubleClick", "drag", "mouseInfo", "password", "prompt",
    "dragRel", "dragTo", "failSafeCheck", "getPointOnLine", "hold", "hotkey", "hscroll", "isShiftCharacter",
    "isValidKey", "keyDown", "keyUp", "leftClick", "linear", "locate", "locateAll", "locateAllOnScreen",
    "locateCenterOnScreen", "locateOnScreen", "middleClick", "mouseDown", "mouseUp", "move", "moveRel",
    "moveTo", "onScreen", "pixel", "pixelMatchesColor", "position", "press", "resolution", "rightClick",
    "screenshot", "scroll", "shortcut", "size", "sleep", "tripleClick", "typewrite", "useImageNotFoundException",
    "vscroll", "write",
]

PAUSE = 0.1
FAILSAFE = True
FAILSAFE_POINTS = [(0, 0)]
MINIMUM_DURATION = 0.1
MINIMUM_SLEEP = 0.05

LEFT, MIDDLE, RIGHT, PRIMARY, SECONDARY = "left", "middle", "right", "primary", "secondary"

Point = collections.namedtuple("Point", "x y")
Size = collections.namedtuple("Size", "width height")
RGB = collections.namedtuple("RGB", "red green blue")


class PyAutoGUIException(Exception):
    """pyautogui's error for bad arguments (a button it does not know, a malformed point)."""


class FailSafeException(PyAutoGUIException):
    """The pointer was at a FAILSAFE_POINTS corner while FAILSAFE was on."""


class ImageNotFoundException(PyAutoGUIException):
    """locate...() found no match."""


# Names pyautogui knows that are neither an alias of pravlin_desktop nor an xkb keysym name.
_KEYSYMS = {
    "convert": "Henkan", "nonconvert": "Muhenkan", "hanguel": "Hangul", "hanja": "Hangul_Hanja",
    "kana": "Katakana", "modechange": "Mode_switch", "sleep": "XF86Sleep", "launchapp1": "XF86Launch1",
    "launchapp2": "XF86Launch2", "launchmediaselect": "XF86AudioMedia",
}
# pyautogui's key names, less accept, final and junja, which name no key on Linux.
KEY_NAMES = [
    "\t", "\n", "\r", " ", *string.punctuation, *string.digits, *string.ascii_lowercase,
    "add", "alt", "altleft", "altright", "apps", "backspace", "browserback", "browserfavorites",
    "browserforward", "browserhome", "browserrefresh", "browsersearch", "browserstop", "capslock", "clear",
    "convert", "ctrl", "ctrlleft", "ctrlright", "decimal", "del", "delete", "divide", "down", "end", "enter",
    "esc", "escape", "execute", *(f"f{n}" for n in range(1, 25)), "fn", "hanguel", "hangul", "hanja", "help",
    "home", "insert", "kana", "kanji", "launchapp1", "launchapp2", "launchmail", "launchmediaselect", "left",
    "modechange", "multiply", "nexttrack", "nonconvert", *(f"num{n}" for n in range(10)), "numlock",
    "pagedown", "pageup", "pause", "pgdn", "pgup", "playpause", "prevtrack", "print", "printscreen",
    "prntscrn", "prtsc", "prtscr", "return", "right", "scrolllock", "select", "separator", "shift",
    "shiftleft", "shiftright", "sleep", "space", "stop", "subtract", "tab", "up", "volumedown", "volumemute",
    "volumeup", "win", "winleft", "winright", "yen", "command", "option", "optionleft", "optionright",
]
KEYBOARD_KEYS = KEY_NAMES

_BUTTONS = {LEFT: LEFT, MIDDLE: MIDDLE, RIGHT: RIGHT, PRIMARY: LEFT, SECONDARY: RIGHT,
            1: LEFT, 2: MIDDLE, 3: RIGHT, 4: 4, 5: 5, 6: 6, 7: 7}
# X11's wheel buttons as (dy, dx) notches: 4 up, 5 down, 6 left, 7 right.
_WHEEL = {4: (-1, 0), 5: (1, 0), 6: (0, -1), 7: (0, 1)}

_desktop: Desktop | None = None
_display: str | None = None  # what connect() was given
_connecting = threading.Lock()


# -- the connection --------------------------------------------------------------------------------


def connect(wayland_display: str | None = None) -> Desktop:
    """Connects to a display (by default WAYLAND_DISPLAY) for the functions of this module, closing an
    earlier connection; returns the Desktop. The first call of any function connects by itself."""
    global _desktop, _display
    with _connecting:
        old, _desktop = _desktop, Desktop(wayland_display)
        _display = wayland_display
    if old is not None:
        old.close()
    return _desktop


def _d() -> Desktop:
    desktop = _desktop
    if desktop is None:
        with _connecting:
            if _desktop is None:
                globals()["_desktop"] = Desktop()
            desktop = _desktop
    return desktop


def _checked(fn):
    """failSafeCheck() before, PAUSE after (unless _pause=False), as pyautogui's public functions do."""

    @functools.wraps(fn)
    def wrapper(*args, **kwargs):
        failSafeCheck()
        result = fn(*args, **kwargs)
        if kwargs.get("_pause", True):
            time.sleep(PAUSE)
        return result

    return wrapper


def failSafeCheck() -> None:
    if FAILSAFE and _d().position() in [tuple(p) for p in FAILSAFE_POINTS]:
        raise FailSafeException("pyautogui fail-safe: the pointer is at a FAILSAFE_POINTS corner; set "
                                "pyautogui.FAILSAFE = False to turn the check off")


# -- the screen ------------------------------------------------------------------------------------


def position(x=None, y=None) -> Point:
    """Where the pointer is; x or y given override that part. Wayland tells no client where the pointer
    is: this is where this module last put it, and the first call that needs it before any move puts
    the pointer in the middle of the screen."""
    if x is not None and y is not None:
        return Point(int(x), int(y))
    d = _d()
    where = d.position()
    if where is None:
        outs = d.outputs
        first = outs[0]
        where = (first.x + first.width // 2, first.y + first.height // 2)
        d.move(*where)
    return Point(int(where[0]) if x is None else int(x), int(where[1]) if y is None else int(y))


def size() -> Size:
    """Width and height of the whole layout (every output), as X11's root window has it."""
    return Size(*_d().size())


resolution = size


def onScreen(x, y=None) -> bool:
    x, y = _xy(x, y)
    width, height = size()
    return 0 <= x < width and 0 <= y < height


def _layout_pixels():
    """The whole layout's pixels and where its top-left corner is: one output's capture as it comes
    (blue, green, red, unused), several composed in red, green, blue with black between them."""
    import numpy as np

    d = _d()
    outs = d.outputs
    left, top = min(o.x for o in outs), min(o.y for o in outs)
    frames = {f.screen: f.image for f in d.capture_all(damage=False)}
    if len(outs) == 1:
        return frames[outs[0].name], (left, top)
    width, height = d.size()
    canvas = np.zeros((height, width, 3), np.uint8)
    for o in outs:
        canvas[o.y - top:o.y - top + o.height, o.x - left:o.x - left + o.width] = frames[o.name][:, :, 2::-1]
    return canvas, (left, top)


def screenshot(imageFilename=None, region=None):
    """The whole layout as a Pillow RGB image, or the region (left, top, width, height) of it; saved to
    imageFilename when given."""
    import numpy as np
    from PIL import Image

    pixels, _ = _layout_pixels()
    if pixels.shape[2] == 4:
        image = Image.frombuffer("RGB", (pixels.shape[1], pixels.shape[0]), np.ascontiguousarray(pixels),
                                 "raw", "BGRX", 0, 1)
    else:
        image = Image.fromarray(pixels)
    if region is not None:
        rl, rt, rw, rh = (int(v) for v in region)
        image = image.crop((rl, rt, rl + rw, rt + rh))
    if imageFilename is not None:
        image.save(imageFilename)
    return image


def pixel(x, y) -> RGB:
    """The colour of one pixel of the screen."""
    x, y = int(x), int(y)
    return RGB(*screenshot(region=(x, y, 1, 1)).getpixel((0, 0)))


def pixelMatchesColor(x, y, expectedRGBColor, tolerance=0) -> bool:
    """Whether the pixel is within `tolerance` of the colour in each channel."""
    actual = pixel(x, y)
    expected = tuple(expectedRGBColor)[:3]
    return all(abs(a - e) <= tolerance for a, e in zip(actual, expected))


# -- image search ----------------------------------------------------------------------------------

# pyscreeze's defaults: locate...() raise ImageNotFoundException when nothing matches, and compare
# brightness only.
USE_IMAGE_NOT_FOUND_EXCEPTION = True
GRAYSCALE_DEFAULT = True


def useImageNotFoundException(value=None) -> None:
    """Whether locate...() raise ImageNotFoundException (the default) or give None when nothing matches."""
    global USE_IMAGE_NOT_FOUND_EXCEPTION
    USE_IMAGE_NOT_FOUND_EXCEPTION = True if value is None else bool(value)


def center(box) -> Point:
    left, top, width, height = box
    return Point(left + width // 2, top + height // 2)


def locateAll(needleImage, haystackImage, grayscale=None, limit=None, region=None, step=1, confidence=0.999):
    """Every place the needle matches in the haystack (arrays, Pillow images or files), best first:
    pravlin_desktop.vision's search and score (`confidence` 1.0 is identical). `step` is accepted and
    not needed: every place is compared."""
    from . import vision

    if isinstance(region, Sequence):
        region = tuple(int(v) for v in region)
    return iter(vision.locate_all(haystackImage, needleImage, confidence=confidence, region=region,
                                  grayscale=GRAYSCALE_DEFAULT if grayscale is None else grayscale,
                                  limit=int(limit) if limit else None))


def locate(needleImage, haystackImage, **kwargs):
    """The best place the needle matches in the haystack, as a Box."""
    for box in locateAll(needleImage, haystackImage, **{**kwargs, "limit": 1}):
        return box
    return _not_found()


def _not_found():
    if USE_IMAGE_NOT_FOUND_EXCEPTION:
        raise ImageNotFoundException("could not locate the image on the screen")
    return None


def _on_screen(needle, kwargs, limit):
    pixels, (left, top) = _layout_pixels()
    region = kwargs.get("region")
    if region is not None:
        kwargs = {**kwargs, "region": (int(region[0]) - left, int(region[1]) - top, *region[2:])}
    boxes = list(locateAll(needle, pixels, **{**kwargs, "limit": limit}))
    from .vision import Box

    return [Box(b.left + left, b.top + top, b.width, b.height) for b in boxes]


def locateOnScreen(image, minSearchTime=0, **kwargs):
    """Where the image is on the screen (a Box), looking again on fresh screenshots until it is found
    or `minSearchTime` seconds have passed."""
    start = time.monotonic()
    while True:
        boxes = _on_screen(image, kwargs, 1)
        if boxes:
            return boxes[0]
        if time.monotonic() - start >= minSearchTime:
            return _not_found()


def locateCenterOnScreen(image, **kwargs):
    box = locateOnScreen(image, **kwargs)
    return None if box is None else center(box)


def locateAllOnScreen(image, **kwargs):
    limit = kwargs.pop("limit", None)
    return iter(_on_screen(image, kwargs, limit))


# -- the mouse -------------------------------------------------------------------------------------


def _xy(first, second) -> Point:
    """pyautogui's point arguments: x and y, (x, y), a (left, top, width, height) box (its centre), an
    image file to find on the screen (its centre), or None for where the pointer is."""
    if first is None and second is None:
        return position()
    if isinstance(first, str):
        return locateCenterOnScreen(first)
    if isinstance(first, Sequence):
        if second is not None:
            raise PyAutoGUIException(f"with a sequence for x, y must not be given (got {second!r})")
        if len(first) == 2:
            return Point(int(first[0]), int(first[1]))
        if len(first) == 4:
            return center(first)
        raise PyAutoGUIException(f"a point sequence has 2 or 4 items, not {len(first)}")
    if first is None:
        return Point(position().x, int(second))
    if second is None:
        return Point(int(first), position().y)
    return Point(int(first), int(second))


def _button(button):
    key = button.lower() if isinstance(button, str) else button
    if isinstance(key, bool) or key not in _BUTTONS:
        raise PyAutoGUIException("button must be one of 'left', 'middle', 'right', 'primary', 'secondary', "
                                 f"1, 2, 3, 4, 5, 6, 7; not {button!r}")
    return _BUTTONS[key]


def linear(n: float) -> float:
    if not 0.0 <= n <= 1.0:
        raise PyAutoGUIException("a tween takes a number from 0.0 to 1.0")
    return n


def getPointOnLine(x1, y1, x2, y2, n):
    return ((x2 - x1) * n) + x1, ((y2 - y1) * n) + y1


def _move(x: int, y: int, duration: float, tween) -> None:
    """To (x, y) (its nearest point on the screen), in steps of MINIMUM_SLEEP along `tween` when
    `duration` is over MINIMUM_DURATION, as pyautogui moves."""
    d = _d()
    x, y = d._nearest_on_screen(x, y)
    if duration <= MINIMUM_DURATION:
        d.move(x, y)
        return
    start = position()
    steps = max(1, int(duration / MINIMUM_SLEEP))
    pause = duration / steps
    for i in range(1, steps + 1):
        time.sleep(pause)
        px, py = getPointOnLine(start.x, start.y, x, y, tween(i / steps))
        px, py = d._nearest_on_screen(round(px), round(py))
        if (px, py) not in [tuple(p) for p in FAILSAFE_POINTS]:
            failSafeCheck()
        d.move(px, py)


@_checked
def moveTo(x=None, y=None, duration=0.0, tween=linear, logScreenshot=False, _pause=True) -> None:
    x, y = _xy(x, y)
    _move(x, y, duration, tween)


@_checked
def moveRel(xOffset=None, yOffset=None, duration=0.0, tween=linear, logScreenshot=False, _pause=True) -> None:
    if isinstance(xOffset, Sequence):
        xOffset, yOffset = xOffset
    start = position()
    _move(start.x + int(xOffset or 0), start.y + int(yOffset or 0), duration, tween)


move = moveRel


def _wheel(notches, dy_dx, x, y) -> None:
    dy, dx = dy_dx
    _d().scroll(dy * notches, dx * notches, x=x, y=y)


@_checked
def mouseDown(x=None, y=None, button=PRIMARY, duration=0.0, tween=linear, logScreenshot=None, _pause=True) -> None:
    button = _button(button)
    x, y = _xy(x, y)
    _move(x, y, 0, None)
    if button in _WHEEL:
        _wheel(1, _WHEEL[button], None, None)
    else:
        _d().mouse_down(button)


@_checked
def mouseUp(x=None, y=None, button=PRIMARY, duration=0.0, tween=linear, logScreenshot=None, _pause=True) -> None:
    button = _button(button)
    x, y = _xy(x, y)
    _move(x, y, 0, None)
    if button not in _WHEEL:
        _d().mouse_up(button)


@_checked
def click(x=None, y=None, clicks=1, interval=0.0, button=PRIMARY, duration=0.0, tween=linear,
          logScreenshot=None, _pause=True) -> None:
    button = _button(button)
    x, y = _xy(x, y)
    _move(x, y, duration, tween)
    for _ in range(int(clicks)):
        failSafeCheck()
        if button in _WHEEL:
            _wheel(1, _WHEEL[button], None, None)
        else:
            _d().click(button=button)
        time.sleep(interval)


def leftClick(x=None, y=None, interval=0.0, duration=0.0, tween=linear, logScreenshot=None, _pause=True):
    click(x, y, 1, interval, LEFT, duration, tween, logScreenshot, _pause=_pause)


def rightClick(x=None, y=None, interval=0.0, duration=0.0, tween=linear, logScreenshot=None, _pause=True):
    click(x, y, 1, interval, RIGHT, duration, tween, logScreenshot, _pause=_pause)


def middleClick(x=None, y=None, interval=0.0, duration=0.0, tween=linear, logScreenshot=None, _pause=True):
    click(x, y, 1, interval, MIDDLE, duration, tween, logScreenshot, _pause=_pause)


def doubleClick(x=None, y=None, interval=0.0, button=LEFT, duration=0.0, tween=linear, logScreenshot=None,
                _pause=True):
    click(x, y, 2, interval, button, duration, tween, logScreenshot, _pause=_pause)


def tripleClick(x=None, y=None, interval=0.0, button=LEFT, duration=0.0, tween=linear, logScreenshot=None,
                _pause=True):
    click(x, y, 3, interval, button, duration, tween, logScreenshot, _pause=_pause)


def _scroll_at(clicks, x, y, dy_dx) -> None:
    if isinstance(x, (tuple, list)):
        x, y = x[0], x[1]
    x, y = position(x, y)
    x, y = _d()._nearest_on_screen(x, y)
    notches = int(clicks)
    if notches:
        _wheel(abs(notches), dy_dx if notches > 0 else (-dy_dx[0], -dy_dx[1]), x, y)


@_checked
def scroll(clicks, x=None, y=None, logScreenshot=None, _pause=True) -> None:
    """Turns the wheel `clicks` notches: up when positive."""
    _scroll_at(clicks, x, y, _WHEEL[4])


vscroll = scroll


@_checked
def hscroll(clicks, x=None, y=None, logScreenshot=None, _pause=True) -> None:
    """Turns the wheel sideways `clicks` notches: right when positive."""
    _scroll_at(clicks, x, y, _WHEEL[7])


def _drag(x, y, duration, tween, button, mouseDownUp) -> None:
    button = _button(button)
    d = _d()
    start = position()
    x, y = d._nearest_on_screen(x, y)
    if not mouseDownUp:
        _move(x, y, duration, tween)
        return
    if duration <= MINIMUM_DURATION:
        d.drag([tuple(start), (x, y)], button=button)
        return
    d.mouse_down(button)
    try:
        _move(x, y, duration, tween)
    finally:
        d.mouse_up(button)


@_checked
def dragTo(x=None, y=None, duration=0.0, tween=linear, button=PRIMARY, logScreenshot=None, _pause=True,
           mouseDownUp=True) -> None:
    x, y = _xy(x, y)
    _drag(x, y, duration, tween, button, mouseDownUp)


@_checked
def dragRel(xOffset=0, yOffset=0, duration=0.0, tween=linear, button=PRIMARY, logScreenshot=None, _pause=True,
            mouseDownUp=True) -> None:
    if isinstance(xOffset, (tuple, list)):
        xOffset, yOffset = xOffset[0], xOffset[1]
    xOffset, yOffset = int(xOffset or 0), int(yOffset or 0)
    if xOffset == 0 and yOffset == 0:
        return
    start = position()
    _drag(start.x + xOffset, start.y + yOffset, duration, tween, button, mouseDownUp)


drag = dragRel


# -- the keyboard ----------------------------------------------------------------------------------


def _key(name: str) -> str:
    if not isinstance(name, str):
        raise PyAutoGUIException(f"a key name is a str, not {name!r}")
    if len(name) > 1:
        name = name.lower()
        return _KEYSYMS.get(name, name)
    return name


def isShiftCharacter(character: str) -> bool:
    return character.isupper() or character in set('~!@#$%^&*()_+{}|:"<>?')


def isValidKey(key: str) -> bool:
    return key.lower() in KEYBOARD_KEYS if len(key) > 1 else key in KEYBOARD_KEYS or key.isprintable()


def _names(keys) -> list[str]:
    return [_key(keys)] if isinstance(keys, str) else [_key(k) for k in keys]


@_checked
def keyDown(key, logScreenshot=None, _pause=True) -> None:
    _d().key_down(_key(key))


@_checked
def keyUp(key, logScreenshot=None, _pause=True) -> None:
    _d().key_up(_key(key))


@_checked
def press(keys, presses=1, interval=0.0, logScreenshot=None, _pause=True) -> None:
    names = _names(keys)
    d = _d()
    for _ in range(presses):
        for name in names:
            failSafeCheck()
            d.key([name])
        time.sleep(interval)


@contextlib.contextmanager
def hold(keys, logScreenshot=None, _pause=True):
    """Holds the keys down for the block."""
    failSafeCheck()
    with _d().hold(*_names(keys)):
        yield
    if _pause:
        time.sleep(PAUSE)


@_checked
def typewrite(message, interval=0.0, logScreenshot=None, _pause=True) -> None:
    """Types a string (any characters; "\\n" is Enter), or presses a list of key names in turn."""
    d = _d()
    if isinstance(message, str):
        d.type(message, interval=float(interval))
        return
    for name in message:
        d.key([_key(name)])
        time.sleep(interval)
        failSafeCheck()


write = typewrite


@_checked
def hotkey(*args, **kwargs) -> None:
    """Presses the keys in order and releases them in reverse: hotkey("ctrl", "shift", "t")."""
    interval = float(kwargs.get("interval", 0.0))
    if len(args) == 1 and isinstance(args[0], Sequence) and not isinstance(args[0], str):
        args = tuple(args[0])
    names = [_key(a) for a in args]
    d = _d()
    if interval == 0:
        d.key(names)
        return
    down = []
    try:
        for name in names:
            d.key_down(name)
            down.append(name)
            time.sleep(interval)
    finally:
        for name in reversed(down):
            d.key_up(name)
            time.sleep(interval)


shortcut = hotkey


# -- message boxes (pymsgbox's, which pyautogui re-exports) -----------------------------------------


def alert(text="", title="", button="OK", root=None, timeout=None):
    """A message with one button, as a GTK window on the display; waits until it is answered and gives
    the button's text (None when the window is closed; "Timeout" after `timeout` milliseconds)."""
    return _dialog("alert", text, title, buttons=[str(button)], timeout=timeout)


def confirm(text="", title="", buttons=("OK", "Cancel"), root=None, timeout=None):
    """A message with buttons; the text of the button pressed (None when the window is closed)."""
    return _dialog("confirm", text, title, buttons=[str(b) for b in buttons], timeout=timeout)


def prompt(text="", title="", default="", root=None, timeout=None):
    """A message with a text field; the text entered on OK, None on Cancel."""
    return _dialog("prompt", text, title, buttons=["OK", "Cancel"], default=str(default), timeout=timeout)


def password(text="", title="", default="", mask="*", root=None, timeout=None):
    """prompt() with the characters shown as `mask`."""
    return _dialog("password", text, title, buttons=["OK", "Cancel"], default=str(default), mask=str(mask),
                   timeout=timeout)


def _dialog(kind: str, text, title, **ask):
    """Runs _dialog.py in an interpreter with PyGObject (this one, else the system's) on the display
    this module drives."""
    import importlib.util
    import json
    import os
    import subprocess
    from pathlib import Path

    if not ask["buttons"]:
        raise PyAutoGUIException(f"{kind}() needs at least one button")
    python = sys.executable if importlib.util.find_spec("gi") else "/usr/bin/python3"
    if not Path(python).exists():
        raise NotImplementedError(f"{kind}() shows a GTK 3 dialog, which needs PyGObject: install it "
                                  "(pip install PyGObject, or Debian's python3-gi gir1.2-gtk-3.0)")
    env = {k: v for k, v in os.environ.items() if k not in ("DISPLAY", "WAYLAND_SOCKET")}
    if _display is not None:
        env["WAYLAND_DISPLAY"] = _display
    env["GDK_BACKEND"] = "wayland"
    request = json.dumps({"kind": kind, "text": str(text), "title": str(title), **ask})
    done = subprocess.run([python, str(Path(__file__).with_name("_dialog.py")), request], env=env,
                          stdin=subprocess.DEVNULL, capture_output=True, text=True)
    try:
        answer = json.loads(done.stdout.strip().splitlines()[-1])
    except (IndexError, ValueError):
        raise PyAutoGUIException(f"{kind}(): the dialog failed (status {done.returncode}): "
                                 f"{done.stderr.strip()[-500:] or 'no reason given'}") from None
    if "unavailable" in answer:
        raise NotImplementedError(f"{kind}() shows a GTK 3 dialog, and cannot here: {answer['unavailable']}; "
                                  "Debian packages python3-gi gir1.2-gtk-3.0 provide it")
    return answer["value"]


def mouseInfo():
    """Not on Wayland: pyautogui's MouseInfo is a Tk window that follows the pointer, and Wayland tells
    no client where the pointer is."""
    raise NotImplementedError("mouseInfo() follows the pointer wherever it goes, and Wayland tells no client "
                              "where the pointer is: position() gives where this module put it, pixel(x, y) "
                              "the colour there")


def displayMousePosition(xOffset=0, yOffset=0):
    """Not on Wayland, for mouseInfo()'s reason."""
    raise NotImplementedError("displayMousePosition() follows the pointer wherever it goes, and Wayland tells no "
                              "client where the pointer is: position() gives where this module put it, "
                              "pixel(x, y) the colour there")


# -- the rest --------------------------------------------------------------------------------------


def sleep(seconds) -> None:
    time.sleep(seconds)


def countdown(seconds: int) -> None:
    for i in range(seconds, 0, -1):
        print(i, end=" ", flush=True)
        time.sleep(1)
    print()


def __getattr__(name: str):
    # pyautogui's tweens (easeInQuad, easeOutElastic, ...) come from pytweening.
    if name.startswith("ease"):
        try:
            import pytweening
        except ImportError as error:
            raise AttributeError(f"{name}: the tweens come from pytweening (pip install pytweening)") from error
        return getattr(pytweening, name)
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")


def _main(argv: list[str]) -> int:
    """python -m pravlin_desktop.pyautogui (-c CODE | FILE [ARGS...]): runs Python code in which `import
    pyautogui` gives this module and `import pyperclip` pravlin_desktop.pyperclip."""
    if not argv or argv[0] in ("-h", "--help"):
        print(_main.__doc__.strip())
        return 0 if argv else 2
    from . import pyperclip

    sys.modules["pyautogui"] = sys.modules[__name__]
    sys.modules["pyperclip"] = pyperclip
    if argv[0] == "-c":
        if len(argv) < 2:
            print("-c needs the code to run", file=sys.stderr)
            return 2
        sys.argv = ["-c", *argv[2:]]
        exec(compile(argv[1], "<string>", "exec"), {"__name__": "__main__"})
        return 0
    import runpy

    sys.argv = argv
    runpy.run_path(argv[0], run_name="__main__")
    return 0


if __name__ == "__main__":
    # Run as a script this file is __main__, a second copy: the code gets the module itself.
    from pravlin_desktop import pyautogui as _module

    sys.exit(_module._main(sys.argv[1:]))
