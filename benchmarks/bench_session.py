"""Time to a ready headless session against the bare compositor reaching its socket, measured in one run.

    python3 benchmarks/bench_session.py [--rounds N] [--outputs 1920x1080[,WxH...]] [--compositor NAME]

For each compositor (by default every one installed: sway, phoc) it measures in alternating rounds

  ready   HeadlessSession(...).start(): from the call until it returns, which is when the socket
          accepts, every output is up at its size and the seat holder has its keyboard and pointer
          (the directory, config and user switch included);
  bare    the same compositor started the way a session starts it (same directories, config,
          environment and user) but without the seat holder, from that start until a connect() to its
          Wayland socket succeeds (watched with inotify, no sleeping poll), and until it answers a
          first round trip;

and prints the medians, the 90th percentiles and the ratio ready / bare (the goal is at most 1.5).
"""

import argparse
import ctypes
import os
import select
import shutil
import socket
import statistics
import struct
import sys
import time
from pathlib import Path

from pravlin_session import HeadlessSession, parse_outputs
from pravlin_session._compositors import COMPOSITORS

GOAL = 1.5
_libc = ctypes.CDLL(None, use_errno=True)
IN_CREATE, IN_MOVED_TO, IN_CLOEXEC = 0x100, 0x80, 0o2000000


def wait_for_socket(path: Path, pid: int, timeout: float = 15.0) -> socket.socket:
    """Returns a connection to `path` as soon as a connect() succeeds (the compositor is `pid`)."""
    watch = _libc.inotify_init1(IN_CLOEXEC)
    if watch < 0 or _libc.inotify_add_watch(watch, str(path.parent).encode(), IN_CREATE | IN_MOVED_TO) < 0:
        raise OSError(ctypes.get_errno(), "inotify")
    deadline = time.monotonic() + timeout
    compositor = os.pidfd_open(pid)
    try:
        while True:
            s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
            try:
                s.connect(str(path))
                return s
            except FileNotFoundError:
                s.close()
            except ConnectionRefusedError:  # bound, not yet listening
                s.close()
                continue
            ready = select.select([watch, compositor], [], [], max(deadline - time.monotonic(), 0))[0]
            if compositor in ready or not ready:
                raise RuntimeError(f"the bare compositor never reached {path}")
            os.read(watch, 4096)
    finally:
        os.close(watch)
        os.close(compositor)


def round_trip(conn: socket.socket) -> None:
    """wl_display.sync on a fresh connection, and the wait for its callback's done event."""
    conn.sendall(struct.pack("=III", 1, 12 << 16, 2))  # object 1, opcode 0 (sync), size 12, new id 2
    data = b""
    while True:
        while len(data) >= 8:
            obj, size_opcode = struct.unpack_from("=II", data)
            if obj == 2 and size_opcode & 0xFFFF == 0:  # wl_callback.done
                return
            data = data[size_opcode >> 16:]
        chunk = conn.recv(4096)
        if not chunk:
            raise RuntimeError("the bare compositor closed the connection")
        data += chunk


def bare_compositor(name, sizes) -> tuple[float, float]:
    """Seconds from starting the compositor (as a session starts it, in a directory and as an account
    the seat holder has prepared, but with no seat held) to its socket accepting, and to it answering
    a first round trip."""
    session = HeadlessSession(sizes, compositor=name)
    try:
        session._prepare(seat=False)
        t0 = time.perf_counter()
        pid = session._launch_compositor()
        # The compositor's own socket: a root session links it for root's programs only once the seat
        # holder, not started here, has found it.
        conn = wait_for_socket(Path(session.runtime_dir).parent / "run" / session.display, pid)
        accepting = time.perf_counter() - t0
        round_trip(conn)
        serving = time.perf_counter() - t0
        conn.close()
        return accepting, serving
    finally:
        session.close()


def ready_session(name, sizes) -> float:
    t0 = time.perf_counter()
    session = HeadlessSession(sizes, compositor=name).start()
    elapsed = time.perf_counter() - t0
    session.close()
    return elapsed


def measure(name, sizes, rounds, outputs) -> None:
    ready_session(name, sizes), bare_compositor(name, sizes)  # warm the page cache
    samples = {"ready": [], "accepting": [], "serving": []}
    for r in range(rounds):
        for kind in (("ready", "bare") if r % 2 == 0 else ("bare", "ready")):
            if kind == "ready":
                samples["ready"].append(ready_session(name, sizes))
            else:
                accepting, serving = bare_compositor(name, sizes)
                samples["accepting"].append(accepting)
                samples["serving"].append(serving)
    q = {k: (statistics.median(v) * 1e3, statistics.quantiles(v, n=10)[-1] * 1e3) for k, v in samples.items()}
    print(f"headless {name}, outputs {outputs}, {rounds} alternating rounds; median and p90")
    rows = [(f"bare {name}: spawn to its socket accepting", "accepting"),
            (f"bare {name}: spawn to a first round trip answered", "serving"),
            ("HeadlessSession.start(): call to ready", "ready")]
    for what, key in rows:
        print(f"  {what:50} {q[key][0]:6.1f} ms  {q[key][1]:6.1f} ms")
    ratio = q["ready"][0] / q["accepting"][0]
    print(f"  ready / bare socket accepting: {ratio:.2f}x (goal <= {GOAL}x: {'met' if ratio <= GOAL else 'MISSED'})")
    print(f"  ready / bare first round trip: {q['ready'][0] / q['serving'][0]:.2f}x")


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--rounds", type=int, default=20)
    ap.add_argument("--outputs", default="1920x1080")
    ap.add_argument("--compositor", choices=sorted(COMPOSITORS), action="append",
                    help="measure this one (repeat for more; default: every one installed)")
    args = ap.parse_args()
    sizes = parse_outputs(args.outputs)
    names = args.compositor or [n for n, c in COMPOSITORS.items() if shutil.which(c.executable)]
    if not names:
        print("no compositor installed (apt-get install sway phoc)", file=sys.stderr)
        return 1
    for name in names:
        measure(name, sizes, args.rounds, args.outputs)
    return 0


if __name__ == "__main__":
    sys.exit(main())
