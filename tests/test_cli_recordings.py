"""`corvane info` and `corvane export` on recordings made by hand, intact and damaged."""

import json

import cv2
import numpy as np
import pytest

from cli_session import corvane, without_opencv
from recording_cases import DAMAGED, GOOD, frames_of, numbered


@pytest.fixture
def twenty(tmp_path):
    (tmp_path / "n.lzdx").write_bytes(numbered(20, 6, 4))
    return "n.lzdx"


def test_info_text_and_json(tmp_path, twenty):
    size = (tmp_path / twenty).stat().st_size
    text = corvane(["info", twenty], tmp_path, tty=False)
    assert text.returncode == 0 and text.stderr == ""
    lines = text.stdout.decode().splitlines()
    assert lines[0] == f"file:         n.lzdx ({size:,} bytes)"
    assert lines[1] == "frames:       20 (4 key, 16 delta)"
    assert lines[2] == "frame size:   6 x 4 pixels (terminal 6 x 3): 20 frames"
    assert lines[-1] == "status:       intact"
    info = json.loads(corvane(["info", "--json", twenty], tmp_path, tty=False).stdout)
    assert info["file_size"] == size and info["raw_bytes"] == 20 * 72
    assert (info["frames"], info["key_frames"], info["delta_frames"]) == (20, 4, 16)
    assert info["sizes"] == [{"cols": 6, "rows": 4, "term_w": 6, "term_h": 3, "frames": 20}]
    assert info["payload_bytes"] == size - 4 - 20 * 21 and info["intact"] and info["error"] is None


@pytest.mark.parametrize("case", DAMAGED[::3], ids=[d.name for d in DAMAGED[::3]])
def test_info_on_damaged_files(tmp_path, case):
    (tmp_path / "d.lzdx").write_bytes(GOOD + case.tail)
    offset = len(GOOD) + (21 if case.in_payload else 0)
    run = corvane(["info", "--json", "d.lzdx"], tmp_path, tty=False)
    assert run.one_line_error().startswith(f"corvane: d.lzdx: damaged at record 4 at offset {offset}: {case.message}")
    info = json.loads(run.stdout)
    assert not info["intact"] and info["error"]["offset"] == offset and info["frames"] == case.readable


@pytest.mark.parametrize("opencv", [True, False], ids=["opencv", "no-opencv"])
def test_export_png(tmp_path, twenty, opencv):
    run = corvane(["export", twenty, "frames", "--scale", "2"], tmp_path, tty=False,
                  env=None if opencv else without_opencv(tmp_path))
    assert run.returncode == 0 and run.stderr == ""
    assert run.stdout == b"20 frames written to frames\n"
    files = sorted((tmp_path / "frames").iterdir())
    assert [f.name for f in files] == [f"frame-{i:06d}.png" for i in range(1, 21)]
    for file, expected in zip(files, frames_of(20, 6, 4)):
        assert np.array_equal(cv2.imread(str(file), cv2.IMREAD_UNCHANGED), np.kron(expected, np.ones((2, 2, 1), np.uint8)))


def test_export_png_keeps_colours_in_order(tmp_path):
    from recording_file import MAGIC, record

    pixel = bytes([10, 20, 30, 200, 100, 0])  # two pixels, B G R each
    (tmp_path / "c.lzdx").write_bytes(MAGIC + record(0, 1, 2, pixel))
    assert corvane(["export", "c.lzdx", "out"], tmp_path, tty=False).returncode == 0
    image = cv2.imread(str(tmp_path / "out" / "frame-000001.png"), cv2.IMREAD_UNCHANGED)
    assert image.tolist() == [[[10, 20, 30], [200, 100, 0]]]


def test_export_video(tmp_path, twenty):
    run = corvane(["export", twenty, "v.avi", "--scale", "4", "--fps", "12"], tmp_path, tty=False)
    assert run.returncode == 0 and run.stdout == b"20 frames written to v.avi\n"
    capture = cv2.VideoCapture(str(tmp_path / "v.avi"))
    frames = []
    while True:
        ok, frame = capture.read()
        if not ok:
            break
        frames.append(frame)
    assert capture.get(cv2.CAP_PROP_FPS) == 12 and len(frames) == 20
    assert frames[0].shape == (16, 24, 3)
    assert [round(float(f.mean()) / 10) for f in frames] == [(10 * i % 256) // 10 for i in range(20)]


@pytest.mark.parametrize("flag, shown", [(["--progress"], True), ([], False), (["--quiet"], False)])
def test_progress_bar_on_standard_error(tmp_path, twenty, flag, shown):
    run = corvane(["export", twenty, "out", *flag], tmp_path, tty=False)
    assert run.returncode == 0
    assert ("[##############################] 20/20 frames\n" in run.stderr) is shown
    assert shown or run.stderr == ""


def test_export_stops_at_damage_after_the_good_frames(tmp_path):
    (tmp_path / "d.lzdx").write_bytes(GOOD + DAMAGED[0].tail)
    run = corvane(["export", "d.lzdx", "out"], tmp_path, tty=False)
    assert run.one_line_error() == f"corvane: d.lzdx: record 4 at offset {len(GOOD)}: header cut short: 10 of 21 bytes"
    assert len(list((tmp_path / "out").iterdir())) == 3
