"""What a screenshot costs: latency, the caller's CPU and the compositor's CPU per capture.

Usage:
    python3 benchmarks/bench_capture.py [--quick] [--captures N] [--rounds N] [--grim-runs N]
                                        [--sizes 1280x720,1920x1080,3840x2160] [--refresh HZ]
                                        [--placement cross|same|free] [--check]

For each size it starts its own headless sway (pixman renderer) with one output
and measures, in rounds that shuffle the order of the methods so that drift hits
them alike:

  pravlin    Pravlin.screenshot() on one instance in this process;
  floor      benchmarks/capture_floor.c: the same requests in the same order as
             pravlin (capture, round trip, a fresh unlinked shm_open'd file,
             pool and round trip, buffer and round trip, copy, read() into
             fresh memory, buffer and pool destroyed, file closed), each step
             done the cheapest way: the floor of pravlin's design;
  floor-rt   the same client without the round trips after create_pool and
             create_buffer, to tell what those two cost;
  reused     benchmarks/capture_ref.c: one shared-memory buffer mapped once
             and reused, per capture a copy and a memcpy into fresh memory;
  grim       one `grim -t ppm -` process per capture, read from a pipe;
  desktop    pravlin_desktop.Desktop.capture(): shared-memory buffers kept
             from one capture to the next, the frame handed out without a
             copy; measured against `reused`, its floor.

Per method: latency (median, mean and p95 over all captures) and CPU time per
capture, the median over the rounds: the client's (the capturing process, from
CLOCK_PROCESS_CPUTIME_ID; for grim the whole processes) and the compositor's
(the sum of /proc/<pid>/task/*/schedstat over sway's threads). The C clients
measure their own capture loop, so their start-up is not counted; grim's is,
since a user pays it per capture.

Then pravlin's ratios to the floor with the goals (latency <= 1.05x, client CPU
<= 1.15x, client + compositor CPU <= 1.05x; for CPU the median of the rounds'
ratios, with their range), Desktop's to the reused buffer (client + compositor
CPU <= 1.2x; latency at most one frame plus the copy, the reused client's
compositor CPU per capture), and how cost grows with the pixel count across the
sizes. numpy's BLAS threads are limited to one before numpy is imported, or
they would count as the client's CPU.

Placement: whoever drops the last reference to a capture's shared-memory file
frees its pages: the client when sway has unmapped the pool before the client
closes the file, which depends on where the scheduler runs the two (on one CPU
it is mostly the client, a fifth of its time at 1080p). By default ("cross")
sway is pinned to the last CPU and this process and its children to the first,
and sway frees the pages; "same" pins both to the first; "free" pins nothing.

sway copies a frame when the output next renders, so at 60 Hz every method
waits for the frame clock. --check makes the exit status 1 when a goal is
missed; the figures themselves are only as quiet as the machine.
"""

import os

BLAS_THREAD_VARIABLES = ("OPENBLAS_NUM_THREADS", "OMP_NUM_THREADS", "MKL_NUM_THREADS")
# Before numpy is imported (pravlin imports it at the first screenshot).
for _name in BLAS_THREAD_VARIABLES:
    os.environ[_name] = "1"

import argparse  # noqa: E402
import contextlib  # noqa: E402
import json  # noqa: E402
import platform  # noqa: E402
import random  # noqa: E402
import resource  # noqa: E402
import shutil  # noqa: E402
import statistics  # noqa: E402
import subprocess  # noqa: E402
import sys  # noqa: E402
import tempfile  # noqa: E402
import time  # noqa: E402
from dataclasses import dataclass, field  # noqa: E402
from pathlib import Path  # noqa: E402

import numpy  # noqa: E402,F401  (imported here so that its threads exist before anything is measured)

from pravlin import Pravlin  # noqa: E402
from pravlin_desktop import Desktop  # noqa: E402
from pravlin_session import HeadlessSession  # noqa: E402

HERE = Path(__file__).resolve().parent
PROTOCOL = HERE.parent / "protocols" / "screencopy.xml"

GOALS = {  # key: (what, limit)
    "latency": ("latency", 1.05),
    "client": ("client CPU", 1.15),
    "total": ("client + compositor CPU", 1.05),
}
DESKTOP_TOTAL_GOAL = 1.2  # Desktop.capture's client + compositor CPU against the reused buffer's
METHODS = ("pravlin", "floor", "floor-rt", "reused", "grim", "desktop")


# -- the session ------------------------------------------------------------------


def set_refresh(session, width, height, hz):
    outputs = json.loads(session.swaymsg("-r", "-t", "get_outputs"))
    name = outputs[0]["name"]
    session.swaymsg("--", "output", name, "mode", "--custom", f"{width}x{height}@{hz}Hz")
    deadline = time.monotonic() + 10
    while json.loads(session.swaymsg("-r", "-t", "get_outputs"))[0]["current_mode"]["refresh"] != hz * 1000:
        if time.monotonic() > deadline:
            raise RuntimeError(f"sway did not switch to {hz} Hz")
        time.sleep(0.05)


# -- the C clients ------------------------------------------------------------------


def build_clients(out_dir):
    """Builds capture_floor and capture_ref into out_dir; {name: path}."""
    out = Path(out_dir)
    scanner = subprocess.run(["pkg-config", "--variable=wayland_scanner", "wayland-scanner"],
                             capture_output=True, text=True).stdout.strip() or "wayland-scanner"
    subprocess.run([scanner, "client-header", str(PROTOCOL), str(out / "screencopy-client-protocol.h")],
                   check=True)
    subprocess.run([scanner, "private-code", str(PROTOCOL), str(out / "screencopy-protocol.c")], check=True)
    flags = subprocess.run(["pkg-config", "--cflags", "--libs", "wayland-client"],
                           check=True, capture_output=True, text=True).stdout.split()
    built = {}
    for name in ("capture_floor", "capture_ref"):
        exe = out / name
        subprocess.run(["cc", "-O2", "-Wall", "-Wextra", "-I", str(out), "-o", str(exe), str(HERE / f"{name}.c"),
                        str(out / "screencopy-protocol.c"), *flags], check=True)
        built[name] = str(exe)
    return built


# -- measuring ------------------------------------------------------------------------


def process_cpu_ns(pid):
    """CPU time of every thread of a process so far, in nanoseconds."""
    total = 0
    for tid in os.listdir(f"/proc/{pid}/task"):
        try:
            with open(f"/proc/{pid}/task/{tid}/schedstat") as f:
                total += int(f.read().split()[0])
        except (OSError, ValueError, IndexError):
            pass  # a thread that ended meanwhile
    return total


def children_cpu_ns():
    u = resource.getrusage(resource.RUSAGE_CHILDREN)
    return int((u.ru_utime + u.ru_stime) * 1e9)


@dataclass
class Series:
    latencies_ns: list = field(default_factory=list)
    client_ns: list = field(default_factory=list)  # per round, per capture
    compositor_ns: list = field(default_factory=list)
    extra_ns: dict = field(default_factory=dict)  # name: per round, per capture

    def add(self, latencies_ns, client_ns, compositor_ns, extra=None):
        n = len(latencies_ns)
        self.latencies_ns += latencies_ns
        self.client_ns.append(client_ns / n)
        self.compositor_ns.append(compositor_ns / n)
        for key, value in (extra or {}).items():
            self.extra_ns.setdefault(key, []).append(value / n)

    def extra_ms(self, key):
        return statistics.median(self.extra_ns[key]) / 1e6

    @property
    def latency_ms(self):
        return statistics.median(self.latencies_ns) / 1e6

    @property
    def mean_ms(self):
        return statistics.fmean(self.latencies_ns) / 1e6

    @property
    def p95_ms(self):
        return statistics.quantiles(self.latencies_ns, n=20, method="inclusive")[-1] / 1e6

    @property
    def client_ms(self):
        return statistics.median(self.client_ns) / 1e6

    @property
    def compositor_ms(self):
        return statistics.median(self.compositor_ns) / 1e6

    @property
    def total_ms(self):
        return statistics.median(c + k for c, k in zip(self.client_ns, self.compositor_ns)) / 1e6


def run_pravlin(p, session, count, shape):
    for _ in range(3):  # as the C clients do, so that no method inherits what the previous one left
        p.screenshot()
    latencies = []
    clock = time.perf_counter_ns
    compositor0, client0 = process_cpu_ns(session.compositor_pid), time.process_time_ns()
    for _ in range(count):
        t0 = clock()
        img = p.screenshot()
        latencies.append(clock() - t0)
        del img
    client, compositor = time.process_time_ns() - client0, process_cpu_ns(session.compositor_pid) - compositor0
    if p.screenshot().shape != shape:
        raise RuntimeError(f"pravlin captured another shape than {shape}")
    return latencies, client, compositor


def run_desktop(desktop, session, count, shape):
    for _ in range(3):
        desktop.capture()
    latencies = []
    clock = time.perf_counter_ns
    compositor0, client0 = process_cpu_ns(session.compositor_pid), time.process_time_ns()
    for _ in range(count):
        t0 = clock()
        frame = desktop.capture()
        latencies.append(clock() - t0)
        del frame
    client, compositor = time.process_time_ns() - client0, process_cpu_ns(session.compositor_pid) - compositor0
    if desktop.capture().image.shape != shape:
        raise RuntimeError(f"Desktop captured another shape than {shape}")
    return latencies, client, compositor


def run_client(exe, session, count, *extra):
    res = subprocess.run([exe, str(count), str(session.compositor_pid), *extra], env=session.environ(),
                         capture_output=True, text=True, timeout=600)
    if res.returncode != 0:
        raise RuntimeError(f"{Path(exe).name} failed: {res.stderr.strip()}")
    latencies, values = [], {}
    for line in res.stdout.splitlines():
        key, value = line.split()
        if key == "ns":
            latencies.append(int(value))
        else:
            values[key] = int(value)
    if len(latencies) != count or "cpu_ns" not in values or "compositor_ns" not in values:
        raise RuntimeError(f"{Path(exe).name} printed {res.stdout[-300:]!r}")
    extra = {key: values[key] for key in ("roundtrips_ns", "roundtrips_cpu_ns") if key in values}
    return latencies, values["cpu_ns"], values["compositor_ns"], extra


def run_grim(session, count, expected_bytes):
    # grim's image is read into one reused buffer: a fresh bytes object of its
    # size would take the heap space that pravlin's next array is given, and
    # pravlin would then pay for fresh pages.
    chunk = memoryview(bytearray(1 << 20))
    latencies = []
    compositor0, client0 = process_cpu_ns(session.compositor_pid), children_cpu_ns()
    for _ in range(count):
        t0 = time.perf_counter_ns()
        with subprocess.Popen(["grim", "-t", "ppm", "-"], env=session.environ(), stdout=subprocess.PIPE,
                              stderr=subprocess.DEVNULL) as proc:
            received = 0
            while n := proc.stdout.readinto(chunk):
                received += n
            status = proc.wait(60)
        latencies.append(time.perf_counter_ns() - t0)
        if status != 0 or received < expected_bytes:
            raise RuntimeError(f"grim failed with status {status} after {received} bytes")
    return latencies, children_cpu_ns() - client0, process_cpu_ns(session.compositor_pid) - compositor0


def pin(pid, cpus):
    """Set the CPU affinity of every thread of a process."""
    for tid in os.listdir(f"/proc/{pid}/task"):
        with contextlib.suppress(ProcessLookupError):
            os.sched_setaffinity(int(tid), cpus)


def placement_cpus(placement):
    """(compositor CPUs, client CPUs), or None to leave both alone."""
    cpus = sorted(os.sched_getaffinity(0))
    if placement == "free":
        return None
    if placement == "same" or len(cpus) == 1:
        return {cpus[0]}, {cpus[0]}
    return {cpus[-1]}, {cpus[0]}


def bench_size(width, height, args, clients):
    """{method: Series} for one output size."""
    with HeadlessSession([(width, height)]) as session:
        set_refresh(session, width, height, args.refresh)
        p = Pravlin(session.socket)
        desktop = Desktop(session.socket)
        shape = (height, width, 4)
        cpus = placement_cpus(args.placement)
        all_cpus = set(os.sched_getaffinity(0))
        if cpus:
            pin(session.compositor_pid, cpus[0])
            pin(os.getpid(), cpus[1])  # the C clients and grim inherit it
        try:
            runs = {
                "pravlin": lambda n: run_pravlin(p, session, n, shape),
                "floor": lambda n: run_client(clients["capture_floor"], session, n),
                "floor-rt": lambda n: run_client(clients["capture_floor"], session, n, "--no-roundtrips"),
                "reused": lambda n: run_client(clients["capture_ref"], session, n),
                "grim": lambda n: run_grim(session, n, width * height * 3),
                "desktop": lambda n: run_desktop(desktop, session, n, shape),
            }
            for name, run in runs.items():  # warm-up: first mappings, page cache, heap
                run(2 if name == "grim" else 10)
            series = {name: Series() for name in METHODS}
            per_round = {name: (args.grim_runs if name == "grim" else args.captures) // args.rounds
                         for name in METHODS}
            shuffle = random.Random(f"{width}x{height}").shuffle
            for _ in range(args.rounds):
                order = list(METHODS)
                shuffle(order)  # a new order each round, so that no method always follows the same one
                for name in order:
                    series[name].add(*runs[name](per_round[name]))
        finally:
            if cpus:
                pin(session.compositor_pid, all_cpus)
                pin(os.getpid(), all_cpus)
        del p
        desktop.close()
    return series


# -- reporting -------------------------------------------------------------------------


def machine_cpu_s():
    """(busy, stolen): seconds all CPUs spent running something, and seconds a
    hypervisor kept them from running, so far, from /proc/stat."""
    with open("/proc/stat") as f:
        fields = [int(v) for v in f.readline().split()[1:]]
    user, nice, system, _idle, _iowait, irq, softirq, steal = fields[:8]
    tick = os.sysconf("SC_CLK_TCK")
    return (user + nice + system + irq + softirq) / tick, steal / tick


def report_size(width, height, series, refresh):
    print(f"\n{width}x{height} ({width * height / 1e6:.2f} Mpx)")
    print(f"  {'':10} {'latency ms':>26}   {'CPU ms per capture':>32}")
    print(f"  {'':10} {'median':>8} {'mean':>8} {'p95':>8}   {'client':>8} {'compositor':>11} {'total':>9}")
    for name, s in series.items():
        print(f"  {name:10} {s.latency_ms:8.2f} {s.mean_ms:8.2f} {s.p95_ms:8.2f}   {s.client_ms:8.3f} "
              f"{s.compositor_ms:11.3f} {s.total_ms:9.3f}")
    pr, fl, nort, reused, grim, desk = (series[m] for m in METHODS)
    print(f"  the two round trips after create_pool and create_buffer: {fl.extra_ms('roundtrips_ns'):.3f} ms "
          f"wall, {fl.extra_ms('roundtrips_cpu_ns'):.3f} ms client CPU (timed inside the floor client); "
          f"floor - floor-rt: latency {fl.latency_ms - nort.latency_ms:+.2f} ms, client CPU "
          f"{fl.client_ms - nort.client_ms:+.3f} ms, compositor CPU {fl.compositor_ms - nort.compositor_ms:+.3f} ms")
    # CPU: the median of the rounds' ratios, since the two ran close together
    # in each round and the machine's load drifts between rounds.
    per_round = {
        "client": [a / b for a, b in zip(pr.client_ns, fl.client_ns)],
        "compositor": [a / b for a, b in zip(pr.compositor_ns, fl.compositor_ns)],
        "total": [(a + c) / (b + d) for a, b, c, d in zip(pr.client_ns, fl.client_ns, pr.compositor_ns,
                                                           fl.compositor_ns)],
    }
    ratios = {"latency": pr.latency_ms / fl.latency_ms,
              **{key: statistics.median(values) for key, values in per_round.items()}}
    met = {}
    parts = []
    for key, (what, limit) in GOALS.items():
        met[key] = ratios[key] <= limit
        spread = f", rounds {min(per_round[key]):.2f}-{max(per_round[key]):.2f}" if key in per_round else ""
        parts.append(f"{what} {ratios[key]:.3f}x{spread} (goal <= {limit}: {'met' if met[key] else 'MISSED'})")
    print("  pravlin / floor:   " + "; ".join(parts))
    print(f"  pravlin / floor:   compositor CPU {ratios['compositor']:.3f}x, rounds "
          f"{min(per_round['compositor']):.2f}-{max(per_round['compositor']):.2f}")
    print(f"  pravlin / reused:  latency {pr.latency_ms / reused.latency_ms:.2f}x, "
          f"client CPU {pr.client_ms / reused.client_ms:.2f}x, total CPU {pr.total_ms / reused.total_ms:.2f}x")
    print(f"  grim / pravlin:    latency {grim.latency_ms / pr.latency_ms:.2f}x, "
          f"client CPU {grim.client_ms / pr.client_ms:.2f}x, total CPU {grim.total_ms / pr.total_ms:.2f}x")
    desk_rounds = [(a + c) / (b + d) for a, b, c, d in zip(desk.client_ns, reused.client_ns, desk.compositor_ns,
                                                            reused.compositor_ns)]
    ratios["desktop_total"] = statistics.median(desk_rounds)
    met["desktop_total"] = ratios["desktop_total"] <= DESKTOP_TOTAL_GOAL
    # One frame of the output, plus the copy: the compositor's CPU per capture of the reused buffer.
    latency_limit = 1000 / refresh + reused.compositor_ms
    met["desktop_latency"] = desk.latency_ms <= latency_limit
    ratios["desktop_latency"] = desk.latency_ms
    print(f"  desktop / reused:  client + compositor CPU {ratios['desktop_total']:.3f}x, rounds "
          f"{min(desk_rounds):.2f}-{max(desk_rounds):.2f} (goal <= {DESKTOP_TOTAL_GOAL}: "
          f"{'met' if met['desktop_total'] else 'MISSED'}); client CPU {desk.client_ms / reused.client_ms:.2f}x, "
          f"compositor CPU {desk.compositor_ms / reused.compositor_ms:.2f}x; latency {desk.latency_ms:.2f} ms "
          f"(goal <= one frame + the copy = {latency_limit:.2f} ms: "
          f"{'met' if met['desktop_latency'] else 'MISSED'}), {desk.latency_ms / reused.latency_ms:.2f}x reused's")
    return ratios, met


def fit_line(xs, ys):
    """Least-squares y = a + b x; (a, b, largest |residual| / y)."""
    n = len(xs)
    mx, my = sum(xs) / n, sum(ys) / n
    sxx = sum((x - mx) ** 2 for x in xs)
    b = sum((x - mx) * (y - my) for x, y in zip(xs, ys)) / sxx if sxx else 0.0
    a = my - b * mx
    return a, b, max(abs(y - (a + b * x)) / y for x, y in zip(xs, ys))


def report_scaling(results):
    """Per-capture cost against pixel count: the table and the fits."""
    sizes = sorted(results, key=lambda wh: wh[0] * wh[1])
    mpx = [w * h / 1e6 for w, h in sizes]
    print("\nCost against pixel count (per capture; ms)")
    print(f"  {'size':10} {'Mpx':>5}  {'pravlin client':>14} {'compositor':>10} {'total':>8} {'total/Mpx':>9}"
          f"  {'floor total':>11} {'total/Mpx':>9}")
    for (w, h), m in zip(sizes, mpx):
        pr, fl = results[w, h]["pravlin"], results[w, h]["floor"]
        print(f"  {f'{w}x{h}':10} {m:5.2f}  {pr.client_ms:14.3f} {pr.compositor_ms:10.3f} {pr.total_ms:8.3f} "
              f"{pr.total_ms / m:9.3f}  {fl.total_ms:11.3f} {fl.total_ms / m:9.3f}")
    if len(sizes) < 3:
        print("  (fewer than three sizes: no fit)")
        return
    for label, get in (("pravlin client", lambda s: s.client_ms), ("pravlin compositor", lambda s: s.compositor_ms),
                       ("pravlin total", lambda s: s.total_ms), ("floor total", lambda s: s.total_ms)):
        method = "floor" if label.startswith("floor") else "pravlin"
        a, b, worst = fit_line(mpx, [get(results[wh][method]) for wh in sizes])
        verdict = "linear" if worst <= 0.10 else "NOT linear"
        print(f"  {label:19} = {a:7.3f} ms + {b:6.3f} ms/Mpx; largest deviation from the line "
              f"{worst * 100:4.1f}%: {verdict}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--captures", type=int, default=400, help="captures per method and size (400)")
    parser.add_argument("--rounds", type=int, default=10, help="shuffled rounds (10)")
    parser.add_argument("--grim-runs", type=int, default=60, help="grim processes per size (60)")
    parser.add_argument("--sizes", default="1280x720,1920x1080,3840x2160",
                        help="output sizes (1280x720,1920x1080,3840x2160)")
    parser.add_argument("--refresh", type=int, default=60, help="output refresh rate in Hz (60)")
    parser.add_argument("--placement", choices=("cross", "same", "free"), default="cross",
                        help="where sway and the clients run (cross: different CPUs)")
    parser.add_argument("--quick", action="store_true", help="a smoke run: 2 rounds of 12 captures, 4 grim runs")
    parser.add_argument("--check", action="store_true", help="exit 1 when a goal is missed")
    args = parser.parse_args()
    if args.quick:
        args.captures, args.rounds, args.grim_runs = 24, 2, 4
    if args.captures < args.rounds or args.grim_runs < args.rounds:
        parser.error("need at least one capture and one grim run per round")
    sizes = [tuple(int(v) for v in s.split("x")) for s in args.sizes.split(",")]
    if shutil.which("grim") is None:
        sys.exit("grim is not installed")

    build_dir = tempfile.mkdtemp(prefix="bench-capture-")
    try:
        clients = build_clients(build_dir)
        sway = subprocess.run(["sway", "--version"], capture_output=True, text=True).stdout.strip()
        cpus = placement_cpus(args.placement)
        where = ("not pinned" if cpus is None else
                 f"compositor on CPU {min(cpus[0])}, clients on CPU {min(cpus[1])}")
        print(f"headless {sway}, pixman renderer, {args.refresh} Hz; {args.captures} captures per method and "
              f"size in {args.rounds} shuffled rounds, {args.grim_runs} grim runs")
        print(f"machine: {os.cpu_count()} CPUs, Linux {platform.release()}, load average "
              f"{' '.join(f'{v:.2f}' for v in os.getloadavg())} at the start; placement: {where}")
        threads = len(os.listdir("/proc/self/task"))
        print("numpy BLAS threads: " + " ".join(f"{v}={os.environ[v]}" for v in BLAS_THREAD_VARIABLES)
              + f", set before numpy was imported; this process runs {threads} thread(s)")

        wall0, (busy0, stolen0) = time.monotonic(), machine_cpu_s()
        results, met = {}, True
        ratios = {}
        for width, height in sizes:
            results[width, height] = bench_size(width, height, args, clients)
            ratios[width, height], ok = report_size(width, height, results[width, height], args.refresh)
            met &= all(ok.values())
        report_scaling(results)

        wall = time.monotonic() - wall0
        busy, stolen = (now - then for now, then in zip(machine_cpu_s(), (busy0, stolen0)))
        print(f"\nmachine: {busy / wall:.2f} of {os.cpu_count()} CPUs busy on average over the "
              f"{wall:.0f} s run (this benchmark, sway and whatever else ran), {stolen / wall:.2f} stolen by "
              f"the hypervisor; load average {' '.join(f'{v:.2f}' for v in os.getloadavg())} at the end")
        print("pravlin / floor:")
        for (w, h), r in ratios.items():
            print(f"  {f'{w}x{h}':10} latency {r['latency']:.3f}x, client CPU {r['client']:.3f}x, "
                  f"client + compositor CPU {r['total']:.3f}x")
        print("Desktop.capture / reused buffer:")
        for (w, h), r in ratios.items():
            print(f"  {f'{w}x{h}':10} client + compositor CPU {r['desktop_total']:.3f}x, latency "
                  f"{r['desktop_latency']:.2f} ms")
        print("all goals met" if met else "some goals MISSED")
        if args.quick:
            print("(--quick: a smoke run; too few captures for these ratios to mean much)")
        return 1 if args.check and not met else 0
    finally:
        shutil.rmtree(build_dir, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
