"""`corvane info` and `corvane export` on recordings made by hand, intact and damaged."""

import json
import os

import av
import numpy as np
import pytest
from PIL import Image

from cli_session import corvane
from corvane.media import open_media
from recording_cases import DAMAGED, GOOD, numbered
from recording_file import MAGIC, record


@pytest.fixture
def twenty(tmp_path):
    (tmp_path / "n.lzdx").write_bytes(numbered(20, 6, 4))
    (tmp_path / "one.lzdx").write_bytes(MAGIC + record(0, 1, 2, bytes([10, 20, 30, 200, 100, 0])))
    return "n.lzdx"


def test_info_text_and_json(tmp_path, twenty):
    size = (tmp_path / twenty).stat().st_size
    text = corvane(["info", twenty], tmp_path, tty=False)
    lines = text.stdout.decode().splitlines()
    assert text.returncode == 0 and text.stderr == ""
    assert lines[:3] == [f"file:         n.lzdx ({size:,} bytes)", "frames:       20 (4 key, 16 delta)",
                         "frame size:   6 x 4 pixels (terminal 6 x 3): 20 frames"]
    assert lines[-2:] == ["playing time: 0.66 s at the player's pace of one frame per 33 ms", "status:       intact"]
    assert "2 x 1 pixels (terminal 0 x 0): 1 frame\n" in corvane(["info", "one.lzdx"], tmp_path, tty=False).stdout.decode()
    info = json.loads(corvane(["info", "--json", twenty], tmp_path, tty=False).stdout)
    assert (info["file_size"], info["raw_bytes"], info["seconds"]) == (size, 20 * 72, 0.66)
    assert (info["frames"], info["key_frames"], info["delta_frames"]) == (20, 4, 16)
    assert info["sizes"] == [{"cols": 6, "rows": 4, "term_w": 6, "term_h": 3, "frames": 20}]
    assert info["payload_bytes"] == size - 4 - 20 * 21 and info["intact"] and info["error"] is None


@pytest.mark.parametrize("case", DAMAGED[::3], ids=[d.name for d in DAMAGED[::3]])
def test_info_on_damaged_files_says_it_once(tmp_path, case):
    (tmp_path / "d.lzdx").write_bytes(GOOD + case.tail)
    offset = len(GOOD) + (21 if case.in_payload else 0)
    line = f"corvane: d.lzdx: damaged at record 4 at offset {offset}: {case.message}"
    run = corvane(["info", "d.lzdx"], tmp_path, tty=False)
    assert run.one_line_error().startswith(line)
    assert run.stdout.decode().endswith(f"status:       {line.split(': ', 2)[2]}\n")  # a file of it tells all
    run = corvane(["info", "--json", "d.lzdx"], tmp_path, tty=False)
    assert run.one_line_error().startswith(line)
    info = json.loads(run.stdout)
    assert not info["intact"] and (info["error"]["offset"], info["error"]["record"], info["frames"]) == (offset, 4, case.readable)


def png(path):
    return np.asarray(Image.open(path))[:, :, ::-1]


def test_export_png(tmp_path, twenty):
    run = corvane(["export", twenty, "frames.v2", "--scale", "2"], tmp_path, tty=False)
    assert run.returncode == 0 and run.stderr == "" and run.stdout == b"20 frames written to frames.v2\n"
    files = sorted((tmp_path / "frames.v2").iterdir())
    assert [f.name for f in files] == [f"frame-{i:06d}.png" for i in range(1, 21)]
    for i, file in enumerate(files):
        assert np.array_equal(png(file), np.full((8, 12, 3), 10 * i % 256))
    run = corvane(["export", "one.lzdx", "one"], tmp_path, tty=False)
    assert run.stdout == b"1 frame written to one\n"
    assert png(tmp_path / "one" / "frame-000001.png").tolist() == [[[10, 20, 30], [200, 100, 0]]]


def test_export_replaces_old_frames_only_when_forced(tmp_path, twenty):
    (tmp_path / "g.lzdx").write_bytes(GOOD)
    assert corvane(["export", twenty, "out"], tmp_path, tty=False).returncode == 0
    assert corvane(["export", "g.lzdx", "out"], tmp_path, tty=False).returncode == 1
    (tmp_path / "out" / "notes.txt").write_text("mine\n")
    assert corvane(["export", "g.lzdx", "out", "-f"], tmp_path, tty=False).stdout == b"3 frames written to out\n"
    assert sorted(f.name for f in (tmp_path / "out").iterdir()) == [f"frame-00000{i}.png" for i in (1, 2, 3)] + ["notes.txt"]


@pytest.mark.parametrize("out, fps, shown", [("v.mp4", [], range(3, 16)), ("v.gif", [], range(3, 16)),
                                            ("v.mkv", ["--fps", "12"], [3, 5, 8, 10, 13, 15])])
def test_export_video_h264_and_gif_at_the_recordings_pace(tmp_path, twenty, out, fps, shown):
    run = corvane(["export", twenty, out, "--scale", "4", "--start", "0.1", "--end", "0:00.5", *fps], tmp_path, tty=False)
    rate = 12 if fps else 1 / 0.033  # frames on show from 0.1 s to 0.5 s of the recording's own time, whatever --fps
    assert run.returncode == 0 and run.stdout == f"{len(shown)} frames written to {out}\n".encode(), run.stderr
    umask = os.umask(0o022)
    os.umask(umask)
    assert (tmp_path / out).stat().st_mode & 0o777 == 0o666 & ~umask
    if out != "v.gif":
        with av.open(str(tmp_path / out)) as check:
            codec = check.streams.video[0].codec_context
            assert (codec.name, codec.format.name) == ("h264", "yuv420p")
    with open_media(str(tmp_path / out)) as media:
        frames = list(media)
    assert frames[0].image.shape == (16, 24, 3)
    assert [round(float(f.image.mean()) / 10) for f in frames] == [(10 * i % 256) // 10 for i in shown]
    step = 0.01 if out == "v.gif" else 0.002  # a GIF counts in hundredths of a second
    assert np.allclose([f.time for f in frames], np.arange(len(shown)) / rate, atol=step)


@pytest.mark.parametrize("flag, shown", [(["--progress"], True), ([], False), (["--quiet"], False)])
def test_progress_bar_fits_and_ends_its_line(tmp_path, twenty, flag, shown):
    run = corvane(["export", twenty, "out", *flag], tmp_path, tty=False, env={"COLUMNS": "36"})
    assert run.returncode == 0
    assert run.stderr.endswith("20/20 frames\x1b[K\n") is shown and run.stderr.count("\n") == shown
    assert all(len(part.replace("\x1b[K", "")) <= 36 for part in run.stderr.split("\r"))


def test_export_stops_at_damage_after_the_good_frames(tmp_path):
    (tmp_path / "d.lzdx").write_bytes(GOOD + DAMAGED[0].tail)
    run = corvane(["export", "d.lzdx", "out"], tmp_path, tty=False)
    assert run.one_line_error() == f"corvane: d.lzdx: damaged at record 4 at offset {len(GOOD)}: header cut short: 10 of 21 bytes"
    assert len(list((tmp_path / "out").iterdir())) == 3
