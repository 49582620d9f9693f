"""How an error becomes exception text: its message, then its causes after
"Caused by:", numbered when there are several. The core's renderer is run
directly, since no error of the running system has more than one cause."""

import subprocess

import pytest

from native_build import peer


def render(message, *causes):
    return subprocess.run([str(peer("render_check")), message, *causes], check=True,
                          capture_output=True, text=True).stdout


@pytest.mark.parametrize("causes, text", [
    ((), "no screencopy manager"),
    (("environment variable not found",),
     "no XDG_RUNTIME_DIR set\n\nCaused by:\n    environment variable not found"),
    (("first", "second"),
     "no XDG_RUNTIME_DIR set\n\nCaused by:\n    0: first\n    1: second"),
    (("line one\nline two",),
     "no XDG_RUNTIME_DIR set\n\nCaused by:\n    line one\n    line two"),
    (("a\nb", "c\nd"),
     "no XDG_RUNTIME_DIR set\n\nCaused by:\n    0: a\n       b\n    1: c\n       d"),
])
def test_rendering_of_causes(causes, text):
    message = "no screencopy manager" if not causes else "no XDG_RUNTIME_DIR set"
    assert render(message, *causes) == text


def test_eleven_causes_keep_the_index_right_aligned():
    out = render("m", *[f"c{i}" for i in range(11)])
    assert out.endswith("\n    9: c9\n   10: c10")
