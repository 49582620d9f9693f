"""The dialogs of pyautogui's alert, confirm, prompt and password, as a GTK 3 window on the display of
WAYLAND_DISPLAY. Run as a program by an interpreter that has PyGObject (the system's, where the
caller's has not):

    python3 _dialog.py '{"kind": "confirm", "text": ..., "title": ..., "buttons": [...], ...}'

It prints {"value": ...}: the button's text, the text entered, null when the window was closed or
cancelled, or "Timeout" when `timeout` milliseconds passed first (pymsgbox's answers)."""

import json
import sys

TIMEOUT = "Timeout"


def main(argv):
    ask = json.loads(argv[1])
    try:
        import gi
        gi.require_version("Gtk", "3.0")
        gi.require_version("Gdk", "3.0")
        from gi.repository import Gdk, GLib, Gtk
    except (ImportError, ValueError) as error:
        print(json.dumps({"unavailable": f"PyGObject with GTK 3 is not there ({error})"}))
        return 0
    Gdk.set_allowed_backends("wayland")
    if not Gtk.init_check(sys.argv)[0]:
        print(json.dumps({"unavailable": "GTK cannot open the Wayland display"}))
        return 0

    dialog = Gtk.Dialog(title=ask.get("title") or "")
    dialog.set_default_size(320, -1)
    box = dialog.get_content_area()
    box.set_border_width(12)
    box.set_spacing(8)
    if ask.get("text"):
        label = Gtk.Label(label=ask["text"])
        label.set_line_wrap(True)
        label.set_xalign(0)
        box.pack_start(label, False, False, 0)
    entry = None
    if ask["kind"] in ("prompt", "password"):
        entry = Gtk.Entry()
        entry.set_text(ask.get("default") or "")
        entry.set_activates_default(True)
        if ask["kind"] == "password":
            entry.set_visibility(False)
            mask = ask.get("mask") or "*"
            entry.set_invisible_char(mask[0])
        box.pack_start(entry, False, False, 0)
    buttons = ask["buttons"]
    for i, text in enumerate(buttons):
        dialog.add_button(text, i)
    dialog.set_default_response(0)
    answer = {"value": None}
    if ask.get("timeout") is not None:
        def expire():
            answer["value"] = TIMEOUT
            dialog.response(Gtk.ResponseType.NONE)
            return False
        GLib.timeout_add(int(ask["timeout"]), expire)
    dialog.show_all()
    if entry is not None:
        entry.grab_focus()
    response = dialog.run()
    if answer["value"] != TIMEOUT and response >= 0:
        if entry is None:
            answer["value"] = buttons[response]
        elif response == 0:
            answer["value"] = entry.get_text()
    dialog.destroy()
    print(json.dumps(answer))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
