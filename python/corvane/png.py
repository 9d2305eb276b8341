"""A small PNG writer (8-bit RGB, no filtering), so frames can be saved without OpenCV."""

from __future__ import annotations

import os
import struct
import zlib
from typing import TYPE_CHECKING, Union

from .geometry import frame_data

if TYPE_CHECKING:
    from .geometry import FrameArray, Pixels

SIGNATURE = b"\x89PNG\r\n\x1a\n"


def _chunk(kind: bytes, data: bytes) -> bytes:
    """One PNG chunk: length, type, data, CRC."""
    return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))


def encode_png(frame: "Union[FrameArray, Pixels]") -> bytes:
    """The PNG file of a frame (H x W x 3 ``uint8``, B, G, R)."""
    data, width, height = frame_data(frame)
    bgr = memoryview(data).cast("B")
    rgb = bytearray(len(bgr))
    for channel in range(3):
        rgb[channel::3] = bgr[2 - channel :: 3]
    row, rows = 3 * width, memoryview(rgb)
    filtered = b"".join(b"\0" + rows[y * row : (y + 1) * row] for y in range(height))  # filter 0: none
    header = struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0)  # 8-bit truecolour
    return (
        SIGNATURE
        + _chunk(b"IHDR", header)
        + _chunk(b"IDAT", zlib.compress(filtered, 6))
        + _chunk(b"IEND", b"")
    )


def write_png(path: Union[str, "os.PathLike[str]"], frame: "Union[FrameArray, Pixels]") -> None:
    """Write ``frame`` (H x W x 3, B, G, R) to ``path`` as a PNG file."""
    with open(path, "wb") as out:
        out.write(encode_png(frame))
