"""Painters: how one graphics mode puts a picture on the terminal, full-screen or inline.

Half blocks are the screen's own paths (the exact stream, or the wire encoder); every other mode
of :data:`~corvane.display.graphics.GRAPHICS_CHOICES` is a :class:`Painter` for
:class:`~corvane.display.screen.Screen` and :func:`inline` for printed pictures.

Frames are laid out on a grid of square pixels (:meth:`Painter.grid`): a cell is ``unit`` pixels
across and twice that down, the terminal's own pixels for the pixel modes. A cell mode whose
glyphs split a cell otherwise (quadrants 2 x 2, sextants 2 x 3) gets the frame scaled by area to
its glyph pixels before encoding. A painter writes through a :class:`~corvane.display.wire.Link`:
a frame offered while the one before is still being encoded or written is dropped, never queued.
Pixel frames are encoded on the link's writer thread (the native encoders give up the interpreter
lock), so that encoding one frame overlaps decoding and scaling the next; sixel video keeps its
palette from frame to frame (:class:`~corvane._native.SixelEncoder`) until a scene cut. kitty
video alternates two image ids, placing the new one before deleting the old, so the window is
never blank while data arrives and the terminal keeps no more than two frames; :meth:`Painter.clear`
deletes them (the screen calls it before it gives the terminal back, at exit and at Ctrl-Z).
On a terminal that reads kitty images from shared memory (:func:`~corvane.display.graphics.kitty_shm`)
each frame goes there instead, in an object of its own that the terminal removes once read; one
image id is replaced in place, as the window stays whole when the data is there at once. A frame
that cannot go to shared memory sends it and every later one directly.
"""

from __future__ import annotations

import base64
import itertools
import os
from collections import deque
from typing import TYPE_CHECKING, Callable, Deque, Iterator, Optional, Tuple, Union

from .._native import SixelEncoder, cells, kitty_delete, kitty_image, kitty_shm_image, shm_unlink, sixel
from ..geometry import Placement, crop, frame_data, resize
from ..png import encode_png
from .graphics import CELL_SHAPES, PIXEL_MODES, cell_pixels, kitty_shm, layout_cell, shm_name
from .wire import Link, Wire

if TYPE_CHECKING:
    from ..geometry import AnyFrame, FrameArray, Pixels

SYNC_BEGIN, SYNC_END = b"\x1b[?2026h", b"\x1b[?2026l"
_ids: Iterator[int] = itertools.count(1_000_000 + os.getpid() % 1_000_000 * 1000)
"""kitty image ids of this process: far from the small ones other programs pick."""
UNREAD = 64
"""Shared-memory frames remembered as maybe unread: frames go out one at a time and the terminal
reads each as it parses it, so an older one is read, or stale and better removed."""


def _glyph_pixels(picture: "AnyFrame", mode: str) -> "AnyFrame":
    """``picture`` (whole cells of the layout grid) at the pixels the glyphs of ``mode`` have."""
    across, down = CELL_SHAPES[mode]
    height, width = picture.shape[:2]
    return resize(picture, max(1, width // across) * across, max(1, height // (2 * across)) * down)


def iterm2_image(picture: "Union[FrameArray, Pixels]") -> bytes:
    """``picture`` as an iTerm2 inline image (a PNG file), shown at the cursor."""
    png = encode_png(picture)
    height, width = picture.shape[:2]
    return (f"\x1b]1337;File=inline=1;size={len(png)};width={width}px;height={height}px:".encode()
            + base64.b64encode(png) + b"\x07")


def image(picture: "Union[FrameArray, Pixels]", mode: str, image_id: int = 0) -> bytes:
    """``picture`` as the image of pixel mode ``mode``, drawn at the cursor (kitty: as ``image_id``)."""
    if mode == "kitty":
        return kitty_image(*frame_data(picture), image_id or next(_ids), False)
    if mode == "sixel":
        return sixel(*frame_data(picture), 256)
    return iterm2_image(picture)


def inline(picture: "Pixels", mode: str, output: int = 1) -> bytes:
    """``picture`` (laid out on ``mode``'s grid) printed at the cursor like text, the cursor then
    on the line after it. Cell modes: one line per row of cells, each ending in ``ESC[0m`` and a
    newline. Pixel modes: the lines are made first by newlines (so a picture at the bottom
    scrolls the text up like text would), the picture drawn from their first, the cursor taken
    to their last and a newline written (terminals leave the cursor after an image in
    different places)."""
    if mode in PIXEL_MODES:
        lines = max(1, -(-int(picture.shape[0]) // cell_pixels(output)[1]))
        below = b"\x1b[%dB" % (lines - 1) if lines > 1 else b""  # 0 would move one line all the same
        return b"\n" * lines + b"\x1b[%dA\x1b7" % lines + image(picture, mode) + b"\x1b8" + below + b"\n"
    glyphs = _glyph_pixels(picture, mode)
    down = CELL_SHAPES[mode][1]
    out = []
    for top in range(0, glyphs.shape[0], down):
        part = crop(glyphs, Placement(0, top, glyphs.shape[1], down))
        row = cells(*frame_data(part), mode)  # one row of cells, drawn at home
        out.append(row[row.index(b"H", len(SYNC_BEGIN)) + 1 : -len(SYNC_END)] + b"\n")
    return b"".join(out)


class Painter:
    """Full-screen frames of one mode other than half blocks, written by a :class:`Link`."""

    def __init__(self, mode: str, link: Optional[Link] = None, *, colors: str = "24bit", tolerance: int = 0,
                 dither: Optional[bool] = None) -> None:
        self.mode = mode
        self.link = link if link is not None else Link()
        self._cells: Optional[Wire] = None
        """Cell shapes: the wire's encoder of that shape, so only what changed is drawn, with
        its tolerance and rate control."""
        if mode in CELL_SHAPES:
            self._cells = Wire(colors, tolerance, dither=dither, link=self.link, shape=mode)
        self.dropped = 0
        """Frames dropped because the link was still busy with an earlier one."""
        self._ids = (next(_ids), next(_ids))
        self._shown: Optional[int] = None
        """The kitty image on the screen now (an index into the ids)."""
        self._shm = mode == "kitty" and kitty_shm()
        self._unread: Deque[str] = deque()
        """Names of the shared-memory frames sent that the terminal may not have read yet."""
        self.under_text = False
        """kitty images go under the text (kitty draws them above it otherwise): for screens with
        text over the picture, as the imshow windows' titles. Not the default: kitty 0.26 then
        draws the coloured cells beside the image wrongly (half blocks, a status line)."""
        self._sixel: Optional[SixelEncoder] = None
        """Sixel video's encoder, made on the writer thread that alone uses it."""

    def grid(self, cols: int, rows: int) -> Tuple[int, int]:
        """The layout grid of a terminal of ``cols`` x ``rows`` (its last row left to the status line)."""
        width, height = layout_cell(self.mode)
        return cols * width, max(1, rows - 1) * height

    def draw(self, canvas: "FrameArray") -> bool:
        """Send ``canvas`` (grid-sized) unless the link is busy (then it is dropped); True when
        sent. Raises ``OSError`` for a write that failed earlier."""
        import numpy as np  # loaded already: the screen's frames are arrays

        if self._cells is not None:
            sent = self._cells.draw(np.ascontiguousarray(_glyph_pixels(canvas, self.mode)))
            self.dropped = self._cells.dropped
            return sent
        if self.link.busy():
            self.dropped += 1
            self.link.send(b"", frame=True)  # surfaces a write error all the same
            return False
        self.link.send(self._encoding(np.array(canvas)), frame=True)  # a copy: the caller may reuse its array
        return True

    def _encoding(self, canvas: "FrameArray") -> Callable[[], bytes]:
        """What the writer thread calls for ``canvas``'s bytes. The kitty ids are settled here,
        in the order frames are offered, which is the order they are written."""
        if self.mode == "sixel":
            return lambda: SYNC_BEGIN + b"\x1b[H" + self._sixel_encoder().encode(*frame_data(canvas)) + SYNC_END
        if self.mode != "kitty":
            return lambda: SYNC_BEGIN + b"\x1b[H" + image(canvas, self.mode) + SYNC_END
        if self._shm:
            try:  # copied into shared memory here: a few hundred microseconds, no need for the thread
                name = shm_name()
                shown = kitty_shm_image(*frame_data(canvas), self._ids[0], name, self.under_text)
            except OSError:
                self._shm = False
            else:
                if len(self._unread) == UNREAD:
                    shm_unlink(self._unread.popleft())
                self._unread.append(name)
                self._shown = 0
                return lambda: SYNC_BEGIN + b"\x1b[H" + shown + SYNC_END
        new = 0 if self._shown != 0 else 1
        old = b"" if self._shown is None else kitty_delete(self._ids[self._shown])
        self._shown = new
        return lambda: SYNC_BEGIN + b"\x1b[H" + kitty_image(*frame_data(canvas), self._ids[new], self.under_text) + old + SYNC_END

    def _sixel_encoder(self) -> SixelEncoder:
        if self._sixel is None:
            self._sixel = SixelEncoder(256)
        return self._sixel

    def clear(self) -> None:
        """Remove what the terminal keeps of the frames drawn (kitty's images)."""
        if self._shown is not None:
            self.link.send(b"".join(kitty_delete(i) for i in self._ids), frame=False)
            self._shown = None
        while self._unread:
            shm_unlink(self._unread.popleft())

    def invalidate(self) -> None:
        """The screen was cleared: the next frame is drawn whole."""
        if self._cells is not None:
            self._cells.invalidate()
