import contextlib
import os
import sys
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parent))

from testcomp import TestCompositor  # noqa: E402
from helpers import ClosingListener  # noqa: E402

# Every client the tests start (foot, GTK) sees only the fonts this configuration names, which
# scripts/setup.sh installs, whatever else the machine has.
os.environ["FONTCONFIG_FILE"] = str(Path(__file__).resolve().parent / "fonts.conf")


def pytest_configure(config):
    if os.environ.get("PRAVLIN_CHECK_DEPENDENCIES"):
        from dependency_check import DependencyCheck

        config.pluginmanager.register(DependencyCheck(), "pravlin_dependency_check")


@pytest.fixture(scope="session")
def sway(wayland_session):
    """The run's headless sway, from pravlin's own pytest plugin (pravlin_session): one 1920x1080
    output, and a seat holder that keeps the seat's keyboard and pointer."""
    if wayland_session.compositor != "sway":
        pytest.skip("these tests drive sway through its IPC")
    return wayland_session


@pytest.fixture
def compositor(tmp_path):
    """Factory: start the scriptable test compositor with a scenario."""
    with contextlib.ExitStack() as stack:
        counter = iter(range(1000))

        def start(scenario=None):
            path = tmp_path / f"comp{next(counter)}"
            path.mkdir()
            return stack.enter_context(TestCompositor(scenario, tmp_path=path))

        yield start


@pytest.fixture
def closing_listener():
    listeners = []

    def make(path):
        listener = ClosingListener(path)
        listeners.append(listener)
        return listener

    yield make
    for listener in listeners:
        listener.close()
