"""``corvane view``: show a video, an image or a camera on the terminal, q or Esc to stop."""

from __future__ import annotations

import time
from dataclasses import dataclass
from typing import Optional

from .errors import CorvaneError
from .screen import Screen
from .sources import Pacer, Source, describe
from .terminal import cbreak

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


class _Session:
    """One viewing session: the source, the screen, the clock and the counts."""

    def __init__(self, source: Source, screen: Screen, duration: Optional[float]) -> None:
        self.source, self.screen = source, screen
        self.started = time.monotonic()
        self.deadline = None if duration is None else self.started + duration
        self.result = ViewResult()
        self.name = describe(source.name)

    def stopped(self) -> bool:
        """Whether a quit key was pressed or the time is up; notes which."""
        if self.screen.poll_key() in QUIT_KEYS:
            self.result.ended = "key"
            return True
        if self.deadline is not None and time.monotonic() >= self.deadline:
            self.result.ended = "time"
            return True
        return False

    def status(self, detail: str = "") -> None:
        """The bottom line: the quit keys, the source, and ``detail`` or the time and counts."""
        if not detail:
            seconds = time.monotonic() - self.started
            dropped = f", {self.result.dropped} dropped" if self.result.dropped else ""
            detail = f"{int(seconds) // 60}:{seconds % 60:04.1f}  {self.result.shown} shown{dropped}"
        self.screen.status(f"q/Esc: quit  {self.name}  {detail}")

    def moving(self) -> None:
        """Frames as they come: paced at the source's rate when it has one, late ones dropped."""
        pacer = Pacer(self.source.fps) if self.source.fps else None
        last = -1
        while not self.stopped():
            if pacer is not None:
                late = pacer.late(last)
                if late:
                    skipped = self.source.skip(late)
                    last += skipped
                    self.result.dropped += skipped
                    if skipped < late:
                        return
            frame = self.source.read()
            if frame is None:
                return
            last += 1
            if pacer is not None:
                pacer.wait(last)
            self.screen.show(frame)
            self.result.shown += 1
            self.status()

    def still(self) -> None:
        """One image, drawn again only when the terminal's size changes."""
        frame = self.source.read()
        grid = None
        while frame is not None and not self.stopped():
            if self.screen.grid() != grid:  # first time, and after the terminal was resized
                grid = self.screen.grid()
                self.screen.show(frame)
                self.result.shown += 1
                self.status(f"{frame.shape[1]} x {frame.shape[0]}")
            time.sleep(STILL_POLL)


def view(source: Source, screen: Screen, *, duration: Optional[float] = None,
         record: Optional[str] = None) -> ViewResult:
    """Show ``source`` full-screen until it ends, q or Esc is pressed or ``duration`` seconds
    pass; every frame shown goes into ``record`` when given. The terminal is put in cbreak mode
    and restored afterwards, also on errors and Ctrl-C."""
    session = _Session(source, screen, duration)
    if record is not None:
        try:
            screen.start_recording(record)
        except OSError as error:
            raise CorvaneError(f"cannot record to {record}: {error}") from None
    try:
        with cbreak(), screen.fullscreen():
            if source.still:
                session.still()
            else:
                session.moving()
    finally:
        screen.stop_recording()
    return session.result
