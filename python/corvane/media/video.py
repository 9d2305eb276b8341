"""Video files and V4L2 cameras through PyAV (FFmpeg).

Frames carry their presentation times (``pts`` x time base, less the file's start time), so
variable frame rates play as they were made. The decoder gives frames in the order they are
shown, but a file with packed B-frames (MPEG-4 Part 2 in AVI, as DivX wrote them) tags them with
their neighbours' times: so each frame gets the smallest time decoded and not yet given,
``REORDER`` frames behind the decoder, which puts any such shuffle back in order. Each shown
frame is converted to B, G, R by FFmpeg, which at the same time shrinks it by area to
:data:`STEPS` times the output size, and :func:`corvane.geometry.resize` averages that down to
the output: FFmpeg's ``area`` scaler straight to a size far below the frame's averages far fewer
source pixels than an output pixel covers (a 1080p frame at 80 columns came out 27 dB short of
the true averages), the native one averages them all but costs ten times more from full size;
the two steps stay within a fraction of a dB of the true averages (about 50 dB from them) for
a little more than FFmpeg's one step. Frames passed over while seeking are never converted.
Rotation metadata (the display matrix) is applied after scaling, on the small frame.

A file is decoded on the calling thread up to 1080p at 30 fps (:data:`ONE_THREAD`), on FFmpeg's
own threads above; a camera on FFmpeg's default. The object belongs to one Python thread. A packet
that fails to decode is skipped; a file that yields no frame at all is refused on opening.
"""

from __future__ import annotations

import heapq
import importlib
import itertools
import time as _time
from collections import deque
from typing import IO, TYPE_CHECKING, Any, Callable, Deque, Iterator, List, Optional, Tuple, Type, Union, cast

import numpy as np

from ..errors import MediaError
from ..geometry import resize
from . import INSTALL_HINT, Frame, Media

if TYPE_CHECKING:
    import av
    import av.container
    import av.video.frame

    from ..geometry import FrameArray

    Timed = Tuple["av.video.frame.VideoFrame", float]

DrawnSize = Callable[[Tuple[int, int]], Tuple[int, int]]
"""The size (width, height) a source of a size is drawn at (as ``Screen.drawn_size``)."""

SEEK_MARGIN = 0.25
"""Seconds before a seek's target from which every frame is decoded again."""
REORDER = 3
"""Frames held back so their times can be given in order (none for a camera: no delay)."""
CONVERSION: Optional[Any] = "ACCURATE_RND"
"""FFmpeg's flag for the colour conversion (its fast unscaled path is a level off); ``None``
once a PyAV that does not know the flag refused it."""
STEPS = (2,)
"""How many times the output size FFmpeg shrinks a frame to, the first that the frame exceeds:
its area scaler stays true to the averages at even steps (odd ones lose 10 dB)."""
ONE_THREAD = 1920 * 1080 * 30
"""Pixels a second up to which a file is decoded on one thread: one core decodes 1080p at 30 fps
several times over, and FFmpeg's threads would cost a fifth more CPU a frame in handing frames
between them (1080p H.264 on 2 cores: 4.9 ms a frame on FFmpeg's three, 3.8 ms on one)."""
SHRINK: Optional[Any] = None
"""FFmpeg's flags for shrinking by area with accurate rounding, resolved on first use."""
DEBLOCK_UNSEEN = 4
"""How many times (at least, in both directions) a file is shrunk for drawing before the
decoder skips the in-loop (deblocking) filter of frames that no other frame refers to: a
fifth less decoding for H.264 with B-frames (1080p on one thread: 3.5 against 4.1 ms a frame),
and nothing seen at such a shrink, as the error dies with the frame (a 1080p clip at 200 x
112: 69.6 dB from a full decode over 6 key-frame intervals). Skipping it on every frame would
save twice that but carries the error on to the next key frame (39 dB), and drawn near full
size the blocks would show."""


def shrink_flags(av: Any) -> Any:
    """Area scaling with accurate rounding, or plain area where PyAV cannot combine flags."""
    global SHRINK
    if SHRINK is None:
        try:
            flags = av.video.reformatter.Interpolation
            SHRINK = flags.AREA | flags.ACCURATE_RND
        except (AttributeError, TypeError, ValueError):
            SHRINK = "AREA"
    return SHRINK


def import_av(what: str) -> Any:
    """The ``av`` module, or :class:`MediaError` saying how to install it."""
    try:
        import av
    except ImportError:
        raise MediaError(f"{what} needs PyAV; {INSTALL_HINT}") from None
    return av


def av_errors(av: Any) -> Tuple[Type[BaseException], ...]:
    """The exceptions PyAV raises for FFmpeg's failures."""
    return (av.error.FFmpegError, ValueError, OSError)


def ffmpeg_reason(error: BaseException) -> str:
    """FFmpeg's reason for a failure, without the file name PyAV appends."""
    reason = getattr(error, "strerror", None) or ""
    return " ".join(str(reason).split()).lower() or "cannot be read"


def shrink_of(width: int, height: int, drawn_size: DrawnSize) -> float:
    """How many times (at least, in both directions) a ``width`` x ``height`` frame is shrunk
    when drawn at ``drawn_size((w, h))``, upright or turned a quarter (the turn is known only
    from a decoded frame)."""
    if width <= 0 or height <= 0:
        return 0.0
    shrinks = []
    for shown in ((width, height), (height, width)):
        out_w, out_h = drawn_size(shown)
        shrinks.append(min(shown[0] / max(out_w, 1), shown[1] / max(out_h, 1)))
    return min(shrinks)


def rotation_of(frame: "av.video.frame.VideoFrame", stream: Any) -> int:
    """Quarter turns counter-clockwise that show ``frame`` upright (0 to 3)."""
    degrees = getattr(frame, "rotation", None)  # PyAV 13 on: the frame's display matrix
    if degrees is None:
        degrees = (getattr(stream, "side_data", None) or {}).get("DISPLAYMATRIX")
    if degrees is None:  # older files: a clockwise "rotate" tag
        tag = str(stream.metadata.get("rotate", "0"))
        degrees = -float(tag) if tag.lstrip("-").isdigit() else 0.0
    return int(round(float(degrees) / 90)) % 4


class VideoMedia(Media):
    """A video file or a camera opened by PyAV; reads frames in order, seeks by time."""

    def __init__(
        self, name: str, container: "av.container.InputContainer", *, camera: bool,
        drawn_size: Optional[DrawnSize] = None,
    ) -> None:
        super().__init__()
        self.name = name
        self.kind = "camera" if camera else "video"
        self.seekable = not camera
        self._container: Optional[Any] = container
        self._av = import_av(name)
        self._errors = av_errors(self._av)
        self._scaler = self._av.video.reformatter.VideoReformatter()  # kept: FFmpeg's set-up once
        stream = self._stream = container.streams.video[0]
        self._base = float(stream.time_base) if stream.time_base else 1 / 90000
        self._origin = container.start_time / 1e6 if container.start_time is not None else 0.0
        rate = stream.average_rate or stream.guessed_rate
        self.rate = float(rate) if rate and 0 < float(rate) <= 1000 else None
        if not camera:
            stream.thread_type = "AUTO"
            if 0 < (stream.width or 0) * (stream.height or 0) * (self.rate or 30.0) <= ONE_THREAD:
                stream.codec_context.thread_count = 1
            if drawn_size is not None and shrink_of(stream.width, stream.height, drawn_size) >= DEBLOCK_UNSEEN:
                stream.codec_context.options = {"skip_loop_filter": "noref"}  # set before the decoder opens
        if container.duration and container.duration > 0 and not camera:
            self.duration = container.duration / 1e6
        self.has_audio = bool(container.streams.audio) and not camera
        self._last = -1.0
        self._frames = self._timed(self._decode())
        self._pending: Optional[Timed] = next(self._frames, None)
        self._untouched = True
        """Whether nothing was given yet: the pending frame is the first."""
        if self._pending is None:
            raise MediaError(f"{name}: no video frame can be decoded")
        self._turns = rotation_of(self._pending[0], stream)
        width, height = self._pending[0].width, self._pending[0].height
        self.size = (height, width) if self._turns % 2 else (width, height)
        if camera:
            self._origin, self._pending = self._pending[1] + self._origin, (self._pending[0], 0.0)

    def _decode(self, skip_until: float = -1.0) -> "Iterator[av.video.frame.VideoFrame]":
        """Decoded frames in order; frames that nothing refers to are not even decoded while
        packets are more than ``SEEK_MARGIN`` before ``skip_until`` (passed over by a seek)."""
        assert self._container is not None
        context = self._stream.codec_context
        for packet in self._container.demux(self._stream):
            if skip_until >= 0:
                early = packet.pts is not None and packet.pts * self._base - self._origin < skip_until
                context.skip_frame = "NONREF" if early else "DEFAULT"
                skip_until = skip_until if early else -1.0
            try:
                frames = packet.decode()
            except self._errors:  # a damaged packet
                continue
            yield from frames

    def _timed(self, frames: "Iterator[av.video.frame.VideoFrame]") -> "Iterator[Timed]":
        """``frames`` with their times in order: each the smallest time decoded and not yet
        given; a frame without one comes a nominal frame after the one before."""
        times: List[int] = []
        held: Deque[av.video.frame.VideoFrame] = deque()
        depth = 0 if self.kind == "camera" else REORDER
        last = self._last
        for frame in itertools.chain(frames, [None] * depth):
            if frame is not None:
                if frame.pts is not None:
                    heapq.heappush(times, frame.pts)
                held.append(frame)
            if len(held) > depth or (frame is None and held):
                shown = held.popleft()
                if shown.pts is None or not times:
                    last += 1 / (self.rate or 30.0)
                else:
                    last = heapq.heappop(times) * self._base - self._origin
                yield shown, last

    def _convert(self, timed: "Timed") -> Frame:
        frame, self._last = timed
        self._untouched = False
        width, height = self.output or self.size
        if self._turns % 2:
            width, height = height, width
        step = next((step for step in STEPS
                     if step * width <= frame.width and step * height <= frame.height), 0)
        size = (step * width or None, step * height or None)  # None: the frame's own
        global CONVERSION, SHRINK
        try:
            flags = shrink_flags(self._av) if step else CONVERSION
            converted = self._scaler.reformat(frame, width=size[0], height=size[1], format="bgr24",
                                              interpolation=flags).to_ndarray()
        except (ValueError, KeyError, TypeError):  # a PyAV that knows neither flag nor combination
            if step:
                SHRINK = "AREA"
            else:
                CONVERSION = None
            converted = self._scaler.reformat(frame, width=size[0], height=size[1], format="bgr24",
                                              interpolation=SHRINK if step else None).to_ndarray()
        image = resize(cast("FrameArray", converted), width, height)
        if self._turns:
            image = np.ascontiguousarray(np.rot90(image, self._turns))
        return Frame(image, self._last)

    def read(self) -> Optional[Frame]:
        pending, self._pending = self._pending, None
        if pending is not None:
            return self._convert(pending)
        if self._container is None:
            return None
        try:
            frame = next(self._frames, None)
        except self._errors as error:
            raise MediaError(f"{self.name}: {ffmpeg_reason(error)}") from None
        return None if frame is None else self._convert(frame)

    def seek(self, time: float) -> Optional[Frame]:
        """From a camera or a pipe, the frames up to ``time`` are read and passed over."""
        if self._container is None:
            return self.read()
        target = max(time, 0.0)
        if self._untouched and self._pending is not None and target <= self._pending[1] + 1e-6:
            return self.read()  # the first frame, decoded on opening: seeking would decode it again
        if self.seekable:
            try:
                position = max(int((target + self._origin) / self._base), 0)
                self._container.seek(position, stream=self._stream, backward=True)
            except self._errors as error:
                raise MediaError(f"{self.name}: cannot seek ({ffmpeg_reason(error)})") from None
            self._last = -1.0
            self._frames = self._timed(self._decode(max(target - SEEK_MARGIN, 0.0)))
            self._pending = None
        shown, frames = self._pending, self._frames
        self._pending = None
        if shown is not None and shown[1] > target + 1e-6:
            return self._convert(shown)
        for timed in frames:
            if timed[1] > target + 1e-6:
                if shown is None:
                    return self._convert(timed)
                self._pending = timed
                break
            shown = timed
        return None if shown is None else self._convert(shown)

    def close(self) -> None:
        if self._container is not None:
            self._container.close()
            self._container = None
            self._pending = None


def _open(what: str, name: "Union[str, IO[bytes]]", **options: Any) -> Any:
    av = import_av(what)
    try:
        container = av.open(name, **options)
    except av_errors(av) as error:
        raise MediaError(f"{what}: {ffmpeg_reason(error)}") from None
    if not container.streams.video:
        container.close()
        raise MediaError(f"{what}: no video track")
    return container


def open_video(source: "Union[str, IO[bytes]]", name: str = "-", *,
               drawn_size: Optional[DrawnSize] = None) -> VideoMedia:
    """Open a video file (any container and codec FFmpeg reads), or stream one from a pipe
    (``name`` in messages; it cannot seek back). ``drawn_size``: the size frames of a size will
    be drawn at, when known on opening: a file shrunk :data:`DEBLOCK_UNSEEN` times or more decodes
    for less (the decoder is set up once, so a terminal made larger later keeps that)."""
    if isinstance(source, str):
        name = source
    container = _open(name, source, mode="r")
    try:
        media = VideoMedia(name, container, camera=False, drawn_size=drawn_size)
        media.seekable = isinstance(source, str)
        return media
    except BaseException:
        container.close()
        raise


def open_camera(device: str, name: str) -> Media:
    """Open a V4L2 camera through PyAV, or through OpenCV when PyAV's FFmpeg lacks V4L2."""
    av = import_av(name)
    if "v4l2" not in str(getattr(av, "formats_available", "")):
        return _OpenCvCamera(device, name)
    container = _open(name, device, format="v4l2", options={"fflags": "nobuffer"})
    try:
        return VideoMedia(name, container, camera=True)
    except BaseException:
        container.close()
        raise


class _OpenCvCamera(Media):
    """A camera read by OpenCV; frames are timed by the clock when they arrive."""

    def __init__(self, device: str, name: str) -> None:
        super().__init__()
        try:
            cv2: Any = importlib.import_module("cv2")
        except ImportError:
            raise MediaError(
                f"{name}: this PyAV has no V4L2 input and OpenCV is not installed"
            ) from None
        self.name, self.kind, self.seekable = name, "camera", False
        self._cv2: Optional[Any] = cv2
        self._capture = cv2.VideoCapture(device)
        ok, first = self._capture.read() if self._capture.isOpened() else (False, None)
        if not ok or first is None:
            self._capture.release()
            raise MediaError(f"{name}: the camera cannot be opened")
        self._first: Optional[Any] = first
        self.size = (int(first.shape[1]), int(first.shape[0]))
        self._start = _time.monotonic()

    def read(self) -> Optional[Frame]:
        if self._cv2 is None:
            return None
        image = self._first
        self._first = None
        if image is None:
            ok, image = self._capture.read()
            if not ok:
                return None
        if self.output is not None:
            image = resize(image, *self.output)
        return Frame(cast("FrameArray", image), _time.monotonic() - self._start)

    def seek(self, time: float) -> Optional[Frame]:
        return self.read()

    def close(self) -> None:
        if self._cv2 is not None:
            self._capture.release()
            self._cv2 = None

