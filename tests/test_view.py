"""Watching a session live (HeadlessSession(view=..., control=...), pravlin-run --view): Debian's
chromium, in a second headless session, opens the page and is driven there as a person would."""

import base64
import json
import os
import select
import socket
import struct
import subprocess
import threading
import time
from pathlib import Path
from urllib.parse import urlsplit

import pytest

from pravlin_desktop import Desktop, PersonHasControl
from pravlin_desktop.computer_use import AnthropicComputer, OpenAIComputer
from pravlin_session import HeadlessSession
from helpers import skip_applications_when_sanitized

HERE = Path(__file__).resolve().parent
MAGENTA = (255, 0, 255)
BAR = 32  # the page's bar above the outputs


class Peer:
    """A program of a session whose lines of output the test reads as they come."""

    def __init__(self, session, argv, **kwargs):
        self.proc = session.spawn(argv, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, **kwargs)
        self.lines: list[str] = []
        self._rest = b""

    def wait(self, predicate, what, timeout=15.0):
        deadline = time.monotonic() + timeout
        while True:
            for line in self.lines:
                if (found := predicate(line)) is not None:
                    return found
            left = deadline - time.monotonic()
            if left <= 0:
                raise AssertionError(f"no {what} within {timeout} s; output: {self.lines[-20:]}")
            self._read(left)

    def _read(self, timeout):
        if select.select([self.proc.stdout], [], [], timeout)[0]:
            chunk = os.read(self.proc.stdout.fileno(), 65536)
            assert chunk, f"{self.proc.args} exited; it printed {self.lines}"
            *done, self._rest = (self._rest + chunk).split(b"\n")
            self.lines += [d.decode(errors="replace") for d in done]

    def read_for(self, seconds):
        deadline = time.monotonic() + seconds
        while (left := deadline - time.monotonic()) > 0:
            self._read(left)


def entry_texts(peer):
    return [json.loads(line)["text"] for line in peer.lines
            if line.startswith("{") and json.loads(line).get("ev") == "entry"]


class WebSocket:
    """A WebSocket through the view's websockify, opened with `token`: binary messages both ways."""

    def __init__(self, url: str, token: str):
        parts = urlsplit(url)
        self.s = socket.create_connection((parts.hostname, parts.port), timeout=5)
        key = base64.b64encode(os.urandom(16)).decode()
        self.s.sendall((f"GET /websockify?token={token} HTTP/1.1\r\nHost: {parts.netloc}\r\nUpgrade: websocket\r\n"
                        f"Connection: Upgrade\r\nSec-WebSocket-Key: {key}\r\nSec-WebSocket-Version: 13\r\n"
                        "Sec-WebSocket-Protocol: binary\r\n\r\n").encode())
        self.head = b""
        while b"\r\n\r\n" not in self.head and (byte := self.s.recv(1)):
            self.head += byte
        self.buf = b""

    def read(self, n: int) -> bytes:
        """`n` bytes of the messages' payloads; fewer if the connection ends first."""
        while len(self.buf) < n:
            head = self._exactly(2)
            if len(head) < 2:
                break
            length = head[1] & 0x7F
            if length >= 126:
                length = int.from_bytes(self._exactly(2 if length == 126 else 8), "big")
            payload = self._exactly(length)
            if head[0] & 0x0F == 2:
                self.buf += payload
        out, self.buf = self.buf[:n], self.buf[n:]
        return out

    def _exactly(self, n: int) -> bytes:
        data = b""
        try:
            while len(data) < n and (chunk := self.s.recv(n - len(data))):
                data += chunk
        except OSError:
            pass
        return data

    def send(self, payload: bytes) -> None:
        mask = os.urandom(4)
        head = bytes([0x82, 0x80 | 126]) + struct.pack(">H", len(payload))
        self.s.sendall(head + mask + bytes(b ^ mask[i % 4] for i, b in enumerate(payload)))

    def close(self) -> None:
        self.s.close()


class Rfb(WebSocket):
    """A bare VNC client through websockify (no security, shared), as a page that misbehaves would be."""

    def __init__(self, url: str, token: str):
        super().__init__(url, token)
        assert self.read(12) == b"RFB 003.008\n", self.head
        self.send(b"RFB 003.008\n")
        assert 1 in self.read(self.read(1)[0])
        self.send(b"\x01")
        assert self.read(4) == b"\0\0\0\0"
        self.send(b"\x01")
        self.read(20)
        self.read(struct.unpack(">I", self.read(4))[0])

    def click(self, x: int, y: int) -> None:
        self.send(struct.pack(">BBHHBBHH", 5, 1, x, y, 5, 0, x, y))

    def key(self, keysym: int, down: bool) -> None:
        self.send(struct.pack(">BBxxI", 4, down, keysym))


def greeting(url: str, token: str) -> bytes:
    """What websockify sends first on a WebSocket opened with `token` (nothing for a wrong one)."""
    ws = WebSocket(url, token)
    try:
        return ws.read(12)
    finally:
        ws.close()


def gtk_widgets_on(session, output: str | None = None) -> tuple["Peer", list[int]]:
    if output:
        session.swaymsg(f"focus output {output}")
    widgets = Peer(session, ["/usr/bin/python3", str(HERE / "gtk_widgets.py")])
    size = '"width": 480'
    entry = widgets.wait(lambda line: json.loads(line)["entry"] if size in line else None, "the widgets laid out")
    return widgets, entry


def wait_for(predicate, what, timeout=20.0):
    deadline = time.monotonic() + timeout
    while not (found := predicate()):
        if time.monotonic() > deadline:
            raise AssertionError(f"no {what} within {timeout} s")
        time.sleep(0.1)
    return found


@skip_applications_when_sanitized
def test_a_browser_watches_every_output_and_takes_control_only_when_allowed(tmp_path):
    with (HeadlessSession("640x480,480x360", view=0, control=True) as watched,
          HeadlessSession("1200x700") as browser_session):
        watched.swaymsg("focus output HEADLESS-1")
        colour = watched.spawn(["/usr/bin/python3", str(HERE / "gtk_colour.py"), "#ff00ff"], stdin=subprocess.PIPE,
                               stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        assert colour.stdout.readline() == b"MAPPED\n"
        # Mapped before sway has placed it: it goes to the output focused then.
        wait_for(lambda: '"pravlin-gtk-colour"' in watched.swaymsg("-t", "get_tree"), "the window placed")
        widgets, entry = gtk_widgets_on(watched, "HEADLESS-2")
        # The entry's middle on the page: output 2 sits right of output 1, under the bar.
        ex, ey = 640 + entry[0] + entry[2] // 2, BAR + entry[1] + entry[3] // 2

        url = watched.view_url
        assert url.startswith("http://127.0.0.1:") and "token=" in url
        token = url.partition("token=")[2]
        assert greeting(url, token + "-0") == b"RFB 003.008\n"
        assert greeting(url, token[:-1] + "x-0") == b"", "a wrong token reached wayvnc"
        assert greeting(url, "-0") == b""

        browser = browser_session.spawn(
            ["chromium", "--no-sandbox", "--test-type", "--ozone-platform=wayland", "--no-first-run",
             "--disable-gpu", "--noerrdialogs", "--disable-features=Translate",
             f"--user-data-dir={tmp_path / 'profile'}", f"--app={url}"],
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        with Desktop(browser_session.socket) as person, Desktop(watched.socket) as agent:
            def page():
                return person.screenshot()[..., :3]

            def shows_the_window():
                nonlocal shot
                shot = page()
                return shot[BAR + 240, 320].tolist() == list(MAGENTA)

            shot = None
            wait_for(shows_the_window, "the magenta window on the page")
            # Output 1 shows the magenta window, output 2 (the entry's window) does not, and the page
            # shows nothing of either beyond the layout.
            assert (shot[BAR + 10:BAR + 470, 10:630] == MAGENTA).all(axis=-1).mean() > 0.95
            assert not (shot[BAR + 100:BAR + 350, 650:1110] == MAGENTA).all(axis=-1).any()
            assert not (shot[BAR + 370:, 660:] == MAGENTA).all(axis=-1).any()

            # Watching only: the page sends nothing.
            person.click(ex, ey)
            person.type("no")
            widgets.read_for(1.5)
            assert entry_texts(widgets) == [], "the page sent input before taking control"
            assert not agent.person_has_control

            # The button shows once the page's control channel is open.
            wait_for(lambda: page()[16, 20].sum() > 500, "the control button")
            person.click(68, 16)  # "Take control"
            wait_for(lambda: watched.person_has_control, "control taken")
            done = threading.Event()
            waiting = threading.Thread(target=lambda: (agent.click(5, 5), done.set()), daemon=True)
            waiting.start()
            person.click(ex, ey)
            person.type("hello")
            widgets.wait(lambda line: True if '"hello"' in line else None, "typed text in the entry")
            assert not done.wait(1.0), "Desktop.click went on while the person had control"

            person.click(68, 16)  # "Hand back"
            wait_for(lambda: not watched.person_has_control, "control handed back", timeout=10)
            assert done.wait(5.0), "Desktop.click did not go on once control was handed back"
            waiting.join()
        browser.kill()


def test_view_only_holds_agents_hear_a_person_has_control_and_no_key_stays_down_when_a_page_goes():
    # Without control wayvnc takes no input, whatever a client sends.
    with HeadlessSession("480x360", view=0) as watched:
        widgets, entry = gtk_widgets_on(watched)
        token = watched.view_url.partition("token=")[2]
        client = Rfb(watched.view_url, token + "-0")
        client.click(entry[0] + 20, entry[1] + 10)
        client.key(ord("v"), True)
        client.key(ord("v"), False)
        widgets.read_for(1.5)
        client.close()
        assert entry_texts(widgets) == [], "a view-only session took input"

    # With control, a page that goes away holding a key (a crash, a lost network) leaves nothing down:
    # the key would repeat in the window for as long as it stayed down.
    # The agent's side lets go of what it holds between actions once the person takes control.
    with HeadlessSession("480x360", view=0, control=True) as watched, Desktop(watched.socket) as holding:
        widgets, entry = gtk_widgets_on(watched)
        holding.key_down("shift")
        holding.mouse_down()
        assert all(holding._c.held())
        token = watched.view_url.partition("token=")[2]
        control = WebSocket(watched.view_url, token + "-control")
        control.send(b"take\n")
        assert control.read(6) == b"taken\n"
        assert watched.person_has_control
        wait_for(lambda: not any(holding._c.held()), "the agent's key and button let go of", timeout=5)
        # What the agent's side is told meanwhile, instead of waiting, when it asks so.
        with Desktop(watched.socket, person_control="raise") as agent:
            with pytest.raises(PersonHasControl):
                agent.click(5, 5)
            anthropic = AnthropicComputer(agent, person_control="report", screenshots=False)
            result = anthropic.tool_result({"type": "tool_use", "id": "t1",
                                            "input": {"action": "left_click", "coordinate": [5, 5]}})
            assert result["is_error"] and "a person" in result["content"][0]["text"], result
            assert anthropic.run({"action": "screenshot"})[0]["type"] == "image"
            openai = OpenAIComputer(agent, person_control="report")
            assert "a person" in openai.run({"type": "click", "button": "left", "x": 5, "y": 5})
        client = Rfb(watched.view_url, token + "-0")
        client.click(entry[0] + 20, entry[1] + 10)
        client.key(ord("a"), True)
        widgets.wait(lambda line: True if '"text": "a"' in line else None, "the key's first character")
        client.close()
        control.close()
        wait_for(lambda: not watched.person_has_control, "control back", timeout=10)
        widgets.read_for(0.3)
        typed = entry_texts(widgets)[-1]
        widgets.read_for(1.5)  # sway repeats a held key after 0.6 s, 25 times a second
        assert entry_texts(widgets)[-1] == typed, "the key stayed down after the page went away"
