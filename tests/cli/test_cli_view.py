"""`corvane view` on a pty: paced by timestamps, keys while viewing, sound without a device, Ctrl-Z."""

import os
import re
import signal
import termios
import time

import numpy as np
import pytest
from PIL import Image

from cli_session import Session, corvane, picture, write_video
from pty_child import HIDE, SHOW
from corvane import Recording
from clips import clip

TIMES = [0.0, 0.1, 0.15, 1.0, 1.05, 1.9]  # variable rate; the container says it lasts 1.18 s


def levels(path):
    with Recording(path) as rec:
        return [round(int(frame[2, 2, 1]) / 4) for frame in rec]


def test_pictures_appear_at_their_times_and_end_cuts(tmp_path):
    clip(tmp_path / "v.mp4", TIMES)
    run = corvane(["view", "v.mp4", "--record", "r.lzdx"], tmp_path, cols=40, rows=12)
    assert run.returncode == 0 and run.restored and run.stdout.endswith(b"v.mp4: 6 frames shown; recorded to r.lzdx\n")
    got = levels(tmp_path / "r.lzdx")  # one record per 33 ms of the screen's time
    for index, at in enumerate(TIMES):
        assert got[round(at / 0.033) + 1] == index, (index, got)
    assert len(got) * 0.033 == pytest.approx(2.1, abs=0.15)
    run = corvane(["view", "v.mp4", "--start", "0:00.12", "--end", "1.02", "--record", "e.lzdx"], tmp_path, cols=40, rows=12)
    got = levels(tmp_path / "e.lzdx")
    assert run.returncode == 0 and got[0] == 1 and got[-1] == 3 and len(got) * 0.033 == pytest.approx(0.9, abs=0.15)


@pytest.mark.parametrize("wire", [[], ["--tolerance", "0"]], ids=["exact", "wire"])  # wire: decoded ahead
def test_keys_seek_pause_step_and_speed(tmp_path, wire):
    clip(tmp_path / "v.mp4", [i / 10 for i in range(200)], pictures=[np.full((48, 64, 3), 4 * (i // 10), np.uint8) for i in range(200)])
    session = Session(["view", "v.mp4", "--record", "r.lzdx"] + wire, tmp_path, cols=60, rows=8)
    at = session.wait_for(b"0:00 / 0:19")
    for key, status in [(b"\x1b[C", "0:05 / 0:19"), (b" ", "  paused"), (b"\x1b[A", "0:19 / 0:19  paused"),
                        (b"\x1b[H", "0:00 / 0:19  paused"), (b"+", "paused  1.5x")]:
        session.type(key)
        at = session.wait_for(status.encode(), after=at)
        time.sleep(0.1)  # a picture on show for less than a record's 33 ms is not recorded
    session.type(b"q")
    run = session.finish()
    assert run.returncode == 0 and run.restored and run.stderr == ""
    got = levels(tmp_path / "r.lzdx")
    seconds = [level for i, level in enumerate(got) if i == 0 or level != got[i - 1]]
    assert seconds[:2] == [0, 5] and seconds[-2:] == [19, 0], got


@pytest.mark.skipif(os.path.exists("/dev/snd"), reason="a machine with sound")
def test_sound_without_a_device_is_a_note_and_the_pictures_keep_time(tmp_path):
    clip(tmp_path / "s.mkv", [i / 10 for i in range(20)], audio=2.0)
    session = Session(["view", "s.mkv"], tmp_path, cols=60, rows=8)
    began = time.monotonic()
    session.wait_for(b"0:00 / 0:02  no sound device")
    run = session.finish()
    assert run.returncode == 0 and b"20 frames shown\n" in run.stdout and 1.9 < time.monotonic() - began < 6
    run = corvane(["view", "s.mkv", "--mute", "--duration", "0.5"], tmp_path, cols=60, rows=8)
    assert run.returncode == 0 and b"no sound" not in run.stdout


def test_ctrl_z_gives_the_terminal_back_and_fg_goes_on(tmp_path):
    write_video(tmp_path / "v.mp4", 40, fps=20)
    session = Session(["view", "v.mp4"], tmp_path, cols=50, rows=8)
    session.wait_for(b"0:00 / 0:01")
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
    shown = re.search(rb"v\.mp4: (\d+) frames shown(?:, (\d+) dropped)?\n$", run.stdout)
    assert int(shown.group(2) or 0) < 10, "the video goes on where it was, not a second later"


@pytest.mark.parametrize("key, upscale, drawn", [(b"q", [], 6), (b"\x1b", ["--upscale"], 10)], ids=["q", "esc"])
def test_image_stays_until_a_quit_key_and_its_name_is_escaped(tmp_path, key, upscale, drawn):
    Image.new("RGB", (6, 6), (200, 200, 200)).save(tmp_path / "\x1b[5mi.png")
    session = Session(["view", "\x1b[5mi.png", *upscale], tmp_path, cols=50, rows=6)
    session.wait_for(b"\\x1b[5mi.png  6 x 6")
    session.type(key)
    run = session.finish()
    assert run.returncode == 0 and run.restored
    assert (picture(run.stdout) > 100).sum() == drawn * drawn, "enlarged only when asked"
    assert run.stdout.count(HIDE) == 1 and run.stdout.endswith(b"\\x1b[5mi.png: 1 frame shown\n")
    assert b"\x1b[5m" not in run.stdout
