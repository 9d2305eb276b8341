"""One picture from a file: the inputs of ``corvane show`` expanded, and their first frames read.

:func:`expand` turns what the command line names (files, glob patterns, directories, ``-``) into
the list of inputs, in order. :func:`first_frame` reads one B, G, R frame from a file name or
from a file's bytes (standard input): pictures through Pillow (the frame on show at a time, for
an animation), videos through OpenCV's ``VideoCapture``, recordings through
:class:`~corvane.recording.Recording`. It is the one place that decodes for ``show``, so that a
media layer can take its place.

Every failure that is the input's fault raises :class:`~corvane.errors.SourceError` whose message
is the reason alone (the caller names the input); a missing Pillow or OpenCV raises
:class:`~corvane.errors.VideoSupportError`. Pure functions, any thread.
"""

from __future__ import annotations

import os
import re
import tempfile
import warnings
from contextlib import contextmanager
from glob import glob
from io import BytesIO
from typing import TYPE_CHECKING, Any, Iterator, List, NamedTuple, Optional, Tuple, Union, cast

import numpy as np

from ..errors import RecordingError, SourceError, VideoSupportError
from ..recording import FRAME_PERIOD, MAGIC, Recording

if TYPE_CHECKING:
    from ..geometry import FrameArray

PICTURE_SUFFIXES = (".png", ".jpg", ".jpeg", ".gif", ".webp", ".bmp", ".tif", ".tiff", ".ppm",
                    ".pgm", ".pbm", ".pnm", ".tga", ".ico", ".apng")
"""The files of a directory that ``show`` takes for pictures."""
STDIN = "-"
_GLOB = re.compile(r"[*?[]")
UNREADABLE = "not a picture or video that can be read"


class Entry(NamedTuple):
    """One input to show: its name, and why it cannot be shown when that is known already."""

    name: str
    problem: Optional[str] = None


def expand(names: List[str]) -> List[Entry]:
    """The inputs named: a directory gives its pictures, sorted by name; a pattern that is no
    file's name gives the names it matches, sorted (a shell leaves a quoted one to us)."""
    entries: List[Entry] = []
    for name in names:
        if name != STDIN and not os.path.lexists(name) and _GLOB.search(name):
            matches = sorted(glob(name))
            for match in matches:
                entries += _entries(match)
            if not matches:
                entries.append(Entry(name, "no file matches"))
        else:
            entries += _entries(name)
    return entries


def _entries(name: str) -> List[Entry]:
    """The entry of a file, or those of a directory's pictures."""
    if name == STDIN or not os.path.isdir(name):
        return [Entry(name)]
    try:
        found = sorted(os.path.join(name, item) for item in os.listdir(name)
                       if item.lower().endswith(PICTURE_SUFFIXES)
                       and os.path.isfile(os.path.join(name, item)))
    except OSError as error:
        return [Entry(name, error.strerror or "cannot be listed")]
    return [Entry(path) for path in found] or [Entry(name, "a directory without pictures")]


def first_frame(source: Union[str, bytes], at: Optional[float] = None, *,
                least: Optional[Tuple[int, int]] = None) -> "FrameArray":
    """The frame on show at ``at`` seconds (default: the first) of the file named ``source``, or
    of the file whose contents ``source`` is. ``least`` (width, height) says the frame will be
    shown no larger than that: a JPEG is then decoded at a fraction of its size."""
    head = source[:16] if isinstance(source, bytes) else _head(source)
    if not head:
        raise SourceError("the file is empty")
    if head.startswith(MAGIC):
        with _named(source) as path:
            return _recording_frame(path, at)
    picture = _picture(source, at, least)
    if picture is not None:
        return picture
    with _named(source) as path:
        return _video_frame(path, at)


def _head(path: str) -> bytes:
    """The first bytes of the file; :class:`SourceError` when it cannot be read."""
    try:
        with open(path, "rb") as file:
            return file.read(16)
    except OSError as error:
        raise SourceError(error.strerror or "cannot be read") from None


@contextmanager
def _named(source: Union[str, bytes]) -> Iterator[str]:
    """A file name for ``source``: itself, or a temporary file holding the bytes."""
    if isinstance(source, str):
        yield source
        return
    with tempfile.NamedTemporaryFile(prefix="corvane-") as file:
        file.write(source)
        file.flush()
        yield file.name


def _pillow() -> Any:
    """Pillow's ``Image`` module, or :class:`VideoSupportError`."""
    try:
        from PIL import Image
    except ImportError:
        raise VideoSupportError("reading pictures", "Pillow") from None
    warnings.simplefilter("ignore", Image.DecompressionBombWarning)
    return Image


def _picture(source: Union[str, bytes], at: Optional[float],
             least: Optional[Tuple[int, int]]) -> "Optional[FrameArray]":
    """The picture, or ``None`` when Pillow does not know the format."""
    image = _pillow()
    try:
        picture = image.open(BytesIO(source) if isinstance(source, bytes) else source)
    except image.UnidentifiedImageError:
        return None
    except (OSError, ValueError, SyntaxError, image.DecompressionBombError) as error:
        raise SourceError(str(error) or UNREADABLE) from None
    try:
        with picture:
            if at is not None and getattr(picture, "n_frames", 1) > 1:
                _seek(picture, at)
            elif least is not None and picture.format == "JPEG":
                picture.draft("RGB", least)
            return _bgr(picture)
    except (OSError, ValueError, SyntaxError, EOFError, image.DecompressionBombError) as error:
        raise SourceError(f"the picture cannot be decoded ({error})") from None


def _seek(picture: Any, at: float) -> None:
    """Go to the frame of an animation that is on show at ``at`` seconds."""
    shown = 0.0
    for index in range(picture.n_frames):
        picture.seek(index)
        shown += picture.info.get("duration", 0) / 1000
        if shown > at:
            return
    raise SourceError(f"no frame at {at:g} s: the animation lasts {shown:g} s")


def _bgr(picture: Any) -> "FrameArray":
    """The decoded picture upright, as B, G, R; what is transparent is black."""
    from PIL import ImageOps

    if picture.getexif().get(0x0112, 1) != 1:  # the camera was held another way round
        picture = ImageOps.exif_transpose(picture)
    if "A" in picture.getbands() or "transparency" in picture.info:
        rgba = np.asarray(picture.convert("RGBA"))
        rgb = (rgba[:, :, :3] * (rgba[:, :, 3:] / 255.0) + 0.5).astype(np.uint8)
    else:
        rgb = np.asarray(picture.convert("RGB"))
    return np.ascontiguousarray(rgb[:, :, ::-1])


def _video_frame(path: str, at: Optional[float]) -> "FrameArray":
    """The frame of a video or animation on show at ``at`` seconds, through the media layer."""
    from . import open_media

    try:
        with open_media(path) as media:
            lasts = media.duration
            past = at is not None and lasts is not None and at >= lasts  # a seek gives the last frame
            frame = None if past else media.seek(at) if at else media.read()
    except SourceError:
        raise SourceError(UNREADABLE) from None
    if past:
        raise SourceError(f"no frame at {at:g} s: the video lasts {lasts:g} s")
    if frame is None:
        raise SourceError(f"no frame at {at:g} s" if at else UNREADABLE)
    return frame.image


def _recording_frame(path: str, at: Optional[float]) -> "FrameArray":
    """The frame of a recording on show at ``at`` seconds, at the players' pace."""
    index = int((at or 0.0) / FRAME_PERIOD)
    try:
        with Recording(path) as recording:
            recording.require_frames()
            if index >= len(recording):
                raise SourceError(f"no frame at {at:g} s: the recording lasts "
                                  f"{len(recording) * FRAME_PERIOD:g} s")
            return recording[index]
    except RecordingError as error:
        raise SourceError(str(error)) from None
    except OSError as error:
        raise SourceError(error.strerror or "cannot be read") from None
