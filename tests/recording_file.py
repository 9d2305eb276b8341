"""A small independent reader and writer of recording files, for the tests."""

from __future__ import annotations

import struct
import zlib
from dataclasses import dataclass
from typing import List

MAGIC = b"LZDX"
HEADER = struct.Struct("<BIIiiI")
assert HEADER.size == 21


@dataclass
class Record:
    frame_type: int
    term_w: int
    term_h: int
    rows: int
    cols: int
    payload: bytes

    @property
    def plain(self) -> bytes:
        return zlib.decompress(self.payload)


def parse(data: bytes) -> List[Record]:
    """The records of a complete recording; raises on anything damaged."""
    assert data[:4] == MAGIC, data[:4]
    records, at = [], 4
    while at < len(data):
        frame_type, term_w, term_h, rows, cols, length = HEADER.unpack_from(data, at)
        payload = data[at + 21 : at + 21 + length]
        assert len(payload) == length, "truncated record"
        records.append(Record(frame_type, term_w, term_h, rows, cols, payload))
        at += 21 + length
    return records


def frames(records: List[Record]) -> List[bytes]:
    """Every frame rebuilt from key and delta records."""
    out, previous = [], b""
    for r in records:
        plain = r.plain
        previous = plain if r.frame_type == 0 else bytes(a ^ b for a, b in zip(plain, previous))
        out.append(previous)
    return out


def record(frame_type: int, rows: int, cols: int, plain: bytes, term=(0, 0), payload: bytes = None) -> bytes:
    payload = zlib.compress(plain, 6) if payload is None else payload
    return HEADER.pack(frame_type, term[0], term[1], rows, cols, len(payload)) + payload
