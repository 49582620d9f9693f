"""Watching a session live (HeadlessSession(view=..., control=...), pravlin-run --view): Debian's
chromium, in a second headless session, opens the page and is driven there as a person would."""

import base64
import json
import os
import select
import socket
import subprocess
import threading
import time
from pathlib import Path
from urllib.parse import urlsplit

import numpy as np
import pytest

from pravlin_desktop import Desktop
from pravlin_session import HeadlessSession

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


def websocket_first_bytes(url: str, token: str) -> bytes:
    """What websockify sends first on a WebSocket opened with `token` (empty when it sends nothing)."""
    parts = urlsplit(url)
    with socket.create_connection((parts.hostname, parts.port), timeout=5) as s:
        key = base64.b64encode(os.urandom(16)).decode()
        s.sendall((f"GET /websockify?token={token} HTTP/1.1\r\nHost: {parts.netloc}\r\nUpgrade: websocket\r\n"
                   f"Connection: Upgrade\r\nSec-WebSocket-Key: {key}\r\nSec-WebSocket-Version: 13\r\n"
                   "Sec-WebSocket-Protocol: binary\r\n\r\n").encode())
        data = b""
        try:
            while len(data) < 4096:
                chunk = s.recv(4096)
                if not chunk:
                    break
                data += chunk
                if b"RFB " in data:
                    break
        except socket.timeout:
            pass
    return data


def wait_for(predicate, what, timeout=20.0):
    deadline = time.monotonic() + timeout
    while not (found := predicate()):
        if time.monotonic() > deadline:
            raise AssertionError(f"no {what} within {timeout} s")
        time.sleep(0.1)
    return found


def test_a_browser_watches_every_output_and_takes_control_only_when_allowed(tmp_path):
    with (HeadlessSession("640x480,480x360", view=0, control=True) as watched,
          HeadlessSession("1200x700") as browser_session):
        watched.swaymsg("focus output HEADLESS-1")
        colour = watched.spawn(["/usr/bin/python3", str(HERE / "gtk_colour.py"), "#ff00ff"], stdin=subprocess.PIPE,
                               stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        assert colour.stdout.readline() == b"MAPPED\n"
        # Mapped before sway has placed it: it goes to the output focused then.
        wait_for(lambda: '"pravlin-gtk-colour"' in watched.swaymsg("-t", "get_tree"), "the window placed")
        watched.swaymsg("focus output HEADLESS-2")
        widgets = Peer(watched, ["/usr/bin/python3", str(HERE / "gtk_widgets.py")])
        entry = widgets.wait(lambda line: json.loads(line)["entry"] if '"width": 480' in line else None,
                             "the widgets laid out on output 2")
        # The entry's middle on the page: output 2 sits right of output 1, under the bar.
        ex, ey = 640 + entry[0] + entry[2] // 2, BAR + entry[1] + entry[3] // 2

        url = watched.view_url
        assert url.startswith("http://127.0.0.1:") and "token=" in url
        token = url.partition("token=")[2]
        assert b"RFB 003.008" in websocket_first_bytes(url, token + "-0")
        assert b"RFB" not in websocket_first_bytes(url, token[:-1] + "x-0"), "a wrong token reached wayvnc"
        assert b"RFB" not in websocket_first_bytes(url, "-0")

        browser = browser_session.spawn(
            ["chromium", "--no-sandbox", "--test-type", "--ozone-platform=wayland", "--no-first-run",
             "--disable-gpu", "--noerrdialogs", "--disable-features=Translate",
             f"--user-data-dir={tmp_path / 'profile'}", f"--app={url}"],
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        with Desktop(browser_session.socket) as person, Desktop(watched.socket) as agent:
            def page():
                return person.screenshot()[..., :3]

            shots = []
            wait_for(lambda: shots.append(page()) or shots[-1][BAR + 240, 320].tolist() == list(MAGENTA),
                     "magenta window")
            shot = shots[-1]
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
