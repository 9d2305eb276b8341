"""Frames from video files, images and cameras through OpenCV, and pacing at a frame rate."""

from __future__ import annotations

import math
import os
import time
from typing import TYPE_CHECKING, Any, Callable, Optional, cast

from . import _opencv
from .errors import SourceError
from .recording import MAGIC
from .terminal import clock as paused_clock

if TYPE_CHECKING:
    from .geometry import FrameArray

DEFAULT_FPS = 30.0
"""The rate used when a video does not tell its own."""


class Source:
    """A series of B, G, R frames: a video file, a camera, or a still image (one frame)."""

    def __init__(
        self, name: str, capture: Any = None, *, fps: Optional[float] = None,
        first: "Optional[FrameArray]" = None,
    ) -> None:
        self.name = name
        """What the frames come from, for messages."""
        self.fps = fps
        """Frames per second to pace at, or ``None`` to show frames as they come (camera)."""
        self.still = capture is None
        """Whether this is a single image."""
        self._capture = capture
        self._pending = first

    def read(self) -> "Optional[FrameArray]":
        """The next frame, or ``None`` at the end."""
        if self._pending is not None:
            frame, self._pending = self._pending, None
            return frame
        if self._capture is None:
            return None
        ok, frame = self._capture.read()
        return cast("FrameArray", frame) if ok else None

    def skip(self, count: int) -> int:
        """Pass over up to ``count`` frames without decoding them; how many were there."""
        skipped = 0
        if self._pending is not None and count > 0:
            self._pending = None
            skipped = 1
        while skipped < count and self._capture is not None and self._capture.grab():
            skipped += 1
        return skipped

    def close(self) -> None:
        """Release the video or camera."""
        if self._capture is not None:
            self._capture.release()
            self._capture = None


def open_source(path: Optional[str], camera: Optional[int] = None, fps: Optional[float] = None) -> Source:
    """Open a video file or image at ``path``, or camera number ``camera``.

    ``fps`` overrides the video's own frame rate. Raises :class:`SourceError` for what cannot be
    read and :class:`~corvane.errors.VideoSupportError` when OpenCV is not installed.
    """
    _opencv.require("corvane view")
    import cv2

    if camera is not None:
        capture = cv2.VideoCapture(camera)
        if not capture.isOpened():
            raise SourceError(f"cannot open camera {camera}")
        capture.set(cv2.CAP_PROP_BUFFERSIZE, 1)  # the newest frame, not a backlog
        return Source(f"camera {camera}", capture, fps=fps)
    if path is None:
        raise SourceError("no video, image or camera given")
    try:
        with open(path, "rb"):
            pass
    except OSError as error:
        raise SourceError(f"{path}: {error.strerror}") from None
    if _is_recording(path):
        raise SourceError(f"{path} is a recording; play it with: corvane play {path}")
    if cv2.haveImageReader(path):
        image = cv2.imread(path, cv2.IMREAD_COLOR)
        if image is None:
            raise SourceError(f"{path}: the image cannot be decoded")
        return Source(path, first=cast("FrameArray", image))
    capture = cv2.VideoCapture(path)
    ok, first = capture.read() if capture.isOpened() else (False, None)
    if not ok:
        capture.release()
        raise SourceError(f"{path}: not a video or image that OpenCV can read")
    rate = fps or float(capture.get(cv2.CAP_PROP_FPS))
    if not (math.isfinite(rate) and 0 < rate <= 1000):
        rate = DEFAULT_FPS
    return Source(path, capture, fps=rate, first=cast("FrameArray", first))


def _is_recording(path: str) -> bool:
    """Whether the file begins as a recording does."""
    try:
        with open(path, "rb") as file:
            return file.read(len(MAGIC)) == MAGIC
    except OSError:
        return False


class Pacer:
    """Frame slots at a fixed rate from a start time: frame ``i`` is due at ``start + i / fps``.

    A frame whose slot has passed entirely is late and should be dropped, so that a slow
    terminal shows fewer frames instead of falling behind.
    """

    def __init__(
        self, fps: float, clock: Callable[[], float] = paused_clock,
        sleep: Callable[[float], None] = time.sleep,
    ) -> None:
        self.period = 1.0 / fps
        self.clock = clock
        self.sleep = sleep
        self.start = clock()

    def late(self, last: int) -> int:
        """How many frames after frame ``last`` (-1 before the first) are already late."""
        slot = int((self.clock() - self.start) / self.period)
        return max(0, slot - last - 1)

    def elapsed(self) -> float:
        """Seconds since the start."""
        return self.clock() - self.start

    def wait(self, index: int) -> None:
        """Sleep until frame ``index`` is due."""
        delay = self.start + index * self.period - self.clock()
        if delay > 0:
            self.sleep(delay)


def describe(path: str) -> str:
    """A short name for a source in the status line."""
    return os.path.basename(path) or path
