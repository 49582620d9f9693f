"""pyperclip's functions on the seat's clipboard, through pravlin_desktop.Clipboard (no window, no focus
taken, no program run per call), so that scripts written for pyperclip run unchanged:

    import pravlin_desktop.pyperclip as pyperclip

    pyperclip.copy("Grüße ✓")
    pyperclip.paste()                     # 'Grüße ✓'
    pyperclip.paste(primary=True)         # the primary selection, as with pyperclip's Linux back-ends

Code that says `import pyperclip` as it stands gets this module when run with
`python -m pravlin_desktop.pyautogui FILE` (or `-c CODE`), beside pyautogui.

It connects on first use to WAYLAND_DISPLAY. As with pyperclip: copy() takes str, int, float and bool
(converted with str()) and raises PyperclipException for anything else; copy("") empties the clipboard;
paste() gives "" when nothing is copied or nothing as text. What copy() put there stays while this process runs; once it ends the
clipboard is empty, as after any Wayland application that copied and quit.
"""

from __future__ import annotations

import atexit
import threading
import time
from collections.abc import Callable

from ._clipboard import Clipboard, ClipboardEmpty, ClipboardError

__all__ = [
    "PyperclipException", "PyperclipTimeoutException", "PyperclipWindowsException", "copy", "determine_clipboard",
    "is_available", "paste", "set_clipboard", "waitForNewPaste", "waitForPaste",
]

ENCODING = "utf-8"


class PyperclipException(RuntimeError):
    pass


class PyperclipWindowsException(PyperclipException):
    pass


class PyperclipTimeoutException(PyperclipException):
    pass


_lock = threading.Lock()
_clipboard: Clipboard | None = None


def _board() -> Clipboard:
    global _clipboard
    with _lock:
        if _clipboard is None:
            try:
                _clipboard = Clipboard()
            except (ClipboardError, RuntimeError) as error:
                raise PyperclipException(f"no clipboard: {error}") from error
        return _clipboard


@atexit.register
def _close() -> None:
    global _clipboard
    with _lock:
        board, _clipboard = _clipboard, None
    if board is not None:
        board.close()


def copy(text, primary: bool = False) -> None:
    """Puts text on the clipboard (the primary selection with primary=True); "" empties it."""
    if not isinstance(text, (str, int, float, bool)):
        raise PyperclipException("only str, int, float, and bool values can be copied to the clipboard, not "
                                 f"{type(text).__name__}")
    text = str(text)
    try:
        if text:
            _board().write_text(text, primary=primary)
        else:
            _board().clear(primary=primary)
    except ClipboardError as error:
        raise PyperclipException(str(error)) from error


def paste(primary: bool = False) -> str:
    """The clipboard's text (the primary selection's with primary=True); "" when there is none."""
    try:
        return _board().read_text(primary=primary)
    except ClipboardEmpty:
        return ""
    except ClipboardError as error:
        raise PyperclipException(str(error)) from error


def waitForPaste(timeout: float | None = None) -> str:
    """Waits until the clipboard holds text and returns it; PyperclipTimeoutException after `timeout` seconds."""
    return _wait(lambda text: text != "", timeout)


def waitForNewPaste(timeout: float | None = None) -> str:
    """Waits until the clipboard's text differs from what it is now and returns it."""
    original = paste()
    return _wait(lambda text: text != original, timeout)


def _wait(done: Callable[[str], bool], timeout: float | None) -> str:
    start = time.monotonic()
    while True:
        text = paste()
        if done(text):
            return text
        if timeout is not None and time.monotonic() > start + timeout:
            raise PyperclipTimeoutException(f"waitForPaste() timed out after {timeout} seconds")
        time.sleep(0.01)


def is_available() -> bool:
    return True


def determine_clipboard() -> tuple[Callable[..., None], Callable[..., str]]:
    """(copy, paste): this module's, whatever the environment."""
    return copy, paste


def set_clipboard(clipboard: str) -> None:
    """Accepted for pyperclip's code that picks a mechanism: every name gives this module's clipboard,
    except "no", which raises."""
    if not isinstance(clipboard, str):
        raise ValueError(f"not a clipboard mechanism: {clipboard!r}")
    if clipboard == "no":
        raise PyperclipException("pravlin_desktop.pyperclip has only the compositor's clipboard")
