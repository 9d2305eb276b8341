"""``corvane export``: the frames of a recording as PNG files or as a video file."""

from __future__ import annotations

import os
import sys
import time
from typing import TYPE_CHECKING, Optional, TextIO

import numpy as np

from . import _opencv
from .errors import CorvaneError
from .geometry import letterbox
from .png import write_png
from .recording import Recording

if TYPE_CHECKING:
    from .geometry import FrameArray

VIDEO_CODECS = {".mp4": "mp4v", ".m4v": "mp4v", ".mov": "mp4v", ".mkv": "mp4v", ".avi": "MJPG"}
"""Video file suffixes and the codec (FourCC) each is written with."""
PNG_NAME = "frame-{:06d}.png"
"""Names of the PNG files, numbered from 1."""


class Progress:
    """A progress bar on a text stream (standard error) for long jobs.

    ``enabled=None`` shows it only when the stream is a terminal and the job has taken longer
    than ``delay`` seconds; ``True`` always, ``False`` never.
    """

    WIDTH = 30

    def __init__(self, total: int, label: str, *, stream: Optional[TextIO] = None,
                 enabled: Optional[bool] = None, delay: float = 0.5) -> None:
        self.total, self.label = total, label
        self.stream = stream if stream is not None else sys.stderr
        self.enabled = enabled
        self.shown = False
        self._ready_at = time.monotonic() + (0.0 if enabled else delay)

    def update(self, done: int) -> None:
        """Show that ``done`` of ``total`` items are finished."""
        if self.enabled is False or time.monotonic() < self._ready_at:
            return
        if self.enabled is None and not self.stream.isatty():
            return
        filled = self.WIDTH * done // max(self.total, 1)
        bar = "#" * filled + "-" * (self.WIDTH - filled)
        self.stream.write(f"\r{self.label} [{bar}] {done}/{self.total} frames")
        self.stream.flush()
        self.shown = True

    def finish(self) -> None:
        """End the bar's line, if a bar was shown."""
        if self.shown:
            self.stream.write("\n")
            self.stream.flush()


def _scaled(frame: "FrameArray", scale: int) -> "FrameArray":
    """Every pixel of ``frame`` as a ``scale`` x ``scale`` block."""
    if scale == 1:
        return frame
    return np.repeat(np.repeat(frame, scale, axis=0), scale, axis=1)


def output_kind(out: str) -> str:
    """``"video"`` for a known video suffix, ``"png"`` for a directory or a name without suffix."""
    suffix = os.path.splitext(out)[1].lower()
    if suffix in VIDEO_CODECS:
        return "video"
    if os.path.isdir(out) or not suffix:
        return "png"
    known = ", ".join(sorted(VIDEO_CODECS))
    raise CorvaneError(f"{out}: give a directory for PNG files or a video file ({known})")


def export_png(recording: Recording, out: str, *, scale: int = 1, progress: Progress) -> int:
    """Write every frame to ``out/frame-NNNNNN.png``; the directory is made when missing.
    Returns the number of files written; raises ``RecordingError`` at damage, after writing the
    frames before it."""
    os.makedirs(out, exist_ok=True)
    written = 0
    try:
        for frame in recording:
            write_png(os.path.join(out, PNG_NAME.format(written + 1)), _scaled(frame, scale))
            written += 1
            progress.update(written)
    finally:
        progress.finish()
    return written


def export_video(recording: Recording, out: str, *, fps: float = 30.0, scale: int = 1,
                 progress: Progress) -> int:
    """Write the frames as a video of the first frame's size (others are fitted into it) at
    ``fps`` frames per second. Needs OpenCV. Returns the number of frames written."""
    _opencv.require("video export")
    import cv2

    if not len(recording):
        raise CorvaneError("the recording has no frames to make a video of")
    first = recording.records[0]
    size = (first.cols * scale, first.rows * scale)
    codec = VIDEO_CODECS[os.path.splitext(out)[1].lower()]
    writer = cv2.VideoWriter(out, cv2.VideoWriter.fourcc(*codec), fps, size)
    if not writer.isOpened():
        raise CorvaneError(f"{out}: cannot write a video there (codec {codec})")
    written = 0
    try:
        for frame in recording:
            writer.write(letterbox(_scaled(frame, scale), *size))
            written += 1
            progress.update(written)
    finally:
        writer.release()
        progress.finish()
    return written
