"""A small PNG writer (8-bit RGB, no filtering), so frames can be saved without OpenCV."""

from __future__ import annotations

import os
import struct
import zlib
from typing import TYPE_CHECKING, Union

import numpy as np

if TYPE_CHECKING:
    from .geometry import FrameArray

SIGNATURE = b"\x89PNG\r\n\x1a\n"


def _chunk(kind: bytes, data: bytes) -> bytes:
    """One PNG chunk: length, type, data, CRC."""
    return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))


def encode_png(frame: "FrameArray") -> bytes:
    """The PNG file of an H x W x 3 ``uint8`` frame in B, G, R order."""
    height, width = frame.shape[:2]
    rgb = np.ascontiguousarray(frame[:, :, ::-1])
    rows = np.zeros((height, 1 + width * 3), dtype=np.uint8)  # filter byte 0 on every row
    rows[:, 1:] = rgb.reshape(height, width * 3)
    header = struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0)  # 8-bit truecolour
    return (
        SIGNATURE
        + _chunk(b"IHDR", header)
        + _chunk(b"IDAT", zlib.compress(rows.tobytes(), 6))
        + _chunk(b"IEND", b"")
    )


def write_png(path: Union[str, "os.PathLike[str]"], frame: "FrameArray") -> None:
    """Write ``frame`` (H x W x 3, B, G, R) to ``path`` as a PNG file."""
    with open(path, "wb") as out:
        out.write(encode_png(frame))
