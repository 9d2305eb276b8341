"""``corvane view``: show a video, an image or a camera on the terminal, q or Esc to stop.

A video is paced at its frame rate on :func:`~corvane.terminal.clock` (which stands still during
Ctrl-Z); late frames are dropped. A recording, when asked for, is kept on the video's own time:
frame ``i`` appears at ``i / fps`` seconds whether or not the frames around it were dropped, so it
plays as long as the video. A camera and a still image are recorded on the clock.
"""

from __future__ import annotations

import time
from dataclasses import dataclass
from typing import Optional

from .errors import CorvaneError
from .screen import Screen
from .sources import Pacer, Source, describe
from .terminal import cbreak, clock, resumes
from .text import count

QUIT_KEYS = ("q", "Q", "esc")
STILL_POLL = 0.02
"""Seconds between key polls while a still image is shown."""


@dataclass
class ViewResult:
    """What a viewing session did."""

    shown: int = 0
    dropped: int = 0
    ended: str = "end"
    """``"end"`` (the source ran out), ``"key"`` (q or Esc) or ``"time"`` (the duration passed)."""
    seconds: Optional[float] = None
    """How much of a video was played, in its own time; ``None`` for a camera or an image."""


class _Session:
    """One viewing session: the source, the screen, the clock and the counts."""

    def __init__(self, source: Source, screen: Screen, duration: Optional[float]) -> None:
        self.source, self.screen = source, screen
        self.started = clock()
        self.deadline = None if duration is None else self.started + duration
        self.result = ViewResult()
        self.name = describe(source.name)

    def stopped(self) -> bool:
        """Whether a quit key was pressed or the time is up; notes which."""
        if self.screen.poll_key() in QUIT_KEYS:
            self.result.ended = "key"
            return True
        if self.deadline is not None and clock() >= self.deadline:
            self.result.ended = "time"
            return True
        return False

    def status(self, detail: str = "") -> None:
        """The bottom line: the quit keys, the source, and ``detail`` or the time and counts."""
        if not detail:
            seconds = clock() - self.started
            dropped = f", {self.result.dropped} dropped" if self.result.dropped else ""
            detail = f"{int(seconds) // 60}:{seconds % 60:04.1f}  {self.result.shown} shown{dropped}"
        self.screen.status(f"q/Esc: quit  {self.name}  {detail}")

    def moving(self) -> None:
        """Frames as they come: paced at the source's rate when it has one, late ones dropped."""
        fps = self.source.fps
        pacer = Pacer(fps) if fps else None
        last = -1
        while not self.stopped():
            if pacer is not None:
                late = pacer.late(last)
                if late:
                    skipped = self.source.skip(late)
                    last += skipped
                    self.result.dropped += skipped
                    if skipped < late:
                        break
            frame = self.source.read()
            if frame is None:
                break
            last += 1
            if pacer is not None:
                pacer.wait(last)
            self.screen.show(frame, at=last / fps if fps else None)
            self.result.shown += 1
            self.status()
        if pacer is not None and fps:
            whole = (last + 1) / fps
            self.result.seconds = whole if self.result.ended == "end" else min(whole, pacer.elapsed())

    def still(self) -> None:
        """One image, drawn again only when the terminal's size changes or after Ctrl-Z."""
        frame = self.source.read()
        drawn = None
        while frame is not None and not self.stopped():
            if (self.screen.grid(), resumes()) != drawn:
                drawn = (self.screen.grid(), resumes())
                self.screen.show(frame)
                self.result.shown += 1
                self.status(f"{frame.shape[1]} x {frame.shape[0]}")
            time.sleep(STILL_POLL)


def view(source: Source, screen: Screen, *, duration: Optional[float] = None,
         record: Optional[str] = None, overwrite: bool = False) -> ViewResult:
    """Show ``source`` full-screen until it ends, q or Esc is pressed or ``duration`` seconds
    pass; what is shown goes into the recording ``record`` when given (a new file unless
    ``overwrite``; ``OSError`` when it cannot be made). The terminal is put in cbreak mode and
    restored afterwards, also on errors, Ctrl-C and Ctrl-Z."""
    session = _Session(source, screen, duration)
    if record is not None:
        try:
            screen.start_recording(record, overwrite=overwrite)
        except OSError as error:
            raise CorvaneError(f"cannot record to {record}: {error.strerror or error}") from None
    try:
        with cbreak(), screen.fullscreen():
            if source.still:
                session.still()
            else:
                session.moving()
    finally:
        screen.stop_recording(session.result.seconds)
    return session.result


def summary(name: str, result: ViewResult) -> str:
    """The line said after viewing ``name``: frames shown and dropped."""
    dropped = f", {result.dropped} dropped" if result.dropped else ""
    return f"{name}: {count(result.shown, 'frame')} shown{dropped}"
