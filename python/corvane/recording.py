"""``Recording`` and ``RecordingWriter``: the recording files that ``Corvane.start_recording`` writes.

A recording is the 4 bytes ``LZDX`` and then, back to back, one record per frame: a 21-byte
header (``frame_type`` 0 key / 1 delta, ``term_w``, ``term_h``, ``rows``, ``cols``,
``payload_len``) and a zlib stream that inflates to ``rows * cols * 3`` bytes, the frame (key) or
its byte-wise XOR with the frame before it (delta). The files are read and written by
``corvane._native``; this module gives them their Python shape.

Opening a recording reads only the headers. Damage that the headers show (a record cut short,
an unknown frame type, a delta frame without a matching frame before it) ends the readable part
of the file and is kept in :attr:`Recording.damage`; damage inside a payload shows when the
frame is decoded. Either is reported as :class:`~corvane.errors.RecordingError` naming the
offset and the record (numbered from 1, as in every message).

The players show one record per 33 ms and the format keeps no time, so :class:`RecordingWriter`
is told when each frame appears (:meth:`RecordingWriter.add`) and writes one record per 33 ms of
that time: the frame current at each tick, repeated when it lasts longer (a repeat is a delta of
zeros, a few bytes), left out when it lasts less. A recording then plays as long as what it
recorded, at any frame rate.
"""

from __future__ import annotations

import bisect
import os
from collections import Counter
from dataclasses import dataclass
from typing import TYPE_CHECKING, Dict, Iterator, List, NoReturn, Optional, Tuple, Union, overload

from . import _native
from .errors import RecordingError
from .text import count

if TYPE_CHECKING:
    from .geometry import FrameArray

MAGIC: bytes = _native.RECORDING_MAGIC
"""The signature every recording begins with."""
KEY, DELTA = 0, 1
FRAME_PERIOD = 0.033
"""Seconds per frame at the pace of the native player (at most one frame per 33 ms)."""

PathLike = Union[str, "os.PathLike[str]"]
Size = Tuple[int, int]


def _damage(found: _native.RecordingDamage) -> RecordingError:
    message, offset, index = found.args
    return RecordingError(message, offset, index)


def _raise(found: _native.RecordingDamage) -> NoReturn:
    raise _damage(found) from None


@dataclass(frozen=True)
class Record:
    """The header of one frame record and where it lies in the file."""

    index: int
    offset: int
    frame_type: int
    term_w: int
    term_h: int
    rows: int
    cols: int
    payload_len: int

    @property
    def is_key(self) -> bool:
        """Whether the record holds a whole frame rather than a difference."""
        return self.frame_type == KEY

    @property
    def raw_size(self) -> int:
        """Bytes of the decoded frame: ``rows * cols * 3``."""
        return self.rows * self.cols * 3

    @property
    def end(self) -> int:
        """The offset just past the record."""
        return self.offset + _native.RECORD_HEADER_SIZE + self.payload_len


class Recording:
    """A recording file, its record headers read, its frames decoded on demand.

    ``len(recording)`` is the number of complete records before any damage; iterating yields the
    frames as H x W x 3 ``uint8`` arrays (B, G, R) and raises :class:`RecordingError` on
    reaching damage; ``recording[i]`` decodes frame ``i`` from the nearest key frame at or before
    it. Raises ``OSError`` when the file cannot be read and :class:`RecordingError` when it is
    not a recording at all. Use it as a context manager, or call :meth:`close`.
    """

    def __init__(self, path: PathLike) -> None:
        self.path = os.fspath(path)
        try:
            self._reader = _native.RecordingReader(self.path)
        except _native.RecordingDamage as found:
            _raise(found)
        self.file_size: int = self._reader.file_size()
        """The file's length in bytes."""
        self.records: List[Record] = [Record(i, *fields) for i, fields in enumerate(self._reader.records())]
        """The headers of the complete records, in file order."""
        damage = self._reader.damage()
        self.damage: Optional[RecordingError] = None if damage is None else RecordingError(*damage)
        """What ended the readable part of the file early, or ``None``."""
        self.key_frames: List[int] = [r.index for r in self.records if r.is_key]
        """Indices of the key frames."""

    # --- what the headers tell -----------------------------------------------------------------

    def __len__(self) -> int:
        return len(self.records)

    @property
    def frame_count(self) -> int:
        """Complete records (frames) before any damage."""
        return len(self.records)

    @property
    def key_count(self) -> int:
        """Key frames among them."""
        return len(self.key_frames)

    @property
    def delta_count(self) -> int:
        """Delta frames among them."""
        return len(self.records) - len(self.key_frames)

    @property
    def payload_bytes(self) -> int:
        """Compressed bytes of all payloads."""
        return sum(r.payload_len for r in self.records)

    @property
    def raw_bytes(self) -> int:
        """What all frames take decoded."""
        return sum(r.raw_size for r in self.records)

    @property
    def duration(self) -> float:
        """Seconds the frames take at the native player's pace."""
        return len(self.records) * FRAME_PERIOD

    def sizes(self) -> Dict[Tuple[int, int, int, int], int]:
        """Frame counts by (cols, rows, term_w, term_h), in order of first appearance."""
        return dict(Counter((r.cols, r.rows, r.term_w, r.term_h) for r in self.records))

    def key_at_or_before(self, index: int) -> int:
        """The index of the key frame that frame ``index`` is decoded from."""
        return self.key_frames[bisect.bisect_right(self.key_frames, index) - 1]

    # --- frames ---------------------------------------------------------------------------------

    def frame(self, index: int) -> "FrameArray":
        """Frame ``index`` (negative counts from the end), decoded from the nearest key frame at
        or before it, or from the frame last decoded when that is closer. A new array each call."""
        asked, total = index, len(self.records)
        if index < 0:
            index += total
        if not 0 <= index < total:
            raise IndexError(f"frame index {asked} is out of range: the recording has {count(total, 'frame')}")
        record = self.records[index]
        try:
            plain = self._reader.frame(index)
        except _native.RecordingDamage as found:
            _raise(found)
        import numpy as np  # here, so that reading records alone (corvane info) leaves it out

        return np.frombuffer(plain, dtype=np.uint8).reshape(record.rows, record.cols, 3)

    @overload
    def __getitem__(self, index: int) -> "FrameArray": ...

    @overload
    def __getitem__(self, index: slice) -> List["FrameArray"]: ...

    def __getitem__(self, index: Union[int, slice]) -> "Union[FrameArray, List[FrameArray]]":
        """``recording[i]``: frame ``i``; ``recording[a:b:c]``: a list of those frames."""
        if isinstance(index, slice):
            return [self.frame(i) for i in range(*index.indices(len(self.records)))]
        return self.frame(index)

    def __iter__(self) -> Iterator["FrameArray"]:
        """Every frame in order; raises :attr:`damage` after the last complete one."""
        for i in range(len(self.records)):
            yield self.frame(i)
        if self.damage is not None:
            raise self.damage

    def require_frames(self) -> None:
        """Raise :class:`RecordingError` when the file holds no complete frame at all."""
        if not self.records:
            raise self.damage or RecordingError("the recording has no frames", len(MAGIC))

    def verify(self) -> Optional[RecordingError]:
        """Decode every frame; the first damage found, or ``None`` when the file is intact."""
        try:
            for i in range(len(self.records)):
                self._reader.frame(i)
        except _native.RecordingDamage as found:
            return _damage(found)
        return self.damage

    def close(self) -> None:
        """Close the file; frames can no longer be decoded."""
        self._reader.close()

    def __enter__(self) -> "Recording":
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def __repr__(self) -> str:
        state = "intact so far" if self.damage is None else "damaged"
        return f"<Recording {self.path!r}: {count(len(self.records), 'frame')}, {state}>"


class RecordingWriter:
    """A recording file being written; ``overwrite`` allows replacing an existing file.

    A key frame comes first, on every change of size and as every 120th record; the others are
    deltas. Use it as a context manager or call :meth:`close`. ``records`` counts what was
    written. A writer belongs to one thread. ``OSError`` comes from creating or writing the file;
    each record is written whole or cut off again, so a failed write leaves the file ending at a
    complete record.
    """

    def __init__(self, path: PathLike, *, overwrite: bool = False, period: float = FRAME_PERIOD) -> None:
        self.path = os.fspath(path)
        self.period = period
        self._writer = _native.RecordingWriter(self.path, overwrite, period)

    @property
    def records(self) -> int:
        """Records written so far."""
        return self._writer.records()

    @staticmethod
    def _plain(frame: "FrameArray") -> "Tuple[FrameArray, int, int]":
        import numpy as np

        plain = np.ascontiguousarray(frame, dtype=np.uint8)
        if plain.ndim != 3 or plain.shape[2] != 3:
            raise ValueError(f"a frame is rows x cols x 3 bytes, not {' x '.join(map(str, plain.shape))}")
        return plain.reshape(-1), plain.shape[0], plain.shape[1]

    def write_frame(self, frame: "FrameArray", term: Size = (0, 0)) -> None:
        """Append one record now: ``frame`` (H x W x 3 ``uint8``) drawn on a terminal of
        ``term`` = (columns, rows). Key or delta as the format asks."""
        plain, rows, cols = self._plain(frame)
        self._writer.write_frame(plain, rows, cols, term[0], term[1])

    def add(self, frame: "FrameArray", term: Size, at: float) -> None:
        """``frame`` appears at ``at`` seconds (from the start of the recording) and stays until
        the next one. Ticks before ``at`` get the frame that was current then."""
        plain, rows, cols = self._plain(frame)
        self._writer.add(plain, rows, cols, term[0], term[1], at)

    def close(self, end: Optional[float] = None) -> None:
        """Fill the ticks up to ``end`` seconds (default: the last frame's time) and close the file.
        The last frame is written at least once. Closing twice does nothing."""
        self._writer.close(end)

    def __enter__(self) -> "RecordingWriter":
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()
