"""Recording to real files and reading them back with an independent reader."""

import os
import zlib

import pytest

from recording_file import MAGIC, frames, parse

EXAMPLE_68 = bytes.fromhex(
    "4c5a4458"
    "00" "02000000" "02000000" "02000000" "02000000" "0b000000" "789c636040000000 0c0001".replace(" ", "")
    + "01" "02000000" "02000000" "02000000" "02000000" "0b000000" "789c6360400000000c0001"
)


def test_two_black_frames_make_the_68_byte_file(child, tmp_path):
    path = tmp_path / "r.lzdx"
    run = child(
        f"""
        obj = Corvane()
        obj.start_recording({str(path)!r})
        obj.render(bytes(12), 2, 2)
        obj.render(bytes(12), 2, 2)
        obj.stop_recording()
        """,
        cols=2,
        rows=2,
    )
    assert run.returncode == 0, run.stderr
    assert path.read_bytes() == EXAMPLE_68


def test_empty_recording_is_the_signature(child, tmp_path):
    path = tmp_path / "r.lzdx"
    path.write_bytes(b"old content that must go")
    run = child(f"obj = Corvane(); obj.start_recording({str(path)!r}); obj.stop_recording(); obj.stop_recording()")
    assert run.returncode == 0, run.stderr
    assert path.read_bytes() == MAGIC
    assert oct(path.stat().st_mode & 0o777) == oct(0o666 & ~current_umask())


def current_umask():
    mask = os.umask(0)
    os.umask(mask)
    return mask


def test_round_trip_and_key_frame_schedule(child, tmp_path):
    """Frames of the terminal's own grid are recorded unscaled, so they must come back exactly."""
    first, second = tmp_path / "a.lzdx", tmp_path / "b.lzdx"
    run = child(
        f"""
        obj = Corvane()
        def frame(i):
            return bytes((i * 7 + j * (j % 5)) % 256 for j in range(8 * 6 * 3))
        obj.start_recording({str(first)!r})
        for i in range(250):
            obj.render(frame(i % 3), 8, 6)
        obj.start_recording({str(second)!r})
        for i in range(3):
            obj.render(frame(i), 8, 6)
        obj.stop_recording()
        obj.render(frame(0), 8, 6)
        report([frame(i).hex() for i in range(3)])
        """,
        cols=8,
        rows=4,
    )
    assert run.returncode == 0, run.stderr
    expected = [bytes.fromhex(h) for h in run.report]
    records = parse(first.read_bytes())
    assert len(records) == 250
    assert [i for i, r in enumerate(records) if r.frame_type == 0] == [0, 120, 240]
    assert all((r.term_w, r.term_h, r.rows, r.cols) == (8, 4, 6, 8) for r in records)
    assert all(r.payload[:2] == b"\x78\x9c" and len(r.plain) == 8 * 6 * 3 for r in records)
    assert frames(records) == [expected[i % 3] for i in range(250)]
    assert first.stat().st_size == 4 + sum(21 + len(r.payload) for r in records)
    # A new recording starts with a key frame although the object's count is at 250.
    later = parse(second.read_bytes())
    assert [r.frame_type for r in later] == [0, 1, 1]
    assert frames(later) == expected


def test_size_change_makes_a_key_frame(child, tmp_path):
    path = tmp_path / "r.lzdx"
    run = child(
        f"""
        obj = Corvane()
        obj.start_recording({str(path)!r})
        obj.render(bytes(12), 2, 2)
        set_size(0, 5, 4)
        for _ in range(30):
            obj.render(bytes(12), 2, 2)
        obj.stop_recording()
        """,
        cols=2,
        rows=2,
    )
    assert run.returncode == 0, run.stderr
    records = parse(path.read_bytes())
    sizes = [(r.rows, r.cols) for r in records]
    assert sizes[:29] == [(2, 2)] * 29 and sizes[29:] == [(6, 5)] * 2
    assert [r.frame_type for r in records][27:] == [1, 1, 0, 1]


def test_failed_start_keeps_the_running_recording(child, tmp_path):
    path = tmp_path / "r.lzdx"
    run = child(
        f"""
        obj = Corvane()
        obj.start_recording({str(path)!r})
        obj.render(bytes(12), 2, 2)
        errors = []
        for bad in ({str(tmp_path / 'missing' / 'x')!r}, {str(tmp_path)!r}, "a\\0b"):
            try:
                obj.start_recording(bad)
            except OSError as e:
                errors.append([str(e), e.errno, e.strerror, e.filename])
        try:
            obj.start_recording(b"bytes")
        except TypeError as e:
            errors.append(str(e))
        obj.render(bytes(12), 2, 2)
        obj.stop_recording()
        report(errors)
        """,
        cols=2,
        rows=2,
    )
    assert run.report == [
        ["No such file or directory (os error 2)", None, None, None],
        ["Is a directory (os error 21)", None, None, None],
        ["file name contained an unexpected NUL byte", None, None, None],
        "argument 'path': 'bytes' object cannot be converted to 'PyString'",
    ]
    assert len(parse(path.read_bytes())) == 2


def test_restart_on_the_same_path_leaves_no_stale_bytes(child, tmp_path):
    path = tmp_path / "r.lzdx"
    run = child(
        f"""
        obj = Corvane()
        obj.start_recording({str(path)!r})
        for i in range(5):
            obj.render(bytes([i]) * 12, 2, 2)
        obj.start_recording({str(path)!r})
        obj.render(bytes([9]) * 12, 2, 2)
        obj.stop_recording()
        """,
        cols=2,
        rows=2,
    )
    assert run.returncode == 0, run.stderr
    records = parse(path.read_bytes())
    assert frames(records) == [bytes([9]) * 12]


@pytest.mark.parametrize(
    "ending",
    [
        "obj = None  # destroyed on its own thread",
        "import threading\nbox = [obj]\nobj = None\nt = threading.Thread(target=box.clear)\nt.start(); t.join()",
        "keep = obj  # still referenced when the interpreter exits",
    ],
)
def test_open_recording_is_finished_however_the_object_ends(child, tmp_path, ending):
    path = tmp_path / "r.lzdx"
    run = child(
        "obj = Corvane()\n"
        f"obj.start_recording({str(path)!r})\n"
        "for i in range(3):\n"
        "    obj.render(bytes([i]) * 12, 2, 2)\n" + ending,
        cols=2,
        rows=2,
    )
    assert run.returncode == 0, run.stderr
    assert len(parse(path.read_bytes())) == 3


def test_full_disk_keeps_the_file_playable(child, tmp_path):
    """A file size limit makes writes fail part-way through a record, like a disk that fills."""
    path = tmp_path / "r.lzdx"
    run = child(
        f"""
        import random, resource, signal
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
        resource.setrlimit(resource.RLIMIT_FSIZE, (20000, 20000))
        obj = Corvane()
        obj.start_recording({str(path)!r})
        outcome = []
        for i in range(40):
            noise = random.Random(i).randbytes(40 * 38 * 3)
            try:
                obj.render(noise, 40, 38)
                outcome.append("ok")
            except BaseException as e:
                outcome.append([type(e).__name__, str(e)])
        obj.stop_recording()
        report(outcome)
        """,
        cols=40,
        rows=20,
        stdout="devnull",  # the size limit must hit the recording, not the drawn frames
    )
    assert run.returncode == 0, run.stderr
    failures = [o for o in run.report if o != "ok"]
    assert failures, "the limit was reached"
    assert all(
        f == ["PanicException", "called `Result::unwrap()` on an `Err` value: "
              'Os { code: 27, kind: FileTooLarge, message: "File too large" }']
        for f in failures
    )
    records = parse(path.read_bytes())  # ends on a record boundary
    assert 0 < len(records) <= run.report.count("ok")
    assert len(frames(records)) == len(records)


def test_play_during_recording_adds_nothing(child, tmp_path):
    source, target = tmp_path / "source.lzdx", tmp_path / "target.lzdx"
    run = child(
        f"""
        obj = Corvane()
        obj.start_recording({str(source)!r})
        obj.render(bytes(12), 2, 2)
        obj.start_recording({str(target)!r})
        obj.render(bytes(12), 2, 2)
        obj.play({str(source)!r}, 0.0)
        obj.render(bytes(12), 2, 2)
        obj.stop_recording()
        info = obj.get_mapping_info()
        report([info["frame_w"], info["frame_h"]])
        """,
        cols=2,
        rows=2,
    )
    assert run.returncode == 0, run.stderr
    assert len(parse(target.read_bytes())) == 2
    assert run.report == [2, 2]


def test_codec_payloads_are_standard_zlib(child, tmp_path):
    path = tmp_path / "r.lzdx"
    run = child(
        f"""
        obj = Corvane()
        obj.start_recording({str(path)!r})
        obj.render(bytes(range(48)) * 1, 4, 4)
        obj.stop_recording()
        """,
        cols=4,
        rows=3,
    )
    assert run.returncode == 0, run.stderr
    (record,) = parse(path.read_bytes())
    assert record.payload == zlib.compress(bytes(range(48)), 6)


def test_forked_child_does_not_write_the_parents_frames(child, tmp_path):
    path = tmp_path / "r.lzdx"
    run = child(
        f"""
        obj = Corvane()
        obj.start_recording({str(path)!r})
        for i in range(3):
            obj.render(bytes([i]) * 12, 2, 2)
        pid = os.fork()
        if pid == 0:
            sys.exit(0)  # a normal exit: the child's copy of the object is torn down too
        os.waitpid(pid, 0)
        obj.render(bytes([7]) * 12, 2, 2)
        obj.stop_recording()
        """,
        cols=2,
        rows=2,
    )
    assert run.returncode == 0, run.stderr
    assert frames(parse(path.read_bytes())) == [bytes([i]) * 12 for i in (0, 1, 2, 7)]
