"""``RecordingWriter``: write recording files in Python, one record per tick of the player's clock.

The file is what :class:`~corvane.recording.Recording` reads and ``Corvane.play`` plays: ``LZDX``,
then per frame a 21-byte little-endian header and a zlib stream (level 6) of the frame or of its
XOR with the frame before. A key frame comes first, on every change of size and as every 120th
record; the others are deltas.

The players show one record per 33 ms and the format keeps no time, so the writer is told when each
frame appears (:meth:`RecordingWriter.add`) and writes one record per 33 ms of that time: the frame
current at each tick, repeated when it lasts longer (a repeat is a delta of zeros, a few bytes),
left out when it lasts less. A recording then plays as long as what it recorded, at any frame rate.

A writer belongs to one thread. ``OSError`` comes from creating or writing the file; each record
is written whole or cut off again, so a failed write leaves the file ending at a complete record.
"""

from __future__ import annotations

import os
import zlib
from typing import TYPE_CHECKING, Optional, Tuple, Union

import numpy as np

from .recording import DELTA, FRAME_PERIOD, HEADER, KEY, MAGIC

if TYPE_CHECKING:
    from .geometry import FrameArray

KEY_FRAME_INTERVAL = 120
"""Every 120th record is a key frame, so that a reader can start decoding near any frame."""
LEVEL = 6
"""zlib compression level of every payload."""

Size = Tuple[int, int]


class RecordingWriter:
    """A recording file being written; ``overwrite`` allows replacing an existing file.

    Use it as a context manager or call :meth:`close`. ``records`` counts what was written.
    """

    def __init__(self, path: Union[str, "os.PathLike[str]"], *, overwrite: bool = False,
                 period: float = FRAME_PERIOD) -> None:
        self.path = os.fspath(path)
        flags = os.O_WRONLY | os.O_CREAT | os.O_CLOEXEC | (os.O_TRUNC if overwrite else os.O_EXCL)
        self._fd: Optional[int] = os.open(self.path, flags, 0o666)
        self.period = period
        self.records = 0
        self._length = 0
        self._previous: "Optional[FrameArray]" = None
        self._current: "Optional[Tuple[FrameArray, Size]]" = None
        self._current_written = False
        self._last_at = 0.0
        self._zeros: Tuple[int, bytes] = (-1, b"")
        self._write(MAGIC)

    def _write(self, data: bytes) -> None:
        """Append ``data`` whole, or cut the file back to where it was and raise."""
        assert self._fd is not None, "the recording is closed"
        view = memoryview(data)
        try:
            while view:
                view = view[os.write(self._fd, view):]
        except OSError:
            os.ftruncate(self._fd, self._length)
            raise
        self._length += len(data)

    def write_frame(self, frame: "FrameArray", term: Size = (0, 0)) -> None:
        """Append one record now: ``frame`` (H x W x 3 ``uint8``) drawn on a terminal of
        ``term`` = (columns, rows). Key or delta as the format asks."""
        frame = np.ascontiguousarray(frame, dtype=np.uint8)
        rows, cols = frame.shape[:2]
        previous = self._previous
        key = (previous is None or previous.shape != frame.shape
               or self.records % KEY_FRAME_INTERVAL == 0)
        if key or previous is None:
            payload = zlib.compress(frame.tobytes(), LEVEL)
        elif np.array_equal(frame, previous):
            payload = self._zero_payload(frame.size)
        else:
            payload = zlib.compress(np.bitwise_xor(frame, previous).tobytes(), LEVEL)
        header = HEADER.pack(KEY if key else DELTA, term[0], term[1], rows, cols, len(payload))
        self._write(header + payload)
        self._previous = frame
        self.records += 1

    def _zero_payload(self, size: int) -> bytes:
        """The compressed delta of a repeated frame of ``size`` bytes, made once per size."""
        if self._zeros[0] != size:
            self._zeros = (size, zlib.compress(bytes(size), LEVEL))
        return self._zeros[1]

    def add(self, frame: "FrameArray", term: Size, at: float) -> None:
        """``frame`` appears at ``at`` seconds (from the start of the recording) and stays until
        the next one. Ticks before ``at`` get the frame that was current then."""
        self._fill(at)
        self._current = (np.array(frame, dtype=np.uint8, copy=True), term)
        self._current_written = False
        self._last_at = max(self._last_at, at)

    def _fill(self, until: float) -> None:
        """Write the current frame for every tick before ``until``."""
        if self._current is None:
            return
        while self.records * self.period < until - 1e-9:
            self.write_frame(*self._current)
            self._current_written = True

    def close(self, end: Optional[float] = None) -> None:
        """Fill the ticks up to ``end`` seconds (default: the last frame's time) and close the file.
        The last frame is written at least once. Closing twice does nothing."""
        if self._fd is None:
            return
        try:
            if self._current is not None:
                self._fill(self._last_at if end is None else end)
                if not self._current_written:
                    self.write_frame(*self._current)
        finally:
            os.close(self._fd)
            self._fd = None

    def __enter__(self) -> "RecordingWriter":
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()
