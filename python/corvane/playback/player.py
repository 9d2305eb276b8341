"""``corvane play``: the player of recordings, plain or interactive (``-i``).

The frames are decoded here (through :class:`~corvane.recording.Recording`), sharpened when asked
(natively, as ``Corvane.play`` sharpens them), fitted to the terminal with their shape kept and drawn through a
:class:`~corvane.display.screen.Screen`, one frame per 33 ms as they were recorded. Keys come from the
package's :class:`~corvane.display.keys.KeyReader` (which decodes the arrows) with the terminal in cbreak
mode; q or Esc quits in both modes.

Interactive keys: space pause / play, Left / Right 5 s back / on, Down / Up 60 s, Home the start,
``,`` / ``.`` one frame back / forward, ``[`` / ``]`` previous / next key frame, ``-`` / ``+``
slower / faster (the keys of ``corvane view``, and the key frames of a recording). Damage stops the plain player; the interactive one
pauses there with the damage on the status line, and ``]`` goes on at the next intact key frame.
Runs on the main thread; the terminal is restored on every way out.
"""

from __future__ import annotations

import bisect
import time
from typing import Optional, Sequence, Tuple

from .clock import SEEKS
from .._native import sharpen as sharpened
from ..errors import RecordingError
from ..display.keys import KeyReader
from ..recording import FRAME_PERIOD, Recording
from ..display.screen import Screen
from ..display.terminal import cbreak, clock, resumes
from ..text import printable

SPEEDS = (0.125, 0.25, 0.5, 1.0, 2.0, 4.0, 8.0)
QUIT_KEYS = ("q", "Q", "esc")
TICK = 0.01
"""Seconds the player waits between looks at the keyboard when nothing happens."""
HELP = "space ←→↓↑ Home ,. [] -+ q"


def clock_text(seconds: float) -> str:
    """``m:ss.ss`` for a time in seconds."""
    return f"{int(seconds) // 60}:{seconds % 60:05.2f}"


class PlayerState:
    """Where the player stands in a recording: position, pause, speed, damage. No terminal."""

    def __init__(self, frame_count: int, key_frames: Sequence[int], *, paused: bool = False,
                 interactive: bool = True) -> None:
        if frame_count <= 0:
            raise ValueError("a recording without frames cannot be played")
        self.count = frame_count
        self.keys = list(key_frames)
        self._key_set = set(self.keys)
        self.interactive = interactive
        self.position = 0.0
        """The current frame as a fraction: playback moves it on by elapsed time and speed."""
        self.paused = paused
        self.quit = False
        self.ended = False
        """Whether the last frame has had its time (the plain player then stops)."""
        self.damage: Optional[RecordingError] = None
        """Why the frame at the position cannot be shown, if it cannot."""
        self._speed = SPEEDS.index(1.0)

    @property
    def index(self) -> int:
        """The frame on screen (0-based)."""
        return min(int(self.position), self.count - 1)

    @property
    def speed(self) -> float:
        """Playback speed as a multiple of the recording's pace (one frame per 33 ms)."""
        return SPEEDS[self._speed]

    @property
    def at_end(self) -> bool:
        """Whether the last frame is on screen."""
        return self.index == self.count - 1

    def seek(self, index: int) -> None:
        """Go to frame ``index``, kept within the recording."""
        self.position = float(min(max(index, 0), self.count - 1))

    def press(self, key: str) -> None:
        """Act on one key as :class:`~corvane.display.keys.KeyReader` names it; unknown keys do nothing,
        and the plain player knows only the quit keys."""
        if key in QUIT_KEYS:
            self.quit = True
        elif not self.interactive:
            return
        elif key == " ":
            if self.paused and self.at_end:
                self.seek(0)
            self.paused = not self.paused
        elif key in (",", "."):
            self.seek(self.index + (1 if key == "." else -1))
            self.paused = True
        elif key in SEEKS:
            self.seek(self.index + round(SEEKS[key] / FRAME_PERIOD))
        elif key == "home":
            self.seek(0)
        elif key == "[":
            before = bisect.bisect_left(self.keys, self.index)
            self.seek(self.keys[before - 1] if before > 0 else 0)
        elif key == "]":
            after = bisect.bisect_right(self.keys, self.index)
            if after < len(self.keys):
                self.seek(self.keys[after])
        elif key == "-":
            self._speed = max(self._speed - 1, 0)
        elif key in ("+", "="):
            self._speed = min(self._speed + 1, len(SPEEDS) - 1)

    def advance(self, seconds: float) -> None:
        """Move on by ``seconds`` of playback; the interactive player pauses on the last frame."""
        if self.paused:
            return
        self.position = min(self.position + seconds * self.speed / FRAME_PERIOD, self.count)
        self.ended = self.position >= self.count
        if self.interactive and self.at_end:
            self.seek(self.count - 1)
            self.paused = True

    def stop_at(self, damage: RecordingError) -> None:
        """The frame at the position cannot be decoded: pause there and say why."""
        self.damage, self.paused = damage, True

    def status(self) -> str:
        """The status line: state, frame, time and speed, or the damage."""
        where = f"{self.index + 1}/{self.count}"
        if self.damage is not None:
            return f"damaged {where}: {printable(self.damage)}   ] next key frame  q quit"
        state = "end" if self.paused and self.at_end else "paused" if self.paused else "playing"
        key = " key" if self.index in self._key_set else ""
        return (
            f"{state} {where}{key}  {clock_text(self.index * FRAME_PERIOD)}"
            f"/{clock_text(self.count * FRAME_PERIOD)}  {self.speed:g}x   {HELP}"
        )


def play(recording: Recording, screen: Screen, *, interactive: bool = False, paused: bool = False,
         sharpen: float = 0.0) -> Optional[RecordingError]:
    """Play ``recording`` until its end (plain) or q / Esc; returns the damage met, or found in the
    headers, and ``None`` for an intact file. Raises :class:`RecordingError` for a file without
    frames. The terminal is in full-screen and cbreak mode meanwhile and restored afterwards."""
    recording.require_frames()
    state = PlayerState(len(recording), recording.key_frames, paused=paused, interactive=interactive)
    met: Optional[RecordingError] = None
    drawn: Optional[Tuple[int, Tuple[int, int], int]] = None
    written: Optional[str] = None
    with cbreak(), screen.fullscreen(), KeyReader() as keys:
        last = clock()
        while not state.quit:
            key = keys.poll()
            if key is not None:
                state.press(key)
            now = clock()
            state.advance(now - last)
            last = now
            if state.ended and not interactive:
                break
            view = (state.index, screen.grid(), resumes())
            if view != drawn:
                if drawn is not None and drawn[1:] != view[1:]:
                    written = None  # a new grid or a redraw: the bottom line is gone
                drawn = view
                try:
                    frame = recording.frame(state.index)
                except RecordingError as error:
                    met = met or error
                    if not interactive:
                        break
                    state.stop_at(error)
                else:
                    state.damage = None
                    if sharpen > 0:
                        height, width = frame.shape[:2]
                        screen.show(sharpened(frame.reshape(-1), width, height, sharpen), width, height)
                    else:
                        screen.show(frame)
            if interactive:
                if state.damage is None and state.paused and state.at_end and recording.damage:
                    state.damage = recording.damage
                line = state.status()
                if line != written:
                    screen.status(line)
                    written = line
            if key is None:
                time.sleep(TICK)
    return met or recording.damage
