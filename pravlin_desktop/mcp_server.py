"""pravlin-mcp: a Model Context Protocol server (stdio) whose tools are a computer's keyboard, mouse and
screen, on a headless Wayland session of its own or on a display it is given.

    pravlin-mcp [--outputs 1280x800] [--launch "foot"] ...        a private headless session
    pravlin-mcp --display wayland-1                                 a running compositor
    (WAYLAND_DISPLAY set: that display, unless --headless)

The tools are the actions of Anthropic's computer tool (computer_20251124), one tool each, with the same
meaning and the same scaling: coordinates are pixels of the screenshots the tools return, which are
shrunk to XGA, WXGA or FWXGA by the output's aspect, or to the API's limits (--size none: the output's
own pixels). `screenshot` and `zoom` return an image; the others a line of text, and with --screenshots
a screenshot after it. A bad call returns an error result saying what was wrong. Two more tools read and
write the clipboard's text (`read_clipboard`, `write_clipboard`; primary=true for the primary selection).
"""

from __future__ import annotations

import argparse
import contextlib
import os
import shlex
import signal
import subprocess
import sys
from typing import Literal

from ._clipboard import ClipboardError
from ._desktop import Desktop
from .computer_use import AnthropicComputer

_VERSION = "computer_20251124"


def build_server(computer: AnthropicComputer):
    """An MCPServer whose tools perform `computer`'s actions."""
    try:
        from mcp.server.mcpserver import MCPServer
        from mcp.types import CallToolResult, ImageContent, TextContent
    except ImportError as error:
        raise ImportError("pravlin-mcp needs the MCP SDK 2: pip install 'pravlin[mcp]'") from error

    w, h = computer.display_size
    server = MCPServer(
        "pravlin", log_level="WARNING",
        instructions=(f"A Linux desktop (Wayland). Coordinates are pixels of the {w}x{h} screenshots the "
                      "screenshot tool returns, (0, 0) at the top left. Key names follow xdotool: "
                      "'ctrl+s', 'Return', 'alt+Tab', 'Page_Down'."))

    def act(action: str, **fields) -> CallToolResult:
        params = {"action": action, **{k: v for k, v in fields.items() if v is not None}}
        blocks, failed = computer._perform(params)
        content = []
        for block in blocks:
            if block["type"] == "image":
                content.append(ImageContent(type="image", data=block["source"]["data"], mime_type="image/png"))
            else:
                content.append(TextContent(type="text", text=block["text"]))
        if not any(isinstance(c, TextContent) for c in content) and action not in ("screenshot", "zoom"):
            content.insert(0, TextContent(type="text", text=f"{action}: done"))
        return CallToolResult(content=content, is_error=failed)

    def point(x: int | None, y: int | None) -> list[int] | None:
        return None if x is None and y is None else [x, y]

    tool = server.tool(structured_output=False)

    @tool
    def screenshot():
        """A screenshot of the screen, as a PNG image."""
        return act("screenshot")

    @tool
    def zoom(x0: int, y0: int, x1: int, y1: int):
        """A close-up of the box from (x0, y0) to (x1, y1), in screenshot pixels, taken from the screen's own
        pixels and enlarged to the screenshot's size: for reading small text."""
        return act("zoom", region=[x0, y0, x1, y1])

    @tool
    def mouse_move(x: int, y: int):
        """Moves the pointer to (x, y) without clicking."""
        return act("mouse_move", coordinate=[x, y])

    def clicker(action: str, doc: str):
        def click(x: int | None = None, y: int | None = None, modifiers: str | None = None):
            return act(action, coordinate=point(x, y), text=modifiers)
        click.__name__ = action
        click.__doc__ = (f"{doc} at (x, y), or where the pointer is when both are left out. `modifiers`: keys "
                         "held during the click, e.g. 'shift' or 'ctrl+shift'.")
        tool(click)

    clicker("left_click", "Clicks the left button")
    clicker("right_click", "Clicks the right button")
    clicker("middle_click", "Clicks the middle button")
    clicker("double_click", "Double-clicks the left button")
    clicker("triple_click", "Triple-clicks the left button (selects a line or paragraph)")

    @tool
    def left_click_drag(start_x: int, start_y: int, x: int, y: int, modifiers: str | None = None):
        """Presses the left button at (start_x, start_y), drags to (x, y) and releases it there."""
        return act("left_click_drag", start_coordinate=[start_x, start_y], coordinate=[x, y], text=modifiers)

    @tool
    def left_mouse_down(x: int | None = None, y: int | None = None):
        """Presses the left button (at (x, y) if given) and keeps it down until left_mouse_up."""
        return act("left_mouse_down", coordinate=point(x, y))

    @tool
    def left_mouse_up(x: int | None = None, y: int | None = None):
        """Releases the left button (at (x, y) if given)."""
        return act("left_mouse_up", coordinate=point(x, y))

    @tool
    def scroll(direction: Literal["up", "down", "left", "right"], amount: int = 3, x: int | None = None,
               y: int | None = None, modifiers: str | None = None):
        """Turns the mouse wheel `amount` notches at (x, y), or where the pointer is."""
        return act("scroll", scroll_direction=direction, scroll_amount=amount, coordinate=point(x, y),
                   text=modifiers)

    @tool
    def type_text(text: str):
        """Types text (any characters; newline is Enter)."""
        return act("type", text=text)

    @tool
    def key(keys: str, repeat: int | None = None):
        """Presses a key or combination in xdotool's syntax ('Return', 'ctrl+a', 'alt+Tab'); several separated
        by spaces are pressed one after another."""
        return act("key", text=keys, repeat=repeat)

    @tool
    def hold_key(keys: str, seconds: float):
        """Holds a key or combination down for `seconds` (at most 100)."""
        return act("hold_key", text=keys, duration=seconds)

    @tool
    def wait(seconds: float):
        """Waits `seconds` (at most 100)."""
        return act("wait", duration=seconds)

    @tool
    def cursor_position():
        """Where the pointer is, in screenshot pixels."""
        return act("cursor_position")

    def clipboard_result(do) -> CallToolResult:
        try:
            text = do(computer.desktop.clipboard)
        except (ClipboardError, RuntimeError, ValueError) as error:
            return CallToolResult(content=[TextContent(type="text", text=f"clipboard: {error}")], is_error=True)
        return CallToolResult(content=[TextContent(type="text", text=text)], is_error=False)

    @tool
    def read_clipboard(primary: bool = False):
        """The text on the clipboard (what an application copied last), or on the primary selection (the
        text selected last) with primary=true. Takes no window's focus."""
        return clipboard_result(lambda clip: clip.read_text(primary=primary))

    @tool
    def write_clipboard(text: str, primary: bool = False):
        """Puts text on the clipboard (or the primary selection), for a paste with ctrl+v (or the middle
        button). Takes no window's focus; the text stays while this server runs."""
        def write(clip):
            clip.write_text(text, primary=primary)
            return f"write_clipboard: {len(text)} characters"
        return clipboard_result(write)

    return server


def _size(text: str):
    if text == "auto":
        return "auto"
    if text == "none":
        return None
    width, sep, height = text.lower().partition("x")
    if not (sep and width.isdigit() and height.isdigit() and int(width) > 0 and int(height) > 0):
        raise argparse.ArgumentTypeError(f"expected auto, none or WIDTHxHEIGHT, not {text!r}")
    return int(width), int(height)


def _parser() -> argparse.ArgumentParser:
    ap = argparse.ArgumentParser(prog="pravlin-mcp", description=__doc__.split("\n\n")[0])
    where = ap.add_argument_group("the display")
    where.add_argument("--display", help="drive this Wayland display (a name in XDG_RUNTIME_DIR or a socket path) "
                       "instead of starting a session; default: WAYLAND_DISPLAY if set")
    where.add_argument("--headless", action="store_true", help="start a private session even when WAYLAND_DISPLAY is set")
    where.add_argument("--outputs", default="1280x800",
                       help="the session's outputs, WxH[@HZ][,WxH[@HZ]...] (1280x800); a higher refresh rate "
                       "makes screenshots come sooner")
    where.add_argument("--compositor", default="sway", help="the session's compositor: sway or phoc (sway)")
    where.add_argument("--launch", action="append", default=[], metavar="COMMAND",
                       help="a program to start in the session (a shell-quoted command line); repeatable")
    ap.add_argument("--screen", help="the output the tools see (needed when there are several)")
    ap.add_argument("--size", type=_size, default="auto",
                    help="screenshot size: auto (the vendor's scaling), none (the output's pixels) or WxH")
    ap.add_argument("--screenshots", action="store_true", help="every action also returns a screenshot")
    return ap


def main(argv=None) -> int:
    args = _parser().parse_args(argv)
    display = args.display or (None if args.headless else os.environ.get("WAYLAND_DISPLAY"))

    def stop(signum, frame):
        signal.signal(signal.SIGTERM, signal.SIG_IGN)
        signal.signal(signal.SIGHUP, signal.SIG_IGN)
        raise SystemExit(128 + signum)

    signal.signal(signal.SIGTERM, stop)
    signal.signal(signal.SIGHUP, stop)
    with contextlib.ExitStack() as stack:
        if display:
            try:
                desktop = Desktop(display)
            except RuntimeError as error:
                print(f"pravlin-mcp: cannot drive the display {display}: {error}", file=sys.stderr)
                return 1
        else:
            from pravlin_session import HeadlessSession, SessionError
            try:
                session = stack.enter_context(HeadlessSession(args.outputs, compositor=args.compositor))
            except SessionError as error:
                print(f"pravlin-mcp: {error}", file=sys.stderr)
                return 1
            desktop = Desktop(session.socket)
            for command in args.launch:
                # stdout is the protocol's: the programs write to stderr.
                session.spawn(shlex.split(command), stdin=subprocess.DEVNULL, stdout=sys.stderr.fileno())
        stack.callback(desktop.close)
        computer = AnthropicComputer(desktop, version=_VERSION, screen=args.screen, size=args.size,
                                     screenshots=args.screenshots)
        build_server(computer).run("stdio")
    return 0


if __name__ == "__main__":
    sys.exit(main())
