"""`corvane view` on a pty: recorded on the players' clock, quit by key, Ctrl-Z, names escaped."""

import json
import os
import re
import signal
import termios
import time

import cv2
import numpy as np
import pytest

from cli_session import Session, corvane, write_video
from conftest import HIDE, SHOW
from corvane import Recording


@pytest.mark.parametrize("fps", [12, 60])
def test_a_recording_lasts_as_long_as_the_video(tmp_path, fps):
    write_video(tmp_path / "v.avi", 2 * fps, fps=fps)
    run = corvane(["view", "v.avi", "--record", "r.lzdx"], tmp_path, cols=40, rows=12)
    summary = re.search(rb"v\.avi: (\d+) frames shown(?:, (\d+) dropped)?; recorded to r\.lzdx\n$", run.stdout)
    assert run.restored and int(summary.group(1)) + int(summary.group(2) or 0) == 2 * fps, run.stderr
    info = json.loads(corvane(["info", "--json", "r.lzdx"], tmp_path, tty=False).stdout)
    assert info["seconds"] == pytest.approx(2.0, rel=0.05) and info["intact"]
    with Recording(tmp_path / "r.lzdx") as rec:
        # 64 x 48 fitted into the 40 x 22 grid is 29 x 22: the picture without the margins
        assert {frame.shape for frame in rec} == {(22, 29, 3)}
        assert rec[0][:, :, 2].min() > 90 and rec[-1][:, :, 2].min() > 100 + 2 * fps - 15


def test_ctrl_z_gives_the_terminal_back_and_fg_goes_on(tmp_path):
    write_video(tmp_path / "v.avi", 40, fps=20)
    session = Session(["view", "v.avi"], tmp_path, cols=50, rows=8)
    session.wait_for(b"5 shown")
    session.type(b"\x1a")
    stopped_at = session.wait_for(SHOW) + len(SHOW)
    deadline = time.monotonic() + 10
    while open(f"/proc/{session.job()}/stat").read().split()[2] != "T" and time.monotonic() < deadline:
        time.sleep(0.05)
    assert len(session.output()) == stopped_at and termios.tcgetattr(session.slave) == session.before
    time.sleep(1.0)
    os.killpg(session.job(), signal.SIGCONT)
    run = session.finish()
    assert run.returncode == 0 and run.restored and run.stdout.find(HIDE, stopped_at) > 0
    shown = re.search(rb"v\.avi: (\d+) frames shown(?:, (\d+) dropped)?\n$", run.stdout)
    assert int(shown.group(2) or 0) < 10, "the video goes on where it was, not a second later"


@pytest.mark.parametrize("key", [b"q", b"\x1b"], ids=["q", "esc"])
def test_image_stays_until_a_quit_key_and_its_name_is_escaped(tmp_path, key):
    cv2.imwrite(str(tmp_path / "i.png"), np.full((30, 30, 3), 200, np.uint8))
    os.rename(tmp_path / "i.png", tmp_path / "\x1b[5mi.png")
    session = Session(["view", "\x1b[5mi.png"], tmp_path, cols=50, rows=6)
    session.wait_for(b"q/Esc: quit  \\x1b[5mi.png  30 x 30")
    session.type(key)
    run = session.finish()
    assert run.returncode == 0 and run.restored
    assert run.stdout.count(HIDE) == 1 and run.stdout.endswith(b"\\x1b[5mi.png: 1 frame shown\n")
    assert b"\x1b[5m" not in run.stdout


def test_duration_ends_a_camera_like_endless_view(tmp_path):
    cv2.imwrite(str(tmp_path / "i.png"), np.zeros((4, 4, 3), np.uint8))
    run = corvane(["view", "i.png", "--duration", "0.3", "--stretch"], tmp_path, cols=10, rows=4)
    assert run.returncode == 0 and run.restored and b"1 frame shown" in run.stdout
