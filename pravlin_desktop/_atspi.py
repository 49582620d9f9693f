"""AT-SPI over D-Bus with dbus-fast: the calls of one step of a tree read are sent together and their
replies matched as they come, so a read costs a few round trips rather than one per node and attribute.
dbus-fast (de)serialises in compiled code; its asyncio connection runs on a thread of its own, so that
callers inside an event loop of their own (the MCP server's) can read too."""

from __future__ import annotations

import asyncio
import json
import os
import socket
import struct
import threading
from collections.abc import Mapping, Sequence

try:
    from dbus_fast import Message, MessageType, Variant
    from dbus_fast.aio import MessageBus
except ImportError as error:  # pragma: no cover - without the extra
    raise ImportError("the accessibility tree needs dbus-fast: pip install 'pravlin[accessibility]'") from error

# AT-SPI's role numbers, in order, by the names pyatspi's getRoleName() gives.
ROLES = (
    "invalid", "accelerator label", "alert", "animation", "arrow", "calendar", "canvas", "check box",
    "check menu item", "color chooser", "column header", "combo box", "date editor", "desktop icon",
    "desktop frame", "dial", "dialog", "directory pane", "drawing area", "file chooser", "filler",
    "focus traversable", "font chooser", "frame", "glass pane", "html container", "icon", "image",
    "internal frame", "label", "layered pane", "list", "list item", "menu", "menu bar", "menu item",
    "option pane", "page tab", "page tab list", "panel", "password text", "popup menu", "progress bar",
    "push button", "radio button", "radio menu item", "root pane", "row header", "scroll bar",
    "scroll pane", "separator", "slider", "spin button", "split pane", "status bar", "table",
    "table cell", "table column header", "table row header", "tearoff menu item", "terminal", "text",
    "toggle button", "tool bar", "tool tip", "tree", "tree table", "unknown", "viewport", "window",
    "extended", "header", "footer", "paragraph", "ruler", "application", "autocomplete", "editbar",
    "embedded", "entry", "chart", "caption", "document frame", "heading", "page", "section",
    "redundant object", "form", "link", "input method window", "table row", "tree item",
    "document spreadsheet", "document presentation", "document text", "document web", "document email",
    "comment", "list box", "grouping", "image map", "notification", "info bar", "level bar", "title bar",
    "block quote", "audio", "video", "definition", "article", "landmark", "log", "marquee", "math",
    "rating", "timer", "static", "math fraction", "math root", "subscript", "superscript",
    "description list", "description term", "description value", "footnote", "content deletion",
    "content insertion", "mark", "suggestion", "push button menu",
)
# AT-SPI's state bits, by the names OSWorld's XML gives them (pyatspi's STATE_X, lower case).
STATES = (
    "invalid", "active", "armed", "busy", "checked", "collapsed", "defunct", "editable", "enabled",
    "expandable", "expanded", "focusable", "focused", "has_tooltip", "horizontal", "iconified", "modal",
    "multi_line", "multiselectable", "opaque", "pressed", "resizable", "selectable", "selected",
    "sensitive", "showing", "single_line", "stale", "transient", "vertical", "visible",
    "manages_descendants", "indeterminate", "required", "truncated", "animated", "invalid_entry",
    "supports_autocompletion", "selectable_text", "is_default", "visited", "checkable", "has_popup",
    "read_only",
)
_SHOWING = STATES.index("showing")
_VISIBLE = STATES.index("visible")
COORDS_WINDOW = 1

REGISTRY = ("org.a11y.atspi.Registry", "/org/a11y/atspi/accessible/root")
ACCESSIBLE = "org.a11y.atspi.Accessible"
COMPONENT = "org.a11y.atspi.Component"
TEXT = "org.a11y.atspi.Text"
VALUE = "org.a11y.atspi.Value"
ACTION = "org.a11y.atspi.Action"
APPLICATION = "org.a11y.atspi.Application"
PROPERTIES = "org.freedesktop.DBus.Properties"
NULL_PATH = "/org/a11y/atspi/null"
_IN_FLIGHT = 128  # calls of a batch sent before the first replies are in


class AccessibilityUnavailable(RuntimeError):
    """No accessibility bus to read: the session was started without one, or it has gone."""


class CallFailed(Exception):
    def __init__(self, name: str, text: str):
        super().__init__(f"{name}: {text}")
        self.name = name


def states_of(bits: Sequence[int]) -> frozenset[str]:
    low, high = (list(bits) + [0, 0])[:2]
    word = low | (high << 32)
    return frozenset(name for n, name in enumerate(STATES) if word >> n & 1 and n)


def is_showing(bits: Sequence[int]) -> bool:
    return bool(bits and bits[0] >> _SHOWING & 1 and bits[0] >> _VISIBLE & 1)


def is_visible(bits: Sequence[int]) -> bool:
    return bool(bits and bits[0] >> _VISIBLE & 1)


def role_name(number: int) -> str:
    return ROLES[number] if 0 <= number < len(ROLES) else "unknown"


def a11y_bus_address(environ: Mapping[str, str]) -> str | None:
    """The accessibility bus's address, if AT_SPI_BUS_ADDRESS gives it; None to ask the session bus."""
    if environ.get("AT_SPI_BUS_ADDRESS"):
        return environ["AT_SPI_BUS_ADDRESS"]
    if not environ.get("DBUS_SESSION_BUS_ADDRESS"):
        raise AccessibilityUnavailable(
            "no accessibility bus: neither AT_SPI_BUS_ADDRESS nor DBUS_SESSION_BUS_ADDRESS is set (start the "
            "session with accessibility, the default of HeadlessSession and pravlin-run)")
    return None


def plain(value):
    """A D-Bus variant's value."""
    return value.value if isinstance(value, Variant) else value


class Bus:
    """A connection to the accessibility bus that sends calls in batches."""

    def __init__(self, environ: Mapping[str, str] | None = None, timeout: float = 10.0):
        environ = os.environ if environ is None else environ
        self.timeout = timeout
        self._peers: dict[str, MessageBus | None] = {}
        self._loop = asyncio.new_event_loop()
        # A connection that ends (the session stopped) fails the calls waiting on it; its reader's
        # own report of the end would only be noise on stderr.
        self._loop.set_exception_handler(lambda loop, context: None)
        self._thread = threading.Thread(target=self._loop.run_forever, name="pravlin-atspi", daemon=True)
        self._thread.start()
        try:
            address = (a11y_bus_address(environ)
                       or self._run(self._launcher_address(environ["DBUS_SESSION_BUS_ADDRESS"])))
            self._bus = self._run(self._connect(address))
        except (OSError, TimeoutError, EOFError) as e:
            self.close()
            raise AccessibilityUnavailable(f"cannot connect to the accessibility bus: {e}") from None
        except BaseException:
            self.close()
            raise

    @staticmethod
    async def _connect(address: str) -> MessageBus:
        return await MessageBus(bus_address=address).connect()

    async def _launcher_address(self, session: str) -> str:
        bus = await MessageBus(bus_address=session).connect()
        try:
            reply = await bus.call(Message(destination="org.a11y.Bus", path="/org/a11y/bus",
                                           interface="org.a11y.Bus", member="GetAddress"))
        finally:
            bus.disconnect()
        if reply.message_type == MessageType.ERROR:
            raise AccessibilityUnavailable(f"the session bus has no accessibility bus launcher: {reply.body}")
        return reply.body[0]

    def _run(self, coro):
        future = asyncio.run_coroutine_threadsafe(coro, self._loop)
        try:
            return future.result(self.timeout)
        except TimeoutError:
            future.cancel()
            raise TimeoutError(f"the accessibility bus did not answer within {self.timeout:g} s") from None

    def use_peers(self, addresses: Mapping[str, tuple[str, int]]) -> None:
        """Connects straight to applications (bus name: the address of its own socket, from
        GetApplicationBusAddress, and its process id, from the bus), as libatspi does: their calls
        then skip the bus daemon, which would otherwise read and route each message twice. The
        socket must belong to that process: toolkits put it in XDG_RUNTIME_DIR, where another
        account may be able to put one of its own. An application that cannot be reached so stays on
        the bus."""
        new = {name: where for name, where in addresses.items() if name not in self._peers}
        if new:
            self._peers.update(self._run(self._connect_peers(new)))

    async def _connect_peers(self, addresses: Mapping[str, tuple[str, int]]) -> dict:
        async def one(address, pid):
            try:
                return await asyncio.wait_for(_PeerBus(bus_address=address, expected_pid=pid).connect(), 2.0)
            except Exception:  # any failure leaves the application on the bus
                return None
        connected = await asyncio.gather(*(one(*where) for where in addresses.values()))
        return dict(zip(addresses, connected))

    def close(self) -> None:
        if self._loop.is_closed():
            return
        bus = getattr(self, "_bus", None)
        for peer in [*getattr(self, "_peers", {}).values(), bus]:
            if peer is not None:
                self._loop.call_soon_threadsafe(peer.disconnect)
        self._loop.call_soon_threadsafe(self._loop.stop)
        self._thread.join(5.0)
        if not self._thread.is_alive():
            self._loop.close()

    def batch(self, calls: Sequence[tuple]) -> list:
        """Sends every call, then gathers the replies: each a list of values, or a CallFailed.
        A call is (destination, path, interface, method) or that with (signature, args) after it."""
        if not calls:
            return []
        return self._run(self._batch(calls))

    async def _batch(self, calls: Sequence[tuple]) -> list:
        # Replies are taken by a message handler, which sends the next call as each reply comes:
        # cheaper than a coroutine and a future per call. dbus-fast (to 5.2 at least) takes a send()
        # that finds the socket's buffer full for the end of the connection, so the calls in flight
        # are kept to what the buffers hold.
        if not self._bus.connected:
            raise OSError("the connection to the accessibility bus has ended")
        loop = self._loop
        results: list = [None] * len(calls)
        pending: dict[tuple[int, int], int] = {}
        done = loop.create_future()
        sent, left = 0, len(calls)
        connections = []
        for c in calls:
            peer = self._peers.get(c[0])
            connections.append(peer if peer is not None and peer.connected else self._bus)

        def finish(i, result):
            nonlocal left
            results[i] = result
            left -= 1
            if not left and not done.done():
                done.set_result(None)

        def send_next():
            nonlocal sent
            while sent < len(calls):
                c, conn = calls[sent], connections[sent]
                sent += 1
                if not conn.connected:  # an application that went away meanwhile
                    finish(sent - 1, CallFailed("org.freedesktop.DBus.Error.Disconnected", "the application is gone"))
                    continue
                msg = Message(destination=c[0], path=c[1], interface=c[2], member=c[3],
                              signature=c[4] if len(c) > 4 else "", body=list(c[5]) if len(c) > 5 else [],
                              serial=conn.next_serial())
                pending[id(conn), msg.serial] = sent - 1
                conn.send(msg)
                return

        def handler(conn):
            key = id(conn)

            def on_message(msg):
                i = pending.pop((key, msg.reply_serial), None) if msg.message_type in _REPLIES else None
                if i is None:
                    return False
                finish(i, CallFailed(msg.error_name or "error", str(msg.body[0]) if msg.body else "")
                       if msg.message_type == MessageType.ERROR else msg.body)
                send_next()
                return True
            return on_message

        async def watch(conn):
            try:
                await conn.wait_for_disconnect()
            except Exception:  # the cause of the end: ended is what counts here
                pass
            lost = [k for k in pending if k[0] == id(conn)]
            for k in lost:
                finish(pending.pop(k), CallFailed("org.freedesktop.DBus.Error.Disconnected", "the application is gone"))
            for _ in lost:
                send_next()

        handlers = {id(conn): (conn, handler(conn)) for conn in connections}
        watches = [loop.create_task(watch(conn)) for conn, _ in handlers.values() if conn is not self._bus]
        for conn, on_message in handlers.values():
            conn.add_message_handler(on_message)
        try:
            for _ in range(min(len(calls), _IN_FLIGHT)):
                send_next()
            await done
        finally:
            for task in watches:
                task.cancel()
            for conn, on_message in handlers.values():
                conn.remove_message_handler(on_message)
        return results


class _PeerBus(MessageBus):
    """A connection straight to an application's own socket. dbus-fast's connect() says Hello to a
    bus daemon, which a peer does not answer; this is that connect() without it, and with a check
    that the process at the other end is `expected_pid`."""

    def __init__(self, *, bus_address: str, expected_pid: int):
        super().__init__(bus_address=bus_address)
        self.expected_pid = expected_pid

    async def connect(self) -> MessageBus:
        from dbus_fast.aio.message_bus import _MessageWriter
        from dbus_fast.aio.message_reader import build_message_reader

        transport, options = self._bus_address[0]
        sock, stream, address = self._create_socket_for_transport(transport, options)
        try:
            sock.setblocking(False)
            await self._loop.sock_connect(sock, address)
            if sock.family != socket.AF_UNIX:
                raise OSError("not a Unix socket")
            pid, _, _ = struct.unpack("3i", sock.getsockopt(socket.SOL_SOCKET, socket.SO_PEERCRED,
                                                            struct.calcsize("3i")))
            if pid != self.expected_pid:
                raise PermissionError(f"the socket at {address} is process {pid}'s, not the application's")
            self._sock, self._stream, self._fd = sock, stream, sock.fileno()
            self._writer = _MessageWriter(self)
            await self._authenticate()
        except BaseException:
            stream.close()
            sock.close()
            raise
        self._loop.add_reader(self._fd, build_message_reader(self._sock, self._process_message, self._finalize,
                                                             self._negotiate_unix_fd))
        self.unique_name = ":peer"
        return self


_REPLIES = (MessageType.METHOD_RETURN, MessageType.ERROR)


def sway_tree(path: str | None) -> dict | None:
    """sway's layout tree over its IPC socket (GET_TREE), or None without sway."""
    if not path:
        return None
    with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as s:
        try:
            s.connect(path)
            s.sendall(b"i3-ipc" + struct.pack("=II", 0, 4))
            head = _read_exactly(s, 14)
            (length, _), body = struct.unpack("=II", head[6:]), b""
            body = _read_exactly(s, length)
        except OSError:
            return None
    return json.loads(body)


def _read_exactly(s: socket.socket, n: int) -> bytes:
    data = bytearray()
    while len(data) < n:
        chunk = s.recv(n - len(data))
        if not chunk:
            raise OSError("sway's IPC closed the connection")
        data += chunk
    return bytes(data)


def sway_windows(tree: dict | None) -> list[dict]:
    """The windows in sway's tree that have a process id."""
    out: list[dict] = []

    def walk(node):
        if node.get("pid") and node.get("type") in ("con", "floating_con") and not node.get("nodes") \
                and node.get("visible", True):
            out.append(node)
        for child in node.get("nodes", ()) + node.get("floating_nodes", ()):
            walk(child)
    if tree:
        walk(tree)
    return out
