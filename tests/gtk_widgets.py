"""A GTK 3 window with an entry, a long list and a slider, stacked; prints what happens to them, one
JSON object a line: the widgets' places once drawn, the entry's text, the list's scroll position and the
slider's value as they change. Run with the system Python (python3-gi) as a peer of
tests/test_desktop_sway.py."""

import json

import gi

gi.require_version("Gtk", "3.0")
from gi.repository import GLib, Gtk  # noqa: E402


def say(**event):
    print(json.dumps(event), flush=True)


window = Gtk.Window(title="pravlin-gtk-widgets")
box = Gtk.Box(orientation=Gtk.Orientation.VERTICAL, spacing=8)
entry = Gtk.Entry()
entry.connect("changed", lambda e: say(ev="entry", text=e.get_text()))
listing = Gtk.ListBox()
for n in range(300):
    listing.add(Gtk.Label(label=f"row {n}"))
scrolled = Gtk.ScrolledWindow()
scrolled.set_size_request(-1, 300)
scrolled.add(listing)
scrolled.get_vadjustment().connect("value-changed", lambda a: say(ev="scroll", value=a.get_value()))
scale = Gtk.Scale.new_with_range(Gtk.Orientation.HORIZONTAL, 0, 100, 1)
scale.set_draw_value(False)
scale.connect("value-changed", lambda s: say(ev="scale", value=s.get_value()))
box.pack_start(entry, False, False, 0)
box.pack_start(scrolled, False, False, 0)
box.pack_start(scale, False, False, 0)
window.add(box)


def places():
    out = {}
    for name, widget in (("entry", entry), ("list", scrolled), ("scale", scale)):
        x, y = widget.translate_coordinates(window, 0, 0)
        alloc = widget.get_allocation()
        out[name] = [x, y, alloc.width, alloc.height]
    size = window.get_size()
    say(ev="places", width=size.width, height=size.height, **out)
    return False


# Widgets have their places once the window is drawn at its size; each new size says them again.
window.connect("size-allocate", lambda *_: GLib.idle_add(places))
window.connect("destroy", Gtk.main_quit)
window.show_all()
Gtk.main()
