"""pytest plugin: one headless Wayland session for the whole test run.

Tests ask for the session-scoped fixture `wayland_session`. The session starts when the first test
asks for it; from then until the run ends the test process's WAYLAND_DISPLAY, XDG_RUNTIME_DIR and
(on sway) SWAYSOCK point at it, so `Pravlin()` and GUI toolkits connect there. Options:

    --wayland-outputs WxH[,WxH...]   output sizes (ini: wayland_outputs; default 1920x1080)
    --wayland-compositor NAME        sway or phoc (ini: wayland_compositor; default sway)
    --wayland-display NAME           use this existing display instead of starting a session
    --no-wayland-session             start nothing; tests that use the fixture are skipped

ini settings: wayland_outputs, wayland_compositor, wayland_keyboard_layout. `-p no:pravlin_session`
unloads the plugin altogether. When the compositor is not installed the tests that need it are
skipped, and the run's summary says so once.
"""

from __future__ import annotations

import os

import pytest

from ._session import CompositorMissing, ExistingDisplay, HeadlessSession, SessionError, parse_outputs

_EXPORTED = ("WAYLAND_DISPLAY", "XDG_RUNTIME_DIR", "SWAYSOCK", "WAYLAND_SOCKET")


def pytest_addoption(parser):
    group = parser.getgroup("wayland-session", "headless Wayland session (pravlin)")
    group.addoption("--wayland-outputs", metavar="WxH[,WxH...]",
                    help="output sizes of the headless session (default: ini wayland_outputs, 1920x1080)")
    group.addoption("--wayland-compositor", metavar="NAME",
                    help="compositor of the headless session: sway or phoc "
                         "(default: ini wayland_compositor, sway)")
    group.addoption("--wayland-display", metavar="NAME",
                    help="use this existing Wayland display (a name in $XDG_RUNTIME_DIR or a socket path) "
                         "instead of starting a headless session")
    group.addoption("--no-wayland-session", action="store_true", default=False,
                    help="start no headless session; tests using the wayland_session fixture are skipped")
    parser.addini("wayland_outputs", "output sizes of the headless session, e.g. 1920x1080,1280x720",
                  default="1920x1080")
    parser.addini("wayland_compositor", "compositor of the headless session", default="sway")
    parser.addini("wayland_keyboard_layout", "xkb layout of the session's keyboard", default="us")


def pytest_configure(config):
    config.pluginmanager.register(_SessionState(config), "pravlin_session_state")


class _SessionState:
    """Starts the session on first use, keeps the test process pointed at it, stops it at the end."""

    def __init__(self, config):
        self.config = config
        self.session = None
        self.skip_reason: str | None = None
        self.error: SessionError | None = None
        self.saved: dict[str, str | None] = {}

    def get(self):
        if self.session is None and self.skip_reason is None and self.error is None:
            self._start()
        if self.skip_reason is not None:
            pytest.skip(self.skip_reason)
        if self.error is not None:
            raise self.error
        return self.session

    def _start(self) -> None:
        opt = self.config.getoption
        if opt("no_wayland_session"):
            self.skip_reason = "the headless Wayland session is switched off (--no-wayland-session)"
            return
        try:
            if opt("wayland_display"):
                session = ExistingDisplay(opt("wayland_display"))
            else:
                outputs = parse_outputs(opt("wayland_outputs") or self.config.getini("wayland_outputs"))
                compositor = opt("wayland_compositor") or self.config.getini("wayland_compositor")
                session = HeadlessSession(outputs, compositor=compositor,
                                          keyboard_layout=self.config.getini("wayland_keyboard_layout"))
                session.start()
        except CompositorMissing as e:
            self.skip_reason = str(e)
            return
        except SessionError as e:
            self.error = e
            return
        self.session = session
        self.saved = {k: os.environ.get(k) for k in _EXPORTED}
        # A session without sway IPC must not leave the test process pointed at some other sway.
        for key in _EXPORTED:
            os.environ.pop(key, None)
        os.environ.update(session.env)

    def pytest_terminal_summary(self, terminalreporter):
        if self.skip_reason is not None:
            terminalreporter.write_line(f"pravlin_session: {self.skip_reason}")

    def pytest_unconfigure(self, config):
        if self.session is None:
            return
        self.session.close()
        self.session = None
        for key, value in self.saved.items():
            if value is None:
                os.environ.pop(key, None)
            else:
                os.environ[key] = value


@pytest.fixture(scope="session")
def wayland_session(pytestconfig):
    """The run's headless Wayland session (a pravlin_session.HeadlessSession, or the ExistingDisplay
    given with --wayland-display); the test process's environment points at it."""
    return pytestconfig.pluginmanager.get_plugin("pravlin_session_state").get()
