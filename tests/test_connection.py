"""Where the client connects, and the errors it reports when it cannot."""

import os

import pytest

from helpers import fds_unchanged
from pravlin import Pravlin


def panic_of(excinfo):
    exc = excinfo.value
    assert type(exc).__name__ == "PanicException"
    assert isinstance(exc, BaseException) and not isinstance(exc, Exception)
    return exc


@pytest.fixture
def env(monkeypatch):
    monkeypatch.delenv("WAYLAND_DISPLAY", raising=False)
    monkeypatch.delenv("WAYLAND_SOCKET", raising=False)
    return monkeypatch


def connect_error(*args):
    with fds_unchanged(), pytest.raises(RuntimeError) as info:
        Pravlin(*args)
    return str(info.value)


def test_missing_runtime_dir_is_reported_with_its_cause(env):
    env.delenv("XDG_RUNTIME_DIR", raising=False)
    for args in [(), ("wayland-5",), (None,)]:
        assert connect_error(*args) == "no XDG_RUNTIME_DIR set\n\nCaused by:\n    environment variable not found"


def test_runtime_dir_that_is_not_unicode(env):
    env.delenv("XDG_RUNTIME_DIR", raising=False)  # so that the value in force is restored afterwards
    os.environb[b"XDG_RUNTIME_DIR"] = b"/run/\xff"
    try:
        assert connect_error("wayland-0") == (
            'no XDG_RUNTIME_DIR set\n\nCaused by:\n    environment variable was not valid unicode: "/run/\\xff"'
        )
    finally:
        del os.environb[b"XDG_RUNTIME_DIR"]


def test_missing_socket_names_the_path_and_os_error(env, tmp_path):
    env.setenv("XDG_RUNTIME_DIR", str(tmp_path))
    assert connect_error("nothing") == (
        f'failed to connect to unix stream "{tmp_path}/nothing"\n\nCaused by:\n'
        "    No such file or directory (os error 2)"
    )


def test_socket_with_nothing_listening(env, tmp_path):
    import socket

    path = tmp_path / "dead"
    s = socket.socket(socket.AF_UNIX)
    s.bind(str(path))
    s.close()  # bound but never listened: connect is refused
    assert connect_error(str(path)).endswith("Connection refused (os error 111)")


def test_path_too_long_and_interior_nul(env):
    long_path = "/" + "x" * 200
    assert connect_error(long_path) == (
        f'failed to connect to unix stream "{long_path}"\n\nCaused by:\n    path must be shorter than SUN_LEN'
    )
    assert connect_error("/tmp/a\0b") == (
        'failed to connect to unix stream "/tmp/a\\0b"\n\nCaused by:\n    paths must not contain interior null bytes'
    )


def test_quotes_and_control_characters_are_escaped(env, tmp_path):
    env.setenv("XDG_RUNTIME_DIR", str(tmp_path))
    assert connect_error('a"b\\c\nd').startswith(f'failed to connect to unix stream "{tmp_path}/a\\"b\\\\c\\nd"')


def panics_after_connecting(listener, *args):
    """The peer closes at once: the first round trip fails, proving where we
    connected."""
    before = listener.accepted
    with fds_unchanged(), pytest.raises(BaseException) as info:
        Pravlin(*args)
    text = str(panic_of(info))
    assert listener.accepted == before + 1
    assert "Backend error: Io error: " in text
    return text


def test_argument_wins_over_environment(env, tmp_path, closing_listener):
    env.setenv("XDG_RUNTIME_DIR", str(tmp_path))
    env.setenv("WAYLAND_DISPLAY", "from-env")
    listener = closing_listener(tmp_path / "from-arg")
    panics_after_connecting(listener, "from-arg")


def test_display_defaults(env, tmp_path, closing_listener):
    env.setenv("XDG_RUNTIME_DIR", str(tmp_path) + "/")  # no second "/" is inserted
    listener = closing_listener(tmp_path / "wayland-0")
    panics_after_connecting(listener)

    os.environb[b"WAYLAND_DISPLAY"] = b"\xfe"  # not unicode: treated as unset
    panics_after_connecting(listener)
    del os.environb[b"WAYLAND_DISPLAY"]


def test_absolute_display_needs_no_runtime_dir(env, tmp_path, closing_listener):
    env.delenv("XDG_RUNTIME_DIR", raising=False)
    listener = closing_listener(tmp_path / "abs")
    env.setenv("WAYLAND_DISPLAY", str(tmp_path / "abs"))
    panics_after_connecting(listener)


def test_empty_runtime_dir_makes_the_path_relative(env, tmp_path, closing_listener):
    env.setenv("XDG_RUNTIME_DIR", "")
    env.chdir(tmp_path)
    listener = closing_listener(tmp_path / "rel")
    panics_after_connecting(listener, "rel")


def test_empty_display_names_the_runtime_dir_itself(env, tmp_path):
    env.setenv("XDG_RUNTIME_DIR", str(tmp_path))
    env.setenv("WAYLAND_DISPLAY", "")
    assert connect_error().startswith(f'failed to connect to unix stream "{tmp_path}/"')


def test_peer_closing_during_construction_panics_and_leaks_nothing(env, tmp_path, closing_listener):
    listener = closing_listener(tmp_path / "closer")
    for _ in range(20):
        panics_after_connecting(listener, str(tmp_path / "closer"))
