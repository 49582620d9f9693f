import contextlib
import sys
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parent))

from sway_session import SwaySession  # noqa: E402
from testcomp import TestCompositor  # noqa: E402
from helpers import ClosingListener  # noqa: E402


@pytest.fixture(scope="session")
def sway(tmp_path_factory):
    """One headless sway (with its keyboard holder) shared by the whole run."""
    with SwaySession(tmp_path=tmp_path_factory.mktemp("sway")) as session:
        yield session


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
