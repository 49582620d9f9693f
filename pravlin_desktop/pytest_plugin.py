"""pytest plugin: what a GUI test on the Wayland session leaves behind, and screenshot assertions.

For tests that use the `wayland_session` fixture (of pravlin_session's plugin), directly or through other
fixtures:

    --wayland-screenshot {off,on,only-on-failure}   a PNG of each output at the end of the test
    --wayland-video {off,on,retain-on-failure}      a video of each output while the test runs
    --wayland-output=DIR                            where (default test-results/), one folder per test
    --wayland-update-snapshots                      rewrite screenshot baselines that do not match

(--wayland-output with `=`: pytest's early parsing takes a separate DIR for the rootdir.) The run's summary
lists every baseline it wrote, new or changed.

ini: wayland_screenshot, wayland_video, wayland_output. The folder of a test is named from its id as
pytest-playwright names it (tests/test_app.py::test_ok[x] -> tests-test-app-py-test-ok-x); it also gets
what Desktop.wait_for and wait_until_settled save when they time out, and the actual, expected and diff
images of a failed `wayland_snapshot.assert_match`. A failed test's report lists its files (a section of
the failure, the run's summary, and JUnit XML properties named wayland_artifact). `-p no:pravlin_desktop`
unloads the plugin.
"""

from __future__ import annotations

import hashlib
import re
import shutil
import unicodedata
from dataclasses import dataclass, field
from pathlib import Path

import pytest

from . import _artifacts

_SCREENSHOT = ("off", "on", "only-on-failure")
_VIDEO = ("off", "on", "retain-on-failure")
# Marks an output folder as this plugin's, so that a run may empty it of the previous run's folders.
_MARK = ".pravlin-artifacts"
# The report property that tells of a snapshot baseline written: "new PATH" or "changed PATH".
_BASELINE = "wayland_snapshot_written"


def pytest_addoption(parser):
    group = parser.getgroup("wayland-artifacts", "artifacts and screenshot assertions of GUI tests (pravlin)")
    group.addoption("--wayland-screenshot", choices=_SCREENSHOT,
                    help="a PNG of each output at the end of each test using the session "
                         "(default: ini wayland_screenshot, off)")
    group.addoption("--wayland-video", choices=_VIDEO,
                    help="an H.264 MP4 video of each output while each test using the session runs "
                         "(default: ini wayland_video, off)")
    group.addoption("--wayland-output", metavar="DIR",
                    help="folder of the artifacts, one folder per test (default: ini wayland_output, test-results)")
    group.addoption("--wayland-update-snapshots", action="store_true", default=False,
                    help="write the screen as the baseline of each screenshot assertion that does not match")
    parser.addini("wayland_screenshot", "off, on or only-on-failure", default="off")
    parser.addini("wayland_video", "off, on or retain-on-failure", default="off")
    parser.addini("wayland_output", "folder of the artifacts of GUI tests", default="test-results")


def pytest_configure(config):
    config.pluginmanager.register(_Artifacts(config), "pravlin_desktop_artifacts")


def folder_name(nodeid: str) -> str:
    """A test id as a folder name: lower case, every run of other characters than ASCII letters and
    digits one dash; long ones cut, with a hash of the whole id."""
    ascii_id = unicodedata.normalize("NFKD", nodeid).encode("ascii", "ignore").decode()
    name = re.sub(r"[^a-z0-9]+", "-", ascii_id.lower()).strip("-") or "test"
    if len(name) > 200:
        name = f"{name[:190]}-{hashlib.sha256(nodeid.encode()).hexdigest()[:8]}"
    return name


@dataclass
class _Test:
    folder: Path
    uses_session: bool = False
    ready: bool = False
    failed: bool = False
    recorder: object = None
    shots: dict = field(default_factory=dict)
    shots_written: bool = False
    files: list[Path] = field(default_factory=list)
    notes: list[str] = field(default_factory=list)


class _Artifacts:
    def __init__(self, config):
        self.config = config
        self.screenshot = self._choice("wayland_screenshot", _SCREENSHOT)
        self.video = self._choice("wayland_video", _VIDEO)
        self.update = config.getoption("wayland_update_snapshots")
        output = config.getoption("wayland_output") or config.getini("wayland_output")
        self.output = Path(config.invocation_params.dir, output)
        self.tests: dict[str, _Test] = {}
        self.failed: list[tuple[str, list[Path]]] = []
        # Baselines written in this run (by this process, or by xdist workers through their reports).
        self.baselines: list[tuple[str, str]] = []
        self.viewer = None
        self.display: str | None = None
        try:
            if self.screenshot != "off":
                _artifacts.check_available()
            if self.video != "off":
                from ._recording import check_available
                check_available()
        except ImportError as e:
            raise pytest.UsageError(str(e)) from None

    def _choice(self, name: str, choices: tuple[str, ...]) -> str:
        value = self.config.getoption(name) or self.config.getini(name)
        if value not in choices:
            raise pytest.UsageError(f"{name} must be one of {', '.join(choices)}, not {value!r}")
        return value

    # -- the output folder ------------------------------------------------------------------------

    def pytest_sessionstart(self, session):
        """The previous run's test folders go, from an output folder this plugin made."""
        if (self.output / _MARK).exists() and not hasattr(self.config, "workerinput"):
            for child in self.output.iterdir():
                if child.is_dir():
                    shutil.rmtree(child, ignore_errors=True)

    def _ready(self, test: _Test) -> Path:
        """The test's folder, before its first file; an old folder of the test, from a run that kept it
        in an output folder this plugin did not make, goes first."""
        if not test.ready:
            test.ready = True
            if not self.output.exists() or not any(self.output.iterdir()):
                self.output.mkdir(parents=True, exist_ok=True)
                (self.output / _MARK).touch()
            shutil.rmtree(test.folder, ignore_errors=True)
        return test.folder

    # -- each test --------------------------------------------------------------------------------

    @pytest.hookimpl(hookwrapper=True)
    def pytest_runtest_protocol(self, item, nextitem):
        test = self.tests[item.nodeid] = _Test(self.output / folder_name(item.nodeid))
        _artifacts.test_folder = lambda: self._ready(test)
        try:
            yield
        finally:
            _artifacts.test_folder = None
            del self.tests[item.nodeid]

    @pytest.fixture(autouse=True)
    def _wayland_artifacts(self, request):
        test = self.tests.get(request.node.nodeid)
        if test is None or "wayland_session" not in request.fixturenames:
            yield
            return
        session = request.getfixturevalue("wayland_session")
        test.uses_session = True
        self.display = session.socket
        if self.video != "off":
            from ._recording import Recorder
            test.recorder = Recorder(session.socket, self._ready(test))
            test.recorder.start()
        yield
        if test.recorder is not None:
            recorder, test.recorder = test.recorder, None
            try:
                test.files += recorder.stop()
            except Exception as e:  # noqa: BLE001 - the test's outcome stands; the summary says why
                test.notes.append(f"the video failed: {e!r}")

    @pytest.fixture
    def wayland_snapshot(self, request, wayland_session):
        """Screenshot assertions: wayland_snapshot.assert_match(name, screen_name=None, region=None,
        mask=(), threshold=0.1, max_diff_pixels=0, timeout=5) against __snapshots__/<test file>/<name>.png."""
        from ._desktop import pointer_spots
        from ._snapshot import Snapshots

        def written(path: Path, how: str) -> None:
            # A report property reaches the run's summary from an xdist worker too.
            request.node.user_properties.append((_BASELINE, f"{how} {path}"))

        return Snapshots(self._viewer(wayland_session.socket), Path(request.node.path), self.update, pointer_spots,
                         written)

    def _viewer(self, display: str):
        if self.viewer is None or self.display != display:
            from ._viewer import Viewer
            self.viewer = Viewer(display)
            self.display = display
        return self.viewer

    @pytest.hookimpl(hookwrapper=True)
    def pytest_runtest_makereport(self, item, call):
        test = self.tests.get(item.nodeid)
        if test is not None and call.when == "teardown":
            if call.excinfo is not None and not call.excinfo.errisinstance(pytest.skip.Exception):
                test.failed = True
            self._finish(test)
            for path in test.files:
                item.user_properties.append(("wayland_artifact", str(path)))
        outcome = yield
        report = outcome.get_result()
        if test is None or not test.uses_session:
            return
        if report.failed:
            test.failed = True
        if call.when == "call" or (call.when == "setup" and not report.passed):
            self._end_of_test(test)
            if report.failed and test.folder.is_dir():
                report.sections.append(("wayland artifacts", self._listing(test)))
        if call.when == "teardown" and test.failed:
            files = sorted(test.folder.iterdir()) if test.folder.is_dir() else []
            if files or test.notes:
                self.failed.append((item.nodeid, files, test.notes))

    def _end_of_test(self, test: _Test) -> None:
        """The screen when the test is over, before its fixtures are torn down: written now when it is to
        be kept whatever happens next, else kept in memory until the teardown has had its say."""
        if self.screenshot == "off":
            return
        try:
            frames = self._viewer(self.display).capture_all(damage=False)
        except Exception as e:  # noqa: BLE001 - the test's outcome stands; the summary says why
            test.notes.append(f"the screenshot failed: {e!r}")
            return
        test.shots = {f.screen: f.image for f in frames}
        if self.screenshot == "on" or test.failed:
            self._write_shots(test)

    def _write_shots(self, test: _Test) -> None:
        if test.shots_written:
            return
        test.shots_written = True
        for name, image in sorted(test.shots.items()):
            path = _artifacts.free_path(self._ready(test), f"screenshot-{name}")
            test.files.append(_artifacts.write_png(image, path))
        test.shots = {}

    def _finish(self, test: _Test) -> None:
        """After the teardown: what stays, now that the outcome is known."""
        if test.failed and self.screenshot == "only-on-failure":
            self._write_shots(test)
        test.shots = {}
        if self.video == "retain-on-failure" and not test.failed:
            for path in [p for p in test.files if p.suffix == ".mp4"]:
                path.unlink(missing_ok=True)
                test.files.remove(path)
        if test.folder.is_dir():
            test.files = sorted(set(test.files) | {p for p in test.folder.iterdir()})
            if not test.files:
                test.folder.rmdir()

    def _listing(self, test: _Test) -> str:
        files = sorted(test.folder.iterdir())
        # A video is finished when the test's fixtures have been torn down.
        return "\n".join([f"{test.folder}/"] + [f"  {p.name}" for p in files])

    def pytest_runtest_logreport(self, report):
        if report.when == "teardown":
            self.baselines += [(report.nodeid, value) for name, value in report.user_properties
                               if name == _BASELINE]

    def pytest_terminal_summary(self, terminalreporter):
        if self.baselines:
            terminalreporter.section("wayland snapshot baselines written")
            for nodeid, line in self.baselines:
                terminalreporter.write_line(f"{line}  ({nodeid})")
        if not self.failed:
            return
        terminalreporter.section("wayland artifacts of failed tests")
        for nodeid, files, notes in self.failed:
            terminalreporter.write_line(nodeid)
            for path in files:
                terminalreporter.write_line(f"  {path}")
            for note in notes:
                terminalreporter.write_line(f"  {note}")

    def pytest_unconfigure(self, config):
        if self.viewer is not None:
            self.viewer.close()
            self.viewer = None
