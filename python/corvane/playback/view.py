"""``corvane view``: a video, an animation, an image or a camera on the terminal, as a player.

Frames come from :mod:`corvane.media` with their presentation times, scaled while decoding
to the size they are drawn at; :class:`~corvane.playback.clock.PlayerClock` decides when each is shown,
dropped or waited for, on :func:`~corvane.display.terminal.clock` (which stands still during Ctrl-Z) or
on the sound's clock while a sound track is heard. Keys come from
:class:`~corvane.display.keys.KeyReader`, which names the arrows and Home.

A recording, when asked for, holds what appeared on the screen on the player's clock (the
screen's own, from the first picture): a pause is recorded as the paused picture repeated one
record per 33 ms, a seek as the jump it was, a faster speed as the faster pictures.

When the screen draws through the wire, the link sets the pace: frames are decoded ahead on a
thread of their own (:class:`~corvane.playback.ahead.ReadAhead`), a frame due while the link is still busy
with the one before waits for it (or is dropped when its successor is due meanwhile), so dropped
frames are never scaled or drawn and the link never waits for a decoder.

At the end the last picture stays, paused, and space plays from the start again (``--loop``
starts again by itself); with several files the end of one goes on to the next, ``n`` / ``p``
go to the next / previous. After a resize the picture is drawn again at once, at the new size.

Runs on the main thread (the decoder of the wire path on its own); the sound plays on its own
(:mod:`corvane.media.sound`). The terminal, the sound device and the media are given back on every
way out.
"""

from __future__ import annotations

import time
from dataclasses import dataclass
from typing import TYPE_CHECKING, Callable, List, Optional, Tuple, Union

from .ahead import ReadAhead
from .clock import KEYS, QUIT_KEYS, PlayerClock, key_help
from ..errors import CorvaneError
from ..display.keys import KeyReader
from ..media import Frame, Media
from ..display.screen import Screen
from ..display.terminal import cbreak, clock, resumes
from ..text import count

if TYPE_CHECKING:
    from ..media.sound import SoundPlayer

TICK = 0.02
"""Longest sleep between looks at the keyboard."""
STATUS_EVERY = 0.1
"""Seconds between makings of the bottom line while nothing is drawn or pressed: its time
changes once a second, and making it (a fifth of a millisecond) on every tick of a playing
video cost about half a millisecond a frame."""
FORWARD_ONLY = frozenset({" ", ".", "-", "+", "=", "n", "p"} | QUIT_KEYS)
"""The keys of a source that cannot seek (standard input)."""


@dataclass
class ViewResult:
    """What a viewing session did."""

    shown: int = 0
    dropped: int = 0
    ended: str = "end"
    """``"end"`` (the media ran out), ``"key"`` (q or Esc), ``"time"`` (``duration`` passed),
    ``"next"`` or ``"previous"`` (the file after or before, by key or at the end)."""


class Viewer:
    """One session: the media, the screen, the clock, the keys and what has been shown."""

    def __init__(self, media: Media, screen: Screen, player: PlayerClock, *,
                 duration: Optional[float], note: str = "",
                 sound: "Optional[SoundPlayer]" = None, place: Tuple[int, int] = (1, 1)) -> None:
        self.media, self.screen, self.clock = media, screen, player
        self.note, self.sound = note, sound
        self.place = place
        """(i, N): the file's place among the files of the session, from 1."""
        self.title = f"{place[0]}/{place[1]} {media.name}" if place[1] > 1 else ""
        self.help = key_help(files=place[1] > 1)
        self.deadline = None if duration is None else clock() + duration
        self.result = ViewResult()
        self.source: Union[Media, ReadAhead] = media
        """Where frames are read: the media, or a decoder ahead of it for the wire path."""
        if screen.link is not None and media.kind in ("video", "animation", "camera"):
            self.source = ReadAhead(media)
        self._grid: Optional[Tuple[int, int]] = None
        self._line: Optional[str] = None
        self._drawn: Optional[Frame] = None
        self._looked = 0.0
        """When :meth:`status` last made the line (on :func:`~corvane.display.terminal.clock`)."""

    def sized(self) -> bool:
        """Ask for frames at the size the grid needs, again whenever the grid changes; whether
        it changed since the last ask."""
        grid = self.screen.grid()
        if grid == self._grid:
            return False
        self._grid, self._line = grid, None
        self.source.set_output_size(*self.screen.drawn_size(self.media.size))
        return True

    def draw(self, frame: Frame) -> None:
        self.screen.show(frame.image)
        self.clock.show(frame.time)
        self.result.shown += 1
        self._line, self._drawn = None, frame

    def jump(self, target: float) -> Optional[Frame]:
        """Show the frame on show at ``target`` at once and run the clock from it; the frame
        after it. The time spent decoding up to it is no lateness, so no frame is dropped for it."""
        shown = self.source.seek(target)
        self.clock.seek(target)
        if shown is not None:
            self.draw(shown)  # after the clock's seek: while paused, the position is this frame
        return self.source.read()

    def turn(self, key: str) -> bool:
        """For ``n`` / ``p``: whether there is a file that way, which is then the result."""
        way = KEYS[key].value
        if not (self.place[0] < self.place[1] if way > 0 else self.place[0] > 1):
            return False
        self.result.ended = "next" if way > 0 else "previous"
        return True

    def close(self) -> None:
        """Let go of the decoder ahead, the sound and the media."""
        try:
            if isinstance(self.source, ReadAhead):
                self.source.close()
            if self.sound is not None:
                self.sound.close()
        finally:
            self.media.close()

    def status(self) -> None:
        """The bottom line, written when it changed or a picture was drawn; never wraps."""
        self._looked = clock()
        cols = self.screen.size()[0]
        note = self.note or (self.sound.note if self.sound is not None else "")
        depth = self.screen.depth()
        if self.media.kind == "still":
            width, height = self.media.size
            keys = "n p q" if self.place[1] > 1 else "q quit"
            line = f"{self.title or self.media.name}  {width} x {height}  {depth}  {keys}"
        elif self.media.kind == "camera":
            line = f"{self.media.name}  {self.result.shown} shown  {depth}  q quit"
        else:
            line = self.clock.status(cols - 1, note, title=self.title, depth=depth)
            if len(line) + 2 + len(self.help) <= cols - 1:
                line += "  " + self.help
        if line != self._line:
            self.screen.status(line)
            self._line = line

    def timed_out(self) -> bool:
        if self.deadline is not None and clock() >= self.deadline:
            self.result.ended = "time"
            return True
        return False

    def still(self, keys: KeyReader) -> None:
        """One picture, drawn again when the grid changes or after Ctrl-Z, until q or Esc."""
        drawn = None
        frame = self.media.read()
        while frame is not None and not self.timed_out():
            key = keys.poll()
            if key in QUIT_KEYS:
                self.result.ended = "key"
                return
            if key in ("n", "p") and self.turn(key):
                return
            if (self.screen.grid(), resumes()) != drawn:
                self.sized()
                frame = self.media.seek(0.0) or frame
                drawn = (self.screen.grid(), resumes())
                self.draw(frame)
            self.status()
            time.sleep(TICK)

    def moving(self, keys: KeyReader, start: float) -> None:
        """Frames at their times, under the keys, until the end, q/Esc or the duration."""
        media, player = self.source, self.clock
        ahead = media if isinstance(media, ReadAhead) else None
        self.sized()
        frame = self.jump(start)
        while not self.timed_out():
            if self.sized() and player.paused and self._drawn is not None:
                self.screen.show(self._drawn.image)  # at the new size, as a resize leaves a mess
            key = keys.poll()
            if key is not None:
                if self.media.kind == "camera" and key not in QUIT_KEYS:
                    continue  # a camera cannot pause, seek or step
                if not self.media.seekable and key not in FORWARD_ONLY:
                    continue  # standard input goes one way
                if key in ("n", "p"):
                    if self.turn(key):
                        return
                    continue
                if not self.media.seekable and key == " " and player.ended:
                    continue
                command = player.press(key)
                if command.kind == "quit":
                    self.result.ended = "key"
                    return
                if command.kind == "seek":
                    frame = self.jump(command.value)
                elif command.kind == "step" and command.value > 0:
                    if frame is not None and not self._past(frame):
                        self.draw(frame)
                        frame = media.read()
                elif command.kind == "step" and player.shown is not None:
                    shown = media.seek(player.shown - 1e-4)
                    if shown is not None:
                        self.draw(shown)
                    frame = media.read()
                self._line = None
                continue
            self.result.dropped = player.dropped
            if self._line is None or clock() - self._looked >= STATUS_EVERY:
                self.status()
            if frame is None or self._past(frame):
                if player.paused or player.position() < self._until(frame is None):
                    time.sleep(TICK)  # the last picture has its time, or waits for a key
                    continue
                again = player.past_end(None)
                if again is not None and again.kind == "seek":
                    frame = self.jump(again.value)
                elif self.place[0] < self.place[1]:
                    self.result.ended = "next"
                    return
                elif not self.media.seekable or self.media.kind == "camera":
                    return
                else:  # the last picture stays; space plays again from the start
                    player.held(player.shown if player.shown is not None else player.start)
                continue
            verdict, wait = player.decide(frame.time, None if ahead is None else ahead.following())
            if verdict == "wait":
                time.sleep(min(wait, TICK))
                continue
            if verdict == "show":
                if not self.screen.ready(TICK):
                    continue  # the link still drains the last frame: this one waits or is dropped
                self.draw(frame)
            frame = media.read()

    def _past(self, frame: Frame) -> bool:
        """Whether ``frame`` lies at or after ``--end``. The media's own duration is no limit
        here: containers misstate it for variable frame rates, and the frames tell the end."""
        return self.clock.end is not None and frame.time >= self.clock.end

    def _until(self, ran_out: bool) -> float:
        """Until when the last picture stays: ``--end``, or when the media ran out, the
        duration or the last frame's time and one nominal frame, whichever is later."""
        if not ran_out and self.clock.end is not None:
            return self.clock.end
        last = self.clock.shown if self.clock.shown is not None else 0.0
        return max(self.clock.duration or 0.0, last + 1 / (self.media.rate or 30.0))


def view(screen: Screen, open_viewer: Callable[[int], Viewer], count: int = 1, *,
         record: Optional[str] = None, overwrite: bool = False) -> List[Tuple[str, ViewResult]]:
    """Run the viewers of ``count`` files full-screen, ``open_viewer(i)`` making the one of
    file ``i`` (from 0) when it is its turn, from the first until one ends by a key or time, or
    the last ends; each is closed when it is done. What is shown goes into the recording
    ``record`` when given (a new file unless ``overwrite``). The terminal is put in cbreak mode
    and restored afterwards, also on errors, Ctrl-C and Ctrl-Z. Returns each viewing's media
    name and result, in order."""
    first = open_viewer(0)  # a bad first file leaves the terminal untouched
    if record is not None:
        try:
            screen.start_recording(record, overwrite=overwrite)
        except OSError as error:
            first.close()
            raise CorvaneError(f"cannot record to {record}: {error.strerror or error}") from None
    results: List[Tuple[str, ViewResult]] = []
    index = 0
    viewer: Optional[Viewer] = first
    try:
        with cbreak(raw_output=True), screen.fullscreen(), KeyReader() as keys:
            while 0 <= index < count:
                current: Viewer = viewer or open_viewer(index)
                viewer = None
                try:
                    if current.media.kind == "still":
                        current.still(keys)
                    else:
                        current.moving(keys, current.clock.start)
                finally:
                    current.close()
                current.result.dropped = current.clock.dropped
                results.append((current.media.name, current.result))
                turn = current.result.ended
                index = index + 1 if turn == "next" else index - 1 if turn == "previous" else -1
    finally:
        if viewer is not None:
            viewer.close()  # the first, when the terminal could not be set up
        screen.stop_recording()
    return results


def summary(name: str, result: ViewResult) -> str:
    """The line said after viewing ``name``: frames shown and dropped."""
    dropped = f", {result.dropped} dropped" if result.dropped else ""
    return f"{name}: {count(result.shown, 'frame')} shown{dropped}"
