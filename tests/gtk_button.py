"""A GTK 3 window that is one big button; prints CLICKED when it is clicked.
Run with the system Python (python3-gi) as a peer of tests/test_input_sway.py."""

import gi

gi.require_version("Gtk", "3.0")
from gi.repository import Gtk  # noqa: E402

window = Gtk.Window(title="pravlin-gtk-button")
button = Gtk.Button(label="Press me")
button.connect("clicked", lambda *_: print("CLICKED", flush=True))
window.add(button)
window.connect("map-event", lambda *_: print("MAPPED", flush=True))
window.connect("destroy", Gtk.main_quit)
window.show_all()
Gtk.main()
