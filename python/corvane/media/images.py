"""Stills and animated images (GIF, WebP, APNG) through Pillow.

A still is one frame at time 0. An animation's frames are due at the sum of the delays before
them; delays under 20 ms count as 100 ms, as browsers show them. Pixels are taken as the file
means them: EXIF orientation applied, 16-bit and float samples scaled to 8 bits
(:func:`corvane.geometry.as_frame`), transparency laid over a background (black unless asked
otherwise). The composed picture is scaled by :func:`corvane.geometry.resize` (by area when it
shrinks), as every frame is.

:func:`open_picture` is the one way a picture file is opened, for ``view`` and ``show`` alike: a
JPEG larger than needed is decoded reduced (by 2, 4 or 8, in the decoder), so Pillow's
decompression-bomb limit holds only for what is decoded at full size; a file cut short shows
what arrived, with a :class:`MediaWarning`.
"""

from __future__ import annotations

import bisect
import math
import re
import threading
import warnings
from io import BytesIO
from typing import TYPE_CHECKING, Any, List, Optional, Tuple, Union

from ..errors import MediaError, MediaWarning
from ..geometry import Pixels, as_frame, as_pixels, resize
from . import INSTALL_HINT, Frame, Media

if TYPE_CHECKING:
    from PIL import Image

    from ..geometry import FrameArray

Colour = Tuple[int, int, int]
Background = Tuple[Colour, Colour]
"""What transparency is laid over: the two B, G, R colours of a checkerboard (one colour twice:
a plain background)."""
BLACK: Background = ((0, 0, 0), (0, 0, 0))
CHECKERBOARD: Background = ((102, 102, 102), (153, 153, 153))
BACKGROUND_CHOICES = ("black", "checkerboard", "#rrggbb")
SQUARES = 8
"""Checkerboard squares across the picture's shorter side, so they stay visible when it shrinks."""
DECODE_BOUND = (2048, 2048)
"""The size a large JPEG is decoded down to (at least) when the size it is shown at is unknown."""
MARGIN = 4
"""A picture far larger than it is shown is first averaged down by Pillow in blocks of pixels
(:func:`reduced`) to no less than this many times the size it is shown at, and the area scaler
finishes it: at 4 the two steps stay within one level (48 dB) of one exact area shrink."""


def parse_background(text: str) -> Background:
    """The background named ``text`` (one of :data:`BACKGROUND_CHOICES`); ``ValueError`` else."""
    if text in ("black", "checkerboard"):
        return BLACK if text == "black" else CHECKERBOARD
    if not re.fullmatch(r"#[0-9a-fA-F]{6}", text):
        raise ValueError(f"must be black, checkerboard or a colour #rrggbb, not {text}")
    red, green, blue = (int(text[at : at + 2], 16) for at in (1, 3, 5))
    return (blue, green, red), (blue, green, red)

MIN_DELAY = 0.02
"""Delays below this many seconds are taken as ``DEFAULT_DELAY``."""
DEFAULT_DELAY = 0.1

_SIGNATURES = (
    b"\x89PNG\r\n\x1a\n", b"GIF87a", b"GIF89a", b"\xff\xd8\xff", b"BM", b"II*\x00", b"MM\x00*"
)


def is_image(head: bytes) -> bool:
    """Whether a file starting with ``head`` is an image format that Pillow reads."""
    return head.startswith(_SIGNATURES) or (head[:4] == b"RIFF" and head[8:12] == b"WEBP")


def bgr(picture: "Image.Image", background: Background = BLACK) -> Pixels:
    """The picture's B, G, R pixels, transparency laid over ``background``: Pillow's own
    conversions, so a picture is shown without numpy."""
    if picture.mode.startswith("I") or picture.mode == "F":  # 16-bit (or wider) grey, floats
        import numpy as np

        pixels = np.asarray(picture)
        if pixels.dtype.kind in "iu":
            top = 65535 if int(pixels.max(initial=0)) <= 65535 else int(pixels.max())
            pixels = (np.clip(pixels, 0, top) * (65535 / top)).astype(np.uint16)
        return as_pixels(as_frame(pixels))
    if picture.mode not in ("RGB", "L"):
        picture = picture.convert("RGBA")
        alpha = picture.getchannel("A")
        opaque = alpha.getextrema() == (255, 255)
        picture = picture.convert("RGB")
        if not opaque:  # round(colour * a / 255 + under * (255 - a) / 255), as Pillow blends
            from PIL import Image

            picture = Image.composite(picture, _backdrop(background, *picture.size), alpha)
    elif picture.mode == "L":
        picture = picture.convert("RGB")
    return Pixels(picture.tobytes("raw", "BGR"), *picture.size)


def reduced(picture: "Image.Image", least: Tuple[int, int]) -> "Image.Image":
    """``picture`` averaged in square blocks that tile it exactly (``Image.reduce``; a block cut
    by the edge would weigh its few pixels as a whole one), as large as keeps it at least
    :data:`MARGIN` times ``least`` (width, height). Before any copy of a large picture is made."""
    width, height = picture.size
    most = min(width // (MARGIN * least[0]), height // (MARGIN * least[1]))
    common = math.gcd(width, height)  # one step both ways: the shape stays
    step = next((step for step in range(most, 1, -1) if common % step == 0), 1)
    return picture.reduce(step) if step > 1 else picture


def _backdrop(background: Background, width: int, height: int) -> "Image.Image":
    """``background`` as an R, G, B picture of ``width`` x ``height``."""
    from PIL import Image

    first, second = ((red, green, blue) for blue, green, red in background)
    if first == second:
        return Image.new("RGB", (width, height), first)
    side = max(min(height, width) // SQUARES, 1)
    across, down = -(-width // side), -(-height // side)
    squares = Image.new("RGB", (across, down))
    squares.putdata([second if (x + y) % 2 else first for y in range(down) for x in range(across)])
    return squares.resize((across * side, down * side), Image.Resampling.NEAREST).crop((0, 0, width, height))


_PILLOW_SETTINGS = threading.Lock()
"""Held while Pillow's global settings are changed for one picture."""


def open_picture(source: Union[str, bytes], least: Optional[Tuple[int, int]] = None) -> Any:
    """The Pillow image of the file named ``source`` (or whose bytes it is), loaded; a JPEG
    larger than ``least`` (width, height; by default :data:`DECODE_BOUND`) decoded reduced.
    Raises Pillow's errors; ``UnidentifiedImageError`` for a format Pillow does not know."""
    from PIL import Image, ImageFile

    for cut_short in (False, True):  # a file cut short is opened again to decode what arrived
        with _PILLOW_SETTINGS:  # Pillow's settings are global: threads read pictures side by side
            limit = Image.MAX_IMAGE_PIXELS
            Image.MAX_IMAGE_PIXELS = None  # checked below, after a JPEG's reduction
            try:
                image = Image.open(BytesIO(source) if isinstance(source, bytes) else source)
            finally:
                Image.MAX_IMAGE_PIXELS = limit
        try:
            if image.format == "JPEG":
                image.draft("RGB", least or DECODE_BOUND)
            if limit and image.size[0] * image.size[1] > 2 * limit:
                raise Image.DecompressionBombError(
                    f"{image.size[0]} x {image.size[1]} pixels are more than can be decoded")
            if cut_short:
                with _PILLOW_SETTINGS:
                    ImageFile.LOAD_TRUNCATED_IMAGES = True
                    try:
                        image.load()
                    finally:
                        ImageFile.LOAD_TRUNCATED_IMAGES = False
            else:
                image.load()
            break
        except OSError as error:
            image.close()
            if cut_short or "truncated" not in str(error).lower():
                raise
        except BaseException:
            image.close()
            raise
    if cut_short:
        name = "the picture" if isinstance(source, bytes) else source
        warnings.warn(f"{name} is cut short; showing the part that arrived", MediaWarning)
    return image


class ImageMedia(Media):
    """A still or an animation read by Pillow; animations step through Pillow's frames."""

    def __init__(self, name: str, image: "Image.Image", background: Background = BLACK,
                 least: Optional[Tuple[int, int]] = None) -> None:
        super().__init__()
        self.name = name
        self.least = least
        """The size (width, height) the frames are shown no larger than, when known: a larger
        still is reduced before it is converted (see :data:`MARGIN`)."""
        self._image, self._background = image, background
        count = int(getattr(image, "n_frames", 1)) if getattr(image, "is_animated", False) else 1
        self.kind = "animation" if count > 1 else "still"
        self.loop = count > 1 and image.info.get("loop") == 0
        milliseconds = [0]  # summed whole, so that 60 delays of 100 ms last 6 s, not 5.99...
        for index in range(count):
            milliseconds.append(milliseconds[-1] + self._delay(index))
        self._starts: List[float] = [at / 1000 for at in milliseconds]
        self.duration = self._starts.pop()
        self.rate = count / self.duration if count > 1 else None
        self._next = 0
        self._orientation = image.getexif().get(0x0112, 1) if count == 1 else 1
        width, height = image.size
        self.size = (height, width) if self._orientation in (5, 6, 7, 8) else (width, height)

    def _delay(self, index: int) -> int:
        """Milliseconds frame ``index`` stays on show (0 for a still)."""
        if self.kind == "still":
            return 0
        self._image.seek(index)
        if self._image.format == "WEBP":  # Pillow reads a WebP frame's delay when decoding it
            self._image.load()
        delay = round(float(self._image.info.get("duration") or 0))
        return delay if delay >= MIN_DELAY * 1000 else round(DEFAULT_DELAY * 1000)

    def _pixels(self, index: int) -> Pixels:
        self._image.seek(index)
        picture: Image.Image = self._image
        least = self.output or self.least
        if least is not None and picture.mode in ("RGB", "L"):  # no alpha: averaged as it is laid
            if self._orientation in (5, 6, 7, 8):  # a quarter turn: least is the turned size
                least = (least[1], least[0])
            picture = reduced(picture, least)
        if self._orientation != 1:
            from PIL import ImageOps

            picture = ImageOps.exif_transpose(picture)
        image = bgr(picture, self._background)
        if self.output is not None:
            image = resize(image, *self.output)
        self._next = index + 1
        return image

    def _decoded(self, index: int) -> Optional[Pixels]:
        """Frame ``index``, ``None`` past the last; :class:`MediaError` when it cannot be decoded."""
        if index >= len(self._starts):
            return None
        try:
            return self._pixels(index)
        except (OSError, ValueError, EOFError) as error:
            reason = _detail(error, self.name)
            raise MediaError(f"{self.name}: frame {index + 1} cannot be decoded{reason}") from None

    def _index(self, time: float) -> int:
        return max(bisect.bisect_right(self._starts, time) - 1, 0)

    def picture(self, time: float = 0.0) -> Optional[Pixels]:
        """The frame :meth:`seek` gives, as :class:`Pixels`: what ``show`` prints needs no numpy."""
        return self._decoded(self._index(time))

    def read(self) -> Optional[Frame]:
        index = self._next
        picture = self._decoded(index)
        return None if picture is None else Frame(as_frame(picture), self._starts[index])

    def seek(self, time: float) -> Optional[Frame]:
        self._next = self._index(time)
        return self.read()

    def close(self) -> None:
        self._image.close()
        self._starts = []


def open_image(path: str, background: Background = BLACK) -> ImageMedia:
    """Open the image at ``path``; :class:`MediaError` when Pillow is missing or cannot read it."""
    try:
        from PIL import Image
    except ImportError:
        raise MediaError(f"{path}: images need Pillow; {INSTALL_HINT}") from None
    try:
        return ImageMedia(path, open_picture(path), background)
    except (OSError, ValueError, EOFError, SyntaxError, Image.DecompressionBombError) as error:
        raise MediaError(f"{path}: the image cannot be decoded{_detail(error, path)}") from None


def _detail(error: BaseException, path: str) -> str:
    """Pillow's reason on one line, left out when it only quotes the file name back."""
    text = " ".join(str(error).split())
    return f" ({text})" if text and path not in text and "'" not in text else ""
