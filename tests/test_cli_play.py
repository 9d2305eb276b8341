"""`corvane play` (native) and `corvane play -i` (interactive): keys through a pty, terminal restored."""

import signal
import time

import pytest

from cli_session import Session, corvane, statuses
from conftest import HIDE
from corvane.player import PlayerState
from recording_cases import DAMAGED, GOOD, numbered


def grey_cell(value: int) -> bytes:
    return b"\x1b[38;2;%d;%d;%d;48;2;%d;%d;%dm" % ((value,) * 6)


@pytest.mark.parametrize("keys, index, paused, speed", [
    (". .", 2, True, 1.0),
    (", ,", 0, True, 1.0),            # no further back than the first frame
    ("]", 5, False, 1.0),             # key frames every 5: 0, 5, 10, 15
    ("] ] ] ] ]", 15, False, 1.0),    # no key frame after the last one
    ("] ] . . [", 10, True, 1.0),     # from 12 back to the key frame before it
    ("] [", 0, False, 1.0),           # from a key frame to the one before it
    ("+ + +", 0, False, 8.0),
    ("- - - - -", 0, False, 0.125),
    ("= SP", 0, True, 2.0),           # "=" is "+" without shift; space pauses
    ("x ? enter", 0, False, 1.0),     # other keys do nothing
])
def test_player_keys(keys, index, paused, speed):
    state = PlayerState(20, [0, 5, 10, 15])
    for key in keys.split():
        state.press(" " if key == "SP" else key)
    assert (state.index, state.paused, state.speed, state.quit) == (index, paused, speed, False)


def test_player_runs_to_the_end_and_space_starts_again():
    state = PlayerState(20, [0])
    state.press("+")
    state.advance(0.033 * 5)  # five frames' time at double speed: ten frames on
    assert state.index == 10 and not state.paused
    state.advance(10.0)
    assert (state.index, state.paused) == (19, True) and state.status().startswith("end 20/20")
    state.press(" ")
    assert (state.index, state.paused) == (0, False)
    state.press("esc")
    assert state.quit


@pytest.fixture
def numbered_file(tmp_path):
    path = tmp_path / "n.lzdx"
    path.write_bytes(numbered(20, 60, 10))  # drawn unscaled on a 60 x 6 terminal
    return path


def test_interactive_keys_through_the_pty(tmp_path, numbered_file):
    session = Session(["play", "-i", "--paused", numbered_file.name], tmp_path, cols=60, rows=6)
    at = session.wait_for(b"paused 1/20 key")
    steps = [(b".", "paused 2/20 ", 10), (b".", "paused 3/20 ", 20), (b",", "paused 2/20 ", 10),
             (b"]", "paused 6/20 key", 50), (b"]", "paused 11/20 key", 100), (b"[", "paused 6/20 key", 50),
             (b"+", "2x", None), (b"-", "paused 6/20 key  0:00.17/0:00.66  1x", None)]
    for key, status, grey in steps:
        session.type(key)
        found = session.wait_for(status.encode(), after=at)
        if grey is not None:
            assert grey_cell(grey) in session.output()[at:found], (key, status)
        at = found
    session.type(b" ")
    session.wait_for(b"end 20/20", after=at)
    session.type(b"q")
    run = session.finish()
    assert run.returncode == 0 and run.stderr == ""
    assert run.restored
    shown = statuses(run.stdout, 6)
    assert any(s.startswith("playing") for s in shown) and shown[-1].startswith("end 20/20")


@pytest.mark.parametrize("args", [["play"], ["play", "-i"]], ids=["native", "interactive"])
def test_ctrl_c_restores_the_terminal(tmp_path, args):
    path = tmp_path / "long.lzdx"
    path.write_bytes(numbered(900, 8, 4))
    session = Session([*args, path.name], tmp_path, cols=8, rows=3)
    session.wait_for(HIDE)
    time.sleep(0.3)
    session.proc.send_signal(signal.SIGINT)
    run = session.finish()
    assert run.returncode == 130 and "Traceback" not in run.stderr
    assert run.restored


def test_native_play_draws_every_frame(tmp_path, numbered_file):
    for extra in ([], ["--sharpen", "0.5"]):
        run = corvane(["play", numbered_file.name, *extra], tmp_path, cols=60, rows=6)
        assert run.returncode == 0 and run.stderr == "" and run.restored
        if not extra:
            assert all(grey_cell(10 * i) in run.stdout for i in range(20))


def test_interactive_shows_the_readable_part_of_a_damaged_file(tmp_path):
    (tmp_path / "cut.lzdx").write_bytes(GOOD + DAMAGED[0].tail)
    session = Session(["play", "-i", "cut.lzdx"], tmp_path, cols=40, rows=4)
    session.wait_for(b"end 3/3")
    session.type(b"q")
    run = session.finish()
    assert run.one_line_error() == f"corvane: cut.lzdx: record 4 at offset {len(GOOD)}: header cut short: 10 of 21 bytes"
    assert run.restored
