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

While the windows hold the screen, what the script writes to ``sys.stdout`` and ``sys.stderr``
(when they are the terminal) would land on the alternate screen and vanish with it: it is kept
and written out, in order, once the terminal is given back. A change of the terminal's size
clears the screen and draws every window anew, as a terminal's own reflow leaves rows anywhere.
``waitKey`` keeps OpenCV's low codes; ``waitKeyEx`` and ``pollKey`` give the arrows, Home/End,
Page Up/Down, Insert, Delete and F1 to F12 their GTK codes, as OpenCV on Linux does.
"""

from __future__ import annotations

import atexit
import importlib
import io
import math
import os
import sys
import time
from contextlib import ExitStack, contextmanager
from typing import TYPE_CHECKING, Any, Dict, Iterator, List, Optional, TextIO, Tuple

import numpy as np

from ..errors import VideoSupportError
from ..geometry import Placement, as_frame, fitted
from .graphics import GRAPHICS_CHOICES, layout_cell
from .keys import KeyReader
from .screen import Screen
from .terminal import cbreak, check_terminal, resumes
from ..text import cut, printable
from .wire import check_tolerance, resolve_colors

if TYPE_CHECKING:
    from ..geometry import FrameArray

GTK_CODES = {"esc": 27, "enter": 13, "tab": 9, "backspace": 65288, "home": 65360, "left": 65361,
             "up": 65362, "right": 65363, "down": 65364, "pageup": 65365, "pagedown": 65366,
             "end": 65367, "insert": 65379, "delete": 65535,
             **{f"f{n}": 65469 + n for n in range(1, 13)}}
"""The codes of OpenCV's GTK windows by key name (``waitKeyEx``); ``waitKey`` keeps the low byte."""
WINDOW_NORMAL, WINDOW_AUTOSIZE = 0, 1
WND_PROP_AUTOSIZE, WND_PROP_VISIBLE = 1, 4
PROPERTIES = {0: 0.0, 2: 0.0, 3: 0.0, 5: 0.0, 6: 0.0}
"""``getWindowProperty`` of a window that is there, other than autosize and visible: never full
screen (0), pictures keep their ratio (2), no OpenGL (3), not on top (5), no vsync (6)."""
POLL_SECONDS = 0.005
"""How often ``waitKey`` looks for a key while it waits."""


_options: Dict[str, Any] = {}
"""The ``Screen`` keyword arguments of the next windows (:func:`configure`)."""


def configure(colors: Optional[str] = None, tolerance: Optional[int] = None,
              dither: Optional[bool] = None, graphics: Optional[str] = None) -> None:
    """How windows opened from now on draw: given ``colors`` ("auto", "24bit", "256", "16") or
    ``tolerance`` (0 to 64), through the wire encoder, as ``Screen(colors=..., tolerance=...)``
    does; neither: the exact stream (the default). ``graphics`` as ``Screen(graphics=...)``
    (default ``auto``). Windows already open keep theirs."""
    if colors is not None:
        resolve_colors(colors)  # a bad value fails here, not at the first imshow
    if tolerance is not None:
        check_tolerance(tolerance)
    if graphics is not None and graphics not in GRAPHICS_CHOICES:
        raise ValueError(f"graphics must be one of {', '.join(GRAPHICS_CHOICES)}, not {graphics!r}")
    _options.clear()
    if graphics is not None:
        _options.update(graphics=graphics)
    if colors is not None or tolerance is not None:
        _options.update(colors=colors, tolerance=tolerance, dither=dither)


class _Kept(io.TextIOBase):
    """A standard stream's text, kept in ``log`` (shared with the other stream, for the order)."""

    def __init__(self, stream: TextIO, log: List[Tuple[TextIO, str]]) -> None:
        super().__init__()
        self.stream, self.log = stream, log

    def write(self, text: str) -> int:
        if not isinstance(text, str):
            raise TypeError(f"write() argument must be str, not {type(text).__name__}")
        self.log.append((self.stream, text))
        return len(text)

    def writable(self) -> bool:
        return True

    def fileno(self) -> int:
        return self.stream.fileno()

    @property
    def encoding(self) -> str:  # type: ignore[override]
        return self.stream.encoding


def _on_terminal(stream: Any) -> bool:
    try:
        return stream is not None and os.isatty(stream.fileno())
    except (AttributeError, OSError, ValueError):
        return False


@contextmanager
def _output_kept() -> Iterator[None]:
    """``sys.stdout`` and ``sys.stderr``, where they write to the terminal, kept for the block
    and written out after it, in the order written (streams the block replaced stay as they are)."""
    log: List[Tuple[TextIO, str]] = []
    kept = {}
    for name in ("stdout", "stderr"):
        stream = getattr(sys, name)
        if _on_terminal(stream):
            stream.flush()
            kept[name] = _Kept(stream, log)
            setattr(sys, name, kept[name])
    try:
        yield
    finally:
        for name, wrapper in kept.items():
            if getattr(sys, name) is wrapper:
                setattr(sys, name, wrapper.stream)
        for stream, text in log:
            try:
                stream.write(text)
            except (OSError, ValueError):
                pass
        for wrapper in kept.values():
            try:
                wrapper.stream.flush()
            except (OSError, ValueError):
                pass


class _Windows:
    """The screen, the windows by name in the order they came, and what each shows now."""

    def __init__(self) -> None:
        self.screen = Screen(**_options)
        check_terminal(self.screen.corvane)
        if self.screen.painter is not None:
            self.screen.painter.under_text = True  # the titles stay readable over kitty images
        self.cell = layout_cell(self.screen.graphics)
        """A cell's pixels on the screen's grid."""
        self.pictures: Dict[str, Tuple["FrameArray", Optional[Placement]]] = {}
        """Each window's picture, fitted to its tile, and where in the tile (``None``: no room or
        no picture yet)."""
        self.flags: Dict[str, int] = {}
        self.titles: Dict[str, str] = {}
        self.tiles: Dict[str, Placement] = {}
        self.size = self.screen.grid()
        self.drawn: Tuple[Any, ...] = ()
        self.held = ExitStack()
        try:
            self.held.enter_context(_output_kept())  # first in, so written after the screen is left
            self.held.enter_context(cbreak())
            self.held.enter_context(self.screen.fullscreen())
            self.keys = KeyReader()
            self.held.callback(self.keys.close)
        except BaseException:
            self.held.close()
            raise

    def layout(self) -> bool:
        """Tile the grid for the windows there are; whether the tiles changed."""
        self.size = grid_w, grid_h = self.screen.grid()
        cell_w, cell_h = self.cell
        count = len(self.pictures)
        across = math.ceil(math.sqrt(count))
        down = math.ceil(count / across)
        columns, lines = (grid_w // cell_w - across + 1) // across, grid_h // cell_h // down
        tiles = {name: Placement(i % across * (columns + 1) * cell_w, i // across * lines * cell_h,
                                 columns * cell_w, lines * cell_h)
                 for i, name in enumerate(self.pictures)}
        changed = tiles != self.tiles
        self.tiles = tiles
        return changed

    def place(self, name: str, image: "FrameArray") -> None:
        """``image`` scaled into the tile of ``name`` below its title line."""
        tile = self.tiles[name]
        title = self.cell[1]
        if tile.width > 0 and tile.height > title and image.size:
            self.pictures[name] = fitted(image, tile.width, tile.height - title)
        else:
            self.pictures[name] = (image, None)

    def draw(self) -> None:
        """Every window's picture and title, as they are now (on the grid as last laid out)."""
        grid_w, grid_h = self.size
        if self.drawn and self.drawn[0] != self.size:
            self.screen.text(b"\x1b[0m\x1b[2J")
            self.screen.invalidate()
        canvas = np.zeros((grid_h, grid_w, 3), np.uint8)
        for name, (picture, spot) in self.pictures.items():
            if spot is not None:
                x, y = self.tiles[name].x + spot.x, self.tiles[name].y + self.cell[1] + spot.y
                canvas[y : y + spot.height, x : x + spot.width] = picture
        self.screen.show(canvas)
        titles = []
        for name, tile in self.tiles.items():
            columns = tile.width // self.cell[0]
            text, used = cut(printable(self.titles.get(name, name)), columns)
            titles.append(f"\x1b[{tile.y // self.cell[1] + 1};{tile.x // self.cell[0] + 1}H\x1b[0m{text}"
                          f"{' ' * (columns - used)}")
        self.screen.text("".join(titles).encode(errors="replace"))
        self.drawn = (self.size, resumes())

    def refit(self) -> None:
        """After the tiles changed: every picture scaled anew into its tile, every cell drawn."""
        for name, (picture, _) in list(self.pictures.items()):
            self.place(name, picture)
        self.screen.invalidate()

    def add(self, name: str, image: "FrameArray") -> None:
        """Show ``image`` in the window ``name``, made when new; every window drawn."""
        if name not in self.pictures:
            self.pictures[name] = (image, None)
        if self.layout():
            self.refit()
        self.place(name, image)
        self.draw()

    def key(self, delay: Optional[int]) -> Optional[str]:
        """The name of the next key, waiting up to ``delay`` milliseconds (for ever when 0 or less,
        not at all when ``None``), drawing again meanwhile when the terminal asks for it."""
        deadline = None if delay is None or delay <= 0 else time.monotonic() + delay / 1000
        while True:
            key = self.keys.poll()
            if key is not None and (len(key) == 1 or key in GTK_CODES):
                return key
            if self.drawn != (self.screen.grid(), resumes()):  # resized, or back after Ctrl-Z
                if self.layout():
                    self.refit()
                self.draw()
            if key is not None:
                continue
            left = POLL_SECONDS if deadline is None else deadline - time.monotonic()
            if left <= 0 or delay is None:
                return None
            time.sleep(min(left, POLL_SECONDS))

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


def _opened() -> _Windows:
    """The windows' state, taking the terminal when there is none."""
    global _windows
    if _windows is None:
        _windows = _Windows()
        if not _hooked:
            _hooked.append(True)
            atexit.register(destroyAllWindows)
            sys.excepthook = _restoring(sys.excepthook)
    return _windows


def imshow(name: str, frame: Any) -> None:
    """Show ``frame`` (H x W x 3 B, G, R, or grey) in the window ``name``, made when new."""
    _opened().add(str(name), as_frame(np.asarray(frame)))


def namedWindow(name: str, flags: int = WINDOW_AUTOSIZE) -> None:  # noqa: N802 (OpenCV's name)
    """Make the window ``name`` (titled, empty until :func:`imshow`); nothing when it is there."""
    windows = _opened()
    if str(name) not in windows.pictures:
        windows.flags[str(name)] = int(flags)
        windows.add(str(name), np.zeros((0, 0, 3), np.uint8))


def _waited(delay: int) -> Optional[str]:
    """The name of the key pressed within ``delay`` milliseconds (see :meth:`_Windows.key`)."""
    if _windows is None:  # no window, nothing to type into
        if delay > 0:
            time.sleep(delay / 1000)
        return None
    return _windows.key(delay)


def _gtk_code(key: Optional[str]) -> int:
    if key is None:
        return -1
    if key in GTK_CODES:
        return GTK_CODES[key]
    return ord(key) if ord(key) < 256 else 0x1000000 | ord(key)  # GDK's key values of characters


def waitKey(delay: int = 0) -> int:  # noqa: N802 (OpenCV's name)
    """The code of the key pressed (27 Esc, 13 Enter, a character's code, else the low byte of
    :func:`waitKeyEx`'s), waiting up to ``delay`` milliseconds, or for ever when it is 0 or
    less; -1 when none came in time."""
    key = _waited(delay)
    if key is None:
        return -1
    return ord(key) if len(key) == 1 else GTK_CODES[key] & 0xFF


def waitKeyEx(delay: int = 0) -> int:  # noqa: N802
    """As :func:`waitKey`, but the full code: arrows, Home, End, Page Up/Down, Insert, Delete and
    F1 to F12 as OpenCV's GTK windows give them (Left 65361, F1 65470, ...)."""
    return _gtk_code(_waited(delay))


def pollKey() -> int:  # noqa: N802
    """The code of a key pressed (as :func:`waitKeyEx`), or -1; never waits."""
    return -1 if _windows is None else _gtk_code(_windows.key(None))


def getWindowProperty(name: str, prop: int) -> float:  # noqa: N802
    """-1 when the window ``name`` is not there (never made, or destroyed); else 1.0 for
    ``WND_PROP_VISIBLE``, 1.0 or 0.0 for ``WND_PROP_AUTOSIZE`` as the window was made, and
    OpenCV's values of a plain window for the others (-1 for properties OpenCV lacks)."""
    windows = _windows
    if windows is None or str(name) not in windows.pictures:
        return -1.0
    if prop == WND_PROP_VISIBLE:
        return 1.0
    if prop == WND_PROP_AUTOSIZE:
        return float(windows.flags.get(str(name), WINDOW_AUTOSIZE) & WINDOW_AUTOSIZE)
    return PROPERTIES.get(prop, -1.0)


def setWindowTitle(name: str, title: str) -> None:  # noqa: N802
    """Show ``title`` on the window's title line (the window keeps its name)."""
    windows = _windows
    if windows is not None and str(name) in windows.pictures:
        windows.titles[str(name)] = str(title)
        windows.draw()


def resizeWindow(name: str, *size: Any) -> None:  # noqa: N802
    """Accepted: a window's size is its tile's, which the terminal's size decides."""


def moveWindow(name: str, x: int, y: int) -> None:  # noqa: N802
    """Accepted: a window's place is its tile's."""


def destroyWindow(name: str) -> None:  # noqa: N802
    """Close the window ``name``; the others take its room. The last one gives the terminal back."""
    windows = _windows
    if windows is None or str(name) not in windows.pictures:
        return
    del windows.pictures[str(name)]
    windows.flags.pop(str(name), None)
    windows.titles.pop(str(name), None)
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


PATCHED = ("imshow", "namedWindow", "waitKey", "waitKeyEx", "pollKey", "getWindowProperty",
           "setWindowTitle", "resizeWindow", "moveWindow", "destroyWindow", "destroyAllWindows")


def patch_cv2(force: bool = False) -> bool:
    """Put the window functions (``PATCHED``) into the ``cv2`` module (imported when it is not yet) when there is no display (neither
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
