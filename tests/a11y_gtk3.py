"""A GTK 3 window with a button, an entry and a list, each named for the accessibility tree; prints one
JSON line for each button press in the window (the widget it landed on, by GTK's own layout), and
"ready" once drawn. Run with the system Python (python3-gi) as a peer of tests/test_accessibility.py."""

import json
import sys

import gi

gi.require_version("Gtk", "3.0")
from gi.repository import GLib, Gtk  # noqa: E402


def say(**event):
    print(json.dumps(event), flush=True)


window = Gtk.Window(title=sys.argv[1] if len(sys.argv) > 1 else "pravlin-a11y-gtk3")
box = Gtk.Box(orientation=Gtk.Orientation.VERTICAL, spacing=6)
button = Gtk.Button(label="Save")
entry = Gtk.Entry()
entry.get_accessible().set_name("File name")
listing = Gtk.ListBox()
for n in range(200):
    listing.add(Gtk.Label(label=f"row {n}"))
scrolled = Gtk.ScrolledWindow()
scrolled.set_size_request(-1, 240)
scrolled.add(listing)
box.pack_start(button, False, False, 0)
box.pack_start(entry, False, False, 0)
box.pack_start(scrolled, True, True, 0)
window.add(box)


def inside(widget, x, y):
    wx, wy = window.translate_coordinates(widget, x, y)
    alloc = widget.get_allocation()
    return 0 <= wx < alloc.width and 0 <= wy < alloc.height


def pressed(gesture, n_press, x, y):
    for name, widget in (("Save", button), ("File name", entry)):
        if inside(widget, x, y):
            return say(ev="press", widget=name)
    if inside(scrolled, x, y):
        row = listing.get_row_at_y(window.translate_coordinates(listing, x, y)[1])
        return say(ev="press", widget=row.get_child().get_label() if row else "list")
    say(ev="press", widget=None, x=x, y=y)


# In the capture phase the window sees every press before the widget under it can claim it.
press = Gtk.GestureMultiPress.new(window)
press.set_propagation_phase(Gtk.PropagationPhase.CAPTURE)
press.connect("pressed", pressed)
window.connect("destroy", Gtk.main_quit)
window.connect("map-event", lambda *_: GLib.idle_add(lambda: say(ev="ready") and False))
window.show_all()
Gtk.main()
