"""What reaches Python from inside a call, and when: an interrupt or a signal
handler's exception that arrives while logging runs, sys.exit() in a logging
handler, a daemon thread that the interpreter ends at exit while a call runs,
and memory running out. Every case runs in a fresh interpreter, since each
ends it or depends on the logger cache."""

import json
import os
import subprocess
import sys
from pathlib import Path

import pytest

from native_build import peer
from testcomp import DEFAULT_GLOBALS

TESTS = Path(__file__).resolve().parent

# An output announced in answer to the client's sixth sync: during the release
# round trip of the first click after construction, so that a log record is
# forwarded to Python right at the end of that click.
LATE_AT_RELEASE = {"globals": DEFAULT_GLOBALS + [{"interface": "wl_output", "version": 4, "name": "LATE",
                                                  "after_syncs": 6}]}


def python(script, *args, env=None, timeout=60):
    return subprocess.run([sys.executable, "-c", script, *map(str, args)], capture_output=True, text=True,
                          timeout=timeout, cwd=str(TESTS), env=env)


def result_of(proc):
    lines = [line for line in proc.stdout.splitlines() if line.startswith("RESULT ")]
    assert len(lines) == 1, f"status {proc.returncode}\n{proc.stdout}\n{proc.stderr}"
    return json.loads(lines[0][len("RESULT "):])


def buttons(comp):
    return [args for _, req, args in comp.requests() if req == "button"]


# -- a daemon thread ended at exit --------------------------------------------------

DAEMON_AT_EXIT = r"""
import logging, os, sys, threading, time
logging.basicConfig(level=logging.INFO, stream=open(os.devnull, "w"))
from pravlin import Pravlin
p = Pravlin(sys.argv[1])
def capture():
    while True:
        p.screenshot()
threading.Thread(target=capture, daemon=True).start()
time.sleep(0.3)
"""


def test_daemon_thread_in_a_call_when_the_interpreter_exits_does_not_abort(compositor):
    # Its log handlers let the main thread run and finish; the interpreter then
    # ends the daemon thread, inside the call, as it retakes the lock.
    comp = compositor()
    runs = [python(DAEMON_AT_EXIT, comp.socket) for _ in range(3)]
    assert [r.returncode for r in runs] == [0, 0, 0], runs[0].stderr


# -- exceptions that belong to the caller -------------------------------------------

HELD = r"""
import json, logging, os, signal, subprocess, sys
socket, compositor_pid, case = sys.argv[1], int(sys.argv[2]), sys.argv[3]
# Python installs no handler of its own where its parent left SIGINT ignored, as a shell does for a
# background job; the interrupt cases need it whatever started the run.
signal.signal(signal.SIGINT, signal.default_int_handler)
seen = []
class Keep(logging.Handler):
    nested = None
    def emit(self, record):
        seen.append(record.getMessage())
        if case == "nested" and self.nested is not None:
            inner, self.nested = self.nested, None
            inner.move_mouse(10, 10, 1, 1)  # its own record raises KeyboardInterrupt below
        elif case == "nested" and inner_armed:
            raise KeyboardInterrupt("from a handler")
inner_armed = False
handler = Keep()
logging.basicConfig(level=logging.WARNING if case == "first shm record" else logging.INFO, handlers=[handler])
from pravlin import Pravlin
p = Pravlin(socket)
if case == "interrupt":
    subprocess.Popen(["sh", "-c", f"sleep 0.2; kill -INT {os.getpid()}"])
    call = lambda: p.left_click(600)
elif case == "alarm":
    def on_alarm(signum, frame):
        raise TimeoutError("alarm")
    signal.signal(signal.SIGALRM, on_alarm)
    signal.setitimer(signal.ITIMER_REAL, 0.2)
    call = lambda: p.left_click(600)
elif case == "first shm record":
    # The capture waits for a stopped compositor while the interrupt arrives;
    # then its first record for the shm logger looks the logger up in Python.
    os.kill(compositor_pid, signal.SIGSTOP)
    subprocess.Popen(["sh", "-c", f"sleep 0.3; kill -INT {os.getpid()}; sleep 0.3; kill -CONT {compositor_pid}"])
    call = p.screenshot
else:
    handler.nested = Pravlin(socket)
    inner_armed = True
    call = lambda: p.left_click(0)
try:
    call()
    outcome = ["returned"]
except BaseException as e:
    outcome = [type(e).__name__, str(e), type(e.__context__).__name__]
inner_armed = False
p.move_mouse(10, 10, 2, 2)  # the instance was released
print("RESULT " + json.dumps({"outcome": outcome, "records": len(seen)}), flush=True)
"""


@pytest.mark.parametrize("case, outcome", [
    ("interrupt", ["KeyboardInterrupt", "", "NoneType"]),
    ("alarm", ["TimeoutError", "alarm", "NoneType"]),
    ("first shm record", ["KeyboardInterrupt", "", "NoneType"]),
    # A call made by a handler raises what it held into that handler, whose
    # call then holds it in turn.
    ("nested", ["KeyboardInterrupt", "from a handler", "NoneType"]),
])
def test_exception_for_the_caller_is_raised_once_the_call_has_completed(compositor, case, outcome):
    comp = compositor(None if case == "first shm record" else LATE_AT_RELEASE)
    proc = python(HELD, comp.socket, comp.proc.pid, case)
    out = result_of(proc)
    assert out["outcome"] == outcome, proc.stderr
    assert "Traceback" not in proc.stderr  # held, not printed
    if case == "first shm record":
        names = [req for _, req, _ in comp.requests()]
        assert names.count("copy") == 1 and "destroy" in names[names.index("copy"):]  # the capture finished
    else:
        assert out["records"] > 0
        assert buttons(comp) == [[0, 272, 1], [0, 272, 0]]  # pressed and released
    assert [req for _, req, _ in comp.requests()][-3:] == ["motion_absolute", "frame", "sync"]


EXIT_IN_HANDLER = r"""
import logging, sys
class Exit(logging.Handler):
    armed = False
    def emit(self, record):
        if self.armed:
            sys.exit(3)
handler = Exit()
logging.basicConfig(level=logging.INFO, handlers=[handler])
from pravlin import Pravlin
p = Pravlin(sys.argv[1])
handler.armed = True
try:
    p.left_click(0)
    print("returned", flush=True)
finally:
    handler.armed = False
    p.move_mouse(10, 10, 1, 1)
    print("finally ran", flush=True)
"""


def test_sys_exit_in_a_handler_exits_once_the_call_has_completed(compositor):
    comp = compositor(LATE_AT_RELEASE)
    proc = python(EXIT_IN_HANDLER, comp.socket)
    assert proc.returncode == 3, proc.stderr
    assert proc.stdout.splitlines() == ["finally ran"]
    assert buttons(comp) == [[0, 272, 1], [0, 272, 0]]
    assert [req for _, req, _ in comp.requests()][-3:] == ["motion_absolute", "frame", "sync"]


# -- memory running out ---------------------------------------------------------------

OUT_OF_MEMORY = r"""
import json, sys
from pravlin import Pravlin
socket, case = sys.argv[1], sys.argv[2]
outcomes = []
def attempt(call):
    try:
        call()
        outcomes.append("returned")
    except BaseException as e:
        outcomes.append(f"{type(e).__name__}: {e}")
if case == "construction":
    attempt(lambda: Pravlin(socket))
elif case == "argument":
    p = Pravlin(socket)
    attempt(lambda: p.screenshot("y" * 3000))
    attempt(lambda: Pravlin("/" + "z" * 2999))
    attempt(lambda: p.move_mouse(10, 10, 1, 1))
else:
    p = Pravlin(socket)
    for _ in range(3):
        attempt(lambda: p.move_mouse(10, 10, 1, 1))
    attempt(lambda: p.key_press(30, 0))
print("RESULT " + json.dumps(outcomes), flush=True)
"""

LOST = "MemoryError: out of memory while handling an event"


@pytest.mark.skipif(bool(os.environ.get("PRAVLIN_SANITIZED")),
                    reason="AddressSanitizer provides operator new itself")
@pytest.mark.parametrize("case, outcomes", [
    # The long output name is stored in a string of exactly 3001 bytes.
    ("construction", [LOST]),
    ("later event", ["returned", LOST, LOST, LOST]),
    # The argument's text is converted into a string of exactly 3001 bytes.
    ("argument", ["MemoryError: ", "MemoryError: ", "returned"]),
])
def test_running_out_of_memory_is_memory_error(compositor, case, outcomes):
    output = {"interface": "wl_output", "version": 4, "name": "N" * 3000}
    if case == "construction":
        scenario = {"globals": [g for g in DEFAULT_GLOBALS if g["interface"] != "wl_output"] + [output]}
    elif case == "later event":
        # Announced at the first call's sync; its name arrives during the second call.
        scenario = {"globals": DEFAULT_GLOBALS + [{**output, "after_syncs": 5}]}
    else:
        scenario = None
    comp = compositor(scenario)
    env = dict(os.environ, SHIM_NEW_FAIL="3001",
               LD_PRELOAD=" ".join(filter(None, [os.environ.get("LD_PRELOAD"), str(peer("libnew_shim.so"))])))
    proc = python(OUT_OF_MEMORY, comp.socket, case, env=env)
    assert result_of(proc) == outcomes, proc.stderr
    if case == "later event":
        # After the lost event the session sent nothing more.
        assert [req for _, req, _ in comp.requests()][-3:] == ["motion_absolute", "frame", "sync"]
        assert [req for _, req, _ in comp.requests()].count("motion_absolute") == 2
