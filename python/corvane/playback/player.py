"""``corvane play``: the player of recordings, plain or interactive (``-i``).

The frames are decoded here (through :class:`~corvane.recording.Recording`), sharpened when asked
(natively, as ``Corvane.play`` sharpens them), fitted to the terminal with their shape kept and drawn through a
:class:`~corvane.display.screen.Screen`, one frame per 33 ms as they were recorded. Keys come from
:class:`~corvane.display.keys.KeyReader` (which names the arrows) with the terminal in cbreak mode; q or Esc quits in both modes.

Interactive keys are those of ``corvane view`` (:data:`~corvane.playback.clock.KEYS`, on the same
:class:`~corvane.playback.clock.PlayerClock` and speed ladder), and ``[`` / ``]`` the previous / next
key frame; playing to the last frame pauses there and space then plays from the start. The plain
player ends after the last frame; its bottom line is ``corvane view``'s: position / duration,
speed and colour depth. Damage
stops the plain player; the interactive one pauses there with the damage on the status line, and
``]`` goes on at the next intact key frame.
Runs on the main thread; the terminal is restored on every way out.
"""

from __future__ import annotations

import bisect
import time
from typing import Optional, Sequence, Tuple

from .clock import QUIT_KEYS, PlayerClock, format_time, key_help
from .._native import sharpen as sharpened
from ..errors import RecordingError
from ..display.keys import KeyReader
from ..recording import FRAME_PERIOD, Recording
from ..display.screen import Screen
from ..display.terminal import cbreak, clock, resumes
from ..text import printable

TICK = 0.01
"""Seconds the player waits between looks at the keyboard when nothing happens."""
HELP = key_help(key_frames=True)


def frame_at(player: PlayerClock, count: int) -> int:
    """The frame (0-based) of a ``count``-frame recording that is due at the player's position."""
    return min(int(player.position() / FRAME_PERIOD + 1e-6), count - 1)


def key_frame(keys: Sequence[int], index: int, way: float) -> Optional[int]:
    """The key frame before ``index`` (the first frame when none is) or after it (``None``)."""
    if way < 0:
        before = bisect.bisect_left(keys, index)
        return keys[before - 1] if before > 0 else 0
    after = bisect.bisect_right(keys, index)
    return keys[after] if after < len(keys) else None


def status(player: PlayerClock, count: int, index: int, key: bool,
           damage: Optional[RecordingError], depth: str = "") -> str:
    """The interactive player's bottom line: state, frame, time, speed and colour depth, or the
    damage."""
    where = f"{index + 1}/{count}"
    if damage is not None:
        return f"damaged {where}: {printable(damage)}   ] next key frame  q quit"
    at_end = index == count - 1
    state = "end" if player.paused and at_end else "paused" if player.paused else "playing"
    return (
        f"{state} {where}{' key' if key else ''}  {format_time(index * FRAME_PERIOD, hundredths=True)}"
        f"/{format_time(count * FRAME_PERIOD, hundredths=True)}  {player.speed:g}x  {depth}   {HELP}"
    )


def play(recording: Recording, screen: Screen, *, interactive: bool = False, paused: bool = False,
         sharpen: float = 0.0, name: str = "") -> None:
    """Play ``recording`` until its end (plain) or q / Esc; raises the damage met, or found in the
    headers, once the terminal is restored, and :class:`RecordingError` for a file without
    frames. The terminal is in full-screen and cbreak mode meanwhile and restored afterwards;
    ``name`` is the file's, for the plain player's bottom line."""
    recording.require_frames()
    count, key_set = len(recording), frozenset(recording.key_frames)
    player = PlayerClock(count * FRAME_PERIOD, now=clock,
                         hold=(count - 1) * FRAME_PERIOD if interactive else None)
    if paused:
        player.pause()
    damage: Optional[RecordingError] = None
    """Why the frame on screen cannot be shown, if it cannot (the interactive player pauses)."""
    met: Optional[RecordingError] = None
    drawn: Optional[Tuple[int, Tuple[int, int], int]] = None
    written: Optional[str] = None
    with cbreak(raw_output=True), screen.fullscreen(), KeyReader() as keys:
        while True:
            key = keys.poll()
            if key in QUIT_KEYS:
                break
            if key is not None and interactive:
                command = player.press(key)
                if command.kind == "step":
                    player.seek((frame_at(player, count) + command.value) * FRAME_PERIOD)
                elif command.kind == "keyframe":
                    target = key_frame(recording.key_frames, frame_at(player, count), command.value)
                    if target is not None:
                        player.seek(target * FRAME_PERIOD)
            if not interactive and player.position() >= count * FRAME_PERIOD:
                break  # the last frame has had its time
            index = frame_at(player, count)
            view = (index, screen.grid(), resumes())
            if view != drawn:
                if drawn is not None and drawn[1:] != view[1:]:
                    written = None  # a new grid or a redraw: the bottom line is gone
                drawn = view
                try:
                    frame = recording.frame(index)
                except RecordingError as error:
                    met = met or error
                    if not interactive:
                        break
                    damage = error
                    player.pause()
                else:
                    damage = None
                    if sharpen > 0:
                        height, width = frame.shape[:2]
                        screen.show(sharpened(frame.reshape(-1), width, height, sharpen), width, height)
                    else:
                        screen.show(frame)
            if interactive:
                if damage is None and player.paused and index == count - 1 and recording.damage:
                    damage = recording.damage
                line = status(player, count, index, index in key_set, damage, screen.depth())
            else:
                cols = screen.size()[0]
                line = player.status(cols - 1, title=name, depth=screen.depth())
                line += "  q quit" if len(line) + 8 <= cols - 1 else ""
            if line != written:
                screen.status(line)
                written = line
            if key is None:
                time.sleep(TICK)
    damage = met or recording.damage
    if damage is not None:
        raise damage
