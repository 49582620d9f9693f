"""Desktops for agent training and evaluation: a Gymnasium environment over a headless session.

    import gymnasium as gym
    import pravlin_desktop.env  # registers "pravlin/Desktop-v0"

    env = gym.make("pravlin/Desktop-v0", programs=[["foot"]], outputs=[(1280, 720)], max_steps=50)
    obs, info = env.reset(seed=0)
    obs, reward, terminated, truncated, info = env.step(env.action_space.sample())

    # one session per worker process
    envs = gym.make_vec("pravlin/Desktop-v0", num_envs=4, vectorization_mode="async", programs=[["foot"]])

An episode's desktop is a private headless compositor (pravlin_session.HeadlessSession) running the
configured programs. `reset()` starts a new session by default; with `soft_reset=True` (or
`reset(options={"soft": True})`) it keeps the compositor and restarts only the programs:

- a hard reset keeps nothing: new compositor, outputs, seat and connection; it costs the session's
  start-up (tens of milliseconds) on top of the programs' own;
- a soft reset keeps the compositor with its outputs and seat, the connection with its capture
  buffers, and whatever was changed in the compositor through its IPC; the left button is let go (the
  one thing an action leaves pressed), the programs are told to stop and started again, and their old
  windows go while the new ones start. It costs the programs' start-up and well under a millisecond
  of its own.
Both put the pointer in the middle of the first output.
Neither touches files: programs run with this process's environment (HOME included) unless a
program's own `env` says otherwise.

A step performs one action, then observes: with `settle=True` (the default) it waits until the screen
has settled, i.e. no output has changed for `settle_quiet` seconds (driven by the compositor's damage,
no polling), at most `settle_timeout` seconds; with `settle=False` it takes one fresh frame of every
output. Observations are {"screen": RGB uint8 (height, width, 3), "pointer": (x, y)} in observation
pixels: the outputs' layout, scaled to `observation_size` when given.

Actions are the computer-use actions of Anthropic's computer tool as a Dict space (see ACTIONS):
"action" picks one; "coordinate" is where (observation pixels), "start_coordinate" where a drag
starts, "text" what `type` types, "key" the key (an index into KEYS) that `key` and `hold_key` press,
"modifiers" which of MODIFIERS are held with that key and during clicks, drags and scrolls; "scroll" is
(dx, dy) in wheel notches (dy > 0 down) and "duration" the seconds of `hold_key` and `wait`. Every
part has one meaning, so every action sampled from the space can be performed; one that cannot (a point
below a shorter output, where there is no screen) does nothing, and `info["action_error"]` says why. An
action outside the space raises ValueError.
"""

from __future__ import annotations

import contextlib
import math
import os
import shlex
import signal
import string
import subprocess
import tempfile
import time
from collections.abc import Callable, Mapping, Sequence
from dataclasses import dataclass
from typing import Any

import cv2
import gymnasium
import numpy as np
from gymnasium import spaces

from pravlin_session import HeadlessSession, SessionError
from pravlin_session._compositors import COMPOSITORS
from pravlin_session._session import MAX_SIDE, _parse_output_list, parse_refresh, parse_size
from pravlin_session._session import _stop_group as stop_group
from pravlin_session._windows import SwayWindows, closed, mapped_by

from ._desktop import Desktop
from ._screen import Frame

__all__ = ["ACTIONS", "KEYS", "MODIFIERS", "DesktopEnv", "ProgramError"]

# The computer tool's actions (Anthropic, computer_20250124), less cursor_position, which every
# observation carries. "screenshot" does nothing and observes.
ACTIONS = ("screenshot", "mouse_move", "left_click", "right_click", "middle_click", "double_click",
           "triple_click", "left_click_drag", "left_mouse_down", "left_mouse_up", "scroll", "type", "key",
           "hold_key", "wait")
_CLICKS = {"left_click": ("left", 1), "right_click": ("right", 1), "middle_click": ("middle", 1),
           "double_click": ("left", 2), "triple_click": ("left", 3)}
# Between the clicks of a double or triple click, as xdotool's --delay 10 in the computer tool's own
# set-up: well inside any toolkit's double-click time.
_CLICK_INTERVAL = 0.01
# How long after a window mapped its first frame may take to reach the screen: sway shows it once the
# window has drawn itself at the size it was given, or after its 200 ms transaction timeout.
_SHOWN_TIMEOUT = 0.3
# What "text" may hold: printable ASCII, newline and tab.
TEXT_CHARSET = string.printable.replace("\r", "").replace("\x0b", "").replace("\x0c", "")
# What "key" indexes: the keys of a US keyboard but its modifiers (xkb keysym names).
KEYS = (tuple(string.ascii_lowercase) + tuple(string.digits)
        + ("Return", "Tab", "Escape", "BackSpace", "Delete", "Insert", "Home", "End", "Page_Up", "Page_Down",
           "Left", "Right", "Up", "Down", "space", "minus", "equal", "bracketleft", "bracketright", "backslash",
           "semicolon", "apostrophe", "grave", "comma", "period", "slash")
        + tuple(f"F{n}" for n in range(1, 13)))
# What "modifiers" holds, one flag each.
MODIFIERS = ("shift", "ctrl", "alt", "super")
# Bounds of the configuration: a step ends in seconds, an observation is no larger than the screen.
MAX_TEXT_LENGTH = 10_000
MAX_SCROLL = 100
MAX_DURATION = 100.0
# What the accessibility table may hold: tab, newline and the printable Basic Multilingual Plane;
# anything else in an application's text becomes U+FFFD.
ACCESSIBILITY_CHARSET = frozenset("\t\n" + "".join(chr(c) for c in range(0x20, 0xFFFE)
                                                     if not 0x7F <= c < 0xA0 and not 0xD800 <= c < 0xE000))
# OpenCV's own threads would compete with the sessions: a vector of environments is the parallelism.
cv2.setNumThreads(1)


class ProgramError(RuntimeError):
    """A program of the environment could not be started or did not become ready."""


@dataclass
class _Program:
    argv: list[str]
    env: dict[str, str]
    proc: subprocess.Popen | None = None
    log: Any = None  # an unlinked file with the program's output
    windows: set[int] | None = None  # sway container ids of its windows

    def output_tail(self, chars: int = 800) -> str:
        if self.log is None:
            return ""
        self.log.seek(0, os.SEEK_END)
        self.log.seek(max(0, self.log.tell() - chars))
        return self.log.read().decode(errors="replace").strip()


def _program(given) -> _Program:
    if isinstance(given, str):
        return _Program(shlex.split(given), {})
    if isinstance(given, Mapping):
        unknown = set(given) - {"command", "env"}
        if unknown or "command" not in given:
            raise ValueError(f"a program is a command, or a dict with 'command' and optionally 'env', not {given!r}")
        prog = _program(given["command"])
        prog.env = {str(k): str(v) for k, v in dict(given.get("env") or {}).items()}
        return prog
    if isinstance(given, Sequence) and given and all(isinstance(a, (str, os.PathLike)) for a in given):
        return _Program([os.fspath(a) for a in given], {})
    raise ValueError(f"a program is a command line (a str or a list of str), not {given!r}")


def _outputs(outputs, refresh) -> tuple[list[tuple[int, int]], list[float | None]]:
    """Sizes and rates from (width, height[, hz]) tuples, or a string "WxH[@HZ],..." as HeadlessSession
    takes it; the same limits as the session's."""
    if refresh is not None:
        try:
            refresh = parse_refresh(refresh)
        except SessionError as error:
            raise ValueError(str(error)) from None
    if isinstance(outputs, str):
        try:
            parsed = _parse_output_list(outputs)
        except SessionError as error:
            raise ValueError(f"outputs {outputs!r}: {error}") from None
        return [size for size, _ in parsed], [rate if rate is not None else refresh for _, rate in parsed]
    sizes, rates = [], []
    if not isinstance(outputs, Sequence):
        raise ValueError(f"outputs are a list of (width, height) or (width, height, hz), or a string "
                         f"'WxH[@HZ],...', not {outputs!r}")
    for o in outputs:
        if not isinstance(o, Sequence) or isinstance(o, str) or len(o) not in (2, 3) or not all(
                isinstance(v, (int, float)) and not isinstance(v, bool) for v in o):
            raise ValueError(f"an output is (width, height) or (width, height, hz), not {o!r}")
        if not all(math.isfinite(v) and float(v).is_integer() and 1 <= v <= MAX_SIDE for v in o[:2]):
            raise ValueError(f"an output's width and height are whole pixels from 1 to {MAX_SIDE}, not {o!r}")
        sizes.append(parse_size(f"{int(o[0])}x{int(o[1])}"))
        try:
            rates.append(parse_refresh(o[2]) if len(o) == 3 else refresh)
        except SessionError as error:
            raise ValueError(f"output {o!r}: {error}") from None
    if not sizes:
        raise ValueError("an environment needs at least one output")
    return sizes, rates


class DesktopEnv(gymnasium.Env):
    """A desktop for an agent: a headless compositor with programs, computer-use actions, screens.

    Configuration (keywords, or one mapping as the first argument, as RLlib passes its env_config):

    - outputs: sizes of the outputs, (width, height) or (width, height, hz), laid out left to right;
      refresh: Hz of those given without one (None: the session's default, 60); compositor: "sway"
      or "phoc"; xwayland: run X11 programs too (sway only; the programs get DISPLAY).
    - programs: commands started at every reset, each a str (split as a shell would), a list of
      arguments, or {"command": ..., "env": {...}}; ready: what "started" means: "window" (each
      program maps a window of its own process group, told by sway's IPC; on a compositor without it,
      "damage"), "damage" (the screen changed and settled) or None; ready_timeout: seconds.
    - observation_size: (width, height) to scale the screen to (None: the layout's size); cursor:
      ask the compositor to draw the pointer in (headless sway draws it in every frame regardless).
    - settle, settle_quiet, settle_timeout: how a step waits for the screen (module docstring).
    - max_steps: steps after which an episode is truncated (None: never).
    - reward(env, observation, action) -> float and terminated(env, observation, action) -> bool:
      called after each step, with the action as given; the session (env.session) and the
      connection (env.desktop) are there to be looked at.
    - soft_reset: reset by restarting the programs only (module docstring).
    - text_length: longest "text" of an action (at most 10000); max_scroll: notches per axis (at most
      100); max_duration: longest hold_key or wait, in seconds (at most 100).
    - view: "[HOST:]PORT" serves each episode's session to a browser (env.session.view_url; the token
      changes with each new session); control: the person watching may take control, and steps wait.
    - accessibility: the observation also has "accessibility", the linearised accessibility tree
      agents are given (AccessibilityTree.table(): one line per element that can be acted on or read,
      positions in observation pixels), at most accessibility_length characters. Off by default.

    Every setting is checked here, before any session starts: a bad one raises ValueError (TypeError
    for a callable that is not).
    """

    metadata = {"render_modes": ["rgb_array"], "render_fps": 60}

    def __init__(self, config: Mapping[str, Any] | None = None, /, **options):
        self._configure(**{**dict(config or {}), **options})

    def _configure(self, *, outputs: Sequence[Sequence[float]] = ((1280, 720),), refresh: float | None = None,
                   compositor: str = "sway", xwayland: bool = False, programs: Sequence = (),
                   ready: str | None = "window",
                   ready_timeout: float = 15.0, observation_size: tuple[int, int] | None = None,
                   cursor: bool = False, settle: bool = True, settle_quiet: float = 0.05,
                   settle_timeout: float = 2.0, max_steps: int | None = None, reward: Callable | None = None,
                   terminated: Callable | None = None, soft_reset: bool = False, text_length: int = 64,
                   max_scroll: int = 10, max_duration: float = 2.0, render_mode: str | None = "rgb_array",
                   view: str | int | None = None, control: bool = False,
                   accessibility: bool = False, accessibility_length: int = 40_000):
        self._sizes, self._rates = _outputs(outputs, refresh)
        if compositor not in COMPOSITORS:
            raise ValueError(f"unknown compositor {compositor!r}; known: {', '.join(sorted(COMPOSITORS))}")
        self._view = {"view": view, "control": bool(control)} if view is not None or control else {}
        self._compositor = compositor
        self._xwayland = bool(xwayland)
        self._programs = [_program(p) for p in programs]
        if ready not in ("window", "damage", None):
            raise ValueError(f"ready is 'window', 'damage' or None, not {ready!r}")
        self._ready = ready
        for name, value in (("ready_timeout", ready_timeout), ("settle_quiet", settle_quiet),
                            ("settle_timeout", settle_timeout), ("max_duration", max_duration)):
            if isinstance(value, bool) or not isinstance(value, (int, float)) or not math.isfinite(value) or value < 0:
                raise ValueError(f"{name} is seconds, at least 0, not {value!r}")
        if max_duration > MAX_DURATION:
            raise ValueError(f"max_duration is at most {MAX_DURATION:g} seconds, not {max_duration!r}")
        self._ready_timeout, self._quiet, self._settle_timeout = ready_timeout, settle_quiet, settle_timeout
        self._settle = bool(settle)
        self._cursor = bool(cursor)
        if max_steps is not None and (isinstance(max_steps, bool) or not isinstance(max_steps, int) or max_steps < 1):
            raise ValueError(f"max_steps is a whole number, at least 1, or None, not {max_steps!r}")
        self._max_steps = max_steps
        for name, fn in (("reward", reward), ("terminated", terminated)):
            if fn is not None and not callable(fn):
                raise TypeError(f"{name} is a callable (env, observation, action), not {fn!r}")
        self._reward_fn, self._terminated_fn = reward, terminated
        self._soft = bool(soft_reset)
        if render_mode not in (None, "rgb_array"):
            raise ValueError(f"render_mode is 'rgb_array' or None, not {render_mode!r}")
        self.render_mode = render_mode

        # The layout: outputs side by side from the left, as the sessions lay them out.
        self._layout = (sum(w for w, _ in self._sizes), max(h for _, h in self._sizes))
        if observation_size is None:
            self._obs_size = self._layout
        else:
            if (not isinstance(observation_size, Sequence) or len(observation_size) != 2
                    or not all(isinstance(v, int) and not isinstance(v, bool) and v >= 1 for v in observation_size)):
                raise ValueError(f"observation_size is (width, height) in whole pixels, not {observation_size!r}")
            if observation_size[0] > self._layout[0] or observation_size[1] > self._layout[1]:
                raise ValueError(f"observation_size {tuple(observation_size)} is larger than the layout "
                                 f"({self._layout[0]}x{self._layout[1]}): observations are scaled down, never up")
            self._obs_size = (observation_size[0], observation_size[1])
        ow, oh = self._obs_size
        point = spaces.Box(low=0, high=np.array([ow - 1, oh - 1]), shape=(2,), dtype=np.int32)
        self.observation_space = spaces.Dict({
            "screen": spaces.Box(0, 255, (oh, ow, 3), np.uint8),
            "pointer": point,
        })
        self._accessibility = bool(accessibility)
        if self._accessibility:
            if isinstance(accessibility_length, bool) or not isinstance(accessibility_length, int) \
                    or accessibility_length < 100:
                raise ValueError(f"accessibility_length is a whole number of characters, at least 100, "
                                 f"not {accessibility_length!r}")
            self._accessibility_length = accessibility_length
            self.observation_space["accessibility"] = spaces.Text(
                max_length=accessibility_length, min_length=0, charset=ACCESSIBILITY_CHARSET)
        for name, value, most in (("text_length", text_length, MAX_TEXT_LENGTH), ("max_scroll", max_scroll, MAX_SCROLL)):
            if isinstance(value, bool) or not isinstance(value, int) or not 1 <= value <= most:
                raise ValueError(f"{name} is a whole number from 1 to {most}, not {value!r}")
        self.action_space = spaces.Dict({
            "action": spaces.Discrete(len(ACTIONS)),
            "coordinate": point,
            "start_coordinate": point,
            "text": spaces.Text(max_length=text_length, min_length=0, charset=TEXT_CHARSET),
            "key": spaces.Discrete(len(KEYS)),
            "modifiers": spaces.MultiBinary(len(MODIFIERS)),
            "scroll": spaces.Box(-max_scroll, max_scroll, (2,), np.int32),
            "duration": spaces.Box(0.0, float(max_duration), (), np.float32),
        })

        self.session: HeadlessSession | None = None
        self.desktop: Desktop | None = None
        self._windows: SwayWindows | None = None
        self._frames: dict[str, Frame] = {}
        self._origins: dict[str, tuple[int, int]] = {}
        self._steps = 0

    # -- the episode ----------------------------------------------------------------------------------

    def reset(self, *, seed: int | None = None, options: dict | None = None):
        super().reset(seed=seed)
        options = dict(options or {})
        soft = options.pop("soft", self._soft)
        if options:
            raise ValueError(f"unknown reset options: {', '.join(sorted(map(str, options)))} (known: soft)")
        try:
            return self._reset(soft)
        except BaseException:
            # Nothing of a failed reset stays running; the next reset starts a new session.
            self._close_session()
            raise

    def _reset(self, soft: bool):
        t0 = time.monotonic()
        stopping: list[_Program] = []
        if soft and self.session is not None:
            # What an agent can leave pressed through the actions: the left button (left_mouse_down).
            self.desktop.mouse_up("left")
            stopping = self._signal_programs()
            kind = "soft"
        else:
            self._close_session()
            self._start_session()
            kind = "hard"
        self._pointer_home()
        started = time.monotonic()
        self._start_programs()
        # The old programs end while the new ones start.
        self._finish_stopping(stopping)
        # While the programs start: a frame rendered after every change made above, so that the next
        # change is theirs. A window maps and is drawn a round trip of its own after that at the
        # earliest; should one have made it into this frame all the same, the wait below ends after
        # _SHOWN_TIMEOUT with a fresh frame.
        if kind == "hard":
            self._first_frames()
        else:
            self._observe(settle=False)
        waited = bool(self._programs) and self._ready is not None
        if waited:
            if self._windows is not None:
                self._wait_mapped()
                if not self._wait_change(_SHOWN_TIMEOUT):
                    self._observe(settle=False)
            elif not self._wait_change(self._ready_timeout):
                names = ", ".join(shlex.join(p.argv) for p in self._programs)
                raise ProgramError(f"the screen did not change within {self._ready_timeout:g} s of starting {names}")
        ready = time.monotonic()
        # Without settling, the frame that showed the programs is the observation: fresh, and after
        # every change made here.
        info = self._observe(settle=self._settle) if self._settle or not waited else {}
        self._steps = 0
        info.update({"reset": kind, "programs_seconds": ready - started, "reset_seconds": time.monotonic() - t0})
        return self._observation(), info

    def _pointer_home(self) -> None:
        """The pointer to the middle of the first output, where every episode starts with it."""
        (w, h), (x, y) = self._sizes[0], self._origins[self._output_names[0]]
        self.desktop.move(x + w // 2, y + h // 2)

    def step(self, action):
        if self.desktop is None:
            raise RuntimeError("reset() the environment before step()")
        if not self.action_space.contains(_as_arrays(self.action_space, action)):
            raise ValueError(f"the action is not in the action space: {action!r}")
        name = ACTIONS[int(action["action"])]
        info: dict[str, Any] = {"action": name}
        try:
            self._perform(name, action)
        except (ValueError, TypeError) as error:
            info["action_error"] = str(error)
        info.update(self._observe(settle=self._settle))
        if self._windows is not None:
            # Windows the programs opened or closed meanwhile; read now, so that sway never has to
            # hold on to its news for long.
            self._note_windows(self._windows.poll(0.0, until=lambda e: False))
        self._steps += 1
        observation = self._observation()
        reward = float(self._reward_fn(self, observation, action)) if self._reward_fn else 0.0
        terminated = bool(self._terminated_fn(self, observation, action)) if self._terminated_fn else False
        truncated = self._max_steps is not None and self._steps >= self._max_steps
        return observation, reward, terminated, truncated, info

    def render(self):
        """The screen as the last observation saw it, RGB at the outputs' own size (not scaled)."""
        if self.render_mode is None or not self._frames:
            return None
        return self._compose(scaled=False)

    def close(self):
        self._close_session()
        super().close()

    # -- actions ---------------------------------------------------------------------------------------

    def _point(self, value) -> tuple[int, int]:
        (lw, lh), (ow, oh) = self._layout, self._obs_size
        x, y = int(value[0]), int(value[1])
        return min(lw - 1, (2 * x + 1) * lw // (2 * ow)), min(lh - 1, (2 * y + 1) * lh // (2 * oh))

    def _perform(self, name: str, action) -> None:
        d = self.desktop
        text = str(action["text"])
        modifiers = [m for m, on in zip(MODIFIERS, np.asarray(action["modifiers"]).tolist()) if on]
        if name in _CLICKS:
            button, clicks = _CLICKS[name]
            d.click(*self._point(action["coordinate"]), button=button, clicks=clicks, interval=_CLICK_INTERVAL,
                    modifiers=modifiers)
        elif name == "mouse_move":
            d.move(*self._point(action["coordinate"]))
        elif name == "left_click_drag":
            d.drag([self._point(action["start_coordinate"]), self._point(action["coordinate"])], modifiers=modifiers)
        elif name == "left_mouse_down":
            d.mouse_down("left")
        elif name == "left_mouse_up":
            d.mouse_up("left")
        elif name == "scroll":
            dx, dy = (int(v) for v in action["scroll"])
            x, y = self._point(action["coordinate"])
            d.scroll(dy, dx, x=x, y=y, modifiers=modifiers)
        elif name == "type":
            d.type(text)
        elif name == "key":
            d.key([*modifiers, KEYS[int(action["key"])]])
        elif name == "hold_key":
            d.key([*modifiers, KEYS[int(action["key"])]], hold=float(action["duration"]))
        elif name == "wait":
            time.sleep(float(action["duration"]))

    # -- observing -------------------------------------------------------------------------------------

    def _wait_change(self, timeout: float) -> bool:
        """Waits up to `timeout` seconds for the next change of the screen; whether one came."""
        got = self.desktop.capture_all(damage=True, cursor=self._cursor, timeout=timeout)
        for f in got:
            self._frames[f.screen] = f
        return bool(got)

    def _first_frames(self) -> None:
        """A new connection's first frame of each output (they come at once)."""
        deadline = time.monotonic() + self._settle_timeout
        while len(self._frames) < len(self._output_names) and time.monotonic() < deadline:
            self._wait_change(deadline - time.monotonic())

    def _observe(self, settle: bool) -> dict[str, Any]:
        """Fresh frames of the outputs; with `settle`, the last ones before the screen went quiet."""
        d = self.desktop
        if not settle:
            for f in d.capture_all(damage=False, cursor=self._cursor):
                self._frames[f.screen] = f
            return {}
        t0 = time.monotonic()
        # The wait Desktop.wait_until_settled makes, keeping the frames it saw.
        result = d._settle(self._quiet, self._settle_timeout, cursor=self._cursor)
        self._frames.update(result.frames)
        if len(self._frames) < len(self._output_names):
            # Outputs that never changed since the connection began: their first frame comes at once.
            for f in d.capture_all(damage=False, cursor=self._cursor):
                self._frames.setdefault(f.screen, f)
        return {"settled": result.settled, "settle_seconds": time.monotonic() - t0, "settle_frames": result.changes}

    def _observation(self) -> dict[str, np.ndarray]:
        screen = self._compose(scaled=True)
        pos = self.desktop.position() or (0, 0)
        (lw, lh), (ow, oh) = self._layout, self._obs_size
        pointer = np.array([min(ow - 1, pos[0] * ow // lw), min(oh - 1, pos[1] * oh // lh)], dtype=np.int32)
        if not self._accessibility:
            return {"screen": screen, "pointer": pointer}
        tree = self.desktop.accessibility().in_pixels_of((0, 0), (ow / lw, oh / lh), (ow, oh))
        table = tree.table(max_chars=self._accessibility_length - len("[...]"))
        table = "".join(c if c in ACCESSIBILITY_CHARSET else "\ufffd" for c in table)
        return {"screen": screen, "pointer": pointer, "accessibility": table}

    def _compose(self, scaled: bool) -> np.ndarray:
        lw, lh = self._layout
        names = self._output_names
        if len(names) == 1:
            full = _rgb(self._frames[names[0]].image)
        else:
            full = np.zeros((lh, lw, 3), np.uint8)
            for name in names:
                x, y = self._origins[name]
                image = self._frames[name].image
                h, w = image.shape[:2]
                full[y:y + h, x:x + w] = _rgb(image)
        if not scaled or self._obs_size == self._layout:
            return full
        return cv2.resize(full, self._obs_size, interpolation=cv2.INTER_AREA)

    # -- the session and its programs ---------------------------------------------------------------

    def _start_session(self) -> None:
        kwargs: dict[str, Any] = {"compositor": self._compositor, "xwayland": self._xwayland, **self._view}
        if any(r is not None for r in self._rates):
            kwargs["refresh"] = self._rates
        session = HeadlessSession(self._sizes, **kwargs)
        session.start()
        self.session = session
        try:
            self._output_names = [o.name for o in session.outputs]
            self._origins = {o.name: (o.x, o.y) for o in session.outputs}
            if self._ready == "window" and "SWAYSOCK" in session.env:
                self._windows = SwayWindows(session.spawn)
            self._connect()
        except BaseException:
            self._close_session()
            raise

    def _connect(self) -> None:
        if self.desktop is not None:
            self.desktop.close()
            self.desktop = None
        self._frames.clear()
        self.desktop = Desktop(self.session.socket)
        self.desktop.accessibility_environ = self.session.environ()

    def _close_session(self) -> None:
        desktop, session = self.desktop, self.session
        self.desktop, self.session, self._windows = None, None, None
        self._frames.clear()
        for prog in self._programs:
            _close_log(prog)
            prog.proc, prog.windows = None, None
        try:
            if desktop is not None:
                desktop.close()
        finally:
            if session is not None:
                session.close()

    def _start_programs(self) -> None:
        for prog in self._programs:
            prog.log = tempfile.TemporaryFile()
            try:
                prog.proc = self.session.spawn(prog.argv, env=prog.env, stdin=subprocess.DEVNULL, stdout=prog.log,
                                               stderr=subprocess.STDOUT)
            except OSError as error:
                raise ProgramError(f"cannot start {shlex.join(prog.argv)}: {error.strerror or error}") from None
            prog.windows = set()

    def _wait_mapped(self) -> None:
        """Until every program has mapped a window, as sway's IPC tells."""
        watch = self._windows
        deadline = time.monotonic() + self._ready_timeout
        waiting = list(self._programs)
        while waiting:
            left = deadline - time.monotonic()
            self._note_windows(watch.poll(max(0.0, min(left, 0.1)), until=lambda e: e.get("change") == "new"))
            waiting = [p for p in waiting if not p.windows]
            for prog in waiting:
                if prog.proc.poll() is not None:
                    raise ProgramError(f"{shlex.join(prog.argv)} exited with status {prog.proc.returncode} before "
                                       f"it mapped a window{_tail(prog)}")
            if waiting and left <= 0:
                names = ", ".join(shlex.join(p.argv) for p in waiting)
                raise ProgramError(f"no window mapped within {self._ready_timeout:g} s by {names}{_tail(waiting[0])}")

    def _note_windows(self, events: list[dict]) -> None:
        """Keeps each program's set of windows: a window is a program's when its process is in the
        program's process group."""
        running = [p for p in self._programs if p.proc is not None and p.windows is not None]
        by_group = {p.proc.pid: p for p in running}
        for event in events:
            gone = closed(event)
            if gone is not None:
                for prog in running:
                    prog.windows.discard(gone)
            elif (owner := mapped_by(event)) is not None and owner[0] in by_group:
                by_group[owner[0]].windows.add(owner[1])

    def _signal_programs(self) -> list[_Program]:
        """Tells every program (its whole process group) to stop; what they were, for
        _finish_stopping, while the same programs start again."""
        old = []
        for prog in self._programs:
            if prog.proc is not None:
                with contextlib.suppress(ProcessLookupError, PermissionError):
                    os.killpg(prog.proc.pid, signal.SIGTERM)
            old.append(_Program(prog.argv, prog.env, prog.proc, prog.log, prog.windows))
            prog.proc, prog.log, prog.windows = None, None, None
        return old

    def _finish_stopping(self, old: list[_Program]) -> None:
        """Waits until sway reports the old programs' windows gone (noting the new programs' windows
        meanwhile), and until the old processes have ended."""
        if self._windows is not None:
            open_windows = {con for p in old for con in (p.windows or ())}
            deadline = time.monotonic() + self._ready_timeout
            while open_windows and time.monotonic() < deadline:
                events = self._windows.poll(deadline - time.monotonic(), until=lambda e: e.get("change") == "close")
                open_windows -= {closed(e) for e in events}
                self._note_windows(events)
        for prog in old:
            stop_group(prog.proc, 3.0)
            _close_log(prog)

    @property
    def steps(self) -> int:
        """Steps taken since the last reset."""
        return self._steps

    @property
    def program_pids(self) -> tuple[int, ...]:
        """The process ids of the running programs (each leads its process group)."""
        return tuple(p.proc.pid for p in self._programs if p.proc is not None)

    @property
    def compositor_pid(self) -> int | None:
        """The process id of the running session's compositor, or None before a reset."""
        return self.session.compositor_pid if self.session is not None else None


def _as_arrays(space: spaces.Dict, action):
    """The action with the values of its Box parts as arrays, as Box.contains wants them (a vector
    environment hands a 0-d part on as a NumPy scalar; Box.contains would warn, and cast it the same)."""
    if not isinstance(action, Mapping):
        return action
    converted = dict(action)
    for key, part in space.spaces.items():
        value = converted.get(key)
        if isinstance(part, spaces.Box) and value is not None and not isinstance(value, np.ndarray):
            try:
                converted[key] = np.asarray(value, dtype=part.dtype)
            except (TypeError, ValueError, OverflowError):
                pass
    return converted


def _rgb(image: np.ndarray) -> np.ndarray:
    if image.strides[0] < 0:  # a frame stored bottom-up comes as a flipped view
        image = np.ascontiguousarray(image)
    return cv2.cvtColor(image, cv2.COLOR_BGRA2RGB)


def _close_log(prog: _Program) -> None:
    if prog.log is not None:
        prog.log.close()
        prog.log = None


def _tail(prog: _Program) -> str:
    text = prog.output_tail()
    return f"; its output ends:\n{text}" if text else ""


gymnasium.register(id="pravlin/Desktop-v0", entry_point="pravlin_desktop.env:DesktopEnv", nondeterministic=True)
