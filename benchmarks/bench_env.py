"""Agent environments side by side: DesktopEnv against the reference way, and sessions per machine.

Usage:
    python3 benchmarks/bench_env.py [--size 1280x720] [--steps 60] [--envs 1,2,4] [--scale 1,2,4,8]
                                    [--resets 5] [--settled-steps 30] [--refresh 240] [--quick]

Both sides drive the same GTK application (benchmarks/gtk_app.py) at the same size, each step one
action then one screenshot, as Gymnasium environments run N at a time in worker processes
(gymnasium.vector.AsyncVectorEnv):

  reference   Xvfb, one `xdotool` process per action (`mousemove --sync X Y click 1`, or button 4/5
              for the wheel), then `scrot` writing a PNG (benchmarks/x11_reference.py), decoded into
              an RGB array; nothing sleeps for a fixed time;
  pravlin     pravlin_desktop.env.DesktopEnv on headless sway, settle=False: the action through
              Desktop, then one fresh frame of the output. The frame waits for the output's next
              refresh: --refresh sets its rate (240 Hz by default).

The steps cycle through clicks on rows of the application's list and wheel notches over it. Per
side and number of environments: steps per second (all environments together), the ratio, and the
CPU one step costs in the client (the worker processes with the tools they ran, and the process
that collects the batch), the compositor (Xvfb or sway) and the application, from /proc.

Then resets, one environment at a time: the reference starts Xvfb and the application and takes
the first screenshot; DesktopEnv's hard reset starts a session and the application and observes,
its soft reset restarts only the application. "Own cost" is the reset less the application's
start-up (until it mapped its window for DesktopEnv, until it said it had drawn itself for the
reference), which both pay.

Then a settled step (settle=True: the action, then frames until the screen has been quiet for
settle_quiet), and DesktopEnv's steps per second at --scale environments: where the machine
saturates and on what.
"""

import os

for _name in ("OPENBLAS_NUM_THREADS", "OMP_NUM_THREADS", "MKL_NUM_THREADS"):
    os.environ[_name] = "1"

import argparse  # noqa: E402
import base64  # noqa: E402
import io  # noqa: E402
import platform  # noqa: E402
import statistics  # noqa: E402
import sys  # noqa: E402
import time  # noqa: E402
from pathlib import Path  # noqa: E402

import gymnasium  # noqa: E402
import numpy as np  # noqa: E402
from gymnasium import spaces  # noqa: E402
from PIL import Image  # noqa: E402

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import x11_reference  # noqa: E402

from pravlin_desktop.env import ACTIONS, MODIFIERS, DesktopEnv  # noqa: E402

TICK = os.sysconf("SC_CLK_TCK")


# -- the steps both sides take ----------------------------------------------------------------------


def step_plan(width, height, count=16):
    """(kind, x, y, notches) per step of the cycle: clicks on list rows and wheel notches over the list."""
    plan = []
    for i in range(count):
        x, y = width // 6, 80 + (i * 37) % max(1, height - 160)
        plan.append(("click", x, y, 0) if i % 2 == 0 else ("scroll", x, y, 1 if i % 4 == 1 else -1))
    return plan


def app_argv(size, backend):
    return [x11_reference.SYSTEM_PYTHON, str(x11_reference.GTK_APP), "--size", f"{size[0]}x{size[1]}", "--quiet"]


class ReferenceEnv(gymnasium.Env):
    """The reference way: Xvfb, xdotool per action, scrot per screenshot, PNG decoded to RGB."""

    metadata = {"render_modes": []}

    def __init__(self, size, plan):
        self.size, self.plan = size, plan
        self.observation_space = spaces.Box(0, 255, (size[1], size[0], 3), np.uint8)
        self.action_space = spaces.Discrete(len(plan))
        self._x = self._app = None

    @property
    def compositor_pid(self):
        return self._x._proc.pid if self._x else None

    @property
    def program_pids(self):
        return (self._app.proc.pid,) if self._app else ()

    def _screen(self):
        png = base64.b64decode(self._x.screenshot_base64())
        return np.asarray(Image.open(io.BytesIO(png)).convert("RGB"))

    def reset(self, *, seed=None, options=None):
        super().reset(seed=seed)
        t0 = time.monotonic()
        self.close()
        self._x = x11_reference.Xvfb(*self.size).__enter__()
        started = time.monotonic()
        self._app = x11_reference.start_app(self._x.env, "x11", self.size, quiet=True)
        ready = time.monotonic()
        obs = self._screen()
        return obs, {"programs_seconds": ready - started, "reset_seconds": time.monotonic() - t0}

    def step(self, action):
        kind, x, y, notches = self.plan[int(action)]
        button = "1" if kind == "click" else "5" if notches > 0 else "4"
        self._x.xdotool("mousemove", "--sync", str(x), str(y), "click", button)
        return self._screen(), 0.0, False, False, {}

    def close(self):
        if self._app is not None:
            self._app.close()
            self._app = None
        if self._x is not None:
            self._x.close()
            self._x = None


class PravlinEnv(gymnasium.Wrapper):
    """DesktopEnv taking the plan's step numbers as actions."""

    def __init__(self, size, plan, settle=False, refresh=None):
        env = DesktopEnv(outputs=[size], refresh=refresh, programs=[{"command": app_argv(size, "wayland"),
                                                    "env": {"GDK_BACKEND": "wayland", "NO_AT_BRIDGE": "1"}}],
                         settle=settle)
        super().__init__(env)
        self.plan = plan
        self.action_space = spaces.Discrete(len(plan))
        self.observation_space = env.observation_space["screen"]

    def reset(self, **kwargs):
        obs, info = self.env.reset(**kwargs)
        return obs["screen"], info

    def step(self, action):
        kind, x, y, notches = self.plan[int(action)]
        a = {"action": ACTIONS.index("left_click" if kind == "click" else "scroll"),
             "coordinate": np.array([x, y], np.int32), "start_coordinate": np.zeros(2, np.int32), "text": "",
             "key": 0, "modifiers": np.zeros(len(MODIFIERS), np.int8),
             "scroll": np.array([0, notches], np.int32), "duration": np.array(0, np.float32)}
        obs, reward, terminated, truncated, info = self.env.step(a)
        if "action_error" in info:
            raise RuntimeError(info["action_error"])
        return obs["screen"], reward, terminated, truncated, info


# -- measuring --------------------------------------------------------------------------------------


def cpu_s(pid, children=False):
    """CPU seconds of a process so far (with its waited-for children)."""
    try:
        with open(f"/proc/{pid}/stat") as f:
            fields = f.read().rsplit(")", 1)[1].split()
    except (FileNotFoundError, ProcessLookupError):
        return 0.0
    ticks = int(fields[11]) + int(fields[12]) + (int(fields[13]) + int(fields[14]) if children else 0)
    return ticks / TICK


def self_cpu_s():
    t = os.times()
    return t.user + t.system


def machine_busy_s():
    with open("/proc/stat") as f:
        v = [int(x) for x in f.readline().split()[1:8]]
    return (v[0] + v[1] + v[2] + v[5] + v[6]) / TICK


def run_vector(make, n, steps, plan_len):
    """Steps per second of n environments stepping together, and the CPU per step by part."""
    envs = gymnasium.vector.AsyncVectorEnv([make] * n, shared_memory=True)
    try:
        envs.reset(seed=0)
        workers = [p.pid for p in envs.processes]
        compositors = envs.get_attr("compositor_pid")
        apps = [pid for pids in envs.get_attr("program_pids") for pid in pids]
        for i in range(4):  # warm-up
            envs.step(np.full(n, i % plan_len))

        def sample():
            return (sum(cpu_s(w, children=True) for w in workers) + self_cpu_s(),
                    sum(cpu_s(c) for c in compositors), sum(cpu_s(a) for a in apps), machine_busy_s())
        before, t0 = sample(), time.monotonic()
        for i in range(steps):
            envs.step(np.full(n, i % plan_len))
        wall = time.monotonic() - t0
        after = sample()
    finally:
        envs.close()
    total = n * steps
    client, compositor, app, busy = (a - b for a, b in zip(after, before))
    return {"sps": total / wall, "client_ms": 1e3 * client / total, "compositor_ms": 1e3 * compositor / total,
            "app_ms": 1e3 * app / total, "busy": busy / wall}


def time_resets(env, count, **options):
    totals, programs = [], []
    env.reset(**options)  # warm-up (and, for a soft reset, the session it keeps)
    for _ in range(count):
        _, info = env.reset(**options)
        totals.append(info["reset_seconds"])
        programs.append(info["programs_seconds"])
    own = [t - p for t, p in zip(totals, programs)]
    return statistics.median(totals), statistics.median(programs), statistics.median(own)


def settled_step(size, plan, steps, refresh):
    env = PravlinEnv(size, plan, settle=True, refresh=refresh)
    try:
        env.reset(seed=0)
        base = env.unwrapped
        pids = (base.compositor_pid, *base.program_pids)
        before = [self_cpu_s()] + [cpu_s(p) for p in pids]
        seconds, frames, walls = [], [], []
        for i in range(steps):
            t0 = time.monotonic()
            _, _, _, _, info = env.step(i % len(plan))
            walls.append(time.monotonic() - t0)
            seconds.append(info["settle_seconds"])
            frames.append(info["settle_frames"])
        after = [self_cpu_s()] + [cpu_s(p) for p in pids]
    finally:
        env.close()
    cpu = [1e3 * (a - b) / steps for a, b in zip(after, before)]
    return {"step_ms": 1e3 * statistics.median(walls), "settle_ms": 1e3 * statistics.median(seconds),
            "frames": statistics.median(frames), "client_ms": cpu[0], "compositor_ms": cpu[1], "app_ms": sum(cpu[2:])}


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--size", default="1280x720", help="output and application size (1280x720)")
    parser.add_argument("--steps", type=int, default=60, help="vector steps per measurement (60)")
    parser.add_argument("--envs", default="1,2,4", help="environments side by side for the comparison (1,2,4)")
    parser.add_argument("--scale", default="1,2,4,8", help="DesktopEnv environments for the scaling run (1,2,4,8)")
    parser.add_argument("--resets", type=int, default=5, help="resets timed per kind (5)")
    parser.add_argument("--settled-steps", type=int, default=30, help="settled steps timed (30)")
    parser.add_argument("--refresh", type=float, default=240.0, help="Hz of the sessions' output (240)")
    parser.add_argument("--quick", action="store_true", help="a smoke run: few steps and resets")
    args = parser.parse_args()
    if args.quick:
        args.steps, args.resets, args.settled_steps = 10, 2, 5
    size = tuple(int(v) for v in args.size.split("x"))
    plan = step_plan(*size)
    missing = x11_reference.missing_tools()
    if missing:
        sys.exit(f"the reference needs: apt-get install {' '.join(missing)}")

    def make_ref():
        return ReferenceEnv(size, plan)

    def make_pravlin():
        return PravlinEnv(size, plan, refresh=args.refresh)

    print(f"{size[0]}x{size[1]}, the GTK application on both sides; sway at {args.refresh:g} Hz; "
          f"{args.steps} vector steps per measurement; "
          f"machine: {os.cpu_count()} CPUs, Linux {platform.release()}, load average "
          f"{' '.join(f'{v:.2f}' for v in os.getloadavg())}")
    print("\nOne action, then one screenshot (CPU per step, ms)")
    print(f"  {'envs':>4}  {'side':9} {'steps/s':>8} {'ratio':>6}  {'client':>7} {'compositor':>10} {'app':>6} "
          f"{'total':>6}  {'CPUs busy':>9}")
    ratios = []
    for n in (int(v) for v in args.envs.split(",")):
        ref = run_vector(make_ref, n, args.steps, len(plan))
        ours = run_vector(make_pravlin, n, args.steps, len(plan))
        ratios.append(ours["sps"] / ref["sps"])
        for side, r in (("reference", ref), ("pravlin", ours)):
            ratio = f"{ours['sps'] / ref['sps']:5.1f}x" if side == "pravlin" else ""
            print(f"  {n:>4}  {side:9} {r['sps']:8.1f} {ratio:>6}  {r['client_ms']:7.2f} {r['compositor_ms']:10.2f} "
                  f"{r['app_ms']:6.2f} {r['client_ms'] + r['compositor_ms'] + r['app_ms']:6.2f}  {r['busy']:9.2f}")

    print("\nResets, one environment (median, ms)")
    print(f"  {'kind':34} {'reset':>7} {'app start-up':>12} {'own cost':>8}")
    ref_env = ReferenceEnv(size, plan)
    try:
        ref_reset = time_resets(ref_env, args.resets)
    finally:
        ref_env.close()
    env = PravlinEnv(size, plan, refresh=args.refresh)
    try:
        hard = time_resets(env, args.resets)
        soft = time_resets(env, args.resets, options={"soft": True})
    finally:
        env.close()
    for kind, r in (("reference: new Xvfb and application", ref_reset), ("pravlin hard: new session", hard),
                    ("pravlin soft: application restarted", soft)):
        print(f"  {kind:34} {1e3 * r[0]:7.1f} {1e3 * r[1]:12.1f} {1e3 * r[2]:8.1f}")
    print(f"  own cost, reference / pravlin: hard {ref_reset[2] / hard[2]:.1f}x, soft {ref_reset[2] / soft[2]:.1f}x "
          f"(goal >= 20x)")

    s = settled_step(size, plan, args.settled_steps, args.refresh)
    print(f"\nA settled step (settle_quiet 50 ms, one environment; medians): {s['step_ms']:.1f} ms per step, of "
          f"which {s['settle_ms']:.1f} ms waiting for quiet ({s['frames']:g} damage frames); CPU per step: client "
          f"{s['client_ms']:.2f} ms, compositor {s['compositor_ms']:.2f} ms, application {s['app_ms']:.2f} ms")

    print("\nDesktopEnv environments per machine (one action, one screenshot)")
    print(f"  {'envs':>4} {'steps/s':>8} {'per env':>8}  {'client':>7} {'compositor':>10} {'app':>6}  {'CPUs busy':>9}")
    for n in (int(v) for v in args.scale.split(",")):
        r = run_vector(make_pravlin, n, args.steps, len(plan))
        print(f"  {n:>4} {r['sps']:8.1f} {r['sps'] / n:8.1f}  {r['client_ms']:7.2f} {r['compositor_ms']:10.2f} "
              f"{r['app_ms']:6.2f}  {r['busy']:9.2f}")
    print(f"\nsteps per second, pravlin / reference: {', '.join(f'{r:.1f}x' for r in ratios)} (goal >= 20x)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
