"""The distribution: the sdist carries what a build needs, its wheel installs
into a fresh virtual environment, the module imports and constructs there
without numpy, and screenshots need numpy only once they are taken."""

import os
import subprocess
import sys
import tarfile
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent


@pytest.fixture(scope="module")
def dist(tmp_path_factory):
    out = tmp_path_factory.mktemp("dist")
    subprocess.run([sys.executable, "-m", "build", "--sdist", "--outdir", str(out), str(ROOT)],
                   check=True, capture_output=True)
    (sdist,) = out.glob("pravlin-*.tar.gz")
    # The wheel is built from the sdist, as an installer would.
    subprocess.run([sys.executable, "-m", "pip", "wheel", "-q", "--no-deps", "-w", str(out), str(sdist)],
                   check=True, capture_output=True)
    (wheel,) = out.glob("pravlin-*.whl")
    return sdist, wheel


def test_sdist_carries_the_protocols_and_sources(dist):
    sdist, _ = dist
    with tarfile.open(sdist) as tar:
        names = {n.split("/", 1)[1] for n in tar.getnames() if "/" in n}
    for needed in ["protocols/screencopy.xml", "protocols/virtual-keyboard.xml", "protocols/virtual-pointer.xml",
                   "meson.build", "pyproject.toml", "src/pravlin_lib/meson.build", "src/pravlin.pyi",
                   "src/errors.pyi", "pravlin_session/seat_holder.c", "pravlin_session/_session.py"]:
        assert needed in names


def test_wheel_installs_and_works_in_a_fresh_venv(dist, tmp_path, compositor):
    _, wheel = dist
    venv = tmp_path / "venv"
    subprocess.run([sys.executable, "-m", "venv", str(venv)], check=True)
    py = str(venv / "bin" / "python")
    subprocess.run([py, "-m", "pip", "install", "-q", str(wheel)], check=True, capture_output=True)
    comp = compositor()
    script = f"""
import pravlin
from pravlin.errors import PanicException
p = pravlin.Pravlin({comp.socket!r})
p.move_mouse(100, 100, 10, 20)
p.key_press(30, 0)
try:
    p.screenshot()
except PanicException as e:
    print(type(e).__name__, str(e).split(":")[0])
"""
    without_numpy = subprocess.run([py, "-c", script], capture_output=True, text=True)
    assert without_numpy.returncode == 0, without_numpy.stderr
    assert without_numpy.stdout.strip() == "PanicException Failed to access NumPy array API capsule"

    subprocess.run([py, "-m", "pip", "install", "-q", "numpy"], check=True, capture_output=True)
    with_numpy = subprocess.run([py, "-c", "import pravlin; a = pravlin.Pravlin(%r).screenshot(); "
                                 "print(a.shape, a.dtype)" % comp.socket], capture_output=True, text=True)
    assert with_numpy.returncode == 0, with_numpy.stderr
    assert with_numpy.stdout.strip() == "(48, 64, 4) uint8"

    site = next((venv / "lib").glob("python3*/site-packages"))
    assert (site / "pravlin.pyi").exists()
    assert (site / "pravlin-stubs" / "__init__.pyi").exists()
    assert (site / "pravlin-stubs" / "errors.pyi").exists()
    # The headless-session facility ships in the same wheel: its seat holder, the launcher and the plugin.
    assert os.access(site / "pravlin_session" / "pravlin-seat-holder", os.X_OK)
    assert os.access(venv / "bin" / "pravlin-run", os.X_OK)
    plugins = subprocess.run([py, "-c", "from importlib.metadata import entry_points; "
                              "print([e.value for e in entry_points(group='pytest11')])"],
                             capture_output=True, text=True, check=True).stdout
    assert "pravlin_session.pytest_plugin" in plugins


def test_stubs_match_the_runtime_module_and_its_errors_module(tmp_path):
    pytest.importorskip("mypy")
    # The stub package as installed, from this checkout (MYPYPATH comes before
    # any stub package installed in site-packages).
    stubs = tmp_path / "stubs" / "pravlin"
    stubs.mkdir(parents=True)
    (stubs / "__init__.pyi").write_text((ROOT / "src" / "pravlin.pyi").read_text())
    (stubs / "errors.pyi").write_text((ROOT / "src" / "errors.pyi").read_text())
    work = tmp_path / "work"
    work.mkdir()
    env = dict(os.environ, MYPYPATH=str(stubs.parent))
    result = subprocess.run([sys.executable, "-m", "mypy.stubtest", "pravlin"], capture_output=True, text=True,
                            cwd=str(work), env=env)
    assert result.returncode == 0, result.stdout + result.stderr
    assert "2 modules" in result.stdout
