"""Media input: video files, animated and still images, and cameras as timed B, G, R frames.

``open_media`` picks the reader: Pillow for stills and animated GIF, WebP and APNG (their own
frame delays), PyAV (FFmpeg) for video files and V4L2 cameras. Every reader yields
:class:`Frame` objects, an H x W x 3 ``uint8`` array (B, G, R) at the size set with
:meth:`Media.set_output_size` and its presentation time in seconds on the file's own timeline
(the first frame near 0), so a player paces by timestamps, not by a nominal rate.

A reader belongs to the thread that uses it; the sound of a video is read by a separate reader
(:mod:`corvane.media.sound`) on its own thread. Every failure that is the input's fault, or a
missing optional package, raises :class:`MediaError` with a plain one-line message that names the
input as given (the caller escapes it for the terminal).
"""

from __future__ import annotations

import os
import stat
from typing import TYPE_CHECKING, Iterator, NamedTuple, Optional, Tuple

from ..errors import MediaError as MediaError  # documented here too

if TYPE_CHECKING:
    from types import TracebackType

    from ..geometry import FrameArray
    from .images import Background
    from .video import DrawnSize

INSTALL_HINT = "install them with: pip install 'corvane[video]'"


class Frame(NamedTuple):
    """One picture and the time it is due, in seconds from the start of the media."""

    image: "FrameArray"
    time: float


class Media:
    """A source of timed frames. Subclasses fill in the attributes and the reading methods."""

    name: str
    """The input as given (a path, or ``camera N``)."""
    kind: str
    """``"video"``, ``"animation"``, ``"still"`` or ``"camera"``."""
    size: Tuple[int, int]
    """Width and height of the picture as it is meant to be seen (rotation applied)."""
    duration: Optional[float] = None
    """Seconds from the first frame to the end, when known."""
    rate: Optional[float] = None
    """Nominal frames per second, when known (pacing follows the frame times, not this)."""
    has_audio = False
    """Whether a sound track comes with the pictures."""
    loop = False
    """Whether the file asks to be played over and over (an animation looping forever)."""
    seekable = True

    def __init__(self) -> None:
        self.output: Optional[Tuple[int, int]] = None

    def set_output_size(self, width: int, height: int) -> None:
        """Frames read from now on come scaled to ``width`` x ``height`` (both at least 1)."""
        if width < 1 or height < 1:
            raise ValueError(f"an output size of {width} x {height} is empty")
        self.output = (width, height)

    def read(self) -> Optional[Frame]:
        """The next frame, or ``None`` after the last."""
        raise NotImplementedError

    def seek(self, time: float) -> Optional[Frame]:
        """The frame on show at ``time`` (the first frame before the start); :meth:`read` goes on
        after it. ``None`` when the media has no frames."""
        raise NotImplementedError

    def close(self) -> None:
        """Let go of the file or device; further reads return ``None``."""

    def __iter__(self) -> Iterator[Frame]:
        while True:
            frame = self.read()
            if frame is None:
                return
            yield frame

    def __enter__(self) -> "Media":
        return self

    def __exit__(
        self, kind: "Optional[type]", error: "Optional[BaseException]",
        trace: "Optional[TracebackType]",
    ) -> None:
        self.close()


def check_camera(index: int) -> str:
    """The device path of camera ``index``; :class:`MediaError` unless it names a video device."""
    if index < 0 or index > 63:
        raise MediaError(f"camera {index}: the camera number is 0 to 63")
    path = f"/dev/video{index}"
    try:
        mode = os.stat(path).st_mode
    except OSError:
        raise MediaError(f"camera {index}: there is no {path}") from None
    if not stat.S_ISCHR(mode):
        raise MediaError(f"camera {index}: {path} is not a video device")
    return path


def open_media(path: Optional[str] = None, *, camera: Optional[int] = None,
               background: "Optional[Background]" = None,
               drawn_size: "Optional[DrawnSize]" = None) -> Media:
    """Open the file at ``path`` or camera number ``camera`` (exactly one of them).

    Images that Pillow knows are read by Pillow, their transparency laid over ``background``
    (default: black); everything else goes to FFmpeg (``drawn_size``: see
    :func:`~corvane.media.video.open_video`).
    """
    if (path is None) == (camera is None):
        raise MediaError("give either a file or a camera")
    if camera is not None:
        device = check_camera(camera)
        from .video import open_camera

        return open_camera(device, f"camera {camera}")
    assert path is not None
    try:
        with open(path, "rb") as file:
            head = file.read(64)
    except OSError as error:
        raise MediaError(f"{path}: {error.strerror or 'cannot be read'}") from None
    if not head:
        raise MediaError(f"{path}: the file is empty")
    from .images import is_image, open_image

    if is_image(head):
        return open_image(path) if background is None else open_image(path, background)
    from .video import open_video

    return open_video(path, drawn_size=drawn_size)
