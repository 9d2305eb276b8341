"""The bad-input matrix, by surface: arguments, terminals, files, and what the module trusts.

Every case must end in success or in an exception the module documents, leave the object usable,
and never crash, hang, grow without bound or lose a recorded frame. Children run on real ptys and
write real files; a child that hangs is killed and fails its test.
"""

import gzip
import json
import os
import shutil
import struct
import subprocess
import tempfile
import zlib

import pytest

from conftest import ENOSPC_PANIC, HIDE, SHOW, run_child
from hardening import SANITIZED, PtyChild, child_code
from recording_file import MAGIC, frames, parse, record

FRAME = bytes(range(12))  # 2 x 2 pixels
UNWRAP = "called `Result::unwrap()` on an `Err` value: "
EOF_PANIC = UNWRAP + 'Error { kind: UnexpectedEof, message: "failed to fill whole buffer" }'
CORRUPT_PANIC = UNWRAP + 'Custom { kind: InvalidInput, error: "corrupt deflate stream" }'


def documented(outcome) -> bool:
    """Success, an error value, or one of the panics that a damaged recording may cause."""
    if outcome is None:
        return True
    kind, message = outcome
    if kind == "RuntimeError":
        return message.endswith(")") and " (code: " in message
    return kind == "PanicException" and (
        message in (EOF_PANIC, CORRUPT_PANIC)
        or message.startswith("range end index ")
        or message.startswith("index out of bounds: the len is ")
    )


def deflate(data: bytes, level=6, wbits=15) -> bytes:
    c = zlib.compressobj(level, zlib.DEFLATED, wbits)
    return c.compress(data) + c.flush()


# ---- Arguments ---------------------------------------------------------------------------------

ARGUMENT_TYPES = """
import enum, pathlib
class Bytes(bytes): pass
class ByteArray(bytearray): pass
class List(list): pass
class Tuple(tuple): pass
class Int(int): pass
class LyingInt(int):
    def __index__(self):
        return 7  # an int converts by its value; this is never asked
class Colour(enum.IntEnum):
    TWO = 2
class Str(str):
    def __str__(self):
        return "/nowhere"
    def __fspath__(self):
        return "/nowhere"
class FloatSub(float): pass

def answer(value, hook):
    if hook:
        hook()
    if isinstance(value, BaseException):
        raise value
    return value

class Index:
    def __init__(self, value, hook=None):
        self.value, self.hook = value, hook
    def __index__(self):
        return answer(self.value, self.hook)

class Float:
    def __init__(self, value, hook=None):
        self.value, self.hook = value, hook
    def __float__(self):
        return answer(self.value, self.hook)

class Seq:
    # A sequence over `items`, iterated by index, whose length can misbehave or call back.
    def __init__(self, items, length=None, len_hook=None, fail_at=None):
        self.items, self.length, self.len_hook, self.fail_at = items, length, len_hook, fail_at
    def __len__(self):
        return answer(len(self.items) if self.length is None else self.length, self.len_hook)
    def __getitem__(self, i):
        if i == self.fail_at:
            raise RuntimeError(f"item {i}")
        return self.items[i]  # IndexError past the end stops the iteration

def render_while_dropped():
    # The bound method is the object's only reference once __index__ empties the box.
    box = [Corvane()]
    method = box[0].render
    return method(bytes(12), Index(2, box.clear), 2)

class IterSeq(Seq):
    # The same with an iterator of its own, which can misbehave or call back.
    def __init__(self, items, iterate=None, iter_hook=None):
        super().__init__(items)
        self.iterate, self.iter_hook = iterate, iter_hook
    def __iter__(self):
        if self.iter_hook:
            self.iter_hook()
        return iter(self.items) if self.iterate is None else answer(self.iterate, None)
"""

# (id, call run in the child with `obj`, FRAME, SIG (a recording of its signature only) and REC (a
# path to record to), expected: None for success, or (exception type, message); a message ending
# in "..." is a prefix).
ARGUMENT_CASES = [
    # Subclasses and neighbours of the accepted types.
    ("bytes subclass", "obj.render(Bytes(FRAME), 2, 2)", None),
    ("bytearray subclass", "obj.render(ByteArray(FRAME), 2, 2)", None),
    ("list subclass", "obj.render(List(FRAME), 2, 2)", None),
    ("tuple subclass", "obj.render(Tuple(FRAME), 2, 2)", None),
    ("memoryview of a bytes subclass", "obj.render(memoryview(Bytes(FRAME)), 2, 2)", None),
    ("str subclass as data", "obj.render(Str('abcd'), 2, 2)", ("TypeError", "argument 'data': Can't extract `str` to `Vec`")),
    ("int subclass and IntEnum sizes", "obj.render(FRAME, Int(2), Colour.TWO)", None),
    ("int subclass with its own __index__", "obj.render(FRAME, LyingInt(2), 2)", None),
    ("bool size", "obj.render(FRAME[:6], True, 2)", None),
    ("float subclass sharpen", "obj.play(SIG, FloatSub(0.5))", None),
    ("__index__ as sharpen", "obj.play(SIG, Index(1))", None),
    ("complex sharpen", "obj.play(SIG, 1j)", ("TypeError", "argument 'sharpen': must be real number, not complex")),
    ("str subclass path", "obj.play(Str(SIG), 0.0)", None),
    ("path-like path", "obj.play(pathlib.Path(SIG), 0.0)",
     ("TypeError", "argument 'path': 'PosixPath' object cannot be converted to 'PyString'")),
    ("lone surrogate in a played path", "obj.play('\\udcff', 0.0)",
     ("UnicodeEncodeError", "'utf-8' codec can't encode character '\\udcff'...")),
    ("lone surrogate in a recorded path", "obj.start_recording('\\udcff')",
     ("UnicodeEncodeError", "'utf-8' codec can't encode character '\\udcff'...")),
    ("NUL in a played path", "obj.play(SIG + '\\0x', 0.0)",
     ("RuntimeError", "file name contained an unexpected NUL byte (code: StsError, -2)")),
    # Conversions that raise or answer nonsense.
    ("__index__ raises", "obj.render(FRAME, Index(ValueError('nope')), 2)", ("ValueError", "nope")),
    ("__index__ raises TypeError", "obj.render(FRAME, Index(TypeError('nope')), 2)", ("TypeError", "argument 'width': nope")),
    ("__index__ returns a str", "obj.render(FRAME, Index('2'), 2)",
     ("TypeError", "argument 'width': __index__ returned non-int (type str)")),
    ("__index__ past 32 bits", "obj.render(FRAME, Index(2 ** 40), 2)", ("OverflowError", "out of range integral type conversion attempted")),
    ("__index__ past a C long", "obj.render(FRAME, 2, Index(2 ** 70))", ("OverflowError", "Python int too large to convert to C long")),
    ("element __index__ raises", "obj.render([0] * 11 + [Index(KeyError('k'))], 2, 2)", ("KeyError", "'k'")),
    ("__iter__ raises", "obj.render(IterSeq(FRAME, iterate=ZeroDivisionError('no')), 2, 2)", ("ZeroDivisionError", "no")),
    ("__iter__ returns a non-iterator", "obj.render(IterSeq(FRAME, iterate=5), 2, 2)",
     ("TypeError", "argument 'data': iter() returned non-iterator of type 'int'")),
    ("__len__ raises", "obj.render(Seq(FRAME, length=ValueError('no length')), 2, 2)", None),
    ("__len__ is negative", "obj.render(Seq(FRAME, length=-1), 2, 2)", None),
    ("__len__ understates", "obj.render(Seq(FRAME, length=1), 2, 2)", None),
    ("__getitem__ raises part-way", "obj.render(Seq(FRAME, fail_at=5), 2, 2)", ("RuntimeError", "item 5")),
    ("__float__ raises", "obj.play(SIG, Float(ArithmeticError('no float')))", ("ArithmeticError", "no float")),
    ("__float__ raises TypeError", "obj.play(SIG, Float(TypeError('no float')))", ("TypeError", "argument 'sharpen': no float")),
    ("__float__ returns a str", "obj.play(SIG, Float('1'))",
     ("TypeError", "argument 'sharpen': Float.__float__ returned non-float (type str)")),
    # Conversions that call back into the object.
    ("sharpen asks for the mapping", "obj.play(SIG, Float(1.0, obj.get_mapping_info))", ("RuntimeError", "Already borrowed")),
    ("sharpen polls a key", "obj.play(SIG, Float(1.0, obj.poll_key))", None),
    ("sharpen hides the cursor", "obj.play(SIG, Float(1.0, obj.hide_cursor))", None),
    ("sharpen plays", "obj.play(SIG, Float(0.0, lambda: obj.play(SIG, 0.0)))", None),
    ("width plays", "obj.render(FRAME, Index(2, lambda: obj.play(SIG, 0.0)), 2)", ("RuntimeError", "Already mutably borrowed")),
    ("iteration stops the recording", "obj.render(IterSeq(FRAME, iter_hook=obj.stop_recording), 2, 2)", ("RuntimeError", "Already borrowed")),
    ("length starts a recording", "obj.render(Seq(FRAME, len_hook=lambda: obj.start_recording(REC)), 2, 2)", None),
    ("element polls a key", "obj.render([0] * 11 + [Index(0, obj.poll_key)], 2, 2)", ("RuntimeError", "Already mutably borrowed")),
    ("width drops the last other reference", "render_while_dropped()", None),
]

ARGUMENTS_CHILD = """
SIG, REC = {sig!r}, {rec!r}
FRAME = bytes(range(12))
results = {{}}
for case_id, source in {cases!r}:
    obj = Corvane()
    got = outcome(eval, source)
    # The object stays usable: it draws and reports the frame it drew.
    usable = outcome(obj.render, FRAME, 2, 2) is None and obj.get_mapping_info()["frame_w"] == 2
    results[case_id] = [got, usable, os.path.exists(REC)]
    del obj
report(results)
"""


@pytest.fixture(scope="module")
def argument_outcomes(tmp_path_factory):
    tmp = tmp_path_factory.mktemp("arguments")
    sig = tmp / "signature.lzdx"
    sig.write_bytes(MAGIC)
    cases = [(case_id, source) for case_id, source, _ in ARGUMENT_CASES]
    code = child_code(ARGUMENT_TYPES, ARGUMENTS_CHILD.format(sig=str(sig), rec=str(tmp / "never.lzdx"), cases=cases))
    run = run_child(code, tmp, cols=2, rows=2, stdout="devnull")
    assert run.returncode == 0, run.stderr[-3000:]
    return run.report


@pytest.mark.parametrize("case_id, source, expected", ARGUMENT_CASES, ids=[c[0] for c in ARGUMENT_CASES])
def test_argument(argument_outcomes, case_id, source, expected):
    got, usable, recording_made = argument_outcomes[case_id]
    if expected is None or got is None:
        assert got == expected
    else:
        assert got[0] == expected[0]
        if expected[1].endswith("..."):
            assert got[1].startswith(expected[1][:-3]), got
        else:
            assert got[1] == expected[1]
    assert usable, "the object did not draw afterwards"
    assert not recording_made, "a call refused during a conversion took effect"


@pytest.mark.skipif(SANITIZED, reason="the sanitizer ends the process where the allocation fails")
def test_overstated_length_is_only_a_hint(child):
    run = child(child_code(ARGUMENT_TYPES, """
        report(outcome(Corvane().render, Seq(bytes(12), length=2 ** 40), 2, 2))
        """), cols=2, rows=2, stdout="devnull")
    assert run.returncode == 0, run.stderr
    assert run.report is None


def frame_size_message(width, height, length):
    need = width * height * 3
    return (f"data holds {length} bytes, but a frame of width {width} and height {height} "
            f"needs {need} bytes (width x height x 3)")


# The product width x height x 3 of two 32-bit sizes is below 2**64, so only 32-bit arithmetic
# could wrap: the byte counts below are what a wrapped product would expect.
@pytest.mark.parametrize(
    "width, height, length, error, message",
    [
        (2**31 - 1, 2**31 - 1, ((2**31 - 1) ** 2 * 3) % 2**32, ValueError, None),
        (65536, 65536, 0, ValueError, None),                      # 3 x 2**32 bytes, 0 in 32 bits
        (1431655766, 3, 6, ValueError, None),                     # 3 x 2**32 + 6 bytes, 6 in 32 bits
        (2**31 - 1, 1, 0, ValueError, None),
        (2**31 - 1, 0, 0, RuntimeError, "(code: StsAssert, -215)"),  # an empty image
        (0, 2**31 - 1, 0, RuntimeError, "(code: StsAssert, -215)"),
        (-(2**31), 1, 0, RuntimeError, "(code: StsAssert, -215)"),
        (1, -(2**31), 0, RuntimeError, "(code: StsAssert, -215)"),
        (2**31, 1, 0, OverflowError, "out of range integral type conversion attempted"),
        (1, -(2**31) - 1, 0, OverflowError, "out of range integral type conversion attempted"),
    ],
)
def test_frame_sizes_at_the_32_bit_limits(width, height, length, error, message):
    from _corvane import Corvane

    obj = Corvane()
    with pytest.raises(error) as info:
        obj.render(bytearray(length), width, height)
    if error is ValueError:
        assert str(info.value) == frame_size_message(width, height, length)
    else:
        assert str(info.value).endswith(message)
    stored = (obj.get_mapping_info()["frame_w"], obj.get_mapping_info()["frame_h"])
    assert stored == ((0, 0) if error is OverflowError else (width, height))


SHARPEN_CHILD = """
obj = Corvane()
out = {{}}
for name, value in {values!r}:
    start = os.lseek(1, 0, os.SEEK_CUR)
    got = outcome(obj.play, {path!r}, eval(value))
    out[name] = [got, start, os.lseek(1, 0, os.SEEK_CUR)]
report(out)
"""


def test_sharpen_values_beyond_the_ordinary(child, tmp_path):
    path = tmp_path / "one.lzdx"
    path.write_bytes(MAGIC + record(0, 2, 2, bytes([10, 200, 30, 40, 50, 250, 70, 80, 90, 100, 110, 120])))
    values = [
        ("zero", "0.0"), ("nan", "float('nan')"), ("negative nan", "-float('nan')"), ("infinity", "float('inf')"),
        ("minus infinity", "-float('inf')"), ("minus zero", "-0.0"), ("below the smallest float", "5e-324"),
        ("smallest float", "1.5e-45"), ("largest float", "3.4028234663852886e38"), ("past the float range", "1e39"),
        ("int past the float range", "2 ** 128"), ("int past a double", "10 ** 400"),
    ]
    run = child(child_code(SHARPEN_CHILD.format(values=values, path=str(path))), cols=2, rows=2)
    assert run.returncode == 0, run.stderr
    drawn = {name: run.stdout[start:end] for name, (_, start, end) in run.report.items()}
    outcomes = {name: got for name, (got, _, _) in run.report.items()}
    assert outcomes.pop("int past a double") == ["OverflowError", "int too large to convert to float"]
    assert drawn.pop("int past a double") == b""
    assert all(got is None for got in outcomes.values()), outcomes
    for name, stream in drawn.items():
        assert stream.startswith(HIDE) and stream.endswith(SHOW) and stream.count(b"\x1b[0m") == 1, name
    # Strengths that are not above 0 once rounded to a float show the frame as recorded.
    for name in ("nan", "negative nan", "minus infinity", "minus zero", "below the smallest float"):
        assert drawn[name] == drawn["zero"], name


# ---- Terminals ---------------------------------------------------------------------------------

TERMINAL_CHILD = """
import resource
if {limit_memory}:
    # A frame for a terminal of 65535 x 65535 cells needs 24 GiB: it must fail, not be tried.
    resource.setrlimit(resource.RLIMIT_AS, (4 << 30, 4 << 30))
{prologue}
FRAME = bytes(range(12))
obj = Corvane()
out = {{"mapping": obj.get_mapping_info()}}
for name, call, args in [
    ("render", obj.render, (FRAME, 2, 2)),
    ("render again", obj.render, (FRAME[::-1], 2, 2)),
    ("hide", obj.hide_cursor, ()),
    ("show", obj.show_cursor, ()),
    ("poll", obj.poll_key, ()),
    ("start", obj.start_recording, ({rec!r},)),
    ("recorded render", obj.render, (FRAME, 2, 2)),
    ("recorded render again", obj.render, (FRAME[::-1], 2, 2)),
    ("stop", obj.stop_recording, ()),
    ("play", obj.play, ({one!r}, 0.0)),
    ("play sharpened", obj.play, ({one!r}, 1.0)),
]:
    out[name] = outcome(call, *args)
out["usable"] = obj.get_mapping_info()["frame_w"] == 2
report(out)
"""

DRAWING = ("render", "render again", "recorded render", "recorded render again", "play", "play sharpened")


def fails_with(kind, text=""):
    return {name: (kind, text) for name in DRAWING}


# condition: (run_child options, prologue run before the object exists, expected outcomes of the
# calls that differ from success, the number of frames the recording must hold (None: not checked
# here), the mapping expected)
TERMINALS = {
    "standard output closed": ({}, "os.close(1)", {}, 2, None),
    "reader of the output pipe gone": (
        {}, "r, w = os.pipe(); os.close(r); os.dup2(w, 1); os.close(w)",
        {**fails_with("PanicException", "Broken pipe"), "hide": ("PanicException", "Broken pipe"),
         "show": ("PanicException", "Broken pipe")}, 0, None),
    "/dev/full": (
        {}, "fd = os.open('/dev/full', os.O_WRONLY); os.dup2(fd, 1); os.close(fd)",
        {**fails_with("PanicException", "No space left on device"),
         "hide": ("PanicException", "No space left on device"), "show": ("PanicException", "No space left on device")},
        0, None),
    "hung-up terminal": (
        {}, "m, s = os.openpty(); os.dup2(s, 0); os.dup2(s, 1); os.close(s); os.close(m)",
        {**fails_with("PanicException", "Input/output error"),
         "hide": ("PanicException", "Input/output error"), "show": ("PanicException", "Input/output error")},
        0, None),
    "0 columns": ({"cols": 0, "rows": 5}, "", fails_with("RuntimeError"), 0, (0, 5, 8)),
    "0 rows": ({"cols": 5, "rows": 0}, "", {}, 2, (5, 0, 2)),
    "65535 x 65535": ({"cols": 65535, "rows": 65535}, "", fails_with("RuntimeError", "Insufficient memory"), 0,
                      (65535, 65535, 131068)),
    "65535 x 1": ({"cols": 65535, "rows": 1}, "", {}, 2, (65535, 1, 2)),
    "1 x 65535": ({"cols": 1, "rows": 65535}, "", {}, 2, (1, 65535, 131068)),
}


@pytest.mark.parametrize("condition", list(TERMINALS))
def test_every_method_on_a_hostile_terminal(child, tmp_path, condition):
    options, prologue, failures, recorded, mapping = TERMINALS[condition]
    one = tmp_path / "one.lzdx"
    one.write_bytes(MAGIC + record(0, 2, 2, FRAME))
    rec = tmp_path / "rec.lzdx"
    code = TERMINAL_CHILD.format(limit_memory=not SANITIZED and condition == "65535 x 65535", prologue=prologue,
                                 rec=str(rec), one=str(one))
    run = child(child_code(code), stdout="devnull", **options)
    assert run.returncode == 0, run.stderr[-3000:]
    out = run.report
    assert out.pop("usable"), "the object did not work afterwards"
    info = out.pop("mapping")
    if mapping:
        assert (info["term_w"], info["term_h"], info["display_h"]) == mapping
    for name, got in out.items():
        want = failures.get(name)
        if want is None:
            assert got is None, (name, got)
        else:
            assert got is not None and got[0] == want[0] and want[1] in got[1], (name, got)
    if recorded is not None:
        records = parse(rec.read_bytes())
        assert len(records) == recorded, "a frame that was not drawn was recorded, or one drawn was not"
        assert len(frames(records)) == recorded


def test_recording_with_standard_output_closed(child, tmp_path):
    rec = tmp_path / "rec.lzdx"
    run = child(child_code(f"""
        os.close(1)
        obj = Corvane()
        obj.start_recording({str(rec)!r})
        for i in range(3):
            obj.render(bytes([i]) * 12, 2, 2)
        obj.stop_recording()
        report(outcome(Corvane().play, {str(rec)!r}, 0.0))
        """), cols=2, rows=2)
    assert run.returncode == 0, run.stderr
    assert run.report is None, run.report
    assert len(parse(rec.read_bytes())) == 3


STORM_CHILD = """
import time, tty
tty.setcbreak(0)
one = {one!r}
obj = Corvane()
frames = [bytes(range(8 * 6 * 3)), bytes(range(8 * 6 * 3))[::-1]]
keys, errors, renders = [], [], 0
sys.stderr.write("ready\\n"); sys.stderr.flush()
deadline = time.monotonic() + 30
while keys[-1:] != ["q"] and time.monotonic() < deadline:
    got = outcome(obj.render, frames[renders % 2], 8, 6)
    if got:
        errors.append(got)
    renders += 1
    key = obj.poll_key()
    if key is not None:
        keys.append(key)
sys.stderr.write("playing\\n"); sys.stderr.flush()
played = outcome(obj.play, one, 0.0)
sys.stderr.write("played\\n"); sys.stderr.flush()
while keys[-1:] != ["x"] and time.monotonic() < deadline:
    key = obj.poll_key()
    if key is not None:
        keys.append(key)
sizes = [obj.get_mapping_info() for _ in range(30)]
report({{"keys": keys, "errors": errors[:5], "renders": renders, "played": played,
         "size": [sizes[-1]["term_w"], sizes[-1]["term_h"]]}})
"""


def test_window_size_storm_while_drawing_and_polling(tmp_path):
    """Thousands of window-size changes while frames are drawn, keys polled and a recording played."""
    import select

    one = tmp_path / "twenty.lzdx"
    one.write_bytes(MAGIC + record(0, 2, 2, FRAME) + record(1, 2, 2, bytes(12)) * 19)
    child = PtyChild(tmp_path, STORM_CHILD.format(one=str(one)), cols=40, rows=12)
    try:
        child.wait_for_line(b"ready")
        typed = "abcdefghijklmnop"
        stderr = child.proc.stderr.fileno()
        seen, changes, i = b"", 0, 0
        while b"played\n" not in seen:
            for _ in range(200):
                child.resize(20 + changes % 60, 5 + changes % 30)
                changes += 1
            if i < len(typed):
                child.type(typed[i].encode())
            elif i == len(typed):
                child.type(b"q")
            i += 1
            if select.select([stderr], [], [], 0.002)[0]:
                seen += os.read(stderr, 4096)
            assert changes < 2_000_000, "the child never finished its playback"
        child.resize(33, 11)
        child.type(b"x")
        status, err, report = child.result(timeout=60)
    finally:
        child.close()
    assert status == 0, err
    assert report["errors"] == [] and report["played"] is None, report
    assert report["keys"] == list(typed) + ["q", "x"], "a key was lost or reordered"
    assert report["renders"] > 0 and changes > 3000
    assert report["size"] == [33, 11]


def test_window_size_changes_do_not_speed_up_playback(tmp_path):
    twenty = tmp_path / "twenty.lzdx"
    twenty.write_bytes(MAGIC + record(0, 2, 2, FRAME) + record(1, 2, 2, bytes(12)) * 19)
    code = f"""
        import signal, threading, time
        obj = Corvane()
        obj.poll_key()  # the input reader now handles SIGWINCH
        done = threading.Event()
        def storm():  # runs while the player sleeps without the interpreter lock
            while not done.is_set():
                os.kill(os.getpid(), signal.SIGWINCH)
                time.sleep(0.001)
        threading.Thread(target=storm).start()
        start = time.monotonic()
        obj.play({str(twenty)!r}, 0.0)
        report(time.monotonic() - start)
        done.set()
        """
    child = PtyChild(tmp_path, code, cols=2, rows=2)
    status, err, elapsed = child.result(timeout=60)
    assert status == 0, err
    assert elapsed >= 20 * 0.033


# ---- Files -------------------------------------------------------------------------------------

KEY, DELTA, KEY2 = record(0, 2, 2, FRAME), record(1, 2, 2, bytes(12)), record(0, 2, 2, FRAME[::-1])
PAYLOAD_LEN = len(zlib.compress(FRAME, 6))
FIELDS = {"frame_type": (0, "<B"), "term_w": (1, "<I"), "term_h": (5, "<I"), "rows": (9, "<i"), "cols": (13, "<i"),
          "payload_len": (17, "<I")}


def damaged(index, field, value):
    records = [bytearray(KEY), bytearray(DELTA), bytearray(KEY2)]
    offset, fmt = FIELDS[field]
    struct.pack_into(fmt, records[index], offset, value)
    return MAGIC + b"".join(records)


def with_payload(payload):
    return MAGIC + record(0, 2, 2, b"", payload=payload) + DELTA + KEY2


INDEX_PANIC = "index out of bounds: the len is {0} but the index is {0}"
RANGE_PANIC = "range end index {} out of range for slice of length {}"
ANY = "any documented outcome"

# (id, file, expected: None, "RuntimeError" (an error value), a panic message, or ANY)
RECORDING_CASES = [
    ("first record a delta", damaged(0, "frame_type", 1), INDEX_PANIC.format(0)),
    ("first record of type 255", damaged(0, "frame_type", 255), INDEX_PANIC.format(0)),
    ("delta record as key", damaged(1, "frame_type", 0), None),
    ("delta record of type 2", damaged(1, "frame_type", 2), None),
    ("term_w 0", damaged(0, "term_w", 0), None),
    ("term_w 2**32-1", damaged(1, "term_w", 2**32 - 1), None),
    ("term_h 2**32-1", damaged(0, "term_h", 2**32 - 1), None),
    ("rows 0", damaged(0, "rows", 0), "RuntimeError"),
    ("rows 1", damaged(0, "rows", 1), INDEX_PANIC.format(6)),
    ("rows -1", damaged(0, "rows", -1), "RuntimeError"),
    ("rows -2**31", damaged(1, "rows", -(2**31)), "RuntimeError"),
    ("rows 65536", damaged(0, "rows", 65536), RANGE_PANIC.format(18, 12)),
    ("rows 2**31-1", damaged(0, "rows", 2**31 - 1), RANGE_PANIC.format(18, 12)),
    ("cols 0", damaged(1, "cols", 0), "RuntimeError"),
    ("cols 1", damaged(0, "cols", 1), INDEX_PANIC.format(6)),
    ("cols -1", damaged(0, "cols", -1), "RuntimeError"),
    ("cols 65536", damaged(0, "cols", 65536), RANGE_PANIC.format(196608, 12)),
    ("cols 2**31-1", damaged(0, "cols", 2**31 - 1), RANGE_PANIC.format(3 * (2**31 - 1), 12)),
    ("delta claiming more rows", damaged(1, "rows", 4), RANGE_PANIC.format(18, 12)),
    ("payload_len 0", damaged(0, "payload_len", 0), RANGE_PANIC.format(6, 0)),
    ("payload_len 1", damaged(0, "payload_len", 1), RANGE_PANIC.format(6, 0)),
    ("payload_len one short", damaged(0, "payload_len", PAYLOAD_LEN - 1), ANY),
    ("payload_len one long", damaged(0, "payload_len", PAYLOAD_LEN + 1), ANY),
    ("payload_len 2**31-1", damaged(1, "payload_len", 2**31 - 1), EOF_PANIC),
    ("payload_len 2**32-1", damaged(0, "payload_len", 2**32 - 1), EOF_PANIC),
    ("gzip payload", with_payload(gzip.compress(FRAME)), CORRUPT_PANIC),
    ("raw deflate payload", with_payload(deflate(FRAME, 6, -15)), CORRUPT_PANIC),
    ("preset dictionary asked for", with_payload(b"\x78\xbb\x00\x00\x00\x01" + zlib.compress(FRAME)[2:]), CORRUPT_PANIC),
    ("stored blocks", with_payload(zlib.compress(FRAME, 0)), None),
    ("level 9 and a 512-byte window", with_payload(deflate(FRAME, 9, 9)), None),
    ("junk after the stream", with_payload(zlib.compress(FRAME) + b"junk"), None),
    ("empty payload", with_payload(b""), RANGE_PANIC.format(6, 0)),
] + [
    (f"payload byte {i} flipped", MAGIC + KEY[:21 + i] + bytes([KEY[21 + i] ^ 0xFF]) + KEY[22 + i:] + DELTA + KEY2, ANY)
    for i in range(PAYLOAD_LEN)
] + [
    # Every cut of the file after its signature: complete records play to the end, and a record
    # cut anywhere, its checksum included, is an end-of-file panic after the frames before it.
    (f"cut at {n}", (MAGIC + KEY + DELTA + KEY2)[:n],
     None if n in (4, 4 + len(KEY), 4 + len(KEY) + len(DELTA)) else EOF_PANIC)
    for n in range(4, len(MAGIC + KEY + DELTA + KEY2))
]

# The frames a cut recording shows before it stops: those of the records complete before the cut.
CUT_FRAMES = {f"cut at {n}": sum(n >= end for end in (4 + len(KEY), 4 + len(KEY) + len(DELTA)))
              for n in range(4, len(MAGIC + KEY + DELTA + KEY2))}

RECORDINGS_CHILD = """
obj = Corvane()
out = {{}}
for name in {names!r}:
    start = os.lseek(1, 0, os.SEEK_CUR)
    got = outcome(obj.play, os.path.join({folder!r}, name), 0.0)
    out[name] = [got, start, os.lseek(1, 0, os.SEEK_CUR)]
out["intact afterwards"] = outcome(obj.play, {intact!r}, 0.0)
out["usable"] = obj.get_mapping_info()["term_w"]
report(out)
"""


@pytest.fixture(scope="module")
def recording_outcomes(tmp_path_factory):
    tmp = tmp_path_factory.mktemp("recordings")
    folder = tmp / "cases"
    folder.mkdir()
    names = []
    for i, (case_id, content, _) in enumerate(RECORDING_CASES):
        (folder / str(i)).write_bytes(content)
        names.append(str(i))
    intact = tmp / "intact.lzdx"
    intact.write_bytes(MAGIC + KEY + DELTA + KEY2)
    code = child_code(RECORDINGS_CHILD.format(names=names, folder=str(folder), intact=str(intact)))
    run = run_child(code, tmp, cols=2, rows=2)
    assert run.returncode == 0, run.stderr[-3000:]
    out = run.report
    assert out.pop("intact afterwards") is None and out.pop("usable") == 2
    return {RECORDING_CASES[int(i)][0]: (got, run.stdout[a:b]) for i, (got, a, b) in out.items()}


@pytest.mark.parametrize("case_id, expected", [(c[0], c[2]) for c in RECORDING_CASES],
                         ids=[c[0] for c in RECORDING_CASES])
def test_damaged_recording(recording_outcomes, case_id, expected):
    got, drawn = recording_outcomes[case_id]
    if expected == ANY:
        assert documented(got), got
    elif expected == "RuntimeError":
        assert got and got[0] == "RuntimeError" and documented(got), got
    elif expected is None:
        assert got is None, got
    else:
        assert got == ["PanicException", expected]
    assert drawn.startswith(HIDE), "the playback screen is entered once the signature matched"
    if case_id in CUT_FRAMES:
        assert drawn.count(b"\x1b[0m") == CUT_FRAMES[case_id], "not every complete frame was shown"
    assert drawn.endswith(SHOW) == (got is None), "the screen is left exactly when the playback ends well"


def test_fifo_paths_with_a_process_at_the_other_end(child, tmp_path):
    """A FIFO plays like a file and records like one when another process is at its other end."""
    source, fifo_in, fifo_out, copy = tmp_path / "source.lzdx", tmp_path / "in", tmp_path / "out", tmp_path / "copy"
    source.write_bytes(MAGIC + KEY + DELTA + KEY2)
    os.mkfifo(fifo_in)
    os.mkfifo(fifo_out)
    run = child(child_code(f"""
        import subprocess
        feeder = subprocess.Popen(["cp", {str(source)!r}, {str(fifo_in)!r}])
        start = os.lseek(1, 0, os.SEEK_CUR)
        played = outcome(Corvane().play, {str(fifo_in)!r}, 0.0)
        from_fifo = [start, os.lseek(1, 0, os.SEEK_CUR)]
        played_file = outcome(Corvane().play, {str(source)!r}, 0.0)
        from_file = [from_fifo[1], os.lseek(1, 0, os.SEEK_CUR)]
        feeder.wait()
        drain = subprocess.Popen(["cp", {str(fifo_out)!r}, {str(copy)!r}])
        obj = Corvane()
        recorded = [outcome(obj.start_recording, {str(fifo_out)!r})]
        recorded += [outcome(obj.render, bytes([i]) * 12, 2, 2) for i in range(3)]
        recorded.append(outcome(obj.stop_recording))
        drain.wait()
        report([played, played_file, from_fifo, from_file, recorded])
        """), cols=2, rows=2)
    assert run.returncode == 0, run.stderr
    played, played_file, (a, b), (c, d), recorded = run.report
    assert played is None and played_file is None and recorded == [None] * 5
    assert run.stdout[a:b] == run.stdout[c:d], "a FIFO drew other bytes than the same recording as a file"
    assert frames(parse(copy.read_bytes())) == [bytes([i]) * 12 for i in range(3)]


@pytest.mark.skipif(SANITIZED, reason="the sanitizer ends the process where the allocation fails")
def test_fifo_with_a_huge_payload_len_allocates_nothing(child, tmp_path):
    fifo = tmp_path / "in"
    os.mkfifo(fifo)
    content = MAGIC + struct.pack("<BIIiiI", 0, 2, 2, 2, 2, 0xFFFFFFF0) + b"\x78\x9c"
    (tmp_path / "source").write_bytes(content)
    run = child(child_code(f"""
        import resource, subprocess
        resource.setrlimit(resource.RLIMIT_AS, (1 << 30, 1 << 30))
        feeder = subprocess.Popen(["cp", {str(tmp_path / 'source')!r}, {str(fifo)!r}])
        got = outcome(Corvane().play, {str(fifo)!r}, 0.0)
        feeder.wait()
        report(got)
        """), cols=2, rows=2, stdout="devnull")
    assert run.returncode == 0, run.stderr
    assert run.report == ["PanicException", EOF_PANIC]


def test_read_only_directory(child, tmp_path):
    """Recording into a directory the process may not write: OSError, and the open recording goes on."""
    base = tempfile.mkdtemp(prefix="corvane-ro-")  # not under the test's own 0700 directory
    try:
        os.chmod(base, 0o755)
        read_only, writable = os.path.join(base, "ro"), os.path.join(base, "rw")
        os.mkdir(read_only, 0o555)
        os.mkdir(writable, 0o777)
        os.chmod(read_only, 0o555)
        os.chmod(writable, 0o777)
        report_path = tmp_path / "ro-report.json"
        run = child(child_code(f"""
            import json
            sink = open({str(report_path)!r}, "w")
            obj = Corvane()
            if os.geteuid() == 0:  # root writes anywhere: become nobody first
                os.setgroups([])
                os.setgid(65534)
                os.setuid(65534)
            out = [outcome(obj.start_recording, {writable + "/rec.lzdx"!r}),
                   outcome(obj.render, bytes(12), 2, 2),
                   outcome(obj.start_recording, {read_only + "/rec.lzdx"!r}),
                   outcome(obj.render, bytes([1]) * 12, 2, 2),
                   outcome(obj.stop_recording)]
            json.dump(out, sink)
            sink.close()
            """), cols=2, rows=2, stdout="devnull")
        assert run.returncode == 0, run.stderr
        out = json.loads(report_path.read_text())
        assert out == [None, None, ["OSError", "Permission denied (os error 13)"], None, None]
        assert not os.path.exists(os.path.join(read_only, "rec.lzdx"))
        assert frames(parse(open(os.path.join(writable, "rec.lzdx"), "rb").read())) == [bytes(12), bytes([1]) * 12]
    finally:
        shutil.rmtree(base, ignore_errors=True)


@pytest.fixture
def small_disk(tmp_path):
    """A 64 KiB tmpfs, mounted for the test (root only; skipped where mounting is not allowed)."""
    mount_point = tmp_path / "disk"
    mount_point.mkdir()
    mounted = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=64k,mode=0777", "tmpfs", str(mount_point)],
                             capture_output=True)
    if mounted.returncode != 0:
        pytest.skip("cannot mount a tmpfs here: " + mounted.stderr.decode().strip())
    try:
        yield mount_point
    finally:
        subprocess.run(["umount", "-l", str(mount_point)], check=False)


DISK_CHILD = """
import random
obj = Corvane()
obj.start_recording({rec!r})
drawn, outcomes = [], []
for i in range({count}):
    if i == {free_at}:
        os.unlink({filler!r})  # space comes back
    frame = random.Random(i).randbytes(16 * 14 * 3)
    got = outcome(obj.render, frame, 16, 14)
    outcomes.append(got)
    if got is None:
        drawn.append(frame.hex())
outcomes.append(outcome(obj.stop_recording))
outcomes.append(outcome(obj.render, bytes(16 * 14 * 3), 16, 14))
played = outcome(Corvane().play, {rec!r}, 0.0) if {regular} else None
report([outcomes, drawn, played])
"""


@pytest.mark.parametrize("space_returns", [True, False], ids=["space comes back", "space never comes back"])
def test_disk_that_fills_during_recording(child, small_disk, space_returns):
    """ENOSPC part-way through a record: only the documented panic, and the recording stays
    playable. If space comes back, the recording goes on and holds every frame drawn without an
    error, in order; if not, stopping leaves the frames that reached the disk, in order, and cuts
    off the record that did not."""
    rec, filler = small_disk / "rec.lzdx", small_disk / "filler"
    filler.write_bytes(bytes(40 * 1024))  # leaves room for about thirty records of noise
    code = DISK_CHILD.format(rec=str(rec), filler=str(filler), count=70, free_at=60 if space_returns else -1,
                             regular=True)
    run = child(child_code(code), cols=16, rows=8, stdout="devnull")
    assert run.returncode == 0, run.stderr
    outcomes, drawn, played = run.report
    failures = [o for o in outcomes if o is not None]
    assert failures and all(f == ["PanicException", ENOSPC_PANIC] for f in failures), failures
    assert outcomes[-2:] == [None, None], "stopping, and drawing afterwards, work as ever"
    assert played is None, "the recording does not play to its end"
    kept = frames(parse(rec.read_bytes()))
    drawn = [bytes.fromhex(h) for h in drawn]
    if space_returns:
        assert outcomes[60:70] == [None] * 10, "the recording did not recover"
        assert kept == drawn
    else:
        assert 0 < len(kept) < len(drawn) and kept == drawn[:len(kept)]


def test_recording_to_dev_full(child, tmp_path):
    """Where no small disk can be mounted, /dev/full fails every write of the recording."""
    code = DISK_CHILD.format(rec="/dev/full", filler=str(tmp_path / "none"), count=40, free_at=-1, regular=False)
    run = child(child_code(code), cols=16, rows=8, stdout="devnull")
    assert run.returncode == 0, run.stderr
    outcomes, drawn, _ = run.report
    failures = [o for o in outcomes if o is not None]
    assert failures and all(f == ["PanicException", ENOSPC_PANIC] for f in failures), failures
    assert outcomes[-2:] == [None, None], "stopping, and drawing afterwards, work as ever"


# ---- What the module trusts and what it promises -------------------------------------------------


@pytest.fixture
def logging_tput(tmp_path):
    """A `tput` that logs its parent, its name and its arguments, then prints a size."""
    bin_dir = tmp_path / "bin"
    bin_dir.mkdir()
    log = tmp_path / "tput.log"
    script = bin_dir / "tput"
    script.write_text(f'#!/bin/sh\necho "$PPID $# $0 $*" >> {log}\ncase "$1" in cols) echo 91;; lines) echo 33;; esac\n')
    script.chmod(0o755)
    return bin_dir, log


def test_tput_is_started_directly_with_an_argument_vector(child, logging_tput):
    bin_dir, log = logging_tput
    run = child(child_code("""
        info = Corvane().get_mapping_info()
        report([os.getpid(), info["term_w"], info["term_h"]])
        """), ctty=False, stdout="file",
        env={"PATH": f"{bin_dir}:/usr/bin:/bin", "SHELL": "/bin/false", "IFS": "x", "ENV": "/nonexistent"})
    assert run.returncode == 0, run.stderr
    pid, cols, rows = run.report
    assert (cols, rows) == (91, 33)
    assert log.read_text().splitlines() == [f"{pid} 1 {bin_dir}/tput cols", f"{pid} 1 {bin_dir}/tput lines"], \
        "tput must be the module's own child, given exactly one argument"


def test_the_binary_has_no_shell_and_reads_no_environment():
    """The extension imports no way to run a shell command and no way to read an environment variable."""
    import _corvane

    nm = shutil.which("nm")
    if not nm:
        pytest.skip("nm is not installed")
    listing = subprocess.run([nm, "-D", "--undefined-only", _corvane.__file__], capture_output=True, text=True,
                             check=True).stdout
    imported = {line.split()[-1].split("@")[0] for line in listing.splitlines() if line.strip()}
    forbidden = {"system", "popen", "execl", "execle", "execlp", "execv", "execve", "execvp", "execvpe", "fexecve",
                 "wordexp", "getenv", "secure_getenv", "putenv", "setenv", "unsetenv", "clearenv"}
    assert imported & forbidden == set()
    assert "posix_spawnp" in imported, "tput is expected to be launched with posix_spawnp and an argument vector"


CLOEXEC_CHILD = """
import fcntl, subprocess, threading, time, zlib, struct
if not {stdin_is_terminal}:  # the input reader then opens /dev/tty itself
    null = os.open("/dev/null", os.O_RDONLY)
    os.dup2(null, 0)
    os.close(null)
obj = Corvane()
rec, one = {rec!r}, {one!r}
obj.poll_key()                       # the input reader: its terminal, poller and signal pipe
obj.start_recording(rec)             # an open recording
obj.render(bytes(12), 2, 2)
obj.get_mapping_info()
during_play = []
def look_during_the_pause():         # the player's file, seen while it sleeps between frames
    time.sleep(0.01)
    during_play.extend(n for n, target in open_fds().items() if target == one)
    during_play.extend(bool(fcntl.fcntl(n, fcntl.F_GETFD) & fcntl.FD_CLOEXEC) for n in list(during_play))
threading.Thread(target=look_during_the_pause).start()
obj.play(one, 0.0)
inheritable = {{n: t for n, t in open_fds().items()
               if n > 2 and not fcntl.fcntl(n, fcntl.F_GETFD) & fcntl.FD_CLOEXEC}}
# What a program started now inherits (every descriptor Python itself opened is close-on-exec).
listing = subprocess.run(["ls", "-l", "/proc/self/fd"], close_fds=False, capture_output=True, text=True).stdout
report({{"inheritable": inheritable, "listing": listing, "during_play": during_play,
         "open": sorted(open_fds().values())}})
"""


@pytest.mark.parametrize("stdin_is_terminal", [True, False], ids=["stdin a terminal", "stdin not a terminal"])
def test_every_descriptor_is_close_on_exec(child, tmp_path, stdin_is_terminal):
    rec, one = tmp_path / "rec.lzdx", tmp_path / "three.lzdx"
    one.write_bytes(MAGIC + KEY + DELTA + KEY2)
    code = CLOEXEC_CHILD.format(rec=str(rec), one=str(one), stdin_is_terminal=stdin_is_terminal)
    run = child(child_code(code), cols=2, rows=2)
    assert run.returncode == 0, run.stderr
    out = run.report
    assert any("eventpoll" in t for t in out["open"]) and str(rec) in out["open"], "the descriptors were not open"
    if not stdin_is_terminal:
        assert "/dev/tty" in out["open"], "the reader did not open the terminal"
    assert out["inheritable"] == {}
    inherited = [line for line in out["listing"].splitlines()[1:]
                 if int(line.split(" -> ")[0].split()[-1]) > 2 and "/proc/" not in line]
    assert inherited == []
    assert len(out["during_play"]) == 2 and out["during_play"][1] is True, out["during_play"]


@pytest.mark.parametrize("umask, mode", [(0o000, 0o666), (0o022, 0o644), (0o077, 0o600), (0o027, 0o640)])
def test_recording_files_are_created_0666_less_the_umask(child, tmp_path, umask, mode):
    fresh, existing = tmp_path / "fresh.lzdx", tmp_path / "existing.lzdx"
    existing.write_bytes(b"old")
    existing.chmod(0o604)
    run = child(child_code(f"""
        os.umask({umask})
        obj = Corvane()
        obj.start_recording({str(fresh)!r})
        obj.start_recording({str(existing)!r})
        obj.stop_recording()
        """))
    assert run.returncode == 0, run.stderr
    assert fresh.stat().st_mode & 0o7777 == mode
    assert existing.stat().st_mode & 0o7777 == 0o604, "an existing file keeps its mode"
    assert existing.read_bytes() == MAGIC


ENVIRONMENT_CHILD = """
obj = Corvane()
obj.start_recording({rec!r})
for i in range(3):
    obj.render(bytes((i * 40 + j * 7) % 256 for j in range(6 * 6 * 3)), 6, 6)
obj.stop_recording()
obj.hide_cursor()
obj.play({rec!r}, 0.0)
obj.play({rec!r}, 1.5)
obj.show_cursor()
infos = [obj.get_mapping_info() for _ in range(31)]
report([infos[0], infos[-1], obj.poll_key()])
"""

HOSTILE_ENVIRONMENT = {
    "COLUMNS": "7", "LINES": "3", "TERM": "dumb", "TERMINFO": "/nonexistent", "TERMCAP": "xx|bogus:co#9:li#2:",
    "NO_COLOR": "1", "COLORTERM": "", "CLICOLOR_FORCE": "1", "LANG": "tr_TR.UTF-8", "LC_ALL": "C",
    "LC_NUMERIC": "de_DE.UTF-8", "TZ": "Pacific/Kiritimati", "TMPDIR": "/nonexistent", "HOME": "/nonexistent",
    "SHELL": "/bin/false", "IFS": "x", "POSIXLY_CORRECT": "1", "CORVANE_SHARPEN": "9", "CORVANE_FPS": "1000",
}


def test_environment_variables_change_nothing(child, tmp_path):
    """With a terminal present, no environment variable changes the bytes drawn, recorded or reported."""
    runs = []
    for name, env in (("plain", {}), ("hostile", HOSTILE_ENVIRONMENT)):
        rec = tmp_path / f"{name}.lzdx"
        run = child(child_code(ENVIRONMENT_CHILD.format(rec=str(rec))), cols=6, rows=4, env=env)
        assert run.returncode == 0, run.stderr
        runs.append((run.stdout, rec.read_bytes(), run.report))
    assert runs[0] == runs[1]
