"""pravlin_desktop.Desktop's speed, each figure against a peer measured in the same run:

  actions  key("ctrl+s"), click() and scroll(1), each one step ending in one round trip, against
           benchmarks/input_floor.c making the same requests and the same round trip from C (the
           floor of the design), and against a bare wl_display_roundtrip; sway and the clients pinned
           to one core, then to two (a round trip costs several times more across cores);
  type     type() of 2,000 mixed characters (ASCII, capitals, punctuation, accents, characters the
           layout lacks) into `cat > file` in foot, against `wtype` typing the same text; every
           character must arrive, for both;
  glide    move(..., duration=0.5) watched by wev: motion events per frame of the output;
  apps     type() of 2,000 mixed characters (no emoji: Chromium takes none by keys) into foot, into
           Chromium (a textarea whose text a script posts to a loopback server of the benchmark's)
           and into xterm under Xwayland (`cat > file`): the time type() takes and the time until
           every character has arrived, each against foot's.

Usage (after `pip install .`, from anywhere):
    python3 benchmarks/bench_desktop.py [--calls N] [--rounds N] [--type-runs N] [--check]
Goals: actions at most 1.2x their floor; type 10x or more wtype's characters per second; one motion
per frame. With --check the exit status is 1 when a goal is missed.
"""

import argparse
import contextlib
import http.server
import json
import os
import queue
import random
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path

from pravlin_desktop import Desktop
from pravlin_session import HeadlessSession

HERE = Path(__file__).resolve().parent
PROTOCOLS = HERE.parent / "protocols"
ACTION_LIMIT = 1.2
TYPE_SPEEDUP = 10.0


def build_floor(out_dir):
    out = Path(out_dir)
    scanner = subprocess.run(["pkg-config", "--variable=wayland_scanner", "wayland-scanner"],
                             capture_output=True, text=True).stdout.strip() or "wayland-scanner"
    sources = []
    for name, xml in (("virtual_keyboard", "virtual-keyboard.xml"), ("virtual_pointer", "virtual-pointer.xml")):
        subprocess.run([scanner, "client-header", str(PROTOCOLS / xml), str(out / f"{name}-client-protocol.h")],
                       check=True)
        subprocess.run([scanner, "private-code", str(PROTOCOLS / xml), str(out / f"{name}-protocol.c")], check=True)
        sources.append(str(out / f"{name}-protocol.c"))
    flags = subprocess.run(["pkg-config", "--cflags", "--libs", "wayland-client"],
                           check=True, capture_output=True, text=True).stdout.split()
    exe = out / "input_floor"
    subprocess.run(["cc", "-O2", "-Wall", "-Wextra", "-I", str(out), "-o", str(exe), str(HERE / "input_floor.c"),
                    *sources, *flags], check=True)
    return str(exe)


def pin(pid, cpus):
    for tid in os.listdir(f"/proc/{pid}/task"):
        try:
            os.sched_setaffinity(int(tid), cpus)
        except OSError:
            pass


def timed(call, calls):
    clock = time.perf_counter_ns
    out = []
    for _ in range(calls):
        start = clock()
        call()
        out.append(clock() - start)
    return out


def actions(session, floor, args):
    d = Desktop(session.socket)
    env = session.environ()
    ours = {"key": lambda: d.key("ctrl+s"), "click": d.click, "scroll": lambda: d.scroll(1)}
    sway = session.compositor_pid
    cpus = sorted(os.sched_getaffinity(0))
    placements = {"same core": ({cpus[0]}, {cpus[0]})}
    if len(cpus) > 1:
        placements["cross core"] = ({cpus[0]}, {cpus[1]})
    samples = {}
    for call in ours.values():
        timed(call, 200)
    try:
        for _ in range(args.rounds):
            for where, (sway_cpus, our_cpus) in placements.items():
                pin(sway, sway_cpus)
                pin(os.getpid(), our_cpus)
                for name in ("bare", *ours):
                    out = subprocess.run([floor, name, str(args.calls)], env=env, check=True, capture_output=True,
                                         text=True).stdout
                    samples.setdefault((where, "floor", name), []).extend(int(x) for x in out.split())
                    if name in ours:
                        samples.setdefault((where, "ours", name), []).extend(timed(ours[name], args.calls))
    finally:
        pin(sway, set(cpus))
        pin(os.getpid(), set(cpus))
        d.close()
    med = {k: statistics.median(v) / 1e3 for k, v in samples.items()}
    missed = []
    print(f"actions: {args.rounds} rounds of {args.calls} calls each, medians in microseconds")
    for where in placements:
        bare = med[where, "floor", "bare"]
        print(f"  {where}: bare round trip {bare:.1f}")
        for name, label in (("key", 'key("ctrl+s")'), ("click", "click()"), ("scroll", "scroll(1)")):
            ours_us, floor_us = med[where, "ours", name], med[where, "floor", name]
            ratio = ours_us / floor_us
            ok = ratio <= ACTION_LIMIT
            missed += [] if ok else [f"{where} {name}"]
            print(f"    {label:14} {ours_us:7.1f}   floor (same requests, one round trip, C) {floor_us:7.1f}"
                  f"   = {ratio:4.2f}x (goal <= {ACTION_LIMIT}x) {'ok' if ok else 'MISSED'};"
                  f" {ours_us / bare:4.2f}x a bare round trip")
    return missed


def mixed_text(n, seed=7):
    rng = random.Random(seed)
    pools = ["abcdefghijklmnopqrstuvwxyz" * 6, "ABCDEFGHIJKLMNOPQRSTUVWXYZ" * 2, "0123456789 " * 3,
             ".,;:!?'\"()[]{}<>@#$%^&*-_=+/\\|~`", "éèàùâêîôûçëïüÿñäöß", "漢字😀→✓"]
    weights = [60, 12, 14, 8, 5, 1]
    return "".join(rng.choice(rng.choices(pools, weights)[0]) for _ in range(n))


def wait_file(path, want, timeout):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        try:
            if path.read_bytes() == want:
                return True
        except FileNotFoundError:
            pass
        time.sleep(0.01)
    return False


def focused(session, pid, timeout=20.0):
    """Waits until sway has the window of `pid` mapped and focused."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        tree = json.loads(session.swaymsg("-r", "-t", "get_tree"))
        stack = [tree]
        while stack:
            node = stack.pop()
            if node.get("pid") == pid and node.get("focused"):
                return
            stack += node.get("nodes", []) + node.get("floating_nodes", [])
        time.sleep(0.02)
    raise RuntimeError(f"the window of {pid} was not focused within {timeout} s")


def typing(session, args):
    text = mixed_text(2000)
    tmp = Path(tempfile.mkdtemp(prefix="bench-desktop-"))
    results = {"ours": [], "wtype": []}
    try:
        for run in range(args.type_runs):
            for who in ("ours", "wtype") if run < args.wtype_runs else ("ours",):
                out = tmp / f"{who}{run}.txt"
                foot = session.spawn(["foot", "sh", "-c", f"cat > {out}"], stderr=subprocess.DEVNULL)
                focused(session, foot.pid)
                with Desktop(session.socket) as d:
                    start = time.perf_counter()
                    if who == "ours":
                        d.type(text)
                    else:
                        subprocess.run(["wtype", "--", text], env=session.environ(), check=True)
                    elapsed = time.perf_counter() - start
                    d.key("Return")
                    arrived = wait_file(out, (text + "\n").encode(), 30)
                    d.key("ctrl+d")
                foot.wait(10)
                if not arrived:
                    got = out.read_text(errors="replace")
                    lost = sum(1 for a, b in zip(got, text) if a != b) + abs(len(got) - len(text) - 1)
                    print(f"  {who}: the text did not arrive intact ({lost} characters differ)")
                results[who].append((elapsed, arrived))
    finally:
        shutil.rmtree(tmp, ignore_errors=True)
    ours = statistics.median(e for e, _ in results["ours"])
    theirs = statistics.median(e for e, _ in results["wtype"])
    intact = all(ok for r in results.values() for _, ok in r)
    speedup = theirs / ours
    print(f"type: 2000 mixed characters into foot ({len(set(text))} distinct), median of "
          f"{len(results['ours'])} runs and {len(results['wtype'])} of wtype")
    print(f"  type()  {ours * 1e3:8.1f} ms = {len(text) / ours:9.0f} characters/s")
    print(f"  wtype   {theirs * 1e3:8.1f} ms = {len(text) / theirs:9.0f} characters/s")
    ok = speedup >= TYPE_SPEEDUP and intact
    print(f"  {speedup:.0f}x wtype's rate (goal >= {TYPE_SPEEDUP:.0f}x), every character arrived: {intact} "
          f"{'ok' if ok else 'MISSED'}")
    return [] if ok else ["type"]


def glide(session):
    wev = session.spawn(["stdbuf", "-oL", "wev"], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    os.set_blocking(wev.stdout.fileno(), False)
    focused(session, wev.pid)
    out = ""
    try:
        with Desktop(session.socket) as d:
            refresh = d._refresh_at(100, 100)
            d.move(100, 100)
            time.sleep(0.1)
            out += wev.stdout.read() or ""
            d.move(1500, 800, duration=0.5)
            time.sleep(0.2)
            out = wev.stdout.read() or ""
    finally:
        os.killpg(wev.pid, 9)
        wev.wait()
    motions = len(re.findall(r"wl_pointer\] motion", out))
    frames = 0.5 * refresh
    ok = abs(motions - frames) <= 1
    print(f"glide: move(..., duration=0.5) at {refresh:g} Hz: {motions} motion events for {frames:g} frames "
          f"{'ok' if ok else 'MISSED'}")
    return [] if ok else ["glide"]


PAGE = b"""<!doctype html><meta charset="utf-8"><body><textarea id="t" autofocus style="width:90%;height:300px">
</textarea><script>
const t = document.getElementById("t"); let timer = null;
t.addEventListener("input", () => { clearTimeout(timer); timer = setTimeout(
  () => fetch("/text", {method: "POST", body: t.value}), 20); });
addEventListener("load", () => { t.value = ""; t.focus(); fetch("/text", {method: "POST", body: "ready"}); });
</script>"""


class _Page(http.server.BaseHTTPRequestHandler):
    def do_GET(self):
        self.send_response(200)
        self.send_header("Content-Type", "text/html; charset=utf-8")
        self.end_headers()
        self.wfile.write(PAGE)

    def do_POST(self):
        self.server.texts.put(self.rfile.read(int(self.headers["Content-Length"])).decode())
        self.send_response(204)
        self.end_headers()

    def log_message(self, *args):
        pass


def apps(session):
    """type() into foot, Chromium and xterm: sending, and arriving."""
    text = mixed_text(2000).replace("😀", "✓")
    tmp = Path(tempfile.mkdtemp(prefix="bench-desktop-"))
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), _Page)
    server.texts = queue.Queue()
    threading.Thread(target=server.serve_forever, daemon=True).start()
    results = {}

    def chromium_text(want, timeout):
        deadline, got = time.monotonic() + timeout, None
        while time.monotonic() < deadline:
            try:
                got = server.texts.get(timeout=0.05)
            except queue.Empty:
                continue
            if got == want:
                return True
        return False

    try:
        for name in ("foot", "chromium", "xterm"):
            out = tmp / f"{name}.txt"
            if name == "foot":
                argv, env = ["foot", "sh", "-c", f"cat > {out}"], {}
            elif name == "xterm":
                argv, env = ["xterm", "-u8", "-e", "sh", "-c", f"cat > {out}"], {"LANG": "C.UTF-8"}
            else:
                argv = ["chromium", "--ozone-platform=wayland", "--no-sandbox", "--test-type", "--no-first-run",
                        "--disable-gpu", f"--user-data-dir={tmp / 'chromium'}",
                        f"--app=http://127.0.0.1:{server.server_address[1]}/"]
                env = {}
            proc = session.spawn(argv, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, env=env)
            try:
                with Desktop(session.socket) as d:
                    if name == "chromium":
                        if not chromium_text("ready", 60):
                            raise RuntimeError("Chromium did not load the page")
                        # A window just mapped may let the first keys go by: ready when one arrives.
                        for _ in range(40):
                            d.type("x")
                            if chromium_text("x", 0.5):
                                break
                        d.key("ctrl+a")
                        d.key("BackSpace")
                        chromium_text("", 2)
                    else:
                        deadline = time.monotonic() + 20
                        while not out.exists() and time.monotonic() < deadline:
                            time.sleep(0.01)
                        time.sleep(0.3)
                    start = time.perf_counter()
                    d.type(text)
                    sent = time.perf_counter() - start
                    if name == "chromium":
                        arrived = chromium_text(text, 60)
                    else:
                        d.key("Return")
                        arrived = wait_file(out, (text + "\n").encode(), 60)
                    done = time.perf_counter() - start
                results[name] = (sent, done, arrived)
            finally:
                with contextlib.suppress(ProcessLookupError):
                    os.killpg(proc.pid, 9)
                proc.wait()
    finally:
        server.shutdown()
        shutil.rmtree(tmp, ignore_errors=True)
    print(f"apps: type() of 2000 mixed characters ({len(set(text))} distinct), sent and arrived")
    foot_sent, foot_done, _ = results["foot"]
    for name, (sent, done, arrived) in results.items():
        print(f"  {name:8} sent {sent * 1e3:7.1f} ms = {len(text) / sent:8.0f} characters/s ({foot_sent / sent:4.2f}x "
              f"foot's); all arrived after {done * 1e3:7.1f} ms = {len(text) / done:8.0f} characters/s "
              f"({foot_done / done:4.2f}x foot's); every character arrived: {arrived}")
    return [] if all(a for _, _, a in results.values()) else ["apps"]


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--calls", type=int, default=2000, help="calls per action per round (2000)")
    ap.add_argument("--rounds", type=int, default=5, help="rounds (5)")
    ap.add_argument("--type-runs", type=int, default=3, help="runs of type() (3)")
    ap.add_argument("--wtype-runs", type=int, default=2, help="of which also wtype (2)")
    ap.add_argument("--apps", action="store_true", help="only the typing into foot, Chromium and xterm")
    ap.add_argument("--check", action="store_true", help="exit 1 if a goal is missed")
    args = ap.parse_args()
    for tool in ("wtype", "foot", "wev", "cc", "chromium", "xterm"):
        if shutil.which(tool) is None:
            sys.exit(f"{tool} is not installed")
    build_dir = tempfile.mkdtemp(prefix="bench-desktop-build-")
    try:
        floor = build_floor(build_dir)
        with HeadlessSession([(1920, 1080)], xwayland=True) as session:
            if args.apps:
                missed = apps(session)
            else:
                missed = actions(session, floor, args) + typing(session, args) + glide(session) + apps(session)
    finally:
        shutil.rmtree(build_dir, ignore_errors=True)
    if missed:
        print("missed: " + ", ".join(missed))
    return 1 if args.check and missed else 0


if __name__ == "__main__":
    sys.exit(main())
