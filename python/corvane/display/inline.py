"""Pictures inline: lines that scroll like text, for ``corvane show`` and ``print_image``.

Half blocks are described here; the other graphics modes are :func:`corvane.display.painter.inline`'s.

The bytes are the native encoder's (``Encoder.encode_inline``): the full screen's cells and
colour codes (24-bit ``ESC[38;2;R;G;Bm`` and ``48;2``, or the 256 and 16 colour palettes with the
screen's palette choice), each colour only where it changes, but no cursor positioning: every
line ends with ``ESC[0m`` (so a scrolling terminal does not paint the new line) and a newline,
and the cursor ends on the line after the picture. A picture of an odd height ends with a line
whose lower halves are the terminal's own background (``ESC[49m``).

Sizes: a box of columns by lines, by default the terminal's width and (when the width is the
terminal's) its height less the prompt's line; without a terminal, 80 columns and no limit on the
lines. A width wider than the terminal is its width (a wider line would wrap). The frame meets the
box by its fit (:func:`corvane.geometry.layout`), never enlarged unless asked to (a picture
smaller than the box keeps its size); the picture alone is printed, without margins. Pure functions, any thread; writing follows the file object's own rules.
"""

from __future__ import annotations

import io
import os
import sys
from typing import IO, TYPE_CHECKING, Any, Callable, NamedTuple, Optional, Tuple, Union

from ..errors import SourceError
from ..geometry import Pixels, as_frame, as_pixels, fitted, frame_data
from .graphics import layout_cell, resolve_graphics
from .wire import resolve_colors

if TYPE_CHECKING:
    import numpy as np

    from ..geometry import FrameArray

DEFAULT_WIDTH = 80
"""Columns when the output is no terminal and no width is given."""
MAX_CELLS = 1000
"""The most columns or lines a picture takes (a sliver 80 columns wide stops at 1000 lines)."""


def encode(picture: "Union[FrameArray, Pixels]", colors: int = 24, dither: Optional[bool] = None) -> bytes:
    """The half-block lines of ``picture`` (H x W x 3, B, G, R) as they are printed, in
    ``colors`` (24 bits, 256 or 16; at 256 and 16 the screen's palette colours, with its
    dithered as ``dither`` says, by default at 16 colours only)."""
    from .._native import Encoder

    return Encoder(colors, 0, dither).encode_inline(*frame_data(picture))


class Box(NamedTuple):
    """The room a picture may take: columns, and lines (``None``: as many as its shape needs)."""

    columns: int
    lines: Optional[int]

    def pixels(self, cell: Tuple[int, int] = (1, 2)) -> Tuple[int, int]:
        """The smallest size a decoder must give for the picture to fill the box of cells of
        ``cell`` pixels."""
        return self.columns * cell[0], cell[1] * self.lines if self.lines else 1


def box(width: Optional[int], height: Optional[int], terminal: Optional[Tuple[int, int]],
        spare: int = 0) -> Box:
    """The box for ``width`` columns and ``height`` lines, each ``None`` for the default: the
    terminal's width, or 80 without one; the terminal's height less ``spare`` lines and one for
    the prompt when neither is given, else no limit. No wider than the terminal."""
    columns = width or (terminal[0] if terminal else DEFAULT_WIDTH)
    if terminal is not None:
        columns = min(columns, terminal[0])
    lines = height
    if lines is None and width is None and terminal is not None:
        lines = max(1, terminal[1] - 1 - spare)
    return Box(columns, lines)


def picture_for(frame: Pixels, room: Box, fit: str = "contain",
                upscale: bool = False, cell: Tuple[int, int] = (1, 2)) -> Pixels:
    """``frame`` as it is printed in ``room`` with the fit ``fit``, margins left out; enlarged to
    the room only with ``upscale``. ``cell``: the pixels of a cell across and down (half blocks:
    1 x 2; see :func:`corvane.display.graphics.layout_cell`)."""
    height, width = frame.shape[:2]
    across, down = cell
    columns = room.columns * across if upscale else min(room.columns * across, width)
    rows = None if room.lines is None else down * room.lines
    if rows is None:  # as many lines as the shape needs (every fit keeps it), up to a limit
        natural = height if fit == "none" else max(1, round(height * columns / width))
        rows = down * min((natural + down - 1) // down, MAX_CELLS)
    picture, _ = fitted(frame, columns, rows if upscale else min(rows, height), fit)
    return picture


def terminal_size(file: Any) -> Optional[Tuple[int, int]]:
    """The (columns, lines) of the terminal ``file`` writes to, or ``None`` when it is none."""
    try:
        if not file.isatty():
            return None
        size = os.get_terminal_size(file.fileno())
    except (AttributeError, OSError, ValueError):
        return None
    return (size.columns, size.lines) if size.columns > 0 and size.lines > 0 else None


def write(file: Any, data: bytes) -> None:
    """``data`` to ``file``: a text stream's buffer (after its own text), its text, or itself."""
    if isinstance(file, io.TextIOBase):
        buffer = getattr(file, "buffer", None)
        if buffer is None:
            file.write(data.decode())
            return
        file.flush()
        buffer.write(data)
    else:
        file.write(data)
    file.flush()


def print_image(
    frame: "Union[FrameArray, np.ndarray, str, os.PathLike[str]]",
    width: Optional[int] = None,
    height: Optional[int] = None,
    fit: str = "contain",
    file: "Optional[IO[Any]]" = None,
    colors: str = "24bit",
    dither: Optional[bool] = None,
    upscale: bool = False,
    graphics: Optional[str] = None,
    load: "Optional[Callable[[str, Optional[Tuple[int, int]]], Pixels]]" = None,
) -> None:
    """Print ``frame`` at the cursor as half-block lines, and go to the line after it.

    ``frame`` is an array as :func:`~corvane.geometry.as_frame` takes it (B, G, R or grey;
    ``uint8``, ``uint16`` or floats from 0 to 1, as ``imshow`` takes them) or
    the name of a picture or video file (its first frame). ``width`` and ``height`` are in
    columns and lines, the shape kept unless ``fit`` says otherwise (``contain``, ``cover``,
    ``stretch``, ``none``). ``file`` defaults to standard output; when it is no terminal nothing
    about a terminal is asked, and the width defaults to 80. ``colors`` is one of "24bit" (the
    default), "256", "16" or "auto" (from ``COLORTERM`` and ``TERM``); ``dither`` dithers (at 256
    colours ordered, at 16 by error diffusion; by default at 16 only). A frame smaller than the
    room keeps its size unless ``upscale``. ``graphics`` is one of
    :data:`~corvane.display.graphics.GRAPHICS_CHOICES`; ``auto`` (the default) asks a terminal what
    it draws, and is half blocks when ``file`` is no terminal. Raises
    :class:`~corvane.errors.SourceError` for a file that cannot be read. ``load(name, least)``
    reads a file's first frame, at least ``least`` (width, height) pixels large when given: the
    media layer's, which ``corvane.print_image`` passes, since this layer reads no files.
    """
    out = sys.stdout if file is None else file
    depth = resolve_colors(colors)
    terminal = terminal_size(out)
    output = out.fileno() if terminal else -1
    mode = resolve_graphics(graphics, output)
    for size in (width, height):
        if size is not None and not 0 < size <= MAX_CELLS:
            raise ValueError(f"a picture is 1 to {MAX_CELLS} columns or lines, not {size}")
    room = box(width, height, terminal)
    from .painter import inline  # the painters only when drawing

    cell = layout_cell(mode, output)
    if isinstance(frame, (str, os.PathLike)):
        if load is None:
            raise TypeError("a picture file needs a loader: call corvane.print_image")
        name = os.fspath(frame)
        try:
            image = load(name, None if fit == "none" else room.pixels(cell))
        except SourceError as error:
            raise SourceError(f"{name}: {error}") from None
    else:
        image = as_pixels(as_frame(frame))
    picture = picture_for(image, room, fit, upscale, cell)
    write(out, encode(picture, depth, dither) if mode == "half" else inline(picture, mode, output))
