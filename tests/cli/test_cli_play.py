"""`corvane play [-i]` on a pty: keys, the shape kept, damage played up to, typed keys eaten."""

import os
import subprocess
import sys
import time

import pytest

from cli_session import Session, corvane, picture
from pty_child import HIDE
from recording_cases import GOOD, numbered, uniform
from recording_file import record
from reference import cell


def grey_cell(value: int) -> bytes:
    return cell((value,) * 3, (value,) * 3)


def test_interactive_keys_through_the_pty(tmp_path):
    (tmp_path / "n.lzdx").write_bytes(numbered(20, 60, 10))  # drawn unscaled on a 60 x 6 terminal
    session = Session(["play", "-i", "--paused", "n.lzdx"], tmp_path, cols=60, rows=6)
    at = session.wait_for(b"paused 1/20 key")
    steps = [(b".", "paused 2/20 ", 10), (b".", "paused 3/20 ", 20), (b",", "paused 2/20 ", 10),
             (b"]", "paused 6/20 key", 50), (b"]", "paused 11/20 key", 100), (b"[", "paused 6/20 key", 50),
             (b"+", "1.5x", None), (b"-", "paused 6/20 key  0:00.17/0:00.66  1x  24-bit", None)]
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
    assert run.returncode == 0 and run.stderr == "" and run.restored and b"0mplaying " in run.stdout


def test_plain_play_keeps_the_shape_quits_on_q_and_eats_the_keys(tmp_path):
    (tmp_path / "n.lzdx").write_bytes(numbered(900, 6, 4))  # 6 x 4 into a 40 x 22 grid: 33 x 22 at x = 3
    session = Session(["play", "n.lzdx", "--sharpen", "0.5"], tmp_path, cols=40, rows=12)
    session.wait_for(b"0:00 / 0:29  n.lzdx  24-bit")
    time.sleep(0.5)
    session.type(b"ls\n")
    time.sleep(0.3)
    session.type(b"q")
    started = time.monotonic()
    run = session.finish()
    assert run.returncode == 0 and run.stderr == "" and run.restored and time.monotonic() - started < 10
    grey = picture(run.stdout, run.stdout.index(grey_cell(100)) - 40)
    assert (grey[:, :3] == 0).all() and (grey[:, 36:] == 0).all() and (grey[:, 4:35] > 0).all()
    assert run.unread == 0, "keys typed during playback do not reach the shell"


# GOOD (three frames: 10, 20, 30), then record 4 whose payload is no zlib, then intact key 50, delta 60
PAYLOAD = GOOD + record(0, 2, 2, b"", payload=b"\xff" * 11) + record(0, 2, 2, uniform(50)) + record(1, 2, 2, bytes(12))
CUT = GOOD + record(1, 2, 2, bytes(12))[:10]


@pytest.mark.parametrize("content, damage, stop", [
    (PAYLOAD, f"record 4 at offset {len(GOOD) + 21}: payload is no valid zlib stream", "4/6"),
    (CUT, f"record 4 at offset {len(GOOD)}: header cut short: 10 of 21 bytes", "3/3"),
], ids=["payload", "cut"])
def test_both_players_play_up_to_the_damage(tmp_path, content, damage, stop):
    (tmp_path / "d.lzdx").write_bytes(content)
    plain = corvane(["play", "d.lzdx"], tmp_path, cols=40, rows=4)
    line = plain.one_line_error()
    assert line.startswith(f"corvane: d.lzdx: damaged at {damage}") and plain.restored
    assert all(grey_cell(v) in plain.stdout for v in (10, 20, 30)) and grey_cell(50) not in plain.stdout
    session = Session(["play", "-i", "d.lzdx"], tmp_path, cols=120, rows=4)
    at = session.wait_for(f"damaged {stop}: {damage}".encode())
    if content is PAYLOAD:  # the intact key frame after the damage, and on from there
        session.type(b"]")
        key = session.wait_for(b"paused 5/6 key", after=at)
        assert grey_cell(50) in session.output()[at:key]
        session.type(b" ")
        session.wait_for(b"end 6/6", after=key)
    session.type(b"q")
    run = session.finish()
    assert run.one_line_error() == line and run.restored


@pytest.mark.parametrize("env, depth, cells", [
    ({}, "24-bit", b"\x1b[38;2;"),
    ({"COLORTERM": "", "TERM": "xterm-256color"}, "256 colours", b"\x1b[48;5;"),
    ({"COLORTERM": "", "TERM": "linux"}, "16 colours", b"\x1b[40m"),
    ({"COLORTERM": "", "TERM": "tmux-256color", "TMUX": "/nonexistent,1,0"}, "256 colours", b"\x1b[48;5;"),
], ids=["24bit", "256", "linux", "tmux"])
def test_the_colour_depth_follows_the_terminal(tmp_path, env, depth, cells):
    (tmp_path / "d.lzdx").write_bytes(GOOD)
    run = corvane(["play", "d.lzdx"], tmp_path, cols=60, rows=4, env=env)
    wire = depth != "24-bit"  # the exact stream on a 24-bit terminal, else the wire at the default tolerance
    assert run.returncode == 0 and f"d.lzdx  {depth}{' tolerance 2' if wire else ''}".encode() in run.stdout
    assert cells in run.stdout and (b";48;2;" in run.stdout) != wire
    shown = subprocess.run([sys.executable, "-m", "corvane", "play", "--help"], capture_output=True, text=True,
                           env=dict(os.environ, **env))
    assert f"default: auto, from COLORTERM, TERM and tmux; here {depth})" in " ".join(shown.stdout.split())
