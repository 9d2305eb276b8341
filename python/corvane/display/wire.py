"""The wire: frames through the wire encoder (``corvane._native``) and a writer thread.

What reaches the eye is bounded by the bytes the terminal and the link take, so this path spends
CPU to save bytes: the colour depth the terminal has (:func:`detect_colors`), a tolerance below
which a cell on screen is left alone, and rate control that drops frames and raises the
tolerance when the link falls behind, so the picture is never more than one frame late.

Contract:

- :class:`Link` owns one writer thread per output descriptor. Frames are handed over whole, or
  as a callable that makes them, which the writer thread calls (so a frame is encoded while the
  caller decodes the next), and written with the interpreter lock released (``os.write``); at
  most one frame is queued or in flight, and a frame offered while one is is dropped by the
  caller (:meth:`Link.busy`). Text (the status line) is never dropped and goes out after the
  frames before it. A write error is kept and raised as ``OSError`` by the next call, on every
  call after it, as is what a callable raised: it is never lost.
- :class:`Wire` is one encoder with its link and rate control; it belongs to the thread that
  made it (the encoder checks that), the writer thread touches only the link's queue. Its
  ``shape`` (:data:`SHAPES`) is the cell it draws: half blocks through ``Encoder``, the finer
  shapes through ``CellEncoder``, both with the same diff redraw, tolerance and rate control. A
  frame has :func:`pixels_per_cell` pixels for every cell (half: 1 x 2).
- A bad colour depth or tolerance is a ``ValueError`` (:func:`resolve_colors`,
  :func:`check_tolerance`); the command line checks its options itself, before they get here.
"""

from __future__ import annotations

import atexit
import errno
import os
import select
import time
from collections import deque
from typing import TYPE_CHECKING, Callable, Deque, List, Mapping, Optional, Tuple, Union

if TYPE_CHECKING:
    from .._native import CellEncoder, Encoder
    from ..geometry import FrameArray

COLOR_CHOICES = ("auto", "24bit", "256", "16")
"""The values of ``--colors`` and ``Screen(colors=...)``."""
DEFAULT_TOLERANCE = 2
"""The tolerance when none is given: a component off by at most 2 of 255 is not seen on a
terminal, and it removes the sensor noise of a camera (chosen by measurement, see benchmarks/)."""
MAX_TOLERANCE = 64
"""The largest tolerance taken (the encoder's own bound): beyond it the picture is more wrong than right."""
RATE_CEILING = 10
"""Rate control raises the tolerance up to this, never further."""
Payload = Union[bytes, Callable[[], bytes]]
"""What a :class:`Link` writes: bytes, or a callable that makes them on the writer thread."""
SHAPES = {"half": (1, 2), "quadrant": (2, 2), "sextant": (2, 3), "octant": (2, 4)}
"""The cell shapes the wire draws, with the pixels (wide, high) each cell shows."""


def pixels_per_cell(shape: str) -> Tuple[int, int]:
    """``(w, h)``: the pixels a cell of ``shape`` shows, so a grid of ``cols`` x ``rows`` cells
    takes a frame of ``cols * w`` x ``rows * h`` pixels. ``ValueError`` for an unknown shape."""
    try:
        return SHAPES[shape]
    except KeyError:
        raise ValueError(f"shape must be one of {', '.join(SHAPES)}, not {shape!r}") from None


def detect_colors(environ: Optional[Mapping[str, str]] = None) -> int:
    """The colours the terminal shows, 24 (bits), 256 or 16: ``COLORTERM`` truecolor or 24bit is
    24-bit; inside tmux (``TERM`` screen* or tmux*) what tmux knows of the terminal it is
    attached to (its features RGB or 256); ``TERM=linux`` (the console) 16, a ``TERM`` ending in
    ``-256color`` 256; anything else 24-bit."""
    env = os.environ if environ is None else environ
    if env.get("COLORTERM", "").lower() in ("truecolor", "24bit"):
        return 24
    term = env.get("TERM", "")
    if env.get("TMUX") and term.startswith(("screen", "tmux")):
        features = _tmux_features(env)
        if features:  # tmux passes 24-bit colours on only to a terminal that shows them
            return 24 if "RGB" in features else 256 if "256" in features else 16
    if term == "linux":
        return 16
    if term.endswith("-256color"):
        return 256
    return 24


def _tmux_features(env: Mapping[str, str]) -> List[str]:
    """The features tmux found in the terminal of its client (``RGB``, ``256``, ...); empty when
    tmux gives no answer (no client, or a tmux older than 3.2)."""
    import subprocess  # only inside tmux: a few milliseconds of every command's start else

    try:
        done = subprocess.run(["tmux", "display-message", "-p", "#{client_termfeatures}"],
                              capture_output=True, text=True, timeout=2, env=dict(env),
                              stdin=subprocess.DEVNULL)
    except (OSError, subprocess.SubprocessError):
        return []
    return done.stdout.strip().split(",") if done.returncode == 0 else []


def resolve_colors(choice: str, environ: Optional[Mapping[str, str]] = None) -> int:
    """24, 256 or 16 for one of :data:`COLOR_CHOICES`."""
    if choice == "auto":
        return detect_colors(environ)
    if choice not in COLOR_CHOICES:
        raise ValueError(f"colors must be one of {', '.join(COLOR_CHOICES)}, not {choice!r}")
    return 24 if choice == "24bit" else int(choice)


def wire_settings(colors: Optional[str] = None, tolerance: Optional[int] = None,
                  environ: Optional[Mapping[str, str]] = None) -> Optional[Tuple[int, int]]:
    """The rule of every player and screen: ``(depth, tolerance)`` to draw through the wire, or
    ``None`` for the exact stream of ``Corvane.render``. ``colors`` None is ``"auto"``; on a
    24-bit terminal ``auto`` without a ``tolerance`` is the exact stream, which costs no CPU and
    shows every cell as it is; any other depth, or a tolerance, goes through the wire (with
    :data:`DEFAULT_TOLERANCE` when none is given)."""
    depth = resolve_colors(colors or "auto", environ)
    if tolerance is None and depth == 24 and colors in (None, "auto"):
        return None
    return depth, DEFAULT_TOLERANCE if tolerance is None else check_tolerance(tolerance)


def depth_name(depth: int) -> str:
    """``24-bit``, ``256 colours`` or ``16 colours``, for a status line or a help page."""
    return "24-bit" if depth == 24 else f"{depth} colours"


def check_tolerance(tolerance: object) -> int:
    """``tolerance`` if it is a whole number from 0 to :data:`MAX_TOLERANCE`; ``ValueError`` else."""
    if isinstance(tolerance, bool) or not isinstance(tolerance, int) or not 0 <= tolerance <= MAX_TOLERANCE:
        raise ValueError(f"tolerance must be a whole number from 0 to {MAX_TOLERANCE}, not {tolerance!r}")
    return tolerance


class Link:
    """The writer thread of one output descriptor, and how fast the other end drains."""

    def __init__(self, fd: int = 1) -> None:
        import threading  # here: the command line reads this module's constants at every start

        self._fd = fd
        self._queue: Deque[Tuple[Payload, bool]] = deque()
        self._cond = threading.Condition()
        self._writing = False
        self._frame_pending = False
        self._error: Optional[BaseException] = None
        self._bytes = 0
        self._seconds = 0.0
        self._thread = threading.Thread(target=self._run, name="corvane-link", daemon=True)
        self._thread.start()
        atexit.register(self._settle)

    def busy(self) -> bool:
        """Whether a frame is queued or being written (then a new one should be dropped)."""
        with self._cond:
            return self._frame_pending

    def idle(self, timeout: float = 0.0) -> bool:
        """Whether no frame is queued or being written, waiting up to ``timeout`` seconds."""
        with self._cond:
            return self._cond.wait_for(lambda: not self._frame_pending, timeout)

    def rate(self) -> Optional[float]:
        """Bytes a second the other end took while the writer was writing; ``None`` before a
        measurable amount went out."""
        with self._cond:
            return self._bytes / self._seconds if self._bytes >= 16384 and self._seconds > 0 else None

    def send(self, data: "Payload", *, frame: bool) -> None:
        """Queue ``data`` for writing (bytes, or a callable the writer thread calls for them);
        raises the ``OSError`` of a failed earlier write, or what an earlier callable raised."""
        with self._cond:
            self._raise()
            if not data:
                return
            self._queue.append((data, frame))
            self._frame_pending = self._frame_pending or frame
            self._cond.notify()

    def drain(self, timeout: Optional[float] = None) -> bool:
        """Wait until everything queued is written (or ``timeout`` seconds); raises a write
        error. True when all went out."""
        with self._cond:
            done = self._cond.wait_for(lambda: not self._queue and not self._writing, timeout)
            self._raise()
            return done

    def _settle(self) -> None:
        """At exit: the frames queued go out; a failure was or will never be anyone's to see."""
        try:
            self.drain(10.0)
        except Exception:
            pass

    def _raise(self) -> None:
        if isinstance(self._error, OSError):
            raise OSError(self._error.errno, self._error.strerror)
        if self._error is not None:
            raise self._error

    def _run(self) -> None:
        while True:
            with self._cond:
                self._cond.wait_for(lambda: bool(self._queue))
                payload, frame = self._queue.popleft()
                self._writing = True
            error: Optional[BaseException] = None
            data = b""
            try:
                data = payload() if callable(payload) else payload
            except Exception as failed:  # the caller's to see, at its next call
                error = failed
            started = time.monotonic()
            if error is None:
                error = self._write_all(data)
            spent = time.monotonic() - started
            with self._cond:
                self._writing = False
                if frame:
                    self._frame_pending = any(f for _, f in self._queue)
                # The measure decays, so that it follows a link whose speed changes.
                self._bytes = int(self._bytes * 0.8) + len(data)
                self._seconds = self._seconds * 0.8 + spent
                if error is not None:
                    self._error = error
                    self._queue.clear()
                    self._frame_pending = False
                self._cond.notify_all()

    def _write_all(self, data: bytes) -> Optional[OSError]:
        view = memoryview(data)
        while view:
            try:
                view = view[os.write(self._fd, view) :]
            except BlockingIOError:
                select.select([], [self._fd], [])
            except InterruptedError:
                continue
            except OSError as error:
                if error.errno == errno.EBADF and self._fd == 1:
                    return None  # a closed standard output swallows everything, as for render
                return error
        return None


class Wire:
    """One encoder, its link and its rate control: :meth:`draw` a frame of the grid's cells at
    :attr:`cell` pixels each."""

    def __init__(self, colors: str = "auto", tolerance: int = DEFAULT_TOLERANCE, *,
                 dither: Optional[bool] = None, link: Optional[Link] = None, shape: str = "half") -> None:
        check_tolerance(tolerance)
        self.cell = pixels_per_cell(shape)
        """The pixels (wide, high) of one cell: a frame is this many times the cell grid."""
        self.colors = resolve_colors(colors)
        """The colour depth drawn in: 24 (bits), 256 or 16."""
        self.tolerance = tolerance
        """The tolerance asked for; rate control may draw with a higher one for a while."""
        self.current = tolerance
        """The tolerance of the next frame."""
        from .._native import CellEncoder, Encoder  # not at import: the command line's start reads this module

        self.encoder: "Union[Encoder, CellEncoder]" = (
            Encoder(self.colors, tolerance, dither) if shape == "half"
            else CellEncoder(shape, self.colors, tolerance, dither))
        self.link = link if link is not None else Link()
        self.dropped = 0
        """Frames dropped because the link was still busy with an earlier one."""
        self.last_bytes = 0
        """Bytes of the last frame offered (0: dropped, or nothing to draw)."""
        self._last: Optional[float] = None
        self._interval: Optional[float] = None

    def draw(self, canvas: "FrameArray") -> bool:
        """Encode and send ``canvas`` unless the link is busy (then it is dropped); True when
        sent. Raises ``OSError`` for a write that failed earlier."""
        now = time.monotonic()
        if self._last is not None:
            gap = now - self._last
            self._interval = gap if self._interval is None else 0.8 * self._interval + 0.2 * gap
        self._last = now
        if self.link.busy():
            self.dropped += 1
            self.last_bytes = 0
            self._adjust(None)
            self.link.send(b"", frame=True)  # surfaces a write error all the same
            return False
        data = self.encoder.encode(canvas.reshape(-1), canvas.shape[1], canvas.shape[0])
        self.link.send(data, frame=True)
        self.last_bytes = len(data)
        self._adjust(len(data))
        return True

    def _adjust(self, sent: Optional[int]) -> None:
        """Rate control: raise the tolerance when a frame takes longer to drain than frames come,
        lower it back towards the one asked for when the link has room to spare."""
        rate = self.link.rate()
        if rate is None or self._interval is None:
            return
        budget = rate * self._interval
        step = self.current
        if sent is None or sent > budget:
            step = min(RATE_CEILING, max(self.current + 1, self.current * 3 // 2))
        elif sent < budget / 2:
            step = max(self.tolerance, self.current - 1)
        if step != self.current and step >= self.tolerance:
            self.current = step
            self.encoder.set_tolerance(step)

    def text(self, data: bytes) -> None:
        """Bytes that must not be dropped (the status line), after the frames before them."""
        self.link.send(data, frame=False)

    def invalidate(self) -> None:
        """The screen was cleared or lost: the next frame is drawn whole."""
        self.encoder.invalidate()
