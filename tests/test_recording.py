"""Recordings written to real files and read back with an independent reader and zlib."""

import zlib

import pytest

import children
from recording_file import MAGIC, frames, parse, record
from reference import pattern

EXAMPLE_68 = bytes.fromhex("4c5a4458" + "".join(
    t + "02000000" * 4 + "0b000000" + "789c6360400000000c0001" for t in ("00", "01")))


def test_two_black_frames_make_the_68_byte_file(child, tmp_path):
    path = tmp_path / "r.lzdx"
    steps = [["start_recording", str(path)]] + [["frame", bytes(12).hex(), 2, 2]] * 2 + [["stop_recording"]]
    child(children.run, steps, cols=2, rows=2)
    assert path.read_bytes() == EXAMPLE_68


def test_key_frames_deltas_and_every_way_to_start_and_stop(child, tmp_path):
    a, b, c, one = (str(tmp_path / name) for name in ("a", "b", "c", "one"))
    (tmp_path / "b").write_bytes(b"old content, to be truncated")
    (tmp_path / "b").chmod(0o604)
    (tmp_path / "one").write_bytes(MAGIC + record(0, 2, 2, bytes(12)))
    draws = [["draw", 8, 6, i % 7] for i in range(250)]
    steps = [["umask", 0o027], ["start_recording", a]] + draws[:125] + [["resize", 6, 3]] + draws[125:] + [
        ["start_recording", b], ["draw", 6, 4, 0], ["start_recording", str(tmp_path / "no" / "c")], ["draw", 6, 4, 1],
        ["play", one, 0.0], ["get_mapping_info"], ["draw", 6, 4, 2], ["start_recording", c], ["draw", 6, 4, 3], ["start_recording", c],
        ["draw", 6, 4, 4], ["stop_recording"], ["draw", 6, 4, 5], ["stop_recording"]]
    run = child(children.run, steps, cols=8, rows=4)
    outcomes = [got for got, *_ in run.report]
    assert ["OSError", "No such file or directory (os error 2)"] in outcomes
    assert outcomes[steps.index(["play", one, 0.0]) + 1]["frame_w"] == 6, "a playback keeps the last frame's size"

    records = parse((tmp_path / "a").read_bytes())
    assert [i for i, r in enumerate(records) if r.frame_type == 0] == [0, 120, 149, 240], "the first after a resize"
    assert [(r.term_w, r.term_h, r.rows, r.cols) for r in records] == [(8, 4, 6, 8)] * 149 + [(6, 3, 4, 6)] * 101
    assert frames(records)[:149] == [pattern(8, 6, i % 7) for i in range(149)]
    assert all(r.payload == zlib.compress(r.plain, 6) for r in records)
    assert (tmp_path / "a").stat().st_size == 4 + sum(21 + len(r.payload) for r in records)
    assert (tmp_path / "a").stat().st_mode & 0o777 == 0o640 and (tmp_path / "b").stat().st_mode & 0o777 == 0o604

    later = parse((tmp_path / "b").read_bytes())
    assert [r.frame_type for r in later] == [0, 1, 1], "a new recording starts with a key frame"
    assert frames(later) == [pattern(6, 4, i) for i in range(3)]
    assert frames(parse((tmp_path / "c").read_bytes())) == [pattern(6, 4, 4)], "restarted on its own path"


@pytest.mark.parametrize("ending, kept", [("drop", 3), ("drop on other thread", 3), ("keep until exit", 3), ("fork", 4)])
def test_recording_is_finished_however_the_object_ends(child, tmp_path, ending, kept):
    path = str(tmp_path / "r.lzdx")
    after = [["draw", 2, 2, 3], ["stop_recording"]] if ending == "fork" else []
    run = child(children.run, [["start_recording", path]] + [["draw", 2, 2, i] for i in range(3)] + [[ending]] + after,
                cols=2, rows=2)
    assert run.returncode == 0, run.stderr
    assert frames(parse((tmp_path / "r.lzdx").read_bytes())) == [pattern(2, 2, i) for i in range(kept)]


@pytest.mark.parametrize("target, relief", [("file", False), ("file", True), ("/dev/full", False)])
def test_a_full_disk_keeps_the_file_playable(child, tmp_path, target, relief):
    """Writes that fail part-way through a record, until space comes back or for good."""
    path = str(tmp_path / "r.lzdx") if target == "file" else target
    draws = [["draw", 16, 14, i] for i in range(50)]
    steps = [["file size", 20000], ["start_recording", path]] + draws[:35] + (
        [["file size", 10**9]] if relief else []) + draws[35:] + [["stop_recording"], ["draw", 16, 14, 0]]
    run = child(children.run, steps, cols=16, rows=8, stdout="devnull")
    outcomes = [got for (name, *_), (got, *_) in zip(steps, run.report) if name in ("draw", "stop_recording")]
    error = (27, "FileTooLarge", "File too large") if target == "file" else (28, "StorageFull", "No space left on device")
    panic = ['PanicException', 'called `Result::unwrap()` on an `Err` value: Os {{ code: {}, kind: {}, message: "{}" }}'
             .format(*error)]
    assert panic in outcomes and all(o in (None, panic) for o in outcomes), outcomes
    assert outcomes[-2:] == [None, None], "stopping, and drawing afterwards, work as ever"
    if target == "file":
        drawn = [pattern(16, 14, i) for i, got in enumerate(outcomes[:50]) if got is None]
        kept = frames(parse((tmp_path / "r.lzdx").read_bytes()))
        assert kept == drawn if relief else 0 < len(kept) < len(drawn) and kept == drawn[:len(kept)]


def test_descriptors_are_close_on_exec(child, tmp_path):
    steps = [["redirect", "null stdin"], ["poll_key"], ["start_recording", str(tmp_path / "rec")], ["descriptors"]]
    held = child(children.run, steps, cols=2, rows=2).report[3][0]
    assert {"/dev/tty", "anon_inode:[eventpoll]", str(tmp_path / "rec")} <= {target for target, _ in held}, held
    assert [target for target, cloexec in held if not cloexec] == []
