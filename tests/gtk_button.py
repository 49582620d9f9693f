"""A GTK 3 window that is one big button; prints MAPPED once shown, DRAWN WxH after each frame it
has drawn and committed, ENTERED when the pointer enters the button, and CLICKED when it is clicked.
Run with the system Python (python3-gi) as a peer of tests/test_input_sway.py."""

import gi

gi.require_version("Gtk", "3.0")
from gi.repository import Gtk  # noqa: E402

window = Gtk.Window(title="pravlin-gtk-button")
button = Gtk.Button(label="Press me")
button.connect("clicked", lambda *_: print("CLICKED", flush=True))
button.connect("enter-notify-event", lambda *_: print("ENTERED", flush=True))  # None: GTK handles it too
window.add(button)


def mapped(*_):
    # GDK commits each frame's surface in its own after-paint handler, connected at realize: this one
    # runs after it, so the frame reported is already the compositor's.
    window.get_frame_clock().connect("after-paint", lambda _: print(
        f"DRAWN {window.get_allocated_width()}x{window.get_allocated_height()}", flush=True))
    print("MAPPED", flush=True)


window.connect("map-event", mapped)
window.connect("destroy", Gtk.main_quit)
window.show_all()
Gtk.main()
