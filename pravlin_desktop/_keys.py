"""Names of keys and buttons as people, agents and pyautogui write them.

A key name is, case-insensitively, an xkb keysym name ("Return", "Page_Up", "F13"), a modifier or alias
from the table below ("ctrl", "cmd", "enter", "pgdn", "arrowleft", ...), or a single character, which keeps
its case ("A" is Shift+a). The keysym then goes to the keymap of the seat, which says which key and level
produce it; that part is the native core's, through xkbcommon.
"""

from __future__ import annotations

from collections.abc import Iterable, Sequence

# Linux input event codes of mouse buttons.
BUTTONS = {
    "left": 0x110,
    "right": 0x111,
    "middle": 0x112,
    "back": 0x113,     # BTN_SIDE, X11 button 8
    "side": 0x113,
    "forward": 0x114,  # BTN_EXTRA, X11 button 9
    "extra": 0x114,
    "wheel": 0x112,    # OpenAI's name for the middle button
}

# Modifiers and aliases, lower case, to the xkb keysym name they mean.
_MODIFIERS = {
    "ctrl": "Control_L", "control": "Control_L", "ctrlleft": "Control_L", "ctrl_l": "Control_L",
    "lctrl": "Control_L", "leftctrl": "Control_L", "ctrlright": "Control_R", "ctrl_r": "Control_R",
    "rctrl": "Control_R", "rightctrl": "Control_R",
    "shift": "Shift_L", "shiftleft": "Shift_L", "lshift": "Shift_L", "leftshift": "Shift_L",
    "shiftright": "Shift_R", "rshift": "Shift_R", "rightshift": "Shift_R",
    "alt": "Alt_L", "option": "Alt_L", "altleft": "Alt_L", "lalt": "Alt_L", "leftalt": "Alt_L",
    "optionleft": "Alt_L", "altright": "Alt_R", "ralt": "Alt_R", "rightalt": "Alt_R", "optionright": "Alt_R",
    "altgr": "ISO_Level3_Shift",
    "super": "Super_L", "meta": "Super_L", "win": "Super_L", "windows": "Super_L", "cmd": "Super_L",
    "command": "Super_L", "winleft": "Super_L", "lsuper": "Super_L", "cmdleft": "Super_L",
    "winright": "Super_R", "rsuper": "Super_R", "cmdright": "Super_R",
    "fn": "XF86Fn",
}

_ALIASES = {
    "enter": "Return", "return": "Return", "ret": "Return", "kp_enter": "KP_Enter",
    "esc": "Escape", "escape": "Escape",
    "backspace": "BackSpace", "bksp": "BackSpace", "back_space": "BackSpace",
    "del": "Delete", "delete": "Delete", "ins": "Insert", "insert": "Insert",
    "pageup": "Prior", "pgup": "Prior", "page_up": "Prior", "prior": "Prior",
    "pagedown": "Next", "pgdn": "Next", "page_down": "Next", "next": "Next",
    "up": "Up", "down": "Down", "left": "Left", "right": "Right",
    "arrowup": "Up", "arrowdown": "Down", "arrowleft": "Left", "arrowright": "Right",
    "home": "Home", "end": "End", "tab": "Tab", "space": "space", "spacebar": "space",
    "capslock": "Caps_Lock", "numlock": "Num_Lock", "scrolllock": "Scroll_Lock",
    "printscreen": "Print", "print": "Print", "prtsc": "Print", "prtscr": "Print", "prntscrn": "Print",
    "pause": "Pause", "break": "Break", "menu": "Menu", "apps": "Menu", "contextmenu": "Menu",
    "clear": "Clear", "help": "Help", "select": "Select", "execute": "Execute",
    "volumeup": "XF86AudioRaiseVolume", "volumedown": "XF86AudioLowerVolume", "volumemute": "XF86AudioMute",
    "playpause": "XF86AudioPlay", "stop": "XF86AudioStop", "nexttrack": "XF86AudioNext",
    "prevtrack": "XF86AudioPrev", "browserback": "XF86Back", "browserforward": "XF86Forward",
    "browserrefresh": "XF86Reload", "browserhome": "XF86HomePage", "browsersearch": "XF86Search",
    "browserfavorites": "XF86Favorites", "browserstop": "XF86Stop", "launchmail": "XF86Mail",
    "add": "KP_Add", "subtract": "KP_Subtract", "multiply": "KP_Multiply", "divide": "KP_Divide",
    "decimal": "KP_Decimal", "separator": "KP_Separator",
    "plus": "plus", "minus": "minus", "comma": "comma", "period": "period", "slash": "slash",
    "backslash": "backslash", "semicolon": "semicolon", "apostrophe": "apostrophe", "quote": "apostrophe",
    "grave": "grave", "backtick": "grave", "equal": "equal", "equals": "equal",
    "bracketleft": "bracketleft", "bracketright": "bracketright",
    **{f"num{d}": f"KP_{d}" for d in range(10)},
    **{f"f{n}": f"F{n}" for n in range(1, 25)},
}

ALIASES: dict[str, str] = {**_ALIASES, **_MODIFIERS}
MODIFIER_NAMES = frozenset(_MODIFIERS)

# What the text of `type` means besides characters.
_TYPED_CONTROLS = {"\n": "Return", "\r": "Return", "\t": "Tab", "\b": "BackSpace"}


def button_code(button: str | int) -> int:
    """A button name (left, right, middle, back, forward, ...) or a Linux button code."""
    if isinstance(button, bool):
        raise TypeError("a button is a name or a Linux button code, not a bool")
    if isinstance(button, int):
        if not 0 <= button <= 0x2FF:
            raise ValueError(f"button code {button} is out of range (Linux codes are 0 to 0x2ff; 0x110 is left)")
        return button
    if not isinstance(button, str):
        raise TypeError(f"a button is a name or a Linux button code, not {type(button).__name__}")
    code = BUTTONS.get(button.strip().lower())
    if code is None:
        raise ValueError(f"unknown button {button!r}; known: {', '.join(sorted(BUTTONS))}, or a Linux code")
    return code


def split_combo(combo: str | Sequence[str]) -> list[str]:
    """The key names of a combo: "ctrl+shift+t" (xdotool's syntax) or a list of names. "+" alone, or as
    the last key ("ctrl++"), is the plus key; spaces around names are dropped."""
    if isinstance(combo, str):
        text = combo.strip()
        if not text:
            raise ValueError("an empty key combination")
        if text == "+":
            return ["+"]
        names = text.split("+")
        if text.endswith("++"):
            names = names[:-2] + ["+"]
        names = [n.strip() for n in names]
    elif isinstance(combo, Iterable):
        names = list(combo)
        for n in names:
            if not isinstance(n, str):
                raise TypeError(f"key names are str, not {type(n).__name__}: {combo!r}")
        names = [n if len(n) == 1 else n.strip() for n in names]
    else:
        raise TypeError(f"a key combination is a str such as 'ctrl+s' or a list of names, not {type(combo).__name__}")
    if not names or any(not n for n in names):
        raise ValueError(f"an empty key name in {combo!r}")
    return names


def typed_control(char: str) -> str | None:
    """The keysym name that a control character of typed text stands for."""
    return _TYPED_CONTROLS.get(char)
