"""A session's D-Bus session bus and accessibility bus, and what turns the toolkits' bridges on.

The buses run as the caller, in a directory of the session that only the caller can enter (the
compositor's account cannot reach their sockets); clients the session spawns get their addresses.
"""

from __future__ import annotations

import os
import shutil
import socket
import subprocess
import time
from pathlib import Path

LAUNCHER = "/usr/libexec/at-spi-bus-launcher"
INSTALL_HINT = "on Debian or Ubuntu: apt-get install dbus-daemon at-spi2-core"

# The variables clients get besides the two addresses. GTK 3 (and so Chromium and Firefox, which use
# its bridge) load the bridge whenever NO_AT_BRIDGE is unset; GTK 4 talks AT-SPI itself. Qt, Chromium
# and Firefox also ask the launcher's org.a11y.Status.IsEnabled (--a11y=1 sets it), but each has a
# variable that turns it on without the round trip.
CLIENT_SWITCHES = {
    "QT_LINUX_ACCESSIBILITY_ALWAYS_ON": "1",  # Qt 5 and 6
    "QT_ACCESSIBILITY": "1",  # Qt 5 before 5.15's ALWAYS_ON
    "GNOME_ACCESSIBILITY": "1",  # Firefox
    "ACCESSIBILITY_ENABLED": "1",  # Chromium
    "GTK_A11Y": "atspi",  # GTK 4
}
# Every variable a session with accessibility sets, and those it takes away from its clients.
VARIABLES = ("DBUS_SESSION_BUS_ADDRESS", "AT_SPI_BUS_ADDRESS", *CLIENT_SWITCHES)
REMOVED = ("NO_AT_BRIDGE",)

_SESSION_CONFIG = """\
<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>session</type>
  <listen>unix:path={socket}</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
    <allow own="*"/>
  </policy>
</busconfig>
"""


class AccessibilityError(RuntimeError):
    pass


def missing() -> str | None:
    """What is not installed, or None."""
    if shutil.which("dbus-daemon") is None:
        return f"dbus-daemon is not installed ({INSTALL_HINT})"
    if not os.access(LAUNCHER, os.X_OK):
        return f"{LAUNCHER} is not installed ({INSTALL_HINT})"
    return None


class AccessibilityBuses:
    """The session bus (a dbus-daemon with no activatable services, so that nothing else starts on
    it) and at-spi-bus-launcher, which starts the accessibility bus; the registry daemon is started
    by that bus when the first application registers.

    `start()` starts the session bus and returns at once; `launch(deadline)` starts the launcher once
    the session bus accepts connections; `wait(deadline)` returns once the accessibility bus does,
    with the variables clients need."""

    def __init__(self, directory: Path):
        self.directory = directory
        self.groups: list[subprocess.Popen] = []
        self.log_path = directory / "buses.log"
        self.env: dict[str, str] = {}

    def start(self) -> int:
        """Starts the session bus; returns its process group."""
        d = self.directory
        d.mkdir(mode=0o700)
        config = d / "session.conf"
        config.write_text(_SESSION_CONFIG.format(socket=d / "bus"))
        session = f"unix:path={d / 'bus'}"
        self.env = {"DBUS_SESSION_BUS_ADDRESS": session,
                    "AT_SPI_BUS_ADDRESS": f"unix:path={d / 'at-spi' / 'bus'}", **CLIENT_SWITCHES}
        return self._spawn(["dbus-daemon", f"--config-file={config}", "--nofork", "--nopidfile"], {})

    def launch(self, deadline: float) -> int:
        """Starts the launcher (which gives up at once without a session bus); returns its process
        group."""
        self._wait_for(self.directory / "bus", deadline)
        # The launcher puts the accessibility bus at $XDG_RUNTIME_DIR/at-spi/bus.
        return self._spawn([LAUNCHER, "--a11y=1", "--launch-immediately"],
                           {"DBUS_SESSION_BUS_ADDRESS": self.env["DBUS_SESSION_BUS_ADDRESS"]})

    def _spawn(self, argv: list[str], env: dict[str, str]) -> int:
        d = self.directory
        with open(self.log_path, "ab") as log:
            self.groups.append(subprocess.Popen(
                argv, env={"PATH": os.environ.get("PATH", "/usr/bin:/bin"), "LANG": "C.UTF-8", "HOME": str(d),
                           "XDG_RUNTIME_DIR": str(d), "GSETTINGS_BACKEND": "memory", **env},
                stdin=subprocess.DEVNULL, stdout=log, stderr=log, start_new_session=True))
        return self.groups[-1].pid

    def wait(self, deadline: float) -> dict[str, str]:
        """The clients' variables, once both buses accept connections (clients find the
        accessibility bus through AT_SPI_BUS_ADDRESS, without asking the launcher); AccessibilityError
        if a bus's process exits or the time runs out first."""
        self._wait_for(self.directory / "at-spi" / "bus", deadline)
        return dict(self.env)

    def _wait_for(self, path: Path, deadline: float) -> None:
        while not _accepts(path):
            for proc in self.groups:
                if proc.poll() is not None:
                    raise AccessibilityError(f"{proc.args[0]} exited with status {proc.returncode} while "
                                             f"starting{self._log_tail()}")
            if time.monotonic() > deadline:
                raise AccessibilityError(f"the accessibility buses were not ready in time{self._log_tail()}")
            time.sleep(0.002)

    def _log_tail(self) -> str:
        try:
            lines = [line for line in self.log_path.read_text(errors="replace").splitlines()
                     if "fd limit" not in line][-5:]
        except OSError:
            return ""
        return "; its log ends:\n" + "\n".join("  " + line for line in lines) if lines else ""


def _accepts(path: Path) -> bool:
    with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as s:
        try:
            s.connect(os.fspath(path))
        except OSError:
            return False
    return True
