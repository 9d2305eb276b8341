"""``corvane export``: the frames of a recording as PNG files, an H.264 video or an animated GIF.

Nothing is written over: an existing video file, or a directory that holds anything, is refused
unless ``overwrite`` (then the directory's old ``frame-*.png`` files are removed first, so old and
new frames never mix). A video runs at the player's rate (one frame per 33 ms) unless told; at
another rate the recording keeps its length, its frames repeated or left out on its own clock. It is
written by :func:`corvane.media.encode.write_video` (PyAV and Pillow, the ``video`` extra) under a
temporary name, so a failed export leaves nothing. A damaged recording is exported up to the
damage, which is raised afterwards.
"""

from __future__ import annotations

import math
import os
import re
import sys
import time
from typing import TYPE_CHECKING, Iterable, Iterator, List, Optional, TextIO

import numpy as np

from ..errors import CorvaneError, RecordingError
from ..geometry import letterbox
from ..png import write_png
from ..recording import FRAME_PERIOD, Recording
from ..text import printable

if TYPE_CHECKING:
    from ..geometry import FrameArray
    from ..media.encode import Timed

VIDEO_SUFFIXES = (".mp4", ".m4v", ".mov", ".mkv", ".gif")
"""Suffixes of the video files written: H.264 in the first four, an animated GIF."""
PNG_NAME = "frame-{:06d}.png"
"""Names of the PNG files, numbered from 1."""
_PNG_FILE = re.compile(r"frame-\d{6,}\.png")
NOT_WRITTEN = (".avi", ".webm", ".wmv", ".flv", ".mpg", ".mpeg", ".ts", ".png", ".jpg", ".jpeg",
               ".lzdx")
"""Suffixes of files that cannot be written (so such a name is no directory either)."""
PLAYER_FPS = 1 / FRAME_PERIOD
"""The rate of the players, the default rate of an exported video."""


class Progress:
    """A progress bar on a text stream (standard error) for long jobs.

    ``enabled=None`` shows it only when the stream is a terminal and the job has taken longer
    than ``delay`` seconds; ``True`` always, ``False`` never.
    """

    def __init__(self, total: int, label: str, *, stream: Optional[TextIO] = None,
                 enabled: Optional[bool] = None, delay: float = 0.5) -> None:
        self.total, self.label = total, label
        self.stream = stream if stream is not None else sys.stderr
        self.enabled = enabled
        self.shown = False
        self.finished = False
        self._ready_at = time.monotonic() + (0.0 if enabled else delay)

    def update(self, done: int) -> None:
        """Show that ``done`` of ``total`` items are finished."""
        if self.enabled is False or time.monotonic() < self._ready_at:
            return
        if self.enabled is None and not self.stream.isatty():
            return
        text = f"{done}/{self.total} frame" + ("" if self.total == 1 else "s")
        width = max(0, min(30, self._columns() - len(self.label) - len(text) - 5))
        filled = width * done // max(self.total, 1)
        bar = f" [{'#' * filled}{'-' * (width - filled)}]" if width >= 5 else ""
        self.stream.write(f"\r{self.label}{bar} {text}\x1b[K")
        self.stream.flush()
        self.shown = True

    def _columns(self) -> int:
        """The width of the stream's terminal (``COLUMNS`` first); 80 when that cannot be told."""
        if os.environ.get("COLUMNS", "").isdigit():
            return int(os.environ["COLUMNS"])
        try:
            return os.get_terminal_size(self.stream.fileno()).columns or 80
        except (OSError, ValueError, AttributeError):
            return 80

    def finish(self) -> None:
        """End the bar's line with one newline, if a bar was shown; later calls do nothing."""
        if self.shown and not self.finished:
            self.stream.write("\n")
            self.stream.flush()
        self.finished = True


def _scaled(frame: "FrameArray", scale: int) -> "FrameArray":
    """Every pixel of ``frame`` as a ``scale`` x ``scale`` block."""
    if scale == 1:
        return frame
    return np.repeat(np.repeat(frame, scale, axis=0), scale, axis=1)


def output_kind(out: str) -> str:
    """``"video"`` for a known video suffix, ``"png"`` for a directory (new or existing, whatever
    its name, unless it looks like a file that cannot be written)."""
    suffix = os.path.splitext(out.rstrip(os.sep))[1].lower()
    if suffix in VIDEO_SUFFIXES and not os.path.isdir(out):
        return "video"
    if suffix in NOT_WRITTEN and not os.path.isdir(out):
        known = ", ".join(VIDEO_SUFFIXES)
        raise CorvaneError(f"{printable(out)}: cannot write {suffix} files; give a directory for "
                           f"PNG files or a video file ({known})")
    return "png"


def claim_output(out: str, kind: str, *, overwrite: bool) -> None:
    """Refuse an existing video file or a non-empty directory unless ``overwrite``; with it, take
    the old frames out of the directory."""
    if kind == "video":
        if os.path.lexists(out) and not overwrite:
            raise CorvaneError(f"{printable(out)} exists; add --force to write over it")
        return
    if os.path.lexists(out) and not os.path.isdir(out):
        raise CorvaneError(f"{printable(out)} exists and is no directory")
    names = os.listdir(out) if os.path.isdir(out) else []
    if names and not overwrite:
        raise CorvaneError(f"{printable(out)} is a directory that is not empty; add --force to "
                           "replace the frames in it")
    for name in names:
        if _PNG_FILE.fullmatch(name):
            os.remove(os.path.join(out, name))


def frame_range(count: int, start: float = 0.0, end: Optional[float] = None) -> range:
    """The frames of a recording of ``count`` frames on show from ``start`` to ``end`` seconds
    at the players' pace."""
    first = min(int(start / FRAME_PERIOD + 1e-9), count)
    last = count if end is None else min(count, max(first + 1, math.ceil(end / FRAME_PERIOD - 1e-9)))
    return range(first, last)


def _frames(recording: Recording, frames: range, scale: int, progress: Progress,
            damage: List[RecordingError]) -> "Iterator[FrameArray]":
    """The frames in ``frames`` scaled; stops at damage, which goes into ``damage``."""
    for done, index in enumerate(frames, 1):
        try:
            frame = recording.frame(index)
        except RecordingError as error:
            damage.append(error)
            return
        yield _scaled(frame, scale)
        progress.update(done)
    if recording.damage is not None and frames.stop == len(recording):
        damage.append(recording.damage)  # headers cut short after the last complete frame


def resampled(frames: "Iterable[FrameArray]", count: int, fps: float) -> "Iterator[Timed]":
    """The ``count`` frames of a recording, each on show for ``FRAME_PERIOD``, as ``fps`` frames
    per second of the same length: every tick ``k / fps`` gets the frame on show at that time."""
    ticks = math.ceil(count * FRAME_PERIOD * fps - 1e-9)
    tick = 0
    for index, image in enumerate(frames):
        until = (index + 1) * FRAME_PERIOD - 1e-9  # the rate's ticks land on float noise
        while tick < ticks and tick / fps < until:
            yield image, tick / fps
            tick += 1


def export_png(recording: Recording, out: str, *, frames: Optional[range] = None, scale: int = 1,
               progress: Progress) -> int:
    """Write the frames (default: all) to ``out/frame-NNNNNN.png``; the directory is made when
    missing. Returns the number of files written; raises ``RecordingError`` at damage, after
    writing the frames before it."""
    recording.require_frames()
    os.makedirs(out, exist_ok=True)
    damage: List[RecordingError] = []
    written = 0
    try:
        for frame in _frames(recording, range(len(recording)) if frames is None else frames, scale,
                                progress, damage):
            write_png(os.path.join(out, PNG_NAME.format(written + 1)), frame)
            written += 1
    finally:
        progress.finish()
    if damage:
        raise damage[0]
    return written


def export_video(recording: Recording, out: str, *, frames: Optional[range] = None,
                 fps: float = PLAYER_FPS, scale: int = 1, overwrite: bool = False,
                 progress: Progress) -> int:
    """Write the frames (default: all) as H.264 or a GIF (by the suffix of ``out``) of the first
    frame's size (others are fitted into it), ``fps`` frames per second over the recording's own
    time. Returns the number of
    frames written; raises ``RecordingError`` at damage, after writing the frames before it."""
    from ..media.encode import write_video

    recording.require_frames()
    chosen = range(len(recording)) if frames is None else frames
    damage: List[RecordingError] = []
    try:
        written = write_video(out, resampled(_frames(recording, chosen, scale, progress, damage),
                                             len(chosen), fps),
                              end=len(chosen) * FRAME_PERIOD, overwrite=overwrite)
    except CorvaneError:
        if damage:  # nothing before the damage to write
            raise damage[0] from None
        raise
    finally:
        progress.finish()
    if damage:
        raise damage[0]
    return written
