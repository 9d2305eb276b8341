"""Recordings: written to real files and read back with an independent reader and zlib; made by
hand, damaged too, and played: exact frames, sharpening, pacing, Ctrl-C."""

import os
import zlib

import numpy as np
import pytest

import children
from cli_session import picture
from pty_child import HIDE, SHOW
from recording_cases import xor
from recording_file import HEADER, MAGIC, frames, parse, record
from reference import draw, pattern, sharpen

EXAMPLE_68 = bytes.fromhex("4c5a4458" + "".join(f"0{t}{'02000000' * 4}0b000000789c6360400000000c0001" for t in "01"))


def test_two_black_frames_make_the_68_byte_file(child, tmp_path):
    steps = [["start_recording", str(tmp_path / "r")]] + [["frame", bytes(12).hex(), 2, 2]] * 2 + [["stop_recording"]]
    child(children.run, steps, cols=2, rows=2)
    assert (tmp_path / "r").read_bytes() == EXAMPLE_68


def test_key_frames_deltas_and_every_way_to_start_and_stop(child, tmp_path):
    a, b, c, one = (str(tmp_path / name) for name in ("a", "b", "c", "one"))
    (tmp_path / "b").write_bytes(b"old content, to be truncated")
    (tmp_path / "b").chmod(0o604)
    (tmp_path / "one").write_bytes(MAGIC + record(0, 2, 2, bytes(12)))
    draws = [["draw", 8, 6, i % 7] for i in range(250)]
    steps = [["umask", 0o027], ["start_recording", a], ["poll_key"], ["descriptors"]] + draws[:125] + [["resize", 6, 3]]
    steps += draws[125:] + [["start_recording", b], ["draw", 6, 4, 0], ["start_recording", str(tmp_path / "no" / "c")],
                            ["start_recording", b + "\0x"],
                            ["draw", 6, 4, 1], ["play", one, 0.0], ["get_mapping_info"], ["draw", 6, 4, 2],
                            ["start_recording", c], ["draw", 6, 4, 3], ["start_recording", c], ["draw", 6, 4, 4],
                            ["stop_recording"], ["draw", 6, 4, 5], ["stop_recording"]]
    outcomes = [got for got, *_ in child(children.run, steps, cols=8, rows=4).report]
    assert {"No such file or directory (os error 2)", "file name contained an unexpected NUL byte"} <= {
        got[1] for got in outcomes if isinstance(got, list) and got[0] == "OSError"}
    assert outcomes[steps.index(["play", one, 0.0]) + 1]["frame_w"] == 6, "a playback keeps the last frame's size"
    assert {a, "anon_inode:[eventpoll]"} <= {name for name, _ in outcomes[3]}
    assert all(cloexec for _, cloexec in outcomes[3]), "the module's descriptors are close-on-exec"

    records = parse((tmp_path / "a").read_bytes())
    assert [i for i, r in enumerate(records) if r.frame_type == 0] == [0, 120, 149, 240], "the first after a resize"
    assert [(r.term_w, r.term_h, r.rows, r.cols) for r in records] == [(8, 4, 6, 8)] * 149 + [(6, 3, 4, 6)] * 101
    assert frames(records)[:149] == [pattern(8, 6, i % 7) for i in range(149)]
    assert all(r.payload == zlib.compress(zlib.decompress(r.payload), 6) for r in records)
    assert (tmp_path / "a").stat().st_size == 4 + sum(21 + len(r.payload) for r in records)
    assert (tmp_path / "a").stat().st_mode & 0o777 == 0o640 and (tmp_path / "b").stat().st_mode & 0o777 == 0o604

    later = parse((tmp_path / "b").read_bytes())
    assert [r.frame_type for r in later] == [0, 1, 1], "a new recording starts with a key frame; failed restarts keep it"
    assert frames(later) == [pattern(6, 4, i) for i in range(3)]
    assert frames(parse((tmp_path / "c").read_bytes())) == [pattern(6, 4, 4)], "restarted on its own path"


@pytest.mark.parametrize("ending, kept", [("drop", 3), ("drop elsewhere", 3), ("keep until exit", 3), ("fork", 4)])
def test_recording_is_finished_however_the_object_ends(child, tmp_path, ending, kept):
    steps = [["start_recording", str(tmp_path / "r")]] + [["draw", 2, 2, i] for i in range(3)] + [[ending]]
    run = child(children.run, steps + [["draw", 2, 2, 3], ["stop_recording"]] * (ending == "fork"), cols=2, rows=2)
    assert run.returncode == 0, run.stderr
    assert frames(parse((tmp_path / "r").read_bytes())) == [pattern(2, 2, i) for i in range(kept)]


def test_a_full_disk_keeps_the_file_playable(child, tmp_path):
    """Writes fail part-way through records until space comes back: the frames drawn without error stay."""
    draws = [["draw", 16, 14, i] for i in range(50)]
    steps = [["file size", 20000], ["start_recording", str(tmp_path / "r")]] + draws[:35] + [["file size", 10**9]]
    run = child(children.run, steps + draws[35:] + [["stop_recording"], ["draw", 16, 14, 0]], cols=16, rows=8,
                stdout="devnull")
    drawn = [got for got, *_ in run.report[2:37] + run.report[38:53]]
    panic = ["PanicException", 'called `Result::unwrap()` on an `Err` value: Os { code: 27, kind: FileTooLarge, '
                               'message: "File too large" }']
    assert panic in drawn and all(got in (None, panic) for got in drawn), drawn
    assert [got for got, *_ in run.report[53:]] == [None, None], "stopping, and drawing afterwards, work as ever"
    assert frames(parse((tmp_path / "r").read_bytes())) == [pattern(16, 14, i) for i, g in enumerate(drawn) if not g]


def test_playback_exact_sharpened_scaled_and_paced(child, tmp_path):
    """Key and delta frames drawn as recorded, 33 ms apart though other threads run and signals come;
    sharpened like the float64 reference (an int strength too); scaled to another terminal."""
    shown, strengths = [pattern(5, 6, i) for i in range(5)], [0.0, -1.0, float("nan"), 0.7, 2]
    (tmp_path / "r").write_bytes(MAGIC + b"".join(record(kind, 6, 5, xor(shown[i], shown[i - 1]) if kind else shown[i])
                                                  for i, kind in enumerate((0, 1, 1, 0, 7))))  # any type but 0: delta
    (tmp_path / "grey").write_bytes(MAGIC + record(0, 2, 2, bytes([10, 20, 30]) * 4, term=(1, 99)))
    steps = [["poll_key"], ["storm"], ["play", str(tmp_path / "r"), 0.0], ["calm"]]  # poll_key: SIGWINCH handled
    steps += [["play", str(tmp_path / "r"), s] for s in strengths] + [["resize", 7, 5], ["play", f"{tmp_path}/grey", 0]]
    run = child(children.run, steps, cols=5, rows=4)
    (_, a, b, seconds), (ticks, *_) = run.report[2:4]
    assert run.stdout[a:b] == HIDE + b"".join(draw(shown, 5)) + SHOW and seconds >= 5 * 0.033 and ticks >= 5
    for strength, (_, a, b, _) in zip(strengths, run.report[4:]):
        drawn = picture(run.stdout[a:b])[:, :, ::-1]
        assert np.abs(drawn - sharpen(shown[0], 5, 6, strength)).max() <= (1 if strength > 0 else 0), strength
    assert run.stdout.endswith(HIDE + draw([bytes([10, 20, 30]) * 56], 7)[0] + SHOW)


FRAME = bytes(range(12))
GOOD = MAGIC + record(0, 2, 2, FRAME) + record(1, 2, 2, bytes(12)) + record(0, 2, 2, FRAME[::-1])
HUGE = MAGIC + HEADER.pack(0, 2, 2, 2, 2, 2**32 - 1) + b"\x78\x9c"  # a payload_len far beyond the end
UNWRAP = "called `Result::unwrap()` on an `Err` value: "
EOF = ["PanicException", UNWRAP + 'Error { kind: UnexpectedEof, message: "failed to fill whole buffer" }']
CORRUPT = ["PanicException", UNWRAP + 'Custom { kind: InvalidInput, error: "corrupt deflate stream" }']
INDEX = "index out of bounds: the len is {0} but the index is {0}"
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
    (MAGIC + record(0, 2, 2, bytes(6)), ["PanicException", "range end index 12 out of range for slice of length 6"], 0),
    (MAGIC + record(0, -2, 2, b""), ["RuntimeError", "... (code: StsAssert, -215)"], 0),
    (MAGIC + record(0, 2, 2, b"", payload=ZEROS), None, 1),  # only the frame's bytes are kept
    (MAGIC + record(0, 2, 2, b"", payload=zlib.compress(FRAME, 0)) + record(1, 2, 2, b"", payload=zlib.compress(
        bytes(12)) + b"junk"), None, 2),  # stored blocks; bytes after the stream
]


def test_damaged_recordings(child, tmp_path):
    """Each file played by one object that may take only 384 MiB more address space; GOOD and HUGE also
    through a FIFO, where memory follows the bytes that arrive. The screen is left when a playback ends well."""
    steps, plays = [["address space", 384 << 20]], []
    for i, (content, expected, shown) in enumerate(DAMAGED):
        (tmp_path / str(i)).write_bytes(content)
        plays += [(len(steps), expected, shown)]
        steps.append(["play", str(tmp_path / str(i)), 0.0])
        if content in (GOOD, HUGE):
            os.mkfifo(tmp_path / f"{i}.fifo")
            plays += [(len(steps) + 1, expected, shown)]
            steps += [["copy", f"{tmp_path}/{i}", f"{tmp_path}/{i}.fifo"], ["play", f"{tmp_path}/{i}.fifo", 0.0]]
    run = child(children.run, steps, cols=2, rows=2)
    for n, expected, shown in plays:
        got, stream = run.report[n][0], run.stdout[run.report[n][1]:run.report[n][2]]
        assert got == expected or "..." in expected[1] and got[1].endswith(expected[1][3:]), (n, got)
        assert stream == b"" if shown is None else (stream.startswith(HIDE) and stream.count(b"\x1b[0m") == shown
                                                    and stream.endswith(SHOW) == (got is None)), (n, stream)


def test_ctrl_c_ends_the_playback_and_leaves_the_screen(child, tmp_path):
    (tmp_path / "r").write_bytes(MAGIC + record(0, 2, 2, FRAME) + record(1, 2, 2, bytes(12)) * 600)  # 20 s
    run = child(children.run, [["ctrl-c in", 0.3], ["play", str(tmp_path / "r"), 0.0]], cols=2, rows=2, timeout=10)
    assert run.report[1][0] == ["KeyboardInterrupt", ""] and run.stdout.startswith(HIDE) and run.stdout.endswith(SHOW)
