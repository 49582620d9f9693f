"""Compositors that misbehave: malformed messages, a peer that stops
answering. Every failure is a clear exception, and a broken session keeps
failing the same way instead of crashing."""

import os
import signal
import time

import pytest

from helpers import fds_unchanged
from pravlin import Pravlin

TIMED_OUT = "Io error: Connection timed out (os error 110)"


def fault(request, action, **extra):
    return {"faults": [{"request": request, "action": action, **extra}]}


def failures(call, times=2):
    texts = []
    for _ in range(times):
        with pytest.raises(RuntimeError) as info:
            call()
        texts.append(str(info.value))
    return texts


@pytest.mark.parametrize("action, text", [
    # a wl_display.delete_id without its argument
    ("truncated", "Bad message for object wl_display@1 on opcode 1"),
    # wl_display has events 0 and 1 only
    ("bad_opcode", "Bad message for object wl_display@1 on opcode 2"),
])
def test_undecodable_message_is_a_bad_message_error(compositor, action, text):
    comp = compositor(fault("zwlr_virtual_pointer_v1.motion_absolute", action))
    p = Pravlin(comp.socket)
    assert failures(lambda: p.move_mouse(10, 10, 1, 1)) == [text, text]
    # the next operation on the broken connection fails the same way
    assert failures(lambda: p.key_press(30, 0), times=1) == [text]


def test_unknown_event_on_a_bound_object_names_it(compositor):
    comp = compositor(fault("wl_seat.get_keyboard", "bad_opcode"))
    with fds_unchanged(), pytest.raises(BaseException) as info:
        Pravlin(comp.socket)
    assert type(info.value).__name__ == "PanicException"
    (seat,) = [args[3] for _, req, args in comp.requests() if req == "bind" and args[1] == "wl_seat"]
    assert str(info.value).endswith(f"Bad message for object wl_seat@{seat} on opcode 2")


def ids(comp, request):
    """New ids the client made with `request` ("interface.request"), in order."""
    return [args[-1] if request == "wl_registry.bind" else args[0]
            for i, r, args in comp.requests() if f"{i}.{r}" == request]


def word(text):
    """A string argument's words: its length with the NUL, then the padded bytes."""
    data = text.encode() + b"\0"
    data += b"\0" * (-len(data) % 4)
    return [len(text) + 1] + [int.from_bytes(data[i:i + 4], "little") for i in range(0, len(data), 4)]


def header(size, opcode, target="arg0"):
    return [target, size << 16 | opcode]


# Each shape of libwayland's complaint about an event it cannot decode; the
# text names the object the event was for, never an id from its arguments.
@pytest.mark.parametrize("trigger, words, expected", [
    # wl_keyboard.enter whose surface is the seat: "invalid object (seat), type (wl_seat), ..."
    ("wl_seat.get_keyboard", header(20, 1) + [1, "object", 0],
     lambda comp: f"wl_keyboard@{ids(comp, 'wl_seat.get_keyboard')[0]} on opcode 1"),
    # wl_keyboard.leave without a surface: "NULL object received on non-nullable type, ..."
    ("wl_seat.get_keyboard", header(16, 2) + [1, 0],
     lambda comp: f"wl_keyboard@{ids(comp, 'wl_seat.get_keyboard')[0]} on opcode 2"),
    # wl_keyboard.keymap without its descriptor: "file descriptor expected, object (N), ..."
    ("wl_seat.get_keyboard", header(16, 0) + [1, 10],
     lambda comp: f"wl_keyboard@{ids(comp, 'wl_seat.get_keyboard')[0]} on opcode 0"),
    # wl_seat.name of four bytes without a NUL: "string not nul-terminated, ..."
    ("wl_seat.get_keyboard", header(16, 1, "object") + [4, int.from_bytes(b"abcd", "little")],
     lambda comp: f"wl_seat@{ids(comp, 'wl_registry.bind')[1]} on opcode 1"),
    # wl_registry.global with an empty interface: "NULL string received on non-nullable type, ..."
    ("wl_display.get_registry", header(20, 0) + [99, 0, 1],
     lambda comp: f"wl_registry@{ids(comp, 'wl_display.get_registry')[0]} on opcode 0"),
])
def test_undecodable_event_during_construction_names_its_object(compositor, trigger, words, expected):
    comp = compositor({"faults": [{"request": trigger, "action": "raw", "words": words}]})
    with fds_unchanged(), pytest.raises(BaseException) as info:
        Pravlin(comp.socket)
    assert type(info.value).__name__ == "PanicException"
    assert str(info.value).endswith(f"Bad message for object {expected(comp)}"), str(info.value)


@pytest.mark.parametrize("words, text", [
    # wl_display.error naming object 77: "unknown object (77), message error(ous)"
    (header(24, 0, 1) + [77, 5] + word("x"), "Bad message for object wl_display@1 on opcode 0"),
    # a header that claims 4 bytes
    (header(4, 0, 1), "Bad message: message too short, invalid header"),
])
def test_undecodable_event_during_a_call_names_its_object(compositor, words, text):
    comp = compositor({"faults": [{"request": "zwlr_virtual_pointer_v1.motion_absolute", "action": "raw",
                                   "words": words}]})
    p = Pravlin(comp.socket)
    assert failures(lambda: p.move_mouse(10, 10, 1, 1)) == [text, text]


def test_silent_compositor_during_construction_gives_up(compositor):
    comp = compositor(fault("wl_display.get_registry", "hang"))
    start = time.monotonic()
    with fds_unchanged(), pytest.raises(BaseException) as info:
        Pravlin(comp.socket)
    assert type(info.value).__name__ == "PanicException"
    assert TIMED_OUT in str(info.value)
    assert 9.5 < time.monotonic() - start < 20


def test_silent_compositor_during_a_call_fails_it_and_later_calls_at_once(compositor):
    comp = compositor(fault("zwlr_virtual_pointer_v1.button", "hang"))
    p = Pravlin(comp.socket)
    start = time.monotonic()
    first = failures(lambda: p.left_click(0), times=1)[0]
    assert time.monotonic() - start > 9.5
    assert first == f"Backend error: {TIMED_OUT}\n\nCaused by:\n    {TIMED_OUT}"
    start = time.monotonic()
    assert failures(lambda: p.move_mouse(1, 1, 0, 0), times=1) == [first]
    assert time.monotonic() - start < 1
    # the press hung, so no release was ever sent
    buttons = [args for iface, req, args in comp.requests() if req == "button"]
    assert buttons == [[0, 272, 1]]


def test_session_broken_by_a_stall_sends_nothing_more(compositor):
    comp = compositor()
    p = Pravlin(comp.socket)
    os.kill(comp.proc.pid, signal.SIGSTOP)
    try:
        first = failures(lambda: p.left_click(0), times=1)[0]
        assert TIMED_OUT in first
        # Enough calls to fill libwayland's output buffer several times over,
        # had each of them queued its press.
        calls = [lambda: p.left_click(0)] * 200 + [lambda: p.key_press(30, 0)] * 400 + \
            [lambda: p.move_mouse(10, 10, 1, 1), lambda: p.screenshot()]
        assert all(failures(call, times=1) == [first] for call in calls)
    finally:
        os.kill(comp.proc.pid, signal.SIGCONT)
    # The compositor drops what it has not read once it sees the client
    # close: let it read everything first.
    comp.wait_for(lambda r: r.get("request") == "button")
    settled = -1
    while settled != len(comp.records(None)):
        settled = len(comp.records(None))
        time.sleep(0.3)
    del p
    comp.wait_for(lambda r: r["dir"] == "disconnect")
    received = [(req, args) for _, req, args in comp.requests() if req in ("button", "key", "motion_absolute",
                                                                           "capture_output")]
    # Only the press whose round trip timed out ever left the client.
    assert received == [("button", [0, 272, 1])]


# -- the fault matrix --------------------------------------------------------------
#
# A clean run records every request the client sends while it constructs,
# clicks, presses a key and takes a screenshot. Then, for each of those
# requests in turn, the compositor closes the connection or posts a protocol
# error right there.

OPERATIONS = [
    ("click", lambda p: p.left_click(0)),
    ("key press", lambda p: p.key_press(30, 0)),
    ("screenshot", lambda p: p.screenshot()),
    ("move", lambda p: p.move_mouse(100, 100, 1, 1)),  # notices a fault left by the step before
]


def recorded_traffic(compositor):
    """(phase, "interface.request", occurrence) of every request of a clean run."""
    comp = compositor()
    p = Pravlin(comp.socket)
    phases = [("construct", len(comp.requests()))]
    for name, op in OPERATIONS[:3]:
        op(p)
        phases.append((name, len(comp.requests())))
    traffic, seen, start = [], {}, 0
    requests = [f"{i}.{r}" for i, r, _ in comp.requests()]
    for phase, end in phases:
        for name in requests[start:end]:
            seen[name] = seen.get(name, 0) + 1
            traffic.append((phase, name, seen[name]))
        start = end
    return traffic


def run_faulted(compositor, name, occurrence, action):
    """What each step raised: (step, exception type name, text), in order."""
    comp = compositor({"faults": [{"request": name, "occurrence": occurrence, "action": action,
                                   "code": 7, "message": "matrix fault"}]})
    outcome = []
    with fds_unchanged():
        try:
            p = Pravlin(comp.socket)
        except BaseException as e:  # noqa: B902 -- PanicException is a BaseException
            return [("construct", type(e).__name__, str(e))]
        for step, op in OPERATIONS + OPERATIONS:
            try:
                op(p)
            except BaseException as e:
                outcome.append((step, type(e).__name__, str(e)))
        del p
    return outcome


@pytest.mark.parametrize("action", ["close", "protocol_error"])
def test_fault_matrix(compositor, action):
    traffic = recorded_traffic(compositor)
    assert len(traffic) >= 30, traffic
    problems = []
    for phase, name, occurrence in traffic:
        outcome = run_faulted(compositor, name, occurrence, action)
        where = f"{action} at {name} #{occurrence} ({phase}): {outcome}"
        if phase == "construct":
            ok = (len(outcome) == 1 and outcome[0][1] == "PanicException"
                  and ("Backend error: " in outcome[0][2] or "Protocol error 7" in outcome[0][2]))
        else:
            texts = {text for _, _, text in outcome}
            ok = (bool(outcome) and {kind for _, kind, _ in outcome} == {"RuntimeError"}
                  and len(texts) == 1 and next(iter(texts)).startswith("Backend error: ")
                  # once broken, every later step fails the same way
                  and [s for s, _, _ in outcome] == [s for s, _ in (OPERATIONS + OPERATIONS)][-len(outcome):])
            if action == "protocol_error" and ok and "destroy" not in name:
                ok = "Protocol error 7 on object " in next(iter(texts)) and "matrix fault" in next(iter(texts))
        if not ok:
            problems.append(where)
    assert not problems, "\n".join(problems)
