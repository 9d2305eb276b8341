"""Type stub of the native module ``_corvane``: draws frames on a terminal, records and plays them.

The module holds one class, :class:`Corvane`. Frames are B, G, R bytes, rows top to bottom,
without padding. ``PanicException`` (``pyo3_runtime.PanicException``, a ``BaseException``) is
raised for failures the module treats as fatal for one call; it is not an attribute of the module.
"""

from typing import Any, List, Optional, Protocol, TypedDict, final

__all__: List[str]

class _FrameData(Protocol):
    """What ``render`` takes as ``data``: a sized sequence of ints 0..255 (``bytes``,
    ``bytearray``, ``memoryview``, ``list``, ``array.array('B')``, a flat ``numpy.uint8`` array)."""

    def __len__(self) -> int: ...
    def __getitem__(self, __index: int) -> Any: ...

class _MappingInfo(TypedDict):
    term_w: int
    term_h: int
    display_h: int
    frame_w: int
    frame_h: int

@final
class Corvane:
    """Python wrapper for the Corvane library.

    An object draws to standard output, belongs to the thread that created it, and writes
    nothing until a method asks for it.
    """

    def __init__(self) -> None: ...
    def render(self, data: _FrameData, width: int, height: int) -> None:
        """Draw one ``width`` x ``height`` frame of B, G, R bytes, scaled to the terminal's
        columns by ``max(2 * rows - 2, 2)`` pixels; records it while a recording is open."""
    def get_mapping_info(self) -> _MappingInfo:
        """``term_w``, ``term_h``, ``display_h``, ``frame_w``, ``frame_h``."""
    def hide_cursor(self) -> None:
        """Hide the cursor and switch to the alternate screen."""
    def show_cursor(self) -> None:
        """Leave the alternate screen and show the cursor."""
    def poll_key(self) -> Optional[str]:
        """``"enter"``, ``"esc"``, a one-character string, or ``None``; never waits.
        Raises ``PanicException`` when the process has no terminal."""
    def start_recording(self, path: str) -> None:
        """Create ``path`` and record every frame drawn from now on."""
    def stop_recording(self) -> None:
        """Write out and close the open recording, if any."""
    def play(self, path: str, sharpen: float) -> None:
        """Play a recording full-screen at up to 30 frames per second, sharpened when
        ``sharpen > 0``."""
