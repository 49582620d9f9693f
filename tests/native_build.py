"""Builds the native test peers under tests/native once per test run."""

import fcntl
import os
import subprocess
import sys
from pathlib import Path

NATIVE_DIR = Path(__file__).resolve().parent / "native"
BUILD_DIR = Path(os.environ.get("PRAVLIN_TEST_BUILD", NATIVE_DIR / "build"))
# meson and ninja from the interpreter's venv (its test extra), also when the venv is not on PATH.
_ENV = {**os.environ,
        "PATH": os.pathsep.join([str(Path(sys.executable).parent), os.environ.get("PATH", os.defpath)])}


_built = False


def build_native() -> Path:
    """Configure (first time) and compile the native peers, once per process;
    return the build directory.

    A file lock keeps parallel test processes from running meson at once.
    """
    global _built
    if _built:
        return BUILD_DIR
    BUILD_DIR.parent.mkdir(parents=True, exist_ok=True)
    with open(str(BUILD_DIR) + ".lock", "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        if not (BUILD_DIR / "build.ninja").exists():
            subprocess.run(["meson", "setup", str(BUILD_DIR), str(NATIVE_DIR)],
                           check=True, stdout=subprocess.DEVNULL, env=_ENV)
        subprocess.run(["meson", "compile", "-C", str(BUILD_DIR)], check=True,
                       stdout=subprocess.DEVNULL, env=_ENV)
    _built = True
    return BUILD_DIR


def peer(name: str) -> Path:
    """Path of one built peer executable, building first if needed."""
    return build_native() / name
