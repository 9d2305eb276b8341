"""OpenCV's ``imshow`` / ``waitKey`` habits on the terminal, for scripts without a display.

Every named window is a tile of the full screen with its name (escaped) on a title line above
its picture; the tiles share the screen in a grid of about square shape, a blank column between
them. ``imshow`` draws at once (the picture is scaled into its tile then, so later changes to the
caller's array do not show, as with OpenCV); ``waitKey`` only reads keys, and draws again only
after Ctrl-Z and ``fg`` or when the terminal's size changed.

The first ``imshow`` takes the terminal: keys in cbreak mode, the alternate screen. The last
window destroyed, ``destroyAllWindows`` and the end of the interpreter (``atexit``) give it back.
One process-wide state; main thread, like OpenCV's own windows. :func:`patch_cv2` puts these
functions into an imported ``cv2`` module when there is no display to show windows on.
OpenCV's signatures have no room for the wire's options, so :func:`configure` sets them for the
windows opened after it.
"""

from __future__ import annotations

import atexit
import importlib
import math
import os
import sys
import time
from contextlib import ExitStack
from typing import TYPE_CHECKING, Any, Dict, List, Optional, Tuple

import numpy as np

from ..errors import VideoSupportError
from ..geometry import Placement, as_frame, fitted
from .screen import Screen
from .terminal import cbreak, check_terminal, resumes
from ..text import cut, printable
from .wire import check_tolerance, resolve_colors

if TYPE_CHECKING:
    from ..geometry import FrameArray

KEY_CODES = {"esc": 27, "enter": 13}
POLL_SECONDS = 0.005
"""How often ``waitKey`` looks for a key while it waits."""


_options: Dict[str, Any] = {}
"""The ``Screen`` keyword arguments of the next windows (:func:`configure`)."""


def configure(colors: Optional[str] = None, tolerance: Optional[int] = None, dither: bool = False) -> None:
    """How windows opened from now on draw: given ``colors`` ("auto", "24bit", "256", "16") or
    ``tolerance`` (0 to 64), through the wire encoder, as ``Screen(colors=..., tolerance=...)``
    does; neither: the exact stream (the default). Windows already open keep theirs."""
    if colors is not None:
        resolve_colors(colors)  # a bad value fails here, not at the first imshow
    if tolerance is not None:
        check_tolerance(tolerance)
    _options.clear()
    if colors is not None or tolerance is not None:
        _options.update(colors=colors, tolerance=tolerance, dither=dither)


class _Windows:
    """The screen, the windows by name in the order they came, and what each shows now."""

    def __init__(self) -> None:
        self.screen = Screen(**_options)
        check_terminal(self.screen.corvane)
        self.pictures: Dict[str, Tuple["FrameArray", Optional[Placement]]] = {}
        """Each window's picture, fitted to its tile, and where in the tile (``None``: no room)."""
        self.tiles: Dict[str, Placement] = {}
        self.size = self.screen.grid()
        self.drawn: Tuple[Any, ...] = ()
        self.held = ExitStack()
        try:
            self.held.enter_context(cbreak())
            self.held.enter_context(self.screen.fullscreen())
        except BaseException:
            self.held.close()
            raise

    def layout(self) -> bool:
        """Tile the grid for the windows there are; whether the tiles changed."""
        self.size = grid_w, grid_h = self.screen.grid()
        count = len(self.pictures)
        across = math.ceil(math.sqrt(count))
        down = math.ceil(count / across)
        width, lines = (grid_w - across + 1) // across, grid_h // 2 // down
        tiles = {name: Placement(i % across * (width + 1), i // across * lines * 2, width, lines * 2)
                 for i, name in enumerate(self.pictures)}
        changed = tiles != self.tiles
        self.tiles = tiles
        return changed

    def place(self, name: str, image: "FrameArray") -> None:
        """``image`` scaled into the tile of ``name`` below its title line."""
        tile = self.tiles[name]
        if tile.width > 0 and tile.height > 2:
            self.pictures[name] = fitted(image, tile.width, tile.height - 2)
        else:
            self.pictures[name] = (image, None)

    def draw(self) -> None:
        """Every window's picture and title, as they are now (on the grid as last laid out)."""
        grid_w, grid_h = self.size
        canvas = np.zeros((grid_h, grid_w, 3), np.uint8)
        for name, (picture, spot) in self.pictures.items():
            if spot is not None:
                x, y = self.tiles[name].x + spot.x, self.tiles[name].y + 2 + spot.y
                canvas[y : y + spot.height, x : x + spot.width] = picture
        self.screen.show(canvas)
        titles = []
        for name, tile in self.tiles.items():
            text, used = cut(printable(name), tile.width)
            titles.append(f"\x1b[{tile.y // 2 + 1};{tile.x + 1}H\x1b[0m{text}{' ' * (tile.width - used)}")
        self.screen.text("".join(titles).encode(errors="replace"))
        self.drawn = (self.size, resumes())

    def refit(self) -> None:
        """After the tiles changed: every picture scaled anew into its tile, every cell drawn."""
        for name, (picture, _) in list(self.pictures.items()):
            self.place(name, picture)
        self.screen.invalidate()

    def close(self) -> None:
        """Give the terminal back."""
        self.pictures.clear()
        self.held.close()


_windows: Optional[_Windows] = None
_hooked: List[bool] = []
"""Not empty once the exit hooks are in place (once per process)."""


def _restoring(hook: Any) -> Any:
    """``hook`` (``sys.excepthook``) after giving the terminal back, so the traceback stays."""

    def report(*error: Any) -> None:
        destroyAllWindows()
        hook(*error)

    return report


def imshow(name: str, frame: Any) -> None:
    """Show ``frame`` (H x W x 3 B, G, R, or grey) in the window ``name``, made when new."""
    global _windows
    image = as_frame(np.asarray(frame))
    if _windows is None:
        _windows = _Windows()
        if not _hooked:
            _hooked.append(True)
            atexit.register(destroyAllWindows)
            sys.excepthook = _restoring(sys.excepthook)
    windows = _windows
    name = str(name)
    if name not in windows.pictures:
        windows.pictures[name] = (image, None)
    if windows.layout():
        windows.refit()
    windows.place(name, image)
    windows.draw()


def waitKey(delay: int = 0) -> int:  # noqa: N802 (OpenCV's name)
    """The code of the key pressed (27 Esc, 13 Enter, else the character's code; arrows and the
    like are passed over), waiting up to ``delay`` milliseconds, or for ever when it is 0 or less;
    -1 when none came in time."""
    windows = _windows
    if windows is None:  # no window, nothing to type into
        if delay > 0:
            time.sleep(delay / 1000)
        return -1
    deadline = None if delay <= 0 else time.monotonic() + delay / 1000
    while True:
        key = windows.screen.poll_key()
        if key is not None and (key in KEY_CODES or len(key) == 1):  # OpenCV has no code for the rest
            return KEY_CODES.get(key, ord(key[0]))
        if windows.drawn != (windows.screen.grid(), resumes()):  # resized, or back after Ctrl-Z
            if windows.layout():
                windows.refit()
            windows.draw()
        left = POLL_SECONDS if deadline is None else deadline - time.monotonic()
        if left <= 0:
            return -1
        time.sleep(min(left, POLL_SECONDS))


def destroyWindow(name: str) -> None:  # noqa: N802
    """Close the window ``name``; the others take its room. The last one gives the terminal back."""
    windows = _windows
    if windows is None or str(name) not in windows.pictures:
        return
    del windows.pictures[str(name)]
    if not windows.pictures:
        destroyAllWindows()
        return
    windows.layout()
    windows.refit()
    windows.draw()


def destroyAllWindows() -> None:  # noqa: N802
    """Close every window and give the terminal back (main screen, keys as before)."""
    global _windows
    windows, _windows = _windows, None
    if windows is not None:
        windows.close()


PATCHED = ("imshow", "waitKey", "destroyWindow", "destroyAllWindows")


def patch_cv2(force: bool = False) -> bool:
    """Put :func:`imshow`, :func:`waitKey`, :func:`destroyWindow` and :func:`destroyAllWindows`
    into the ``cv2`` module (imported when it is not yet) when there is no display (neither
    ``DISPLAY`` nor ``WAYLAND_DISPLAY`` is set) or ``force``; whether it did."""
    if not force and (os.environ.get("DISPLAY") or os.environ.get("WAYLAND_DISPLAY")):
        return False
    cv2 = sys.modules.get("cv2")
    if cv2 is None:
        try:
            cv2 = importlib.import_module("cv2")
        except ImportError:
            raise VideoSupportError("patch_cv2", "OpenCV's Python bindings") from None
    here = sys.modules[__name__]
    for name in PATCHED:
        setattr(cv2, name, getattr(here, name))
    return True
