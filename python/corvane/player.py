"""``corvane play -i``: an interactive player that steps, jumps and changes speed.

The frames are decoded here (through :class:`~corvane.recording.Recording`) and drawn with
``Corvane.render``; keys come from ``Corvane.poll_key`` with the terminal in cbreak mode.

Keys: space pause / play, ``,`` / ``.`` one frame back / forward, ``[`` / ``]`` previous / next
key frame, ``-`` / ``+`` slower / faster, q or Esc quit.
"""

from __future__ import annotations

import bisect
import time
from typing import Optional, Sequence, Tuple

from .recording import FRAME_PERIOD, Recording
from .screen import Screen
from .terminal import cbreak

SPEEDS = (0.125, 0.25, 0.5, 1.0, 2.0, 4.0, 8.0)
TICK = 0.01
"""Seconds the player waits between looks at the keyboard when nothing happens."""
HELP = "space ,. [] -+ q"


def clock(seconds: float) -> str:
    """``m:ss.ss`` for a time in seconds."""
    return f"{int(seconds) // 60}:{seconds % 60:05.2f}"


class PlayerState:
    """Where the player stands in a recording: position, pause and speed. No terminal involved."""

    def __init__(self, frame_count: int, key_frames: Sequence[int], *, paused: bool = False) -> None:
        if frame_count <= 0:
            raise ValueError("a recording without frames cannot be played")
        self.count = frame_count
        self.keys = list(key_frames)
        self._key_set = set(self.keys)
        self.position = 0.0
        """The current frame as a fraction: playback moves it on by elapsed time and speed."""
        self.paused = paused
        self.quit = False
        self._speed = SPEEDS.index(1.0)

    @property
    def index(self) -> int:
        """The frame on screen (0-based)."""
        return int(self.position)

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
        """Act on one key as ``Corvane.poll_key`` reports it; unknown keys do nothing."""
        if key in ("q", "Q", "esc"):
            self.quit = True
        elif key == " ":
            if self.paused and self.at_end:
                self.seek(0)
            self.paused = not self.paused
        elif key in (",", "."):
            self.seek(self.index + (1 if key == "." else -1))
            self.paused = True
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
        """Move on by ``seconds`` of playback; pause on reaching the last frame."""
        if self.paused:
            return
        self.position += seconds * self.speed / FRAME_PERIOD
        if self.position >= self.count - 1:
            self.seek(self.count - 1)
            self.paused = True

    def status(self) -> str:
        """The status line: state, frame, time and speed."""
        state = "end" if self.paused and self.at_end else "paused" if self.paused else "playing"
        key = " key" if self.index in self._key_set else ""
        return (
            f"{state} {self.index + 1}/{self.count}{key}  {clock(self.index * FRAME_PERIOD)}"
            f"/{clock(self.count * FRAME_PERIOD)}  {self.speed:g}x   {HELP}"
        )


def play_interactive(recording: Recording, screen: Screen, *, paused: bool = False) -> None:
    """Run the interactive player on ``recording`` until q or Esc.

    The terminal is in full-screen and cbreak mode for the session and restored afterwards, also
    on errors (a damaged frame raises :class:`~corvane.errors.RecordingError`) and Ctrl-C.
    """
    state = PlayerState(len(recording), recording.key_frames, paused=paused)
    drawn: Optional[Tuple[int, Tuple[int, int]]] = None
    written: Optional[str] = None
    with cbreak(), screen.fullscreen():
        last = time.monotonic()
        while True:
            key = screen.poll_key()
            if key is not None:
                state.press(key)
                if state.quit:
                    return
            now = time.monotonic()
            state.advance(now - last)
            last = now
            view = (state.index, screen.grid())
            if view != drawn:
                screen.show(recording.frame(state.index))
                if drawn is None or drawn[1] != view[1]:
                    written = None  # a new grid: the bottom line moved
                drawn = view
            line = state.status()
            if line != written:
                screen.status(line)
                written = line
            if key is None:
                time.sleep(TICK)
