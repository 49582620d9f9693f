"""The seat's clipboard and primary selection, without a window: the compositor's data control
(zwlr_data_control_manager_v1, which sway has) lets a client read and set them with no surface and no
keyboard focus, so nothing on the screen changes and no window loses focus.

    from pravlin_desktop import Clipboard

    with Clipboard() as clip:
        clip.write_text("Grüße ✓")
        clip.read_text()                 # what any application copied last
        clip.types()                     # ('text/plain;charset=utf-8', ...)
        clip.read("image/png")           # bytes, in any offered type
        clip.write_text("x", primary=True)

What this process writes stays the selection while it runs and no other application copies: a thread of
the native core hands it to every application that pastes, between calls and while Python is busy
elsewhere. Closing the clipboard (or the process ending) gives the selection up, and it is empty then, as
after any Wayland application that copied and quit.
"""

from __future__ import annotations

import json
import os
import socket
import struct
import threading
import time
from collections.abc import Iterator, Sequence

from . import _human
from ._human import Seconds
from ._screen import Closed

try:
    from . import _native
except ImportError:  # pragma: no cover - reported by _desktop's import
    raise

# In the order a reader prefers them; all of them are offered when text is written. GTK and Qt offer
# the first and the X11 names; text/plain without a charset is UTF-8 on Wayland in practice.
TEXT_TYPES = ("text/plain;charset=utf-8", "UTF8_STRING", "text/plain", "STRING", "TEXT")
_DEFAULT_TIMEOUT = 5.0


class ClipboardError(RuntimeError):
    """A clipboard operation failed: the subclasses below, or the connection to the compositor."""


class ClipboardUnavailable(ClipboardError):
    """The compositor offers no clipboard access without a window (no data control)."""


class ClipboardEmpty(ClipboardError):
    """Nothing is copied, or nothing in the types asked for."""


class ClipboardTimeout(ClipboardError, TimeoutError):
    """The application that owns the selection did not hand its data over in time."""


class Clipboard:
    """The clipboard (and, with primary=True, the primary selection) of the compositor's seat, over a
    connection of its own. `wayland_display` as for Desktop; `timeout` is how long a read waits for the
    owning application by default, in seconds. Raises ClipboardUnavailable when the compositor has no
    data control. Threads may share one: it takes one call at a time."""

    def __init__(self, wayland_display: str | None = None, *, timeout: Seconds = _DEFAULT_TIMEOUT):
        _human.check_seconds(timeout, "timeout")
        self.timeout = timeout
        self._lock = threading.RLock()
        try:
            self._native: _native.Clipboard | Closed = _native.Clipboard(wayland_display)
        except RuntimeError as error:
            if "no clipboard access" in str(error):
                raise ClipboardUnavailable(str(error)) from None
            raise

    def _call(self, name: str, *args):
        with self._lock:
            try:
                return getattr(self._native, name)(*args)
            except RuntimeError as error:
                raise ClipboardError(str(error)) from error

    def close(self) -> None:
        """Gives up what this clipboard owns and disconnects. Safe to call twice."""
        with self._lock:
            core, self._native = self._native, Closed("Clipboard")
            del core

    def __enter__(self) -> Clipboard:
        return self

    def __exit__(self, *exc) -> None:
        self.close()

    @property
    def has_primary(self) -> bool:
        """Whether the compositor offers the primary selection through data control."""
        return self._call("has_primary")

    def types(self, *, primary: bool = False) -> tuple[str, ...]:
        """The MIME types the selection is offered in now; () when nothing is copied."""
        return self._call("types", int(primary)) or ()

    def read(self, mime_type: str, *, primary: bool = False, timeout: Seconds | None = None) -> bytes:
        """The selection's data in this MIME type. ClipboardEmpty when nothing is copied or the type is
        not offered; ClipboardTimeout when the owner has not finished writing within `timeout` seconds."""
        if not isinstance(mime_type, str):
            raise TypeError(f"mime_type must be a str, not {type(mime_type).__name__}")
        if not mime_type or "\n" in mime_type:
            raise ValueError(f"not a MIME type: {mime_type!r}")
        status, data, offered = self._call("read", mime_type, int(primary), self._timeout_ms(timeout))
        what = "primary selection" if primary else "clipboard"
        if status == "empty":
            raise ClipboardEmpty(f"nothing is copied to the {what}")
        if status == "not_offered":
            raise ClipboardEmpty(f"the {what} holds no {mime_type}; it is offered as {', '.join(offered)}")
        if status == "timed_out":
            raise ClipboardTimeout(f"the application that owns the {what} did not hand over its {mime_type} "
                                   f"within {self._timeout_s(timeout):g} s ({len(data)} bytes came)")
        return data

    def read_text(self, *, primary: bool = False, timeout: Seconds | None = None) -> str:
        """The selection as text, from the first text type it is offered in (UTF-8, undecodable bytes
        replaced). ClipboardEmpty when nothing is copied or nothing as text."""
        offered = self.types(primary=primary)
        for mime_type in TEXT_TYPES:
            if mime_type in offered:
                return self.read(mime_type, primary=primary, timeout=timeout).decode("utf-8", "replace")
        what = "primary selection" if primary else "clipboard"
        if not offered:
            raise ClipboardEmpty(f"nothing is copied to the {what}")
        raise ClipboardEmpty(f"the {what} holds no text; it is offered as {', '.join(offered)}")

    def write(self, data: bytes | dict[str, bytes], mime_type: str | Sequence[str] = (), *,
              primary: bool = False) -> None:
        """Makes this process the selection's owner: `data` offered under each of the MIME types, or a dict
        of data per MIME type. Returns once the compositor has the new selection."""
        def as_bytes(value) -> bytes:
            if isinstance(value, str):
                raise TypeError("data must be bytes, not str (write_text() takes text)")
            return bytes(value)

        if isinstance(data, dict):
            if mime_type:
                raise TypeError("give the MIME types as the dict's keys, or mime_type, not both")
            types = list(data)
            parts = [as_bytes(data[t]) for t in types]
            sizes = [len(p) for p in parts]
            payload = b"".join(parts)
        else:
            types = [mime_type] if isinstance(mime_type, str) else list(mime_type)
            payload, sizes = as_bytes(data), None
        if not types:
            raise ValueError("give at least one MIME type")
        for t in types:
            if not isinstance(t, str) or not t or "\n" in t:
                raise ValueError(f"not a MIME type: {t!r}")
        if len(set(types)) != len(types):
            raise ValueError(f"a MIME type is given twice: {types}")
        self._call("write", "\n".join(types), payload, int(primary), sizes)

    def write_text(self, text: str, *, primary: bool = False) -> None:
        """Makes this process the selection's owner with `text`, offered in every text type."""
        if not isinstance(text, str):
            raise TypeError(f"text must be a str, not {type(text).__name__}")
        self._call("write", "\n".join(TEXT_TYPES), text.encode("utf-8"), int(primary), None)

    def clear(self, *, primary: bool = False) -> None:
        """Empties the selection."""
        self._call("write", "", b"", int(primary), None)

    def owns(self, *, primary: bool = False) -> bool:
        """Whether what this clipboard wrote last is still the selection."""
        return self._call("served", int(primary)) is not None

    # -- saving and putting back ----------------------------------------------------------------------

    def save(self, *, primary: bool = False, timeout: Seconds = 1.0) -> dict[str, bytes]:
        """What the selection holds now, in every type its owner hands over within `timeout` each; {} when
        nothing is copied. write(saved) puts it back, clear() when it is {}."""
        saved: dict[str, bytes] = {}
        for mime_type in self.types(primary=primary):
            try:
                saved[mime_type] = self.read(mime_type, primary=primary, timeout=timeout)
            except ClipboardError:
                continue
        return saved

    def restore(self, saved: dict[str, bytes], *, primary: bool = False) -> None:
        """Puts back what save() returned."""
        if saved:
            self.write(saved, primary=primary)
        else:
            self.clear(primary=primary)

    def _served(self, primary: bool = False) -> int | None:
        return self._call("served", int(primary))

    def _timeout_s(self, timeout: Seconds | None) -> float:
        return _human.draw(self.timeout if timeout is None else timeout)

    def _timeout_ms(self, timeout: Seconds | None) -> int:
        if timeout is not None:
            _human.check_seconds(timeout, "timeout")
        return max(1, min(round(self._timeout_s(timeout) * 1000), 2**32 - 1))


# -- characters that no key carries into the focused application --------------------------------------------

# Chromium keeps only the low 16 bits of a keysym (😀 arrives as U+F600): characters outside the Basic
# Multilingual Plane reach Chromium-based windows (Chromium, Chrome, Electron and CEF applications) only as
# a person gets them there, through the clipboard. Their executables sit beside Chromium's resource pack.
_CHROMIUM_FILES = ("resources.pak", "chrome_100_percent.pak")
_CHROMIUM_APP_IDS = ("chromium", "chrome", "google-chrome", "brave-browser", "microsoft-edge", "vivaldi", "electron")
# How long a paste may take the application to ask for the clipboard.
_PASTE_WAIT = 5.0
# How long the application must not ask again before the paste counts as taken: after its second read,
# and after a first read that no second one follows. Chromium reads twice per paste, mostly 0.1 to 30 ms
# apart; on a machine busy with other tests it pasted what had gone back after 0.15 s of quiet.
_PASTE_QUIET = 0.15
_PASTE_QUIET_AFTER_ONE = 1.0


def outside_bmp(text: str) -> bool:
    return any(ord(ch) > 0xFFFF for ch in text)


def focused_window(swaysock: str | None = None) -> dict | None:
    """The focused window of sway's tree (its node: app_id, pid, window_properties for X11 ones), or None
    without sway's IPC (`swaysock`, "" for none; None: SWAYSOCK) or a focused window."""
    path = os.environ.get("SWAYSOCK") if swaysock is None else swaysock
    if not path:
        return None
    try:
        tree = _sway_request(path, 4)  # GET_TREE
    except OSError:
        return None
    stack = [tree]
    while stack:
        node = stack.pop()
        if node.get("focused") and node.get("type") in ("con", "floating_con") and node.get("pid"):
            return node
        stack.extend(node.get("nodes", ()))
        stack.extend(node.get("floating_nodes", ()))
    return None


def _sway_request(path: str, kind: int) -> dict:
    """One request of i3's IPC, which sway speaks: "i3-ipc", length and type (native byte order), payload."""
    with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM | socket.SOCK_CLOEXEC) as s:
        s.settimeout(_DEFAULT_TIMEOUT)
        s.connect(path)
        s.sendall(b"i3-ipc" + struct.pack("=II", 0, kind))
        header = _recv_exactly(s, 14)
        if header[:6] != b"i3-ipc":
            raise OSError("not sway's IPC")
        length, _ = struct.unpack("=II", header[6:])
        return json.loads(_recv_exactly(s, length))


def _recv_exactly(s: socket.socket, n: int) -> bytes:
    chunks, left = [], n
    while left:
        chunk = s.recv(min(left, 1 << 20))
        if not chunk:
            raise OSError("sway's IPC closed the connection")
        chunks.append(chunk)
        left -= len(chunk)
    return b"".join(chunks)


def is_chromium_based(node: dict) -> bool:
    """Whether a window of sway's tree belongs to a Chromium-based program."""
    try:
        exe = os.readlink(f"/proc/{int(node['pid'])}/exe")
    except (OSError, KeyError, TypeError, ValueError):
        exe = None
    if exe:
        folder = os.path.dirname(exe)
        return any(os.path.exists(os.path.join(folder, name)) for name in _CHROMIUM_FILES)
    app_id = (node.get("app_id") or (node.get("window_properties") or {}).get("class") or "").lower()
    return any(app_id.startswith(name) for name in _CHROMIUM_APP_IDS)


def pastes(text: str, paste: bool | None, swaysock: str | None = None) -> bool:
    """Whether type() takes the clipboard for the text's characters outside the Basic Multilingual Plane;
    `swaysock`: the IPC of the sway that shows the window typed into, as for focused_window()."""
    if paste is not None and not isinstance(paste, bool):
        raise TypeError(f"paste must be True, False or None, not {paste!r}")
    if paste is False or not outside_bmp(text):
        return False
    if paste:
        return True
    node = focused_window(swaysock)
    return node is not None and is_chromium_based(node)


# What joins the characters of one emoji (zero-width joiner, variation selectors, the keycap): pasted with
# the characters around it, so that an emoji sequence arrives in one paste.
_JOINERS = frozenset("\u200d\ufe0e\ufe0f\u20e3")


def runs(text: str) -> Iterator[tuple[bool, str]]:
    """The text in runs: (True, characters outside the Basic Multilingual Plane and what joins them) or
    (False, the others)."""
    pasted = []
    for ch in text:
        pasted.append(ord(ch) > 0xFFFF or (ch in _JOINERS and bool(pasted) and pasted[-1]))
    start = 0
    for i in range(1, len(text) + 1):
        if i == len(text) or pasted[i] != pasted[start]:
            yield pasted[start], text[start:i]
            start = i


def paste_text(desktop, clipboard: Clipboard, text: str) -> None:
    """Pastes text with Ctrl+V through the clipboard, which holds what it held before afterwards."""
    saved = clipboard.save()
    try:
        clipboard.write_text(text)
        before = clipboard._served() or 0
        desktop.key("ctrl+v")
        # The application asks for the data after it has seen the keys, and Chromium asks twice per
        # paste: the clipboard goes back once it has asked and then stayed quiet for a while, or the
        # application would paste what went back.
        deadline = time.monotonic() + _PASTE_WAIT
        count, since = before, time.monotonic()
        while count == before or time.monotonic() - since < (
                _PASTE_QUIET_AFTER_ONE if count == before + 1 else _PASTE_QUIET):
            now = time.monotonic()
            if now > deadline:
                if count == before:
                    raise ClipboardTimeout(f"the focused window did not take the pasted {text!r} within "
                                           f"{_PASTE_WAIT:g} s of Ctrl+V")
                break
            time.sleep(0.005)
            if (served := clipboard._served() or 0) != count:
                count, since = served, time.monotonic()
    finally:
        clipboard.restore(saved)
