"""How fast Desktop.type() goes now that it keeps to the pace of the window receiving the keys, each
figure against a peer measured in the same run:

  short  type("hello"), with no window focused (the cost of the call itself: one round trip and one
         look at the compositor's clients), against key("ctrl+s"), one step of one round trip;
  foot   11,000 characters (200 lines of 55) at full speed into `cat > file` in foot, which reads
         slower than that, against wtype typing 36 of the lines; every character must arrive;
  gtk    2,000 characters into a GTK 3 entry, which reads far slower (it lays the whole line out
         again for each key), against wtype typing the same; every character must arrive.

Usage (after `pip install .`, from anywhere):
    python3 benchmarks/bench_typing.py [--calls N] [--runs N] [--parts short,foot,gtk]
"""

import argparse
import os
import shutil
import select
import statistics
import subprocess
import sys
import tempfile
import textwrap
import time
from pathlib import Path

from pravlin_desktop import Desktop
from pravlin_session import HeadlessSession

sys.path.insert(0, str(Path(__file__).resolve().parent))
from bench_desktop import focused  # noqa: E402

LINE = "abcdefghijKLMNOPQRST0123456789 the quick (brown) fox j"
GTK_ENTRY = textwrap.dedent("""
    import gi
    gi.require_version("Gtk", "3.0")
    from gi.repository import Gtk
    window = Gtk.Window()
    entry = Gtk.Entry()
    window.add(entry)
    entry.connect("changed", lambda e: print(e.get_text_length(), flush=True))
    window.connect("map-event", lambda *_: print("ready", flush=True))
    window.show_all()
    Gtk.main()
""")


def short(session, args):
    with Desktop(session.socket) as d:
        for f in (lambda: d.type("hello"), lambda: d.key("ctrl+s")):
            for _ in range(200):
                f()
        samples = {"type": [], "key": []}
        clock = time.perf_counter_ns
        for _ in range(args.runs):
            for name, f in (("type", lambda: d.type("hello")), ("key", lambda: d.key("ctrl+s"))):
                for _ in range(args.calls):
                    start = clock()
                    f()
                    samples[name].append(clock() - start)
    t, k = (statistics.median(samples[n]) / 1e3 for n in ("type", "key"))
    print(f"short: medians of {args.runs} x {args.calls} calls, no window focused")
    print(f"  type('hello')   {t:7.1f} us")
    print(f"  key('ctrl+s')   {k:7.1f} us   type('hello') = {t / k:4.2f}x key('ctrl+s')")


def wait_file(path, want, timeout):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if path.exists() and path.read_bytes() == want:
            return True
        time.sleep(0.005)
    return False


def into_foot(session, tmp, who, text):
    out = tmp / f"{who}.txt"
    foot = session.spawn(["foot", "sh", "-c", f"cat > {out}"], stderr=subprocess.DEVNULL)
    try:
        focused(session, foot.pid)
        with Desktop(session.socket) as d:
            start = time.perf_counter()
            if who == "wtype":
                subprocess.run(["wtype", "--", text], env=session.environ(), check=True)
            else:
                d.type(text)
            arrived = wait_file(out, text.encode(), 60)
            elapsed = time.perf_counter() - start
            d.key("ctrl+d")
        foot.wait(10)
        return elapsed, arrived and foot.returncode == 0
    finally:
        if foot.poll() is None:
            os.killpg(foot.pid, 9)
            foot.wait()


def foot(session, args):
    tmp = Path(tempfile.mkdtemp(prefix="bench-typing-"))
    try:
        text = (LINE + "\n") * 200
        ours = [into_foot(session, tmp, f"ours{i}", text) for i in range(args.runs)]
        theirs = into_foot(session, tmp, "wtype", text[:len(LINE + "\n") * 36])
    finally:
        shutil.rmtree(tmp, ignore_errors=True)
    t = statistics.median(e for e, _ in ours)
    ok = all(a for _, a in ours) and theirs[1]
    print(f"foot: `cat > file`, time until the file holds every character; median of {args.runs} runs")
    print(f"  type()  {len(text)} characters {t:7.3f} s = {len(text) / t:8.0f} characters/s")
    few = len(LINE + "\n") * 36
    print(f"  wtype    {few} characters {theirs[0]:7.3f} s = {few / theirs[0]:8.0f} characters/s")
    print(f"  {len(text) / t / (few / theirs[0]):.0f}x wtype's rate; every character arrived, foot alive: {ok}")


def into_gtk(session, who, text):
    app = session.spawn(["/usr/bin/python3", "-u", "-c", GTK_ENTRY], stdout=subprocess.PIPE,
                        stderr=subprocess.DEVNULL, env={"GDK_BACKEND": "wayland"})
    try:
        assert app.stdout.readline() == b"ready\n"
        time.sleep(0.5)
        with Desktop(session.socket) as d:
            start = time.perf_counter()
            if who == "wtype":
                subprocess.run(["wtype", "--", text], env=session.environ(), check=True)
            else:
                d.type(text)
            want = f"\n{len(text)}\n".encode()
            seen = b""
            deadline = time.monotonic() + 120
            while not seen.endswith(want) and time.monotonic() < deadline:
                ready, _, _ = select.select([app.stdout], [], [], 1)
                chunk = os.read(app.stdout.fileno(), 1 << 16) if ready else b""
                if ready and not chunk:
                    break
                seen = seen[-64:] + chunk
            return time.perf_counter() - start, seen.endswith(want)
    finally:
        app.kill()
        app.wait()
        app.stdout.close()


def gtk(session, args):
    text = ((LINE + " ") * 40)[:2000]
    ours = [into_gtk(session, "ours", text) for _ in range(args.runs)]
    theirs = into_gtk(session, "wtype", text)
    t = statistics.median(e for e, _ in ours)
    ok = all(a for _, a in ours) and theirs[1]
    print(f"gtk: a GTK 3 entry, time until it holds every character; median of {args.runs} runs")
    print(f"  type()  {len(text)} characters {t:7.3f} s = {len(text) / t:8.0f} characters/s")
    print(f"  wtype   {len(text)} characters {theirs[0]:7.3f} s = {len(text) / theirs[0]:8.0f} characters/s")
    print(f"  {theirs[0] / t:.1f}x wtype's rate; every character arrived: {ok}")


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--calls", type=int, default=2000, help="calls per run of the short text (2000)")
    ap.add_argument("--runs", type=int, default=3, help="runs (3)")
    ap.add_argument("--parts", default="short,foot,gtk", help="which figures (short,foot,gtk)")
    args = ap.parse_args()
    parts = args.parts.split(",")
    for tool in ("wtype", "foot"):
        if shutil.which(tool) is None:
            sys.exit(f"{tool} is not installed")
    with HeadlessSession([(1920, 1080)]) as session:
        for name, part in (("short", short), ("foot", foot), ("gtk", gtk)):
            if name in parts:
                part(session, args)


if __name__ == "__main__":
    sys.exit(main())
