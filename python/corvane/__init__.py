"""corvane: video frames on a text terminal as 24-bit colour half-block art.

Each terminal cell shows two stacked pixels (the upper half block, foreground the upper pixel,
background the lower); only the runs of cells that changed are rewritten. The package:

- show(frame) and Screen: draw numpy frames (H x W x 3 uint8, channels B, G, R) or bytes, with
  their shape kept (letterbox) or stretched; Screen also records what it draws;
- print_image(frame or path): a picture printed inline, as lines that scroll like text;
- imshow(name, frame), waitKey(ms), waitKeyEx(ms), pollKey(), namedWindow(name),
  getWindowProperty(name, prop), setWindowTitle, resizeWindow, moveWindow, destroyWindow(name),
  destroyAllWindows(): OpenCV's habits on the terminal; patch_cv2() puts them into cv2 when
  there is no display;
- fullscreen() and cbreak(): the alternate screen and key-by-key input for a block, always
  given back (also on Ctrl-C, SIGTERM and Ctrl-Z);
- Recording: read recording files, frame by frame, by index or by slice;
  RecordingWriter: write them;
- the command line, corvane.cli (``corvane ...`` / ``python -m corvane ...``).

Corvane, the native class underneath (from the module _corvane)
-----------------------------------------------------------------
Corvane() takes no arguments. It draws to standard output and belongs to the thread that made
it; calls from another thread raise PanicException (a BaseException; see errors.is_panic).

render(data, width, height)
    Draw one frame of width * height * 3 bytes (B, G, R per pixel; bytes, bytearray,
    memoryview, a flat uint8 array, array('B') or a sequence of ints), scaled to the terminal's
    columns by 2 * rows - 2 pixels. The bottom line stays free.
get_mapping_info()
    A dict: term_w, term_h (the terminal's columns and rows), display_h (pixel rows drawn),
    frame_w, frame_h (the size last given to render).
hide_cursor() / show_cursor()
    Enter / leave full-screen mode (alternate screen, hidden cursor).
poll_key()
    The key pressed, without waiting: "enter", "esc", a one-character str, or None.
start_recording(path) / stop_recording()
    Record every frame render draws, as drawn, into path (created or truncated).
play(path, sharpen)
    Show a recording at up to one frame per 33 ms, stretched to the terminal, sharpened when
    sharpen > 0; raises RuntimeError for a missing or foreign file and PanicException for a
    damaged one (the alternate screen then stays: call show_cursor).

Screen, the players and the command line use render, get_mapping_info, the cursor methods and
poll_key; they record and play in Python, so that recordings keep time and shape.
"""

from __future__ import annotations

import importlib

TYPE_CHECKING = False  # as typing's, without importing typing: ``import corvane`` stays light
if TYPE_CHECKING:
    from typing import IO, Any, Dict, List, Optional, Tuple

    from _corvane import Corvane

    from .errors import CorvaneError, RecordingError, SourceError, TerminalError, VideoSupportError
    from .geometry import FIT_MODES, Placement, as_frame, display_grid, fit, layout, letterbox
    from .recording import Record, Recording, RecordingWriter
    from .display.screen import Screen, show
    from .display.terminal import cbreak, fullscreen
    from .display import windows
    from .display.windows import (destroyAllWindows, destroyWindow, getWindowProperty, imshow, moveWindow,
                                  namedWindow, patch_cv2, pollKey, resizeWindow, setWindowTitle, waitKey,
                                  waitKeyEx)


__version__ = "0.1.0"

# Where each public name lives. They are imported on first use (module ``__getattr__``), so that
# ``import corvane`` and the command line's start load neither numpy nor the native modules.
_HOMES: Dict[str, str] = {
    "Corvane": "_corvane",
    **dict.fromkeys(["CorvaneError", "RecordingError", "SourceError", "TerminalError", "VideoSupportError"],
                    ".errors"),
    **dict.fromkeys(["FIT_MODES", "Placement", "as_frame", "display_grid", "fit", "layout", "letterbox"],
                    ".geometry"),
    **dict.fromkeys(["Record", "Recording", "RecordingWriter"], ".recording"),
    **dict.fromkeys(["Screen", "show"], ".display.screen"),
    **dict.fromkeys(["cbreak", "fullscreen"], ".display.terminal"),
    **dict.fromkeys(["destroyAllWindows", "destroyWindow", "getWindowProperty", "imshow", "moveWindow",
                     "namedWindow", "patch_cv2", "pollKey", "resizeWindow", "setWindowTitle", "waitKey",
                     "waitKeyEx"], ".display.windows"),
}


def __getattr__(name: str) -> Any:
    """A public name (or the ``windows`` module, or a subpackage), imported on first use and kept."""
    if name == "windows":
        value: Any = importlib.import_module(".display.windows", __name__)
    elif name in _HOMES:
        value = getattr(importlib.import_module(_HOMES[name], __name__), name)
    elif not name.startswith("__"):
        try:
            value = importlib.import_module(f".{name}", __name__)
        except ModuleNotFoundError as error:
            if error.name != f"{__name__}.{name}":
                raise
            raise AttributeError(f"module {__name__!r} has no attribute {name!r}") from None
    else:
        raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
    globals()[name] = value
    return value


def __dir__() -> List[str]:
    """The names defined here and the public ones, imported or not yet."""
    return sorted(set(globals()) | set(__all__))


def print_image(frame: Any, width: Optional[int] = None, height: Optional[int] = None, fit: str = "contain",
                file: Optional[IO[Any]] = None, colors: str = "24bit", dither: Optional[bool] = None,
                upscale: bool = False, graphics: Optional[str] = None) -> None:
    """Print ``frame`` (an array, or the name of a picture or video file: its first frame) at the
    cursor in the terminal's best graphics (``graphics``), and go to the line after it; see
    :func:`corvane.display.inline.print_image` for the options."""
    from .display import inline

    def load(name: str, least: Optional[Tuple[int, int]]) -> Any:
        from .media.pictures import first_frame  # PyAV and Pillow only when a file is read

        return first_frame(name, least=least)

    inline.print_image(frame, width, height, fit, file, colors, dither, upscale, graphics, load)


__all__ = [
    "Corvane",
    "CorvaneError",
    "FIT_MODES",
    "Placement",
    "Record",
    "Recording",
    "RecordingError",
    "RecordingWriter",
    "Screen",
    "SourceError",
    "TerminalError",
    "VideoSupportError",
    "as_frame",
    "cbreak",
    "destroyAllWindows",
    "destroyWindow",
    "display_grid",
    "fit",
    "fullscreen",
    "getWindowProperty",
    "imshow",
    "layout",
    "letterbox",
    "moveWindow",
    "namedWindow",
    "patch_cv2",
    "pollKey",
    "print_image",
    "resizeWindow",
    "setWindowTitle",
    "show",
    "waitKey",
    "waitKeyEx",
]
