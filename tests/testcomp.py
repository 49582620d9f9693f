"""Runs the scriptable test compositor (tests/native/testcomp.cpp) for a test.

    with TestCompositor({"frame": {"pattern": "solid:ff0000"}}, tmp_path) as comp:
        Pravlin(comp.socket) ...
        assert ("wl_registry", "bind", [1, "wl_shm", 1, 3]) in comp.requests()

Scenario (a dict, written to JSON for the compositor; every key optional):

    globals   list of {"interface": str, "version": int, ...}, announced in order.
              Default: wl_shm 1, wl_seat 7, wl_output 4 ("OUT-1", 64x48),
              zwlr_screencopy_manager_v1 3, zwp_virtual_keyboard_manager_v1 1,
              zwlr_virtual_pointer_manager_v1 2.
              Versions above libwayland's own are announced too. An interface
              name the compositor does not know becomes a global without
              requests or events.
              wl_output: "name" (str, or None: never sent; default "OUT-<n>" for
              the n-th output), "name_delay_ms" (send name + done that much
              after bind), "width"/"height" (mode, default 64x48).
              wl_seat: "name" (default "seat0", None: never sent),
              "capabilities" (default 3: pointer and keyboard),
              "refuse_keyboard" (get_keyboard is a protocol error 0, as
              wlroots answers on a seat that never had a keyboard).
              Any global: "after_syncs": N (created when client 1 sends its N-th
              wl_display.sync, before that sync is answered),
              "remove_after_syncs": N (wl_global_remove'd at that sync).
    keymaps   list of {"format": int, "text": str, "nul": bool}: one keymap
              event each on every wl_seat.get_keyboard (memfd holding text,
              plus a NUL byte if nul). Default: one short format-1 evdev/us
              keymap. [] sends none.
    frame     screencopy: "format" (1), "width"/"height"/"stride" (None: the
              output's size, 4*width), "extra_buffer_events" (list of dicts
              with the same four keys, missing ones from the frame),
              "y_invert" (flags 1), "fail" (None, "capture", "copy", or "pool" /
              "buffer": the newest uncopied frame fails when its pool or
              buffer is created), "fail_times" (only the first n frames fail;
              default all),
              "pattern": "gradient" (pixel x,y = bytes B=x%256, G=y%256,
              R=(x+2y)%256, X=0x7f at y*stride + 4x) or "solid:RRGGBB" (X=0xff).
              The frame parameters do not depend on capture_output_region's region.
    faults    list of {"request": "interface.request", "occurrence": n (1),
              "action": "close" | "protocol_error" | "bad_opcode" | "truncated"
              | "hang" | "raw", "code": int (0), "message": str ("test fault"),
              "client": n (only that client; default: every client),
              "words": [...] (raw)}.
              occurrence counts that client's requests of that name.
              close: the socket is shut down, nothing after the request is
              processed. protocol_error: wl_display.error on the request's object.
              bad_opcode: an event with an undefined opcode, on the request's
              object if it has events (and the request is no destroy/release),
              else on wl_display. truncated: wl_display.delete_id without its
              argument (size 8). hang: the connection stays open but nothing
              after the request is processed or answered, ever; its
              "disconnect" record comes when the client closes its end (or
              when the compositor exits). raw: the words as one message, sent
              as they are (header included: object id, then size << 16 |
              opcode); a word is a uint32, "object" (the request's object id)
              or "argN" (its N-th argument as a word; ids for objects and new
              ids).
              Unknown keys anywhere are an error (the compositor then fails to start).

Record (one JSON object per line, in order; `seq` counts from 1, `t` is ms since
the compositor started, `client` numbers connections from 1):

    {"seq", "client", "dir": "connect" | "disconnect", "t"}
    {"seq", "client", "dir": "request", "interface", "id", "request", "args", "t"}
    {"seq", "client", "dir": "event", "interface", "id", "event", "args", "t"}
    {"seq", "client", "dir": "fault", "action", "request", "occurrence", "t"}
        (bad_opcode/truncated add "object", "opcode", "size" of the raw message;
        raw adds "words" as sent)

args: int/uint/new_id as numbers, fixed as float, string as str or None, object
as "interface@id" or None, array as a list of uint32 (bytes if the size is not
a multiple of 4), fd as {"fd": True, "ino": st_ino, "size": st_size}.
wl_registry.bind's args are [name, interface, version, new_id]. Once a client
was closed or hung by a fault, nothing more is recorded for it but the disconnect.
"""

from __future__ import annotations

import itertools
import json
import os
import select
import shutil
import signal
import subprocess
import tempfile
import time
from pathlib import Path

from native_build import peer

# The compositor's globals when a scenario names none.
DEFAULT_GLOBALS = [
    {"interface": "wl_shm", "version": 1},
    {"interface": "wl_seat", "version": 7},
    {"interface": "wl_output", "version": 4},
    {"interface": "zwlr_screencopy_manager_v1", "version": 3},
    {"interface": "zwp_virtual_keyboard_manager_v1", "version": 1},
    {"interface": "zwlr_virtual_pointer_manager_v1", "version": 2},
]

_SUN_PATH_MAX = 107
_serial = itertools.count(1)


class TestCompositor:
    """A testcomp process, started on __enter__ and stopped on __exit__.

    Its scenario, record and stderr files go to tmp_path; without one, to a
    private directory under /tmp that is removed when the compositor stops.
    """

    __test__ = False  # not a pytest test class despite the name

    READY_TIMEOUT = 10.0

    def __init__(self, scenario: dict | None = None, tmp_path: Path | None = None):
        self.scenario = scenario or {}
        self._own_dirs: list[str] = []
        if tmp_path is None:
            tmp_path = Path(self._mkdtemp())
        self.dir = Path(tmp_path)
        self.dir.mkdir(parents=True, exist_ok=True)
        n = f"{os.getpid()}-{next(_serial)}"
        sock = self.dir / f"testcomp-{n}.sock"
        if len(str(sock.resolve())) > _SUN_PATH_MAX:
            sock = Path(self._mkdtemp()) / "wl.sock"
        self.socket: str = str(sock.resolve())
        self.scenario_path = self.dir / f"testcomp-{n}.json"
        self.record_path = self.dir / f"testcomp-{n}.jsonl"
        self.stderr_path = self.dir / f"testcomp-{n}.stderr"
        self.proc: subprocess.Popen | None = None

    def _mkdtemp(self) -> str:
        d = tempfile.mkdtemp(prefix="tc-", dir="/tmp")
        self._own_dirs.append(d)
        return d

    # -- lifetime

    def start(self) -> "TestCompositor":
        exe = peer("testcomp")
        self.scenario_path.write_text(json.dumps(self.scenario))
        self.record_path.write_text("")
        with open(self.stderr_path, "wb") as err:
            self.proc = subprocess.Popen(
                [str(exe), "--socket", self.socket, "--scenario", str(self.scenario_path),
                 "--record", str(self.record_path)],
                stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=err)
        try:
            self._wait_ready()
        except BaseException:
            self._stop()
            raise
        return self

    def _wait_ready(self) -> None:
        assert self.proc and self.proc.stdout
        deadline = time.monotonic() + self.READY_TIMEOUT
        line = b""
        while not line.endswith(b"\n"):
            left = deadline - time.monotonic()
            if left <= 0:
                raise RuntimeError(f"testcomp not ready after {self.READY_TIMEOUT}s; "
                                   f"stderr:\n{self.stderr()}")
            ready, _, _ = select.select([self.proc.stdout], [], [], left)
            if ready:
                chunk = os.read(self.proc.stdout.fileno(), 64)
                if not chunk:
                    self.proc.wait(timeout=5)
                    raise RuntimeError(f"testcomp exited with {self.proc.returncode} before READY; "
                                       f"stderr:\n{self.stderr()}")
                line += chunk
        if line != b"READY\n":
            raise RuntimeError(f"testcomp printed {line!r} instead of READY; stderr:\n{self.stderr()}")

    def _stop(self) -> int | None:
        """Terminate the process; return its exit code (None if it had to be killed)."""
        if self.proc is None:
            return 0
        proc, self.proc = self.proc, None
        killed = False
        if proc.poll() is None:
            proc.send_signal(signal.SIGTERM)
            try:
                proc.wait(timeout=5)
            except subprocess.TimeoutExpired:
                proc.kill()
                proc.wait()
                killed = True
        if proc.stdout:
            proc.stdout.close()
        for d in self._own_dirs:
            shutil.rmtree(d, ignore_errors=True)
        self._own_dirs.clear()
        return None if killed else proc.returncode

    def stop(self) -> None:
        """Stop the compositor; raise if it did not exit cleanly (crashed or had to be killed)."""
        code = self._stop()
        if code != 0:
            what = "did not stop on SIGTERM" if code is None else f"exited with {code}"
            raise RuntimeError(f"testcomp {what}; stderr:\n{self.stderr()}")

    def __enter__(self) -> "TestCompositor":
        return self.start()

    def __exit__(self, exc_type, exc, tb) -> None:
        if exc_type is None:
            self.stop()
        else:
            self._stop()

    @property
    def running(self) -> bool:
        return self.proc is not None and self.proc.poll() is None

    def stderr(self) -> str:
        try:
            return self.stderr_path.read_text(errors="replace")
        except OSError:
            return ""

    # -- the record

    def records(self, dir: str | None = "request") -> list[dict]:
        """All records so far with that "dir" (None: every record)."""
        try:
            text = self.record_path.read_text()
        except FileNotFoundError:
            return []
        out = []
        for line in text.splitlines(keepends=True):
            if not line.endswith("\n"):
                break  # a line still being written
            rec = json.loads(line)
            if dir is None or rec["dir"] == dir:
                out.append(rec)
        return out

    def requests(self, client: int = 1) -> list[tuple[str, str, list]]:
        """(interface, request, args) of each request of one client, in order."""
        return [(r["interface"], r["request"], r["args"])
                for r in self.records("request") if r["client"] == client]

    def events(self, client: int = 1) -> list[tuple[str, str, list]]:
        """(interface, event, args) of each event sent to one client, in order."""
        return [(r["interface"], r["event"], r["args"])
                for r in self.records("event") if r["client"] == client]

    def wait_for(self, predicate, timeout: float = 5.0) -> dict:
        """Poll all records until one satisfies predicate(record); return it."""
        deadline = time.monotonic() + timeout
        while True:
            for rec in self.records(None):
                if predicate(rec):
                    return rec
            if self.proc is not None and self.proc.poll() is not None:
                raise RuntimeError(f"testcomp exited with {self.proc.returncode} while waiting; "
                                   f"stderr:\n{self.stderr()}")
            if time.monotonic() >= deadline:
                raise TimeoutError(f"no matching record within {timeout}s; "
                                   f"{len(self.records(None))} records in {self.record_path}")
            time.sleep(0.01)
