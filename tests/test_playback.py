"""play() on recordings made by hand: pacing, scaling, sharpening, damage and interruption."""

import gzip
import os
import signal
import subprocess
import sys
import textwrap
import time
import zlib

import pytest

from conftest import HIDE, PRELUDE, SHOW, default_sigint, set_winsize
from recording_file import MAGIC, record

EOF_PANIC = ('called `Result::unwrap()` on an `Err` value: '
             'Error { kind: UnexpectedEof, message: "failed to fill whole buffer" }')
CORRUPT_PANIC = ('called `Result::unwrap()` on an `Err` value: '
                 'Custom { kind: InvalidInput, error: "corrupt deflate stream" }')

PLAY = """
try:
    Corvane().play({path!r}, {sharpen})
    report(None)
except BaseException as e:
    report([type(e).__name__, str(e)])
"""


def play(child, tmp_path, content: bytes, sharpen=0.0, cols=2, rows=2):
    path = tmp_path / "in.lzdx"
    path.write_bytes(content)
    literal = f'float("{sharpen}")' if isinstance(sharpen, float) else repr(sharpen)
    return child(PLAY.format(path=str(path), sharpen=literal), cols=cols, rows=rows)


def cell(upper, lower):
    return ("\x1b[38;2;%d;%d;%d;48;2;%d;%d;%dm\u2580" % (*upper, *lower)).encode()


RED_GREEN_BLUE_WHITE = bytes([0, 0, 255, 0, 255, 0, 255, 0, 0, 255, 255, 255])
FULL_FRAME = b"\x1b[H" + cell((255, 0, 0), (0, 0, 255)) + cell((0, 255, 0), (255, 255, 255)) + b"\x1b[K\r\n\x1b[0m"


def test_signature_only_enters_and_leaves(child, tmp_path):
    run = play(child, tmp_path, MAGIC)
    assert run.report is None and run.stdout == HIDE + SHOW


@pytest.mark.parametrize(
    "content, expected",
    [
        (b"", ["PanicException", EOF_PANIC]),
        (b"LZD", ["PanicException", EOF_PANIC]),
        (b"LZDY", ["RuntimeError", "Invalid Format (code: StsError, -2)"]),
        (b"GIF89a....", ["RuntimeError", "Invalid Format (code: StsError, -2)"]),
    ],
)
def test_bad_start_writes_nothing(child, tmp_path, content, expected):
    run = play(child, tmp_path, content)
    assert run.report == expected and run.stdout == b""


def test_missing_file_and_wrong_arguments(child, tmp_path):
    run = child(
        f"""
        out = []
        for args in (({str(tmp_path / 'missing')!r}, 0.0), ({str(tmp_path)!r}, 0.0), (b"x", 0.0), ("x", "1")):
            try:
                Corvane().play(*args)
            except BaseException as e:
                out.append([type(e).__name__, str(e)])
        report(out)
        """
    )
    assert run.report == [
        ["RuntimeError", "No such file or directory (os error 2) (code: StsError, -2)"],
        ["PanicException", 'called `Result::unwrap()` on an `Err` value: '
                           'Os { code: 21, kind: IsADirectory, message: "Is a directory" }'],
        ["TypeError", "argument 'path': 'bytes' object cannot be converted to 'PyString'"],
        ["TypeError", "argument 'sharpen': must be real number, not str"],
    ]


def test_key_then_deltas_drawn_unscaled(child, tmp_path):
    black = bytes(12)
    content = MAGIC + record(0, 2, 2, RED_GREEN_BLUE_WHITE) + record(1, 2, 2, black) + record(
        1, 2, 2, bytes([0, 0, 0, 0, 255, 0]) + bytes(6))
    run = play(child, tmp_path, content, sharpen=0)
    assert run.report is None
    green_black = b"\x1b[1;2H" + cell((0, 0, 0), (255, 255, 255)) + b"\x1b[0m"
    assert run.stdout == HIDE + FULL_FRAME + b"\x1b[0m" + green_black + SHOW


def test_other_terminal_size_scales_every_frame(child, tmp_path):
    content = MAGIC + record(0, 2, 2, RED_GREEN_BLUE_WHITE, term=(999, 999))
    run = play(child, tmp_path, content, cols=4, rows=3)
    body = run.stdout[len(HIDE):-len(SHOW)]
    assert body.startswith(b"\x1b[H") and body.count(b"\x1b[K\r\n") == 2
    assert body.count("\u2580".encode()) == 8


def test_smaller_delta_uses_the_start_of_the_previous_frame(child, tmp_path):
    content = MAGIC + record(0, 2, 4, bytes(range(24))) + record(1, 2, 2, bytes(12))
    run = play(child, tmp_path, content, cols=2, rows=2)
    assert run.report is None
    last = run.stdout[len(HIDE):-len(SHOW)].split(b"\x1b[0m")[1]
    assert cell((2, 1, 0), (8, 7, 6)) in last and cell((5, 4, 3), (11, 10, 9)) in last


@pytest.mark.parametrize(
    "content, expected",
    [
        (record(1, 2, 2, bytes(12)), ["PanicException", "index out of bounds: the len is 0 but the index is 0"]),
        (record(0, 2, 2, bytes(12)) + record(1, 2, 4, bytes(24)),
         ["PanicException", "index out of bounds: the len is 12 but the index is 12"]),
        (record(0, 2, 2, b"", payload=b"\x78\x9c" + b"\xff" * 9), ["PanicException", CORRUPT_PANIC]),
        (record(0, 2, 2, b"", payload=gzip.compress(bytes(12))), ["PanicException", CORRUPT_PANIC]),
        (record(0, 2, 2, b"", payload=zlib.compress(bytes(12))[:-1] + b"\x00"), ["PanicException", CORRUPT_PANIC]),
        (record(0, 2, 2, bytes(6)), ["PanicException", "range end index 12 out of range for slice of length 6"]),
        (record(0, -2, 2, b""), ["RuntimeError", None]),
        (record(0, 2, 2, b"", payload=b"\x78\x9c") [:17] + (2**32 - 1).to_bytes(4, "little"),
         ["PanicException", EOF_PANIC]),
    ],
)
def test_damaged_records(child, tmp_path, content, expected):
    run = play(child, tmp_path, MAGIC + content)
    assert run.report[0] == expected[0]
    if expected[1] is None:
        assert run.report[1].endswith("(code: StsAssert, -215)")
    else:
        assert run.report[1] == expected[1]
    assert run.stdout.startswith(HIDE) and not run.stdout.endswith(SHOW)


def test_truncated_anywhere_raises_only_the_documented_errors(child, tmp_path):
    """Every cut of a small recording: a complete prefix plays, a cut record is an end-of-file panic."""
    whole = MAGIC + record(0, 2, 2, RED_GREEN_BLUE_WHITE) + record(1, 2, 2, bytes(12))
    boundaries = {4, 4 + 21 + len(zlib.compress(RED_GREEN_BLUE_WHITE, 6)), len(whole)}
    cuts = {}
    for n in range(len(whole) + 1):
        (tmp_path / f"cut{n}.lzdx").write_bytes(whole[:n])
    run = child(
        f"""
        out = {{}}
        for n in range({len(whole) + 1}):
            try:
                Corvane().play({str(tmp_path)!r} + f"/cut{{n}}.lzdx", 0.0)
                out[n] = "ok"
            except BaseException as e:
                out[n] = [type(e).__name__, str(e)]
        report(out)
        """,
        stdout="devnull",
    )
    for n, outcome in run.report.items():
        n = int(n)
        if n in boundaries:
            cuts[n] = outcome == "ok"
        elif n >= 4 and n - 4 > 0 and outcome != ["PanicException", EOF_PANIC]:
            # A payload cut inside its checksum still restores the frame; short ones say so.
            assert outcome[0] == "PanicException" and (
                outcome[1].startswith("range end index") or outcome[1] == EOF_PANIC), (n, outcome)
        elif n < 4:
            assert outcome == ["PanicException", EOF_PANIC]
    assert all(cuts.values()), cuts


@pytest.mark.parametrize(
    "sharpen, expected",
    [(0.0, 50), (-1.0, 50), (float("nan"), 50), (1, 191)],
)
def test_sharpening_a_single_pixel(child, tmp_path, sharpen, expected):
    run = play(child, tmp_path, MAGIC + record(0, 1, 1, bytes([50, 50, 50])), sharpen=sharpen, cols=1, rows=2)
    assert run.report is None
    assert cell((expected,) * 3, (expected,) * 3) in run.stdout


def test_uniform_frame_unchanged_by_sharpening(child, tmp_path):
    frame = bytes([10, 20, 30]) * 16
    run = play(child, tmp_path, MAGIC + record(0, 4, 4, frame), sharpen=1.0, cols=4, rows=3)
    assert run.stdout.count(cell((30, 20, 10), (30, 20, 10))) == 8


def test_frames_are_paced(child, tmp_path):
    frames = 12
    content = MAGIC + record(0, 2, 2, bytes(12)) + record(1, 2, 2, bytes(12)) * (frames - 1)
    path = tmp_path / "p.lzdx"
    path.write_bytes(content)
    run = child(
        f"""
        import threading, time
        ticks = []
        stop = threading.Event()
        def other():
            while not stop.is_set():
                ticks.append(1)
                time.sleep(0.005)
        t = threading.Thread(target=other); t.start()
        start = time.monotonic()
        Corvane().play({str(path)!r}, 0.0)
        elapsed = time.monotonic() - start
        stop.set(); t.join()
        report([elapsed, len(ticks)])
        """
    )
    elapsed, ticks = run.report
    assert elapsed >= frames * 0.033
    assert ticks >= frames, "other threads run while the player sleeps"


def test_ctrl_c_stops_playback_and_leaves_the_screen(tmp_path):
    path = tmp_path / "long.lzdx"
    path.write_bytes(MAGIC + record(0, 2, 2, bytes(12)) + record(1, 2, 2, bytes(12)) * 600)
    out = tmp_path / "out.bin"
    code = PRELUDE + textwrap.dedent(
        f"""
        import sys
        sys.stderr.write("go\\n"); sys.stderr.flush()
        try:
            Corvane().play({str(path)!r}, 0.0)
            report("finished")
        except KeyboardInterrupt:
            report("interrupted")
        """
    )
    master, slave = os.openpty()
    set_winsize(slave, 2, 2)
    with open(out, "wb") as stdout:
        proc = subprocess.Popen([sys.executable, "-c", code], stdin=slave, stdout=stdout, stderr=subprocess.PIPE,
                                env=dict(os.environ, CORVANE_TEST_REPORT=str(tmp_path / "report.json")),
                                preexec_fn=default_sigint)
        os.close(slave)
        assert proc.stderr.readline() == b"go\n"
        time.sleep(0.5)
        started = time.monotonic()
        proc.send_signal(signal.SIGINT)
        proc.communicate(timeout=30)
    os.close(master)
    assert time.monotonic() - started < 5, "the playback did not run to its end first"
    assert (tmp_path / "report.json").read_text() == '"interrupted"'
    assert out.read_bytes().startswith(HIDE) and out.read_bytes().endswith(SHOW)
