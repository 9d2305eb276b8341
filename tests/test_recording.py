"""Recordings: written to real files and read back with an independent reader and zlib; made by
hand, damaged too, and played: exact frames, sharpening, pacing, Ctrl-C."""

import os
import re
import signal
import time
import zlib

import numpy as np
import pytest

import children
from conftest import HIDE, SHOW, Child, run_child
from recording_cases import xor
from recording_file import HEADER, MAGIC, frames, parse, record
from reference import draw, pattern, sharpen

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
    steps = [["poll_key"], ["start_recording", str(tmp_path / "rec")], ["descriptors"]]  # keys from /dev/tty
    held = child(children.run, steps, stdin="devnull").report[2][0]
    assert {"/dev/tty", "anon_inode:[eventpoll]", str(tmp_path / "rec")} <= {target for target, _ in held}, held
    assert [target for target, cloexec in held if not cloexec] == []


def test_key_and_delta_frames_play_exactly(child, tmp_path):
    shown = [pattern(4, 6, i) for i in range(5)]
    (tmp_path / "r").write_bytes(MAGIC + b"".join(record(kind, 6, 4, xor(shown[i], shown[i - 1]) if kind else shown[i])
                                                  for i, kind in enumerate((0, 1, 1, 0, 7))))  # any type but 0: delta
    (tmp_path / "grey").write_bytes(MAGIC + record(0, 2, 2, bytes([10, 20, 30]) * 4, term=(1, 99)))
    run = child(children.run, [["play", str(tmp_path / "r"), 0.0], ["resize", 7, 5], ["play", str(tmp_path / "grey"), 0]],
                cols=4, rows=4)
    assert run.stdout == HIDE + b"".join(draw(shown, 4)) + SHOW + HIDE + draw([bytes([10, 20, 30]) * 56], 7)[0] + SHOW


FRAME = bytes(range(12))
GOOD = MAGIC + record(0, 2, 2, FRAME) + record(1, 2, 2, bytes(12)) + record(0, 2, 2, FRAME[::-1])
HUGE = MAGIC + HEADER.pack(0, 2, 2, 2, 2, 2**32 - 1) + b"\x78\x9c"  # a payload_len far beyond the end
UNWRAP = "called `Result::unwrap()` on an `Err` value: "
EOF = ["PanicException", UNWRAP + 'Error { kind: UnexpectedEof, message: "failed to fill whole buffer" }']
CORRUPT = ["PanicException", UNWRAP + 'Custom { kind: InvalidInput, error: "corrupt deflate stream" }']
INDEX, RANGE = "index out of bounds: the len is {0} but the index is {0}", "range end index {} out of range for slice of length {}"
zeros = zlib.compressobj(9)  # a stream of 264 MiB of zeros, its end cut off (which is allowed)
ZEROS = zeros.compress(bytes(1 << 20)) + zeros.flush(zlib.Z_FULL_FLUSH) + (
    zeros.compress(bytes(1 << 20)) + zeros.flush(zlib.Z_FULL_FLUSH)) * 263
# (file, outcome, frames shown before it; None: not even the screen is entered)
DAMAGED = [
    (b"", EOF, None),
    (b"LZDY", ["RuntimeError", "Invalid Format (code: StsError, -2)"], None),
    (MAGIC, None, 0),
    (GOOD, None, 3),
    (GOOD + record(1, 2, 2, bytes(12))[:10], EOF, 3),  # cut in a header
    (GOOD[:-1], EOF, 2),  # cut in a checksum
    (HUGE, EOF, 0),
    (MAGIC + record(1, 2, 2, FRAME), ["PanicException", INDEX.format(0)], 0),  # a delta first
    (GOOD + record(1, 4, 2, bytes(24)), ["PanicException", INDEX.format(12)], 3),  # larger than the frame before
    (MAGIC + record(0, 2, 2, b"", payload=b"\x78\x9c" + b"\xff" * 9), CORRUPT, 0),
    (MAGIC + record(0, 2, 2, b"", payload=zlib.compress(FRAME)[:-1] + b"\x00"), CORRUPT, 0),  # the checksum
    (MAGIC + record(0, 2, 2, bytes(6)), ["PanicException", RANGE.format(12, 6)], 0),
    (MAGIC + record(0, 65536, 2, FRAME), ["PanicException", RANGE.format(18, 12)], 0),
    (MAGIC + record(0, -2, 2, b""), ["RuntimeError", "... (code: StsAssert, -215)"], 0),
    (MAGIC + record(0, 2, 2, b"", payload=ZEROS), None, 1),  # only the frame's bytes are kept
    (MAGIC + record(0, 2, 2, b"", payload=zlib.compress(FRAME, 0)) + record(1, 2, 2, b"", payload=zlib.compress(
        bytes(12)) + b"junk"), None, 2),  # stored blocks; bytes after the stream
]


@pytest.fixture(scope="module")
def played(tmp_path_factory):
    """The outcome and drawing of each file of DAMAGED played by one object that may take only 384 MiB
    more address space; GOOD and HUGE also through a FIFO, where memory follows the bytes that arrive."""
    tmp, steps, plays = tmp_path_factory.mktemp("damaged"), [["address space", 384 << 20]], []
    for i, (content, _, _) in enumerate(DAMAGED):
        (tmp / str(i)).write_bytes(content)
        plays.append([len(steps)])
        steps.append(["play", str(tmp / str(i)), 0.0])
        if content in (GOOD, HUGE):
            os.mkfifo(tmp / f"{i}.fifo")
            plays[-1].append(len(steps) + 1)
            steps += [["copy", str(tmp / str(i)), str(tmp / f"{i}.fifo")], ["play", str(tmp / f"{i}.fifo"), 0.0]]
    run = run_child(children.run, tmp, steps, cols=2, rows=2)
    assert run.returncode == 0, run.stderr[-2000:]
    return [[(run.report[n][0], run.stdout[run.report[n][1]:run.report[n][2]]) for n in row] for row in plays]


@pytest.mark.parametrize("index", range(len(DAMAGED)))
def test_damaged_recording(played, index):
    _, expected, shown = DAMAGED[index]
    for got, stream in played[index]:
        assert got == expected or got[0] == expected[0] and got[1].endswith(expected[1][3:]) and "..." in expected[1]
        assert stream == played[index][0][1], "a FIFO plays like a file"
        if shown is None:
            assert stream == b""
        else:
            assert stream.startswith(HIDE) and stream.count(b"\x1b[0m") == shown, stream
            assert stream.endswith(SHOW) == (got is None), "the screen is left exactly when the playback ends well"


def test_sharpening(child, tmp_path):
    strengths = [0.0, -1.0, float("nan"), 0.7, 2]  # an int is taken as a float
    frame = pattern(5, 6, 3)
    (tmp_path / "s").write_bytes(MAGIC + record(0, 6, 5, frame))
    run = child(children.run, [["play", str(tmp_path / "s"), s] for s in strengths], cols=5, rows=4)
    for strength, (_, a, b, _) in zip(strengths, run.report):
        cells = re.findall(rb"\x1b\[38;2;(\d+);(\d+);(\d+);48;2;(\d+);(\d+);(\d+)m", run.stdout[a:b])
        shown = np.array(cells, int).reshape(3, 5, 2, 3).transpose(0, 2, 1, 3).reshape(6, 5, 3)[:, :, ::-1]
        assert np.abs(shown - sharpen(frame, 5, 6, strength)).max() <= (1 if strength > 0 else 0), strength


def test_paced_while_other_threads_run_and_signals_arrive(child, tmp_path):
    (tmp_path / "r").write_bytes(MAGIC + record(0, 2, 2, FRAME) + record(1, 2, 2, bytes(12)) * 11)
    steps = [["poll_key"], ["storm"], ["play", str(tmp_path / "r"), 0.0], ["calm"]]  # poll_key: SIGWINCH handled
    (_, (_, _, _, seconds), (ticks, *_)) = child(children.run, steps, cols=2, rows=2).report[1:]
    assert seconds >= 12 * 0.033 and ticks >= 12


def test_ctrl_c_ends_the_playback_and_leaves_the_screen(tmp_path):
    (tmp_path / "r").write_bytes(MAGIC + record(0, 2, 2, FRAME) + record(1, 2, 2, bytes(12)) * 600)  # 20 s
    playing = Child(tmp_path, children.run, [["ctrl-c"], ["say", "go"], ["play", str(tmp_path / "r"), 0.0]], cols=2, rows=2)
    playing.wait_line(b"go")
    time.sleep(0.3)
    os.kill(playing.proc.pid, signal.SIGINT)
    run = playing.result(timeout=10)
    assert run.report[2][0] == ["KeyboardInterrupt", ""] and run.stdout.startswith(HIDE) and run.stdout.endswith(SHOW)
