"""The built-in demo: an animation generated in code, drawn through ``Corvane.render``."""

from __future__ import annotations

import colorsys
import math
import time
from typing import Iterator

from _corvane import Corvane

WIDTH, HEIGHT = 192, 108
FPS = 30


def _hue_wheel(steps: int) -> bytes:
    """One row of BGR pixels running once around the colour wheel."""
    out = bytearray()
    for i in range(steps):
        r, g, b = colorsys.hsv_to_rgb(i / steps, 0.75, 0.95)
        out += bytes((int(b * 255), int(g * 255), int(r * 255)))
    return bytes(out)


def frames(seconds: float = 6.0) -> Iterator[bytes]:
    """BGR frames of WIDTH x HEIGHT: drifting diagonal colour bands, a bouncing ball, a sweeping bar."""
    wheel = _hue_wheel(WIDTH)
    band = wheel + wheel  # any WIDTH-pixel window of it is a full row
    row_bytes = WIDTH * 3
    for t in range(int(seconds * FPS)):
        frame = bytearray(row_bytes * HEIGHT)
        for y in range(HEIGHT):
            shift = (2 * t + y // 2) % WIDTH
            frame[y * row_bytes : (y + 1) * row_bytes] = band[shift * 3 : shift * 3 + row_bytes]

        # A bar sweeping down the picture, darker than the bands around it.
        bar_y = int((math.sin(t / 20) * 0.5 + 0.5) * (HEIGHT - 8))
        for y in range(bar_y, bar_y + 8):
            frame[y * row_bytes : (y + 1) * row_bytes] = b"\x30\x20\x20" * WIDTH

        # A white ball with a red rim bouncing off the edges.
        radius = 14
        cx = radius + abs((3 * t) % (2 * (WIDTH - 2 * radius)) - (WIDTH - 2 * radius))
        cy = radius + abs((2 * t) % (2 * (HEIGHT - 2 * radius)) - (HEIGHT - 2 * radius))
        for dy in range(-radius, radius + 1):
            half = int(math.sqrt(radius * radius - dy * dy))
            y, x0 = cy + dy, max(cx - half, 0)
            if not 0 <= y < HEIGHT:
                continue
            x1 = min(cx + half, WIDTH - 1)
            colour = b"\x30\x30\xe0" if abs(dy) > radius - 3 else b"\xf0\xf0\xf0"
            frame[(y * WIDTH + x0) * 3 : (y * WIDTH + x1 + 1) * 3] = colour * (x1 - x0 + 1)
            if abs(dy) <= radius - 3 and half >= 3:
                frame[(y * WIDTH + x0) * 3 : (y * WIDTH + x0 + 3) * 3] = b"\x30\x30\xe0" * 3
                frame[(y * WIDTH + x1 - 2) * 3 : (y * WIDTH + x1 + 1) * 3] = b"\x30\x30\xe0" * 3
        yield bytes(frame)


def run(seconds: float = 6.0) -> int:
    """Play the animation full-screen; the terminal is restored on every way out, Ctrl-C included."""
    screen = Corvane()
    screen.hide_cursor()
    try:
        period = 1.0 / FPS
        next_at = time.monotonic()
        for frame in frames(seconds):
            screen.render(frame, WIDTH, HEIGHT)
            next_at += period
            delay = next_at - time.monotonic()
            if delay > 0:
                time.sleep(delay)
    except KeyboardInterrupt:
        return 130
    finally:
        screen.show_cursor()
    return 0
