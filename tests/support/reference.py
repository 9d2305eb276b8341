"""Independent references, written from the output format alone: the drawn byte stream and what
a terminal makes of one, test frames and the sharpening (in float64, so a pixel may differ by one)."""

from __future__ import annotations

import random
import re
from typing import Any, Dict, List, Optional, Sequence, Tuple


def cell(upper: Sequence[int], lower: Sequence[int]) -> bytes:
    return ("\x1b[38;2;%d;%d;%d;48;2;%d;%d;%dm\u2580" % (*upper, *lower)).encode()


def draw(frames: Sequence[bytes], cols: int) -> List[bytes]:
    """The bytes a fresh renderer writes for each frame (B, G, R; already the grid's size)."""
    out: List[bytes] = []
    previous: Optional[list] = None
    for frame in frames:
        px = [(frame[i + 2], frame[i + 1], frame[i]) for i in range(0, len(frame), 3)]  # R, G, B
        rows = [[(px[2 * y * cols + x], px[(2 * y + 1) * cols + x]) for x in range(cols)]
                for y in range(len(px) // cols // 2)]
        flat = [c for row in rows for c in row]
        previous = previous if previous is not None and len(previous) == len(flat) else [None] * len(flat)
        changed = [c != p for c, p in zip(flat, previous)]
        if 4 * sum(changed) >= 3 * len(flat):
            body = b"\x1b[H" + b"".join(b"".join(cell(*c) for c in row) + b"\x1b[K\r\n" for row in rows)
        else:  # runs of changed cells, each after the position of its first cell; none across rows
            body = b"".join((b"" if i % cols and changed[i - 1] else b"\x1b[%d;%dH" % (i // cols + 1, i % cols + 1))
                            + cell(*c) for i, c in enumerate(flat) if changed[i])
        out.append(body + b"\x1b[0m")
        previous = flat
    return out


SEQUENCE = re.compile(r"\x1b\[\??([\d;]*)([A-Za-z])|(.)", re.S)
HALVES = {" ": (1, 1), "\u2580": (0, 1), "\u2584": (1, 0), "\u2588": (0, 0)}  # the colour (fg 0, bg 1) of each half


def cells(text: str) -> List[List[Tuple[Any, Any]]]:
    """The (upper, lower) colour of every cell a stream of half blocks leaves on a terminal, row by row:
    (R, G, B) for SGR 38/48;2, the palette index for 38/48;5, 30-37, 90-97, 40-47 and 100-107, None for
    the terminal's own. CUP and CUF move the cursor, a line feed starts the next line (as a terminal's
    output processing does), other sequences change nothing here."""
    grid: Dict[Tuple[int, int], Tuple[Any, Any]] = {}
    x, y, colour = 0, 0, [None, None]
    for params, final, char in SEQUENCE.findall(text):
        numbers = [int(p or 0) for p in params.split(";")]
        if char == "\r":
            x = 0
        elif char == "\n":
            x, y = 0, y + 1
        elif char:
            grid[y, x], x = tuple(colour[k] for k in HALVES[char]), x + 1
        elif final == "H":
            y, x = (numbers[0] - 1, numbers[1] - 1) if len(numbers) > 1 else (0, 0)
        elif final == "C":
            x += max(numbers[0], 1)
        elif final == "m":
            while numbers:
                code = numbers.pop(0)
                if code in (38, 48):
                    colour[code == 48], numbers = (tuple(numbers[1:4]), numbers[4:]) if numbers[0] == 2 else (
                        numbers[1], numbers[2:])
                elif code in (0, 39, 49):
                    colour = [None if code in (0, 39) else colour[0], None if code in (0, 49) else colour[1]]
                elif code // 10 in (3, 4, 9, 10) and code % 10 <= 7:
                    colour[code // 10 in (4, 10)] = code % 10 + (8 if code >= 90 else 0)
    height, width = 1 + max((r for r, _ in grid), default=-1), {r: c + 1 for r, c in sorted(grid)}
    return [[grid.get((r, c)) for c in range(width.get(r, 0))] for r in range(height)]


def pattern(width: int, height: int, seed: int) -> bytes:
    """A frame of seeded random bytes."""
    return bytes(random.Random(seed).choices(range(256), k=width * height * 3))


def sharpen(frame: bytes, width: int, height: int, strength: float) -> Any:
    """Every spectrum element times 1 + strength * d / (rows / 2), d its distance from frequency 0."""
    import numpy as np  # only here: the children that draw frames need no numpy
    image = np.frombuffer(frame, np.uint8).reshape(height, width, 3).astype(float)
    if not strength > 0:
        return image
    dy, dx = ([i if i < n // 2 else n - i for i in range(n)] for n in (height, width))
    gain = np.hypot(*np.meshgrid(dy, dx, indexing="ij")) / (height / 2) * strength + 1
    spectrum = np.fft.fft2(image, axes=(0, 1)) * gain[:, :, None]
    # The inverse reads the spectrum as if it were symmetric: only columns 0 to width / 2 count.
    return np.clip(np.rint(np.fft.irfft2(spectrum[:, : width // 2 + 1], s=(height, width), axes=(0, 1))), 0, 255)
