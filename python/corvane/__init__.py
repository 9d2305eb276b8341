"""corvane: video frames on a text terminal as 24-bit colour half-block art.

The drawing, recording and playback live in the native module ``_corvane`` (its class
:class:`Corvane`); this package builds on it:

- :func:`show` and :class:`Screen`: draw numpy frames (H x W x 3, B, G, R) or bytes, with the
  shape kept (letterbox) or stretched;
- :func:`fullscreen`: the alternate screen for a block, always given back;
- :class:`Recording`: read recording files, frame by frame or at random;
- the command line, :mod:`corvane.cli` (``corvane ...`` / ``python -m corvane ...``).
"""

from _corvane import Corvane

from .errors import CorvaneError, RecordingError, SourceError, TerminalError, VideoSupportError
from .geometry import Placement, as_frame, display_grid, fit, letterbox
from .recording import Record, Recording
from .screen import Screen, show
from .terminal import cbreak, fullscreen

__version__ = "0.1.0"

__all__ = [
    "Corvane",
    "CorvaneError",
    "Placement",
    "Record",
    "Recording",
    "RecordingError",
    "Screen",
    "SourceError",
    "TerminalError",
    "VideoSupportError",
    "as_frame",
    "cbreak",
    "display_grid",
    "fit",
    "fullscreen",
    "letterbox",
    "show",
]
