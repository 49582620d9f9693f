"""What Python sees of the module and the class, and how the constructor
binds its arguments. None of this needs a compositor."""

import importlib
import pickle
import subprocess
import sys

import pytest

import pravlin
from pravlin import Pravlin

STANDARD_MODULE_ATTRS = {"__doc__", "__file__", "__loader__", "__name__", "__package__", "__spec__"}


def test_module_exposes_only_the_class():
    assert set(vars(pravlin)) - STANDARD_MODULE_ATTRS == {"Pravlin", "__all__"}
    assert pravlin.__all__ == ["Pravlin"]
    assert pravlin.__name__ == "pravlin"
    assert pravlin.__doc__ and "\n" not in pravlin.__doc__.strip()


def test_panic_exception_lives_in_pravlin_errors():
    import pravlin.errors as errors
    from pravlin.errors import PanicException

    assert errors is sys.modules["pravlin.errors"] and errors.__all__ == ["PanicException"]
    assert (PanicException.__module__, PanicException.__qualname__) == ("pravlin.errors", "PanicException")
    assert PanicException.__bases__ == (BaseException,)
    # By reference, so that a fresh interpreter finds the class through the import of pravlin.
    data = pickle.dumps(PanicException("broken"))
    proc = subprocess.run([sys.executable, "-c", "import pickle, sys; e = pickle.loads(sys.stdin.buffer.read()); "
                           "print(type(e).__module__, type(e).__name__, e.args)"],
                          input=data, capture_output=True, check=True)
    assert proc.stdout.decode().strip() == "pravlin.errors PanicException ('broken',)"


def test_errors_module_is_back_after_a_reimport():
    errors, first = sys.modules.pop("pravlin.errors"), sys.modules.pop("pravlin")
    try:
        from pravlin.errors import PanicException

        assert sys.modules["pravlin.errors"] is errors and PanicException is errors.PanicException
    finally:
        sys.modules["pravlin"], sys.modules["pravlin.errors"] = first, errors


def test_class_identity_and_signature():
    assert Pravlin.__module__ == "builtins"
    assert Pravlin.__name__ == Pravlin.__qualname__ == "Pravlin"
    assert Pravlin.__text_signature__ == "(wayland_display=None)"
    assert Pravlin.__bases__ == (object,)
    assert "__init__" not in vars(Pravlin) and "__repr__" not in vars(Pravlin)


def test_class_cannot_be_subclassed():
    with pytest.raises(TypeError):
        type("Sub", (Pravlin,), {})


def test_reimport_returns_the_cached_module():
    first = sys.modules.pop("pravlin")
    try:
        again = importlib.import_module("pravlin")
        assert again is first
        assert again.Pravlin is Pravlin
    finally:
        sys.modules["pravlin"] = first


def test_sub_interpreter_import_is_refused():
    interpreters = pytest.importorskip("_xxsubinterpreters")
    interp = interpreters.create()
    try:
        path = repr(list(sys.path))
        with pytest.raises(interpreters.RunFailedError) as info:
            interpreters.run_string(interp, f"import sys; sys.path[:] = {path}; import pravlin")
        assert "ImportError" in str(info.value)
        assert "sub-interpreters" in str(info.value)
    finally:
        interpreters.destroy(interp)


@pytest.mark.parametrize(
    "args, kwargs, exc, text",
    [
        ((None, None), {}, TypeError,
         "Pravlin.__new__() takes from 0 to 1 positional arguments but 2 were given"),
        ((), {"display": "x"}, TypeError, "Pravlin.__new__() got an unexpected keyword argument 'display'"),
        (("x",), {"wayland_display": "y"}, TypeError,
         "Pravlin.__new__() got multiple values for argument 'wayland_display'"),
        ((5,), {}, TypeError, "argument 'wayland_display': 'int' object cannot be converted to 'str'"),
        ((b"/tmp/x",), {}, TypeError, "argument 'wayland_display': 'bytes' object cannot be converted to 'str'"),
    ],
)
def test_constructor_binding_errors(args, kwargs, exc, text):
    with pytest.raises(exc) as info:
        Pravlin(*args, **kwargs)
    assert type(info.value) is exc
    assert str(info.value) == text


def test_type_error_is_chained_to_its_cause():
    with pytest.raises(TypeError) as info:
        Pravlin(wayland_display=5)
    assert isinstance(info.value.__cause__, TypeError)
    assert str(info.value.__cause__) == "'int' object cannot be converted to 'str'"


def test_str_subclass_is_accepted_as_text(tmp_path):
    class Name(str):
        pass

    path = tmp_path / "missing"
    with pytest.raises(RuntimeError, match="failed to connect to unix stream"):
        Pravlin(Name(str(path)))


def test_unencodable_text_keeps_its_own_error():
    with pytest.raises(UnicodeEncodeError):
        Pravlin("\udcff")
