"""A small GTK 3 application for benchmarks and end-to-end checks, the same on X11 and on Wayland
(GDK_BACKEND=x11 or wayland): a toolbar, a list, a page of text and an entry, filling a window of the
size asked for at the top left of the screen.

    /usr/bin/python3 benchmarks/gtk_app.py [--size 1920x1080] [--quiet]

It prints one JSON object per line on stdout: {"ev": "ready", "w": ..., "h": ...} once it has drawn
itself at that size, then, unless --quiet, every pointer and key event GDK delivers, before the
widgets see it, with the pointer's position in the toplevel window's coordinates (the screen's under
X11 without a window manager, and the output's where the compositor tiles the window over it):
  {"ev": "press"|"release", "button": 1, "x": ..., "y": ..., "n": 1|2|3}   n: GDK's click count
  {"ev": "motion", "x": ..., "y": ..., "buttons": [1]}                     buttons held
  {"ev": "scroll", "x": ..., "y": ..., "dx": ..., "dy": ..., "smooth": false, "mods": ["shift"]}
      dy > 0 is down; a wheel notch gives a discrete event (smooth false, dx or dy +-1) and, where the
      server sends deltas too, a smooth one. GTK 3.24 on Wayland gives a horizontal notch's discrete
      event the opposite direction (a notch right arrives as left, with a smooth dx > 0): read the
      horizontal direction from the smooth events.
  {"ev": "key", "name": "a", "state": "press"|"release", "mods": [...]}
The list's scroll offset is printed when it changes: {"ev": "list", "offset": ...}.
Runs under the system Python (python3-gi).
"""

import argparse
import json
import sys

import gi

gi.require_version("Gtk", "3.0")
gi.require_version("Gdk", "3.0")
from gi.repository import Gdk, GLib, Gtk  # noqa: E402

TEXT = """\
Quarterly report — draft

Sales rose in every region but one. The northern office closed eleven accounts and opened
fourteen; the coastal office, after a slow spring, ended the quarter at 104% of its target.
Returns fell to 2.1% (from 2.8%), mostly because the new packaging survives the courier.

Open questions: should the spring catalogue move to March? Who owns the supplier review?
The numbers below are unaudited and will change.

  Region      Q1      Q2      Q3      Q4
  North    1,204   1,310   1,288   1,402
  Coast      877     901   1,015   1,122
  Inland     640     633     702     698
  Online   2,310   2,544   2,780   3,016
"""

_MODS = (
    (Gdk.ModifierType.SHIFT_MASK, "shift"),
    (Gdk.ModifierType.CONTROL_MASK, "ctrl"),
    (Gdk.ModifierType.MOD1_MASK, "alt"),
    (Gdk.ModifierType.SUPER_MASK, "super"),
)
_BUTTON_MASKS = ((Gdk.ModifierType.BUTTON1_MASK, 1), (Gdk.ModifierType.BUTTON2_MASK, 2),
                 (Gdk.ModifierType.BUTTON3_MASK, 3))


def emit(**fields):
    sys.stdout.write(json.dumps(fields) + "\n")
    sys.stdout.flush()


def mods(state):
    return [name for mask, name in _MODS if state & mask]


def report(event):
    kind = event.type
    if kind in (Gdk.EventType.BUTTON_PRESS, Gdk.EventType._2BUTTON_PRESS, Gdk.EventType._3BUTTON_PRESS,
                Gdk.EventType.BUTTON_RELEASE):
        _, x, y = event.get_root_coords()
        n = {Gdk.EventType._2BUTTON_PRESS: 2, Gdk.EventType._3BUTTON_PRESS: 3}.get(kind, 1)
        if n == 1:  # GDK adds a 2BUTTON/3BUTTON event after the second and third presses
            emit(ev="release" if kind == Gdk.EventType.BUTTON_RELEASE else "press", button=event.button.button,
                 x=round(x), y=round(y), mods=mods(event.button.state))
        else:
            emit(ev="multi", button=event.button.button, n=n, x=round(x), y=round(y))
    elif kind == Gdk.EventType.MOTION_NOTIFY:
        _, x, y = event.get_root_coords()
        state = event.motion.state
        emit(ev="motion", x=round(x), y=round(y), buttons=[b for mask, b in _BUTTON_MASKS if state & mask])
    elif kind == Gdk.EventType.SCROLL:
        _, x, y = event.get_root_coords()
        smooth, dx, dy = event.get_scroll_deltas()
        if not smooth:
            direction = event.scroll.direction
            dx = {Gdk.ScrollDirection.LEFT: -1, Gdk.ScrollDirection.RIGHT: 1}.get(direction, 0)
            dy = {Gdk.ScrollDirection.UP: -1, Gdk.ScrollDirection.DOWN: 1}.get(direction, 0)
        if dx or dy:
            emit(ev="scroll", x=round(x), y=round(y), dx=dx, dy=dy, smooth=smooth, mods=mods(event.scroll.state))
    elif kind in (Gdk.EventType.KEY_PRESS, Gdk.EventType.KEY_RELEASE):
        emit(ev="key", name=Gdk.keyval_name(event.key.keyval),
             state="press" if kind == Gdk.EventType.KEY_PRESS else "release", mods=mods(event.key.state))


def build(width, height):
    window = Gtk.Window(title="pravlin-bench-app")
    window.set_decorated(False)
    window.set_default_size(width, height)
    window.move(0, 0)
    outer = Gtk.Box(orientation=Gtk.Orientation.VERTICAL, spacing=6, margin=8)
    toolbar = Gtk.Box(spacing=6)
    for label in ("New", "Open", "Save", "Export", "Print", "Settings"):
        toolbar.pack_start(Gtk.Button(label=label), False, False, 0)
    toolbar.pack_end(Gtk.SearchEntry(placeholder_text="Search"), False, False, 0)
    outer.pack_start(toolbar, False, False, 0)

    paned = Gtk.Paned(position=width // 3)
    rows = Gtk.ListBox()
    for i in range(200):
        row = Gtk.Box(spacing=12, margin=4)
        row.pack_start(Gtk.Label(label=f"Item {i:03d}", xalign=0), False, False, 0)
        row.pack_start(Gtk.Label(label=f"account {7 * i % 97:02d} · batch {i // 10}", xalign=0), True, True, 0)
        rows.add(row)
    left = Gtk.ScrolledWindow()
    left.add(rows)
    adjustment = left.get_vadjustment()
    adjustment.connect("value-changed", lambda a: emit(ev="list", offset=a.get_value()))
    paned.pack1(left, True, False)
    view = Gtk.TextView(wrap_mode=Gtk.WrapMode.WORD, left_margin=12, top_margin=12)
    view.get_buffer().set_text("\n".join([TEXT] * 3))
    right = Gtk.ScrolledWindow()
    right.add(view)
    paned.pack2(right, True, False)
    outer.pack_start(paned, True, True, 0)

    bottom = Gtk.Box(spacing=6)
    bottom.pack_start(Gtk.Entry(text="Notes for the next review", width_chars=60), True, True, 0)
    bottom.pack_end(Gtk.Label(label="Ready · 200 items · saved 10:42"), False, False, 0)
    outer.pack_start(bottom, False, False, 0)
    window.add(outer)
    return window


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--size", default="1920x1080")
    ap.add_argument("--quiet", action="store_true", help="print only the ready line")
    args = ap.parse_args()
    width, height = (int(v) for v in args.size.lower().split("x"))
    window = build(width, height)
    window.connect("destroy", Gtk.main_quit)
    shown = {"ready": False}

    def painted(_clock):
        alloc = window.get_allocation()
        if not shown["ready"] and (alloc.width, alloc.height) == (width, height):
            shown["ready"] = True
            # After this frame has gone out.
            GLib.idle_add(lambda: emit(ev="ready", w=alloc.width, h=alloc.height) and False)

    # The frame clock rather than the draw signal, which would need python3-gi-cairo.
    window.connect("realize", lambda w: w.get_frame_clock().connect("after-paint", painted))

    def handler(event):
        if shown["ready"] and not args.quiet:
            report(event)
        Gtk.main_do_event(event)

    Gdk.event_handler_set(handler)
    window.show_all()
    Gtk.main()


if __name__ == "__main__":
    main()
