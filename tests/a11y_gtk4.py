"""A GTK 4 window with a button, an entry and a check button; prints one JSON line for each press a
widget of it receives (the widget's name), and "ready" once shown. Run with the system Python
(python3-gi) as a peer of tests/test_accessibility.py."""

import json
import sys

import gi

gi.require_version("Gtk", "4.0")
from gi.repository import GLib, Gtk  # noqa: E402


def say(**event):
    print(json.dumps(event), flush=True)


def on_activate(app):
    window = Gtk.ApplicationWindow(application=app, title=sys.argv[1] if len(sys.argv) > 1 else "pravlin-a11y-gtk4")
    box = Gtk.Box(orientation=Gtk.Orientation.VERTICAL, spacing=6)
    widgets = (("Open", Gtk.Button(label="Open")), ("Search", Gtk.Entry()), ("Remember", Gtk.CheckButton(label="Remember")))
    widgets[1][1].update_property([Gtk.AccessibleProperty.LABEL], ["Search"])
    for name, widget in widgets:
        click = Gtk.GestureClick()
        # The capture phase sees the press before the widget's own handlers can claim it.
        click.set_propagation_phase(Gtk.PropagationPhase.CAPTURE)
        click.connect("pressed", lambda *_, name=name: say(ev="press", widget=name))
        widget.add_controller(click)
        box.append(widget)
    window.set_child(box)
    window.set_default_size(400, 200)
    window.present()
    GLib.timeout_add(300, lambda: say(ev="ready") and False)


app = Gtk.Application(application_id="org.pravlin.A11yGtk4")
app.connect("activate", on_activate)
app.run([])
