"""The whole keyboard and mouse of a person on a Wayland desktop, over pravlin's core.

    from pravlin_desktop import Desktop

    with Desktop() as d:
        d.click(640, 360)
        d.type("Grüße, naïve café! 漢字 ✓\n")
        d.key("ctrl+s")
        d.scroll(3)
        d.drag([(100, 100), (400, 300)], duration=0.5)
        d.clipboard.read_text()
"""

from ._control import PersonHasControl
from ._clipboard import Clipboard, ClipboardEmpty, ClipboardError, ClipboardTimeout, ClipboardUnavailable
from ._desktop import Desktop, Output
from ._screen import Frame
from ._viewer import Viewer

__all__ = [
    "Clipboard", "ClipboardEmpty", "ClipboardError", "ClipboardTimeout", "ClipboardUnavailable", "Desktop", "Frame",
    "Output", "PersonHasControl", "Viewer",
]
