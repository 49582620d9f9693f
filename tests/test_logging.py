"""The core's log records as Python logging records, against real sessions.

The logger cache is process-wide and never reset: whichever record first
reaches a target fixes that target's cached threshold for the rest of the
process. Every test that depends on the cache therefore runs its script in a
fresh interpreter (`run`); the few in-process tests hold whatever the cache
state left by other test files.
"""

import json
import logging
import os
import re
import subprocess
import sys
from pathlib import Path

import pytest

from native_build import peer
from pravlin import Pravlin
from testcomp import DEFAULT_GLOBALS

REPO = Path(__file__).resolve().parents[1]
APP_DATA = "pravlin.pravlin_lib.app_data"
SHM = "pravlin.pravlin_lib.shm"

SIX = DEFAULT_GLOBALS

# Run before each script: SOCKET, a capturing handler, a spy on the two calls
# the forwarder makes before it knows whether a record is wanted, and done().
PRELUDE = r"""
import json, logging, sys
SOCKET = sys.argv[1]
APP_DATA = "pravlin.pravlin_lib.app_data"
SHM = "pravlin.pravlin_lib.shm"
get = logging.getLogger  # the real one, for the script's own use

class Capture(logging.Handler):
    def __init__(self):
        super().__init__(logging.NOTSET)
        self.records = []
    def emit(self, r):
        self.records.append({"name": r.name, "levelno": r.levelno, "levelname": r.levelname,
                             "pathname": r.pathname, "lineno": r.lineno, "msg": r.msg,
                             "args": repr(r.args), "message": r.getMessage(),
                             "formatted": self.format(r)})

calls = []

def spy():
    real_enabled = logging.Logger.isEnabledFor
    def getLogger(name=None):
        if isinstance(name, str) and name.startswith("pravlin"):
            calls.append(["getLogger", name])
        return get(name)
    def isEnabledFor(self, level):
        if self.name.startswith("pravlin"):
            calls.append(["isEnabledFor", self.name, level])
        return real_enabled(self, level)
    logging.getLogger = getLogger
    logging.Logger.isEnabledFor = isEnabledFor

def take_calls():
    out = list(calls)
    calls.clear()
    return out

def done(**out):
    print("RESULT " + json.dumps(out), flush=True)
"""


def run(script, socket, *args, env=None):
    """Runs PRELUDE + script in a fresh interpreter; returns (result dict, stderr)."""
    proc = subprocess.run([sys.executable, "-c", PRELUDE + script, socket, *args],
                          capture_output=True, text=True, timeout=120, cwd=str(REPO / "tests"), env=env)
    assert proc.returncode == 0, f"script failed ({proc.returncode}):\n{proc.stderr}"
    lines = [line for line in proc.stdout.splitlines() if line.startswith("RESULT ")]
    assert len(lines) == 1, proc.stdout + proc.stderr
    return json.loads(lines[0][len("RESULT "):]), proc.stderr


def enabled_levels(calls, name=APP_DATA):
    return [c[2] for c in calls if c[0] == "isEnabledFor" and c[1] == name]


def get_loggers(calls):
    return [c[1] for c in calls if c[0] == "getLogger"]


def names_a_log_statement(pathname, lineno):
    """The source line (or the one before, for a statement split over two) holds a log statement."""
    lines = (REPO / pathname).read_text().splitlines()
    return any("PRAVLIN_INFO" in lines[n - 1] for n in (lineno, lineno - 1) if 0 < n <= len(lines))


# -- what a record looks like -------------------------------------------------------


def test_records_carry_name_level_message_and_emitting_source(compositor):
    comp = compositor()
    out, _ = run(r"""
cap = Capture()
logging.basicConfig(level=logging.INFO, handlers=[cap])
from pravlin import Pravlin
p = Pravlin(SOCKET)
done(records=cap.records)
""", comp.socket)
    records = out["records"]
    messages = [r["message"] for r in records]
    for expected in [
        'Registry event: Global { name: 1, interface: "wl_shm", version: 1 }',
        'Registry event: Global { name: 2, interface: "wl_seat", version: 7 }',
        'Registry event: Global { name: 6, interface: "zwlr_virtual_pointer_manager_v1", version: 2 }',
        "Shm event: Format { format: 0 }",
        'Seat event: Name { name: "seat0" }',
        "WlOutput event for 3: Mode { flags: 3, width: 64, height: 48, refresh: 60000 }",
        'WlOutput event for 3: Name { name: "OUT-1" }',
        "WlOutput event for 3: Done",
    ]:
        assert expected in messages
    assert any(m.startswith("Keyboard event: Keymap { format: 1, fd: ") for m in messages)
    for r in records:
        assert r["name"] == APP_DATA
        assert (r["levelno"], r["levelname"]) == (20, "INFO")
        assert r["msg"] == r["message"] and r["args"] == "()"
        assert r["pathname"] == "src/pravlin_lib/app_data.cpp"
        assert r["lineno"] > 0 and names_a_log_statement(r["pathname"], r["lineno"])
    # Output events come from their own statement, the rest from another one.
    lines = {r["message"].startswith("WlOutput"): r["lineno"] for r in records}
    assert lines[True] != lines[False]


def test_percent_sign_in_a_message_is_delivered_unchanged(compositor):
    scenario = {"globals": [g if g["interface"] != "wl_output" else {**g, "name": "A%sB"} for g in SIX]}
    comp = compositor(scenario)
    out, _ = run(r"""
cap = Capture()
cap.setFormatter(logging.Formatter("%(message)s"))
logging.basicConfig(level=logging.INFO, handlers=[cap])
from pravlin import Pravlin
p = Pravlin(SOCKET)
done(records=cap.records)
""", comp.socket)
    named = [r for r in out["records"] if "Name {" in r["message"] and "WlOutput" in r["message"]]
    assert [(r["msg"], r["message"], r["formatted"]) for r in named] == \
        [('WlOutput event for 3: Name { name: "A%sB" }',) * 3]


# -- the cache ------------------------------------------------------------------------


def test_default_warning_probes_once_then_drops_info_without_python_calls(compositor):
    comp = compositor()
    out, _ = run(r"""
spy()
from pravlin import Pravlin
p = Pravlin(SOCKET)
first = take_calls()

cap = Capture()
get(APP_DATA).addHandler(cap)
get(APP_DATA).setLevel(logging.INFO)
python_calls = []
def profile(frame, event, arg):
    if event == "call":
        python_calls.append(frame.f_code.co_name)
sys.setprofile(profile)
q = Pravlin(SOCKET)
sys.setprofile(None)
done(first=first, later=take_calls(), python_calls=python_calls, records=cap.records)
""", comp.socket)
    assert get_loggers(out["first"]) == [APP_DATA]
    assert enabled_levels(out["first"]) == [20, 5, 10, 20, 30]
    assert out["first"][0] == ["getLogger", APP_DATA]
    # The later session emits as many records as the first, all dropped before Python.
    assert out["later"] == [] and out["python_calls"] == [] and out["records"] == []


def test_info_configured_before_the_first_session_is_cached_as_info(compositor):
    comp = compositor()
    out, _ = run(r"""
cap = Capture()
logging.basicConfig(level=logging.INFO, handlers=[cap])
spy()
from pravlin import Pravlin
p = Pravlin(SOCKET)
first = take_calls()
n_first = len(cap.records)
q = Pravlin(SOCKET)
done(first=first, later=take_calls(), n_first=n_first, n_total=len(cap.records))
""", comp.socket)
    n = out["n_first"]
    assert n > 10 and out["n_total"] == 2 * n
    assert get_loggers(out["first"]) == [APP_DATA]
    # The first record: its own check, then the probe up to the first level
    # taken; every later record only its own check on the cached logger.
    assert enabled_levels(out["first"]) == [20, 5, 10, 20] + [20] * (n - 1)
    assert get_loggers(out["later"]) == [] and enabled_levels(out["later"]) == [20] * n


@pytest.mark.skipif(bool(os.environ.get("PRAVLIN_SANITIZED")),
                    reason="AddressSanitizer provides operator new itself")
@pytest.mark.parametrize("level, formatted", [("WARNING", False), ("INFO", True)])
def test_events_are_rendered_only_for_records_that_are_forwarded(compositor, level, formatted):
    # Rendering an event about the output copies its 3000-character name into
    # strings at least that long; the session itself keeps one copy of it.
    name = "N" * 3000
    comp = compositor({"globals": [g if g["interface"] != "wl_output" else {**g, "name": name} for g in SIX]})
    env = dict(os.environ, SHIM_NEW_BIG="3000",
               LD_PRELOAD=" ".join(filter(None, [os.environ.get("LD_PRELOAD"), str(peer("libnew_shim.so"))])))
    out, _ = run(r"""
import ctypes
big = ctypes.CDLL(None).shim_big_allocations
logging.basicConfig(level=getattr(logging, sys.argv[2]), handlers=[Capture()])
from pravlin import Pravlin
p = Pravlin(SOCKET)  # the first records fix the cached threshold
before = big()
q = Pravlin(SOCKET)
done(allocations=big() - before)
""", comp.socket, level, env=env)
    if formatted:
        assert out["allocations"] > 2
    else:
        assert out["allocations"] == 1, out


def test_raising_the_level_after_caching_suppresses_records(compositor):
    comp = compositor()
    out, _ = run(r"""
cap = Capture()
logging.basicConfig(level=logging.INFO, handlers=[cap])
from pravlin import Pravlin
p = Pravlin(SOCKET)
n_first = len(cap.records)
get(APP_DATA).setLevel(logging.WARNING)
q = Pravlin(SOCKET)
n_warning = len(cap.records) - n_first
get(APP_DATA).setLevel(logging.INFO)
r = Pravlin(SOCKET)
done(n_first=n_first, n_warning=n_warning, n_again=len(cap.records) - n_first - n_warning)
""", comp.socket)
    assert out["n_first"] > 10
    assert out["n_warning"] == 0
    assert out["n_again"] == out["n_first"]  # the cached threshold stayed Info


def test_logger_disabled_for_every_level_is_cached_as_off(compositor):
    comp = compositor()
    out, _ = run(r"""
cap = Capture()
logging.basicConfig(level=logging.DEBUG, handlers=[cap])
get(APP_DATA).disabled = True
spy()
from pravlin import Pravlin
p = Pravlin(SOCKET)
first = take_calls()
get(APP_DATA).disabled = False
q = Pravlin(SOCKET)
done(first=first, later=take_calls(), records=cap.records)
""", comp.socket)
    assert get_loggers(out["first"]) == [APP_DATA]
    assert enabled_levels(out["first"]) == [20, 5, 10, 20, 30, 40]
    assert out["later"] == [] and out["records"] == []


def test_probe_that_raises_is_printed_and_caches_trace(compositor):
    comp = compositor()
    out, err = run(r"""
cap = Capture()
logging.basicConfig(level=logging.INFO, handlers=[cap])
real = logging.Logger.isEnabledFor
def isEnabledFor(self, level):
    if level == 5:
        raise KeyError("probe broke")
    return real(self, level)
logging.Logger.isEnabledFor = isEnabledFor
spy()
from pravlin import Pravlin
p = Pravlin(SOCKET)
done(calls=take_calls(), n=len(cap.records), last=hasattr(sys, "last_value"))
""", comp.socket)
    n = out["n"]
    assert n > 10  # every record delivered
    assert get_loggers(out["calls"]) == [APP_DATA]
    # Cached as Trace: no second probe, each record checked on the cached logger.
    assert enabled_levels(out["calls"]) == [20, 5] + [20] * (n - 1)
    assert err.count("KeyError: 'probe broke'") == 1 and "Traceback" in err
    assert out["last"] is False


def test_filter_that_raises_is_printed_and_nothing_is_cached(compositor):
    comp = compositor()
    out, err = run(r"""
cap = Capture()
logging.basicConfig(level=logging.INFO, handlers=[cap])
raised = []
def broken(record):
    raised.append(record.getMessage())
    raise ValueError("filter broke")
get(APP_DATA).addFilter(broken)
spy()
from pravlin import Pravlin
p = Pravlin(SOCKET)  # returns normally
first = take_calls()
n_raised = len(raised)
get(APP_DATA).removeFilter(broken)
q = Pravlin(SOCKET)
done(first=first, n_raised=n_raised, later=take_calls(), n_delivered=len(cap.records),
     last=hasattr(sys, "last_value"), pending=repr(sys.exc_info()))
""", comp.socket)
    n = out["n_raised"]
    assert n > 10 and out["n_delivered"] == n  # the second session's records all arrive
    # Every failed record fetched the logger afresh and never probed.
    assert get_loggers(out["first"]) == [APP_DATA] * n
    assert enabled_levels(out["first"]) == [20] * n
    # Then the first record that succeeds probes and caches.
    assert get_loggers(out["later"]) == [APP_DATA]
    assert enabled_levels(out["later"])[:4] == [20, 5, 10, 20]
    assert err.count("ValueError: filter broke") == n
    assert err.count("Traceback (most recent call last)") == n
    assert out["last"] is False and out["pending"] == "(None, None, None)"


def test_handler_calling_back_into_the_session_gets_already_borrowed(compositor):
    late = {"interface": "wl_output", "version": 4, "name": "LATE", "after_syncs": 5}
    comp = compositor({"globals": SIX + [late]})
    out, _ = run(r"""
from pravlin import Pravlin
seen = []
class Reentrant(logging.Handler):
    session = None
    def emit(self, record):
        if self.session is None:
            return
        try:
            self.session.move_mouse(100, 100, 1, 1)
            seen.append("returned")
        except RuntimeError as e:
            seen.append(str(e))
h = Reentrant()
logging.basicConfig(level=logging.INFO, handlers=[h])
p = Pravlin(SOCKET)
h.session = p
p.move_mouse(100, 100, 1, 1)  # its round trip announces LATE: a record during the call
during = list(seen)
h.session = None
p.move_mouse(100, 100, 2, 2)  # the session is free again
done(during=during)
""", comp.socket)
    assert out["during"] and set(out["during"]) == {"Already borrowed"}
    motions = [r for r in comp.requests() if r[1] == "motion_absolute"]
    assert len(motions) == 2  # the inner call sent nothing


def test_app_data_and_shm_are_cached_independently(compositor):
    if not hasattr(Pravlin, "screenshot"):
        pytest.skip("Pravlin.screenshot does not exist yet")
    comp = compositor({"frame": {"pattern": "solid:ff0000"}})
    out, _ = run(r"""
cap = Capture()
logging.basicConfig(level=logging.WARNING, handlers=[cap])
get(SHM).setLevel(logging.INFO)
spy()
from pravlin import Pravlin
p = Pravlin(SOCKET)  # caches app_data as Warn
first = take_calls()
p.screenshot()
done(first=first, later=take_calls(), records=cap.records)
""", comp.socket)
    assert get_loggers(out["first"]) == [APP_DATA]
    assert enabled_levels(out["first"]) == [20, 5, 10, 20, 30]
    # The capture's app_data events stay dropped; shm is looked up and probed on its own.
    assert get_loggers(out["later"]) == [SHM]
    assert enabled_levels(out["later"], APP_DATA) == []
    assert enabled_levels(out["later"], SHM)[:4] == [20, 5, 10, 20]
    shm = [r for r in out["records"] if r["name"] == SHM]
    assert shm and all(r["levelno"] == 20 for r in shm)
    assert all(re.fullmatch(r"Trying to create shm file: /wl_shm-\S+", r["message"]) for r in shm)
    assert all(r["pathname"].startswith("src/") and names_a_log_statement(r["pathname"], r["lineno"])
               for r in shm)
    assert [r for r in out["records"] if r["name"] != SHM] == []


# -- installation ---------------------------------------------------------------------


def test_importing_twice_installs_once(compositor):
    comp = compositor()
    out, _ = run(r"""
cap = Capture()
logging.basicConfig(level=logging.INFO, handlers=[cap])
import pravlin
first_module = pravlin
p = pravlin.Pravlin(SOCKET)
n = len(cap.records)
del sys.modules["pravlin"]
sys.modules["logging"] = None  # a second installation could not import it
import pravlin
same = pravlin is first_module
sys.modules["logging"] = logging
spy()
q = pravlin.Pravlin(SOCKET)
done(same=same, n=n, total=len(cap.records), calls=take_calls())
""", comp.socket)
    assert out["same"]
    assert out["total"] == 2 * out["n"]  # one sink: each record delivered once
    assert get_loggers(out["calls"]) == []  # the cache outlived the re-import


@pytest.mark.parametrize("block", ["none_in_sys_modules", "finder"])
def test_unimportable_logging_fails_the_import_with_panic(block):
    script = r"""
import importlib.abc
if sys.argv[2] == "finder":
    class NoLogging(importlib.abc.MetaPathFinder):
        def find_spec(self, name, path, target=None):
            if name == "logging":
                raise ImportError("logging is blocked")
    sys.modules.pop("logging", None)
    finder = NoLogging()
    sys.meta_path.insert(0, finder)
else:
    saved = sys.modules["logging"]
    sys.modules["logging"] = None
try:
    import pravlin
    failure = None
except BaseException as e:
    failure = [type(e).__name__, str(e), isinstance(e, Exception), type(e.__cause__).__name__]
if sys.argv[2] == "finder":
    sys.meta_path.remove(finder)
else:
    sys.modules["logging"] = saved
import pravlin  # a later import, with logging back, succeeds
done(failure=failure, has_class=hasattr(pravlin, "Pravlin"))
"""
    out, _ = run(script, "unused", block)
    name, text, is_exception, cause = out["failure"]
    assert name == "PanicException" and not is_exception
    assert text.startswith("Failed to initialize python logging")
    assert cause in ("ImportError", "ModuleNotFoundError")
    assert out["has_class"]


# -- in this process: whatever the cache holds ---------------------------------------


def test_records_below_the_logger_level_never_reach_handlers(compositor):
    comp = compositor()
    logger = logging.getLogger(APP_DATA)
    seen = []
    handler = logging.Handler()
    handler.emit = seen.append
    old_level = logger.level
    logger.setLevel(logging.WARNING)
    logger.addHandler(handler)
    try:
        Pravlin(comp.socket).move_mouse(10, 10, 1, 1)
    finally:
        logger.removeHandler(handler)
        logger.setLevel(old_level)
    assert seen == []


def test_a_raising_filter_never_breaks_a_session(compositor):
    comp = compositor()
    logger = logging.getLogger(APP_DATA)

    def broken(record):
        raise ValueError("filter broke")

    last_before = getattr(sys, "last_value", None)
    old_level = logger.level
    logger.setLevel(logging.INFO)
    logger.addFilter(broken)
    try:
        p = Pravlin(comp.socket)
        p.move_mouse(10, 10, 1, 1)
    finally:
        logger.removeFilter(broken)
        logger.setLevel(old_level)
    assert getattr(sys, "last_value", None) is last_before
