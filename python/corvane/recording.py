"""``Recording``: read the recording files that ``Corvane.start_recording`` writes.

A recording is the 4 bytes ``LZDX`` and then, back to back, one record per frame: a 21-byte
little-endian header (``frame_type`` 0 key / 1 delta, ``term_w``, ``term_h``, ``rows``,
``cols``, ``payload_len``) and a zlib stream that inflates to ``rows * cols * 3`` bytes, the
frame (key) or its byte-wise XOR with the frame before it (delta).

Opening a recording reads only the headers. Damage that the headers show (a record cut short,
an unknown frame type, a delta frame without a matching frame before it) ends the readable part
of the file and is kept in :attr:`Recording.damage`; damage inside a payload shows when the
frame is decoded. Either is reported as :class:`~corvane.errors.RecordingError` naming the
offset and the record (numbered from 1, as in every message).
"""

from __future__ import annotations

import bisect
import os
import struct
import zlib
from collections import Counter
from dataclasses import dataclass
from typing import TYPE_CHECKING, BinaryIO, Dict, Iterator, List, Optional, Tuple, Union, overload

import numpy as np

from .errors import RecordingError
from .text import count

if TYPE_CHECKING:
    from .geometry import FrameArray

MAGIC = b"LZDX"
HEADER = struct.Struct("<BIIiiI")
KEY, DELTA = 0, 1
FRAME_PERIOD = 0.033
"""Seconds per frame at the pace of the native player (at most one frame per 33 ms)."""

PathLike = Union[str, "os.PathLike[str]"]


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
        return self.offset + HEADER.size + self.payload_len


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
        self._file: BinaryIO = open(self.path, "rb")
        try:
            self.file_size = os.fstat(self._file.fileno()).st_size
            """The file's length in bytes."""
            self.records: List[Record] = []
            """The headers of the complete records, in file order."""
            self.damage: Optional[RecordingError] = None
            """What ended the readable part of the file early, or ``None``."""
            self._scan()
        except BaseException:
            self._file.close()
            raise
        self.key_frames: List[int] = [r.index for r in self.records if r.is_key]
        """Indices of the key frames."""
        self._cached: Optional[Tuple[int, "FrameArray"]] = None

    def _scan(self) -> None:
        """Read the signature and every record header; stop at the first damage."""
        signature = self._file.read(len(MAGIC))
        if signature != MAGIC:
            what = "the file is empty" if not signature else "it does not begin with LZDX"
            raise RecordingError(f"not a recording ({what})", 0)
        offset = len(MAGIC)
        previous: Optional[Record] = None
        while offset < self.file_size:
            header = self._file.read(HEADER.size)
            index = len(self.records)
            if len(header) < HEADER.size:
                self.damage = RecordingError(
                    f"header cut short: {len(header)} of {HEADER.size} bytes", offset, index
                )
                return
            record = Record(index, offset, *HEADER.unpack(header))
            problem = self._check(record, previous)
            if problem:
                self.damage = RecordingError(problem, offset, index)
                return
            self.records.append(record)
            previous = record
            offset = record.end
            self._file.seek(offset)

    def _check(self, record: Record, previous: Optional[Record]) -> str:
        """What is wrong with a record's header, or an empty string."""
        if record.frame_type not in (KEY, DELTA):
            return f"unknown frame type {record.frame_type}"
        if record.rows <= 0 or record.cols <= 0:
            return f"frame size {record.cols} x {record.rows} is empty"
        if record.frame_type == DELTA:
            if previous is None:
                return "delta frame with no frame before it"
            if (record.rows, record.cols) != (previous.rows, previous.cols):
                return (
                    f"delta frame of {record.cols} x {record.rows} after a frame of "
                    f"{previous.cols} x {previous.rows}"
                )
        if record.end > self.file_size:
            present = self.file_size - record.offset - HEADER.size
            return f"payload cut short: {present} of {record.payload_len} bytes"
        return ""

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

    def _plain(self, record: Record) -> bytes:
        """The record's payload inflated, checked to be exactly one frame's worth."""
        self._file.seek(record.offset + HEADER.size)
        payload = self._file.read(record.payload_len)
        at = record.offset + HEADER.size
        if len(payload) < record.payload_len:
            raise RecordingError("payload cut short (the file changed)", at, record.index)
        inflater = zlib.decompressobj()
        try:
            plain = inflater.decompress(payload, record.raw_size + 1)
        except zlib.error as error:
            raise RecordingError(f"payload is no valid zlib stream ({error})", at, record.index) from None
        if len(plain) > record.raw_size:
            raise RecordingError(
                f"payload inflates to more than {record.raw_size} bytes", at, record.index
            )
        if not inflater.eof:
            raise RecordingError(
                f"payload ends inside its zlib stream after {len(plain)} of {record.raw_size} bytes",
                at,
                record.index,
            )
        if len(plain) < record.raw_size:
            raise RecordingError(
                f"payload inflates to {len(plain)} bytes, not {record.raw_size}", at, record.index
            )
        if inflater.unused_data:
            stray = count(len(inflater.unused_data), "stray byte")
            raise RecordingError(f"{stray} after the zlib stream", at, record.index)
        return plain

    def _apply(self, record: Record, previous: Optional["FrameArray"]) -> "FrameArray":
        """The frame of ``record``, given the frame before it (needed for a delta)."""
        plain = np.frombuffer(self._plain(record), dtype=np.uint8).reshape(record.rows, record.cols, 3)
        if record.is_key or previous is None:
            return plain.copy()
        combined: "FrameArray" = np.bitwise_xor(previous, plain)
        return combined

    def frame(self, index: int) -> "FrameArray":
        """Frame ``index`` (negative counts from the end), decoded from the nearest key frame at
        or before it, or from the frame last decoded when that is closer. A new array each call."""
        asked, total = index, len(self.records)
        if index < 0:
            index += total
        if not 0 <= index < total:
            raise IndexError(f"frame index {asked} is out of range: the recording has {count(total, 'frame')}")
        start, current = self.key_at_or_before(index), None
        if self._cached is not None and start <= self._cached[0] <= index:
            start, current = self._cached[0] + 1, self._cached[1]
        for i in range(start, index + 1):
            current = self._apply(self.records[i], current)
        assert current is not None
        self._cached = (index, current)
        return current.copy()

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
        current: Optional["FrameArray"] = None
        for record in self.records:
            current = self._apply(record, current)
            yield current.copy()
        if self.damage is not None:
            raise self.damage

    def require_frames(self) -> None:
        """Raise :class:`RecordingError` when the file holds no complete frame at all."""
        if not self.records:
            raise self.damage or RecordingError("the recording has no frames", len(MAGIC))

    def verify(self) -> Optional[RecordingError]:
        """Decode every frame; the first damage found, or ``None`` when the file is intact."""
        previous: Optional["FrameArray"] = None
        try:
            for record in self.records:
                previous = self._apply(record, previous)
        except RecordingError as error:
            return error
        return self.damage

    def close(self) -> None:
        """Close the file; frames can no longer be decoded."""
        self._file.close()

    def __enter__(self) -> "Recording":
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def __repr__(self) -> str:
        state = "intact so far" if self.damage is None else "damaged"
        return f"<Recording {self.path!r}: {count(len(self.records), 'frame')}, {state}>"
