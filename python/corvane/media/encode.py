"""Timed frames written out as H.264 video or an animated GIF.

Frames come as ``(image, time)`` pairs (B, G, R arrays, seconds); :func:`timed` makes them from
frames at a fixed rate and :func:`trim` cuts a range. The first frame sets the size; a frame of
another size (the terminal was resized while recording) is letterboxed into it.

- ``.mp4``, ``.m4v``, ``.mov``, ``.mkv``: H.264 (libx264 through PyAV), yuv420p with BT.709
  tags, sizes padded to even with black, each frame at its own time (millisecond time base), the
  index at the front of MP4 files so browsers start playing at once.
- ``.gif``: Pillow, an adaptive palette per frame, delays in hundredths of a second rounded on
  the running time (so the pace holds over the whole file); frames closer than 20 ms to the last
  kept one are left out, because browsers show shorter delays as 100 ms.

The file is written under a temporary name beside the target and moved into place at the end:
a failed export leaves nothing, and an existing file is replaced only with ``overwrite``. It gets
the mode of any new file (0666 less the umask).
Failures raise :class:`~corvane.media.MediaError`. Runs on the caller's thread.
"""

from __future__ import annotations

import os
import tempfile
from fractions import Fraction
from typing import TYPE_CHECKING, Callable, Iterable, Iterator, List, Optional, Tuple

import numpy as np

from ..geometry import letterbox
from ..errors import MediaError
from . import INSTALL_HINT
from .video import av_errors, ffmpeg_reason, import_av

if TYPE_CHECKING:
    from PIL import Image

    from ..geometry import FrameArray

    Timed = Tuple[FrameArray, float]

H264_SUFFIXES = {".mp4": "mp4", ".m4v": "mp4", ".mov": "mov", ".mkv": "matroska"}
GIF_SUFFIX = ".gif"
GIF_MIN_DELAY = 2
"""Hundredths of a second: the shortest delay browsers honour."""


def timed(frames: "Iterable[FrameArray]", rate: float) -> "Iterator[Timed]":
    """``frames`` at ``rate`` per second, the first at 0."""
    for index, image in enumerate(frames):
        yield image, index / rate


def trim(
    frames: "Iterable[Timed]", start: float = 0.0, end: Optional[float] = None
) -> "Iterator[Timed]":
    """The frames on show from ``start`` to ``end``, times counted from ``start``: the frame on
    show at ``start`` comes first, at 0."""
    held: "Optional[Timed]" = None
    for image, time in frames:
        if end is not None and time >= end:
            break
        if time <= start:
            held = (image, 0.0)
            continue
        if held is not None:
            yield held
            held = None
        yield image, time - start
    if held is not None:
        yield held


def _fitted(frames: "Iterable[Timed]", even: bool) -> "Iterator[Timed]":
    """Frames brought to the first frame's size (padded to even sizes with ``even``)."""
    size: Optional[Tuple[int, int]] = None
    for image, time in frames:
        height, width = image.shape[:2]
        if size is None:
            size = (width + (width & 1), height + (height & 1)) if even else (width, height)
        if (width, height) != size:
            if 0 <= size[0] - width <= 1 and 0 <= size[1] - height <= 1:  # the even padding
                padded = np.zeros((size[1], size[0], 3), np.uint8)
                padded[:height, :width] = image
                image = padded
            else:
                image = letterbox(image, *size)
        yield image, time


def _place(path: str, write: Callable[[str], int], overwrite: bool) -> int:
    """Run ``write`` on a temporary file beside ``path``, then move it to ``path``."""
    folder, name = os.path.split(os.path.abspath(path))
    fd, temp = tempfile.mkstemp(prefix=f".{name}.", suffix=".part", dir=folder)
    try:
        mask = os.umask(0o022)  # read back at once: the mode every other output gets
        os.umask(mask)
        os.fchmod(fd, 0o666 & ~mask)  # mkstemp makes it private
    finally:
        os.close(fd)
    try:
        count = write(temp)
        if overwrite:
            os.replace(temp, path)
        else:
            os.link(temp, path)  # fails if the target appeared meanwhile: nothing is replaced
            os.unlink(temp)
        return count
    except FileExistsError:
        raise MediaError(f"{path}: the file exists") from None
    finally:
        if os.path.exists(temp):
            os.unlink(temp)


def write_h264(
    path: str, frames: "Iterable[Timed]", *, overwrite: bool = False, crf: int = 18
) -> int:
    """Write ``frames`` as H.264 to ``path`` (container by suffix); the number of frames."""
    av = import_av("video export")
    container_format = H264_SUFFIXES.get(os.path.splitext(path)[1].lower(), "mp4")

    def write(temp: str) -> int:
        options = {"movflags": "+faststart"} if container_format in ("mp4", "mov") else {}
        count, last = 0, -1
        with av.open(temp, "w", format=container_format, options=options) as output:
            stream = None
            for image, time in _fitted(frames, even=True):
                if stream is None:
                    stream = output.add_stream("libx264", rate=30, options={
                        "crf": str(crf), "preset": "medium",
                        "x264-params": "colorprim=bt709:transfer=bt709:colormatrix=bt709",
                    })
                    stream.width, stream.height = image.shape[1], image.shape[0]
                    stream.pix_fmt = "yuv420p"
                    stream.codec_context.time_base = Fraction(1, 1000)
                frame = av.VideoFrame.from_ndarray(image, format="bgr24").reformat(
                    format="yuv420p", dst_colorspace="ITU709"
                )
                last = frame.pts = max(int(round(time * 1000)), last + 1)
                frame.time_base = Fraction(1, 1000)
                output.mux(stream.encode(frame))
                count += 1
            if stream is None:
                raise MediaError(f"{path}: no frames to write")
            output.mux(stream.encode(None))
        return count

    try:
        return _place(path, write, overwrite)
    except av_errors(av) as error:
        raise MediaError(f"{path}: {ffmpeg_reason(error)}") from None


def write_gif(path: str, frames: "Iterable[Timed]", *, end: Optional[float] = None,
              overwrite: bool = False) -> int:
    """Write ``frames`` as an endlessly looping GIF; ``end`` is when the last frame stops
    showing (default: one average frame later). The number of frames written."""
    try:
        from PIL import Image
    except ImportError:
        raise MediaError(f"{path}: GIF export needs Pillow; {INSTALL_HINT}") from None
    pictures: "List[Image.Image]" = []
    ticks: List[int] = []  # start of each kept frame in hundredths of a second
    for image, time in _fitted(frames, even=False):
        tick = int(round(time * 100))
        if ticks and tick - ticks[-1] < GIF_MIN_DELAY:
            pictures[-1] = _paletted(image)  # the later picture is the one that stays on show
            continue
        pictures.append(_paletted(image))
        ticks.append(tick)
    if not pictures:
        raise MediaError(f"{path}: no frames to write")
    average = (ticks[-1] - ticks[0]) / (len(ticks) - 1) if len(ticks) > 1 else 10
    stop = int(round(end * 100)) if end is not None else ticks[-1] + int(round(average))
    ticks.append(max(stop, ticks[-1] + GIF_MIN_DELAY))
    delays = [10 * (b - a) for a, b in zip(ticks, ticks[1:])]

    def write(temp: str) -> int:
        pictures[0].save(
            temp, format="GIF", save_all=True, append_images=pictures[1:], duration=delays,
            loop=0, optimize=False, disposal=1,
        )
        return len(pictures)

    try:
        return _place(path, write, overwrite)
    except OSError as error:
        raise MediaError(f"{path}: {error.strerror or 'cannot be written'}") from None


def _paletted(image: "FrameArray") -> "Image.Image":
    from PIL import Image

    picture = Image.fromarray(np.ascontiguousarray(image[:, :, ::-1]), "RGB")
    return picture.quantize(256, method=Image.Quantize.MEDIANCUT, dither=Image.Dither.NONE)


def write_video(path: str, frames: "Iterable[Timed]", *, end: Optional[float] = None,
                overwrite: bool = False) -> int:
    """``frames`` to ``path`` as a GIF or H.264 by its suffix; :class:`MediaError` for others."""
    suffix = os.path.splitext(path)[1].lower()
    if suffix == GIF_SUFFIX:
        return write_gif(path, frames, end=end, overwrite=overwrite)
    if suffix in H264_SUFFIXES:
        return write_h264(path, frames, overwrite=overwrite)
    raise MediaError(f"{path}: not a kind of video written here (.mp4, .m4v, .mov, .mkv, .gif)")
