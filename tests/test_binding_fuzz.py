"""Argument binding checked against a small Python model of its rules:
random mixes of positional and keyword arguments, types and magnitudes must
give exactly the exception type and text the model predicts."""

import os

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from pravlin import Pravlin
from testcomp import TestCompositor

U32, OPT_U32, OPT_TEXT = "u32", "opt_u32", "opt_text"

SIGNATURES = {
    "__new__": [("wayland_display", OPT_TEXT)],
    "move_mouse": [("x_extent", U32), ("y_extent", U32), ("x", U32), ("y", U32),
                   ("x_max", OPT_U32), ("y_max", OPT_U32)],
    "left_click": [("duration_ms", U32), ("duration_ms_max", OPT_U32)],
    "right_click": [("duration_ms", U32), ("duration_ms_max", OPT_U32)],
    "key_press": [("key", U32), ("duration_ms", U32), ("duration_ms_max", OPT_U32)],
    "screenshot": [("screen_name", OPT_TEXT)],
}

# Parameters whose valid values make the call sleep that many milliseconds.
HOLD_TIMES = {"duration_ms", "duration_ms_max"}


def name_list(names):
    quoted = [f"'{n}'" for n in names]
    if len(quoted) == 1:
        return quoted[0]
    if len(quoted) == 2:
        return " and ".join(quoted)
    return ", ".join(quoted[:-1]) + ", and " + quoted[-1]


def convert(kind, value):
    """(exception type, text) for a value that does not convert, else None."""
    if kind == OPT_TEXT:
        if value is None or isinstance(value, str):
            return None
        return TypeError, f"'{type(value).__name__}' object cannot be converted to 'str'"
    if value is None and kind == OPT_U32:
        return None
    if not hasattr(type(value), "__index__"):
        return TypeError, f"'{type(value).__name__}' object cannot be interpreted as an integer"
    v = int(value.__index__())
    if not -(2**63) <= v < 2**63:
        return OverflowError, "Python int too large to convert to C long"
    if not 0 <= v <= 0xFFFFFFFF:
        return OverflowError, "out of range integral type conversion attempted"
    return None


def model(function, args, kwargs):
    """What binding and converting these arguments must raise, or None."""
    params = SIGNATURES[function]
    qualified = f"Pravlin.{function}()"
    names = [n for n, _ in params]
    required = [n for n, k in params if k == U32]
    if len(args) > len(params):
        verb = "was" if len(args) == 1 else "were"
        return TypeError, (f"{qualified} takes from {len(required)} to {len(params)} positional "
                           f"arguments but {len(args)} {verb} given")
    given_ = dict(zip(names, args))
    for key, value in kwargs.items():
        if key not in names:
            return TypeError, f"{qualified} got an unexpected keyword argument '{key}'"
        if key in given_:
            return TypeError, f"{qualified} got multiple values for argument '{key}'"
        given_[key] = value
    missing = [n for n in required if n not in given_]
    if missing:
        word = "argument" if len(missing) == 1 else "arguments"
        return TypeError, f"{qualified} missing {len(missing)} required positional {word}: {name_list(missing)}"
    for name, kind in params:
        problem = convert(kind, given_.get(name))
        if problem:
            exc, text = problem
            return exc, (f"argument '{name}': {text}" if exc is TypeError else text)
    return None


class Idx:
    """An object that is an integer only through __index__."""

    def __init__(self, v):
        self.v = v

    def __index__(self):
        return self.v


def values(for_hold_time):
    small = st.integers(0, 2) if for_hold_time else st.integers(0, 0xFFFFFFFF)
    return st.one_of(
        small, st.booleans(), st.none(),
        st.integers(-(2**70), -1), st.integers(2**32, 2**70), st.sampled_from([2**63 - 1, 2**63, -(2**63)]),
        st.floats(allow_nan=False), st.text(max_size=3), st.binary(max_size=2),
        small.map(Idx),
    )


@st.composite
def calls(draw, function):
    params = SIGNATURES[function]
    names = [n for n, _ in params] + ["bogus", "x", "duration", "screen"]
    npos = draw(st.integers(0, len(params) + 1))
    args = [draw(values(i < len(params) and params[i][0] in HOLD_TIMES)) for i in range(npos)]
    keys = draw(st.lists(st.sampled_from(names), unique=True, max_size=4))
    kwargs = {k: draw(values(k in HOLD_TIMES or k not in dict(params))) for k in keys}
    return args, kwargs


@pytest.fixture(scope="module")
def instance(tmp_path_factory):
    with TestCompositor({}, tmp_path=tmp_path_factory.mktemp("fuzz")) as comp:
        yield Pravlin(comp.socket)


FAST = settings(max_examples=300, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])


@pytest.mark.parametrize("function", [f for f in SIGNATURES if f != "__new__"])
def test_method_binding_matches_the_model(instance, function):
    method = getattr(instance, function)

    @FAST
    @given(calls(function))
    def check(call):
        args, kwargs = call
        expected = model(function, args, kwargs)
        if expected is None:
            if function == "screenshot":
                # binding succeeded; the capture itself may fail on a name
                try:
                    method(*args, **kwargs)
                except RuntimeError as e:
                    assert str(e).startswith("no WLOutput with name ")
            else:
                assert method(*args, **kwargs) is None
            return
        with pytest.raises(BaseException) as info:
            method(*args, **kwargs)
        assert (type(info.value), str(info.value)) == expected

    check()


@pytest.fixture(scope="module")
def no_compositor(tmp_path_factory):
    """An empty runtime directory: whatever display name the constructor gets,
    nothing answers there."""
    saved = {k: os.environ.get(k) for k in ("XDG_RUNTIME_DIR", "WAYLAND_DISPLAY")}
    os.environ["XDG_RUNTIME_DIR"] = str(tmp_path_factory.mktemp("empty-runtime"))
    os.environ.pop("WAYLAND_DISPLAY", None)
    yield
    for k, v in saved.items():
        if v is None:
            os.environ.pop(k, None)
        else:
            os.environ[k] = v


def test_constructor_binding_matches_the_model(no_compositor):
    @FAST
    @given(calls("__new__"))
    def check(call):
        args, kwargs = call
        expected = model("__new__", args, kwargs)
        with pytest.raises(Exception) as info:
            Pravlin(*args, **kwargs)
        if expected is None:
            # Bound and converted, then nothing to connect to (or a lone
            # surrogate that has no UTF-8 form).
            assert type(info.value) in (RuntimeError, UnicodeEncodeError), repr(info.value)
        else:
            assert (type(info.value), str(info.value)) == expected

    check()
