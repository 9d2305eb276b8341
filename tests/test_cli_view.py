"""`corvane view`: videos and images through OpenCV onto a pty, recorded, paced, quit by key."""

import re

import cv2
import numpy as np
import pytest

from cli_session import Session, corvane
from conftest import HIDE
from corvane import Recording
from corvane.sources import Pacer


def write_video(path, count, fps=20.0, size=(64, 48)):
    writer = cv2.VideoWriter(str(path), cv2.VideoWriter.fourcc(*"MJPG"), fps, size)
    for i in range(count):
        writer.write(np.full((size[1], size[0], 3), (0, 0, 160 + 10 * i), np.uint8))
    writer.release()


def test_video_is_shown_and_recorded(tmp_path):
    write_video(tmp_path / "v.avi", 10)
    run = corvane(["view", "v.avi", "--record", "r.lzdx"], tmp_path, cols=40, rows=12)
    assert run.returncode == 0 and run.stderr == "" and run.restored
    summary = re.search(rb"v\.avi: (\d+) frames? shown(?:, (\d+) dropped)?; recorded to r\.lzdx\n$", run.stdout)
    shown, dropped = int(summary.group(1)), int(summary.group(2) or 0)
    assert shown + dropped == 10 and shown >= 1
    with Recording(tmp_path / "r.lzdx") as rec:
        assert len(rec) == shown and rec.verify() is None
        frame = rec[-1]
    # 64 x 48 letterboxed into the 40 x 22 grid: 29 x 22 at x = 5.
    assert frame.shape == (22, 40, 3)
    assert not frame[:, :5].any() and not frame[:, 34:].any()
    assert frame[:, 6:33, 2].min() > 140 and frame[:, 6:33, :2].max() < 20  # red, whichever frame it is


@pytest.mark.parametrize("key", [b"q", b"\x1b"], ids=["q", "esc"])
def test_image_stays_until_a_quit_key(tmp_path, key):
    cv2.imwrite(str(tmp_path / "i.png"), np.full((30, 30, 3), 200, np.uint8))
    session = Session(["view", "i.png"], tmp_path, cols=20, rows=6)
    session.wait_for(b"q/Esc: quit")
    session.type(key)
    run = session.finish()
    assert run.returncode == 0 and run.restored
    assert run.stdout.count(HIDE) == 1 and run.stdout.endswith(b"i.png: 1 frame shown\n")


def test_duration_ends_a_camera_like_endless_view(tmp_path):
    cv2.imwrite(str(tmp_path / "i.png"), np.zeros((4, 4, 3), np.uint8))
    run = corvane(["view", "i.png", "--duration", "0.3", "--stretch"], tmp_path, cols=10, rows=4)
    assert run.returncode == 0 and run.restored and b"1 frame shown" in run.stdout


class FakeClock:
    def __init__(self):
        self.now = 100.0

    def __call__(self):
        return self.now

    def sleep(self, seconds):
        self.now += seconds


@pytest.mark.parametrize("elapsed, last, late, waits", [
    (0.0, -1, 0, 0.0),     # the first frame is due at once
    (0.05, 0, 0, 0.05),    # frame 1 is due at 0.1 s: wait for it
    (0.15, 0, 0, 0.0),     # in frame 1's slot: show it now
    (0.25, 0, 1, 0.0),     # frame 1's slot is over: drop it, frame 2 is due
    (1.05, 3, 6, 0.0),     # frames 4 to 9 are late
])
def test_pacer_drops_late_frames(elapsed, last, late, waits):
    clock = FakeClock()
    pacer = Pacer(10.0, clock=clock, sleep=clock.sleep)
    clock.now += elapsed
    assert pacer.late(last) == late
    before = clock.now
    pacer.wait(last + 1 + late)
    assert clock.now - before == pytest.approx(waits)
