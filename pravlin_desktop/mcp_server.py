"""pravlin-mcp: a Model Context Protocol server (stdio) whose tools are a computer's keyboard, mouse and
screen, on a headless Wayland session of its own or on a display it is given.

    pravlin-mcp [--outputs 1280x800] [--launch "foot"] ...        a private headless session
    pravlin-mcp --display wayland-1                                 a running compositor
    (WAYLAND_DISPLAY set: that display, unless --headless)

The tools are the actions of Anthropic's computer tool (computer_20251124), one tool each, with the same
meaning and the same scaling: coordinates are pixels of the screenshots the tools return, which are
shrunk to XGA, WXGA or FWXGA by the output's aspect, or to the API's limits (--size none: the output's
own pixels). The tools' arguments have the computer tool's names (coordinate, start_coordinate, text,
scroll_direction, scroll_amount, duration, region, repeat). `screenshot` and `zoom` return an image; the
others a line of text, and with --screenshots a screenshot after it. A bad call (an argument a tool does
not take included) returns an error result saying what was wrong, in one line. A --launch program that
cannot start or that ends is told with the next tool result. `accessibility_tree` gives what the screen
shows as structure (a table, OSWorld's XML, or set-of-marks), in screenshot pixels. Two more tools read
and write the clipboard's text (`read_clipboard`, `write_clipboard`; primary=true for the primary
selection).
"""

import argparse
import collections
import contextlib
import importlib.metadata
import inspect
import os
import shlex
import signal
import subprocess
import sys
import threading
from typing import Annotated, Literal

from ._clipboard import ClipboardError
from ._desktop import Desktop
from .computer_use import _MAX_NOTCHES, _MAX_PRESSES, _MAX_SECONDS, AnthropicComputer

_VERSION = "computer_20251124"


def build_server(computer: AnthropicComputer, launched: "Launched | None" = None):
    """An MCPServer whose tools perform `computer`'s actions; news of `launched` programs that ended
    comes with the next tool result."""
    try:
        from mcp.server.mcpserver import MCPServer
        from mcp.server.mcpserver.exceptions import ToolError, UnexpectedToolError
        from mcp.types import CallToolResult, ImageContent, TextContent
        from pydantic import Field, ValidationError
    except ImportError as error:
        raise ImportError("pravlin-mcp needs the MCP SDK 2: pip install 'pravlin[mcp]'") from error

    Point = Annotated[list[int], Field(min_length=2, max_length=2, description="[x, y] in screenshot pixels")]
    Modifiers = Annotated[str | None, Field(description="keys held during the action, e.g. 'shift' or 'ctrl+shift'")]
    # Each tool's parameters, for the check of the names a call gives.
    parameters: dict[str, tuple[str, ...]] = {}

    def text_result(text: str) -> CallToolResult:
        return CallToolResult(content=[TextContent(type="text", text=text)], is_error=True)

    class Server(MCPServer):
        async def call_tool(self, name, arguments, context=None):
            expected = parameters.get(name)
            if expected is not None:
                unknown = sorted(set(arguments or {}) - set(expected))
                if unknown:
                    takes = ", ".join(expected) if expected else "no arguments"
                    return text_result(f"Error: {name} has no argument {', '.join(unknown)}; it takes {takes}")
            try:
                return await super().call_tool(name, arguments, context)
            except ToolError as error:
                if isinstance(error, UnexpectedToolError) or not isinstance(error.__cause__, ValidationError):
                    raise
                return text_result(f"Error: {name}: {_plain_validation(error.__cause__)}")

    w, h = computer.display_size
    server = Server(
        "pravlin", version=_version(), log_level="WARNING",
        instructions=(f"A Linux desktop (Wayland). Coordinates are pixels of the {w}x{h} screenshots the "
                      "screenshot tool returns, (0, 0) at the top left; the tools take the arguments of "
                      "Anthropic's computer tool (coordinate, start_coordinate, text, scroll_direction, "
                      "scroll_amount, duration, region). Key names follow xdotool: 'ctrl+s', 'Return', "
                      "'alt+Tab', 'Page_Down'."))

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
        if launched is not None:
            content += [TextContent(type="text", text=news) for news in launched.news()]
        return CallToolResult(content=content, is_error=failed)

    register = server.tool(structured_output=False)

    def tool(fn):
        parameters[fn.__name__] = tuple(inspect.signature(fn).parameters)
        return register(fn)

    @tool
    def screenshot():
        """A screenshot of the screen, as a PNG image."""
        return act("screenshot")

    @tool
    def zoom(region: Annotated[list[int], Field(min_length=4, max_length=4,
                                                description="[x0, y0, x1, y1] in screenshot pixels")]):
        """A close-up of the box from (x0, y0) to (x1, y1), in screenshot pixels, taken from the screen's own
        pixels at the screenshot's size (a box of another shape is widened to the screenshot's): for reading
        small text."""
        return act("zoom", region=region)

    @tool
    def mouse_move(coordinate: Point):
        """Moves the pointer to `coordinate` without clicking."""
        return act("mouse_move", coordinate=coordinate)

    def clicker(action: str, doc: str):
        def click(coordinate: Point | None = None, text: Modifiers = None):
            return act(action, coordinate=coordinate, text=text)
        click.__name__ = action
        click.__doc__ = (f"{doc} at `coordinate`, or where the pointer is when it is left out; `text`: modifier "
                         "keys held during the click, e.g. 'shift' or 'ctrl+shift'.")
        tool(click)

    clicker("left_click", "Clicks the left button")
    clicker("right_click", "Clicks the right button")
    clicker("middle_click", "Clicks the middle button")
    clicker("double_click", "Double-clicks the left button")
    clicker("triple_click", "Triple-clicks the left button (selects a line or paragraph)")

    @tool
    def left_click_drag(start_coordinate: Point, coordinate: Point, text: Modifiers = None):
        """Presses the left button at `start_coordinate`, drags to `coordinate` and releases it there."""
        return act("left_click_drag", start_coordinate=start_coordinate, coordinate=coordinate, text=text)

    @tool
    def left_mouse_down(coordinate: Point | None = None):
        """Presses the left button (at `coordinate` if given) and keeps it down until left_mouse_up."""
        return act("left_mouse_down", coordinate=coordinate)

    @tool
    def left_mouse_up(coordinate: Point | None = None):
        """Releases the left button (at `coordinate` if given)."""
        return act("left_mouse_up", coordinate=coordinate)

    @tool
    def scroll(scroll_direction: Literal["up", "down", "left", "right"],
               scroll_amount: Annotated[int, Field(ge=0, le=_MAX_NOTCHES)] = 3,
               coordinate: Point | None = None, text: Modifiers = None):
        """Turns the mouse wheel `scroll_amount` notches at `coordinate`, or where the pointer is."""
        return act("scroll", scroll_direction=scroll_direction, scroll_amount=scroll_amount, coordinate=coordinate,
                   text=text)

    @tool
    def type_text(text: str):
        """Types text (any characters; newline is Enter)."""
        return act("type", text=text)

    @tool
    def key(text: str, repeat: Annotated[int | None, Field(ge=1, le=_MAX_PRESSES)] = None):
        """Presses a key or combination in xdotool's syntax ('Return', 'ctrl+a', 'alt+Tab'); several separated
        by spaces are pressed one after another, `repeat` times."""
        return act("key", text=text, repeat=repeat)

    @tool
    def hold_key(text: str, duration: Annotated[float, Field(ge=0, le=_MAX_SECONDS)]):
        """Holds a key or combination down for `duration` seconds (at most 100)."""
        return act("hold_key", text=text, duration=duration)

    @tool
    def wait(duration: Annotated[float, Field(ge=0, le=_MAX_SECONDS)]):
        """Waits `duration` seconds (at most 100)."""
        return act("wait", duration=duration)

    @tool
    def cursor_position():
        """Where the pointer is, in screenshot pixels."""
        return act("cursor_position")

    tool(_accessibility_tool(computer, CallToolResult, ImageContent, TextContent))
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


def _plain_validation(error) -> str:
    """A pydantic ValidationError as one line: where, what was expected, what came."""
    lines = []
    for e in error.errors(include_url=False):
        where = "".join(f"[{part}]" if isinstance(part, int) else f".{part}" for part in e["loc"]).lstrip(".")
        if e["type"] == "missing":
            lines.append(f"{where} is missing")
            continue
        got = repr(e.get("input"))
        got = got if len(got) <= 40 else got[:37] + "..."
        msg = e["msg"][:1].lower() + e["msg"][1:]
        lines.append(f"{where or 'the arguments'}: {msg}, not {got}")
    return "; ".join(lines)


def _version() -> str:
    try:
        return importlib.metadata.version("pravlin")
    except importlib.metadata.PackageNotFoundError:
        return "unknown"


class Launched:
    """The programs of --launch: their output goes to the server's stderr (stdout is the protocol's),
    its end kept; that one could not start or has ended is told once, with the next tool result."""

    _KEEP = 2000  # characters of output kept per program

    def __init__(self):
        self._programs: list[tuple[str, subprocess.Popen, collections.deque, threading.Thread]] = []
        self._news: list[str] = []
        self._lock = threading.RLock()

    def start(self, session, command: str) -> None:
        try:
            proc = session.spawn(shlex.split(command), stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                 stderr=subprocess.STDOUT)
        except (OSError, ValueError) as error:
            reason = error.strerror if isinstance(error, OSError) and error.strerror else str(error)
            self._tell(f"the program of --launch {command!r} could not be started: {reason}")
            return
        tail: collections.deque = collections.deque(maxlen=self._KEEP)
        copier = threading.Thread(target=_copy_output, args=(proc.stdout, tail), daemon=True)
        copier.start()
        self._programs.append((command, proc, tail, copier))

    def _tell(self, news: str) -> None:
        print(f"pravlin-mcp: {news}", file=sys.stderr, flush=True)
        with self._lock:
            self._news.append(news)

    def news(self) -> list[str]:
        """What happened to the programs since the last call."""
        with self._lock:
            return self._gather()

    def _gather(self) -> list[str]:
        for entry in list(self._programs):
            command, proc, tail, copier = entry
            if proc.poll() is None:
                continue
            self._programs.remove(entry)
            copier.join(0.5)
            status = proc.returncode
            how = f"was killed by signal {-status}" if status < 0 else f"exited with status {status}"
            output = "".join(tail).strip()
            self._tell(f"the program of --launch {command!r} {how}"
                       + (f"; its output ends:\n{output}" if output else "; it wrote nothing"))
        news, self._news = self._news, []
        return [f"Note: {n}" for n in news]


def _copy_output(stream, tail: collections.deque) -> None:
    out = sys.stderr.buffer
    while chunk := stream.read1(65536):
        with contextlib.suppress(OSError, ValueError):
            out.write(chunk)
            out.flush()
        tail.extend(chunk.decode(errors="replace"))
def _accessibility_tool(computer: AnthropicComputer, CallToolResult, ImageContent, TextContent):
    from . import _images
    from .accessibility import AccessibilityTree, AccessibilityUnavailable

    def accessibility_tree(format: Literal["table", "xml", "marks"] = "table"):
        """What the screen shows, as structure: the applications' accessibility trees, with places in
        screenshot pixels. "table": one line per element that can be acted on or read (tag, name, text,
        class, description, position, size); "xml": the whole tree (OSWorld's XML); "marks": the
        screenshot with those elements' boxes numbered, and the list of what each number is."""
        try:
            tree = computer.accessibility()
        except (AccessibilityUnavailable, OSError, TimeoutError) as error:
            return CallToolResult(content=[TextContent(type="text", text=f"accessibility_tree: {error}")],
                                  is_error=True)
        if format == "xml":
            return CallToolResult(content=[TextContent(type="text", text=tree.xml())])
        if format == "marks":
            shot = _images.resize(computer.screen.capture(), computer.display_size)
            marked, marks = tree.marks(shot)
            return CallToolResult(content=[
                ImageContent(type="image", data=_images.png_base64(marked), mime_type="image/png"),
                TextContent(type="text", text=AccessibilityTree.marks_text(marks))])
        return CallToolResult(content=[TextContent(type="text", text=tree.table())])
    return accessibility_tree


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
    where.add_argument("--view", metavar="[HOST:]PORT",
                       help="serve the session's screen to a browser on this address (127.0.0.1 unless a host is "
                       "given); the page's URL goes to standard error")
    where.add_argument("--control", action="store_true",
                       help="let the person watching (--view) take control; the tool's actions wait meanwhile")
    where.add_argument("--person-control", choices=("wait", "report"), default="wait",
                       help="while a person has control, actions wait (wait), or give an error result (report)")
    ap.add_argument("--screen", help="the output the tools see (needed when there are several)")
    ap.add_argument("--size", type=_size, default="auto",
                    help="screenshot size: auto (the vendor's scaling), none (the output's pixels) or WxH")
    ap.add_argument("--screenshots", action="store_true", help="every action also returns a screenshot")
    return ap


def main(argv=None) -> int:
    args = _parser().parse_args(argv)
    display = args.display or (None if args.headless else os.environ.get("WAYLAND_DISPLAY"))
    if display and (args.view or args.control):
        print(f"pravlin-mcp: --view and --control serve a session of pravlin-mcp's own, not the display {display} "
              "(add --headless)", file=sys.stderr)
        return 2

    def stop(signum, frame):
        signal.signal(signal.SIGTERM, signal.SIG_IGN)
        signal.signal(signal.SIGHUP, signal.SIG_IGN)
        raise SystemExit(128 + signum)

    signal.signal(signal.SIGTERM, stop)
    signal.signal(signal.SIGHUP, stop)
    launched = None
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
                session = stack.enter_context(HeadlessSession(args.outputs, compositor=args.compositor,
                                                              view=args.view, control=args.control))
            except SessionError as error:
                print(f"pravlin-mcp: {error}", file=sys.stderr)
                return 1
            desktop = Desktop(session.socket)
            launched = Launched()
            if session.view_url:
                print(f"pravlin-mcp: watch the session at {session.view_url}", file=sys.stderr, flush=True)
            desktop.accessibility_environ = session.environ()
            for command in args.launch:
                launched.start(session, command)
        stack.callback(desktop.close)
        try:
            computer = AnthropicComputer(desktop, version=_VERSION, screen=args.screen, size=args.size,
                                         screenshots=args.screenshots,
                                         person_control=args.person_control)
        except ValueError as error:
            print(f"pravlin-mcp: {error}", file=sys.stderr)
            return 1
        build_server(computer, launched).run("stdio")
    return 0


if __name__ == "__main__":
    sys.exit(main())
