"""What differs between the compositors a headless session can run: one small class each."""

from __future__ import annotations

import os
import shutil
from pathlib import Path


class SessionDirectory:
    """A session's directory, held open by its descriptor: each file is made anew in it (O_EXCL), and
    no link is followed on the way, so nothing written here lands anywhere else."""

    _DIRECTORY = os.O_RDONLY | os.O_DIRECTORY | os.O_NOFOLLOW | os.O_CLOEXEC

    def __init__(self, path: Path, fd: int):
        self.path, self.fd = path, fd

    def __truediv__(self, name: str) -> Path:
        return self.path / name

    def mkdir(self, name: str, mode: int = 0o755) -> Path:
        os.mkdir(name, mode, dir_fd=self.fd)
        fd = os.open(name, self._DIRECTORY, dir_fd=self.fd)
        try:
            os.fchmod(fd, mode)  # whatever the umask
        finally:
            os.close(fd)
        return self.path / name

    def write(self, name: str, data: str | bytes, mode: int = 0o644) -> Path:
        """Makes the file `name` (in a directory made with mkdir, for a name with a slash) holding `data`."""
        folder, _, leaf = name.rpartition("/")
        dir_fd = os.open(folder, self._DIRECTORY, dir_fd=self.fd) if folder else self.fd
        try:
            fd = os.open(leaf, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_NOFOLLOW | os.O_CLOEXEC, mode,
                         dir_fd=dir_fd)
        finally:
            if dir_fd != self.fd:
                os.close(dir_fd)
        with os.fdopen(fd, "wb") as f:
            os.fchmod(fd, mode)
            f.write(data.encode() if isinstance(data, str) else data)
        return self.path / name


class Compositor:
    """A headless compositor: how to configure and start it, what its socket is called."""

    name: str
    executable: str
    install_hint: str
    # Whether the seat holder has to run on the compositor's CPU. It takes the seat's keyboard back
    # when the compositor tells of a change, and has to get there before the compositor serves the
    # next client that asks for the keymap. On the compositor's CPU the holder, woken by the
    # compositor's write, runs before the compositor serves anyone else; waking it on another, idle
    # CPU (a virtual CPU above all) takes longer than a client's next round trips.
    holder_shares_cpu = True

    # Whether it can run Xwayland for X11 programs.
    has_xwayland = False

    def __init__(self, sizes: list[tuple[int, int]], rates: list[float], debug: bool = False,
                 xwayland: bool = False):
        self.sizes, self.rates, self.debug, self.xwayland = sizes, rates, debug, xwayland

    def output_names(self) -> list[str]:
        """The names its outputs get, in the order of `sizes`."""
        return [f"HEADLESS-{n}" for n in range(1, len(self.sizes) + 1)]

    def positions(self) -> list[tuple[int, int]]:
        """Where each output sits in the layout: side by side, left to right, tops aligned."""
        x, out = 0, []
        for width, _ in self.sizes:
            out.append((x, 0))
            x += width
        return out

    def write_config(self, base: SessionDirectory) -> list[str]:
        """Writes whatever configuration it needs (readable by the compositor's user) in the session's
        directory; returns its argument list."""
        raise NotImplementedError

    def environment(self, runtime_dir: Path) -> dict[str, str]:
        """Variables the compositor itself needs (besides PATH, HOME and XDG_RUNTIME_DIR)."""
        return {
            "WLR_BACKENDS": "headless",
            "WLR_RENDERER": "pixman",
            "WLR_LIBINPUT_NO_DEVICES": "1",
            "WLR_HEADLESS_OUTPUTS": str(len(self.sizes)),
            # With no cursor theme to be found, wlroots draws its built-in cursor instead of loading one
            # (a fifth of sway's start-up, a third of phoc's).
            "XCURSOR_PATH": str(runtime_dir / "no-cursor-themes"),
        }

    def socket_name(self) -> str:
        raise NotImplementedError

    def client_environment(self, runtime_dir: Path) -> dict[str, str]:
        """Variables a client of the session gets besides WAYLAND_DISPLAY and XDG_RUNTIME_DIR."""
        return {}

    def holder_arguments(self, runtime_dir: Path) -> list[str]:
        """How the seat holder keeps the seat's keyboard active on this compositor."""
        return []


class Sway(Compositor):
    name = "sway"
    executable = "sway"
    install_hint = "on Debian or Ubuntu: apt-get install sway"

    has_xwayland = True
    # No bar, no wallpaper client, no X server unless asked for (and then started by the first X11
    # client that connects): nothing to wait for but sway.
    _CONFIG = """\
swaybg_command -
swaynag_command -
focus_follows_mouse no
default_border none
default_floating_border none
"""

    def write_config(self, base: SessionDirectory) -> list[str]:
        lines = ["xwayland enable\n" if self.xwayland else "xwayland disable\n", self._CONFIG]
        for name, (width, height), rate, (x, y) in zip(self.output_names(), self.sizes, self.rates,
                                                        self.positions()):
            # A headless output has no modes of its own: sway sets this one as a custom mode, whose
            # rate paces the output's frames.
            lines.append(f"output {name} mode {width}x{height}@{rate:g}Hz position {x} {y}\n")
        # sway runs what `exec` is given through the first sh on its PATH: this one frees the
        # program from the CPU the compositor is pinned to.
        cpus = ",".join(map(str, sorted(os.sched_getaffinity(0))))
        base.mkdir("bin")
        base.write("bin/sh", f'#!/bin/sh\nexec taskset -c {cpus} /bin/sh "$@"\n', 0o755)
        if self.xwayland:
            # wlroots runs WLR_XWAYLAND for Xwayland, with no way to add arguments of ours.
            xwayland = shutil.which("Xwayland") or "/usr/bin/Xwayland"
            base.write("bin/Xwayland", f'#!/bin/sh\nexec {xwayland} "$@" -auth "$XAUTHORITY"\n', 0o755)
        return [self.executable, *(["-d"] if self.debug else []), "-c", str(base.write("sway.config", "".join(lines)))]

    def socket_name(self) -> str:
        # sway never takes wayland-0; in a fresh runtime directory it gets wayland-1.
        return "wayland-1"

    @staticmethod
    def ipc_socket(runtime_dir: Path) -> Path:
        return runtime_dir / "sway-ipc.sock"

    def environment(self, runtime_dir: Path) -> dict[str, str]:
        env = {
            **super().environment(runtime_dir),
            # sway takes SWAYSOCK as the path of its IPC socket when nothing exists there yet.
            "SWAYSOCK": str(self.ipc_socket(runtime_dir)),
            "PATH": f"{runtime_dir.parent / 'bin'}:{os.environ.get('PATH', '/usr/bin:/bin')}",
        }
        if self.xwayland:
            env["WLR_XWAYLAND"] = str(runtime_dir.parent / "bin" / "Xwayland")
            env["XAUTHORITY"] = str(self.x_authority(runtime_dir.parent))
        return env

    @staticmethod
    def x_authority(base: Path) -> Path:
        """The Xauthority file of the session's X server (Xwayland reads it as `-auth`)."""
        return base / "xauthority"

    def client_environment(self, runtime_dir: Path) -> dict[str, str]:
        return {"SWAYSOCK": str(self.ipc_socket(runtime_dir))}

    def holder_arguments(self, runtime_dir: Path) -> list[str]:
        return ["--sway-ipc", str(self.ipc_socket(runtime_dir))]


class Phoc(Compositor):
    name = "phoc"
    executable = "phoc"
    install_hint = "on Debian or Ubuntu: apt-get install phoc"

    def write_config(self, base: SessionDirectory) -> list[str]:
        # Xwayland, phoc's default, would leave its sockets and lock files in /tmp.
        lines = ["[core]\nxwayland = false\n"]
        for name, (width, height), rate, (x, y) in zip(self.output_names(), self.sizes, self.rates,
                                                        self.positions()):
            # Without a position phoc puts every output at 0,0.
            lines.append(f"\n[output:{name}]\nmode = {width}x{height}@{rate:g}Hz\nscale = 1\nx = {x}\ny = {y}\n")
        return [self.executable, "-C", str(base.write("phoc.ini", "".join(lines)))]

    def environment(self, runtime_dir: Path) -> dict[str, str]:
        # GSettings would otherwise go through dconf, which writes into the runtime directory.
        env = {**super().environment(runtime_dir), "GSETTINGS_BACKEND": "memory"}
        if self.debug:
            env["G_MESSAGES_DEBUG"] = "all"
        return env

    def socket_name(self) -> str:
        return "wayland-0"

    def holder_arguments(self, runtime_dir: Path) -> list[str]:
        # No IPC tells of a keyboard going away.
        return ["--watch-keymaps"]


COMPOSITORS = {c.name: c for c in (Sway, Phoc)}

