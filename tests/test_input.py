"""Pointer and keyboard input against the scriptable test compositor: the exact
requests each method sends, what happens when the connection breaks in the
middle of a click or key press, argument binding, and the arithmetic behind
ranged values (read off the x/y of recorded motion_absolute requests)."""

import array
import gc
import json
import math
import statistics
import subprocess
import time

import numpy as np
import pytest

from helpers import fds_unchanged
from pravlin import Pravlin
from testcomp import TestCompositor

BTN_LEFT, BTN_RIGHT = 272, 273
U32_MAX = 2**32 - 1
# Construction ends with the client's 4th wl_display.sync; the first method call sends the 5th.
FIRST_CALL_SYNC = 5


class Rig:
    """A Pravlin on a test compositor, and the record read on from where it was last looked at."""

    def __init__(self, comp):
        self.comp = comp
        self.p = Pravlin(comp.socket)
        self._offset = 0
        self.records()  # construction

    def records(self):
        """The records of client 1 that are new since the last look."""
        with open(self.comp.record_path, "rb") as f:
            f.seek(self._offset)
            data = f.read()
        end = data.rfind(b"\n") + 1
        self._offset += end
        return [rec for rec in map(json.loads, data[:end].splitlines()) if rec["client"] == 1]

    def sent(self):
        """The new requests as (interface.request, args); a sync's callback id is left out."""
        return [(f"{x['interface']}.{x['request']}", [] if x["request"] == "sync" else x["args"])
                for x in self.records() if x["dir"] == "request"]


@pytest.fixture(scope="module")
def shared_rig(tmp_path_factory):
    with TestCompositor(None, tmp_path_factory.mktemp("input")) as comp:
        yield Rig(comp)


@pytest.fixture
def shared(shared_rig):
    """The module's Pravlin on its test compositor (whose connection no test breaks)."""
    shared_rig.records()
    return shared_rig


@pytest.fixture
def rig(compositor):
    """Factory: a Pravlin on a compositor of its own, started with a scenario."""
    def start(scenario=None):
        return Rig(compositor(scenario))
    return start


SYNC = ("wl_display.sync", [])
# Every pointer event is closed with a frame, for clients that wait for one.
FRAME = ("zwlr_virtual_pointer_v1.frame", [])


def motion(x, y, x_extent, y_extent):
    return ("zwlr_virtual_pointer_v1.motion_absolute", [0, x, y, x_extent, y_extent])


def button(code, state):
    return ("zwlr_virtual_pointer_v1.button", [0, code, state])


def key(code, state):
    return ("zwp_virtual_keyboard_v1.key", [0, code, state])


# -- request sequences ------------------------------------------------------------------

@pytest.mark.parametrize("call, expected", [
    (lambda p: p.move_mouse(1920, 1080, 100, 200), [motion(100, 200, 1920, 1080), FRAME, SYNC]),
    (lambda p: p.left_click(0), [button(BTN_LEFT, 1), FRAME, SYNC, button(BTN_LEFT, 0), FRAME, SYNC]),
    (lambda p: p.right_click(0), [button(BTN_RIGHT, 1), FRAME, SYNC, button(BTN_RIGHT, 0), FRAME, SYNC]),
    (lambda p: p.key_press(30, 0), [key(30, 1), SYNC, key(30, 0), SYNC]),
], ids=["move_mouse", "left_click", "right_click", "key_press"])
def test_each_request_is_followed_by_exactly_one_round_trip(shared, call, expected):
    assert call(shared.p) is None
    sent = shared.sent()
    assert sent == expected, sent


def test_consecutive_calls_send_nothing_in_between(shared):
    shared.p.move_mouse(10, 10, 1, 2)
    shared.p.left_click(0)
    shared.p.key_press(2, 0)
    shared.p.right_click(0)
    shared.p.move_mouse(10, 10, 3, 4)
    sent = shared.sent()
    assert sent == [motion(1, 2, 10, 10), FRAME, SYNC,
                    button(BTN_LEFT, 1), FRAME, SYNC, button(BTN_LEFT, 0), FRAME, SYNC,
                    key(2, 1), SYNC, key(2, 0), SYNC,
                    button(BTN_RIGHT, 1), FRAME, SYNC, button(BTN_RIGHT, 0), FRAME, SYNC,
                    motion(3, 4, 10, 10), FRAME, SYNC], sent


@pytest.mark.parametrize("x_extent, y_extent, x, y", [
    (1920, 1080, 5000, 7000),
    (0, 0, 1, 1),
    (1, 1, U32_MAX, U32_MAX),
    (U32_MAX, U32_MAX, 0, 0),
    (1920, 1080, 1920, 1080),
])
def test_positions_are_sent_unchecked_against_the_extents(shared, x_extent, y_extent, x, y):
    shared.p.move_mouse(x_extent, y_extent, x, y)
    sent = shared.sent()
    assert sent == [motion(x, y, x_extent, y_extent), FRAME, SYNC], sent


@pytest.mark.parametrize("code", [0, 1, 30, 255, 256, 0xFFFF, 0x10000, U32_MAX])
def test_key_codes_are_passed_unchanged(shared, code):
    shared.p.key_press(code, 0)
    sent = shared.sent()
    assert sent == [key(code, 1), SYNC, key(code, 0), SYNC], sent


def test_each_call_waits_for_the_compositor_to_answer(rig):
    # The compositor swallows the call's sync and never answers; only stopping
    # it (from another process: the call keeps the interpreter lock) ends the wait.
    r = rig({"faults": [{"request": "wl_display.sync", "occurrence": FIRST_CALL_SYNC, "action": "hang"}]})
    killer = subprocess.Popen(["sh", "-c", f"sleep 0.4; kill -TERM {r.comp.proc.pid}"])
    start = time.monotonic()
    try:
        with pytest.raises(RuntimeError, match="^Backend error: "):
            r.p.move_mouse(1, 1, 0, 0)
    finally:
        killer.wait()
    assert time.monotonic() - start >= 0.35


# -- hold times ------------------------------------------------------------------------------

HOLD_CALLS = {
    "left_click": (lambda p, *hold: p.left_click(*hold), "button"),
    "right_click": (lambda p, *hold: p.right_click(*hold), "button"),
    "key_press": (lambda p, *hold: p.key_press(30, *hold), "key"),
}


def press_times(r, method, hold, calls):
    """When the compositor recorded each press and its release (ms), over `calls` calls."""
    call, request = HOLD_CALLS[method]
    for _ in range(calls):
        call(r.p, *hold)
    recs = [x for x in r.records() if x.get("request") == request]
    assert [x["args"][2] for x in recs] == [1, 0] * calls, recs
    return [(press["t"], release["t"]) for press, release in zip(recs[::2], recs[1::2])]


def hold_gaps(r, method, hold, calls):
    """ms between each recorded press and its release, over `calls` calls."""
    return [release - press for press, release in press_times(r, method, hold, calls)]


# The press is recorded before its sync is answered, the release after the
# sleep, so the compositor's gap is never shorter than the hold.
@pytest.mark.parametrize("method", HOLD_CALLS)
def test_release_comes_no_sooner_than_the_hold(shared, method):
    gaps = hold_gaps(shared, method, (40,), 3)
    assert min(gaps) >= 40, gaps


@pytest.mark.parametrize("method", HOLD_CALLS)
def test_hold_is_drawn_from_the_range_given(shared, method):
    gaps = hold_gaps(shared, method, (25, 35), 4)
    assert min(gaps) >= 25, gaps
    # max below min means the max: 15 ms, not 60.
    gaps = hold_gaps(shared, method, (60, 15), 5)
    assert min(gaps) >= 15 and statistics.median(gaps) < 40, gaps


@pytest.mark.parametrize("method", HOLD_CALLS)
def test_zero_hold_does_not_sleep_at_all(shared, method):
    times = press_times(shared, method, (0,), 41)
    holds = [release - press for press, release in times]
    # From a release to the next press the client sleeps nowhere either: the same round trip, then
    # the return to Python and the next call. A sleep of even one millisecond in the hold would put
    # the holds' median that far above the gaps', however fast or busy the machine.
    gaps = [press - release for (_, release), (press, _) in zip(times, times[1:])]
    assert statistics.median(holds) < statistics.median(gaps) + 0.5, (sorted(holds), sorted(gaps))


# -- broken connections ----------------------------------------------------------------------

def backend_error(excinfo):
    text = str(excinfo.value)
    assert type(excinfo.value) is RuntimeError, repr(excinfo.value)
    assert text.startswith("Backend error: "), text
    inner = text.split("\n")[0].removeprefix("Backend error: ")
    assert text == f"Backend error: {inner}\n\nCaused by:\n    {inner}"
    return inner


PRESSES = {
    "left_click": (lambda p, hold: p.left_click(hold), "zwlr_virtual_pointer_v1.button", BTN_LEFT),
    "right_click": (lambda p, hold: p.right_click(hold), "zwlr_virtual_pointer_v1.button", BTN_RIGHT),
    "key_press": (lambda p, hold: p.key_press(30, hold), "zwp_virtual_keyboard_v1.key", 30),
}


@pytest.mark.parametrize("method", PRESSES)
@pytest.mark.parametrize("fault", [
    {"occurrence": 1, "action": "close"},
    {"occurrence": 1, "action": "protocol_error", "code": 2, "message": "no presses"},
    {"sync": True, "action": "close"},
], ids=["close-at-press", "protocol-error-at-press", "close-at-its-sync"])
def test_failed_press_round_trip_sends_no_release_and_skips_the_hold(rig, method, fault):
    call, request, code = PRESSES[method]
    fault = dict(fault)
    if fault.pop("sync", False):
        fault.update(request="wl_display.sync", occurrence=FIRST_CALL_SYNC)
    else:
        fault["request"] = request
    r = rig({"faults": [fault]})
    start = time.monotonic()
    with pytest.raises(RuntimeError) as info:
        call(r.p, 1500)
    elapsed = time.monotonic() - start
    inner = backend_error(info)
    sent = r.sent()
    iface = request.split(".")[0]
    assert sent[0] == (request, [0, code, 1]), sent
    assert all(s[0] != request for s in sent[1:]), sent
    # Nothing after a fault is recorded, so the proof that no release went
    # out is that the call did not wait out the hold before it.
    assert elapsed < 0.75, f"{elapsed:.3f}s"
    if fault["action"] == "protocol_error":
        vid = next(x["id"] for x in r.comp.records() if x["interface"] == iface)
        assert inner == f"Protocol error 2 on object {iface}@{vid}: no presses"
    else:
        assert inner.startswith("Io error: "), inner


@pytest.mark.parametrize("method", PRESSES)
def test_press_stuck_in_a_hung_compositor_gets_no_release(rig, method):
    call, request, code = PRESSES[method]
    r = rig({"faults": [{"request": request, "action": "hang"}]})
    killer = subprocess.Popen(["sh", "-c", f"sleep 0.3; kill -TERM {r.comp.proc.pid}"])
    start = time.monotonic()
    try:
        with pytest.raises(RuntimeError) as info:
            call(r.p, 2000)
    finally:
        killer.wait()
    elapsed = time.monotonic() - start
    backend_error(info)
    assert 0.25 <= elapsed < 1.5, f"{elapsed:.3f}s: the hold of 2 s ran after the failed press"


@pytest.mark.parametrize("method", PRESSES)
def test_failed_release_comes_after_the_full_hold(rig, method):
    call, request, code = PRESSES[method]
    r = rig({"faults": [{"request": request, "occurrence": 2, "action": "close"}]})
    start = time.monotonic()
    with pytest.raises(RuntimeError) as info:
        call(r.p, 200)
    assert time.monotonic() - start >= 0.2
    backend_error(info)
    sent = r.sent()
    frame = [FRAME] if request.startswith("zwlr_virtual_pointer_v1") else []
    assert sent == [(request, [0, code, 1]), *frame, SYNC, (request, [0, code, 0])], sent


ALL_CALLS = {
    "move_mouse": lambda p: p.move_mouse(1920, 1080, 1, 1),
    "left_click": lambda p: p.left_click(0),
    "right_click": lambda p: p.right_click(0),
    "key_press": lambda p: p.key_press(30, 0),
}


@pytest.mark.parametrize("first", ALL_CALLS)
@pytest.mark.parametrize("action", ["close", "protocol_error"])
def test_later_calls_on_a_broken_connection_fail_the_same_way(rig, first, action):
    fault = {"request": "wl_display.sync", "occurrence": FIRST_CALL_SYNC, "action": action,
             "code": 7, "message": "gone"}
    r = rig({"faults": [fault]})
    gc.collect()  # instances of earlier tests, kept alive by tracebacks, would close their fds
    with fds_unchanged():
        with pytest.raises(RuntimeError) as info:
            ALL_CALLS[first](r.p)
        text = str(info.value)
        backend_error(info)
        for name, call in [*ALL_CALLS.items(), *ALL_CALLS.items()]:
            with pytest.raises(RuntimeError) as again:
                call(r.p)
            assert str(again.value) == text, f"{name} after {first} failed"


def test_move_mouse_broken_on_its_own_request(rig):
    r = rig({"faults": [{"request": "zwlr_virtual_pointer_v1.motion_absolute", "action": "close"}]})
    with pytest.raises(RuntimeError) as info:
        r.p.move_mouse(1920, 1080, 10, 20)
    assert backend_error(info).startswith("Io error: ")
    assert r.sent() == [motion(10, 20, 1920, 1080)]


# -- the borrow --------------------------------------------------------------------------------

class CallsBack:
    """An int whose conversion runs `inner` first: that happens while the outer
    call holds the instance."""

    def __init__(self, value, inner):
        self.value, self.inner, self.raised = value, inner, None

    def __index__(self):
        try:
            self.inner()
        except BaseException as e:
            self.raised = e
        return self.value


@pytest.mark.parametrize("inner_call", list(ALL_CALLS.values()), ids=list(ALL_CALLS))
def test_call_made_during_a_call_is_refused(shared, inner_call):
    hold = CallsBack(0, lambda: inner_call(shared.p))
    shared.p.left_click(hold)
    assert type(hold.raised) is RuntimeError and str(hold.raised) == "Already borrowed", repr(hold.raised)
    sent = shared.sent()
    assert sent == [button(BTN_LEFT, 1), FRAME, SYNC, button(BTN_LEFT, 0), FRAME, SYNC], sent


@pytest.mark.parametrize("inner_call, exc, text", [
    (lambda p: p.left_click(1, 2, 3), TypeError,
     "Pravlin.left_click() takes from 1 to 2 positional arguments but 3 were given"),
    (lambda p: p.key_press(), TypeError,
     "Pravlin.key_press() missing 2 required positional arguments: 'key' and 'duration_ms'"),
    (lambda p: p.move_mouse(1, 2, 3, 4, bad=1), TypeError,
     "Pravlin.move_mouse() got an unexpected keyword argument 'bad'"),
    # Conversion comes after the borrow: a bad value is not even looked at.
    (lambda p: p.left_click("no"), RuntimeError, "Already borrowed"),
    (lambda p: p.left_click(-1), RuntimeError, "Already borrowed"),
    (lambda p: p.move_mouse(1, 2, None, 4), RuntimeError, "Already borrowed"),
])
def test_binding_errors_come_before_the_borrow_check(shared, inner_call, exc, text):
    hold = CallsBack(0, lambda: inner_call(shared.p))
    shared.p.right_click(hold)
    assert type(hold.raised) is exc and str(hold.raised) == text, repr(hold.raised)


@pytest.mark.parametrize("failing_call", [
    lambda p: p.left_click(-1),
    lambda p: p.key_press(30, 1.5),
    lambda p: p.move_mouse(1, 1, 1, 1, 2**70),
    lambda p: p.right_click(1, 2, 3),
    lambda p: p.key_press(type("Bad", (), {"__index__": lambda self: 1 / 0})(), 0),
], ids=["overflow", "type", "python-overflow", "binding", "index-raises"])
def test_instance_is_usable_after_a_failed_call(shared, failing_call):
    with pytest.raises((TypeError, OverflowError, ZeroDivisionError)):
        failing_call(shared.p)
    assert shared.sent() == []
    shared.p.move_mouse(2, 2, 1, 1)
    assert shared.sent() == [motion(1, 1, 2, 2), FRAME, SYNC]


def test_instance_is_not_held_after_a_backend_error(rig):
    r = rig({"faults": [{"request": "zwp_virtual_keyboard_v1.key", "action": "close"}]})
    with pytest.raises(RuntimeError):
        r.p.key_press(30, 0)
    with pytest.raises(RuntimeError) as info:
        r.p.left_click(0)
    assert str(info.value) != "Already borrowed"


# -- argument binding -------------------------------------------------------------------------

PY_OVERFLOW = None
try:
    array.array("l", [2**70])
except OverflowError as e:
    PY_OVERFLOW = str(e)  # CPython's own text for an int too large for a C long

RANGE = "out of range integral type conversion attempted"


@pytest.mark.parametrize("method, args, kwargs, exc, text", [
    ("move_mouse", (), {}, TypeError,
     "Pravlin.move_mouse() missing 4 required positional arguments: 'x_extent', 'y_extent', 'x', and 'y'"),
    ("move_mouse", (1, 2), {}, TypeError,
     "Pravlin.move_mouse() missing 2 required positional arguments: 'x' and 'y'"),
    ("move_mouse", (1, 2, 3), {"x_max": 4}, TypeError,
     "Pravlin.move_mouse() missing 1 required positional argument: 'y'"),
    ("move_mouse", (1, 2, 3, 4, 5, 6, 7), {}, TypeError,
     "Pravlin.move_mouse() takes from 4 to 6 positional arguments but 7 were given"),
    ("move_mouse", (1, 2, 3, 4), {"x": 5}, TypeError,
     "Pravlin.move_mouse() got multiple values for argument 'x'"),
    ("key_press", (30,), {}, TypeError,
     "Pravlin.key_press() missing 1 required positional argument: 'duration_ms'"),
    ("key_press", (1, 2, 3, 4), {}, TypeError,
     "Pravlin.key_press() takes from 2 to 3 positional arguments but 4 were given"),
    ("key_press", (), {"duration_ms": 1, "code": 30}, TypeError,
     "Pravlin.key_press() got an unexpected keyword argument 'code'"),
    ("left_click", (), {}, TypeError,
     "Pravlin.left_click() missing 1 required positional argument: 'duration_ms'"),
    ("left_click", (1, 2, 3), {}, TypeError,
     "Pravlin.left_click() takes from 1 to 2 positional arguments but 3 were given"),
    ("left_click", (1,), {"duration_ms": 2}, TypeError,
     "Pravlin.left_click() got multiple values for argument 'duration_ms'"),
    ("right_click", (1, 2), {"duration_ms_max": 3}, TypeError,
     "Pravlin.right_click() got multiple values for argument 'duration_ms_max'"),
    ("right_click", (), {"duration": 1}, TypeError,
     "Pravlin.right_click() got an unexpected keyword argument 'duration'"),
    # Binding is checked before any value is converted.
    ("left_click", ("bad", -1, 2**70), {}, TypeError,
     "Pravlin.left_click() takes from 1 to 2 positional arguments but 3 were given"),
    ("move_mouse", (None, None), {}, TypeError,
     "Pravlin.move_mouse() missing 2 required positional arguments: 'x' and 'y'"),
])
def test_binding_errors(shared, method, args, kwargs, exc, text):
    with pytest.raises(exc) as info:
        getattr(shared.p, method)(*args, **kwargs)
    assert type(info.value) is exc and str(info.value) == text
    assert shared.sent() == []


def test_screenshot_binding_error(shared):
    if not hasattr(shared.p, "screenshot"):
        pytest.skip("no screenshot method yet")
    with pytest.raises(TypeError) as info:
        shared.p.screenshot(screen="OUT-1")
    assert str(info.value) == "Pravlin.screenshot() got an unexpected keyword argument 'screen'"


@pytest.mark.parametrize("method, args, exc, text", [
    ("left_click", (-1,), OverflowError, RANGE),
    ("left_click", (2**32,), OverflowError, RANGE),
    ("left_click", (2**63 - 1,), OverflowError, RANGE),
    ("left_click", (2**70,), OverflowError, PY_OVERFLOW),
    ("left_click", (-2**70,), OverflowError, PY_OVERFLOW),
    ("left_click", (0, -1), OverflowError, RANGE),
    ("right_click", (0, 2**32), OverflowError, RANGE),
    ("key_press", (-1, 0), OverflowError, RANGE),
    ("key_press", (30, 2**32), OverflowError, RANGE),
    ("move_mouse", (1, 1, 1, 1, None, 2**32), OverflowError, RANGE),
    ("move_mouse", (2**32, 1, 1, 1), OverflowError, RANGE),
    ("left_click", (1.5,), TypeError, "argument 'duration_ms': "),
    ("left_click", (1, 2.0), TypeError, "argument 'duration_ms_max': "),
    ("key_press", ("a", 0), TypeError, "argument 'key': "),
    ("move_mouse", (1, 1, None, 1), TypeError, "argument 'x': "),
    ("move_mouse", (1, 1, 1, 1, "a"), TypeError, "argument 'x_max': "),
    # Conversion goes in parameter order: only the first bad one is reported.
    ("move_mouse", (1, 1, "a", 1, None, "b"), TypeError, "argument 'x': "),
    ("move_mouse", (1, 1, 1, 1.0, -1, "b"), TypeError, "argument 'y': "),
    ("move_mouse", (1, 1, -1, 1, None, "b"), OverflowError, RANGE),
])
def test_conversion_errors(shared, method, args, exc, text):
    with pytest.raises(exc) as info:
        getattr(shared.p, method)(*args)
    msg = str(info.value)
    assert type(info.value) is exc, repr(info.value)
    if exc is TypeError:
        assert msg.startswith(text) and len(msg) > len(text), msg
    else:
        assert msg == text
    assert shared.sent() == []


def test_bools_and_index_objects_are_integers(shared):
    shared.p.move_mouse(True, np.uint32(1080), np.int64(7), False)
    shared.p.key_press(True, False)
    shared.p.left_click(False, np.uint8(0))
    sent = shared.sent()
    assert sent == [motion(7, 0, 1, 1080), FRAME, SYNC, key(1, 1), SYNC, key(1, 0), SYNC,
                    button(BTN_LEFT, 1), FRAME, SYNC, button(BTN_LEFT, 0), FRAME, SYNC], sent


def test_every_parameter_can_be_given_by_keyword(shared):
    shared.p.move_mouse(y=4, x=3, y_extent=1080, x_extent=1920, y_max=None, x_max=None)
    shared.p.key_press(duration_ms=0, key=30, duration_ms_max=None)
    shared.p.right_click(duration_ms_max=0, duration_ms=0)
    sent = shared.sent()
    assert sent == [motion(3, 4, 1920, 1080), FRAME, SYNC, key(30, 1), SYNC, key(30, 0), SYNC,
                    button(BTN_RIGHT, 1), FRAME, SYNC, button(BTN_RIGHT, 0), FRAME, SYNC], sent


@pytest.mark.parametrize("args, kwargs, expected_xy", [
    ((100, 200), {"x_max": 99}, (99, 200)),
    ((100, 200), {"y_max": 150}, (100, 150)),
    ((100, 200, None, 150), {}, (100, 150)),
    ((100, 200, 50, None), {}, (50, 200)),
    ((0, U32_MAX), {"x_max": U32_MAX, "y_max": 0}, None),  # x anything, y -> 0
])
def test_each_maximum_bounds_its_own_coordinate(shared, args, kwargs, expected_xy):
    shared.p.move_mouse(1, 1, *args, **kwargs)
    (_, motion_args), _, _ = shared.sent()
    x, y = motion_args[1:3]
    if expected_xy is None:
        assert y == 0
    else:
        assert (x, y) == expected_xy


# -- drawn values ---------------------------------------------------------------------------
#
# Reference: the same float32 arithmetic in numpy. r(n) is monotone in the
# normal draw n, so the reference distribution is taken on a fine grid of n
# weighted by the normal density, which is exact to far below the sampling
# error of any test here.

_GRID = np.linspace(-9.0, 9.0, 1_800_001)
_WEIGHTS = np.exp(-_GRID**2 / 2)
_WEIGHTS /= _WEIGHTS.sum()


def reference(lo, hi, n):
    """The value drawn for each normal n (float64 array) with min lo and max hi."""
    if hi is None:
        return np.full(n.shape, lo, dtype=np.uint64)
    if hi < lo:
        return np.full(n.shape, hi, dtype=np.uint64)
    spread = np.float32((hi - lo) // 2)
    centre = np.float32(lo + (hi - lo) // 2)
    v = n.astype(np.float32) * spread + centre
    assert v.dtype == np.float32
    wide = v.astype(np.float64)
    r = np.where(~(wide >= 0), 0.0, np.where(wide >= 2.0**32, float(U32_MAX), np.trunc(wide)))
    return np.clip(r.astype(np.uint64), lo, hi)


def reference_probs(lo, hi):
    """value -> probability."""
    values = reference(lo, hi, _GRID)
    keys, inverse = np.unique(values, return_inverse=True)
    return dict(zip(keys.tolist(), np.bincount(inverse, weights=_WEIGHTS).tolist()))


def draws(r, calls, lo, hi):
    """2*calls values drawn with (lo, hi): x and y of each motion_absolute."""
    r.sent()
    for _ in range(calls):
        r.p.move_mouse(1, 1, lo, lo, hi, hi)
    out = []
    for name, args in r.sent():
        if name != "wl_display.sync":
            out += args[1:3]
    assert len(out) == 2 * calls
    return np.array(out, dtype=np.uint64)


def assert_proportion(values, target, p, sigmas=5.0):
    n = len(values)
    seen = float(np.mean(values == target))
    se = math.sqrt(p * (1 - p) / n)
    assert abs(seen - p) <= sigmas * se, f"P({target}) = {seen:.4f} over {n}, expected {p:.4f} +- {sigmas * se:.4f}"


def chi2_sf_even(x, dof):
    """Survival function of the chi-square distribution for an even dof."""
    assert dof % 2 == 0
    half = x / 2
    term, total = 1.0, 1.0
    for i in range(1, dof // 2):
        term *= half / i
        total += term
    return math.exp(-half) * total


def test_reference_reproduces_the_published_figures():
    p = reference_probs(100, 102)
    assert abs(p[100] - 0.5) < 1e-4 and abs(p[101] - 0.3413) < 1e-4 and abs(p[102] - 0.1587) < 1e-4, p
    p = reference_probs(1000, 3000)
    mean = sum(v * q for v, q in p.items())
    assert abs(mean - 1999.66) < 0.01, mean
    assert abs(p[1000] - 0.1589) < 1e-4 and abs(p[3000] - 0.1587) < 1e-4, (p[1000], p[3000])
    assert reference_probs(100, 101) == {100: pytest.approx(1.0)}
    assert reference_probs(16777219, 16777220) == {16777220: pytest.approx(1.0)}


@pytest.mark.parametrize("lo, hi, allowed", [
    (100, None, {100}),
    (100, 100, {100}),
    (100, 101, {100}),  # a spread of 0: the centre, rounded down
    (101, 100, {100}),  # max below min: the max
    (5, 0, {0}),
    (U32_MAX, 0, {0}),
    (U32_MAX, None, {U32_MAX}),
    (U32_MAX, U32_MAX, {U32_MAX}),
    (0, 1, {0}),
    # The centre 16777219 has no float32: it rounds to 16777220 and stays there.
    (16777219, 16777220, {16777220}),
    (16777219, 16777219, {16777219}),  # a fixed value is never converted
])
def test_degenerate_ranges_give_one_value(shared, lo, hi, allowed):
    got = set(draws(shared, 100, lo, hi).tolist())
    assert got == allowed, f"move_mouse(1, 1, {lo}, {lo}, {hi}, {hi}) drew {sorted(got)}"


@pytest.mark.parametrize("lo, hi, describe, rule", [
    # Above 2^24 float32 steps by 2: only even values and the clamped max.
    (16777216, 16777225, "even or the max", lambda v: v % 2 == 0 or v == 16777225),
    # Near 2^32 by 256; the top saturates to U32_MAX.
    (4294960000, U32_MAX, "multiple of 256, min or max",
     lambda v: v % 256 == 0 or v in (4294960000, U32_MAX)),
    (3_000_000_000, 4_000_000_000, "multiple of 256 within bounds",
     lambda v: v % 256 == 0 and 3_000_000_000 <= v <= 4_000_000_000),
])
def test_large_values_come_in_float32_steps(shared, lo, hi, describe, rule):
    values = draws(shared, 600, lo, hi).tolist()
    bad = sorted({v for v in values if not rule(v)})
    assert not bad, f"({lo}, {hi}) drew values that are not {describe}: {bad[:10]}"
    # Both bounds are hit about 16% of the time each.
    assert lo in values and hi in values, (min(values), max(values))


def test_full_range_saturates_at_both_ends(shared):
    values = draws(shared, 1500, 0, U32_MAX)
    p = reference_probs(0, U32_MAX)
    assert_proportion(values, 0, p[0])
    assert_proportion(values, U32_MAX, p[U32_MAX])
    assert abs(p[0] - 0.1581) < 1e-3 and abs(p[U32_MAX] - 0.1587) < 1e-3


def test_three_value_range_proportions(shared):
    values = draws(shared, 3000, 100, 102)
    assert set(values.tolist()) == {100, 101, 102}
    for v, p in reference_probs(100, 102).items():
        assert_proportion(values, v, p)


def test_wide_range_matches_the_float32_normal(shared):
    values = draws(shared, 3000, 1000, 3000)
    n = len(values)
    probs = reference_probs(1000, 3000)
    mean = sum(v * q for v, q in probs.items())
    sd = math.sqrt(sum((v - mean) ** 2 * q for v, q in probs.items()))
    seen = float(values.astype(np.float64).mean())
    assert abs(seen - mean) <= 5 * sd / math.sqrt(n), f"mean {seen:.2f} over {n}, expected {mean:.2f}"
    assert_proportion(values, 1000, probs[1000])
    assert_proportion(values, 3000, probs[3000])
    # Shape: the two clamped ends and 10 bins in between. 12 cells are 11
    # degrees of freedom; the bound for 12 is a little more lenient.
    edges = [1000, 1001, *range(1200, 3000, 200), 3000, 3001]
    keys = np.array(list(probs), dtype=np.uint64)
    weights = np.array(list(probs.values()))
    expected = np.array([weights[(keys >= a) & (keys < b)].sum() for a, b in zip(edges, edges[1:])]) * n
    observed = np.array([np.count_nonzero((values >= a) & (values < b)) for a, b in zip(edges, edges[1:])])
    chi2 = float(((observed - expected) ** 2 / expected).sum())
    assert chi2_sf_even(chi2, 12) > 1e-6, f"chi2 {chi2:.1f}: observed {observed.tolist()}, " \
                                          f"expected {np.round(expected).tolist()}"


def test_x_and_y_are_separate_draws(shared):
    values = draws(shared, 3000, 100, 102)
    x, y = values[0::2], values[1::2]
    p = reference_probs(100, 102)
    same = sum(q * q for q in p.values())
    assert_proportion((x == y).astype(np.uint8), 1, same)


def test_every_call_draws_afresh(shared):
    values = [v for v in draws(shared, 200, 0, 1_000_000).tolist() if v not in (0, 1_000_000)]
    # About 270 draws from the unclamped middle of a million-wide spread: a
    # repeat is already unlikely, several mean the draws are not fresh.
    assert len(values) > 200 and len(set(values)) >= len(values) - 3, sorted(values)
