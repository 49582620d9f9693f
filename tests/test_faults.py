"""Compositors that misbehave: malformed messages, a peer that stops
answering. Every failure is a clear exception, and a broken session keeps
failing the same way instead of crashing."""

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


def test_unknown_event_on_a_bound_object_names_its_interface(compositor):
    comp = compositor(fault("wl_seat.get_keyboard", "bad_opcode"))
    with fds_unchanged(), pytest.raises(BaseException) as info:
        Pravlin(comp.socket)
    assert type(info.value).__name__ == "PanicException"
    assert "Bad message for object wl_seat on opcode 2" in str(info.value)


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
