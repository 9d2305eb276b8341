"""Frames (numpy arrays, or :class:`Pixels`), and how a frame is fitted into the terminal's display grid.

The display grid of a terminal of ``term_w`` columns and ``term_h`` rows is ``term_w`` pixels
wide and ``max(2 * term_h - 2, 2)`` pixels high: every character cell shows two pixels stacked,
and the bottom line stays free. A cell is about twice as high as wide, so the grid's pixels are
about square and a frame keeps its shape when it is scaled by the same factor both ways.

How a frame meets a box of another shape is its fit (:data:`FIT_MODES`): ``contain`` shows all of
it with margins, ``cover`` fills the box and leaves out the edges that stick out, ``stretch``
fills the box out of shape, ``none`` keeps every pixel at its own size and leaves out what does
not fit. The full screen, ``corvane show`` and ``imshow`` all place frames through :func:`layout`.
"""

from __future__ import annotations

from typing import TYPE_CHECKING, Any, NamedTuple, Optional, Tuple, TypeVar, Union

# numpy and the native scaler are imported by the functions that use them: the command line
# reads this module's constants at start-up.
if TYPE_CHECKING:
    import numpy as np
    import numpy.typing as npt

    FrameArray = npt.NDArray[np.uint8]
    """An H x W x 3 array of ``uint8``, channels blue, green, red."""

BytesLike = Union[bytes, bytearray, memoryview]


class Pixels(NamedTuple):
    """A frame as its B, G, R bytes, row after row: how a picture read from a file goes to the
    native scaler and encoders, so that showing one needs no numpy (about 120 ms of a start).
    ``shape`` reads as an array's does."""

    data: BytesLike
    width: int
    height: int

    @property
    def shape(self) -> Tuple[int, int, int]:
        return self.height, self.width, 3


AnyFrame = TypeVar("AnyFrame", "FrameArray", Pixels)
"""A frame of either kind; the functions that take one give back the same kind."""


class Placement(NamedTuple):
    """Where a frame lands in the display grid: its top-left corner and its scaled size."""

    x: int
    y: int
    width: int
    height: int


def display_grid(term_w: int, term_h: int) -> Tuple[int, int]:
    """The display grid (width, height) in pixels of a terminal of ``term_w`` x ``term_h`` cells."""
    return term_w, max(2 * term_h - 2, 2)


def fit(src_w: int, src_h: int, grid_w: int, grid_h: int) -> Placement:
    """The largest placement of a ``src_w`` x ``src_h`` frame inside the grid that keeps its shape,
    centred (any odd pixel of margin goes right or down)."""
    if min(src_w, src_h, grid_w, grid_h) <= 0:
        raise ValueError(f"cannot fit a {src_w} x {src_h} frame into a {grid_w} x {grid_h} grid")
    scale = min(grid_w / src_w, grid_h / src_h)
    width = min(grid_w, max(1, int(src_w * scale + 0.5)))
    height = min(grid_h, max(1, int(src_h * scale + 0.5)))
    return Placement((grid_w - width) // 2, (grid_h - height) // 2, width, height)


FIT_MODES = ("contain", "cover", "stretch", "none")
"""The ways a frame can meet a box; see :func:`layout`."""
SCALE_DOWN = "scale-down"
"""One more fit, for a still picture: ``none`` when the frame fits, else ``contain`` (never enlarged)."""


def layout(src_w: int, src_h: int, box_w: int, box_h: int,
           mode: str = "contain") -> Tuple[Placement, Placement]:
    """Which part of a ``src_w`` x ``src_h`` frame is shown, and where in a ``box_w`` x ``box_h``
    box it lands (its scaled size), for the fit ``mode``. Whatever lands is centred; an odd pixel
    of margin or of cut goes right or down."""
    if min(src_w, src_h, box_w, box_h) <= 0:
        raise ValueError(f"cannot fit a {src_w} x {src_h} frame into a {box_w} x {box_h} box")
    if mode == SCALE_DOWN:
        mode = "none" if src_w <= box_w and src_h <= box_h else "contain"
    whole = Placement(0, 0, src_w, src_h)
    if mode == "contain":
        return whole, fit(src_w, src_h, box_w, box_h)
    if mode == "stretch":
        return whole, Placement(0, 0, box_w, box_h)
    if mode == "cover":
        scale = max(box_w / src_w, box_h / src_h)
        width = min(src_w, max(1, int(box_w / scale + 0.5)))
        height = min(src_h, max(1, int(box_h / scale + 0.5)))
        return _centred(width, height, src_w, src_h), Placement(0, 0, box_w, box_h)
    if mode == "none":
        width, height = min(src_w, box_w), min(src_h, box_h)
        return _centred(width, height, src_w, src_h), _centred(width, height, box_w, box_h)
    raise ValueError(f"the fit is one of {', '.join(FIT_MODES)}, not {mode!r}")


def drawn_size(src_w: int, src_h: int, box_w: int, box_h: int, mode: str = "contain") -> Tuple[int, int]:
    """The size a whole ``src_w`` x ``src_h`` source is scaled to for a ``box_w`` x ``box_h`` box
    and the fit ``mode``, so that :func:`layout` then only places or cuts it: the box when
    stretched, the largest size with the shape kept that fits (contain) or covers it (cover),
    the source's own size for none. Decoders deliver frames at this size."""
    if mode == "stretch":
        return box_w, box_h
    if mode == "none":
        return src_w, src_h
    if mode == "cover":
        scale = max(box_w / src_w, box_h / src_h)
        return max(1, round(src_w * scale)), max(1, round(src_h * scale))
    place = layout(src_w, src_h, box_w, box_h, mode)[1]
    return place.width, place.height


def _centred(width: int, height: int, outer_w: int, outer_h: int) -> Placement:
    """A ``width`` x ``height`` placement in the middle of ``outer_w`` x ``outer_h``."""
    return Placement((outer_w - width) // 2, (outer_h - height) // 2, width, height)


def as_frame(
    data: "Union[FrameArray, np.ndarray, BytesLike, Pixels]",
    width: Optional[int] = None,
    height: Optional[int] = None,
) -> "FrameArray":
    """``data`` as a C-contiguous H x W x 3 ``uint8`` array.

    Takes a numpy array shaped H x W x 3 (B, G, R, as OpenCV gives it), H x W x 4 (the fourth
    channel is dropped), H x W or H x W x 1 (grey), of ``uint8``, or scaled as OpenCV's
    ``imshow`` scales: ``uint16`` divided by 256, floats from 0 to 1 spread over 0 to 255
    (clipped); or ``bytes``-like data of
    ``width * height * 3`` B, G, R bytes together with ``width`` and ``height``; or :class:`Pixels`.
    Raises ``TypeError`` or ``ValueError`` naming what is wrong.
    """
    import numpy as np

    if isinstance(data, Pixels):
        data, width, height = data

    if isinstance(data, np.ndarray):
        if width is not None or height is not None:
            raise TypeError("width and height are taken from the array's shape; leave them out")
        return _array_frame(data)
    if not isinstance(data, (bytes, bytearray, memoryview)):
        raise TypeError(f"a frame is a numpy array or bytes, not {type(data).__name__}")
    if width is None or height is None:
        raise TypeError("bytes need the frame's width and height")
    if width <= 0 or height <= 0:
        raise ValueError(f"a frame of {width} x {height} pixels is empty")
    raw = memoryview(data).cast("B")
    if len(raw) != width * height * 3:
        raise ValueError(
            f"a {width} x {height} frame takes {width * height * 3} bytes, not {len(raw)}"
        )
    return np.frombuffer(raw, dtype=np.uint8).reshape(height, width, 3)


def _array_frame(array: "np.ndarray") -> "FrameArray":
    """A numpy array checked and brought to H x W x 3 ``uint8``, C-contiguous."""
    import numpy as np

    if array.dtype == np.uint16:
        array = (array >> 8).astype(np.uint8)
    elif array.dtype.kind == "f":
        array = (np.clip(np.nan_to_num(array), 0.0, 1.0) * 255 + 0.5).astype(np.uint8)
    elif array.dtype != np.uint8:
        raise TypeError(f"a frame array is of uint8, uint16 or floats, not {array.dtype}")
    if array.ndim == 2:
        array = array[:, :, None]
    if array.ndim != 3 or array.shape[2] not in (1, 3, 4):
        raise ValueError(f"a frame array is H x W x 3 (or grey H x W), not {array.shape}")
    if array.shape[0] == 0 or array.shape[1] == 0:
        raise ValueError(f"a frame of shape {array.shape} is empty")
    if array.shape[2] == 1:
        array = np.repeat(array, 3, axis=2)
    elif array.shape[2] == 4:
        array = array[:, :, :3]
    return np.ascontiguousarray(array)


def frame_data(frame: "Union[FrameArray, Pixels]") -> Tuple[Any, int, int]:
    """The native functions' first three arguments for ``frame``: its bytes, width, height."""
    if isinstance(frame, Pixels):
        return frame.data, frame.width, frame.height
    import numpy as np

    height, width = frame.shape[:2]
    return np.ascontiguousarray(frame).reshape(-1), int(width), int(height)


def as_pixels(frame: "Union[FrameArray, Pixels]") -> Pixels:
    """``frame`` as :class:`Pixels`; an array's memory is shared when it is contiguous."""
    if isinstance(frame, Pixels):
        return frame
    data, width, height = frame_data(frame)
    return Pixels(memoryview(data), width, height)


def crop(frame: AnyFrame, part: Placement) -> AnyFrame:
    """The ``part`` of ``frame``: a view of an array; of :class:`Pixels`, a view when it is whole
    rows, else a copy."""
    if not isinstance(frame, Pixels):
        return frame[part.y : part.y + part.height, part.x : part.x + part.width]
    if part == (0, 0, frame.width, frame.height):
        return frame
    row, raw = 3 * frame.width, memoryview(frame.data).cast("B")
    if part.width == frame.width:
        data: BytesLike = raw[part.y * row : (part.y + part.height) * row]
    else:
        data = b"".join(raw[y * row + 3 * part.x : y * row + 3 * (part.x + part.width)]
                        for y in range(part.y, part.y + part.height))
    return Pixels(data, part.width, part.height)


def resize(frame: AnyFrame, width: int, height: int) -> AnyFrame:
    """``frame`` at ``width`` x ``height``: averaged by area where it shrinks, so that each pixel
    is the mean of the source pixels it covers, and bilinear where it grows (natively); the frame
    itself when it has that size already, so a frame decoded at the size it is drawn at is never
    scaled again."""
    src_h, src_w = frame.shape[:2]
    if src_h == height and src_w == width:
        return frame
    from ._native import scale

    data = scale(*frame_data(frame), width, height)
    if isinstance(frame, Pixels):
        return Pixels(data, width, height)
    import numpy as np

    return np.frombuffer(data, dtype=np.uint8).reshape(height, width, 3)


def fitted(frame: AnyFrame, grid_w: int, grid_h: int,
           mode: str = "contain") -> "Tuple[AnyFrame, Placement]":
    """The part of ``frame`` shown in the grid with the fit ``mode`` (by default the whole frame,
    as large as fits with its shape kept), scaled, and where it lands in the grid (the margins
    are not part of the picture). Only the shown part is scaled; it may be a view of ``frame``."""
    part, place = layout(frame.shape[1], frame.shape[0], grid_w, grid_h, mode)
    return resize(crop(frame, part), place.width, place.height), place


def on_canvas(picture: "FrameArray", place: Placement, grid_w: int, grid_h: int) -> "FrameArray":
    """``picture`` at ``place`` in a black grid of ``grid_w`` x ``grid_h``, C-contiguous."""
    import numpy as np

    if picture.shape[0] == grid_h and picture.shape[1] == grid_w:
        return np.ascontiguousarray(picture)
    canvas = np.zeros((grid_h, grid_w, 3), dtype=np.uint8)
    canvas[place.y : place.y + place.height, place.x : place.x + place.width] = picture
    return canvas


def letterbox(frame: "FrameArray", grid_w: int, grid_h: int) -> "FrameArray":
    """``frame`` scaled to fit the grid with its shape kept, on black margins."""
    if frame.shape[0] == grid_h and frame.shape[1] == grid_w:
        return frame
    return on_canvas(*fitted(frame, grid_w, grid_h), grid_w, grid_h)
