"""The players' control state: where playback stands, what each key does, when a frame is due.

One clock, one key map and one speed ladder serve ``corvane view``, ``corvane play`` and
``corvane play -i``. Pure logic, no terminal and no decoding, owned by the player's one thread.
Times are seconds on the media's timeline (a recording's frame ``i`` is at ``i * FRAME_PERIOD``).
The position runs on an injectable monotonic clock scaled by the speed; while a sound track plays
at normal speed its clock takes over (see :class:`Audio`), so the pictures follow the sound, and
the monotonic clock carries on from where the sound left off when it stops. Bad option values
raise :class:`TimeError` with a one-line message.
"""

from __future__ import annotations

import re
import time
from typing import Callable, Dict, NamedTuple, Optional, Protocol, Tuple

from ..errors import TimeError as TimeError  # documented here too

SPEEDS = (0.25, 0.5, 0.75, 1.0, 1.5, 2.0, 3.0, 4.0)
"""The speed ladder of every player: ``-`` and ``+`` move one rung."""
SHORT_SEEK = 5.0
LONG_SEEK = 60.0
SYNC = 0.045
"""A frame more late than this, with no successor known to be due, is dropped."""
EARLY = 0.002
"""A frame due within this many seconds is shown now rather than waited for."""
PAUSED_WAIT = 0.05
"""How long :meth:`PlayerClock.decide` asks to wait while paused (the player polls keys)."""

QUIT_KEYS = frozenset({"q", "Q", "esc"})
"""The keys that end every player and the demo, as :mod:`corvane.display.keys` names them."""


class Command(NamedTuple):
    """What the player must do after a key: ``"none"`` (state only: redraw the status line),
    ``"quit"``, ``"seek"`` (show the frame at ``value``), ``"step"`` (``value`` = -1 or +1 frame),
    ``"keyframe"`` (``value`` = -1 or +1: the previous or next key frame, for a player that
    knows them) or ``"end"`` (the end was reached without looping)."""

    kind: str
    value: float = 0.0


KEYS: Dict[str, Command] = {
    **{key: Command("quit") for key in QUIT_KEYS},
    " ": Command("pause"),
    "left": Command("seek", -SHORT_SEEK), "right": Command("seek", SHORT_SEEK),
    "down": Command("seek", -LONG_SEEK), "up": Command("seek", LONG_SEEK),
    "home": Command("start"),
    ",": Command("step", -1.0), ".": Command("step", 1.0),
    "[": Command("keyframe", -1.0), "]": Command("keyframe", 1.0),
    "-": Command("speed", -1.0), "+": Command("speed", 1.0), "=": Command("speed", 1.0),
    "n": Command("next", 1.0), "p": Command("next", -1.0),
}
"""What each key (as :mod:`corvane.display.keys` names it) asks of
:meth:`PlayerClock.press`; ``"seek"`` values are relative here."""


def key_help(key_frames: bool = False, files: bool = False) -> str:
    """The keys in short, for a status line; ``key_frames`` for a player that jumps between them,
    ``files`` for one that goes through several files."""
    return "space ←→↓↑ Home ,. " + ("[] " if key_frames else "") + "-+ " + ("np " if files else "") + "q"


class Audio(Protocol):
    """What the clock needs of a sound track (:class:`corvane.media.sound.SoundPlayer`)."""

    def clock(self) -> Optional[float]:
        """The media time being heard now; ``None`` while no sound comes out."""

    def pause(self, paused: bool) -> None:
        """Stop or resume the sound where it is."""

    def seek(self, time: float) -> None:
        """Go on from ``time`` (paused or not, as before)."""


def format_time(seconds: float, hundredths: bool = False) -> str:
    """``m:ss``, or ``h:mm:ss`` from an hour on (whole seconds cut); with ``hundredths``
    ``m:ss.ss``, rounded to the nearest hundredth."""
    cents = max(int(seconds * 100 + 0.5) if hundredths else int(seconds) * 100, 0)
    hours, rest = divmod(cents // 100, 3600)
    text = f"{hours}:{rest // 60:02d}:{rest % 60:02d}" if hours else f"{rest // 60}:{rest % 60:02d}"
    return text + f".{cents % 100:02d}" if hundredths else text


_TIME = re.compile(r"(?:(?:(\d+):)?(\d+):)?(\d+(?:\.\d*)?|\.\d+)")


def _shown(text: str) -> str:
    """``text`` with control characters escaped, for a message."""
    return "".join(c if c.isprintable() else f"\\x{ord(c):02x}" for c in text)


def parse_time(text: str, option: str = "--start") -> float:
    """Seconds from ``"90"``, ``"1.5"``, ``"1:30"`` or ``"1:02:03.5"``; :class:`TimeError` else."""
    match = _TIME.fullmatch(text.strip())
    if match is None or (match.group(2) is not None and float(match.group(3)) >= 60) or (
        match.group(1) is not None and int(match.group(2)) >= 60
    ):
        raise TimeError(f"{option}: {_shown(text)} is not a time; give seconds or [hh:]mm:ss")
    hours, minutes, seconds = match.groups()
    return int(hours or 0) * 3600 + int(minutes or 0) * 60 + float(seconds)


def check_range(
    start: float, end: Optional[float], duration: Optional[float]
) -> Tuple[float, Optional[float]]:
    """``(start, end)`` checked against each other and the media's duration (``None``: unknown);
    an ``end`` at the media's end is no end of its own."""
    if duration is not None and start > 0 and start >= duration:
        given, last = _times(start, duration)
        raise TimeError(f"--start {given} is not before the end ({last})")
    if end is not None and end <= start:
        raise TimeError(f"--end {format_time(end)} is not after --start {format_time(start)}")
    if end is not None and duration is not None and end >= duration:
        if end > duration + 1e-6:
            given, last = _times(end, duration)
            raise TimeError(f"--end {given} is past the end ({last})")
        end = None
    return start, end


def _times(given: float, duration: float) -> Tuple[str, str]:
    """A time given and the duration as a message shows them: to the hundredth where whole
    seconds would look the same."""
    plain = format_time(given), format_time(duration)
    return plain if plain[0] != plain[1] else (format_time(given, True), format_time(duration, True))


class PlayerClock:
    """Position, pause, speed, loop and range of one playback, and the verdict on each frame.

    ``hold`` is the time of the last frame for a player that knows it and stops on it rather than
    ending (the interactive recording player): playing reaches it and pauses there. A player that
    finds its end only when the frames run out says so with :meth:`held`. At the end (``ended``)
    space plays again from the start."""

    def __init__(
        self, duration: Optional[float], *, start: float = 0.0, end: Optional[float] = None,
        loop: bool = False, audio: Optional[Audio] = None,
        now: Callable[[], float] = time.monotonic, hold: Optional[float] = None,
    ) -> None:
        self.duration = duration
        self.start, self.end = check_range(start, end, duration)
        self.loop = loop
        self.audio = audio
        self.now = now
        self.hold = hold
        self.paused = False
        self.ended = False
        """Stopped at the end, paused on the last frame."""
        self.dropped = 0
        """Frames passed over because they were late."""
        self.shown: Optional[float] = None
        """Time of the frame on screen, as reported to :meth:`show`."""
        self._speed = SPEEDS.index(1.0)
        self._at, self._since = self.start, now()
        self._audio_stale = False

    @property
    def speed(self) -> float:
        return SPEEDS[self._speed]

    @property
    def limit(self) -> Optional[float]:
        """Where playback stops (or loops): ``--end``, else the media's end."""
        return self.end if self.end is not None else self.duration

    def _hearing(self) -> bool:
        return self.audio is not None and not self.paused and self.speed == 1.0

    def position(self) -> float:
        """The media time that should be on screen now (playing into ``hold`` pauses there)."""
        if self.paused:
            return self._at
        at = self._running()
        if self.hold is not None and at >= self.hold:
            self.held(self.hold)
            return self.hold
        return at

    def held(self, last: float) -> None:
        """Playback reached its end with the frame at ``last`` on screen: it pauses there."""
        self._anchor(last)
        self.paused = self.ended = True
        self._sound()

    def _running(self) -> float:
        if self._hearing() and not self._audio_stale:
            assert self.audio is not None
            heard = self.audio.clock()
            if heard is not None:
                self._at, self._since = heard, self.now()
                return heard
        return self._at + (self.now() - self._since) * self.speed

    def _anchor(self, at: float) -> None:
        self._at, self._since = at, self.now()

    def _sound(self) -> None:
        """Bring the sound in line with the state: playing only unpaused at normal speed."""
        if self.audio is None:
            return
        if self._hearing():
            if self._audio_stale:
                self.audio.seek(self._at)
                self._audio_stale = False
            self.audio.pause(False)
        else:
            self.audio.pause(True)

    def pause(self, paused: bool = True) -> None:
        """Stop (or go on) where playback stands."""
        if paused != self.paused:
            self._anchor(self.position())
            self.paused = paused
            self._sound()

    def seek(self, target: float) -> Command:
        """Go to ``target``, kept within the range (past its end: its start when looping)."""
        limit = self.limit
        if limit is not None and target >= limit:
            target = self.start if self.loop else max(limit - 1e-3, self.start)
        self._anchor(max(target, self.start))
        self.ended = False
        self._audio_stale = True
        self._sound()
        return Command("seek", self._at)

    def show(self, time: float) -> None:
        """Report the frame now on screen; while paused the position is that frame."""
        self.shown = time
        if self.paused:
            self._at = time
            self._audio_stale = True

    def press(self, key: str) -> Command:
        """Act on a key of :data:`KEYS`; others do nothing. A step pauses and is left to the
        player, which knows the frames, as are the key-frame jumps."""
        action = KEYS.get(key, Command("none"))
        if action.kind == "pause":
            command = self.seek(self.start) if self.ended else Command("none")
            self.pause(not self.paused)
            return command
        if action.kind == "seek":
            return self.seek(self.position() + action.value)
        if action.kind == "start":
            return self.seek(self.start)
        if action.kind == "step" and action.value < 0:
            self.ended = False  # back from the end: space plays on from there
        if action.kind == "step":
            self.pause(True)
        elif action.kind == "speed":
            self._anchor(self.position())
            self._speed = min(max(self._speed + int(action.value), 0), len(SPEEDS) - 1)
            self._audio_stale = True
            self._sound()
            return Command("none")
        return action

    def decide(self, time: float, following: Optional[float] = None) -> Tuple[str, float]:
        """What to do with the frame due at ``time``: ``("wait", seconds)``, ``("show", 0)`` or
        ``("drop", 0)``. ``following`` is the next frame's time when already decoded: a frame
        whose successor is due is dropped however little late it is. Counts the drops."""
        if self.paused:
            return "wait", PAUSED_WAIT
        at = self.position()
        if time > at + EARLY:
            return "wait", (time - at) / self.speed
        if (following is not None and following <= at) or (following is None and at - time > SYNC):
            self.dropped += 1
            return "drop", 0.0
        return "show", 0.0

    def past_end(self, time: Optional[float]) -> Optional[Command]:
        """For the next frame's ``time`` (``None``: the media ended), the command when that is
        past the range: seek back to the start when looping, else ``"end"``."""
        limit = self.limit
        if time is not None and (limit is None or time < limit):
            return None
        return self.seek(self.start) if self.loop else Command("end")

    def status(self, width: int, note: str = "", *, title: str = "", depth: str = "") -> str:
        """The status line, at most ``width`` characters: position / duration (in hundredths
        while paused, so that each step shows), then what is worth knowing (end or paused,
        speed, ``title``, ``depth``, frames dropped, ``note``), the least important cut first."""
        where = format_time(self.position(), hundredths=self.paused)
        if self.duration is not None:
            where += f" / {format_time(self.duration)}"
        parts = [where]
        if self.paused:
            parts.append("end" if self.ended else "paused")
        if self.speed != 1.0:
            parts.append(f"{self.speed:g}x")
        parts += [_shown(" ".join(text.split())) for text in (title, depth) if text]
        if self.dropped:
            parts.append(f"dropped {self.dropped}")
        if note:
            parts.append(_shown(" ".join(note.split())))
        while len(parts) > 1 and len("  ".join(parts)) > width:
            parts.pop()
        return "  ".join(parts)[: max(width, 0)]
