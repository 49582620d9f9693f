"""What watching a session live costs: CPU of the session with and without a browser watching, and the
delay from a change on the screen to the browser showing it, measured in one run.

    python3 benchmarks/bench_view.py [--seconds S] [--changes N] [--output 1280x720]

The watched session runs a window of one colour (tests/gtk_colour.py). Its CPU is the compositor's and
every process of the viewer's (wayvnc, websockify and its per-connection children), summed from
/proc over S seconds, in four states: idle screen and changing screen (the window's colour changes 30
times a second), each with no viewer connected and with Debian's chromium, in a second headless
session, showing the page. The delay: the window's colour changes, and one loop takes screenshots of
the watched session itself (the floor: the compositor has drawn it) and of the browser's session until
each shows the new colour; medians of N changes, and the ratio of page to floor. Last, what a
Desktop's look at the control file costs each action, against the same call on a Desktop of a
session without one, and against one key press (a round trip).
"""

import argparse
import os
import socket
import statistics
import struct
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path

from pravlin_desktop import Desktop
from pravlin_session import HeadlessSession

HERE = Path(__file__).resolve().parent
COLOUR = HERE.parent / "tests" / "gtk_colour.py"
BAR = 32
TICK = os.sysconf("SC_CLK_TCK")
COLOURS = ["#ff0000", "#00ff00", "#0000ff", "#ffff00"]


def rgb(colour):
    """As a screenshot holds it: blue, green, red."""
    return [int(colour[i:i + 2], 16) for i in (5, 3, 1)]


def group_cpu(pgids: set[int], pids: set[int]) -> float:
    """CPU seconds used so far by the processes of these groups, and these processes."""
    total = 0
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open(f"/proc/{entry}/stat", "rb") as f:
                fields = f.read().rpartition(b")")[2].split()
        except OSError:
            continue
        if int(fields[2]) in pgids or int(entry) in pids:
            total += int(fields[11]) + int(fields[12])  # utime, stime
    return total / TICK


def session_cpu(session, seconds: float) -> float:
    pgids = {p.pid for p, leads in session._clients if leads and p.args[0] in ("wayvnc", "websockify")}
    before = group_cpu(pgids, {session.compositor_pid})
    time.sleep(seconds)
    return (group_cpu(pgids, {session.compositor_pid}) - before) / seconds


class BareVnc:
    """An RFB client on a wayvnc socket that asks for one pixel, raw, and waits for it to change."""

    def __init__(self, path: str):
        self.s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        self.s.connect(path)
        self.s.settimeout(10)
        assert self.read(12) == b"RFB 003.008\n"
        self.s.sendall(b"RFB 003.008\n")
        assert 1 in self.read(self.read(1)[0])
        self.s.sendall(b"\x01")
        assert self.read(4) == b"\0\0\0\0"
        self.s.sendall(b"\x01")
        self.read(4)
        (self.bpp, _, self.big, _, self.rmax, self.gmax, self.bmax, self.rshift, self.gshift,
         self.bshift) = struct.unpack(">BBBBHHHBBBxxx", self.read(16))
        self.read(struct.unpack(">I", self.read(4))[0])
        self.s.sendall(struct.pack(">BxHi", 2, 1, 0))  # raw only

    def read(self, n: int) -> bytes:
        data = b""
        while len(data) < n:
            chunk = self.s.recv(n - len(data))
            if not chunk:
                raise ConnectionError("wayvnc closed the connection")
            data += chunk
        return data

    def ask(self, x: int, y: int, incremental: bool) -> None:
        self.s.sendall(struct.pack(">BBHHHH", 3, incremental, x, y, 1, 1))

    def pixel(self) -> list[int]:
        """The pixel of the next update, blue, green, red."""
        while True:
            kind = self.read(1)[0]
            if kind == 0:
                found = None
                for _ in range(struct.unpack(">xH", self.read(3))[0]):
                    x, y, w, h, encoding = struct.unpack(">HHHHi", self.read(12))
                    assert encoding == 0, encoding
                    data = self.read(w * h * self.bpp // 8)
                    value = int.from_bytes(data[:self.bpp // 8], "big" if self.big else "little")
                    found = [(value >> shift & top) * 255 // top for shift, top in
                             ((self.bshift, self.bmax), (self.gshift, self.gmax), (self.rshift, self.rmax))]
                if found is not None:
                    return found
            elif kind == 2:  # bell
                continue
            elif kind == 3:  # cut text
                self.read(struct.unpack(">xxxI", self.read(7))[0])
            else:
                raise ValueError(f"unexpected RFB message {kind}")

    def close(self):
        self.s.close()


class Painter:
    """Changes the window's colour `rate` times a second while running."""

    def __init__(self, window, rate=30.0):
        self.window, self.rate = window, rate
        self.stop = threading.Event()
        self.thread = threading.Thread(target=self.run, daemon=True)

    def run(self):
        n = 0
        while not self.stop.wait(1 / self.rate):
            n += 1
            self.window.stdin.write(f"{COLOURS[n % len(COLOURS)]}\n".encode())
            self.window.stdin.flush()

    def __enter__(self):
        self.thread.start()

    def __exit__(self, *exc):
        self.stop.set()
        self.thread.join()
        self.window.stdin.write(f"{COLOURS[0]}\n".encode())
        self.window.stdin.flush()


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--seconds", type=float, default=5.0)
    ap.add_argument("--changes", type=int, default=15)
    ap.add_argument("--output", default="1280x720")
    args = ap.parse_args()
    width, height = map(int, args.output.split("x"))
    with (tempfile.TemporaryDirectory(ignore_cleanup_errors=True) as profile,
          HeadlessSession(args.output, view=0, control=True) as watched,
          HeadlessSession(f"{width + 40}x{height + BAR + 40}") as browsing):
        window = watched.spawn(["/usr/bin/python3", str(COLOUR),
                                COLOURS[0]], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                               stderr=subprocess.DEVNULL)
        assert window.stdout.readline() == b"MAPPED\n"
        time.sleep(1.0)
        cpu = {}
        cpu["idle, no viewer"] = session_cpu(watched, args.seconds)
        with Painter(window):
            cpu["changing, no viewer"] = session_cpu(watched, args.seconds)
        browser = browsing.spawn(
            ["chromium", "--no-sandbox", "--test-type", "--ozone-platform=wayland", "--no-first-run",
             "--disable-gpu", "--noerrdialogs", f"--user-data-dir={profile}", f"--app={watched.view_url}"],
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        own, page = Desktop(watched.socket), Desktop(browsing.socket)
        spot_own, spot_page = (width // 2, height // 2), (width // 2, BAR + height // 2)
        deadline = time.monotonic() + 30
        while page.screenshot()[spot_page[1], spot_page[0], :3].tolist() != rgb(COLOURS[0]):
            if time.monotonic() > deadline:
                sys.exit("the page did not show the window within 30 s")
            time.sleep(0.1)
        time.sleep(1.0)
        cpu["idle, browser watching"] = session_cpu(watched, args.seconds)
        with Painter(window):
            cpu["changing, browser watching"] = session_cpu(watched, args.seconds)
        floor, shown = [], []
        for n in range(args.changes):
            colour = COLOURS[(n + 1) % len(COLOURS)]
            time.sleep(0.3)
            want = rgb(colour)
            t0 = time.monotonic()
            window.stdin.write(f"{colour}\n".encode())
            window.stdin.flush()
            t_own = t_page = None
            while t_page is None and time.monotonic() - t0 < 5:
                if t_own is None and own.screenshot()[spot_own[1], spot_own[0], :3].tolist() == want:
                    t_own = time.monotonic() - t0
                if page.screenshot()[spot_page[1], spot_page[0], :3].tolist() == want:
                    t_page = time.monotonic() - t0
            if t_own is not None and t_page is not None:
                floor.append(t_own)
                shown.append(t_page)
        browser.kill()
        page.close()
        bare, vnc = [], BareVnc(str(watched._live.dir / "output-0.sock"))
        vnc.ask(*spot_own, False)
        vnc.pixel()
        for n in range(args.changes):
            colour = COLOURS[(n + 1) % len(COLOURS)]
            time.sleep(0.3)
            vnc.ask(*spot_own, True)
            t0 = time.monotonic()
            window.stdin.write(f"{colour}\n".encode())
            window.stdin.flush()
            while vnc.pixel() != rgb(colour):
                vnc.ask(*spot_own, True)
            bare.append(time.monotonic() - t0)
        vnc.close()
        rounds = 200_000
        plain = Desktop(browsing.socket)
        checks = {}
        for name, d in (("mapped control file", own), ("no control file", plain)):
            t0 = time.perf_counter()
            for _ in range(rounds):
                d._turn()
            checks[name] = (time.perf_counter() - t0) / rounds
        t0 = time.perf_counter()
        for _ in range(2000):
            own.key("shift")
        key_press = (time.perf_counter() - t0) / 2000
        own.close()
        plain.close()
    print(f"watched session: one {args.output} output, {os.cpu_count()} CPUs; CPU of compositor + wayvnc + "
          "websockify, in CPUs used")
    for state, value in cpu.items():
        print(f"  {state:28s} {value:6.3f}")
    print(f"delay from a colour change to it showing, median of {len(shown)} changes:")
    if shown:
        f, s = statistics.median(floor), statistics.median(shown)
        print(f"  the session's own screenshot  {f * 1000:7.1f} ms  (floor)")
        print(f"  the browser's page            {s * 1000:7.1f} ms  ({s / f:.1f} x floor; max {max(shown) * 1000:.0f} ms)")
        b = statistics.median(bare)
        print(f"  a bare VNC client on wayvnc   {b * 1000:7.1f} ms  ({b / f:.1f} x floor; max {max(bare) * 1000:.0f} ms)")
    mapped, none = checks["mapped control file"], checks["no control file"]
    print(f"a Desktop's look before each action: {mapped * 1e6:.3f} us with the control file, {none * 1e6:.3f} us "
          f"without ({mapped / none:.2f}x); {mapped / key_press * 100:.2f}% of a key press ({key_press * 1e6:.1f} us)")


if __name__ == "__main__":
    main()
