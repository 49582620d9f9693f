"""Desktop: what a person does at the keyboard and mouse, built from the native core's steps.

Each step the core sends (keys down, a motion, buttons down, wheel notches, buttons up, keys up) ends with
one round trip to the compositor; an action here is one step, or one per phase when it holds something or
moves over time. Holds and glides sleep in Python, with the interpreter lock released.
"""

from __future__ import annotations

import contextlib
import math
import os
import time
import unicodedata
import weakref
from collections.abc import Iterable, Iterator, Mapping, Sequence
from pathlib import Path
from typing import TYPE_CHECKING, NamedTuple

from . import _clipboard, _control, _human, _keys
from ._clipboard import Clipboard
from ._human import Seconds
from ._screen import Closed, _Frames

if TYPE_CHECKING:
    from . import _atspi

try:
    from . import _native
except ImportError as error:  # pragma: no cover - a checkout without the build
    raise ImportError(
        f"pravlin_desktop's native module is missing from {Path(__file__).parent}: this is a source "
        "checkout shadowing the installed package (run from another directory, or python -P), or pravlin "
        "is not installed (pip install .)") from error

_GUARD = Path(__file__).resolve().with_name("pravlin-desktop-guard")
# How far apart the motion events of an instant drag may be, in pixels: toolkits see the pointer move
# across their drag thresholds and drop targets rather than jump.
_DRAG_STEP = 10.0
# Every Desktop not yet collected: screenshot assertions leave out the pointer where they put it.
_live: weakref.WeakSet[Desktop] = weakref.WeakSet()


def pointer_spots() -> list[tuple[int, int]]:
    """Where each open Desktop of this process last put the pointer."""
    spots = []
    for d in list(_live):
        with d._lock:
            spot = d._c.pointer() if d._c else None
        if spot is not None:
            spots.append(spot)
    return spots


class Output(NamedTuple):
    """An output and its place in the compositor's layout, in logical pixels."""

    name: str
    x: int
    y: int
    width: int
    height: int


class Desktop(_Frames):
    """One connection to a Wayland compositor with the whole keyboard and mouse of a person.

    Connects as `pravlin.Pravlin` does (`wayland_display`, or WAYLAND_DISPLAY and XDG_RUNTIME_DIR), with
    the same errors. Coordinates are pixels of the compositor's layout; a point on no output raises
    ValueError and sends nothing. Durations are seconds, or a (low, high) range drawn afresh on each use;
    the defaults are instant. Whatever an action presses it releases, also when it fails or is
    interrupted, and a process that dies holding keys or buttons has them released by its guard.

    On a session a person may take control of (pravlin-run --view ... --control), each action first
    looks whether a person has: `person_control="wait"` waits until the person hands back; "raise"
    raises PersonHasControl instead. Whatever this Desktop holds (key_down, mouse_down) it lets go of
    as soon as the person takes control. Releases (key_up, mouse_up, close) never wait.
    """

    def __init__(self, wayland_display: str | None = None, *, person_control: str = "wait"):
        self.person_control = _control.check_choice(person_control)
        try:
            self._c: _native.Core | Closed = _native.Core(wayland_display, str(_GUARD))
        except RuntimeError as error:
            if wayland_display is not None or "WAYLAND_DISPLAY" in os.environ:
                raise
            raise RuntimeError(f"{error}\n\nThis process is in no Wayland session (WAYLAND_DISPLAY is not set): run "
                               "it under pravlin-run, start a pravlin_session.HeadlessSession and pass its socket "
                               "(Desktop(session.socket)), or name a display") from None
        self._control = _control.find(wayland_display)
        super().__init__()
        if self._control is not None:
            _control.watch(self, self._control)
        self._display = wayland_display
        self._clipboard: Clipboard | None = None
        _live.add(self)
        # What key_down pressed for each name, so that key_up lets go of the same keys.
        self._down: dict[str, list[int]] = {}
        # Keys found in the seat's keymap, which a Desktop keeps for its life: per combination (keys
        # down, keys up, layout), per character of text, per list of modifiers.
        self._chords: dict[object, tuple[tuple[int, ...], tuple[int, ...], int | None]] = {}
        self._typed: dict[str, tuple[tuple[int, ...], tuple[int, ...], int | None] | None] = {}
        self._mods: dict[tuple[str, ...], tuple[int, ...]] = {}
        self._a11y_bus: _atspi.Bus | None = None  # the accessibility bus, connected on first use
        # Where accessibility() finds the accessibility bus and sway's IPC: AT_SPI_BUS_ADDRESS (or
        # DBUS_SESSION_BUS_ADDRESS) and SWAYSOCK of this mapping, such as a HeadlessSession's env;
        # None: this process's environment.
        self.accessibility_environ: Mapping[str, str] | None = None
        # When keys added to the keymap were last typed with (0: never).
        self._added_keys_used = 0.0

    # -- life ---------------------------------------------------------------------------------------

    def close(self) -> None:
        """Releases every key and button still held and closes the connection. Safe to call twice."""
        with self._lock:
            core, self._c = self._c, Closed("Desktop")
            bus, self._a11y_bus = self._a11y_bus, None
            if bus is not None:
                bus.close()
            self._down.clear()
            clipboard, self._clipboard = self._clipboard, None
            if clipboard:
                clipboard.close()
            if core:
                try:
                    core.release_all()
                finally:
                    del core

    def __enter__(self) -> Desktop:
        return self

    @property
    def person_has_control(self) -> bool:
        """Whether a person watching the session has taken control of it."""
        return bool(self._control is not None and self._control[0])

    def _turn(self) -> None:
        """Called first by every action that presses or moves."""
        if self._control is not None and self._control[0]:
            _control.wait_turn(self, self._control)

    def _release_for_person(self) -> None:
        with self._lock:
            self._down.clear()
            self._c.release_all()

    def __exit__(self, *exc) -> None:
        self.close()

    # -- accessibility ------------------------------------------------------------------------------

    def accessibility(self, *, showing_only: bool = True, max_depth: int = 50, max_width: int = 1024):
        """The session's applications' accessibility trees, read now (an
        `accessibility.AccessibilityTree`): roles, names, states, text, values, actions, and boxes in
        this Desktop's layout pixels. Only what is showing unless `showing_only=False`; at most
        `max_depth` levels and `max_width` children of any element. Needs the accessibility bus a
        session starts by default (AccessibilityUnavailable without it) and the `accessibility` extra."""
        from . import _atspi, accessibility

        self._c.outputs()  # a closed Desktop raises here
        if not (isinstance(max_depth, int) and max_depth >= 1 and isinstance(max_width, int) and max_width >= 1):
            raise ValueError(f"bad limits max_depth={max_depth!r}, max_width={max_width!r}: expected integers, 1 or more")
        environ = os.environ if self.accessibility_environ is None else self.accessibility_environ
        bus = self._a11y_bus
        if bus is None:
            bus = self._a11y_bus = _atspi.Bus(environ)
        try:
            return accessibility.read(bus, showing_only=showing_only, max_depth=max_depth,
                                      max_width=max_width, swaysock=environ.get("SWAYSOCK"))
        except (OSError, TimeoutError):
            # A connection broken mid-read leaves replies unread: the next read starts afresh.
            self._a11y_bus = None
            bus.close()
            raise

    def find(self, role: str | None = None, name=None, **options):
        """A locator (`accessibility.Locator`) for the element with this role (AT-SPI, "push button",
        or ARIA, "button") and name (a substring, case-insensitive; `exact=True` for equality; or a
        compiled pattern); `text=` matches its text, `states=` states it must have, `index=` picks one
        of several matches, `timeout=` (seconds, default 5) is how long its uses wait for it.
        `d.find(role="button", name="Save").click()`."""
        from .accessibility import Locator

        return Locator(self, role, name, **options)
    @property
    def clipboard(self) -> Clipboard:
        """The seat's clipboard and primary selection (see pravlin_desktop.Clipboard), over a connection of
        its own made on first use and closed with the Desktop."""
        with self._lock:
            if not self._c:
                self._c.outputs()  # says that the Desktop is closed
            if self._clipboard is None:
                self._clipboard = Clipboard(self._display)
            return self._clipboard

    def _sway_socket(self) -> str:
        """The IPC socket of the sway this Desktop is connected to, as far as it can be told: SWAYSOCK of
        accessibility_environ; this process's SWAYSOCK when the Desktop is on this process's display;
        for another display, the IPC socket a pravlin session puts beside its Wayland socket. "" when
        none of them is there: the IPC of another display's sway would describe other windows."""
        if self.accessibility_environ is not None:
            return self.accessibility_environ.get("SWAYSOCK", "")
        runtime_dir = os.environ.get("XDG_RUNTIME_DIR", "")

        def path(name: str | None) -> str | None:
            return name if not name or name.startswith("/") else os.path.join(runtime_dir, name)

        ours, environment = path(self._display), path(os.environ.get("WAYLAND_DISPLAY") or "wayland-0")
        if ours is None or ours == environment:
            return os.environ.get("SWAYSOCK", "")
        beside = os.path.join(os.path.dirname(ours), "sway-ipc.sock")
        return beside if os.path.exists(beside) else ""

    # -- geometry -----------------------------------------------------------------------------------

    @property
    def outputs(self) -> tuple[Output, ...]:
        """Each output's name and place in the layout."""
        with self._lock:
            outs = self._c.outputs()
        return tuple(Output(*o[:5]) for o in outs)

    def size(self) -> tuple[int, int]:
        """Width and height of the layout's bounding box."""
        with self._lock:
            outs = self._c.outputs()
        if not outs:
            return 0, 0
        return (max(o[1] + o[3] for o in outs) - min(o[1] for o in outs),
                max(o[2] + o[4] for o in outs) - min(o[2] for o in outs))

    def position(self) -> tuple[int, int] | None:
        """Where this Desktop last put the pointer, or None before it has."""
        with self._lock:
            return self._c.pointer()

    # -- pointer ------------------------------------------------------------------------------------

    def move(self, x: int, y: int, *, duration: Seconds = 0) -> None:
        """Moves the pointer to (x, y). With a duration it glides there from where this Desktop last put
        it, one motion event per frame of the output, along a slightly curved path that speeds up and
        slows down; before any move, or with no duration, it goes straight to the point."""
        self._turn()
        x, y = _point(x, y)
        _human.check_seconds(duration, "duration")
        with self._lock:
            core = self._c
            seconds = _human.draw(duration)
            start = core.pointer()
            if seconds <= 0 or start is None or start == (x, y):
                core.send(x=x, y=y)
                return
            core.check_point(x, y)
            steps = max(1, round(seconds * self._refresh_at(x, y)))
            self._glide(_human.glide(start, (x, y), steps), seconds)

    def click(self, x: int | None = None, y: int | None = None, *, button: str | int = "left", clicks: int = 1,
              interval: Seconds = 0.05, hold: Seconds = 0, modifiers: Iterable[str] = ()) -> None:
        """Clicks `button` `clicks` times at (x, y), or where the pointer is, with `hold` between each
        press and its release, `interval` between clicks, and the `modifiers` held throughout."""
        self._turn()
        if x is None and y is None:
            px = py = None
        else:
            px, py = _optional_point(x, y)
        code = _keys.BUTTONS.get(button) if isinstance(button, str) else None
        if code is None:
            code = _keys.button_code(button)
        if clicks == 1 and hold == 0 and not modifiers and clicks is not True:
            lock = self._lock
            if not lock.try_acquire(False):
                lock.acquire()
            try:
                self._c.send((), px, py, (code,), None, None, (code,), (), None)
            finally:
                lock.release()
            return
        if isinstance(clicks, bool) or not isinstance(clicks, int) or clicks < 1:
            raise ValueError(f"clicks must be a whole number, at least 1, not {clicks!r}")
        _human.check_seconds(interval, "interval")
        _human.check_seconds(hold, "hold")
        with self._lock:
            core = self._c
            mods = self._not_held(self._modifier_keys(modifiers))
            ours = () if code in core.held()[1] else (code,)
            try:
                for i in range(clicks):
                    down = mods if i == 0 else ()
                    up = mods[::-1] if i == clicks - 1 else ()
                    seconds = _human.draw(hold)
                    if seconds <= 0:
                        core.send(down, px, py, (code,), None, None, (code,), up, None)
                    else:
                        core.send(down, px, py, (code,), None, None, (), (), None)
                        time.sleep(seconds)
                        core.send((), None, None, (), None, None, (code,), up, None)
                    px = py = None
                    if i < clicks - 1:
                        time.sleep(_human.draw(interval))
            except BaseException:
                self._let_go(keys=mods, buttons=ours)
                raise

    def double_click(self, x: int | None = None, y: int | None = None, **options) -> None:
        """click() twice; the same keywords."""
        self.click(x, y, **{**options, "clicks": 2})

    def triple_click(self, x: int | None = None, y: int | None = None, **options) -> None:
        """click() three times; the same keywords."""
        self.click(x, y, **{**options, "clicks": 3})

    def mouse_down(self, button: str | int = "left") -> None:
        """Presses a button and keeps it down until mouse_up (or close)."""
        self._turn()
        code = _keys.button_code(button)
        with self._lock:
            self._c.send(buttons_down=(code,))

    def mouse_up(self, button: str | int = "left") -> None:
        """Releases a button that mouse_down pressed; a button that is not down is left alone."""
        code = _keys.button_code(button)
        with self._lock:
            self._c.send(buttons_up=(code,))

    def drag(self, points: Sequence[tuple[int, int]], *, button: str | int = "left", duration: Seconds = 0,
             modifiers: Iterable[str] = ()) -> None:
        """Presses `button` at the first point, moves through every later point and releases it at the
        last, with the `modifiers` held throughout. Motion events go between the points too, so that
        drag thresholds and drop targets see a moving pointer: at most 10 pixels apart when instant, one
        per frame when the drag takes `duration`, each leg easing in and out."""
        self._turn()
        pts = [_point(*p) for p in points]
        if len(pts) < 2:
            raise ValueError("a drag needs at least two points")
        code = _keys.button_code(button)
        _human.check_seconds(duration, "duration")
        with self._lock:
            core = self._c
            for p in pts:
                core.check_point(*p)
            mods = self._not_held(self._modifier_keys(modifiers))
            ours = () if code in core.held()[1] else (code,)
            seconds = _human.draw(duration)
            try:
                core.send(keys_down=mods, x=pts[0][0], y=pts[0][1], buttons_down=(code,))
                if seconds <= 0:
                    for px, py in _human.through(pts, _DRAG_STEP)[:-1]:
                        core.send(x=px, y=py)
                else:
                    self._glide_through(pts, seconds)
                core.send(x=pts[-1][0], y=pts[-1][1], buttons_up=ours, keys_up=mods[::-1])
            except BaseException:
                self._let_go(keys=mods, buttons=ours)
                raise

    def scroll(self, dy: int = 0, dx: int = 0, *, x: int | None = None, y: int | None = None,
               modifiers: Iterable[str] = ()) -> None:
        """Turns the wheel `dy` notches down (negative: up) and `dx` notches right (negative: left), at
        (x, y) or where the pointer is, with the `modifiers` held. Each notch goes as a mouse wheel
        sends it, so toolkits scroll by their own line step, and notches go 4 ms apart, each once the
        one before has reached the window, as a wheel spun fast sends them (Chromium loses notches of a
        burst when it falls behind)."""
        self._turn()
        if not (type(dy) is int and type(dx) is int and -100_000 <= dy <= 100_000 and -100_000 <= dx <= 100_000):
            for name, v in (("dy", dy), ("dx", dx)):
                if isinstance(v, bool) or not isinstance(v, int):
                    raise TypeError(f"{name} is a whole number of wheel notches, not {v!r}")
                if abs(v) > 100_000:
                    raise ValueError(f"{name}={v} notches is more than a wheel turns in one go (100000)")
        px, py = (None, None) if x is None and y is None else _optional_point(x, y)
        lock = self._lock
        if not lock.try_acquire(False):
            lock.acquire()
        try:
            mods = self._modifier_keys(modifiers) if modifiers else ()
            self._c.send(mods, px, py, (), dy, dx, (), mods[::-1], None)
        finally:
            lock.release()

    # -- keyboard -----------------------------------------------------------------------------------

    def key(self, combo: str | Sequence[str], *, hold: Seconds = 0, repeat: int = 1) -> None:
        """Presses a combination: "ctrl+shift+t" or ["ctrl", "shift", "t"]. The keys go down in order
        (with Shift or AltGr where the layout needs them for a character), stay `hold`, and come up in
        reverse; `repeat` times. Keys already held (key_down) stay as they are."""
        self._turn()
        cache_key = combo if isinstance(combo, str) else tuple(combo) if isinstance(combo, (list, tuple)) else None
        chord = self._chords.get(cache_key) if cache_key is not None else None
        if chord is not None and hold == 0 and repeat == 1:
            lock = self._lock
            if not lock.try_acquire(False):
                lock.acquire()
            try:
                self._c.send(chord[0], None, None, (), None, None, (), chord[1], chord[2])
            finally:
                lock.release()
            return
        names = _keys.split_combo(combo)
        _human.check_seconds(hold, "hold")
        if isinstance(repeat, bool) or not isinstance(repeat, int) or repeat < 1:
            raise ValueError(f"repeat must be a whole number, at least 1, not {repeat!r}")
        with self._lock:
            syms = [self._keysym(n) for n in names]
            with self._keymap_for(syms) as plan:
                keys, layout = plan.combo(syms)
                if not plan.missing and cache_key is not None:
                    _remember(self._chords, cache_key, (tuple(keys), tuple(keys[::-1]), layout))
                if hold == 0:
                    # Back to back, in batches, as typed text goes.
                    done = self._type_steps(self._c, [(keys, None, layout)] * repeat, 0, 0, _WINDOW_TIMEOUT)
                    if done is not None:
                        raise _stalled(_WINDOW_TIMEOUT, f"{combo!r} was pressed {done} of {repeat} times")
                else:
                    for _ in range(repeat):
                        self._press_release(keys, layout, hold)
                if self._added_keys_used:
                    self._added_keys_used = time.monotonic()

    def key_down(self, name: str) -> None:
        """Presses one key (and the level modifiers its name needs) and keeps it down until key_up."""
        self._turn()
        with self._lock:
            core = self._c
            sym = self._keysym(name)
            plan = _KeyPlan(self, [sym])
            if plan.missing:
                raise ValueError(f"{name!r} is not on the keyboard's layout: it can only be typed")
            keys, layout = plan.combo([sym])
            if layout is not None:
                raise ValueError(f"{name!r} is only on another layout of the keymap; it can be typed, not held")
            held = core.held()[0]
            keys = [k for k in keys if k not in held]
            core.send(keys_down=keys)
            self._down[_norm(name)] = self._down.get(_norm(name), []) + keys

    def key_up(self, name: str) -> None:
        """Releases what key_down(name) pressed; a key that is not down is left alone."""
        with self._lock:
            core = self._c
            keys = self._down.pop(_norm(name), None)
            if keys is None:
                sym = self._keysym(name)
                plan = _KeyPlan(self, [sym])
                keys = [] if plan.missing else plan.combo([sym])[0][-1:]
            held = core.held()[0]
            keys = [k for k in keys[::-1] if k in held]
            if keys:
                core.send(keys_up=keys)

    @contextlib.contextmanager
    def hold(self, *names: str) -> Iterator[None]:
        """Holds keys for the block: `with desktop.hold("shift"): desktop.click(...)`."""
        done = []
        try:
            for name in names:
                self.key_down(name)
                done.append(name)
            yield
        finally:
            for name in reversed(done):
                self.key_up(name)

    def type(self, text: str, *, interval: Seconds = 0, hold: Seconds = 0, timeout: float = 10,
             paste: bool | None = None) -> None:
        """Types any text: each character with the key and level of the seat's layout that produce it,
        and characters the layout lacks on spare keys added to this Desktop's keyboard, where they stay
        while there is room (X11 windows look a key up when they handle it, which may be later). "\\n" is
        Return and "\\t" Tab. `interval` is the time between characters, `hold` how long each key stays
        down.

        Typing keeps to the pace of the window that receives the keys: when it falls behind in reading
        them, the next keys wait for it. One that reads nothing for `timeout` seconds (a stopped or hung
        program) raises TimeoutError, which says how much of the text was typed; nothing stays held.

        Characters outside the Basic Multilingual Plane (😀) go through the clipboard and Ctrl+V where
        no key can carry them: into a Chromium-based window (Chromium, Chrome, Electron) when sway's IPC
        says one has focus, unless `paste` is False; into any window with `paste` True. The clipboard
        holds what it held before afterwards."""
        self._turn()
        if not isinstance(text, str):
            raise TypeError(f"text must be a str, not {type(text).__name__}")
        _human.check_seconds(interval, "interval")
        _human.check_seconds(hold, "hold")
        if isinstance(timeout, bool) or not isinstance(timeout, (int, float)) or not timeout > 0:
            raise ValueError(f"timeout is seconds, more than 0, not {timeout!r}")
        if _clipboard.pastes(text, paste, self._sway_socket()):
            for pasted, run in _clipboard.runs(text):
                if pasted:
                    _clipboard.paste_text(self, self.clipboard, run)
                else:
                    self.type(run, interval=interval, hold=hold, timeout=timeout, paste=False)
            return
        with self._lock:
            core = self._c
            steps = self._typing_steps(text)
            if all(steps):
                done = self._type_steps(core, steps, interval, hold, timeout)
                if self._added_keys_used:
                    self._added_keys_used = time.monotonic()
            else:
                # Some characters are not on the layout: their keysyms go on spare keys, as many runs of
                # the text as it takes. Characters on keys added before count as not on the layout: a
                # run may take their keys.
                added = core.added_keys()
                if added:
                    steps = [None if st is None or any(k in added for k in st[0]) else st for st in steps]
                done = None
                typed = 0
                for run in _runs(text, steps, core.spare_keys()):
                    syms = [self._char_keysym(ch) for ch in run]
                    with self._keymap_for(syms) as plan:
                        run_steps = []
                        for sym in syms:
                            keys, layout = plan.keys_for(sym)
                            run_steps.append((tuple(keys), tuple(keys[::-1]), layout))
                        done = self._type_steps(core, run_steps, interval, hold, timeout)
                        self._added_keys_used = time.monotonic()
                    if done is not None:
                        done += typed
                        break
                    typed += len(run_steps)
            if done is not None:
                # Strokes to characters: "\r\n" is one stroke.
                strokes = [i for i, ch in enumerate(text) if not (ch == "\n" and i and text[i - 1] == "\r")]
                chars = strokes[done] if done < len(strokes) else len(text)
                raise _stalled(timeout, f"{chars} of the {len(text)} characters were typed (text[:{chars}]), "
                               "the rest not")

    def _type_steps(self, core, steps, interval, hold, timeout) -> int | None:
        """Types the steps at the pace of the windows that read them; None when all are typed, or how
        many were when a window read nothing for `timeout` seconds."""
        if interval == 0 and hold == 0:
            done = 0
            while done < len(steps):
                flat: list[int] = []
                chunk = steps[done:done + _STROKES_PER_CALL] if done or len(steps) > _STROKES_PER_CALL else steps
                for down, _, layout in chunk:
                    flat += (len(down), 0 if layout is None else layout + 1, *down)
                typed = core.type_keys(flat, _patience(timeout))
                done += typed
                if typed < len(chunk) and not _wait_for_readers(core, timeout):
                    return done
            return None
        for i, (down, up, layout) in enumerate(steps):
            if i and not _wait_for_readers(core, timeout):
                return i
            self._press_release(list(down), layout, hold)
            if interval != 0 and i < len(steps) - 1:
                time.sleep(_human.draw(interval))
        return None

    def _typing_steps(self, text: str) -> list:
        """Per character the keys it takes on the seat's layout (down, up, layout), or None where the layout
        lacks it; the text checked whole before anything is sent."""
        typed = self._typed
        steps = []
        for i, ch in enumerate(text):
            step = typed.get(ch, _UNKNOWN)
            if step is _UNKNOWN:
                sym = self._char_keysym(ch, index=i)
                found = self._c.find_key(sym)
                if found is None:
                    step = None
                else:
                    key, modifier_keys, unkeyed, layout = found
                    if unkeyed:
                        raise ValueError(f"cannot type {ch!r} at index {i}: it needs a modifier (mask {unkeyed:#x}) "
                                         "that no key of the layout sets")
                    keys = (*modifier_keys, key)
                    step = (keys, keys[::-1], layout or None)
                _remember(typed, ch, step)
            steps.append(step)
        # "\r\n" is one Return.
        return [st for i, st in enumerate(steps) if not (text[i] == "\n" and i and text[i - 1] == "\r")]

    def _char_keysym(self, ch: str, index: int | None = None) -> int:
        control = _keys.typed_control(ch)
        if control:
            return self._c.keysym_from_name(control)
        sym = self._c.keysym_from_char(ord(ch)) if (ch.isprintable() or _is_typeable(ch)) else 0
        if not sym:
            where = f" at index {index}" if index is not None else ""
            raise ValueError(f"cannot type {ch!r} (U+{ord(ch):04X}){where}: no key produces it")
        return sym

    # -- the parts ----------------------------------------------------------------------------------

    def _press_release(self, keys: list[int], layout: int | None, hold: Seconds) -> None:
        core = self._c
        seconds = _human.draw(hold)
        if seconds <= 0:
            core.send(keys_down=keys, keys_up=keys[::-1], layout=layout)
            return
        keys = self._not_held(keys)
        core.send(keys_down=keys, layout=layout)
        try:
            time.sleep(seconds)
        finally:
            core.send(keys_up=keys[::-1], layout=layout)

    def _not_held(self, keys: Sequence[int]) -> list[int]:
        """Those of `keys` that are not down now: an action that holds keys over time presses and releases
        only these, and leaves what was held before it as it was."""
        held = self._c.held()[0]
        return [k for k in keys if k not in held]

    def _let_go(self, *, keys: Sequence[int] = (), buttons: Sequence[int] = ()) -> None:
        """After a failure: releases those of these keys and buttons that are still down."""
        core = self._c
        if not core:
            return
        held_keys, held_buttons = core.held()
        up_b = [b for b in buttons if b in held_buttons]
        up_k = [k for k in reversed(keys) if k in held_keys]
        if up_b or up_k:
            core.send(buttons_up=up_b, keys_up=up_k)

    def _modifier_keys(self, names: Iterable[str]) -> tuple[int, ...]:
        """The keys for modifier names held during a pointer action (those already down stay down)."""
        if isinstance(names, str):
            names = _keys.split_combo(names) if names.strip() else ()
        names = list(names)
        if not names:
            return ()
        cached = self._mods.get(tuple(names))
        if cached is not None:
            return cached
        syms = [self._keysym(n) for n in names]
        plan = _KeyPlan(self, syms)
        if plan.missing:
            raise ValueError(f"{', '.join(repr(n) for n in names)} cannot be held: not on the keyboard's layout")
        keys = tuple(plan.combo(syms)[0])
        _remember(self._mods, tuple(names), keys)
        return keys

    def _keysym(self, name: str) -> int:
        if not isinstance(name, str):
            raise TypeError(f"a key name is a str, not {type(name).__name__}")
        core = self._c
        if len(name) == 1:
            control = _keys.typed_control(name)
            sym = core.keysym_from_name(control) if control else core.keysym_from_char(ord(name))
        else:
            sym = core.keysym_from_name(_keys.ALIASES.get(name.lower(), name))
        if not sym:
            raise ValueError(f"unknown key name {name!r}: not an xkb keysym name, an alias such as 'ctrl', "
                             "'enter' or 'pgdn', or a single character")
        return sym

    @contextlib.contextmanager
    def _keymap_for(self, keysyms: Sequence[int]) -> Iterator[_KeyPlan]:
        """A plan for these keysyms; those the layout lacks are put on carrier keys first. The keys added
        stay on this Desktop's keyboard (other keyboards keep their own keymaps) until their carriers are
        needed for other characters: X11 clients fetch a changed keymap only when they next look a key
        up, and a keymap put back at once would be the one they find."""
        plan = _KeyPlan(self, keysyms)
        if plan.missing:
            core = self._c
            if core.add_keysyms(list(keysyms), 0) is None:
                # A key typed with a moment ago is to carry something else: an X11 window that has
                # not handled it yet would find the new keysym when it does.
                wait = self._added_keys_used + _KEYMAP_SETTLE - time.monotonic()
                if wait > 0:
                    time.sleep(wait)
                core.add_keysyms(list(keysyms), 1)
            self._added_keys_used = time.monotonic()
            # Keys found before may carry something else now.
            self._chords.clear()
            self._typed.clear()
            self._mods.clear()
            plan = _KeyPlan(self, keysyms)
        yield plan

    def _refresh_at(self, x: int, y: int) -> float:
        for name, ox, oy, w, h, refresh in self._c.outputs():
            if ox <= x < ox + w and oy <= y < oy + h and refresh > 0:
                return refresh / 1000.0
        return 60.0

    def _glide(self, points: Sequence[tuple[int, int]], seconds: float) -> None:
        """One motion per point, evenly over `seconds`, the last landing when they are up."""
        core = self._c
        period = seconds / len(points)
        start = time.monotonic()
        for i, (px, py) in enumerate(points, 1):
            px, py = self._nearest_on_screen(px, py)
            delay = start + i * period - time.monotonic()
            if delay > 0:
                time.sleep(delay)
            core.send(x=px, y=py)

    def _glide_through(self, pts: Sequence[tuple[int, int]], seconds: float) -> None:
        """Through every point in turn, each leg in its share of `seconds` by length, at one motion per
        frame; the pointer is at pts[0] already."""
        lengths = [math.dist(a, b) for a, b in zip(pts, pts[1:])]
        total = sum(lengths) or 1.0
        for (a, b), length in zip(zip(pts, pts[1:]), lengths):
            share = seconds * length / total if sum(lengths) else seconds / len(lengths)
            steps = max(1, round(share * self._refresh_at(*b)))
            self._glide(_human.along([a, b], steps), share)

    def _nearest_on_screen(self, x: int, y: int) -> tuple[int, int]:
        best, best_d = (x, y), math.inf
        for _, ox, oy, w, h, _ in self._c.outputs():
            cx, cy = min(max(x, ox), ox + w - 1), min(max(y, oy), oy + h - 1)
            d = (cx - x) ** 2 + (cy - y) ** 2
            if d < best_d:
                best, best_d = (cx, cy), d
        return best


class _KeyPlan:
    """Which keys press a set of keysyms on the keyboard's current keymap."""

    def __init__(self, desktop: Desktop, keysyms: Iterable[int]):
        self._core = desktop._c
        self._choice: dict[int, tuple[list[int], int]] = {}
        self.missing: list[int] = []
        for sym in dict.fromkeys(keysyms):
            found = self._core.find_key(sym)
            if found is None:
                self.missing.append(sym)
                continue
            key, modifier_keys, unkeyed, layout = found
            if unkeyed:
                name = self._core.keysym_name(sym)
                raise ValueError(f"{name} needs a modifier (mask {unkeyed:#x}) that no key of the layout sets")
            self._choice[sym] = ([*modifier_keys, key], layout)

    def keys_for(self, sym: int) -> tuple[list[int], int | None]:
        keys, layout = self._choice[sym]
        return keys, (None if layout in (None, 0) else layout)

    def combo(self, keysyms: Sequence[int]) -> tuple[list[int], int | None]:
        """The keys of a combination in order, each keysym's level modifiers before it, none twice; and
        the one layout they need (None: the active one)."""
        keys: list[int] = []
        layouts = set()
        for sym in keysyms:
            k, layout = self.keys_for(sym)
            keys.extend(c for c in k if c not in keys)
            if layout is not None:
                layouts.add(layout)
        if len(layouts) > 1:
            names = ", ".join(self._core.keysym_name(s) for s in keysyms)
            raise ValueError(f"the keys {names} are on different layouts of the keymap")
        return keys, (layouts.pop() if layouts else None)


_UNKNOWN = object()
# How long a key added to the keymap keeps its keysym after it was last typed with, when another needs it:
# X11 clients fetch a changed keymap only when they next look a key up.
_KEYMAP_SETTLE = 0.3
_CACHE_LIMIT = 4096
# Typed text goes to the core in calls of this many strokes, between which Ctrl-C gets through; a wait
# for a window that fell behind goes in slices of this many milliseconds.
_STROKES_PER_CALL = 1024
_PATIENCE_MS = 200
# How long key(repeat=...) waits for a window that reads nothing.
_WINDOW_TIMEOUT = 10.0


def _wait_for_readers(core, timeout: float) -> bool:
    """Waits until no window is behind in reading its keys; False once they have read nothing for
    `timeout` seconds."""
    patience = _patience(timeout)
    stalled = 0.0
    while settled := core.wait_for_readers(patience):
        # 1: still behind, but reading; 2: nothing read in the slice.
        stalled = stalled + patience / 1000 if settled == 2 else 0.0
        if stalled >= timeout:
            return False
    return True


def _patience(timeout: float) -> int:
    return max(1, math.ceil(min(_PATIENCE_MS, timeout * 1000)))


def _stalled(timeout: float, done: str) -> TimeoutError:
    return TimeoutError(f"the window receiving the keys read none of them for {timeout:g} s (a stopped or hung "
                        f"program?): {done}; no key is held")


def _remember(cache: dict, key, value) -> None:
    if len(cache) >= _CACHE_LIMIT:
        cache.clear()
    cache[key] = value


def _runs(text: str, steps: list, room: int) -> Iterator[str]:
    """The text in runs that one keymap can type: each run has at most `room` distinct characters the
    layout lacks (those whose step is None)."""
    if room == 0:
        raise RuntimeError("the keymap has no spare key for characters its layout lacks")
    chars = [ch for i, ch in enumerate(text) if not (ch == "\n" and i and text[i - 1] == "\r")]
    start = 0
    while start < len(chars):
        placed: set[str] = set()
        end = start
        while end < len(chars):
            if steps[end] is None and chars[end] not in placed:
                if len(placed) == room:
                    break
                placed.add(chars[end])
            end += 1
        yield "".join(chars[start:end])
        start = end


def _norm(name: str) -> str:
    return name if len(name) == 1 else _keys.ALIASES.get(name.lower(), name).lower()


def _is_typeable(ch: str) -> bool:
    # Combining marks and format characters are not "printable" but type as themselves.
    return unicodedata.category(ch) in ("Mn", "Mc", "Me", "Cf", "Zs", "Zl", "Zp", "Co")


def _point(x, y) -> tuple[int, int]:
    for v in (x, y):
        if isinstance(v, bool) or not isinstance(v, (int, float)) or (isinstance(v, float) and not math.isfinite(v)):
            raise TypeError(f"a point is two numbers of pixels, not ({x!r}, {y!r})")
    return round(x), round(y)


def _optional_point(x, y) -> tuple[int, int] | None:
    if x is None and y is None:
        return None
    if x is None or y is None:
        raise TypeError("give both x and y, or neither")
    return _point(x, y)
