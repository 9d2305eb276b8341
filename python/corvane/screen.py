"""``Screen``: draw numpy frames or bytes on the terminal through one ``Corvane`` object.

A frame keeps its shape by default: it is scaled to fit the terminal's display grid and
centred on black margins (letterbox). With ``stretch`` it fills the grid, as ``Corvane.render``
alone does.
"""

from __future__ import annotations

import os
import sys
from contextlib import contextmanager
from typing import TYPE_CHECKING, Iterator, Optional, Tuple, Union

from _corvane import Corvane

from .errors import TerminalError, is_panic
from .geometry import BytesLike, as_frame, display_grid, letterbox
from .terminal import fullscreen

if TYPE_CHECKING:
    import numpy as np

    from .geometry import FrameArray


class Screen:
    """The terminal as a place to show frames on.

    ``Screen()`` makes its own ``Corvane`` object; pass one to share it. Drawing outside a
    :meth:`fullscreen` block draws over the normal screen.
    """

    def __init__(self, corvane: Optional[Corvane] = None, *, stretch: bool = False) -> None:
        self.corvane = corvane if corvane is not None else Corvane()
        """The native object that does the drawing."""
        self.stretch = stretch
        """Fill the whole grid instead of keeping the frame's shape (the default for :meth:`show`)."""

    def size(self) -> Tuple[int, int]:
        """The terminal's (columns, rows), as the native module sees it (re-read every 30th ask)."""
        info = self.corvane.get_mapping_info()
        return info["term_w"], info["term_h"]

    def grid(self) -> Tuple[int, int]:
        """The display grid (width, height) in pixels that frames are drawn into."""
        return display_grid(*self.size())

    def show(
        self,
        frame: "Union[FrameArray, np.ndarray, BytesLike]",
        width: Optional[int] = None,
        height: Optional[int] = None,
        *,
        stretch: Optional[bool] = None,
    ) -> None:
        """Draw one frame: an H x W x 3 ``uint8`` array in B, G, R order (or grey H x W), or
        ``bytes`` with its ``width`` and ``height``. ``stretch`` overrides the screen's setting.

        While a recording is open the frame is recorded as drawn (fitted to the grid).
        """
        image = as_frame(frame, width, height)
        if not (self.stretch if stretch is None else stretch):
            image = letterbox(image, *self.grid())
        self.corvane.render(image.reshape(-1), image.shape[1], image.shape[0])

    def status(self, text: str) -> None:
        """Write ``text`` on the terminal's bottom line, which frames leave free; cut to fit."""
        cols, rows = self.size()
        if rows < 2 or cols < 2:
            return
        line = text.replace("\n", " ")[: cols - 1]
        sys.stdout.flush()
        os.write(1, f"\x1b[{rows};1H\x1b[0m{line}\x1b[K".encode())

    def poll_key(self) -> Optional[str]:
        """The key pressed, if any: ``"enter"``, ``"esc"``, a character, or ``None``; never waits.

        Raises :class:`TerminalError` when there is no terminal to read from.
        """
        try:
            return self.corvane.poll_key()
        except BaseException as error:
            if is_panic(error):
                raise TerminalError("no terminal to read keys from") from None
            raise

    @contextmanager
    def fullscreen(self) -> Iterator["Screen"]:
        """This screen in full-screen mode for the block; see :func:`corvane.terminal.fullscreen`."""
        with fullscreen(self.corvane):
            yield self

    def start_recording(self, path: Union[str, "os.PathLike[str]"]) -> None:
        """Record every frame drawn from now on into ``path`` (created or truncated)."""
        self.corvane.start_recording(os.fspath(path))

    def stop_recording(self) -> None:
        """Finish the open recording, if any."""
        self.corvane.stop_recording()


_default: Optional[Screen] = None


def show(
    frame: "Union[FrameArray, np.ndarray, BytesLike]",
    width: Optional[int] = None,
    height: Optional[int] = None,
    *,
    stretch: bool = False,
) -> None:
    """Draw one frame on the terminal through a screen shared by every call of this function.

    Takes what :meth:`Screen.show` takes. Wrap a series of calls in :func:`corvane.fullscreen`
    to draw on the alternate screen and get the terminal back afterwards.
    """
    global _default
    if _default is None:
        _default = Screen()
    _default.show(frame, width, height, stretch=stretch)
