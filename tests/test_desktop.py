"""pravlin_desktop.Desktop against the scriptable test compositor: the requests each kind of action
sends (keys in order with the modifier state after each, levels and layouts, keys added for characters
the layout lacks, the wheel), what is refused before anything is sent, and that nothing stays pressed:
not after an interrupted hold, not after close, not after the process is killed."""

import os
import re
import signal
import subprocess
import sys
import textwrap
import time

import pytest

from pravlin_desktop import Desktop
from testcomp import TestCompositor

KEY_LEFTCTRL, KEY_LEFTSHIFT, KEY_RIGHTALT = 29, 42, 100
KEY_A, KEY_T, KEY_Q, KEY_2 = 30, 20, 16, 3
BTN_LEFT = 0x110
SHIFT, CTRL, MOD5 = 0x1, 0x4, 0x80


def keymap(symbols):
    return {"format": 1, "text": "xkb_keymap {\n  xkb_keycodes { include \"evdev\" };\n"
            "  xkb_types { include \"complete\" };\n  xkb_compat { include \"complete\" };\n"
            f"  xkb_symbols {{ include \"{symbols}\" }};\n}};\n", "nul": True}


class Rig:
    """A Desktop on a test compositor, and the requests it sent since the last look."""

    def __init__(self, comp):
        self.comp = comp
        self.d = Desktop(comp.socket)
        self._seen = len(comp.requests())

    def sent(self, client=1):
        reqs = self.comp.requests(client)
        new, self._seen = reqs[self._seen:], len(reqs)
        return [(f"{i.split('_v1')[0].split('_')[-1]}.{r}", a) for i, r, a in new if r != "sync"]

    def keys(self):
        """The keyboard's requests as ("key", code, state) and ("mods", depressed, locked, group)."""
        out = []
        for name, args in self.sent():
            if name == "keyboard.key":
                out.append(("key", args[1], args[2]))
            elif name == "keyboard.modifiers":
                out.append(("mods", args[0], args[2], args[3]))
        return out


@pytest.fixture
def rig(compositor):
    r = Rig(compositor())
    yield r
    r.d.close()


def test_chords_press_in_order_and_report_the_modifier_state_after_each_key(rig):
    rig.d.key("ctrl+shift+t")
    assert rig.keys() == [
        ("key", KEY_LEFTCTRL, 1), ("mods", CTRL, 0, 0), ("key", KEY_LEFTSHIFT, 1), ("mods", CTRL | SHIFT, 0, 0),
        ("key", KEY_T, 1), ("key", KEY_T, 0),
        ("key", KEY_LEFTSHIFT, 0), ("mods", CTRL, 0, 0), ("key", KEY_LEFTCTRL, 0), ("mods", 0, 0, 0)]
    # The same chord as a list, names in any case; a capital needs Shift as a person's would.
    rig.d.key(["CTRL", "Shift", "t"])
    rig.keys()
    rig.d.key("ctrl+T")
    assert [k for k in rig.keys() if k[0] == "key" and k[2] == 1] == [
        ("key", KEY_LEFTCTRL, 1), ("key", KEY_LEFTSHIFT, 1), ("key", KEY_T, 1)]
    # Held keys stay held: a chord does not press or release them again.
    rig.d.key_down("ctrl")
    rig.keys()
    rig.d.key("ctrl+a")
    assert rig.keys() == [("key", KEY_A, 1), ("key", KEY_A, 0)]
    rig.d.key("ctrl+a", hold=0.01)
    rig.d.click(1, 1, hold=0.01, modifiers=["ctrl"])
    assert [k for k in rig.keys() if k[0] == "key"] == [("key", KEY_A, 1), ("key", KEY_A, 0)]
    rig.d.key_up("ctrl")
    assert rig.keys() == [("key", KEY_LEFTCTRL, 0), ("mods", 0, 0, 0)]


def test_characters_use_the_level_of_the_seat_layout(compositor):
    us = Rig(compositor())
    us.d.type("a@")
    assert us.keys() == [("key", KEY_A, 1), ("key", KEY_A, 0), ("key", KEY_LEFTSHIFT, 1), ("mods", SHIFT, 0, 0),
                         ("key", KEY_2, 1), ("key", KEY_2, 0), ("key", KEY_LEFTSHIFT, 0), ("mods", 0, 0, 0)]
    us.d.close()
    # On a German layout "@" is AltGr+q, and AltGr is the right Alt key.
    de = Rig(compositor({"keymaps": [keymap("pc+de")]}))
    de.d.type("@")
    assert de.keys() == [("key", KEY_RIGHTALT, 1), ("mods", MOD5, 0, 0), ("key", KEY_Q, 1), ("key", KEY_Q, 0),
                         ("key", KEY_RIGHTALT, 0), ("mods", 0, 0, 0)]
    de.d.close()


def test_characters_of_another_layout_lock_that_layout_around_their_key(compositor):
    rig = Rig(compositor({"keymaps": [keymap("pc+us+ru:2")]}))
    rig.d.type("aж")
    keys = rig.keys()
    assert keys[:2] == [("key", KEY_A, 1), ("key", KEY_A, 0)]
    # Cyrillic zhe is the ";" key of the second layout.
    assert keys[2:] == [("mods", 0, 0, 1), ("key", 39, 1), ("key", 39, 0), ("mods", 0, 0, 0)]
    rig.d.close()


def test_characters_the_layout_lacks_go_on_keys_every_toolkit_knows_and_stay_there(rig):
    rig.d.type("é😀é\n")
    sent = rig.sent()
    keymaps = [args for name, args in sent if name == "keyboard.keymap"]
    assert len(keymaps) == 1 and sent[0][0] == "keyboard.keymap", sent
    presses = [args[1] for name, args in sent if name == "keyboard.key" and args[2] == 1]
    # é and the emoji on the first carriers, KEY_ZENKAKUHANKAKU and KEY_RO, which the US keymap leaves
    # empty; é again on the same key, then Return (evdev 28).
    assert presses == [85, 89, 85, 28]
    # Added keys stay: typing them again, or what the seat's keymap has, needs no new keymap.
    rig.d.type("ab😀é")
    assert not [n for n, _ in rig.sent() if n == "keyboard.keymap"]
    # "$" is Shift+4, as on a US keyboard, not KEY_DOLLAR (434), which X11 cannot see.
    rig.d.type("$")
    assert rig.keys() == [("mods", 0, 0, 0), ("key", KEY_LEFTSHIFT, 1), ("mods", SHIFT, 0, 0), ("key", 5, 1),
                          ("key", 5, 0), ("key", KEY_LEFTSHIFT, 0), ("mods", 0, 0, 0)][1:]
    # More new characters than carriers: the text goes in runs, and the carriers least recently used
    # are taken again, so that a later run of the same text finds its keys.
    greek = "αβγδεζηθικλμνξοπρστυφχψω"
    rig.d.type(greek + "é")
    sent = rig.sent()
    keymaps = [args for name, args in sent if name == "keyboard.keymap"]
    presses = [args[1] for name, args in sent if name == "keyboard.key" and args[2] == 1]
    assert len(keymaps) == 2 and len(presses) == len(greek) + 1
    carriers = {85, 89, 124, 189, 194, 209, 183, 184, 185, 186, 187, 188, 190, 191, 192, 193,
                92, 94, 93, 90, 91, 122, 123}
    assert set(presses) <= carriers and len(set(presses[:23])) == 23

def test_the_wheel_turns_notch_by_notch_as_a_mouse_wheel_does(rig):
    rig.d.scroll(2, x=10, y=20)
    sent = rig.sent()
    assert sent[0] == ("pointer.motion_absolute", [sent[0][1][0], 10, 20, 64, 48])
    # Each notch at a time of its own, at least 4 ms after the one before, as a wheel spun fast sends them.
    first, second = (args[0] for name, args in sent if name == "pointer.axis_discrete")
    assert first == sent[0][1][0] and second >= first + 4
    notch = [[("pointer.axis_source", [0]), ("pointer.axis_discrete", [t, 0, 15.0, 1]), ("pointer.frame", [])]
             for t in (first, second)]
    assert sent[1:] == [("pointer.frame", [])] + notch[0] + notch[1]
    rig.d.scroll(dx=-1, modifiers=["ctrl"])
    sent = rig.sent()
    time_ms = sent[0][1][0]
    assert sent == [("keyboard.key", [time_ms, KEY_LEFTCTRL, 1]), ("keyboard.modifiers", [CTRL, 0, 0, 0]),
                    ("pointer.axis_source", [0]), ("pointer.axis_discrete", [time_ms, 1, -15.0, -1]),
                    ("pointer.frame", []),
                    ("keyboard.key", [time_ms, KEY_LEFTCTRL, 0]), ("keyboard.modifiers", [0, 0, 0, 0])]


def test_events_carry_the_monotonic_clock_in_milliseconds(rig):
    before = int(time.monotonic() * 1000) & 0xFFFFFFFF
    rig.d.click(5, 5, interval=0.05, clicks=2)
    after = int(time.monotonic() * 1000) & 0xFFFFFFFF
    times = [args[0] for name, args in rig.sent() if name in ("pointer.button", "pointer.motion_absolute")]
    assert all(before <= t <= after for t in times), (before, times, after)
    # The second click's press comes the interval after the first's.
    assert times[3] - times[1] >= 50


def test_what_cannot_be_done_is_refused_before_anything_is_sent(rig):
    for action, error in [
        (lambda: rig.d.click(64, 10), "the point (64, 10) is on no screen (OUT-1 64x48 at (0, 0))"),
        (lambda: rig.d.drag([(1, 1), (5, 5), (70, 5)]), "is on no screen"),
        (lambda: rig.d.move(-1, 0), "is on no screen"),
        (lambda: rig.d.key("ctrl+nosuchkey"), "unknown key name 'nosuchkey'"),
        (lambda: rig.d.click(button="thumb"), "unknown button 'thumb'"),
        (lambda: rig.d.type("ab\x07"), "cannot type '\\x07' (U+0007) at index 2"),
        (lambda: rig.d.click(1, 1, hold=(0.2, 0.1)), "needs 0 <= low <= high"),
        (lambda: rig.d.key(""), "empty key combination"),
    ]:
        with pytest.raises(ValueError, match=re.escape(error)):
            action()
        assert rig.sent() == [], error
    with pytest.raises(TypeError, match="give both x and y"):
        rig.d.click(5)
    assert rig.d.position() is None


def test_nothing_stays_pressed_after_an_interrupted_hold_or_close(rig):
    def interrupt(*_):
        raise KeyboardInterrupt

    old = signal.signal(signal.SIGALRM, interrupt)
    try:
        for hold in (lambda: rig.d.click(5, 5, hold=5, modifiers=["shift"]),
                     lambda: rig.d.key("ctrl+a", hold=5),
                     lambda: rig.d.drag([(1, 1), (60, 40)], duration=5)):
            signal.setitimer(signal.ITIMER_REAL, 0.1)
            with pytest.raises(KeyboardInterrupt):
                hold()
            downs, ups = set(), set()
            for name, args in rig.sent():
                if name in ("keyboard.key", "pointer.button"):
                    (downs if args[2] else ups).add((name, args[1]))
            assert downs and downs == ups
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, old)
    rig.d.key_down("shift")
    rig.d.mouse_down("right")
    rig.sent()
    rig.d.close()
    assert [(n, a[1:]) for n, a in rig.sent()] == [
        ("pointer.button", [0x111, 0]), ("pointer.frame", []), ("keyboard.key", [KEY_LEFTSHIFT, 0]),
        ("keyboard.modifiers", [0, 0, 0])]
    with pytest.raises(RuntimeError, match="closed"):
        rig.d.click()


HOLDER = textwrap.dedent("""
    import sys, time
    from pravlin_desktop import Desktop
    d = Desktop(sys.argv[1])
    d.move(10, 10)
    d.key_down("shift")
    d.key_down("a")
    d.mouse_down("left")
    print("held", flush=True)
    time.sleep(60)
""")


def test_a_killed_process_has_what_it_held_released_on_its_own_connection(compositor):
    comp = compositor()
    proc = subprocess.Popen([sys.executable, "-P", "-c", HOLDER, comp.socket], stdout=subprocess.PIPE)
    try:
        assert proc.stdout.readline() == b"held\n"
        proc.kill()
        proc.wait(10)
    finally:
        proc.stdout.close()
    comp.wait_for(lambda r: r["dir"] == "disconnect" and r["client"] == 1)
    reqs = comp.requests(1)
    first_release = min(i for i, r in enumerate(reqs) if r[1] in ("key", "button") and r[2][2] == 0)
    after = [(i.split("_v1")[0].split("_")[-1], r, a[1:] if r != "modifiers" else a)
             for i, r, a in reqs[first_release:] if r != "sync"]
    assert after == [("keyboard", "key", [KEY_A, 0]), ("keyboard", "key", [KEY_LEFTSHIFT, 0]),
                     ("keyboard", "modifiers", [0, 0, 0, 0]), ("pointer", "button", [BTN_LEFT, 0]),
                     ("pointer", "frame", [])]
