"""pravlin-mcp through the MCP SDK's own client over stdio: the tools it lists, a screenshot, typing into a
program it launched in its own headless session and pasting there what its clipboard tools wrote, error
results for bad arguments, launched programs that failed, and nothing of the session left once the client
has gone."""

import base64
import io
import os
import sys
import time
from pathlib import Path

import pytest

pytest.importorskip("mcp")
pytest.importorskip("cv2")
pytest.importorskip("fpng")

import anyio  # noqa: E402
from agent_peers import descendants  # noqa: E402
from mcp import ClientSession  # noqa: E402
from mcp.client.stdio import StdioServerParameters, stdio_client  # noqa: E402
from PIL import Image  # noqa: E402

TEXT = "mcp typed: naïve ✓ 42"
PASTED = " and pasted: 😀"


def cmdline(pid):
    try:
        return Path(f"/proc/{pid}/cmdline").read_bytes()
    except OSError:  # gone meanwhile
        return b""


def alive(pid):
    try:
        return Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()[0] != "Z"
    except OSError:
        return False


def test_client_lists_tools_takes_a_screenshot_and_types_through_them(tmp_path):
    out = tmp_path / "typed.txt"
    params = StdioServerParameters(
        command=sys.executable, cwd=tmp_path,
        args=["-m", "pravlin_desktop.mcp_server", "--headless", "--outputs", "1280x800",
              "--launch", f"foot sh -c 'cat > {out}'", "--launch", "sh -c 'echo no display for me >&2; exit 3'",
              "--launch", "no-such-program-anywhere"])
    seen = {}
    notes = []

    def texts(result):
        got = [c.text for c in result.content if c.type == "text"]
        notes.extend(t for t in got if t.startswith("Note: "))
        return [t for t in got if not t.startswith("Note: ")]

    async def session():
        async with stdio_client(params) as (read, write), ClientSession(read, write) as client:
            info = await client.initialize()
            assert info.server_info.version, info.server_info
            [server] = [pid for pid in descendants(os.getpid()) if b"pravlin_desktop.mcp_server" in cmdline(pid)]
            seen["server"] = [server, *descendants(server)]
            names = {tool.name for tool in (await client.list_tools()).tools}
            assert {"screenshot", "zoom", "left_click", "double_click", "left_click_drag", "scroll", "type_text",
                    "key", "hold_key", "mouse_move", "cursor_position", "wait", "read_clipboard",
                    "write_clipboard"} <= names, names
            # The pointer starts in the middle, so that the first question has an answer.
            assert texts(await client.call_tool("cursor_position", {})) == ["X=640,Y=400"]
            # foot draws itself: wait until the screenshot is not the empty output.
            deadline = time.monotonic() + 15
            while True:
                shot = await client.call_tool("screenshot", {})
                texts(shot)
                [image] = [c for c in shot.content if c.type == "image"]
                assert not shot.is_error and image.type == "image" and image.mime_type == "image/png"
                picture = Image.open(io.BytesIO(base64.b64decode(image.data)))
                assert picture.size == (1280, 800)
                if len(picture.convert("L").getcolors(1 << 16)) > 2:
                    break
                assert time.monotonic() < deadline, "foot never showed up in the screenshots"
                await anyio.sleep(0.1)
            # Arguments it does not take, of the wrong type, or out of bounds: one plain line, nothing done.
            for tool, arguments, words in (
                    ("left_click", {"x": 5, "y": 5}, "Error: left_click has no argument x, y; it takes coordinate, text"),
                    ("screenshot", {"coordinate": [1, 1]}, "Error: screenshot has no argument coordinate; it takes no"),
                    ("left_click", {"coordinate": [1280, 5]}, "off the screen"),
                    ("left_click", {"coordinate": ["a", 5]}, "Error: left_click: coordinate[0]: input should be a valid"),
                    ("key", {}, "Error: key: text is missing"),
                    ("key", {"text": "shift", "repeat": 10 ** 9}, "repeat: input should be less than or equal to 1000"),
                    ("scroll", {"scroll_direction": "down", "scroll_amount": 10 ** 400}, "scroll_amount: input should")):
                bad = await client.call_tool(tool, arguments)
                [line] = texts(bad)
                assert bad.is_error and words in line and "\n" not in line and "http" not in line, (tool, line)
            empty = await client.call_tool("read_clipboard", {})
            assert empty.is_error and "nothing is copied" in empty.content[0].text, empty
            # foot pastes the clipboard with Ctrl+Shift+V.
            for tool, arguments in (("mouse_move", {"coordinate": [20, 30]}), ("left_click", {"coordinate": [640, 400]}),
                                    ("type_text", {"text": TEXT}), ("write_clipboard", {"text": PASTED}),
                                    ("key", {"text": "ctrl+shift+v"}),
                                    ("write_clipboard", {"text": "primary ✓", "primary": True}),
                                    ("key", {"text": "Return ctrl+d"})):
                result = await client.call_tool(tool, arguments)
                assert not result.is_error, result
            for arguments, text in (({}, PASTED), ({"primary": True}, "primary ✓")):
                result = await client.call_tool("read_clipboard", arguments)
                assert not result.is_error and result.content[0].text == text, result
            assert texts(await client.call_tool("cursor_position", {})) == ["X=640,Y=400"]
            # cat writes the file once foot has read the keys; the session ends with the client.
            deadline = time.monotonic() + 10
            while not out.exists() or out.read_text() != TEXT + PASTED + "\n":
                assert time.monotonic() < deadline, f"the file has {out.read_text() if out.exists() else None!r}"
                await anyio.sleep(0.05)

    anyio.run(session)
    # Each launched program that failed is told once, with its output.
    # foot may end before the last tool call too (cat ends with Ctrl+D), and be told of as well.
    notes = [n for n in notes if "foot sh -c" not in n]
    assert len(notes) == 2, notes
    assert "'no-such-program-anywhere' could not be started: No such file or directory" in notes[0] + notes[1]
    [exited] = [n for n in notes if "exited" in n]
    assert "exited with status 3; its output ends:\nno display for me" in exited, notes
    # The server, its compositor, the seat holder and foot are all gone.
    deadline = time.monotonic() + 10
    while left := [pid for pid in seen["server"] if alive(pid)]:
        assert time.monotonic() < deadline, f"processes of the server's session still run: {left}"
        time.sleep(0.05)
