"""The headless-session facility: pravlin-run, HeadlessSession and the seat holder, on real sway."""

import json
import os
import resource
import signal
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import pytest

import seat_bars
from helpers import PRAVLIN_RUN, shm_names
from pravlin import Pravlin
from pravlin_session import HeadlessSession, SessionError

HERE = Path(__file__).resolve().parent

pytestmark = pytest.mark.usefixtures("sway")  # skips the module where sway cannot run


def run(args, **kw):
    return subprocess.run([*PRAVLIN_RUN, *args], capture_output=True, text=True, timeout=120, **kw)


def alive(pid):
    try:
        with open(f"/proc/{pid}/stat") as f:
            return f.read().split(") ")[1][0] != "Z"
    except FileNotFoundError:
        return False


def descendants(pid):
    """Every process below `pid` (for a launcher: the command, the compositor and the holder)."""
    found, todo = [], [pid]
    while todo:
        parent = todo.pop()
        try:
            tasks = os.listdir(f"/proc/{parent}/task")
        except FileNotFoundError:
            continue
        for task in tasks:
            try:
                children = [int(c) for c in Path(f"/proc/{parent}/task/{task}/children").read_text().split()]
            except FileNotFoundError:
                continue
            found += children
            todo += children
    return found


def test_run_gives_the_command_the_session_and_its_status():
    before = shm_names()
    script = ('printf "%s\\n" "$WAYLAND_DISPLAY" "$XDG_RUNTIME_DIR" "$SWAYSOCK"; '
              f'{sys.executable} -c "from pravlin import Pravlin; print(Pravlin().screenshot().shape)"; exit 7')
    res = run(["-o", "1280x720", "--", "sh", "-c", script])
    assert res.returncode == 7, res.stderr
    display, runtime_dir, swaysock, shape = res.stdout.splitlines()
    assert (display, shape) == ("wayland-1", "(720, 1280, 4)")
    assert swaysock.startswith(runtime_dir + "/") and runtime_dir.startswith("/tmp/pravlin-session-")
    assert runtime_dir != os.environ.get("XDG_RUNTIME_DIR")
    assert not Path(runtime_dir).parent.exists()
    assert shm_names() <= before


def test_x11_programs_run_with_xwayland_and_without_it_find_no_display(tmp_path):
    script = 'printf "%s\\n" "${DISPLAY:-none}"; xterm -e true 2>&1 && echo connected'
    res = run(["-o", "640x480", "--xwayland", "--", "sh", "-c", script])
    assert res.returncode == 0, res.stderr
    display, *rest = res.stdout.splitlines()
    assert display.startswith(":") and rest[-1:] == ["connected"], res.stdout
    res = run(["-o", "640x480", "--", "sh", "-c", script])
    assert res.stdout.splitlines()[0] == "none" and "connected" not in res.stdout
    # The plugin's option, and the session of a pravlin-run --xwayland the run is inside.
    for args, launcher in ((["--wayland-xwayland"], ()), ([], (*PRAVLIN_RUN, "--xwayland", "--"))):
        res, seen = pytest_in(tmp_path, *args, launcher=launcher)
        assert res.returncode == 0 and seen["FIRST"].split()[2].startswith(":"), res.stdout + res.stderr


@pytest.mark.parametrize("sig", [signal.SIGTERM, signal.SIGINT, signal.SIGKILL])
def test_launcher_signal_stops_every_process_of_the_session(sig):
    before = shm_names()
    launcher = subprocess.Popen(
        [*PRAVLIN_RUN, "--", "sh", "-c", 'echo "$$ $XDG_RUNTIME_DIR"; exec sleep 600'],
        stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        command_pid, runtime_dir = launcher.stdout.readline().split()
        base = str(Path(runtime_dir).parent)
        pids = descendants(launcher.pid)
        assert int(command_pid) in pids and len(pids) >= 3, f"expected the command, sway and the holder: {pids}"
        launcher.send_signal(sig)
        status = launcher.wait(30)
        assert status == (-sig if sig == signal.SIGKILL else 128 + sig), launcher.stderr.read()
        deadline = time.monotonic() + 10
        while (any(map(alive, pids)) or Path(base).exists()) and time.monotonic() < deadline:
            time.sleep(0.05)
        assert [pid for pid in pids if alive(pid)] == []
        assert not Path(base).exists()
        assert shm_names() <= before
    finally:
        if launcher.poll() is None:
            launcher.kill()
            launcher.wait()
        launcher.stdout.close()
        launcher.stderr.close()


def _fake_sway_dir():
    """A world-readable directory whose `sway` dies at once, as a broken compositor would. For root,
    outside /tmp, which a root session's compositor sees as an empty one of its own."""
    d = Path(tempfile.mkdtemp(prefix="pravlin-fake-sway-", dir="/run" if os.geteuid() == 0 else None))
    d.chmod(0o755)
    fake = d / "sway"
    fake.write_text("#!/bin/sh\necho 'sway: no backend could be started' >&2\nexit 3\n")
    fake.chmod(0o755)
    return d


def _only_setpriv_dir():
    d = Path(tempfile.mkdtemp(prefix="pravlin-no-sway-"))
    (d / "setpriv").symlink_to("/usr/bin/setpriv")
    return d


# pravlin-run's own failures before anything starts: its arguments, and what they name.
BAD_ARGUMENTS = {
    "bad size": (["-o", "1920x0"], "bad output size '1920x0'"),
    "a size in other digits": (["-o", "\u00b2x720"], "bad output size '\u00b2x720'"),
    "too many outputs": (["-o", "320x200"] * 17, "a session has at most 16 outputs (17 asked for)"),
    "bad refresh rate": (["-o", "640x480@fast"], "bad refresh rate 'fast'"),
    "no refresh at all": (["--refresh", "0"], "bad refresh rate '0'"),
    "timeout not a number": (["-t", "abc"], "argument -t/--timeout: invalid float value: 'abc'"),
    "timeout nan": (["-t", "nan"], "bad timeout nan"),
    "unknown compositor": (["-c", "weston"], "argument -c/--compositor: invalid choice: 'weston'"),
    "unknown option": (["--frobnicate"], "unrecognized arguments: --frobnicate"),
    "log in a missing directory": (["-e", "/nonexistent/dir/sway.log"],
                                   "cannot write the compositor's log to /nonexistent/dir/sway.log: "
                                   "No such file or directory"),
}


@pytest.mark.parametrize("case", [*BAD_ARGUMENTS, "no command", "bad layout", "no such user", "sway missing",
                                  "sway dies"])
def test_launcher_failures_are_one_clear_line(case):
    env = dict(os.environ)
    args = []
    made = None
    command = ["--", "true"]
    if case in BAD_ARGUMENTS:
        args, expect = BAD_ARGUMENTS[case]
    elif case == "no command":
        command, expect = [], "no command given"
    elif case == "bad layout":
        args = ["--keyboard-layout", "no-such-layout"]
        expect = "cannot build a keymap for layout 'no-such-layout'"
    elif case == "no such user":
        if os.geteuid() != 0:
            pytest.skip("only root picks a user for the compositor")
        args = ["--user", "no-such-user-here"]
        expect = "no user 'no-such-user-here'"
    elif case == "sway missing":
        made = _only_setpriv_dir()
        env["PATH"] = str(made)
        expect = "sway is not installed (on Debian or Ubuntu: apt-get install sway)"
    else:
        made = _fake_sway_dir()
        env["PATH"] = f"{made}:{env['PATH']}"
        expect = "exited with status 3 while starting; its log ends:"
    try:
        res = run([*args, *command], env=env)
    finally:
        if made:
            for f in made.iterdir():
                f.unlink()
            made.rmdir()
    assert res.returncode == 125, res
    first, *rest = res.stderr.splitlines()
    assert first.startswith("pravlin-run: ") and expect in first, res.stderr
    assert "Traceback" not in res.stderr
    if case == "sway dies":
        # What wlroots says on every headless start is left out of the log's end.
        assert rest and "no backend could be started" in rest[-1] and "DRM" not in res.stderr
    else:
        assert rest == []


@pytest.mark.parametrize("command", ["script without #!", "not a program", "through a file", "a directory",
                                     "missing path", "missing name"])
def test_commands_that_cannot_be_run_end_as_with_env(command, tmp_path):
    """The command's status, and its one line, are what env(1) gives for the same command."""
    script = tmp_path / "noshebang.sh"
    script.write_text('echo "ran $1"; exit 3\n')
    script.chmod(0o755)
    elf = tmp_path / "badelf"
    elf.write_bytes(b"\x7fELF\x02\x01\x01\x00garbage")
    elf.chmod(0o755)
    argv = {"script without #!": [str(script), "here"], "not a program": [str(elf)],
            "through a file": ["/etc/passwd/x"], "a directory": [str(tmp_path)],
            "missing path": [str(tmp_path / "nothing")], "missing name": ["no-such-command-here"]}[command]
    res = run(["--", *argv])
    expected = subprocess.run(["env", *argv], capture_output=True, text=True)
    assert (res.returncode, res.stdout) == (expected.returncode, expected.stdout), (res, expected)
    assert "Traceback" not in res.stderr
    if expected.stderr.startswith("env: "):  # env's own word, not the command's
        assert res.stderr.startswith(f"pravlin-run: {argv[0]}: ") and res.stderr.count("\n") == 1, res.stderr
    else:
        assert res.stderr == expected.stderr


def test_sessions_run_side_by_side():
    with HeadlessSession([(640, 480)]) as a, HeadlessSession([(800, 600), (320, 200)]) as b:
        assert a.socket != b.socket and a.runtime_dir != b.runtime_dir
        assert [(o.name, o.width, o.height, o.x) for o in b.outputs] == [
            ("HEADLESS-1", 800, 600, 0), ("HEADLESS-2", 320, 200, 800)]
        assert Pravlin(a.socket).screenshot().shape == (480, 640, 4)
        pb = Pravlin(b.socket)
        assert pb.screenshot("HEADLESS-2").shape == (200, 320, 4)
        assert pb.screenshot("HEADLESS-1").shape == (600, 800, 4)
        bases = [Path(a.runtime_dir).parent, Path(b.runtime_dir).parent]
    assert not any(base.exists() for base in bases)
    # A stopped session refuses to be used.
    assert a.env == {}
    for use in (lambda: a.spawn(["true"]), a.environ, lambda: a.swaymsg("-t", "get_version")):
        with pytest.raises(SessionError, match="not running"):
            use()


def test_instances_come_and_go_on_the_plugins_session(sway):
    """200 back-to-back constructions with wtype in between, and clicks right after construction."""
    screen = sway.outputs[0]
    built, failures = seat_bars.constructions(sway.environ())
    # sway re-activates a keyboard only after it has reported the loss, so the holder can lose the
    # race against a construction that follows within microseconds; it must stay rare.
    assert built >= 190, failures[:5]
    clicked, misses = seat_bars.clicks(sway.environ(), screen.width, screen.height)
    assert clicked == 20, misses


def test_instances_come_and_go_inside_pravlin_run():
    res = run(["--", sys.executable, str(HERE / "seat_bars.py"), "1920", "1080"])
    assert res.returncode == 0, res.stderr
    counts = json.loads(res.stdout.splitlines()[-1])
    assert counts["constructions"] >= 190, counts["construction_failures"][:5]
    assert counts["clicks"] == 20, counts["click_misses"]


def processes_mentioning(text):
    """Live processes whose command line or environment holds `text` (a session's directory)."""
    found = []
    for entry in os.listdir("/proc"):
        if entry.isdigit() and int(entry) != os.getpid():
            try:
                seen = Path(f"/proc/{entry}/cmdline").read_bytes() + Path(f"/proc/{entry}/environ").read_bytes()
                state = Path(f"/proc/{entry}/stat").read_text().rpartition(")")[2].split()[0]
            except OSError:
                continue
            if text.encode() in seen and state != "Z":
                found.append(int(entry))
    return found


def wait_until(condition, seconds=15.0):
    deadline = time.monotonic() + seconds
    while not condition() and time.monotonic() < deadline:
        time.sleep(0.05)
    return condition()


AS_OTHER = r"""
import json, os, socket, sys
run = sys.argv[1]
out = {}
for name in ("wayland-1", "sway-ipc.sock"):
    s = socket.socket(socket.AF_UNIX)
    try:
        s.connect(os.path.join(run, name))
        out[name] = "connected"
    except OSError as e:
        out[name] = e.strerror
    s.close()
for d in (run, os.path.join(os.path.dirname(run), "home"), os.path.dirname(run)):
    try:
        os.listdir(d)
        out[d] = "listed"
    except OSError as e:
        out[d] = e.strerror
print(json.dumps(out))
"""


@pytest.mark.skipif(os.geteuid() != 0, reason="only root starts sessions as another user id")
def test_a_root_session_is_reachable_by_root_alone():
    with HeadlessSession([(320, 200)]) as a, HeadlessSession([(320, 200)]) as b:
        # The compositor's runtime directory; root's programs have one of their own beside it.
        runs = [str(Path(s.runtime_dir).parent / "run") for s in (a, b)]
        owners = {os.stat(run).st_uid for run in runs}
        assert len(owners) == 2 and 0 not in owners, "each session has a user id of its own"
        for account in ("nobody", "4242"):
            for run in (runs[0], a.runtime_dir):
                res = subprocess.run(["setpriv", f"--reuid={account}", "--regid=4242", "--clear-groups",
                                      sys.executable, "-c", AS_OTHER, run],
                                     capture_output=True, text=True, timeout=30)
                assert set(json.loads(res.stdout).values()) == {"Permission denied"}, (account, res.stdout)
        assert Pravlin(a.socket).screenshot().shape == (200, 320, 4)
        assert "1.7" in a.swaymsg("-t", "get_version")
        # A program sway starts runs as its account, on any CPU, and goes with the session.
        a.swaymsg("exec", "exec sleep 6061")

        def started():
            return [p for p in processes_mentioning(runs[0])
                    if Path(f"/proc/{p}/cmdline").read_bytes() == b"sleep\x006061\x00"]

        assert wait_until(started, 5)
        (program,) = started()
        assert os.stat(f"/proc/{program}").st_uid == os.stat(runs[0]).st_uid
        assert os.sched_getaffinity(program) == os.sched_getaffinity(0)
        base = Path(a.runtime_dir).parent
    assert wait_until(lambda: not processes_mentioning(str(base)), 5), processes_mentioning(str(base))
    assert not base.exists()


ATTACKER = r"""
import ctypes, os, sys
home, victim = sys.argv[1], sys.argv[2]
a = os.path.join(home, "a")
os.mkdir(a)
for i in range(3000):
    open(os.path.join(a, f"f{i}"), "w").close()
libc = ctypes.CDLL(None, use_errno=True)
fd = libc.inotify_init1(0)
libc.inotify_add_watch(fd, a.encode(), 0x200)  # IN_DELETE
print("armed", flush=True)
os.read(fd, 4096)
b = os.path.join(home, "b")
while True:  # a link to the victim in place of a, half of the time
    os.rename(a, b)
    os.symlink(victim, a)
    os.unlink(a)
    os.rename(b, a)
"""


@pytest.mark.parametrize("case", ["signals during start-up", "300 clients", "a link swapped in"])
def test_a_starter_killed_outright_leaves_nothing_behind(case, tmp_path):
    """Whenever the process that started a session dies, the seat holder stops every process of the
    session and removes its directory, and touches nothing outside it."""
    if case == "a link swapped in" and os.geteuid() != 0:
        pytest.skip("needs a second account to swap the link as")
    # Short enough for sessions to go there (tmp_path is too long for a socket's path).
    private_tmp = Path(tempfile.mkdtemp(prefix="pravlin-test-"))
    private_tmp.chmod(0o711)  # the compositor's account passes through
    env = {**os.environ, "TMPDIR": str(private_tmp)}
    victim = tmp_path / "victim"
    victim.mkdir(mode=0o700)
    for i in range(3000):
        (victim / f"f{i}").touch()
    if case == "signals during start-up":
        for i in range(20):
            launcher = subprocess.Popen([*PRAVLIN_RUN, "--", "sleep", "60"], env=env, stdout=subprocess.DEVNULL,
                                        stderr=subprocess.DEVNULL)
            time.sleep(0.035 * i / 20)
            launcher.send_signal(signal.SIGKILL if i % 2 else signal.SIGINT)
            try:
                launcher.wait(10)
            except subprocess.TimeoutExpired:
                # A SIGINT that comes while the interpreter itself starts up can be lost (CPython prints
                # the KeyboardInterrupt and goes on); the launcher then runs its command, which a second
                # SIGINT ends like any other.
                launcher.send_signal(signal.SIGINT)
                launcher.wait(30)
    elif case == "300 clients":
        starter = subprocess.Popen(
            [sys.executable, "-P", "-c", "import sys, time\nfrom pravlin_session import HeadlessSession\n"
             "s = HeadlessSession([(320, 200)]).start()\n"
             "for i in range(300): s.spawn(['sleep', '600'])\n"
             "print('spawned', flush=True)\ntime.sleep(600)"],
            env=env, stdout=subprocess.PIPE, text=True)
        assert starter.stdout.readline() == "spawned\n"
        starter.kill()
        starter.wait()
        starter.stdout.close()
    else:
        launcher = subprocess.Popen([*PRAVLIN_RUN, "--user", "nobody", "--", "sh", "-c",
                                     'echo "$XDG_RUNTIME_DIR"; exec sleep 600'],
                                    env=env, stdout=subprocess.PIPE, text=True)
        home = Path(launcher.stdout.readline().strip()).parent / "home"
        attacker = subprocess.Popen(["setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups",
                                     sys.executable, "-c", ATTACKER, str(home), str(victim)],
                                    stdout=subprocess.PIPE, text=True, start_new_session=True)
        try:
            assert attacker.stdout.readline() == "armed\n"
            launcher.kill()
            launcher.wait()
            launcher.stdout.close()
            assert wait_until(lambda: not any(private_tmp.iterdir()))
        finally:
            attacker.kill()
            attacker.wait()
            attacker.stdout.close()
    # The holder gives the session's processes a few seconds' grace; a loaded machine takes longer.
    assert wait_until(lambda: not processes_mentioning(str(private_tmp)) and not any(private_tmp.iterdir()), 40), (
        processes_mentioning(str(private_tmp)), list(private_tmp.iterdir()))
    private_tmp.rmdir()
    assert len(list(victim.iterdir())) == 3000


# Run by sway, as the compositor's account: a tree DEPTH levels deep in its home, with links to the
# victim at the bottom and part way down, then the file `done` beside the script.
DEEP_TREE = r"""
import os, sys
victim, depth, done = sys.argv[1], int(sys.argv[2]), sys.argv[3]
os.chdir(os.environ["HOME"])
for level in range(depth):
    if level in (40, depth - 1):
        os.symlink(victim, "victim")
    os.mkdir("d")
    os.chdir("d")
open(done, "w").close()
"""

DEEP_SESSION = r"""
import os, resource, sys, time
from pathlib import Path
from pravlin_session import HeadlessSession
victim, depth = sys.argv[1], int(sys.argv[2])
resource.setrlimit(resource.RLIMIT_NOFILE, (256, 256))
session = HeadlessSession([(320, 200)]).start()
base = Path(session.runtime_dir).parent
(base / "run" / "deep.py").write_text(sys.argv[3])
session.swaymsg("exec", f"python3 {base}/run/deep.py {victim} {depth} {base}/run/done")
while not (base / "run" / "done").exists():
    time.sleep(0.05)
if sys.argv[4] == "holder killed":
    session._holder.kill()
    session._holder.wait()
session.close()
print(base)
"""


@pytest.mark.parametrize("case", ["closed", "holder killed", "pravlin-run"])
def test_a_deep_tree_in_the_session_goes_with_it(case, tmp_path):
    """A program sway starts makes a tree 2,500 directories deep in its home: the session's directory
    is removed all the same, with 256 descriptors at most, by the seat holder or, when the holder
    was killed outright, by the session's close(), and no link in it is followed; pravlin-run exits
    with the command's status."""
    victim = tmp_path / "victim"
    victim.mkdir()
    (victim / "kept").touch()
    if case == "pravlin-run":
        command = ('run="$(dirname "$XDG_RUNTIME_DIR")/run"; cat > "$run/deep.py"; '
                   f'swaymsg exec "python3 $run/deep.py {victim} 2500 $run/done" > /dev/null; '
                   'while [ ! -e "$run/done" ]; do sleep 0.05; done; echo "$run"; exit 3')
        res = subprocess.run([*PRAVLIN_RUN, "--", "sh", "-c", command], input=DEEP_TREE, capture_output=True,
                             text=True, timeout=300,
                             preexec_fn=lambda: resource.setrlimit(resource.RLIMIT_NOFILE, (256, 256)))
        assert res.returncode == 3 and res.stderr == "", res
        base = Path(res.stdout.strip()).parent
    else:
        res = subprocess.run([sys.executable, "-P", "-c", DEEP_SESSION, str(victim), "2500", DEEP_TREE, case],
                             capture_output=True, text=True, timeout=300)
        assert res.returncode == 0 and res.stderr == "", res
        base = Path(res.stdout.strip())
    assert base.name.startswith("pravlin-session-") and not base.exists()
    assert [p.name for p in victim.iterdir()] == ["kept"]


JOBS = r"""
import os, pty, select, sys, time
pid, fd = pty.fork()
if pid == 0:
    os.execvpe("bash", ["bash", "--norc", "--noprofile", "-i"], dict(os.environ, PS1="$ ", TERM="dumb"))
out = b""
def say(text, seconds):
    global out
    os.write(fd, text.encode())
    end = time.monotonic() + seconds
    while (left := end - time.monotonic()) > 0:
        if select.select([fd], [], [], left)[0]:
            try:
                out += os.read(fd, 4096)
            except OSError:
                break
say("", 0.5)
say(sys.argv[1] + " -- sh -c 'sleep 1; read x; echo got-$x'\n", 1.0)
say("\x1a", 0.5)             # Ctrl-Z
say("bg\n", 2.0)             # the command reads the terminal in the background, and stops for it
say("echo alive-$((2+3))\n", 0.5)
say("fg\n", 1.0)
say("abc\n", 1.0)
say("echo status-$?\n", 0.5)
say("exit\n", 0.5)
print(out.decode(errors="replace"))
"""


def test_job_control_in_an_interactive_shell_works_as_with_env():
    res = subprocess.run([sys.executable, "-c", JOBS, " ".join(PRAVLIN_RUN)], capture_output=True, text=True,
                         timeout=60)
    text = res.stdout
    assert "alive-5" in text and "got-abc" in text and "status-0" in text, text
    assert text.count("Stopped") >= 2, text  # after Ctrl-Z, and after the read in the background


def test_close_gives_every_process_of_a_client_its_grace(tmp_path):
    handler = f'trap "sleep 0.3; echo $$ >> {tmp_path}/stopped; exit 0" TERM; while :; do sleep 0.05; done'
    with HeadlessSession([(320, 200)]) as session:
        # The group's leader goes at once on SIGTERM; its two members need a moment.
        session.spawn(["sh", "-c", f"sh -c '{handler}' & sh -c '{handler}' & trap 'exit 0' TERM; "
                       "while :; do sleep 0.05; done"])
        in_our_group = session.spawn(["sleep", "600"], start_new_session=False)
        time.sleep(0.3)
    assert len((tmp_path / "stopped").read_text().split()) == 2
    assert in_our_group.poll() is not None


NESTED = """
import os

def test_the_run_points_at_the_session_from_the_start():
    print("FIRST", os.environ["WAYLAND_DISPLAY"], os.environ["XDG_RUNTIME_DIR"], os.environ.get("DISPLAY", "none"))

def test_outputs(wayland_session):
    print("OUTPUTS", wayland_session.socket, [(o.name, o.width, o.height, o.x, o.y, o.refresh)
                                             for o in wayland_session.outputs])
"""


def pytest_in(tmp_path, *args, launcher=()):
    (tmp_path / "test_nested.py").write_text(NESTED)
    env = {k: v for k, v in os.environ.items() if k not in ("WAYLAND_DISPLAY", "SWAYSOCK", "PRAVLIN_SESSION")}
    # From tmp_path: a checkout on sys.path would shadow the installed package.
    res = subprocess.run([*launcher, sys.executable, "-m", "pytest", "-q", "-s", "-p", "no:cacheprovider",
                          "--rootdir", str(tmp_path), *args, str(tmp_path / "test_nested.py")],
                         env=env, cwd=str(tmp_path), capture_output=True, text=True, timeout=120)
    lines = {line.split()[0]: line.split(maxsplit=1)[1] for line in res.stdout.splitlines()
             if line.startswith(("FIRST", "OUTPUTS", ".FIRST", ".OUTPUTS"))}
    return res, {k.lstrip("."): v for k, v in lines.items()}


def test_the_plugin_inside_pravlin_run_uses_its_session(tmp_path):
    """Without session options the plugin takes the session it runs in, outputs where sway has them;
    with one it starts its own."""
    outer = [*PRAVLIN_RUN, "-o", "1280x720", "-o", "800x600@144", "--"]
    res, seen = pytest_in(tmp_path, launcher=outer)
    assert res.returncode == 0, res.stdout + res.stderr
    socket, outputs = seen["OUTPUTS"].split(maxsplit=1)
    assert outputs == ("[('HEADLESS-1', 1280, 720, 0, 0, 60.0), ('HEADLESS-2', 800, 600, 1280, 0, 144.0)]")
    display, runtime_dir, x_display = seen["FIRST"].split()
    assert socket == f"{runtime_dir}/{display}" and x_display == "none"
    res, seen = pytest_in(tmp_path, "--wayland-outputs", "640x480", launcher=outer)
    assert res.returncode == 0, res.stdout + res.stderr
    assert "('HEADLESS-1', 640, 480, 0, 0, 60.0)]" in seen["OUTPUTS"] and seen["OUTPUTS"].split()[0] != socket


@pytest.mark.parametrize("args, message", [
    (["--wayland-display", "wayland-no-such-display"], "cannot use the Wayland display wayland-no-such-display"),
    (["--wayland-outputs", "abc"], "bad output size 'abc'"),
    (["--wayland-compositor", "weston"], "unknown compositor 'weston'"),
    (["--wayland-refresh", "nan"], "bad refresh rate 'nan'"),
])
def test_bad_plugin_settings_are_usage_errors(tmp_path, args, message):
    res, _ = pytest_in(tmp_path, *args)
    assert res.returncode == 4 and f"ERROR: pravlin_session: {message}" in res.stderr, res.stdout + res.stderr


XDIST_SAMPLE = """
import json, os, subprocess
import pytest
from pravlin_session import SessionError

def child_running(pid, cmdline):
    try:
        with open(f"/proc/{pid}/stat") as f:
            state, parent = f.read().rsplit(")", 1)[1].split()[:2]
        with open(f"/proc/{pid}/cmdline", "rb") as f:
            return int(parent) == os.getpid() and state != "Z" and f.read() == cmdline
    except OSError:
        return False

def test_each_worker_has_a_session_of_its_own(wayland_session):
    foot = wayland_session.spawn(["foot"], wait_for_window=True)
    tree = wayland_session.swaymsg("-t", "get_tree")
    with pytest.raises(SessionError, match="exited with status 3 before it mapped a window"):
        wayland_session.spawn(["sh", "-c", "exit 3"], wait_for_window=True)
    with pytest.raises(SessionError, match="mapped no window within 0.3 s"):
        wayland_session.spawn(["sleep", "30"], wait_for_window=0.3)
    # The client that mapped nothing in time is gone: no child of this worker is left running it.
    left = [pid for pid in os.listdir("/proc") if pid.isdigit() and child_running(pid, b"sleep\\x0030\\x00")]
    record = {"socket": wayland_session.socket, "display": os.environ["WAYLAND_DISPLAY"],
              "runtime": os.environ["XDG_RUNTIME_DIR"], "compositor": wayland_session.compositor_pid,
              "mapped": f'"pid": {foot.pid},' in tree, "sleep_left": left}
    path = os.path.join(os.environ["RECORDS"], os.environ["PYTEST_XDIST_WORKER"])
    with open(path, "w") as f:
        json.dump(record, f)
"""


def test_each_xdist_worker_gets_a_session_and_spawn_waits_for_the_window(tmp_path):
    pytest.importorskip("xdist")
    (tmp_path / "test_workers.py").write_text(XDIST_SAMPLE)
    records = tmp_path / "records"
    records.mkdir()
    env = {k: v for k, v in os.environ.items() if k not in ("WAYLAND_DISPLAY", "SWAYSOCK", "PRAVLIN_SESSION")}
    env["RECORDS"] = str(records)
    # Inside pravlin-run: its session is not the workers' either. `--dist each` runs the test on both.
    res = subprocess.run([*PRAVLIN_RUN, "--", sys.executable, "-m", "pytest", "-p", "no:cacheprovider",
                          "--rootdir", str(tmp_path), "-n", "2", "--dist", "each", str(tmp_path / "test_workers.py")],
                         env=env, cwd=str(tmp_path), capture_output=True, text=True, timeout=300)
    out = res.stdout + res.stderr
    assert res.returncode == 0, out
    assert "wayland session: one per xdist worker" in out, out
    seen = {p.name: json.loads(p.read_text()) for p in records.iterdir()}
    assert sorted(seen) == ["gw0", "gw1"], out
    a, b = seen["gw0"], seen["gw1"]
    assert a["socket"] != b["socket"] and a["compositor"] != b["compositor"], seen
    for record in (a, b):
        assert record["socket"] == os.path.join(record["runtime"], record["display"]), record
        assert isinstance(record["compositor"], int) and record["mapped"] and record["sleep_left"] == [], record
