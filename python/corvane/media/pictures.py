"""One picture from a file: the inputs of ``corvane show`` expanded, and their first frames read.

:func:`expand` turns what the command line names (files, glob patterns, directories, ``-``) into
the list of inputs, in order. :func:`first_frame` reads one B, G, R frame (as
:class:`~corvane.geometry.Pixels`: a picture is read without numpy) from a file name or
from a file's bytes, or from a pipe (standard input): pictures and animations through the media
layer's Pillow intake, videos through PyAV (a pipe streamed, never read whole), recordings
through :class:`~corvane.recording.Recording`. :func:`read_stdin` takes at most what a picture
can need from standard input.

Every failure that is the input's fault raises :class:`~corvane.errors.SourceError` whose message
is the reason alone (the caller names the input); a missing Pillow or OpenCV raises
:class:`~corvane.errors.VideoSupportError`. Pure functions, any thread.
"""

from __future__ import annotations

import os
import re
from contextlib import contextmanager
from glob import glob
from typing import IO, TYPE_CHECKING, Iterator, List, NamedTuple, Optional, Tuple, Union

from .._native import RECORDING_MAGIC as MAGIC  # what recording.MAGIC is, without its module's imports
from ..errors import RecordingError, SourceError, VideoSupportError
from ..geometry import Pixels, as_pixels

if TYPE_CHECKING:
    from .images import Background

Source = Union[str, bytes, IO[bytes]]
"""A file name, a file's bytes, or a pipe a video streams from."""
STDIN_LIMIT = 512 << 20
"""The most bytes of a picture or recording read from standard input."""

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


def read_stdin(stream: IO[bytes]) -> Source:
    """What ``show -`` takes from ``stream``: all of a picture or recording (at most
    :data:`STDIN_LIMIT` bytes), or the stream itself for anything else, a video to stream."""
    from .images import is_image

    peek = getattr(stream, "peek", None)
    head = peek(16)[:16] if peek is not None else b""
    if peek is not None and not head:
        return b""  # already at its end: a terminal's Ctrl-D ends one read, not the next
    if head and not head.startswith(MAGIC) and not is_image(head):
        return stream
    data = stream.read(STDIN_LIMIT + 1)
    if len(data) > STDIN_LIMIT:
        raise SourceError(f"more than {STDIN_LIMIT >> 20} MiB: too large for a picture")
    return data


def first_frame(source: Source, at: Optional[float] = None, *,
                least: Optional[Tuple[int, int]] = None,
                background: "Optional[Background]" = None) -> Pixels:
    """The frame on show at ``at`` seconds (default: the first) of the file named ``source``, of
    the file whose contents ``source`` is, or of the video streaming from it. ``least`` (width,
    height) says the frame will be shown no larger than that: a JPEG is then decoded at a
    fraction of its size. Transparency is laid over ``background`` (default: black)."""
    if not isinstance(source, (str, bytes)):
        return _video_frame(source, at)
    head = source[:16] if isinstance(source, bytes) else _head(source)
    if not head:
        raise SourceError("the file is empty")
    if head.startswith(MAGIC):
        with _named(source) as path:
            return _recording_frame(path, at)
    picture = _picture(source, at, least, background)
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
    import tempfile  # only for bytes that must be a file: a few milliseconds of every show else

    with tempfile.NamedTemporaryFile(prefix="corvane-") as file:
        file.write(source)
        file.flush()
        yield file.name


def _picture(source: Union[str, bytes], at: Optional[float], least: Optional[Tuple[int, int]],
             background: "Optional[Background]") -> Optional[Pixels]:
    """The picture, or ``None`` when Pillow does not know the format."""
    try:
        from PIL import Image, UnidentifiedImageError
    except ImportError:
        raise VideoSupportError("reading pictures", "Pillow") from None
    from .images import BLACK, ImageMedia, open_picture

    try:
        picture = open_picture(source, least)
    except UnidentifiedImageError:
        return None
    except (OSError, ValueError, SyntaxError, EOFError, Image.DecompressionBombError) as error:
        raise SourceError(f"the picture cannot be decoded ({error})") from None
    try:
        media = ImageMedia("", picture, background or BLACK, least)
        with media:
            if at is not None and media.duration is not None and at >= media.duration > 0:
                raise SourceError(f"no frame at {at:g} s: the animation lasts {media.duration:g} s")
            frame = media.picture(at or 0.0)
    except SourceError as error:
        raise SourceError(str(error).lstrip(": ")) from None
    assert frame is not None
    return frame


def _video_frame(source: "Union[str, IO[bytes]]", at: Optional[float]) -> Pixels:
    """The frame of a video on show at ``at`` seconds, through the media layer; from a pipe,
    the frames before it are read and passed over."""
    from . import open_media
    from .video import open_video

    try:
        with open_media(source) if isinstance(source, str) else open_video(source) as media:
            lasts = media.duration
            past = at is not None and lasts is not None and at >= lasts  # a seek gives the last frame
            frame = None if past else media.seek(at) if at else media.read()
    except SourceError:
        raise SourceError(UNREADABLE) from None
    if past:
        raise SourceError(f"no frame at {at:g} s: the video lasts {lasts:g} s")
    if frame is None:
        raise SourceError(f"no frame at {at:g} s" if at else UNREADABLE)
    return as_pixels(frame.image)


def _recording_frame(path: str, at: Optional[float]) -> Pixels:
    """The frame of a recording on show at ``at`` seconds, at the players' pace."""
    from ..recording import FRAME_PERIOD, Recording

    index = int((at or 0.0) / FRAME_PERIOD)
    try:
        with Recording(path) as recording:
            recording.require_frames()
            if index >= len(recording):
                raise SourceError(f"no frame at {at:g} s: the recording lasts "
                                  f"{len(recording) * FRAME_PERIOD:g} s")
            return as_pixels(recording[index])
    except RecordingError as error:
        raise SourceError(str(error)) from None
    except OSError as error:
        raise SourceError(error.strerror or "cannot be read") from None
