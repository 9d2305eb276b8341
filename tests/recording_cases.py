"""Recordings made by hand for the reader and the commands: a good one and damaged variants."""

from __future__ import annotations

import zlib
from collections import namedtuple

from recording_file import MAGIC, record


def uniform(value: int, cols: int = 2, rows: int = 2) -> bytes:
    return bytes([value]) * (rows * cols * 3)


def numbered(count: int, cols: int, rows: int, key_every: int = 5) -> bytes:
    """A recording whose frame i is uniformly grey (10 * i) % 256, a key frame every key_every."""
    out = [MAGIC]
    for i in range(count):
        key = i % key_every == 0
        plain = uniform((10 * i) % 256 if key else 10 * i % 256 ^ 10 * (i - 1) % 256, cols, rows)
        out.append(record(0 if key else 1, rows, cols, plain, term=(cols, rows // 2 + 1)))
    return b"".join(out)


# Three good 2 x 2 frames: key 10, delta to 20, key 30.
GOOD = MAGIC + record(0, 2, 2, uniform(10)) + record(1, 2, 2, uniform(20 ^ 10)) + record(0, 2, 2, uniform(30))
GOOD_FRAMES = [10, 20, 30]


# what is appended to GOOD, how the message starts, whether the offset is that of the payload (else
# of the record), and how many frames the headers allow before the damage
Damage = namedtuple("Damage", "name tail message in_payload readable")
_twelve = zlib.compress(uniform(40), 6)
DAMAGED = [Damage(*case) for case in [
    ("header cut", record(1, 2, 2, bytes(12))[:10], "header cut short: 10 of 21 bytes", False, 3),
    ("payload cut", record(1, 2, 2, bytes(12))[:-3], "payload cut short", False, 3),
    ("frame type", b"\x07" + record(0, 2, 2, bytes(12))[1:], "unknown frame type 7", False, 3),
    ("empty size", record(0, 0, 2, b""), "frame size 2 x 0 is empty", False, 3),
    ("delta resized", record(1, 2, 4, bytes(24)), "delta frame of 4 x 2 after a frame of 2 x 2", False, 3),
    ("no zlib", record(0, 2, 2, b"", payload=b"\xff" * 11), "payload is no valid zlib stream", True, 4),
    ("short", record(0, 2, 2, bytes(6)), "payload inflates to 6 bytes, not 12", True, 4),
    ("long", record(0, 2, 2, bytes(15)), "payload inflates to more than 12 bytes", True, 4),
    ("no checksum", record(0, 2, 2, b"", payload=_twelve[:-4]), "payload ends inside its zlib stream", True, 4),
    ("stray bytes", record(0, 2, 2, b"", payload=_twelve + b"xx"), "2 stray bytes after the zlib stream", True, 4),
]]
