"""The player's controls: times on the command line, the clock and its verdicts, the key reader."""

from __future__ import annotations

import os
from unittest import mock

import pytest

from children import set_size
from corvane.playback.clock import PlayerClock, TimeError, parse_time
from pty_child import Child


def ticking():
    """A monotonic clock the test moves by hand: ``ticks[0] += seconds``."""
    ticks = [100.0]
    return ticks, lambda: ticks[0]


@pytest.mark.parametrize("text, seconds", [("90", 90.0), ("1.5", 1.5), (".5", 0.5), ("1:30", 90.0),
                                           ("01:02:03.5", 3723.5), (" 0:07 ", 7.0)])
def test_times(text, seconds):
    assert parse_time(text) == seconds


@pytest.mark.parametrize("text", ["", "-5", "1:60", "1:75:00", "1::2", "a", "1:2:3:4", "5s", "\x1b[2J"])
def test_bad_times_are_one_line(text):
    message = str(pytest.raises(TimeError, parse_time, text, "--end").value)
    assert message.startswith("--end: ") and "\x1b" not in message


def test_frames_wait_show_or_drop_by_the_clock():
    ticks, now = ticking()
    clock = PlayerClock(10.0, now=now)
    assert clock.decide(0.5) == ("wait", 0.5)
    ticks[0] += 0.5
    assert clock.decide(0.5) == ("show", 0.0)
    ticks[0] += 0.03
    assert clock.decide(0.5) == ("show", 0.0)  # a little late, nothing newer due
    assert clock.decide(0.5, following=0.52) == ("drop", 0.0)  # its successor is due
    ticks[0] += 0.02
    assert clock.decide(0.5) == ("drop", 0.0)  # beyond 45 ms late
    assert clock.dropped == 2
    clock.press("+"), clock.press("+")  # 2x: waits halve
    assert clock.speed == 2.0 and clock.decide(1.55) == ("wait", pytest.approx(0.5))
    clock.press(" ")
    ticks[0] += 5
    assert clock.paused and clock.decide(0.6)[0] == "wait" and clock.position() == pytest.approx(0.55)


def test_keys_seek_step_and_loop_within_the_range():
    clock = PlayerClock(100.0, start=10.0, end=50.0, loop=True, now=ticking()[1])
    # past the end: back to the start when looping; before the start: the start
    assert [clock.press(k) for k in ("right", "up", "left", "home")] == [("seek", 15.0)] + [("seek", 10.0)] * 3
    assert clock.press(".") == ("step", 1.0) and clock.paused
    clock.show(10.04)
    assert clock.press(",") == ("step", -1.0) and clock.position() == 10.04
    assert clock.past_end(49.9) is None and clock.past_end(50.0) == ("seek", 10.0)
    clock.loop = False
    assert clock.past_end(None) == ("end", 0.0) and clock.press("esc") == ("quit", 0.0)
    assert [clock.press("-") for _ in range(9)] and clock.speed == 0.25


def test_the_recording_player_holds_its_last_frame():
    ticks, now = ticking()
    clock = PlayerClock(0.66, now=now, hold=0.627)
    ticks[0] += 1.0
    assert clock.position() == 0.627 and clock.paused  # stopped on the last frame, not past it
    assert clock.press("]") == ("keyframe", 1.0)  # left to the player, which knows the key frames
    assert clock.press(" ") == ("seek", 0.0) and not clock.paused  # from the start again


def test_the_sound_leads_while_it_plays_at_normal_speed():
    (ticks, now), sound = ticking(), mock.Mock()
    clock = PlayerClock(60.0, audio=sound, now=now)
    sound.clock.return_value = 3.0
    assert clock.position() == 3.0  # the sound's time, not the 0 s of the monotonic clock
    sound.clock.return_value = None
    ticks[0] += 0.5
    assert clock.position() == 3.5  # carries on from the sound's last word
    clock.press("right"), clock.press("+")  # muted at 1.5x
    ticks[0] += 1.0
    clock.press("-"), clock.press(" ")
    assert [c for c in sound.mock_calls if c[0] != "clock"] == [
        mock.call.seek(8.5), mock.call.pause(False), mock.call.pause(True),
        mock.call.seek(10.0), mock.call.pause(False), mock.call.pause(True)]


@pytest.mark.parametrize("width", [0, 5, 12, 23, 31, 90])
def test_the_status_line_never_exceeds_its_width(width):
    ticks, now = ticking()
    clock = PlayerClock(3725.0, now=now)
    ticks[0], clock.dropped = ticks[0] + 3601, 7
    clock.press("+"), clock.press(" ")
    line = clock.status(width, "no sound device\n\x1b[2J", depth="256 colours")
    assert len(line) <= width
    full = "1:00:01.00 / 1:02:05  paused  1.5x  256 colours  dropped 7  no sound device \\x1b[2J"
    assert full.startswith(line) and (line == full or width < len(full))


# What the terminal sends -> the key named (every name is the key decoder's, tests/cpp/test_keys.cpp);
# mouse reports, replies and pastes give none, and a lone Esc at the end of what was sent is the Esc key.
KEY_NAMES = [
    (b"\x1b[D", "left"), (b"\x1b[1;5B", "ctrl+down"), (b"\x1b[3;2~", "shift+delete"), (b"\r", "enter"),
    (b"q ,.[]-+=", list("q ,.[]-+=")), (b"\xc3\xa9", "\u00e9"), (b"\x1bq", "alt+q"),
    (b"\x1b[<0;3;4M\x1b[12;40R\x1b[?1;2c\x1b[200~x\x1b[201~", []), (b"\x1b", "esc"),
]

READ_KEYS = """
import time
from corvane.display.keys import KeyReader
from corvane.display.terminal import cbreak
names, deadline = [], time.monotonic() + 30
with cbreak(), KeyReader() as keys:
    print("ready", file=sys.stderr, flush=True)
    for count, line in ((%d, "read"), (%d, "done")):
        while len(names) < count and time.monotonic() < deadline:
            key = keys.poll()
            names += [key] if key else []
            time.sleep(0.01)
        print(line, file=sys.stderr, flush=True)
report(names)
"""


def test_keys_are_named_on_a_terminal(tmp_path):
    want = [name for _, names in KEY_NAMES for name in ([names] if isinstance(names, str) else names)]
    child = Child(tmp_path, READ_KEYS % (len(want), len(want) + 1))
    child.wait_line(b"ready")
    os.write(child.master, b"".join(data for data, _ in KEY_NAMES))
    child.wait_line(b"read")
    set_size(child.master, 100, 30)  # after the keys, so that it comes after them
    run = child.result()
    assert run.report == want + ["resize"], run.stderr
