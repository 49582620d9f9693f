"""Screen capture against the scriptable test compositor: the requests one
screenshot makes, the pixels it returns, which output it picks, the shared
memory file behind it and what each failure leaves behind."""

import contextlib
import gc
import glob
import json
import os
import re
import subprocess
import sys
import time
from pathlib import Path
from unittest.mock import ANY

import numpy as np
import pytest

from helpers import fds_unchanged
from pravlin import Pravlin
from testcomp import DEFAULT_GLOBALS

TESTS = Path(__file__).resolve().parent
XRGB8888 = 1
XBGR8888 = 0x34324258
FAILED = "the compositor could not capture the output"
MANY = "more that one WLOuput set. Please specify the name of the one to use"
NONE = "at least one display need to be set"
SHM_NAME = re.compile(r"/wl_shm-[A-Za-z0-9]{6}")

SIX = DEFAULT_GLOBALS


def without(*interfaces):
    return [g for g in SIX if g["interface"] not in interfaces]


def out(**kw):
    return {"interface": "wl_output", "version": 4, **kw}


def with_outputs(*outputs, manager=True):
    rest = without("wl_output") if manager else without("wl_output", "zwlr_screencopy_manager_v1")
    return {"globals": rest + list(outputs)}


def binds(comp):
    """interface -> new ids, in bind order."""
    ids = {}
    for _, req, args in comp.requests():
        if req == "bind":
            ids.setdefault(args[1], []).append(args[3])
    return ids


def gradient(width, height):
    y, x = np.mgrid[0:height, 0:width]
    img = np.empty((height, width, 4), np.uint8)
    img[..., 0] = x % 256
    img[..., 1] = y % 256
    img[..., 2] = (x + 2 * y) % 256
    img[..., 3] = 0x7F
    return img


def solid(r, g, b, width=64, height=48):
    return np.broadcast_to(np.array([b, g, r, 0xFF], np.uint8), (height, width, 4))


@contextlib.contextmanager
def fds_kept():
    # Instances of earlier tests may still sit in reference cycles (exception
    # tracebacks); collected inside the block, they would close their sockets.
    gc.collect()
    with fds_unchanged():
        yield


def shm_names():
    return set(glob.glob("/dev/shm/wl_shm-*"))


def records_since(comp, start):
    """Request records of client 1 from index `start` on, as (interface, id, request, args)."""
    reqs = [r for r in comp.records("request") if r["client"] == 1]
    return [(r["interface"], r["id"], r["request"], r["args"]) for r in reqs[start:]]


def request_count(comp):
    return len(comp.requests())


def flush(p):
    """Makes the client flush what it has queued: a pointer move ends in a round trip."""
    p.move_mouse(1, 1, 0, 0)


def error_of(call):
    with pytest.raises(RuntimeError) as info:
        call()
    text = str(info.value)
    # The traceback holds this frame, which holds `info`: without the del that
    # cycle keeps the instance (and its socket) alive until some later gc run.
    del info
    return text


def capture(p, name=None):
    """One screenshot, checked for leaked descriptors and shared-memory names."""
    before = shm_names()
    with fds_kept():
        img = p.screenshot(name) if name is not None else p.screenshot()
    assert shm_names() <= before
    return img


# -- the traffic of one capture ---------------------------------------------------


def test_one_capture_sends_these_requests_in_this_order(compositor):
    comp = compositor()
    p = Pravlin(comp.socket)
    ids = binds(comp)
    manager, output, shm = ids["zwlr_screencopy_manager_v1"][0], ids["wl_output"][0], ids["wl_shm"][0]
    start = request_count(comp)
    img = capture(p)
    flush(p)
    reqs = records_since(comp, start)
    frame, pool, buffer = reqs[0][3][0], reqs[2][3][0], reqs[4][3][0]
    size = 64 * 4 * 48
    assert reqs == [
        ("zwlr_screencopy_manager_v1", manager, "capture_output", [frame, 0, f"wl_output@{output}"]),
        ("wl_display", 1, "sync", [ANY]),
        ("wl_shm", shm, "create_pool", [pool, {"fd": True, "ino": ANY, "size": size}, size]),
        ("wl_display", 1, "sync", [ANY]),
        ("wl_shm_pool", pool, "create_buffer", [buffer, 0, 64, 48, 256, XRGB8888]),
        ("wl_display", 1, "sync", [ANY]),
        ("zwlr_screencopy_frame_v1", frame, "copy", [f"wl_buffer@{buffer}"]),
        ("zwlr_screencopy_frame_v1", frame, "destroy", []),
        ("wl_buffer", buffer, "destroy", []),
        ("wl_shm_pool", pool, "destroy", []),
        ("zwlr_virtual_pointer_v1", ANY, "motion_absolute", ANY),
        ("zwlr_virtual_pointer_v1", ANY, "frame", []),
        ("wl_display", 1, "sync", ANY),
    ]
    assert img.shape == (48, 64, 4)


def test_compositor_gets_the_capture_objects_back_when_the_call_returns(compositor):
    comp = compositor()
    p = Pravlin(comp.socket)
    p.screenshot()
    comp.wait_for(lambda r: r.get("request") == "destroy" and r["interface"] == "wl_shm_pool", timeout=1.0)


def test_frame_events_reach_the_client_in_protocol_order(compositor):
    comp = compositor()
    p = Pravlin(comp.socket)
    start = len(comp.events())
    p.screenshot()
    frame_events = [e for i, e, _ in comp.events()[start:] if i == "zwlr_screencopy_frame_v1"]
    assert frame_events == ["buffer", "buffer_done", "flags", "ready"]


# -- pixels -----------------------------------------------------------------------


def test_bytes_are_bgrx_as_the_compositor_wrote_them(compositor):
    # 300 wide and 270 high, so both byte counters wrap within the image.
    comp = compositor({**with_outputs(out(width=300, height=270)), "frame": {"pattern": "gradient"}})
    img = capture(Pravlin(comp.socket))
    assert img.shape == (270, 300, 4)
    np.testing.assert_array_equal(img, gradient(300, 270))


def test_solid_colour_keeps_its_channel_order_and_x_byte(compositor):
    comp = compositor({"frame": {"pattern": "solid:ff8001"}})
    img = capture(Pravlin(comp.socket))
    np.testing.assert_array_equal(img, solid(0xFF, 0x80, 0x01))
    assert tuple(img[0, 0]) == (0x01, 0x80, 0xFF, 0xFF)


def test_y_invert_flag_does_not_flip_rows(compositor):
    comp = compositor({"frame": {"pattern": "gradient", "y_invert": True}})
    p = Pravlin(comp.socket)
    start = len(comp.events())
    img = capture(p)
    assert ("zwlr_screencopy_frame_v1", "flags", [1]) in comp.events()[start:]
    np.testing.assert_array_equal(img, gradient(64, 48))
    assert (img[0, :, 1] == 0).all()  # G holds y: row 0 stays row 0


@pytest.mark.parametrize("fmt", [0, XBGR8888, 0x30335241])
def test_other_offered_formats_still_get_an_xrgb8888_buffer(compositor, fmt):
    comp = compositor({"frame": {"format": fmt}})
    p = Pravlin(comp.socket)
    start = request_count(comp)
    img = capture(p)
    (args,) = [r[3] for r in records_since(comp, start) if r[2] == "create_buffer"]
    assert args[1:] == [0, 64, 48, 256, XRGB8888]
    np.testing.assert_array_equal(img, gradient(64, 48))


@pytest.mark.parametrize("padding", [4, 3, 1, 1024])
def test_padded_stride_is_honoured_and_dropped_from_the_array(compositor, padding):
    stride = 4 * 64 + padding
    comp = compositor({"frame": {"stride": stride}})
    p = Pravlin(comp.socket)
    start = request_count(comp)
    img = capture(p)
    reqs = {r[2]: r[3] for r in records_since(comp, start)}
    assert reqs["create_pool"][1]["size"] == reqs["create_pool"][2] == stride * 48
    assert reqs["create_buffer"][1:] == [0, 64, 48, stride, XRGB8888]
    assert img.shape == (48, 64, 4) and img.strides == (256, 4, 1)
    np.testing.assert_array_equal(img, gradient(64, 48))


def test_largest_pool_wl_shm_takes_is_accepted(compositor):
    # stride * height == 2**31 - 1; the file is sparse and only 4 bytes are written.
    comp = compositor({"frame": {"width": 1, "height": 1, "stride": 2**31 - 1}})
    p = Pravlin(comp.socket)
    start = request_count(comp)
    img = capture(p)
    (pool,) = [r[3] for r in records_since(comp, start) if r[2] == "create_pool"]
    assert pool[2] == 2**31 - 1
    np.testing.assert_array_equal(img, gradient(1, 1))


# -- which output -----------------------------------------------------------------


OUTPUT_CHOICE_ERRORS = [
    ([], None, NONE),
    ([], "OUT-1", "no WLOutput with name OUT-1"),
    ([out(), out()], None, MANY),
    ([out(version=3), out(version=1)], None, MANY),
    ([out(), out()], "OUT-3", "no WLOutput with name OUT-3"),
    ([out(name="DP-1")], "dp-1", "no WLOutput with name dp-1"),
    ([out(name="DP-1")], "DP-1 ", "no WLOutput with name DP-1 "),
    ([out(name="DP-1")], "DP-", "no WLOutput with name DP-"),
    ([out(name="DP-1")], "DP-1\0", "no WLOutput with name DP-1\0"),
    ([out(name="e\u0301")], "\u00e9", "no WLOutput with name \u00e9"),  # same glyph, other bytes
    ([out(version=2), out(version=3)], "OUT-1", "no WLOutput with name OUT-1"),  # never named
    ([out(version=3)], "", "no WLOutput with name "),
    ([out()], "", "no WLOutput with name "),
]


@pytest.mark.parametrize("manager", [True, False], ids=["manager", "no-manager"])
@pytest.mark.parametrize("outputs, name, message", OUTPUT_CHOICE_ERRORS)
def test_output_choice_fails_before_the_manager_check_and_sends_nothing(compositor, outputs, name, message,
                                                                        manager):
    comp = compositor(with_outputs(*outputs, manager=manager))
    p = Pravlin(comp.socket)
    start = request_count(comp)
    with fds_kept():
        assert error_of(lambda: p.screenshot(name)) == message
        assert error_of(lambda: p.screenshot(screen_name=name)) == message
    flush(p)
    assert [r[2] for r in records_since(comp, start)] == ["motion_absolute", "frame", "sync"]


@pytest.mark.parametrize("outputs, name", [([out()], None), ([out()], "OUT-1"), ([out(), out()], "OUT-2")])
def test_missing_manager_is_reported_after_the_output_choice(compositor, outputs, name):
    comp = compositor(with_outputs(*outputs, manager=False))
    p = Pravlin(comp.socket)
    start = request_count(comp)
    with fds_kept():
        assert error_of(lambda: p.screenshot(name)) == "no screencopy manager"
    flush(p)
    assert [r[2] for r in records_since(comp, start)] == ["motion_absolute", "frame", "sync"]


def captured_output(comp, start):
    (args,) = [r[3] for r in records_since(comp, start) if r[2] == "capture_output"]
    return args[2]


@pytest.mark.parametrize("outputs, name, index, shape", [
    ([out(version=3)], None, 0, (48, 64)),  # one output, never named
    ([out(version=1, width=8, height=4)], None, 0, (4, 8)),
    ([out(width=32, height=16)], None, 0, (16, 32)),
    ([out(width=32, height=16), out(width=8, height=4)], "OUT-2", 1, (4, 8)),
    ([out(width=32, height=16), out(width=8, height=4)], "OUT-1", 0, (16, 32)),
    ([out(version=3), out(name="", width=8, height=4), out(name="X")], "", 1, (4, 8)),
    ([out(name="e\u0301", width=8, height=4), out(name="\u00e9")], "e\u0301", 0, (4, 8)),
    ([out(name="LATE", name_delay_ms=300, width=8, height=4), out(name="EARLY")], "LATE", 0, (4, 8)),
])
def test_output_is_chosen_by_exact_name(compositor, outputs, name, index, shape):
    comp = compositor(with_outputs(*outputs))
    p = Pravlin(comp.socket)
    start = request_count(comp)
    img = capture(p, name)
    assert captured_output(comp, start) == f"wl_output@{binds(comp)['wl_output'][index]}"
    assert img.shape == (*shape, 4)


def test_shared_name_picks_the_first_announced_output(compositor):
    comp = compositor(with_outputs(out(name="TWIN", width=32, height=16), out(name="TWIN")))
    p = Pravlin(comp.socket)
    start = request_count(comp)
    img = capture(p, "TWIN")
    assert captured_output(comp, start) == f"wl_output@{binds(comp)['wl_output'][0]}"
    assert img.shape == (16, 32, 4)


# -- failures of the capture itself -------------------------------------------------


def test_missing_shm_is_reported_after_the_capture_request(compositor):
    comp = compositor({"globals": without("wl_shm")})
    p = Pravlin(comp.socket)
    start = request_count(comp)
    before = shm_names()
    with fds_kept():
        assert error_of(p.screenshot) == "no shared memory"
    assert shm_names() <= before
    flush(p)
    assert [r[2] for r in records_since(comp, start)] == ["capture_output", "sync", "motion_absolute", "frame", "sync"]


def frames_and_destroys(comp, start):
    reqs = records_since(comp, start)
    frames = [r[3][0] for r in reqs if r[2] == "capture_output"]
    destroyed = [r[1] for r in reqs if r[0] == "zwlr_screencopy_frame_v1" and r[2] == "destroy"]
    return frames, destroyed, [r[2] for r in reqs]


def test_failed_at_capture_destroys_the_frame_and_keeps_the_session(compositor):
    comp = compositor({"frame": {"fail": "capture"}})
    p = Pravlin(comp.socket)
    start = request_count(comp)
    with fds_kept():
        assert error_of(p.screenshot) == FAILED
        assert error_of(p.screenshot) == FAILED
    flush(p)
    frames, destroyed, names = frames_and_destroys(comp, start)
    assert len(frames) == 2 and destroyed == frames
    assert "create_pool" not in names


def test_failed_at_copy_releases_everything_and_keeps_the_session(compositor):
    comp = compositor({"frame": {"fail": "copy"}})
    p = Pravlin(comp.socket)
    start = request_count(comp)
    before = shm_names()
    with fds_kept():
        assert error_of(p.screenshot) == FAILED
        assert error_of(p.screenshot) == FAILED
    assert shm_names() <= before
    flush(p)
    frames, destroyed, names = frames_and_destroys(comp, start)
    assert len(frames) == 2 and destroyed == frames
    assert names.count("copy") == 2
    # Pool and buffer of each failed copy are released as well.
    reqs = records_since(comp, start)
    pools = [r[3][0] for r in reqs if r[2] == "create_pool"]
    assert [r[1] for r in reqs if r[0] == "wl_shm_pool" and r[2] == "destroy"] == pools


@pytest.mark.parametrize("where, made", [
    ("pool", ["wl_shm.create_pool"]),
    ("buffer", ["wl_shm.create_pool", "wl_shm_pool.create_buffer"]),
])
def test_frame_failed_while_its_buffer_is_made_is_never_copied(compositor, where, made):
    comp = compositor({"frame": {"fail": where}})
    p = Pravlin(comp.socket)
    start = request_count(comp)
    with fds_kept():
        assert error_of(p.screenshot) == FAILED
    flush(p)
    sent = [f"{r[0]}.{r[2]}" for r in records_since(comp, start)]
    waits = [step for request in made for step in (request, "wl_display.sync")]
    released = ["wl_buffer.destroy"] * (where == "buffer") + ["wl_shm_pool.destroy"]
    assert sent == ["zwlr_screencopy_manager_v1.capture_output", "wl_display.sync", *waits,
                    "zwlr_screencopy_frame_v1.destroy", *released,
                    "zwlr_virtual_pointer_v1.motion_absolute", "zwlr_virtual_pointer_v1.frame",
                    "wl_display.sync"]


@pytest.mark.parametrize("where", ["capture", "pool", "buffer", "copy"])
def test_capture_after_a_failed_frame_succeeds(compositor, where):
    comp = compositor({"frame": {"fail": where, "fail_times": 1}})
    p = Pravlin(comp.socket)
    assert error_of(p.screenshot) == FAILED
    assert np.array_equal(p.screenshot(), gradient(64, 48))


@pytest.mark.parametrize("frame, width, height, stride", [
    ({"width": 0}, 0, 48, 0),
    ({"height": 0}, 64, 0, 256),
    ({"width": 0, "height": 0, "stride": 0}, 0, 0, 0),
    ({"stride": 255}, 64, 48, 255),
    ({"stride": 0}, 64, 48, 0),
    ({"width": 0x40000000, "height": 1, "stride": 0xFFFFFFFC}, 0x40000000, 1, 0xFFFFFFFC),  # 4*width > 2**32
    ({"width": 65536, "height": 8192}, 65536, 8192, 262144),        # exactly 2**31 bytes
    ({"width": 1, "height": 2, "stride": 2**30}, 1, 2, 2**30),
    ({"width": 1, "height": 0xFFFFFFFF, "stride": 0xFFFFFFFF}, 1, 0xFFFFFFFF, 0xFFFFFFFF),
])
def test_unusable_buffer_parameters_stop_before_any_pool(compositor, frame, width, height, stride):
    comp = compositor({"frame": frame})
    p = Pravlin(comp.socket)
    start = request_count(comp)
    message = (f"the compositor offered unusable buffer parameters: width {width}, height {height}, "
               f"stride {stride}")
    before = shm_names()
    with fds_kept():
        assert error_of(p.screenshot) == message
        assert error_of(p.screenshot) == message
    assert shm_names() <= before
    flush(p)
    names = [r[2] for r in records_since(comp, start)]
    assert names.count("capture_output") == 2
    assert "create_pool" not in names and "create_buffer" not in names


CAPTURE_REQUESTS = [
    "zwlr_screencopy_manager_v1.capture_output",
    "wl_shm.create_pool",
    "wl_shm_pool.create_buffer",
    "zwlr_screencopy_frame_v1.copy",
]


def backend_error(comp, p):
    """The first failure, checked to repeat for the next capture and the next other call."""
    before = shm_names()
    with fds_kept():
        first = error_of(p.screenshot)
        assert error_of(p.screenshot) == first
        assert error_of(lambda: p.move_mouse(1, 1, 0, 0)) == first
    assert shm_names() <= before
    inner = first.split("\n")[0].removeprefix("Backend error: ")
    assert first == f"Backend error: {inner}\n\nCaused by:\n    {inner}"
    return inner


@pytest.mark.parametrize("request_name", CAPTURE_REQUESTS)
def test_connection_closed_at_a_capture_request(compositor, request_name):
    comp = compositor({"faults": [{"request": request_name, "action": "close"}]})
    p = Pravlin(comp.socket)
    inner = backend_error(comp, p)
    assert inner.startswith("Io error: ") and inner.endswith(")"), inner
    assert comp.records("fault")[0]["request"] == request_name


@pytest.mark.parametrize("request_name", CAPTURE_REQUESTS)
def test_protocol_error_at_a_capture_request(compositor, request_name):
    comp = compositor({"faults": [{"request": request_name, "action": "protocol_error", "code": 7,
                                   "message": "no pixels today"}]})
    p = Pravlin(comp.socket)
    inner = backend_error(comp, p)
    (rec,) = [r for r in comp.records() if f"{r['interface']}.{r['request']}" == request_name]
    assert inner == f"Protocol error 7 on object {rec['interface']}@{rec['id']}: no pixels today"


# -- several captures --------------------------------------------------------------


def test_each_capture_makes_its_own_frame_pool_buffer_and_file(compositor):
    comp = compositor()
    p = Pravlin(comp.socket)
    start = request_count(comp)
    for _ in range(3):
        np.testing.assert_array_equal(capture(p), gradient(64, 48))
    flush(p)
    reqs = records_since(comp, start)
    creates = [(i, r) for i, r in enumerate(reqs) if r[2] in ("capture_output", "create_pool", "create_buffer")]
    assert [r[2] for _, r in creates] == ["capture_output", "create_pool", "create_buffer"] * 3
    live = set()
    for n in range(3):
        (_, c_out), (_, c_pool), (_, c_buf) = [x for x in creates[3 * n:3 * n + 3]]
        frame, pool, buffer = c_out[3][0], c_pool[3][0], c_buf[3][0]
        assert not {frame, pool, buffer} & live  # never an id still in use
        live |= {frame, pool, buffer}
        copy = [r for r in reqs if r[2] == "copy" and r[1] == frame]
        assert copy == [("zwlr_screencopy_frame_v1", frame, "copy", [f"wl_buffer@{buffer}"])]
        assert c_buf[1] == pool
        # all three are destroyed before the next capture asks for a frame
        next_capture = creates[3 * n + 3][0] if n < 2 else len(reqs)
        at = creates[3 * n][0]
        destroys = [(r[0], r[1]) for r in reqs[at:next_capture] if r[2] == "destroy"]
        assert destroys == [("zwlr_screencopy_frame_v1", frame), ("wl_buffer", buffer), ("wl_shm_pool", pool)]
        live -= {frame, pool, buffer}
    frames = [r[3][0] for _, r in creates[0::3]]
    assert frames[0] != frames[1] != frames[2]
    inodes = [r[3][1]["ino"] for _, r in creates[1::3]]
    assert len(set(inodes)) == 3


def test_alternating_outputs_each_get_their_own_size(compositor):
    comp = compositor(with_outputs(out(width=32, height=16), out(width=8, height=4)))
    p = Pravlin(comp.socket)
    for _ in range(2):
        assert capture(p, "OUT-1").shape == (16, 32, 4)
        assert capture(p, "OUT-2").shape == (4, 8, 4)


# -- the array ---------------------------------------------------------------------


def test_array_owns_its_memory_through_its_base(compositor):
    comp = compositor({"frame": {"pattern": "solid:102030"}})
    p = Pravlin(comp.socket)
    a, b = p.screenshot(), p.screenshot()
    assert type(a) is np.ndarray and a.dtype == np.uint8
    assert a.shape == (48, 64, 4) and a.strides == (256, 4, 1)
    assert a.flags.c_contiguous and a.flags.writeable and a.flags.aligned
    assert not a.flags.owndata and type(a.base).__name__ == "PyCapsule"
    assert not np.shares_memory(a, b)
    # read() into memory just past a page boundary is several times slower.
    assert a.ctypes.data % os.sysconf("SC_PAGE_SIZE") == 0 and b.ctypes.data % os.sysconf("SC_PAGE_SIZE") == 0
    with open("/proc/self/maps") as maps:
        assert "wl_shm" not in maps.read()
    del p
    gc.collect()
    np.testing.assert_array_equal(a, solid(0x10, 0x20, 0x30))
    a[:] = 7
    np.testing.assert_array_equal(b, solid(0x10, 0x20, 0x30))
    view = b[10:12, 3]
    del a, b
    gc.collect()
    np.testing.assert_array_equal(view, solid(0x10, 0x20, 0x30)[10:12, 3])


def rss_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


@pytest.mark.skipif(bool(os.environ.get("PRAVLIN_SANITIZED")),
                    reason="AddressSanitizer keeps freed memory in quarantine")
def test_dropped_arrays_give_their_memory_back(compositor):
    comp = compositor(with_outputs(out(width=1920, height=1080)))
    p = Pravlin(comp.socket)
    p.screenshot()
    base = rss_bytes()
    for _ in range(40):  # 8 MB each: 320 MB if none were freed
        img = p.screenshot()
        assert img.shape == (1080, 1920, 4)
        del img
    assert rss_bytes() - base < 64 * 2**20


# -- the shared-memory file --------------------------------------------------------

# Interposes shm_open, shm_unlink and ftruncate for one Python process: every
# call is logged to $SHIM_LOG; the n-th shm_open fails with the n-th errno of
# $SHIM_OPEN_ERRNOS (comma-separated) while there is one; ftruncate on a file
# from shm_open fails with $SHIM_TRUNCATE_ERRNO if set.
SHIM_C = r"""
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdarg.h>
#include <stdlib.h>
#include <string.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/types.h>

static int opens, last_fd = -1;

static void note(const char *fmt, const char *s, long a, long b) {
    const char *path = getenv("SHIM_LOG");
    if (!path) return;
    FILE *f = fopen(path, "a");
    if (!f) return;
    fprintf(f, fmt, s, a, b);
    fclose(f);
}

static int planned_errno(int n) {
    const char *list = getenv("SHIM_OPEN_ERRNOS");
    for (int i = 1; list && *list; ++i) {
        char *end;
        long e = strtol(list, &end, 10);
        if (i == n) return (int)e;
        list = *end ? end + 1 : end;
    }
    return 0;
}

int shm_open(const char *name, int oflag, mode_t mode) {
    static int (*real)(const char *, int, mode_t);
    if (!real) real = (int (*)(const char *, int, mode_t))dlsym(RTLD_NEXT, "shm_open");
    note("open %s %ld %lo\n", name, oflag, (long)mode);
    int e = planned_errno(++opens);
    if (e) { errno = e; return -1; }
    last_fd = real(name, oflag, mode);
    return last_fd;
}

int shm_unlink(const char *name) {
    static int (*real)(const char *);
    if (!real) real = (int (*)(const char *))dlsym(RTLD_NEXT, "shm_unlink");
    note("unlink %s %ld %ld\n", name, 0, 0);
    return real(name);
}

static int truncate_common(int fd, off_t size, const char *which) {
    static int (*real)(int, off_t);
    if (!real) real = (int (*)(int, off_t))dlsym(RTLD_NEXT, which);
    if (fd == last_fd) {
        note("ftruncate %s %ld %ld\n", "-", (long)size, 0);
        const char *e = getenv("SHIM_TRUNCATE_ERRNO");
        if (e) { errno = atoi(e); return -1; }
    }
    return real(fd, size);
}

int ftruncate(int fd, off_t size) { return truncate_common(fd, size, "ftruncate"); }
int ftruncate64(int fd, off_t size) { return truncate_common(fd, size, "ftruncate64"); }

ssize_t getrandom(void *buf, size_t len, unsigned flags) {
    static ssize_t (*real)(void *, size_t, unsigned);
    if (!real) real = (ssize_t (*)(void *, size_t, unsigned))dlsym(RTLD_NEXT, "getrandom");
    const char *e = getenv("SHIM_GETRANDOM_ERRNO");
    if (e) {
        note("getrandom %s %ld %ld\n", "-", (long)len, 0);
        errno = atoi(e);
        return -1;
    }
    return real(buf, len, flags);
}

static int open_common(const char *path, int flags, mode_t mode, const char *which) {
    static int (*real)(const char *, int, ...);
    if (!real) real = (int (*)(const char *, int, ...))dlsym(RTLD_NEXT, which);
    const char *e = getenv("SHIM_URANDOM_ERRNO");
    if (e && strcmp(path, "/dev/urandom") == 0) {
        note("urandom %s %ld %ld\n", "-", 0, 0);
        errno = atoi(e);
        return -1;
    }
    return real(path, flags, mode);
}

int open(const char *path, int flags, ...) {
    va_list ap;
    va_start(ap, flags);
    mode_t mode = (flags & (O_CREAT | O_TMPFILE)) ? va_arg(ap, mode_t) : 0;
    va_end(ap);
    return open_common(path, flags, mode, "open");
}

int open64(const char *path, int flags, ...) {
    va_list ap;
    va_start(ap, flags);
    mode_t mode = (flags & (O_CREAT | O_TMPFILE)) ? va_arg(ap, mode_t) : 0;
    va_end(ap);
    return open_common(path, flags, mode, "open64");
}
"""

# Two screenshots in a fresh interpreter; prints the outcomes and the shm log records.
SHIM_SCRIPT = r"""
import json, logging, sys
records = []
class Keep(logging.Handler):
    def emit(self, r):
        if r.name == "pravlin.pravlin_lib.shm":
            records.append([r.levelname, r.getMessage()])
logging.getLogger().addHandler(Keep())
logging.getLogger().setLevel(logging.INFO)
if len(sys.argv) > 2:
    import resource
    resource.setrlimit(resource.RLIMIT_FSIZE, (int(sys.argv[2]), resource.RLIM_INFINITY))
from pravlin import Pravlin
p = Pravlin(sys.argv[1])
outcomes = []
for _ in range(2):
    try:
        outcomes.append(list(p.screenshot().shape))
    except RuntimeError as e:
        outcomes.append(str(e))
print("RESULT " + json.dumps({"outcomes": outcomes, "log": records}))
"""


@pytest.fixture(scope="module")
def shim(tmp_path_factory):
    d = tmp_path_factory.mktemp("shim")
    (d / "shim.c").write_text(SHIM_C)
    subprocess.run(["cc", "-shared", "-fPIC", "-O1", "-o", str(d / "shim.so"), str(d / "shim.c"), "-ldl"],
                   check=True)
    return d / "shim.so"


def run_shimmed(comp, shim, tmp_path, open_errnos=(), truncate_errno=None, fsize_limit=None,
                getrandom_errno=None, urandom_errno=None):
    """Runs SHIM_SCRIPT; returns (outcomes, log messages, shim calls as [call, name-or-size, ...])."""
    log = tmp_path / "shim.log"
    log.unlink(missing_ok=True)
    # After whatever is preloaded already (the sanitizer runtime must stay first).
    preload = " ".join(filter(None, [os.environ.get("LD_PRELOAD"), str(shim)]))
    env = dict(os.environ, LD_PRELOAD=preload, SHIM_LOG=str(log),
               SHIM_OPEN_ERRNOS=",".join(map(str, open_errnos)))
    if truncate_errno is not None:
        env["SHIM_TRUNCATE_ERRNO"] = str(truncate_errno)
    if getrandom_errno is not None:
        env["SHIM_GETRANDOM_ERRNO"] = str(getrandom_errno)
        env["PYTHONHASHSEED"] = "0"  # the interpreter would want random bytes at start-up
    if urandom_errno is not None:
        env["SHIM_URANDOM_ERRNO"] = str(urandom_errno)
    argv = [sys.executable, "-c", SHIM_SCRIPT, comp.socket]
    if fsize_limit is not None:
        argv.append(str(fsize_limit))
    before = shm_names()
    proc = subprocess.run(argv, env=env, capture_output=True, text=True, timeout=60, cwd=str(TESTS))
    assert proc.returncode == 0, proc.stderr
    assert shm_names() <= before
    (line,) = [x for x in proc.stdout.splitlines() if x.startswith("RESULT ")]
    result = json.loads(line[len("RESULT "):])
    calls = [x.split() for x in log.read_text().splitlines()] if log.exists() else []
    assert all(level == "INFO" for level, _ in result["log"])
    return result["outcomes"], [m for _, m in result["log"]], calls


OPEN_ARGS = [str(os.O_RDWR | os.O_CREAT | os.O_EXCL), "600"]


def test_shm_file_is_opened_exclusively_unlinked_at_once_then_sized(compositor, shim, tmp_path):
    comp = compositor()
    outcomes, log, calls = run_shimmed(comp, shim, tmp_path)
    assert outcomes == [[48, 64, 4], [48, 64, 4]]
    first, second = calls[:3], calls[3:]
    for part in (first, second):
        name = part[0][1]
        assert SHM_NAME.fullmatch(name)
        assert part == [["open", name, *OPEN_ARGS], ["unlink", name, "0", "0"], ["ftruncate", "-", "12288", "0"]]
    assert first[0][1] != second[0][1]
    assert log == [f"Trying to create shm file: {first[0][1]}", f"Trying to create shm file: {second[0][1]}"]


def test_taken_names_are_retried_with_fresh_ones(compositor, shim, tmp_path):
    comp = compositor()
    outcomes, log, calls = run_shimmed(comp, shim, tmp_path, open_errnos=[17, 17, 17])
    assert outcomes == [[48, 64, 4], [48, 64, 4]]
    opened = [c[1] for c in calls if c[0] == "open"]
    assert len(opened) == 5 and len(set(opened)) == 5
    assert log == [f"Trying to create shm file: {n}" for n in opened]
    assert [c[1] for c in calls if c[0] == "unlink"] == [opened[3], opened[4]]


@pytest.mark.parametrize("errnos, message", [
    ([17] * 100, "Failed to create shm file"),
    ([13] * 99 + [17], "Failed to create shm file"),
    ([17] * 99 + [13], "Failed to create shm file: Permission denied (os error 13)"),
    ([24] * 100, "Failed to create shm file: Too many open files (os error 24)"),
])
def test_hundred_failed_opens_give_up_with_the_last_error(compositor, shim, tmp_path, errnos, message):
    comp = compositor()
    outcomes, log, calls = run_shimmed(comp, shim, tmp_path, open_errnos=errnos)
    assert outcomes == [message, [48, 64, 4]]  # the next capture works
    opened = [c[1] for c in calls if c[0] == "open"]
    assert len(opened) == 101 and len(set(opened)) == 101
    assert all(SHM_NAME.fullmatch(n) for n in opened)
    assert log == [f"Trying to create shm file: {n}" for n in opened]
    assert [c[1] for c in calls if c[0] == "unlink"] == [opened[100]]
    # The six characters come from all of [A-Za-z0-9].
    chars = "".join(n[len("/wl_shm-"):] for n in opened)
    assert re.search("[A-Z]", chars) and re.search("[a-z]", chars) and re.search("[0-9]", chars)


def test_failed_sizing_is_reported_with_its_error(compositor, shim, tmp_path):
    comp = compositor()
    outcomes, _, calls = run_shimmed(comp, shim, tmp_path, truncate_errno=28)
    assert outcomes == ["Failed to create shm file: No space left on device (os error 28)"] * 2
    assert [c[0] for c in calls] == ["open", "unlink", "ftruncate"] * 2


def test_file_size_limit_is_reported_as_the_kernel_says(compositor, shim, tmp_path):
    comp = compositor()
    outcomes, _, _ = run_shimmed(comp, shim, tmp_path, fsize_limit=4096)
    assert outcomes == ["Failed to create shm file: File too large (os error 27)"] * 2


def test_names_come_from_urandom_when_getrandom_is_refused(compositor, shim, tmp_path):
    comp = compositor()
    outcomes, log, calls = run_shimmed(comp, shim, tmp_path, getrandom_errno=38)  # ENOSYS
    assert outcomes == [[48, 64, 4], [48, 64, 4]]
    opened = [c[1] for c in calls if c[0] == "open"]
    assert len(opened) == 2 and opened[0] != opened[1] and all(SHM_NAME.fullmatch(n) for n in opened)
    assert log == [f"Trying to create shm file: {n}" for n in opened]


def test_no_random_source_at_all_fails_each_attempt_and_ends(compositor, shim, tmp_path):
    comp = compositor()
    outcomes, log, calls = run_shimmed(comp, shim, tmp_path, getrandom_errno=1, urandom_errno=13)
    assert outcomes == ["Failed to create shm file: Permission denied (os error 13)"] * 2
    # 100 attempts per capture, each trying both sources (after the
    # interpreter's own start-up draw) and never reaching shm_open.
    assert [c[0] for c in calls[-400:]] == ["getrandom", "urandom"] * 200
    assert [c[2] for c in calls[-400::2]] == ["16"] * 200
    assert "open" not in [c[0] for c in calls] and log == []


def test_no_shm_name_survives_a_burst_of_captures(compositor):
    comp = compositor()
    p = Pravlin(comp.socket)
    before = shm_names()
    deadline = time.monotonic() + 60
    with fds_kept():
        for _ in range(100):
            p.screenshot()
            assert time.monotonic() < deadline
    assert shm_names() <= before
