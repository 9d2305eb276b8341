"""The benchmark clip: deterministic 1920 x 1080 BGR frames, made in code.

The picture has two parts:

- the upper 920 rows move: a colourful texture pans to the left during "pan" stretches of the
  clip and stands still during "sprite" stretches, and four discs travel over it all the time;
- the lower 160 rows are a static band (colour bars and a gradient) that never changes.

Pan frames change more than three quarters of the cells of the display grid, so the renderer
redraws them in full; sprite frames change only the cells that the discs cross, so they go out as
incremental updates. The clip alternates `PAN_RUN` pan frames with `SPRITE_RUN` sprite frames.

Only integer arithmetic is used, so every machine and every numpy version makes the same bytes
(floating-point sin/cos may differ in the last bit between SIMD implementations).
"""

from __future__ import annotations

import hashlib
from typing import Iterator, List, Tuple

import numpy as np

WIDTH = 1920
HEIGHT = 1080
MOVING_H = 920  # rows 0..919 move, rows 920..1079 are the static band
PAN_STEP = 13  # pixels the texture moves per pan frame
PAN_RUN = 6
SPRITE_RUN = 6
SPRITES = 4
SPRITE_R = 150  # disc radius in pixels
FRAME_BYTES = WIDTH * HEIGHT * 3


def _tri(v: np.ndarray, period: int) -> np.ndarray:
    """Triangle wave 0..255 of the integer array `v` with the given period."""
    m = np.mod(v, 2 * period)
    out: np.ndarray = (np.abs(m - period) * 255 // period).astype(np.int32)
    return out


def _texture(width: int) -> np.ndarray:
    y = np.arange(MOVING_H, dtype=np.int64)[:, None]
    x = np.arange(width, dtype=np.int64)[None, :]
    noise = ((x * 73856093) ^ (y * 19349663)) & 31
    b = _tri(x + 2 * y, 97) * 3 // 4 + noise * 2
    g = _tri(3 * x - y + 500, 151) * 3 // 4 + (noise >> 1) * 3
    r = _tri((x // 7) * (y // 5 + 3), 61) * 3 // 4 + noise
    tex = np.empty((MOVING_H, width, 3), dtype=np.uint8)
    tex[..., 0] = np.clip(b, 0, 255)
    tex[..., 1] = np.clip(g, 0, 255)
    tex[..., 2] = np.clip(r, 0, 255)
    return tex


def _static_band() -> np.ndarray:
    band = np.empty((HEIGHT - MOVING_H, WIDTH, 3), dtype=np.uint8)
    bars = np.array(
        [[192, 192, 192], [0, 192, 192], [192, 192, 0], [0, 192, 0], [192, 0, 192], [0, 0, 192], [192, 0, 0], [16, 16, 16]],
        dtype=np.uint8,
    )
    x = np.arange(WIDTH)
    band[:100] = bars[(x * len(bars)) // WIDTH][None, :, :]
    ramp = (x * 255 // (WIDTH - 1)).astype(np.uint8)
    band[100:, :, 0] = ramp[None, :]
    band[100:, :, 1] = ramp[None, ::-1]
    band[100:, :, 2] = 128
    return band


def _disc() -> Tuple[np.ndarray, np.ndarray]:
    d = 2 * SPRITE_R
    yy, xx = np.mgrid[0:d, 0:d]
    dy = yy - SPRITE_R
    dx = xx - SPRITE_R
    mask = dx * dx + dy * dy < SPRITE_R * SPRITE_R
    img = np.empty((d, d, 3), dtype=np.uint8)
    img[..., 0] = (xx * 255 // d).astype(np.uint8)
    img[..., 1] = (yy * 255 // d).astype(np.uint8)
    img[..., 2] = ((xx + yy) * 255 // (2 * d)).astype(np.uint8)
    return img, mask


def _bounce(t: int, span: int, speed: int, phase: int) -> int:
    p = (t * speed + phase) % (2 * span)
    return p if p < span else 2 * span - p


class Clip:
    """Makes frame `i` of an endless deterministic sequence; `frames(n)` gives the first n."""

    def __init__(self, count: int):
        self.count = count
        pans = sum(1 for i in range(count) if self.is_pan(i))
        self._texture = _texture(WIDTH + PAN_STEP * (pans + 1))
        self._band = _static_band()
        self._disc, self._mask = _disc()
        self._offsets = []
        off = 0
        for i in range(count):
            if self.is_pan(i):
                off += PAN_STEP
            self._offsets.append(off)

    @staticmethod
    def is_pan(i: int) -> bool:
        return i % (PAN_RUN + SPRITE_RUN) < PAN_RUN

    def frame(self, i: int) -> np.ndarray:
        """Frame i as a (1080, 1920, 3) uint8 BGR array."""
        out = np.empty((HEIGHT, WIDTH, 3), dtype=np.uint8)
        off = self._offsets[i]
        out[:MOVING_H] = self._texture[:, off : off + WIDTH]
        out[MOVING_H:] = self._band
        d = 2 * SPRITE_R
        for s in range(SPRITES):
            x = _bounce(i, WIDTH - d, 23 + 7 * s, 311 * s)
            y = _bounce(i, MOVING_H - d, 17 + 5 * s, 173 * s)
            region = out[y : y + d, x : x + d]
            np.copyto(region, self._disc, where=self._mask[..., None])
        return out

    def frames(self) -> Iterator[np.ndarray]:
        for i in range(self.count):
            yield self.frame(i)

    def bytes_frames(self) -> List[bytes]:
        return [f.tobytes() for f in self.frames()]


def digest(count: int) -> str:
    """SHA-256 over the first `count` frames (to pin the clip's bytes)."""
    h = hashlib.sha256()
    clip = Clip(count)
    for f in clip.frames():
        h.update(f.tobytes())
    return h.hexdigest()
