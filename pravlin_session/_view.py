"""Watching a session live: one wayvnc per output (wayvnc 0.5 captures one output), websockify serving
noVNC's client on a page that lays the outputs out as the compositor does, and the state of who has
control, which Desktops read before each action."""

from __future__ import annotations

import json
import mmap
import os
import re
import secrets
import selectors
import socket
import struct
import subprocess
import threading
import time
from pathlib import Path

NOVNC = Path("/usr/share/novnc")
PAGE = Path(__file__).resolve().with_name("view.html")
# The control file's first byte: whether a person has control. Its size is one page, so that a reader
# can map it.
CONTROL_SIZE = mmap.PAGESIZE
# Set in a session's clients when a person may take control: the path of the control file.
CONTROL_VARIABLE = "PRAVLIN_CONTROL"
# The control file of each session this process runs, by its Wayland socket, for Desktops of the same
# process (which need not have the session's variables in os.environ).
control_files: dict[str, str] = {}


# What is let go of in wayvnc when control comes back: a key-up for every keysym a key of a Latin layout
# can carry (printable Latin-1, the ISO group and level keys, and the function, keypad, cursor and
# modifier keys). wayvnc 0.5 keeps a key down when the client that pressed it goes away.
RELEASED_KEYSYMS = (*range(0x20, 0x7F), *range(0xA0, 0x100), *range(0xFE01, 0xFE14), *range(0xFF08, 0x10000))


class ViewError(RuntimeError):
    pass


def parse_address(text: str, what: str) -> tuple[str, int]:
    """'[HOST:]PORT' -> (host, port); the host is 127.0.0.1 unless given. Port 0 picks a free one."""
    host, colon, port = str(text).strip().rpartition(":")
    host = host.strip("[]") if colon else "127.0.0.1"
    if not re.fullmatch(r"[0-9]{1,5}", port) or int(port) > 65535 or not host:
        raise ViewError(f"bad {what} address {text!r}: expected [HOST:]PORT, the port from 0 to 65535")
    return host, int(port)


def _free_port(host: str, port: int = 0, what: str = "") -> int:
    """`port`, once it is found free on `host` (a free one for 0): a server already listening there
    would otherwise look like the one started."""
    family = socket.AF_INET6 if ":" in host else socket.AF_INET
    with socket.socket(family, socket.SOCK_STREAM) as s:
        s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        try:
            s.bind((host, port))
        except OSError as e:
            raise ViewError(f"cannot serve the {what} on {host}:{port}: {e.strerror}") from None
        return s.getsockname()[1]


def _url_host(host: str) -> str:
    if host in ("0.0.0.0", "::", ""):
        return socket.gethostname()
    return f"[{host}]" if ":" in host else host


class LiveView:
    """What `HeadlessSession(view=..., vnc=..., control=...)` runs beside the compositor, in `directory`
    (the caller's alone: it holds the token, the VNC sockets and the control file)."""

    def __init__(self, session, directory: Path, *, view: str | None, vnc: str | None, control: bool):
        self.session, self.dir, self.control = session, directory, control
        self.view = parse_address(view, "view") if view is not None else None
        self.vnc = parse_address(vnc, "VNC") if vnc is not None else None
        self.url: str | None = None
        self._targets: list[str] = []
        self.vnc_addresses: list[tuple[str, int]] = []
        self.control_path: str | None = None
        self._listener: socket.socket | None = None
        self._thread: threading.Thread | None = None
        self._stop_r = self._stop_w = -1
        self._map: mmap.mmap | None = None
        self._holders: set[socket.socket] = set()
        self._state_lock = threading.Lock()

    # -- start-up -------------------------------------------------------------------------------------

    def start(self, deadline: float, keyboard: str) -> None:
        if not (NOVNC / "core" / "rfb.js").exists() and self.view is not None:
            raise ViewError(f"noVNC is not installed ({NOVNC}; on Debian or Ubuntu: apt-get install novnc)")
        self.dir.mkdir(mode=0o700)
        (self.dir / "wayvnc.config").write_text("")  # rather than the caller's own
        targets, servers = [], []
        for n, output in enumerate(self.session.outputs):
            argv = ["wayvnc", "-C", str(self.dir / "wayvnc.config"), "-r", "-o", output.name, "-k", keyboard]
            if not self.control:
                argv.append("-d")
            if self.vnc is not None:
                host, port = self.vnc
                if port and port + n > 65535:
                    raise ViewError(f"no port {port + n} for output {n + 1}: VNC ports go up from {port}")
                port = _free_port(host, port + n if port else 0, f"VNC of {output.name}")
                self.vnc_addresses.append((host, port))
                argv += [host, str(port)]
                targets.append(f"{host}:{port}")
            else:
                path = self.dir / f"output-{n}.sock"
                argv += ["-u", str(path)]
                targets.append(f"unix_socket:{path}")
            servers.append(self._spawn(argv, f"wayvnc-{n}.log"))
        self._targets = targets
        for n, (target, server) in enumerate(zip(targets, servers)):
            self._wait_ready(target, deadline, f"wayvnc for {self.session.outputs[n].name}",
                             f"wayvnc-{n}.log", server, rfb=True)
        if self.control:
            self._serve_control()
        if self.view is not None:
            self._serve_page(targets, deadline)

    def _spawn(self, argv, log_name):
        with open(self.dir / log_name, "wb") as log:
            try:
                return self.session.spawn(argv, stdin=subprocess.DEVNULL, stdout=log, stderr=log)
            except FileNotFoundError:
                raise ViewError(f"{argv[0]} is not installed (on Debian or Ubuntu: apt-get install {argv[0]})") \
                    from None

    def _wait_ready(self, target: str, deadline: float, what: str, log_name: str, server: subprocess.Popen,
                    rfb: bool = False) -> None:
        """Until `target` (host:port or unix_socket:PATH) accepts, and, for a VNC server, greets."""
        while True:
            if server.poll() is not None:
                tail = (self.dir / log_name).read_text(errors="replace").strip().splitlines()[-3:]
                raise ViewError(f"{what} exited with status {server.returncode}" +
                                (": " + " / ".join(tail) if tail else ""))
            try:
                with _connect(target, max(deadline - time.monotonic(), 0.1)) as s:
                    if not rfb or s.recv(12).startswith(b"RFB "):
                        return
            except OSError:
                pass
            if time.monotonic() > deadline:
                tail = (self.dir / log_name).read_text(errors="replace").strip().splitlines()[-3:]
                raise ViewError(f"{what} did not start" + (": " + " / ".join(tail) if tail else ""))
            time.sleep(0.02)

    def _serve_page(self, targets: list[str], deadline: float) -> None:
        token = secrets.token_urlsafe(24)
        lines = [f"{token}-{n}: {target}" for n, target in enumerate(targets)]
        if self.control:
            lines.append(f"{token}-control: unix_socket:{self.dir / 'control.sock'}")
        # websockify splits a target at its last colon.
        if ":" in str(self.dir):
            raise ViewError(f"the session's directory {self.dir} has a colon in its path, which websockify "
                            "cannot take")
        tokens = self.dir / "tokens"
        fd = os.open(tokens, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o600)
        with os.fdopen(fd, "w") as f:
            f.write("\n".join(lines) + "\n")
        web = self.dir / "web"
        web.mkdir(mode=0o700)
        for part in ("core", "vendor"):
            (web / part).symlink_to(NOVNC / part)
        layout = [{"name": o.name, "x": o.x, "y": o.y, "width": o.width, "height": o.height}
                  for o in self.session.outputs]
        page = PAGE.read_text().replace("/*LAYOUT*/[]", json.dumps(layout)) \
            .replace("/*CONTROL*/false", "true" if self.control else "false")
        (web / "index.html").write_text(page)
        host, port = self.view
        port = _free_port(host, port, "page")
        listen = f"[{host}]:{port}" if ":" in host else f"{host}:{port}"
        server = self._spawn(["websockify", "--web", str(web), "--token-plugin", "TokenFile", "--token-source",
                              str(tokens), listen], "websockify.log")
        self._wait_ready(f"{host}:{port}", deadline, "websockify", "websockify.log", server)
        self.url = f"http://{_url_host(host)}:{port}/?token={token}"

    # -- control ------------------------------------------------------------------------------------------

    def _serve_control(self) -> None:
        path = self.dir / "control"
        fd = os.open(path, os.O_RDWR | os.O_CREAT | os.O_EXCL, 0o600)
        try:
            os.ftruncate(fd, CONTROL_SIZE)
            self._map = mmap.mmap(fd, CONTROL_SIZE)
        finally:
            os.close(fd)
        self.control_path = str(path)
        control_files[self.session.socket] = self.control_path
        self._listener = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        self._listener.bind(str(self.dir / "control.sock"))
        self._listener.listen(8)
        self._stop_r, self._stop_w = os.pipe()
        self._thread = threading.Thread(target=self._control_loop, name="pravlin-view-control", daemon=True)
        self._thread.start()

    def _control_loop(self) -> None:
        """Each connection (the page's, through websockify) says "take" or "give", a line each, and is
        answered "taken" or "given" once the control file says so. A connection that ends gives back."""
        sel = selectors.DefaultSelector()
        sel.register(self._listener, selectors.EVENT_READ)
        sel.register(self._stop_r, selectors.EVENT_READ)
        pending: dict[socket.socket, bytes] = {}
        try:
            while True:
                for key, _ in sel.select():
                    if key.fileobj == self._stop_r:
                        return
                    if key.fileobj is self._listener:
                        conn, _ = self._listener.accept()
                        sel.register(conn, selectors.EVENT_READ)
                        pending[conn] = b""
                        continue
                    conn = key.fileobj
                    try:
                        data = conn.recv(4096)
                    except OSError:
                        data = b""
                    if not data:
                        sel.unregister(conn)
                        pending.pop(conn, None)
                        self._set(conn, False, ended=True)
                        conn.close()
                        continue
                    pending[conn] += data
                    *lines, pending[conn] = pending[conn].split(b"\n")
                    for line in lines:
                        word = line.strip()
                        if word in (b"take", b"give"):
                            self._set(conn, word == b"take")
                            try:
                                conn.sendall(b"taken\n" if word == b"take" else b"given\n")
                            except OSError:
                                pass
                    if len(pending[conn]) > 64:  # no such line: not the page
                        sel.unregister(conn)
                        pending.pop(conn)
                        self._set(conn, False, ended=True)
                        conn.close()
        finally:
            for conn in pending:
                conn.close()
            sel.close()

    def _set(self, conn: socket.socket, held: bool, ended: bool = False) -> None:
        """Records what a connection said. When the last holder hands back, whatever the people held in
        wayvnc is let go of (buttons too when a page went away without handing back) before the
        control file says so."""
        with self._state_lock:
            had = bool(self._holders)
            if held:
                self._holders.add(conn)
            else:
                self._holders.discard(conn)
            if self._map is None:
                return
            if self._holders:
                self._map[0] = 1
            elif had:
                for target in self._targets:
                    try:
                        _release_in(target, buttons=ended)
                    except (OSError, ValueError):
                        pass  # wayvnc gone: the session is closing
                self._map[0] = 0

    @property
    def person_has_control(self) -> bool:
        return bool(self._map is not None and self._map[0])

    def close(self) -> None:
        if self._thread is not None:
            os.write(self._stop_w, b"x")
            self._thread.join(5.0)
            self._thread = None
        for fd in (self._stop_r, self._stop_w):
            if fd >= 0:
                os.close(fd)
        self._stop_r = self._stop_w = -1
        if self._listener is not None:
            self._listener.close()
            self._listener = None
        if self._map is not None:
            self._map[0] = 0  # a Desktop waiting on it goes on
            self._map.close()
            self._map = None
        control_files.pop(self.session.socket, None)


def _connect(target: str, timeout: float) -> socket.socket:
    """A connection to a websockify target: host:port or unix_socket:PATH."""
    kind, _, where = target.rpartition(":")
    if kind != "unix_socket":
        return socket.create_connection((kind.strip("[]"), int(where)), timeout=timeout)
    s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    try:
        s.settimeout(timeout)
        s.connect(where)
    except BaseException:
        s.close()
        raise
    return s


def _release_in(target: str, buttons: bool) -> None:
    """Connects to wayvnc as an RFB client (no security, shared) and lets go of every key, and of every
    button when `buttons` (the pointer then goes to the output's top left corner: RFB has no button
    event without a position)."""
    with _connect(target, 2.0) as s:
        def read(n: int) -> bytes:
            data = b""
            while len(data) < n:
                chunk = s.recv(n - len(data))
                if not chunk:
                    raise ValueError("wayvnc closed the connection")
                data += chunk
            return data

        if read(12) != b"RFB 003.008\n":
            raise ValueError("not an RFB 3.8 server")
        s.sendall(b"RFB 003.008\n")
        if 1 not in read(read(1)[0]):
            raise ValueError("wayvnc asks for authentication")
        s.sendall(b"\x01")
        if read(4) != b"\0\0\0\0":
            raise ValueError("wayvnc refused the connection")
        s.sendall(b"\x01")  # shared
        read(20)
        read(struct.unpack(">I", read(4))[0])
        messages = b"".join(struct.pack(">BBxxI", 4, 0, sym) for sym in RELEASED_KEYSYMS)
        if buttons:
            messages += struct.pack(">BBHH", 5, 0, 0, 0)
        s.sendall(messages)
        # wayvnc has read them all once it closes its end.
        s.shutdown(socket.SHUT_WR)
        while s.recv(65536):
            pass
