"""A GTK 3 window of one colour (argv[1], as #rrggbb); prints MAPPED once it is on the screen. Each line
on stdin is a new colour. Run with the system Python (python3-gi) as a peer of tests/test_gui_testing.py."""

import sys

import gi

gi.require_version("Gdk", "3.0")
gi.require_version("Gtk", "3.0")
from gi.repository import Gdk, GLib, Gtk  # noqa: E402

css = Gtk.CssProvider()


def paint(colour: str) -> None:
    css.load_from_data(f"window {{ background-color: {colour}; }}".encode())


def read_line(channel, condition):
    line = sys.stdin.readline()
    if not line:
        Gtk.main_quit()
        return False
    paint(line.strip())
    return True


paint(sys.argv[1])
Gtk.StyleContext.add_provider_for_screen(Gdk.Screen.get_default(), css,
                                         Gtk.STYLE_PROVIDER_PRIORITY_APPLICATION)
window = Gtk.Window(title="pravlin-gtk-colour")
window.connect("map-event", lambda *_: print("MAPPED", flush=True))
window.connect("destroy", Gtk.main_quit)
GLib.io_add_watch(GLib.IOChannel.unix_new(sys.stdin.fileno()), GLib.PRIORITY_DEFAULT, GLib.IO_IN | GLib.IO_HUP,
                  read_line)
window.show_all()
Gtk.main()
