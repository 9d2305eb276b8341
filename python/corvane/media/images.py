"""Stills and animated images (GIF, WebP, APNG) through Pillow.

A still is one frame at time 0. An animation's frames are due at the sum of the delays before
them; delays under 20 ms count as 100 ms, as browsers show them. Pixels are taken as the file
means them: EXIF orientation applied, transparency laid over black. The composed picture is
scaled by :func:`corvane.geometry.resize` (by area when it shrinks), as every frame is.
"""

from __future__ import annotations

import bisect
from typing import TYPE_CHECKING, List, Optional

import numpy as np

from ..errors import MediaError
from ..geometry import resize
from . import INSTALL_HINT, Frame, Media

if TYPE_CHECKING:
    from PIL import Image

    from ..geometry import FrameArray

MIN_DELAY = 0.02
"""Delays below this many seconds are taken as ``DEFAULT_DELAY``."""
DEFAULT_DELAY = 0.1

_SIGNATURES = (
    b"\x89PNG\r\n\x1a\n", b"GIF87a", b"GIF89a", b"\xff\xd8\xff", b"BM", b"II*\x00", b"MM\x00*"
)


def is_image(head: bytes) -> bool:
    """Whether a file starting with ``head`` is an image format that Pillow reads."""
    return head.startswith(_SIGNATURES) or (head[:4] == b"RIFF" and head[8:12] == b"WEBP")


def bgr(picture: "Image.Image") -> "FrameArray":
    """The picture as a B, G, R array, transparency laid over black."""
    if picture.mode not in ("RGB", "RGBA"):
        picture = picture.convert("RGBA")
    pixels = np.asarray(picture)
    if picture.mode == "RGBA":
        alpha = pixels[:, :, 3:4].astype(np.uint16)
        pixels = ((pixels[:, :, :3] * alpha + 127) // 255).astype(np.uint8)
    return np.ascontiguousarray(pixels[:, :, 2::-1])


class ImageMedia(Media):
    """A still or an animation read by Pillow; animations step through Pillow's frames."""

    def __init__(self, name: str, image: "Image.Image") -> None:
        super().__init__()
        self.name = name
        self._image = image
        count = int(getattr(image, "n_frames", 1)) if getattr(image, "is_animated", False) else 1
        self.kind = "animation" if count > 1 else "still"
        self._starts: List[float] = [0.0]
        for index in range(count):
            self._starts.append(self._starts[-1] + self._delay(index))
        self.duration = self._starts.pop()
        self.rate = count / self.duration if count > 1 else None
        self._next = 0
        self._orientation = image.getexif().get(0x0112, 1) if count == 1 else 1
        width, height = image.size
        self.size = (height, width) if self._orientation in (5, 6, 7, 8) else (width, height)

    def _delay(self, index: int) -> float:
        """Seconds frame ``index`` stays on show (0 for a still)."""
        if self.kind == "still":
            return 0.0
        self._image.seek(index)
        if self._image.format == "WEBP":  # Pillow reads a WebP frame's delay when decoding it
            self._image.load()
        delay = float(self._image.info.get("duration") or 0) / 1000
        return delay if delay >= MIN_DELAY else DEFAULT_DELAY

    def _frame(self, index: int) -> Frame:
        from PIL import ImageOps

        self._image.seek(index)
        picture: Image.Image = self._image
        if self._orientation != 1:
            picture = ImageOps.exif_transpose(picture)
        if picture.mode not in ("RGB", "RGBA"):
            picture = picture.convert("RGBA")
        image = bgr(picture)
        if self.output is not None:
            image = resize(image, *self.output)
        self._next = index + 1
        return Frame(image, self._starts[index])

    def read(self) -> Optional[Frame]:
        if self._next >= len(self._starts):
            return None
        try:
            return self._frame(self._next)
        except (OSError, ValueError, EOFError) as error:
            reason = _detail(error, self.name)
            raise MediaError(f"{self.name}: frame {self._next + 1} cannot be decoded{reason}") from None

    def seek(self, time: float) -> Optional[Frame]:
        self._next = max(bisect.bisect_right(self._starts, time) - 1, 0)
        return self.read()

    def close(self) -> None:
        self._image.close()
        self._starts = []


def open_image(path: str) -> ImageMedia:
    """Open the image at ``path``; :class:`MediaError` when Pillow is missing or cannot read it."""
    try:
        from PIL import Image
    except ImportError:
        raise MediaError(f"{path}: images need Pillow; {INSTALL_HINT}") from None
    try:
        image = Image.open(path)
        image.load()
        return ImageMedia(path, image)
    except (OSError, ValueError, EOFError, SyntaxError, Image.DecompressionBombError) as error:
        raise MediaError(f"{path}: the image cannot be decoded{_detail(error, path)}") from None


def _detail(error: BaseException, path: str) -> str:
    """Pillow's reason on one line, left out when it only quotes the file name back."""
    text = " ".join(str(error).split())
    return f" ({text})" if text and path not in text and "'" not in text else ""
