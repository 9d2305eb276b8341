"""An independent reader and writer of recording files, for the tests: the 4 bytes LZDX, then per
frame a 21-byte little-endian header and a zlib stream of the frame or its XOR with the one before."""

from __future__ import annotations

import struct
import zlib
from typing import List, NamedTuple, Optional, Tuple

MAGIC = b"LZDX"
HEADER = struct.Struct("<BIIiiI")  # frame_type, term_w, term_h, rows, cols, payload_len


Record = NamedTuple("Record", [(name, int) for name in ("frame_type", "term_w", "term_h", "rows", "cols")] + [
    ("payload", bytes)])


def parse(data: bytes) -> List[Record]:
    """The records of a complete recording; raises on anything damaged."""
    assert data[:4] == MAGIC, data[:4]
    records, at = [], 4
    while at < len(data):
        *fields, length = HEADER.unpack_from(data, at)
        records.append(Record(*fields, data[at + 21 : at + 21 + length]))
        assert len(records[-1].payload) == length, "truncated record"
        at += 21 + length
    return records


def frames(records: List[Record]) -> List[bytes]:
    """Every frame rebuilt from key and delta records."""
    out, previous = [], b""
    for r in records:
        plain = zlib.decompress(r.payload)
        previous = plain if r.frame_type == 0 else bytes(a ^ b for a, b in zip(plain, previous))
        out.append(previous)
    return out


def record(frame_type: int, rows: int, cols: int, plain: bytes, term: Tuple[int, int] = (0, 0),
           payload: Optional[bytes] = None) -> bytes:
    payload = zlib.compress(plain, 6) if payload is None else payload
    return HEADER.pack(frame_type, *term, rows, cols, len(payload)) + payload
