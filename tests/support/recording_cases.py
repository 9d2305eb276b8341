"""Recordings made by hand for the reader and the commands: a good one and damaged variants."""

from __future__ import annotations

import zlib
from typing import NamedTuple

from recording_file import MAGIC, record


def uniform(value: int, cols: int = 2, rows: int = 2) -> bytes:
    return bytes([value]) * (rows * cols * 3)


def xor(a: bytes, b: bytes) -> bytes:
    return bytes(x ^ y for x, y in zip(a, b))


def numbered(count: int, cols: int, rows: int, key_every: int = 5) -> bytes:
    """A recording whose frame i is uniformly grey (10 * i) % 256, a key frame every key_every."""
    out, previous = [MAGIC], b""
    for i in range(count):
        plain = uniform((10 * i) % 256, cols, rows)
        key = i % key_every == 0
        out.append(record(0 if key else 1, rows, cols, plain if key else xor(plain, previous), term=(cols, rows // 2 + 1)))
        previous = plain
    return b"".join(out)


# Three good 2 x 2 frames: key, delta, key.
GOOD = MAGIC + record(0, 2, 2, uniform(10)) + record(1, 2, 2, xor(uniform(20), uniform(10))) + record(0, 2, 2, uniform(30))
GOOD_FRAMES = [10, 20, 30]


# tail: appended to GOOD; message: how the error message starts; in_payload: the offset is that of the
# payload (else of the record); readable: frames the headers allow before the damage.
Damage = NamedTuple("Damage", [("name", str), ("tail", bytes), ("message", str), ("in_payload", bool),
                               ("readable", int)])


_twelve = zlib.compress(uniform(40), 6)
DAMAGED = [
    Damage("header cut", record(1, 2, 2, bytes(12))[:10], "header cut short: 10 of 21 bytes", False, 3),
    Damage("payload cut", record(1, 2, 2, bytes(12))[:-3], "payload cut short", False, 3),
    Damage("frame type", b"\x07" + record(0, 2, 2, bytes(12))[1:], "unknown frame type 7", False, 3),
    Damage("empty size", record(0, 0, 2, b""), "frame size 2 x 0 is empty", False, 3),
    Damage("delta resized", record(1, 2, 4, bytes(24)), "delta frame of 4 x 2 after a frame of 2 x 2", False, 3),
    Damage("no zlib", record(0, 2, 2, b"", payload=b"\xff" * 11), "payload is no valid zlib stream", True, 4),
    Damage("short", record(0, 2, 2, bytes(6)), "payload inflates to 6 bytes, not 12", True, 4),
    Damage("long", record(0, 2, 2, bytes(15)), "payload inflates to more than 12 bytes", True, 4),
    Damage("no checksum", record(0, 2, 2, b"", payload=_twelve[:-4]), "payload ends inside its zlib stream", True, 4),
    Damage("stray bytes", record(0, 2, 2, b"", payload=_twelve + b"xx"), "2 stray bytes after the zlib stream", True, 4),
]
