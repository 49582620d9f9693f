"""pytest plugin: one headless Wayland session for the whole test run, in the spirit of pytest-xvfb.

The session starts when pytest is configured, and from then until the run ends the test process's
WAYLAND_DISPLAY, XDG_RUNTIME_DIR and (on sway) SWAYSOCK point at it (DISPLAY and WAYLAND_SOCKET are
removed), so `Pravlin()` and GUI toolkits connect there whichever test runs first. Tests that need the
session ask for the session-scoped fixture `wayland_session`. Inside `pravlin-run` the plugin uses
that session instead of starting another one, unless a session option is given on the command line.
Settings (command-line option, or ini key with the same name after `wayland_`):

    --wayland-outputs WxH[@HZ][,...]  output sizes and refresh rates (default 1920x1080)
    --wayland-refresh HZ              rate of outputs given without @HZ (default 60)
    --wayland-compositor NAME         sway or phoc (default sway)
    --wayland-keyboard-layout LAYOUT  xkb layout of the seat's keyboard (default us)
    --wayland-xwayland                X11 programs too: Xwayland, and DISPLAY (ini: wayland_xwayland = true)
    --wayland-display NAME            use this existing display instead of starting a session
    --wayland-view [HOST:]PORT        serve the session's screen to a browser (the URL is in the header)
    --wayland-control                 and let the person watching take control
    --no-wayland-session              start nothing; tests that use the fixture are skipped
    --no-wayland-accessibility        no D-Bus session bus and accessibility bus in the session

`-p no:pravlin_session` unloads the plugin altogether. When the compositor is not installed the tests
that need it are skipped, and the run's summary says so once. Bad settings are usage errors.

With pytest-xdist (`-n 4`) each worker starts a session of its own, as pytest-xvfb gives each worker its
own display, and the controller, which runs no test, starts none; a pravlin-run session around the run is
not shared between workers either. Only `--wayland-display` puts every worker on one display.
"""

from __future__ import annotations

import os

import pytest

from ._accessibility import REMOVED as _A11Y_REMOVED
from ._accessibility import VARIABLES as _A11Y_VARIABLES
from ._session import (SESSION_VARIABLE, CompositorMissing, ExistingDisplay, HeadlessSession, SessionError,
                       running_session)

# Variables the run's environment gets from the session, or loses.
_EXPORTED = ("WAYLAND_DISPLAY", "XDG_RUNTIME_DIR", "SWAYSOCK", "WAYLAND_SOCKET", "DISPLAY", SESSION_VARIABLE,
             *_A11Y_VARIABLES, *_A11Y_REMOVED)

# The settings of the session the plugin starts: (name, keyword, metavar, help, default). Each is the
# option --wayland-NAME and the ini key wayland_KEYWORD, and HeadlessSession's keyword argument KEYWORD.
_SETTINGS = (
    ("outputs", "outputs", "WxH[@HZ][,...]", "output sizes (and refresh rates) of the headless session",
     "1920x1080"),
    ("refresh", "refresh", "HZ", "refresh rate of outputs given without @HZ", "60"),
    ("compositor", "compositor", "NAME", "compositor of the headless session: sway or phoc", "sway"),
    ("keyboard-layout", "keyboard_layout", "LAYOUT", "xkb layout of the session's keyboard", "us"),
)


def pytest_addoption(parser):
    group = parser.getgroup("wayland-session", "headless Wayland session (pravlin)")
    for name, keyword, metavar, help_text, default in _SETTINGS:
        group.addoption(f"--wayland-{name}", metavar=metavar, dest=f"wayland_{keyword}",
                        help=f"{help_text} (default: ini wayland_{keyword}, {default})")
        parser.addini(f"wayland_{keyword}", help_text, default=default)
    group.addoption("--wayland-xwayland", action="store_true", default=None, dest="wayland_xwayland",
                    help="run X11 programs too: Xwayland in the session, and DISPLAY (default: ini "
                         "wayland_xwayland, false)")
    parser.addini("wayland_xwayland", "run X11 programs too: Xwayland in the session", type="bool", default=False)
    group.addoption("--wayland-display", metavar="NAME",
                    help="use this existing Wayland display (a name in $XDG_RUNTIME_DIR or a socket path) "
                         "instead of starting a headless session")
    group.addoption("--wayland-view", metavar="[HOST:]PORT",
                    help="serve the session's screen to a browser on this address (port 0 picks one); the "
                         "page's URL is in the run's header")
    group.addoption("--wayland-control", action="store_true", default=False,
                    help="let the person watching (--wayland-view) take control; tests' Desktops wait meanwhile")
    group.addoption("--no-wayland-accessibility", action="store_true", default=False,
                    help="start no D-Bus session bus and accessibility bus with the headless session")
    group.addoption("--no-wayland-session", action="store_true", default=False,
                    help="start no headless session; tests using the wayland_session fixture are skipped")


def pytest_configure(config):
    state = _SessionState(config)
    config.pluginmanager.register(state, "pravlin_session_state")
    if not (config.option.help or config.option.version):
        state.start()


class _SessionState:
    """Starts the session (or finds the display to use), points the process at it, stops it at the end."""

    def __init__(self, config):
        self.config = config
        self.session = None
        self.origin = ""
        self.skip_reason: str | None = None
        self.error: SessionError | None = None
        self.saved: dict[str, str | None] = {}

    def session_options(self) -> dict:
        """HeadlessSession's keywords from the command line, else the ini file."""
        options = {keyword: self.config.getoption(f"wayland_{keyword}") or self.config.getini(f"wayland_{keyword}")
                   for _, keyword, *_ in _SETTINGS}
        return {**options, "xwayland": bool(self.config.getoption("wayland_xwayland")
                                            or self.config.getini("wayland_xwayland"))}

    def start(self) -> None:
        opt = self.config.getoption
        if opt("no_wayland_session"):
            self.skip_reason = "the headless Wayland session is switched off (--no-wayland-session)"
            return
        asked = (any(opt(f"wayland_{keyword}") for _, keyword, *_ in _SETTINGS) or opt("wayland_view")
                 or opt("no_wayland_accessibility") or opt("wayland_xwayland"))
        worker = hasattr(self.config, "workerinput")
        if not worker and _distributes(self.config) and not opt("wayland_display"):
            # The workers run the tests, each with a session of its own; check the settings here all the
            # same, so that a bad one is one usage error rather than one per worker.
            try:
                HeadlessSession(**self.session_options())
            except SessionError as e:
                raise pytest.UsageError(f"pravlin_session: {e}") from None
            self.origin = "one per xdist worker"
            return
        try:
            if opt("wayland_display"):
                session, self.origin = ExistingDisplay(opt("wayland_display")), "given with --wayland-display"
            elif running_session() and not asked and not worker:
                session = ExistingDisplay(os.environ["WAYLAND_DISPLAY"])
                self.origin = "the one this run is inside (pravlin-run)"
            else:
                session = HeadlessSession(**self.session_options(), view=opt("wayland_view"),
                                          control=opt("wayland_control"),
                                          accessibility=not opt("no_wayland_accessibility"))
        except SessionError as e:
            raise pytest.UsageError(f"pravlin_session: {e}") from None
        if isinstance(session, HeadlessSession):
            try:
                session.start()
            except CompositorMissing as e:
                self.skip_reason = str(e)
                return
            except SessionError as e:
                self.error = e
                return
            self.origin = f"started for xdist worker {self.config.workerinput['workerid']}" if worker \
                else "started for this run"
        self.session = session
        self.saved = {k: os.environ.get(k) for k in _EXPORTED}
        for key in _EXPORTED:
            if key not in _A11Y_VARIABLES or "AT_SPI_BUS_ADDRESS" in session.env:
                os.environ.pop(key, None)
        os.environ.update(session.env)

    def get(self):
        if self.skip_reason is not None:
            pytest.skip(self.skip_reason)
        if self.error is not None:
            raise self.error
        return self.session

    def pytest_report_header(self, config):
        if self.session is None:
            return f"wayland session: {self.origin}" if self.origin else None
        outputs = ", ".join(f"{o.name} {o.width}x{o.height}@{o.refresh:g}Hz at {o.x},{o.y}"
                            for o in self.session.outputs)
        header = f"wayland session: {self.session.display} ({self.origin}): {outputs}"
        if getattr(self.session, "view_url", None):
            header += f"\nwatch it at {self.session.view_url}"
        return header

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


def _distributes(config) -> bool:
    """Whether this process is a pytest-xdist controller that hands the tests to workers."""
    try:
        dist = config.getoption("dist")
    except ValueError:  # no pytest-xdist
        return False
    return dist != "no" and not config.getoption("collectonly")


@pytest.fixture(scope="session")
def wayland_session(pytestconfig):
    """The run's headless Wayland session (a pravlin_session.HeadlessSession, or an ExistingDisplay for
    --wayland-display or the pravlin-run session the run is inside); the test process's environment
    points at it."""
    return pytestconfig.pluginmanager.get_plugin("pravlin_session_state").get()
