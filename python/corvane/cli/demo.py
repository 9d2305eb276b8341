"""The built-in demo: an animation generated in code, shown, recorded and played back.

It runs on the package alone: a :class:`~corvane.display.screen.Screen` draws and records (into a
temporary directory that is removed on every way out), the player of ``corvane play`` replays
the recording plain and sharpened. Main thread; needs a terminal on standard input and output.
"""

from __future__ import annotations

import colorsys
import math
import os
import tempfile
import time
from typing import Iterator

import numpy as np

from ..playback.clock import QUIT_KEYS
from ..playback.player import play
from ..recording import Recording
from ..display.screen import Screen
from ..display.terminal import cbreak, check_terminal, clock
from ..text import count

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


def _show(screen: Screen, seconds: float) -> None:
    """The animation at FPS frames per second until it ends or a quit key is pressed."""
    screen.status("  q or Esc: stop")  # the picture leaves the bottom line free
    started = clock()
    for index, frame in enumerate(frames(seconds)):
        if screen.poll_key() in QUIT_KEYS:
            return
        delay = started + index / FPS - clock()
        if delay > 0:
            time.sleep(delay)
        picture = np.frombuffer(frame, np.uint8).reshape(HEIGHT, WIDTH, 3)
        screen.show(picture, at=index / FPS)


def run(seconds: float = 6.0, graphics: str = "auto") -> int:
    """Play the animation full-screen, record it, then play the recording back plain and sharpened.

    Refuses (``TerminalError``) to run without a terminal. The terminal is restored and the
    temporary recording removed on every way out, Ctrl-C included.
    """
    screen = Screen(graphics=graphics)
    check_terminal(screen.corvane)
    with tempfile.TemporaryDirectory(prefix="corvane-demo-") as workdir:
        path = os.path.join(workdir, "demo.lzdx")
        try:
            screen.start_recording(path)
            try:
                with cbreak(), screen.fullscreen():
                    _show(screen, seconds)
            finally:
                screen.stop_recording()
            with Recording(path) as recording:
                for strength in (0.0, 1.5):
                    play(recording, screen, sharpen=strength)
                frames_, size, raw = len(recording), recording.file_size, recording.raw_bytes
                cols, rows = recording.records[0].cols, recording.records[0].rows
        except KeyboardInterrupt:
            return 130
    print(f"Recorded {count(frames_, 'frame')}: {size:,} bytes for {raw:,} bytes of raw frames "
          f"({cols} x {rows} pixels each), {raw / max(size, 1):.0f} x smaller.")
    return 0
