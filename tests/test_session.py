"""Construction against the scriptable test compositor: the globals bound, the
keyboard set-up, the name wait and what failures leave behind, read off the
requests the compositor received."""

import subprocess
import time
import weakref

import pytest

from helpers import fds_unchanged
from pravlin import Pravlin
from pravlin.errors import PanicException
from testcomp import DEFAULT_GLOBALS

SIX = DEFAULT_GLOBALS


def without(interface):
    return [g for g in SIX if g["interface"] != interface]


def names(requests):
    return [f"{iface}.{req}" for iface, req, _ in requests]


def binds(comp):
    """interface -> list of (version, new id) in bind order."""
    out = {}
    for iface, req, args in comp.requests():
        if req == "bind":
            out.setdefault(args[1], []).append((args[2], args[3]))
    return out


def panic(comp_socket):
    with fds_unchanged(), pytest.raises(PanicException) as info:
        Pravlin(comp_socket)
    return str(info.value)


def disconnected(comp):
    return comp.wait_for(lambda r: r["dir"] == "disconnect" and r["client"] == 1)


def test_construction_traffic_is_four_round_trips_in_order(compositor):
    comp = compositor()
    with fds_unchanged():
        p = Pravlin(comp.socket)
        reqs = comp.requests()
        assert names(reqs) == [
            "wl_display.get_registry",
            "wl_display.sync",
            *["wl_registry.bind"] * 6,
            "wl_seat.get_keyboard",
            "wl_display.sync",
            "zwp_virtual_keyboard_manager_v1.create_virtual_keyboard",
            "zwp_virtual_keyboard_v1.keymap",
            "wl_display.sync",
            "zwlr_virtual_pointer_manager_v1.create_virtual_pointer",
            "wl_display.sync",
        ], reqs
        bound = binds(comp)
        assert {iface: [v for v, _ in b] for iface, b in bound.items()} == {
            g["interface"]: [g["version"]] for g in SIX
        }
        seat_id = bound["wl_seat"][0][1]
        assert reqs[10][2][0] == f"wl_seat@{seat_id}"  # create_virtual_keyboard(seat, id)
        assert reqs[13][2][0] == f"wl_seat@{seat_id}"  # create_virtual_pointer(seat, id)
        del p
        disconnected(comp)  # releasing the instance closes the connection


def test_last_announcement_of_a_global_wins(compositor):
    scenario = [dict(g) for g in SIX] + [
        {"interface": "wl_seat", "version": 5},
        {"interface": "zwp_virtual_keyboard_manager_v1", "version": 1},
        {"interface": "zwlr_virtual_pointer_manager_v1", "version": 1},
    ]
    comp = compositor({"globals": scenario})
    Pravlin(comp.socket)
    reqs = comp.requests()
    bound = binds(comp)
    last_seat = bound["wl_seat"][-1][1]
    assert [v for v, _ in bound["wl_seat"]] == [7, 5]
    by_name = {f"{i}.{r}": (i, args) for i, r, args in reqs}
    get_keyboard = [r for r in comp.records() if r["request"] == "get_keyboard"]
    assert [r["id"] for r in get_keyboard] == [last_seat]
    vk = [r for r in comp.records() if r["request"] == "create_virtual_keyboard"]
    assert vk[0]["id"] == bound["zwp_virtual_keyboard_manager_v1"][-1][1]
    assert vk[0]["args"][0] == f"wl_seat@{last_seat}"
    vp = [r for r in comp.records() if r["request"] == "create_virtual_pointer"]
    assert vp[0]["id"] == bound["zwlr_virtual_pointer_manager_v1"][-1][1]
    assert "wl_seat.release" not in by_name  # the older seat is dropped silently


def test_versions_are_capped_at_what_the_client_decodes(compositor):
    scenario = [
        {"interface": "wl_shm", "version": 1},
        {"interface": "wl_seat", "version": 10},
        {"interface": "wl_output", "version": 5},
        {"interface": "zwlr_screencopy_manager_v1", "version": 7},
        {"interface": "zwp_virtual_keyboard_manager_v1", "version": 1},
        {"interface": "zwlr_virtual_pointer_manager_v1", "version": 1},
    ]
    comp = compositor({"globals": scenario})
    Pravlin(comp.socket)
    assert {iface: b[0][0] for iface, b in binds(comp).items()} == {
        "wl_shm": 1,
        "wl_seat": 9,
        "wl_output": 4,
        "zwlr_screencopy_manager_v1": 3,
        "zwp_virtual_keyboard_manager_v1": 1,
        "zwlr_virtual_pointer_manager_v1": 1,  # lower than ours: as announced
    }


def test_only_exact_interface_names_are_bound(compositor):
    extra = [{"interface": n, "version": 1} for n in ("wl_seat_extra", "wl_sea", "wl_outputs", "zwlr_virtual")]
    comp = compositor({"globals": extra + SIX})
    Pravlin(comp.socket)
    assert sorted(binds(comp)) == sorted(g["interface"] for g in SIX)


def test_name_wait_dispatches_until_late_names_arrive(compositor):
    outputs = [
        {"interface": "wl_output", "version": 4, "name": "LATE", "name_delay_ms": 300},
        {"interface": "wl_output", "version": 4, "name": "EARLY"},
    ]
    comp = compositor({"globals": without("wl_output") + outputs})
    start = time.monotonic()
    Pravlin(comp.socket)
    elapsed = time.monotonic() - start
    sent = [args for iface, ev, args in comp.events() if iface == "wl_output" and ev == "name"]
    assert sorted(a[0] for a in sent) == ["EARLY", "LATE"]
    assert elapsed >= 0.3
    # The wait blocks on the socket; it sends nothing of its own.
    assert names(comp.requests()).count("wl_display.sync") == 4


def test_outputs_that_cannot_be_named_do_not_stall_construction(compositor):
    outputs = [{"interface": "wl_output", "version": 3}, {"interface": "wl_output", "version": 1}]
    comp = compositor({"globals": without("wl_output") + outputs})
    start = time.monotonic()
    Pravlin(comp.socket)
    assert time.monotonic() - start < 2


def test_no_outputs_at_all(compositor):
    comp = compositor({"globals": without("wl_output")})
    Pravlin(comp.socket)
    assert "wl_output" not in binds(comp)


def test_output_announced_after_construction_is_bound_by_the_next_dispatch(compositor):
    late = {"interface": "wl_output", "version": 4, "name": "PLUGGED", "after_syncs": 5}
    comp = compositor({"globals": SIX + [late]})
    p = Pravlin(comp.socket)
    assert len(binds(comp)["wl_output"]) == 1
    p.move_mouse(100, 100, 1, 1)  # its round trip is sync 5, which announces the output
    p.move_mouse(100, 100, 1, 1)  # the bind made while dispatching goes out with sync 6
    assert len(binds(comp)["wl_output"]) == 2
    assert names(comp.requests())[-3:] == [
        "zwlr_virtual_pointer_v1.motion_absolute", "zwlr_virtual_pointer_v1.frame", "wl_display.sync"]


def keymap_request(comp):
    return [args for iface, req, args in comp.requests() if req == "keymap"]


def keymap_events(comp):
    return [args for iface, ev, args in comp.events() if iface == "wl_keyboard" and ev == "keymap"]


def test_keymap_format_zero_is_passed_on_as_xkb_v1(compositor):
    comp = compositor({"keymaps": [{"format": 0, "text": "not a keymap at all"}]})
    Pravlin(comp.socket)
    (sent,) = keymap_request(comp)
    (received,) = keymap_events(comp)
    assert received[0] == 0
    assert sent[0] == 1
    assert sent[1]["ino"] == received[1]["ino"]  # the very same file, not a copy
    assert sent[2] == received[2] == len("not a keymap at all")


def test_second_keymap_replaces_the_first(compositor):
    comp = compositor({"keymaps": [{"format": 1, "text": "first"}, {"format": 1, "text": "second one"}]})
    with fds_unchanged():
        p = Pravlin(comp.socket)
        del p
    (sent,) = keymap_request(comp)
    first, second = keymap_events(comp)
    assert sent[1]["ino"] == second[1]["ino"] != first[1]["ino"]
    assert sent[2] == len("second one")


def test_missing_seat_fails_before_any_keyboard_request(compositor):
    comp = compositor({"globals": without("wl_seat")})
    assert "wl_seat" in panic(comp.socket)
    disconnected(comp)
    assert "wl_seat.get_keyboard" not in names(comp.requests())


def test_missing_keyboard_manager_fails_after_one_keyboard_round_trip(compositor):
    comp = compositor({"globals": without("zwp_virtual_keyboard_manager_v1")})
    assert "zwp_virtual_keyboard_manager_v1" in panic(comp.socket)
    disconnected(comp)
    assert names(comp.requests())[-2:] == ["wl_seat.get_keyboard", "wl_display.sync"]


def test_missing_keymap_fails_after_creating_the_virtual_keyboard(compositor):
    comp = compositor({"keymaps": []})
    assert "keymap" in panic(comp.socket)
    disconnected(comp)
    reqs = names(comp.requests())
    # create_virtual_keyboard was queued, but the failure came before any flush.
    assert reqs[-2:] == ["wl_seat.get_keyboard", "wl_display.sync"]
    assert "zwp_virtual_keyboard_v1.keymap" not in reqs


def test_missing_pointer_manager_fails_after_the_keyboard_is_set_up(compositor):
    comp = compositor({"globals": without("zwlr_virtual_pointer_manager_v1")})
    assert "zwlr_virtual_pointer_manager_v1" in panic(comp.socket)
    disconnected(comp)
    reqs = names(comp.requests())
    assert reqs[-2:] == ["zwp_virtual_keyboard_v1.keymap", "wl_display.sync"]
    assert not any("create_virtual_pointer" in r for r in reqs)


NEEDED = ["wl_seat", "zwp_virtual_keyboard_manager_v1", "zwlr_virtual_pointer_manager_v1"]
KEYBOARDLESS_SEAT = {"interface": "wl_seat", "version": 7, "capabilities": 1, "refuse_keyboard": True}
NO_KEYBOARD = ("the seat has no keyboard, and the virtual keyboard needs its keymap: run under pravlin-run "
               "(the pravlin_session package), whose headless session has a keyboard, or keep a client that "
               "holds a virtual keyboard connected")


def lacks(*names):
    listed = ", ".join(names[:-1]) + " and " + names[-1] if len(names) > 1 else names[0]
    return (f"the compositor lacks {listed}: pravlin needs a wlroots-family compositor such as sway, one that "
            "offers a seat, virtual keyboards and virtual pointers (and screencopy for screenshots)")


@pytest.mark.parametrize("missing, seat, last_requests", [
    # weston: no seat and neither manager; nothing of the keyboard set-up is sent
    (NEEDED, None, ["wl_display.sync"]),
    # cage: a seat that never had a keyboard refuses get_keyboard, and neither manager
    (NEEDED[1:], KEYBOARDLESS_SEAT, ["wl_registry.bind", "wl_seat.get_keyboard"]),
    (NEEDED[1:], None, ["wl_seat.get_keyboard", "wl_display.sync"]),
    (["wl_seat", "zwlr_virtual_pointer_manager_v1"], None, ["wl_display.sync"]),
])
def test_construction_names_every_missing_global_in_one_message(compositor, missing, seat, last_requests):
    globals_ = [g for g in SIX if g["interface"] not in missing]
    if seat:
        globals_ = [seat if g["interface"] == "wl_seat" else g for g in globals_]
    comp = compositor({"globals": globals_})
    assert panic(comp.socket) == lacks(*missing)
    disconnected(comp)
    assert names(comp.requests())[-len(last_requests):] == last_requests


@pytest.mark.parametrize("seat, keymaps, text", [
    # wlroots (bare headless sway, cage) refuses get_keyboard on such a seat
    (KEYBOARDLESS_SEAT, None, NO_KEYBOARD),
    # a compositor that answers with a keyboard that never sends a keymap
    ({"interface": "wl_seat", "version": 7, "capabilities": 1}, [], NO_KEYBOARD),
    # sway once the keyboard holder has gone: the seat had a keyboard, none is active
    (None, [], "the seat keyboard sent no keymap (the seat has no active keyboard): run under pravlin-run "
               "(the pravlin_session package), whose headless session has a keyboard, or keep a client that "
               "holds a virtual keyboard connected"),
])
def test_seat_without_a_keyboard_says_how_to_give_it_one(compositor, seat, keymaps, text):
    scenario = {"globals": [seat if seat and g["interface"] == "wl_seat" else g for g in SIX]}
    if keymaps is not None:
        scenario["keymaps"] = keymaps
    comp = compositor(scenario)
    assert panic(comp.socket) == text
    disconnected(comp)


def test_screen_capture_globals_are_not_needed_to_construct(compositor):
    needed = ("wl_seat", "zwp_virtual_keyboard_manager_v1", "zwlr_virtual_pointer_manager_v1")
    comp = compositor({"globals": [g for g in SIX if g["interface"] in needed]})
    Pravlin(comp.socket)
    assert sorted(binds(comp)) == sorted(needed)


@pytest.mark.parametrize("request_name", [
    "wl_display.sync", "wl_seat.get_keyboard", "zwp_virtual_keyboard_v1.keymap",
    "zwlr_virtual_pointer_manager_v1.create_virtual_pointer",
])
def test_connection_closed_during_connect_panics(compositor, request_name):
    comp = compositor({"faults": [{"request": request_name, "action": "close"}]})
    assert "Backend error: Io error: " in panic(comp.socket)


def test_protocol_error_during_connect_names_object_code_and_message(compositor):
    comp = compositor({"faults": [{"request": "zwp_virtual_keyboard_manager_v1.create_virtual_keyboard",
                                   "action": "protocol_error", "code": 3, "message": "no keyboards for you"}]})
    text = panic(comp.socket)
    manager = binds(comp)["zwp_virtual_keyboard_manager_v1"][0][1]
    assert f"Protocol error 3 on object zwp_virtual_keyboard_manager_v1@{manager}: no keyboards for you" in text


def test_connection_closed_during_name_wait_is_an_ordinary_error(compositor):
    outputs = [{"interface": "wl_output", "version": 4, "name": "SLOW", "name_delay_ms": 5000}]
    comp = compositor({"globals": without("wl_output") + outputs})
    # The constructor keeps the interpreter lock while it waits, so the
    # compositor is stopped from another process, once the client has bound
    # the output whose name it waits for (a fixed delay loses the race on a
    # loaded machine, where the client may not have connected yet).
    killer = subprocess.Popen(["sh", "-c", f"for i in $(seq 500); do grep -q wl_output '{comp.record_path}' && break;"
                               f" sleep 0.01; done; sleep 0.1; kill -TERM {comp.proc.pid}"])
    try:
        with fds_unchanged(), pytest.raises(RuntimeError) as info:
            Pravlin(comp.socket)
    finally:
        killer.wait()
    text = str(info.value)
    assert text.startswith("Backend error: Io error: "), text
    inner = text.split("\n")[0].removeprefix("Backend error: ")
    assert text == f"Backend error: {inner}\n\nCaused by:\n    {inner}"


def test_instances_take_no_attributes_and_no_weak_references(compositor):
    p = Pravlin(compositor().socket)
    with pytest.raises(AttributeError):
        p.anything = 1
    assert not hasattr(p, "__dict__")
    with pytest.raises(TypeError):
        weakref.ref(p)
    with pytest.raises(AttributeError):
        del p.move_mouse
