"""What a root session keeps apart: root's programs from the compositor's account, one session from
the next, and the session's directory from whatever its account leaves in it. Each test is one
attack, run as root against real sway."""

import os
import select
import stat
import subprocess
import sys
import time
from pathlib import Path

import pytest

from pravlin import Pravlin
from pravlin_session import HeadlessSession

HERE = Path(__file__).resolve().parent

pytestmark = [pytest.mark.usefixtures("sway"),  # skips the module where sway cannot run
              pytest.mark.skipif(os.geteuid() != 0, reason="only root runs the compositor as another account")]


def wait_until(condition, seconds=15.0):
    deadline = time.monotonic() + seconds
    while not condition() and time.monotonic() < deadline:
        time.sleep(0.05)
    return condition()


def read_until(proc, wanted, timeout):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if not select.select([proc.stdout], [], [], max(deadline - time.monotonic(), 0))[0]:
            break
        line = proc.stdout.readline()
        if not line:
            break
        if line.strip() == wanted:
            return True
    return False


def as_compositor(session, script, seconds=20.0):
    """Runs the shell script `script` through sway (`swaymsg exec`, as the compositor's account) and
    waits until it has finished."""
    run = Path(session.runtime_dir).parent / "run"
    done = run / "done"
    (run / "script").write_text(f"{script}\ntouch {done}\n")
    session.swaymsg("exec", f"sh {run}/script")
    assert wait_until(done.exists, seconds), f"{script!r} did not finish"
    done.unlink()


def test_roots_programs_follow_nothing_the_compositors_account_can_change(tmp_path):
    """Root's programs get a runtime directory of root's alone, in which the compositor's sockets are
    hard links: a link that the compositor's account plants in its own runtime directory (where
    dconf's file lives) is never followed by root, and swapping its sockets for links changes
    nothing for root."""
    victim = tmp_path / "victim"
    victim.write_bytes(b"root only\n")
    victim.chmod(0o600)
    with HeadlessSession([(320, 200)]) as session:
        ours = Path(session.runtime_dir)
        theirs = ours.parent / "run"
        st = os.lstat(ours)
        assert (st.st_uid, stat.S_IMODE(st.st_mode)) == (0, 0o700)
        assert os.stat(theirs).st_uid != 0
        assert session.env["XDG_RUNTIME_DIR"] == str(ours)
        assert session.env["SWAYSOCK"] == str(ours / "sway-ipc.sock")
        assert session.socket == str(ours / "wayland-1")
        as_compositor(session, f'mkdir -p "$XDG_RUNTIME_DIR/dconf"; ln -s {victim} "$XDG_RUNTIME_DIR/dconf/user"\n'
                               f'ln -s {victim} {ours}/planted\n'
                               'for s in wayland-1 sway-ipc.sock; do mv "$XDG_RUNTIME_DIR/$s" "$XDG_RUNTIME_DIR/$s.x"'
                               ' && ln -s /nonexistent "$XDG_RUNTIME_DIR/$s"; done')
        assert os.path.islink(theirs / "dconf" / "user") and os.path.islink(theirs / "wayland-1")
        assert not os.path.lexists(ours / "planted")
        # A GTK program root starts writes dconf's file in its own runtime directory.
        app = session.spawn(["/usr/bin/python3", "-u", str(HERE / "gtk_button.py")], env={"GDK_BACKEND": "wayland"},
                            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, bufsize=0)
        try:
            assert read_until(app, b"MAPPED", 20), "the GTK window never appeared"
            assert wait_until((ours / "dconf" / "user").exists, 5)
            assert os.stat(ours / "dconf" / "user").st_uid == 0
        finally:
            app.kill()
            app.wait()
            app.stdout.close()
        assert victim.read_bytes() == b"root only\n"
        # Root still reaches the compositor through its own links.
        assert Pravlin(session.socket).screenshot().shape == (200, 320, 4)
        assert "1.7" in session.swaymsg("-t", "get_version")


KEYS = r"""
import ctypes, sys
libc = ctypes.CDLL(None, use_errno=True)
USER_KEYRING = -4
if sys.argv[1] == "add":
    assert libc.syscall(248, b"user", b"pravlin-test", b"secret", 6, USER_KEYRING) > 0  # add_key
else:
    print(libc.syscall(250, 11, USER_KEYRING, None, 0) // 4)  # KEYCTL_READ: 4 bytes a key
"""

# Where a program of the compositor's account tries to leave a set-user-id copy of a program and a
# private file: every world-writable place on the machine, and its own home's parent.
LEAVE = """
for d in /tmp /var/tmp /dev/shm /run/lock /dev/mqueue "$HOME/.." /; do
    cp /usr/bin/wtype "$d/{token}-wtype" && chmod 6755 "$d/{token}-wtype"
    echo secret > "$d/{token}-private" && chmod 600 "$d/{token}-private"
done 2> /dev/null
cp /usr/bin/wtype "$HOME/{token}-wtype"; chmod 6755 "$HOME/{token}-wtype"
{python} "$XDG_RUNTIME_DIR/keys.py" add
"""

FIND = """
for f in /tmp/{token}-* /var/tmp/{token}-* /dev/shm/{token}-* /run/lock/{token}-* /{token}-*; do
    test -e "$f" && echo "$f"
done > "$XDG_RUNTIME_DIR/found"
{python} "$XDG_RUNTIME_DIR/keys.py" count > "$XDG_RUNTIME_DIR/keys"
"""


def compositor_id(session):
    return os.stat(Path(session.runtime_dir).parent / "run").st_uid


def test_a_dynamic_users_files_and_keys_go_with_its_session():
    """A program sway starts tries to leave a set-user-id copy of a program, a private file and a key
    wherever its account can write: none of it outlives the session, and a later session that gets
    the same user id (ids are handed out in turn; here it is made to come round at once) finds
    nothing of it."""
    token = f"pravlin-leftover-{os.getpid()}"
    python = "/usr/bin/python3"
    places = ["/tmp", "/var/tmp", "/dev/shm", "/run/lock", "/"]

    def left_over():
        return [f"{d.rstrip('/')}/{token}-{what}" for d in places for what in ("wtype", "private")
                if os.path.lexists(f"{d.rstrip('/')}/{token}-{what}")]

    def keys_of(uid):
        res = subprocess.run(["setpriv", f"--reuid={uid}", f"--regid={uid}", "--clear-groups", python, "-c", KEYS,
                              "count"], capture_output=True, text=True, timeout=30)
        return int(res.stdout)

    try:
        with HeadlessSession([(320, 200)]) as a:
            uid = compositor_id(a)
            run = Path(a.runtime_dir).parent / "run"
            (run / "keys.py").write_text(KEYS)
            as_compositor(a, LEAVE.format(token=token, python=python))
            # Written in its own home only, which goes with the session.
            assert (Path(a.runtime_dir).parent / "home" / f"{token}-wtype").exists()
            assert left_over() == []
            assert keys_of(uid) == 1
        assert left_over() == [] and keys_of(uid) == 0
        assert not Path(f"/run/pravlin-session/{uid}").exists()
        with HeadlessSession([(320, 200)]) as other:
            assert compositor_id(other) != uid, "ids are handed out in turn"
        Path("/run/pravlin-session/next").write_text(f"{uid}\n")
        with HeadlessSession([(320, 200)]) as b:
            assert compositor_id(b) == uid
            run = Path(b.runtime_dir).parent / "run"
            (run / "keys.py").write_text(KEYS)
            as_compositor(b, FIND.format(token=token, python=python))
            assert (run / "found").read_text() == ""
            assert (run / "keys").read_text().strip() == "0"
    finally:
        for path in left_over():
            os.unlink(path)
