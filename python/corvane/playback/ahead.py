"""Decoding ahead of drawing: a thread reads the media while the main thread draws.

``view`` uses it when frames go through the wire: then the link, not the CPU, sets the pace, and
decoding the frames that will be dropped must not hold up the next frame that is drawn.

Contract:

- :class:`ReadAhead` wraps a :class:`~corvane.media.Media` and offers its ``read``, ``seek``,
  ``set_output_size`` and ``close``, plus :meth:`ReadAhead.following`, the time of the frame after
  the one last read when it is already decoded (so the clock can drop a frame whose successor is
  due). One slot: the thread decodes the next frame into it and waits until it is taken; PyAV
  releases the interpreter lock while it decodes and scales, so this runs beside the drawing.
- The media is touched by one thread at a time (a lock): the reader thread's ``read``, or the
  caller's ``seek`` and ``set_output_size``; a seek throws the frames read before it away.
- An error of the media's ``read`` on the thread is raised by the caller's next :meth:`read`.
  :meth:`close` stops the thread (it does not close the media, whose owner does that).
"""

from __future__ import annotations

import threading
from typing import Optional

from ..media import Frame, Media


class ReadAhead:
    """The frames of ``media``, read one ahead on a thread of their own."""

    def __init__(self, media: Media) -> None:
        self.media = media
        self._media_lock = threading.Lock()
        self._cond = threading.Condition()
        self._slot: Optional[Frame] = None
        self._full = False  # the slot holds a frame, or the end (``None``)
        self._error: Optional[BaseException] = None
        self._generation = 0
        self._closed = False
        self._ended = False  # the end was read: reads give None until a seek
        self._thread = threading.Thread(target=self._run, name="corvane-decode", daemon=True)

    def read(self) -> Optional[Frame]:
        """The next frame, waiting for it to be decoded; ``None`` after the last."""
        if self._thread.ident is None and not self._closed:
            self._thread.start()  # at the first read, so the output size is set by then
        with self._cond:
            if self._ended:
                return None
            self._cond.wait_for(lambda: self._full or self._error is not None)
            if self._error is not None:
                error, self._error = self._error, None
                raise error
            frame, self._slot, self._full = self._slot, None, False
            self._ended = frame is None
            self._cond.notify_all()
            return frame

    def following(self) -> Optional[float]:
        """The time of the next frame when it is decoded already, else ``None``."""
        with self._cond:
            return self._slot.time if self._full and self._slot is not None else None

    def seek(self, time: float) -> Optional[Frame]:
        """As :meth:`Media.seek`; frames decoded before are thrown away."""
        with self._cond:
            self._generation += 1
            self._slot, self._full, self._error, self._ended = None, False, None, False
            self._cond.notify_all()
        with self._media_lock:
            frame = self.media.seek(time)
            # Frames decoded while waiting for the lock were of the old place; the lock is still
            # held so that the first frame after the new place is not thrown away with them.
            with self._cond:
                self._generation += 1
                self._slot, self._full = None, False
                self._cond.notify_all()
        return frame

    def set_output_size(self, width: int, height: int) -> None:
        with self._media_lock:
            self.media.set_output_size(width, height)

    def close(self) -> None:
        """Stop the thread; the frame it may be decoding is dropped."""
        with self._cond:
            self._closed = True
            self._cond.notify_all()
        if self._thread.ident is not None:
            self._thread.join(5.0)

    def _run(self) -> None:
        while True:
            with self._cond:
                self._cond.wait_for(lambda: self._closed or not self._full)
                if self._closed:
                    return
            error: Optional[BaseException] = None
            frame: Optional[Frame] = None
            with self._media_lock:
                with self._cond:  # the place read from is the one after the last seek
                    generation = self._generation
                try:
                    frame = self.media.read()
                except Exception as caught:  # noqa: BLE001 (handed to the reading thread)
                    error = caught
            with self._cond:
                if generation != self._generation:
                    continue
                if error is not None:
                    self._error = error
                    self._cond.notify_all()
                    self._cond.wait_for(lambda: self._closed or self._error is None)
                    continue
                self._slot, self._full = frame, True
                self._cond.notify_all()
                if frame is None:  # the end: wait for a seek (or the close)
                    self._cond.wait_for(lambda: self._closed or generation != self._generation)
