"""``Screen``: draw numpy frames or bytes on the terminal through one ``Corvane`` object.

A frame keeps its shape by default: it is scaled to fit the terminal's display grid and
centred on black margins (letterbox, the fit ``contain``). ``fit`` chooses another way
(:data:`~corvane.geometry.FIT_MODES`); ``stretch`` is the fit ``stretch``: it fills the grid, as
``Corvane.render`` alone does.

A screen records in Python (:class:`~corvane.recording.RecordingWriter`): the picture as drawn but
without the margins, so that a recording fills whatever frame it is later shown in, and on the
player's clock, so that it plays as long as it took to show. After Ctrl-Z and ``fg`` the next
frame is drawn whole, as the terminal may have lost what was on it.

On a 24-bit terminal a screen draws through ``Corvane.render``, the exact stream. On a terminal
of 256 or 16 colours, or given a ``tolerance`` or a depth other than ``auto``, it draws through the
wire (:mod:`corvane.display.wire`, whose :func:`~corvane.display.wire.wire_settings` is the rule):
the terminal's colour depth, fewer bytes, a writer thread, and frames dropped rather than queued
when the link is slow. ``graphics`` other than half blocks (finer cells, or the terminal's own
pixels by kitty graphics, sixel or iTerm2 images) draws through a
:class:`~corvane.display.painter.Painter` and the same kind of writer thread.
"""

from __future__ import annotations

import os
import sys
from contextlib import contextmanager
from typing import TYPE_CHECKING, Iterator, Optional, Tuple, Union

import numpy as np
from _corvane import Corvane

from ..errors import TerminalError, is_panic
from ..geometry import FIT_MODES, SCALE_DOWN, BytesLike, as_frame, display_grid, drawn_size, fitted, on_canvas
from .keys import poll_key
from .terminal import clock, fullscreen, resumes
from ..text import printable
from .wire import Link, Wire, depth_name, wire_settings
from .graphics import resolve_graphics
from .painter import Painter
from ..recording import RecordingWriter

if TYPE_CHECKING:
    from ..geometry import FrameArray


class Screen:
    """The terminal as a place to show frames on.

    ``Screen()`` makes its own ``Corvane`` object; pass one to share it. Drawing outside a
    :meth:`fullscreen` block draws over the normal screen.
    """

    def __init__(self, corvane: Optional[Corvane] = None, *, stretch: bool = False,
                 fit: Optional[str] = None, colors: Optional[str] = None,
                 tolerance: Optional[int] = None, dither: Optional[bool] = None,
                 graphics: Optional[str] = None) -> None:
        self.corvane = corvane if corvane is not None else Corvane()
        """The native object that does the drawing (through the wire: sizes and keys)."""
        self.fit = _fit_mode(fit, stretch)
        """How frames meet the grid, one of ``FIT_MODES`` (the default for :meth:`show`)."""
        self.wire: Optional[Wire] = None
        """The wire encoder and its writer thread, unless the exact stream is drawn:
        ``colors`` one of "auto" (the default: from ``COLORTERM``, ``TERM`` and tmux), "24bit",
        "256", "16"; ``tolerance`` 0 (exact) to 64, :data:`corvane.display.wire.DEFAULT_TOLERANCE`
        when left out; ``dither``: ordered dithering at 256 colours, error diffusion at 16; ``None``: at 16 only."""
        if graphics is not None and graphics != "auto":
            resolve_graphics(graphics)  # a bad value fails here
        self._choice = graphics
        self._mode: Optional[str] = None
        self._painter: Optional[Painter] = None
        settings = wire_settings(colors, tolerance)
        self._cell_settings: Tuple[str, int, Optional[bool]] = (
            "24bit" if settings is None or settings[0] == 24 else str(settings[0]),
            0 if settings is None else settings[1], dither)
        """What a painter of finer cells draws with: the depth and tolerance the wire would."""
        if settings is not None:
            self.wire = Wire("24bit" if settings[0] == 24 else str(settings[0]), settings[1],
                             dither=dither)
        self._writer: Optional[RecordingWriter] = None
        self._started: Optional[float] = None
        self._by_clock = True
        self._resumes = resumes()

    @property
    def graphics(self) -> str:
        """The mode drawn in (``graphics``: one of :data:`~corvane.display.graphics.GRAPHICS_CHOICES`,
        by default ``auto``, what the terminal answers); half blocks draw as ``colors`` says.
        Decided when first needed, so that nothing is asked of a terminal never drawn on."""
        if self._mode is None:
            self._mode = resolve_graphics(self._choice)
            self._painter = None if self._mode == "half" else Painter(
                self._mode, colors=self._cell_settings[0], tolerance=self._cell_settings[1],
                dither=self._cell_settings[2])
        return self._mode

    @property
    def painter(self) -> Optional[Painter]:
        """What draws the frames of a mode other than half blocks."""
        return None if self.graphics == "half" else self._painter

    def size(self) -> Tuple[int, int]:
        """The terminal's (columns, rows), as the native module sees it. The module re-reads the
        size only every 30th ask; a change the terminal reports is made its own at once, so the
        frame after a resize is drawn (and recorded) at the new size, not one of the old."""
        info = self.corvane.get_mapping_info()
        size = info["term_w"], info["term_h"]
        try:
            now = os.get_terminal_size(1)
        except OSError:
            return size
        for _ in range(30):  # every 30th ask reads the terminal: this many asks make it read
            if size == (now.columns, now.lines):
                break
            info = self.corvane.get_mapping_info()
            size = info["term_w"], info["term_h"]
        return size

    def depth(self) -> str:
        """The colour depth drawn in and, through the wire, the tolerance rate control uses now."""
        if self.painter is not None:
            return self.graphics
        if self.wire is None:
            return depth_name(24)
        return f"{depth_name(self.wire.colors)} tolerance {self.wire.current}"

    def grid(self) -> Tuple[int, int]:
        """The display grid (width, height) in pixels that frames are drawn into."""
        if self.painter is not None:
            return self.painter.grid(*self.size())
        return display_grid(*self.size())

    @property
    def link(self) -> Optional[Link]:
        """The writer thread frames go through (frames dropped when it is busy), if any."""
        if self.painter is not None:
            return self.painter.link
        return None if self.wire is None else self.wire.link

    def drawn_size(self, size: Tuple[int, int]) -> Tuple[int, int]:
        """The pixel size a source of ``size`` (width, height) is drawn at on this terminal with
        the screen's fit: a frame given at this size is placed or cut, never scaled again."""
        return drawn_size(*size, *self.grid(), self.fit)

    @property
    def stretch(self) -> bool:
        """Whether frames fill the whole grid out of shape (the fit ``stretch``)."""
        return self.fit == "stretch"

    @stretch.setter
    def stretch(self, value: bool) -> None:
        self.fit = "stretch" if value else "contain"

    def invalidate(self) -> None:
        """Draw every cell at the next :meth:`show`, as something else was written over them."""
        self._resumes = -1

    def show(
        self,
        frame: "Union[FrameArray, np.ndarray, BytesLike]",
        width: Optional[int] = None,
        height: Optional[int] = None,
        *,
        stretch: Optional[bool] = None,
        fit: Optional[str] = None,
        at: Optional[float] = None,
    ) -> None:
        """Draw one frame: an H x W x 3 ``uint8`` array in B, G, R order (or grey H x W), or
        ``bytes`` with its ``width`` and ``height``. ``fit`` (or ``stretch``) overrides the
        screen's setting for this frame.

        While a recording is open the picture is recorded as drawn, without margins; ``at`` is
        when it appears, in seconds from the start of the recording (default: now).
        """
        image = as_frame(frame, width, height)
        grid_w, grid_h = self.grid()
        mode = self.fit if fit is None and stretch is None else _fit_mode(fit, bool(stretch))
        picture, place = fitted(image, grid_w, grid_h, mode)
        canvas = on_canvas(picture, place, grid_w, grid_h)
        if self._resumes != resumes():  # after Ctrl-Z: every cell differs, so all are drawn
            self._resumes = resumes()
            if self.wire is not None:
                self.wire.invalidate()
            elif self.painter is None:
                self._render(np.bitwise_xor(canvas, 1))
        self._render(canvas)
        if self._writer is not None:
            self._by_clock = at is None
            self._writer.add(picture, self.size(), self._elapsed() if at is None else at)

    def _render(self, canvas: "FrameArray") -> None:
        """Draw a grid-sized frame; a terminal that cannot be written is a :class:`TerminalError`."""
        drawer = self.painter if self.painter is not None else self.wire
        if drawer is not None:
            try:
                drawer.draw(canvas)
            except OSError:
                raise TerminalError("the terminal cannot be written to") from None
            return
        try:
            self.corvane.render(canvas.reshape(-1), canvas.shape[1], canvas.shape[0])
        except BaseException as error:
            if is_panic(error):
                raise TerminalError("the terminal cannot be written to") from None
            raise

    def status(self, text: str) -> None:
        """Write ``text`` on the terminal's bottom line, which frames leave free; cut to fit."""
        cols, rows = self.size()
        if rows < 2 or cols < 2:
            return
        line = printable(text)[: cols - 1]
        self.text(f"\x1b[{rows};1H\x1b[0m{line}\x1b[K".encode())

    def text(self, data: bytes) -> None:
        """Write ``data`` (escape sequences and text) after the frames drawn before it."""
        sys.stdout.flush()
        if self.link is None:
            os.write(1, data)
            return
        try:
            self.link.send(data, frame=False)  # behind the frames in flight, never into one
        except OSError:
            raise TerminalError("the terminal cannot be written to") from None

    def flush(self) -> None:
        """Wait until every frame and text handed to the writer thread is written (wire only).

        Raises :class:`TerminalError` when a write failed."""
        if self.link is not None:
            try:
                self.link.drain()
            except OSError:
                raise TerminalError("the terminal cannot be written to") from None

    def ready(self, timeout: float = 0.0) -> bool:
        """Whether a frame drawn now would be shown: always without the wire; through it, once
        the link has taken the frame before (waiting up to ``timeout`` seconds for that)."""
        return self.link is None or self.link.idle(timeout)

    def poll_key(self) -> Optional[str]:
        """The name of the key pressed (:mod:`corvane.display.keys`), or ``None``; never waits.

        Raises :class:`TerminalError` when there is no terminal to read from.
        """
        return poll_key()

    @contextmanager
    def fullscreen(self) -> Iterator["Screen"]:
        """This screen in full-screen mode for the block; see :func:`corvane.display.terminal.fullscreen`."""
        with fullscreen(self.corvane, settle=None if self.link is None else self._settle):
            if self.wire is not None:
                self.wire.invalidate()  # the screen was cleared
            yield self

    def _settle(self) -> None:
        """Before the screen is left (also at Ctrl-Z): the frames in flight go out, so the leave
        sequence never lands inside one, and the pictures the terminal keeps (kitty's) are
        deleted; a failure is known already or never anyone's to see."""
        if self.link is not None:
            try:
                if self.painter is not None:
                    self.painter.clear()
                self.link.drain(5.0)
            except Exception:  # a failed write or encode, raised at the draw after it
                pass

    def start_recording(self, path: Union[str, "os.PathLike[str]"], *, overwrite: bool = False) -> None:
        """Record every frame drawn from now on into ``path``, a new file unless ``overwrite``;
        an open recording is finished first. ``OSError`` when the file cannot be made."""
        writer = RecordingWriter(path, overwrite=overwrite)
        self.stop_recording()
        self._writer, self._started = writer, None

    def _elapsed(self) -> float:
        """Seconds since the first picture of the recording (0 for the first)."""
        if self._started is None:
            self._started = clock()
        return clock() - self._started

    def stop_recording(self, end: Optional[float] = None) -> None:
        """Finish the open recording, if any: the last picture lasts until ``end`` seconds from
        the start (default: now, or the last ``at`` given to :meth:`show`)."""
        writer, self._writer = self._writer, None
        if writer is not None:
            writer.close(self._elapsed() if end is None and self._by_clock else end)


def _fit_mode(fit: Optional[str], stretch: bool) -> str:
    """The fit asked for: ``fit`` when given, else ``stretch`` or ``contain``."""
    if fit is None:
        return "stretch" if stretch else "contain"
    if fit not in FIT_MODES and fit != SCALE_DOWN:
        raise ValueError(f"the fit is one of {', '.join(FIT_MODES)}, not {fit!r}")
    return fit


_default: Optional[Screen] = None


def show(
    frame: "Union[FrameArray, np.ndarray, BytesLike]",
    width: Optional[int] = None,
    height: Optional[int] = None,
    *,
    stretch: bool = False,
    fit: Optional[str] = None,
) -> None:
    """Draw one frame on the terminal through a screen shared by every call of this function.

    Takes what :meth:`Screen.show` takes. Wrap a series of calls in :func:`corvane.fullscreen`
    to draw on the alternate screen and get the terminal back afterwards.
    """
    global _default
    if _default is None:
        _default = Screen()
    _default.show(frame, width, height, stretch=stretch, fit=fit)
