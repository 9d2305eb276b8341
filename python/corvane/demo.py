"""The built-in demo: an animation generated in code, drawn through ``Corvane.render``."""

from __future__ import annotations

import colorsys
import math
import os
import struct
import tempfile
import time
from typing import Iterator, Optional

from _corvane import Corvane

WIDTH, HEIGHT = 192, 108
FPS = 30
QUIT_KEYS = ("q", "esc", "enter")


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


def _key_or_none(screen: Corvane) -> Optional[str]:
    """The key pressed, or None; None also when there is no terminal to read keys from."""
    try:
        return screen.poll_key()
    except BaseException as error:  # PanicException: no terminal at all
        if isinstance(error, (KeyboardInterrupt, SystemExit)):
            raise
        return None


def _show(screen: Corvane, seconds: float) -> None:
    """The animation at FPS frames per second until it ends or a quit key is pressed."""
    # The picture leaves the terminal's bottom line free: the hint goes there.
    rows = screen.get_mapping_info()["term_h"]
    os.write(1, f"\x1b[{max(rows, 1)};1H\x1b[0m  q, Esc or Enter: stop".encode())
    period = 1.0 / FPS
    next_at = time.monotonic()
    for frame in frames(seconds):
        if _key_or_none(screen) in QUIT_KEYS:
            return
        screen.render(frame, WIDTH, HEIGHT)
        next_at += period
        delay = next_at - time.monotonic()
        if delay > 0:
            time.sleep(delay)


def run(seconds: float = 6.0, record: bool = True) -> int:
    """Play the animation full-screen, record it, then play the recording back plain and sharpened.

    The terminal is restored on every way out, Ctrl-C included.
    """
    screen = Corvane()
    workdir = tempfile.mkdtemp(prefix="corvane-demo-")
    path = os.path.join(workdir, "demo.lzdx")
    shown = 0
    try:
        screen.hide_cursor()
        try:
            if record:
                screen.start_recording(path)
            _show(screen, seconds)
            screen.stop_recording()
            shown = 1
            if record:
                screen.play(path, 0.0)
                screen.play(path, 1.5)
        finally:
            screen.stop_recording()
            screen.show_cursor()
    except KeyboardInterrupt:
        return 130
    if record and shown:
        size = os.path.getsize(path)
        info = screen.get_mapping_info()
        raw = _recorded_raw_bytes(path)
        print(f"Recorded to {path}: {size:,} bytes for {raw:,} bytes of raw frames "
              f"({info['term_w']} x {info['display_h']} pixels each), {raw / max(size, 1):.0f} x smaller.")
    return 0


def _recorded_raw_bytes(path: str) -> int:
    """What the recorded frames take uncompressed: rows x cols x 3 for every record."""
    total = 0
    with open(path, "rb") as f:
        data = f.read()
    at = 4
    while at + 21 <= len(data):
        rows, cols, length = struct.unpack_from("<iiI", data, at + 9)
        total += rows * cols * 3
        at += 21 + length
    return total
