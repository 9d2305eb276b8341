"""Access to OpenCV's Python bindings, which are optional (the ``video`` extra).

Callers check with :func:`require` or :func:`available` and then ``import cv2`` themselves, so
that type checkers see OpenCV's own types. OpenCV's and FFmpeg's log output is silenced: errors
reach the user as one line from the command line instead.
"""

from __future__ import annotations

import importlib
import os
from typing import Optional

from .errors import VideoSupportError

_state: Optional[bool] = None


def available() -> bool:
    """Whether ``import cv2`` works; tried once per process."""
    global _state
    if _state is None:
        os.environ.setdefault("OPENCV_LOG_LEVEL", "SILENT")
        os.environ.setdefault("OPENCV_FFMPEG_LOGLEVEL", "-8")
        try:
            importlib.import_module("cv2")
            _state = True
        except ImportError:
            _state = False
    return _state


def require(what: str) -> None:
    """Raise :class:`VideoSupportError` naming ``what`` unless OpenCV can be imported."""
    if not available():
        raise VideoSupportError(what)
