"""Frequency-domain sharpening of frames, as the native player does it, in numpy.

Each colour channel goes to the frequency domain; every component is multiplied by a gain that
rises linearly with its distance from zero frequency (``1 + strength * d / (rows / 2)``), so the
mean stays and fine detail is amplified more the finer it is; then back, rounded and clipped.
Pure functions; the gain of a frame size is computed once and kept.
"""

from __future__ import annotations

from functools import lru_cache
from typing import TYPE_CHECKING

import numpy as np

if TYPE_CHECKING:
    import numpy.typing as npt

    from .geometry import FrameArray

MAX_STRENGTH = 3.0
"""Strengths above this only add noise; the command line refuses them."""


@lru_cache(maxsize=8)
def _distance(rows: int, cols: int) -> "npt.NDArray[np.float64]":
    """Every frequency's distance from zero, in units of half the row count."""
    dy = np.arange(rows, dtype=np.float64)
    dy = np.where(dy < rows // 2, dy, rows - dy)
    dx = np.arange(cols, dtype=np.float64)
    dx = np.where(dx < cols // 2, dx, cols - dx)
    distance: "npt.NDArray[np.float64]" = np.sqrt(dy[:, None] ** 2 + dx[None, :] ** 2) / (rows / 2)
    return distance


def sharpen(frame: "FrameArray", strength: float) -> "FrameArray":
    """A sharpened copy of an H x W x 3 ``uint8`` frame; an unchanged copy for ``strength <= 0``."""
    if not strength > 0:
        return frame.copy()
    rows, cols = frame.shape[:2]
    gain = 1.0 + strength * _distance(rows, cols)
    spectrum = np.fft.fft2(frame.astype(np.float64), axes=(0, 1)) * gain[:, :, None]
    # The gain is not symmetric for an odd width; like OpenCV's real inverse, only the first
    # half of every row counts.
    plane = np.fft.irfft2(spectrum[:, : cols // 2 + 1], s=(rows, cols), axes=(0, 1))
    result: "FrameArray" = np.clip(np.rint(plane), 0, 255).astype(np.uint8)
    return result
