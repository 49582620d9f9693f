"""A video of each output while a test runs: frames that waited for the compositor's damage, encoded as
H.264 in MP4 (yuv420p, which every browser plays) by PyAV, each at its presentation time."""

from __future__ import annotations

import threading
import time
from fractions import Fraction
from pathlib import Path

from ._viewer import Viewer

# How long the recording thread waits for a change before it looks whether it is to stop: the most a
# test's end is held up by its recording.
_SLICE = 0.02
# Milliseconds: presentation times are kept to the millisecond.
_TIME_BASE = Fraction(1, 1000)


def check_available() -> None:
    try:
        import av  # noqa: F401
    except ImportError:
        raise ImportError("recording video needs PyAV: pip install 'pravlin[video]'") from None


class _Stream:
    def __init__(self, path: Path, width: int, height: int):
        import av
        self.path = path
        self.container = av.open(str(path), "w")
        # ultrafast: a 1080p frame in about 30 ms of one core; zerolatency: no lookahead, so frames are
        # written as they come instead of dozens being held in memory.
        self.stream = self.container.add_stream("libx264", rate=60,
                                                 options={"preset": "ultrafast", "tune": "zerolatency"})
        # yuv420p halves the chroma: the sides must be even.
        self.width, self.height = width & ~1, height & ~1
        self.stream.width, self.stream.height = self.width, self.height
        self.stream.pix_fmt = "yuv420p"
        self.stream.time_base = _TIME_BASE
        self.stream.codec_context.time_base = _TIME_BASE
        self.last = None
        self.pts = -1

    def add(self, image, pts: int) -> None:
        import av
        import numpy as np
        pixels = image[:self.height, :self.width]
        frame = av.VideoFrame.from_ndarray(np.ascontiguousarray(pixels), format="bgra")
        self._encode(frame, pts)
        self.last = frame

    def _encode(self, frame, pts: int) -> None:
        self.pts = max(pts, self.pts + 1)
        frame.pts = self.pts
        frame.time_base = _TIME_BASE
        for packet in self.stream.encode(frame):
            self.container.mux(packet)

    def close(self, end_pts: int) -> None:
        # The last picture again at the end, so that the video lasts as long as the test.
        if self.last is not None and end_pts > self.pts:
            self._encode(self.last, end_pts)
        for packet in self.stream.encode(None):
            self.container.mux(packet)
        self.container.close()


class Recorder:
    """Records every output of a display into `folder`/video-OUTPUT.mp4 from start() to stop()."""

    def __init__(self, display: str, folder: Path):
        check_available()
        self.folder = folder
        self.viewer = Viewer(display)
        self.names = [o.name for o in self.viewer.outputs]
        self.streams: dict[str, _Stream] = {}
        self.error: BaseException | None = None
        self._stop = threading.Event()
        self._started = threading.Event()
        self._thread = threading.Thread(target=self._run, name="pravlin-video", daemon=True)
        self.start_time = 0.0
        self.frames = 0

    def start(self, timeout: float = 2.0) -> None:
        """Starts recording; returns once each output's first frame is in (or `timeout` passed)."""
        self.start_time = time.monotonic()
        self._thread.start()
        self._started.wait(timeout)

    def stop(self) -> list[Path]:
        """Stops, finishes the files and gives their paths. A failure of the recording is raised here."""
        end = time.monotonic()
        self._stop.set()
        self._thread.join()
        end_pts = round((end - self.start_time) * 1000)
        for stream in self.streams.values():
            try:
                stream.close(end_pts)
            except Exception as e:  # noqa: BLE001 - the first failure is the one reported
                self.error = self.error or e
        self.viewer.close()
        if self.error is not None:
            raise self.error
        return [s.path for s in self.streams.values()]

    def _run(self) -> None:
        try:
            while not self._stop.is_set():
                for frame in self.viewer.capture_all(damage=True, timeout=_SLICE):
                    self._add(frame)
                if not self._started.is_set() and all(n in self.streams for n in self.names):
                    self._started.set()
        except BaseException as e:  # noqa: BLE001 - handed to stop()
            self.error = e
        finally:
            self._started.set()

    def _add(self, frame) -> None:
        stream = self.streams.get(frame.screen)
        if stream is None:
            self.folder.mkdir(parents=True, exist_ok=True)
            h, w = frame.image.shape[:2]
            stream = self.streams[frame.screen] = _Stream(self.folder / f"video-{frame.screen}.mp4", w, h)
        stream.add(frame.image, round(max(0.0, frame.time - self.start_time) * 1000))
        self.frames += 1
