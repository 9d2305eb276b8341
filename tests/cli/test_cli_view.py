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
from pty_session import set_winsize, wait_until
from pty_child import HIDE, SHOW
from corvane import Recording
from clips import clip

TIMES = [0.0, 0.1, 0.15, 1.0, 1.05, 1.9]  # variable rate; the container says it lasts 1.18 s


def levels(path):
    with Recording(path) as rec:
        return [round(int(frame[2, 2, 1]) / 4) for frame in rec]


def ended(args, tmp_path, **options):  # `corvane view ARGS` until it holds its last picture, then q
    session = Session(["view"] + args, tmp_path, **options)
    session.wait_for(b"  end")
    session.type(b"q")
    return session.finish()


def test_pictures_appear_at_their_times_and_the_end_holds(tmp_path):
    clip(tmp_path / "v.mp4", TIMES)
    run = ended(["v.mp4", "--record", "r.lzdx"], tmp_path, cols=40, rows=12)
    assert run.returncode == 0 and run.restored and run.stdout.endswith(b"v.mp4: 6 frames shown; recorded to r.lzdx\n")
    assert b"1:90 / 0:01  end" not in run.stdout and b"0:01.90 / 0:01  end" in run.stdout  # the held frame, in hundredths
    got = levels(tmp_path / "r.lzdx")  # one record per 33 ms of the screen's time
    for index, at in enumerate(TIMES):
        assert got[round(at / 0.033) + 1] == index, (index, got)
    run = ended(["v.mp4", "--start", "0:00.12", "--end", "1.02", "--record", "e.lzdx"], tmp_path, cols=40, rows=12)
    got = levels(tmp_path / "e.lzdx")
    assert run.returncode == 0 and got[0] == 1 and got[-1] == 3 and run.stdout.endswith(b": 3 frames shown; recorded to e.lzdx\n")


@pytest.mark.parametrize("wire", [[], ["--tolerance", "0"]], ids=["exact", "wire"])  # wire: decoded ahead
def test_keys_seek_pause_step_and_speed(tmp_path, wire):
    clip(tmp_path / "v.mp4", [i / 10 for i in range(200)], pictures=[np.full((48, 64, 3), 4 * (i // 10), np.uint8) for i in range(200)])
    session = Session(["view", "v.mp4", "--record", "r.lzdx"] + wire, tmp_path, cols=60, rows=8)
    at = session.wait_for(b"0:00 / 0:19")
    for key, status in [(b"\x1b[C", "0:05 / 0:19"), (b" ", "  paused"), (b"\x1b[A", "0:19.90 / 0:19  paused"),
                        (b"\x1b[H", "0:00.00 / 0:19  paused"), (b".", "0:00.10 / 0:19  paused"), (b"+", "paused  1.5x")]:
        session.type(key)
        at = session.wait_for(status.encode(), after=at)
        time.sleep(0.1)  # a picture on show for less than a record's 33 ms is not recorded
    set_winsize(session.slave, 80, 16)  # paused: drawn again at once, and recorded, at the new size
    os.killpg(session.job(), signal.SIGWINCH)
    session.wait_for(b"\x1b[16;1H", after=at)
    time.sleep(0.1)
    session.type(b"q")
    run = session.finish()
    assert run.returncode == 0 and run.restored and run.stderr == "" and b"dropped" not in run.stdout
    with Recording(tmp_path / "r.lzdx") as rec:
        assert [frame.shape[0] for frame in rec][-1] == 30  # 15 rows of the 16 (was 7)
    got = levels(tmp_path / "r.lzdx")
    seconds = [level for i, level in enumerate(got) if i == 0 or level != got[i - 1]]
    assert seconds[:2] == [0, 5] and seconds[-2:] == [19, 0], got


@pytest.mark.skipif(os.path.exists("/dev/snd"), reason="a machine with sound")
def test_sound_without_a_device_is_a_note_and_the_pictures_keep_time(tmp_path):
    clip(tmp_path / "s.mkv", [i / 10 for i in range(20)], audio=2.0)
    session = Session(["view", "s.mkv"], tmp_path, cols=60, rows=8)
    began = time.monotonic()
    session.wait_for(b"0:00 / 0:02  24-bit  no sound device")
    session.wait_for(b"  end")
    assert 1.9 < time.monotonic() - began < 6
    session.type(b"q")
    run = session.finish()
    assert run.returncode == 0 and b"20 frames shown\n" in run.stdout
    run = corvane(["view", "s.mkv", "--mute", "--duration", "0.5"], tmp_path, cols=60, rows=8)
    assert run.returncode == 0 and b"no sound" not in run.stdout


def test_ctrl_z_gives_the_terminal_back_and_fg_goes_on(tmp_path):
    write_video(tmp_path / "v.mp4", 40, fps=20)
    session = Session(["view", "v.mp4"], tmp_path, cols=50, rows=8)
    session.wait_for(b"0:00 / 0:01")
    session.type(b"\x1a")
    stopped_at = session.wait_for(SHOW) + len(SHOW)
    wait_until(lambda: open(f"/proc/{session.job()}/stat").read().split()[2] == "T", 10)
    assert len(session.output()) == stopped_at and termios.tcgetattr(session.slave) == session.before
    time.sleep(1.0)
    os.killpg(session.job(), signal.SIGCONT)
    session.wait_for(b"  end", after=stopped_at)
    session.type(b" ")  # at the end: from the start again
    session.wait_for(b"0:00 / 0:01", after=session.wait_for(b"  end", after=stopped_at))
    session.type(b"q")
    run = session.finish()
    assert run.returncode == 0 and run.restored and run.stdout.find(HIDE, stopped_at) > 0
    shown = re.search(rb"v\.mp4: (\d+) frames shown(?:, (\d+) dropped)?\n$", run.stdout)
    assert int(shown.group(2) or 0) < 10, "the video goes on where it was, not a second later"


@pytest.mark.parametrize("mode, key", [("kitty", b"\x03"), ("kitty", b"q"), ("sixel", b"\x03"), ("sextant", b"q")])
def test_graphics_video_gives_the_terminal_back_and_kitty_keeps_no_image(tmp_path, mode, key):
    write_video(tmp_path / "v.mp4", 40, fps=20)
    session = Session(["view", "--graphics", mode, "v.mp4"], tmp_path, cols=50, rows=8)
    session.wait_for({"kitty": b"\x1b_Ga=d", "sixel": b"\x1bPq", "sextant": b"\xf0\x9f\xac"}[mode])
    session.type(key)
    run = session.finish()
    assert run.returncode in (0, 130) and run.restored
    placed = set(re.findall(rb"\x1b_Ga=T[^;]*,i=(\d+)", run.stdout))
    assert len(placed) == (2 if mode == "kitty" else 0)  # two ids in turn, whatever the frames
    last = run.stdout.rfind(b"\x1b_Ga=T")
    assert all(b"\x1b_Ga=d,d=I,i=%s,q=2\x1b\\" % i in run.stdout[last:] for i in placed)


@pytest.mark.parametrize("key", [b"q", b"\x1b"], ids=["q", "esc"])
def test_images_stay_until_a_quit_key_n_p_go_through_them_and_names_are_escaped(tmp_path, key):
    Image.new("RGB", (30, 30), (200, 200, 200)).save(tmp_path / "\x1b[5mi.png")
    Image.new("RGB", (20, 10), (9, 9, 9)).save(tmp_path / "j.png")
    session = Session(["view", "\x1b[5mi.png", "j.png"], tmp_path, cols=50, rows=6)
    at = session.wait_for(b"1/2 \\x1b[5mi.png  30 x 30  24-bit")
    for typed, status in [(b"p", None), (b"n", b"2/2 j.png  20 x 10"), (b"n", None), (b"p", b"1/2 \\x1b[5mi.png")]:
        session.type(typed)
        if status is not None:
            at = session.wait_for(status, after=at)
    session.type(key)
    run = session.finish()
    assert run.returncode == 0 and run.restored and run.stdout.count(b"j.png: 1 frame shown\n") == 1


@pytest.mark.parametrize("key, upscale, drawn", [(b"q", [], 6), (b"\x1b", ["--upscale"], 10)], ids=["q", "esc"])
def test_a_small_still_keeps_its_size_unless_upscaled(tmp_path, key, upscale, drawn):
    Image.new("RGB", (6, 6), (200, 200, 200)).save(tmp_path / "\x1b[5mi.png")
    session = Session(["view", "\x1b[5mi.png", *upscale], tmp_path, cols=50, rows=6)
    session.wait_for(b"\\x1b[5mi.png  6 x 6")
    session.type(key)
    run = session.finish()
    assert run.returncode == 0 and run.restored
    assert (picture(run.stdout)[..., 0] > 100).sum() == drawn * drawn, "enlarged only when asked"
    assert run.stdout.count(HIDE) == 1 and run.stdout.endswith(b"\\x1b[5mi.png: 1 frame shown\n")
    assert b"\x1b[5m" not in run.stdout



def test_view_reads_standard_input_and_keys_from_the_terminal(tmp_path):
    write_video(tmp_path / "v.mp4", 20)
    code = ("import os, runpy, sys; os.dup2(os.open('v.mp4', os.O_RDONLY), 0); sys.argv = ['corvane', 'view', '-'];"
            " runpy.run_module('corvane', run_name='__main__')")
    session = Session(["-c", code], tmp_path, cols=40, rows=8, python=True)
    session.type(b" ")  # from /dev/tty: standard input is the video
    at = session.wait_for(b"  paused")
    session.type(b" ")
    session.wait_for(b"0:00  24-bit", after=at)
    run = session.finish()
    shown = re.search(rb"standard input: (\d+) frames shown(?:, (\d+) dropped)?\n$", run.stdout)
    assert run.returncode == 0 and run.restored and int(shown[1]) + int(shown[2] or 0) == 20  # every frame read
