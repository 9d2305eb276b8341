"""Soak: every method and every error path, thousands of times over; nothing may pile up.

Each group runs in a child on a pty of 4 x 3 cells with standard output on /dev/null. After a
warm-up the child records its descriptors, resident memory, the C heap in use, the blocks the
interpreter's own allocator has handed out and the objects the garbage collector tracks; after the
rest of the calls it records them again. The reference counts of every argument are taken before
the first call and after the last.
"""

import os

import pytest

from hardening import SANITIZED, PtyChild

SOAK = """
import array, struct, threading, time, zlib
from pathlib import Path

WORK = Path({work!r})
ROUNDS = {rounds}
obj = Corvane()

class Index:
    def __init__(self, value, hook=None):
        self.value, self.hook = value, hook
    def __index__(self):
        if self.hook:
            self.hook()
        return self.value

class Floaty:
    def __float__(self):
        raise ArithmeticError("no float today")

class Lengthless:
    def __len__(self):
        raise ValueError("length refused")
    def __getitem__(self, i):
        if i >= 48:
            raise IndexError(i)
        return i

class Exploding:
    def __iter__(self):
        raise ZeroDivisionError("no iteration")
    def __len__(self):
        return 48
    def __getitem__(self, i):
        return 0

def recording(*records):
    out = b"LZDX"
    for frame_type, rows, cols, payload in records:
        out += struct.pack("<BIIiiI", frame_type, 4, 3, rows, cols, len(payload)) + payload
    return out

FRAME = bytes(range(48))  # 4 x 4 pixels: the terminal's own display grid, drawn unscaled
files = {{
    "signature": b"LZDX",
    "not_lzdx": b"GIF89a......",
    "empty": b"",
    "cut_header": recording((0, 4, 4, zlib.compress(FRAME)))[:20],
    "cut_payload": recording((0, 4, 4, zlib.compress(FRAME)))[:-2],
    "corrupt": recording((0, 4, 4, b"\\x78\\x9c" + b"\\xff" * 20)),
    "short_stream": recording((0, 4, 4, zlib.compress(FRAME[:12]))),
    "delta_first": recording((1, 4, 4, zlib.compress(FRAME))),
    "negative": recording((0, -4, 4, zlib.compress(FRAME))),
    "one_frame": recording((0, 4, 4, zlib.compress(FRAME))),
    "drawn_then_corrupt": recording((0, 4, 4, zlib.compress(FRAME)), (1, 4, 4, b"\\x78\\x9c\\xff\\xff")),
    "drawn_then_cut": recording((0, 4, 4, zlib.compress(FRAME)), (1, 4, 4, zlib.compress(FRAME)))[:-5],
}}
for name, data in files.items():
    (WORK / name).write_bytes(data)
(WORK / "dir").mkdir(exist_ok=True)
P = {{name: str(WORK / name) for name in list(files) + ["dir"]}}
P["missing"] = str(WORK / "missing")
P["no_dir"] = str(WORK / "no" / "such" / "dir")
P["target"] = str(WORK / "target.lzdx")

def from_other_thread(method, *args):
    caught = []
    def run():
        try:
            method(*args)
        except BaseException as e:
            caught.append(e)
    t = threading.Thread(target=run)
    t.start()
    t.join()
    if caught:
        raise caught[0]

def dropped_on_other_thread():
    box = [Corvane()]
    t = threading.Thread(target=box.clear)
    t.start()
    t.join()

unraisable = set()
sys.unraisablehook = lambda u: unraisable.add(type(u.exc_value).__name__)

# (label, call, arguments, expected outcome: None or the exception's type name)
GROUPS = {{
    "render": [
        ("bytes", obj.render, (FRAME, 4, 4), None),
        ("other bytes", obj.render, (FRAME[::-1], 4, 4), None),
        ("bytearray", obj.render, (bytearray(FRAME), 4, 4), None),
        ("list", obj.render, (list(FRAME), 4, 4), None),
        ("tuple", obj.render, (tuple(FRAME), Index(4), True + 3), None),
        ("memoryview", obj.render, (memoryview(FRAME), 4, 4), None),
        ("array", obj.render, (array.array("B", FRAME), 4, 4), None),
        ("length refused", obj.render, (Lengthless(), 4, 4), None),
        ("str", obj.render, ("abc", 1, 1), "TypeError"),
        ("int", obj.render, (5, 1, 1), "TypeError"),
        ("element 256", obj.render, ([0, 256, 0], 1, 1), "OverflowError"),
        ("element float", obj.render, ([1.0, 2, 3], 1, 1), "TypeError"),
        ("element huge", obj.render, ([2 ** 70], 1, 1), "OverflowError"),
        ("width float", obj.render, (FRAME, 1.5, 4), "TypeError"),
        ("width 2**31", obj.render, (FRAME, 2 ** 31, 4), "OverflowError"),
        ("index raises", obj.render, (FRAME, Index(4, hook=lambda: 1 / 0), 4), "ZeroDivisionError"),
        ("iteration raises", obj.render, (Exploding(), 4, 4), "ZeroDivisionError"),
        ("wrong length", obj.render, (FRAME[:-1], 4, 4), "ValueError"),
        ("negative", obj.render, (b"", 4, -1), "RuntimeError"),
        ("empty", obj.render, (b"", 0, 0), "RuntimeError"),
        ("missing", obj.render, (FRAME,), "TypeError"),
        ("too many", obj.render, (FRAME, 4, 4, 4), "TypeError"),
        ("reentrant", obj.render, (FRAME, Index(4, hook=obj.get_mapping_info), 4), "RuntimeError"),
    ],
    "recording": [
        ("start", obj.start_recording, (P["target"],), None),
        ("render recorded", obj.render, (FRAME, 4, 4), None),
        ("restart same path", obj.start_recording, (P["target"],), None),
        ("stop", obj.stop_recording, (), None),
        ("stop again", obj.stop_recording, (), None),
        ("missing directory", obj.start_recording, (P["no_dir"],), "OSError"),
        ("a directory", obj.start_recording, (P["dir"],), "OSError"),
        ("NUL", obj.start_recording, ("a\\0b",), "OSError"),
        ("bytes path", obj.start_recording, (b"x",), "TypeError"),
        ("no path", obj.start_recording, (), "TypeError"),
        ("stop with argument", obj.stop_recording, (1,), "TypeError"),
    ],
    "play": [
        ("signature only", obj.play, (P["signature"], 0.0), None),
        ("sharpened signature", obj.play, (P["signature"], 1.5), None),
        ("missing", obj.play, (P["missing"], 0.0), "RuntimeError"),
        ("not a recording", obj.play, (P["not_lzdx"], 0.0), "RuntimeError"),
        ("empty", obj.play, (P["empty"], 0.0), "PanicException"),
        ("directory", obj.play, (P["dir"], 0.0), "PanicException"),
        ("cut header", obj.play, (P["cut_header"], 0.0), "PanicException"),
        ("cut payload", obj.play, (P["cut_payload"], 0.0), "PanicException"),
        ("corrupt", obj.play, (P["corrupt"], 0.0), "PanicException"),
        ("short stream", obj.play, (P["short_stream"], 0.0), "PanicException"),
        ("delta first", obj.play, (P["delta_first"], 0.0), "PanicException"),
        ("negative size", obj.play, (P["negative"], 0.0), "RuntimeError"),
        ("bytes path", obj.play, (b"x", 0.0), "TypeError"),
        ("str sharpen", obj.play, (P["signature"], "1"), "TypeError"),
        ("float raises", obj.play, (P["signature"], Floaty()), "ArithmeticError"),
        ("int too big", obj.play, (P["signature"], 10 ** 400), "OverflowError"),
    ],
    "screen and size": [
        ("hide", obj.hide_cursor, (), None),
        ("show", obj.show_cursor, (), None),
        ("mapping", obj.get_mapping_info, (), None),
        ("hide with argument", obj.hide_cursor, (1,), "TypeError"),
        ("mapping with argument", obj.get_mapping_info, (1,), "TypeError"),
    ],
    "keys": [
        ("poll", obj.poll_key, (), None),
        ("poll with argument", obj.poll_key, (1,), "TypeError"),
    ],
    "objects": [
        ("create and drop", Corvane, (), None),
        ("with argument", Corvane, (1,), "TypeError"),
        ("with keyword", lambda: Corvane(x=1), (), "TypeError"),
        ("dropped elsewhere", dropped_on_other_thread, (), None),
    ],
    "foreign threads": [
        (m, from_other_thread, (getattr(obj, m),) + a, "PanicException")
        for m, a in [("render", (FRAME, 4, 4)), ("get_mapping_info", ()), ("hide_cursor", ()),
                     ("show_cursor", ()), ("poll_key", ()), ("start_recording", (P["target"],)),
                     ("stop_recording", ()), ("play", (P["signature"], 0.0))]
    ],
}}
# Calls that draw a frame pace it for 33 ms, so they run in 20 of the rounds. A 2 ms interval
# timer whose handler returns keeps interrupting them and everything else: the pacing must resume
# and every interrupted system call must be retried.
DRAWING = {{
    "play": [
        ("one frame", obj.play, (P["one_frame"], 0.0), None),
        ("one frame sharpened", obj.play, (P["one_frame"], 2.0), None),
        ("drawn then corrupt", obj.play, (P["drawn_then_corrupt"], 0.0), "PanicException"),
        ("drawn then cut", obj.play, (P["drawn_then_cut"], 0.0), "PanicException"),
    ],
}}
GROUP = {group!r}
calls = sum(GROUPS.values(), []) if GROUP == "everything" else GROUPS[GROUP]
drawing = sum(DRAWING.values(), []) if GROUP == "everything" else DRAWING.get(GROUP, [])
if drawing:
    import signal
    signal.signal(signal.SIGALRM, lambda *a: None)
    signal.setitimer(signal.ITIMER_REAL, 0.002, 0.002)
keys_input = GROUP in ("keys", "everything")
if keys_input:
    # poll_key reads standard input when it is a terminal: a pty of the child's own that it types into.
    import tty
    master, slave = os.openpty()
    os.dup2(slave, 0)
    tty.setraw(0)

def one_round(number):
    wrong = []
    for label, call, args, expected in calls + (drawing if number % max(ROUNDS // 20, 1) == 0 else []):
        got = outcome(call, *args)
        if (got and got[0]) != expected:
            wrong.append([label, got])
    if keys_input:
        # Three keys and three other events, then "z": every key must come out, in order.
        os.write(master, b"a\\x1b[Ab\\r\\x1b[<0;1;1M\\x1b[200~p\\x1b[201~z")
        keys, deadline = [], time.monotonic() + 5
        while keys[-1:] != ["z"] and time.monotonic() < deadline:
            key = obj.poll_key()
            if key is not None:
                keys.append(key)
        if keys != ["a", "b", "enter", "z"]:
            wrong.append(["typed keys", keys])
    return wrong

arguments = [a for _, _, args, _ in calls + drawing for a in args if not isinstance(a, (int, float, bool))]
refs_before = [sys.getrefcount(a) for a in arguments]
_start = time.monotonic()
warm = max(ROUNDS // 10, 20)
wrong = []
for i in range(warm):
    wrong += one_round(i)
gc.collect()
fds0, rss0, heap0, objects0 = open_fds(), rss_kib(), native_heap_kib(), len(gc.get_objects())
blocks0 = sys.getallocatedblocks()
rss_samples = []
for i in range(ROUNDS - warm):
    wrong += one_round(i)
    if i % max((ROUNDS - warm) // 5, 1) == 0:
        rss_samples.append(rss_kib())
obj.stop_recording()
if drawing:
    signal.setitimer(signal.ITIMER_REAL, 0, 0)
gc.collect()
fds1, rss1, heap1, objects1 = open_fds(), rss_kib(), native_heap_kib(), len(gc.get_objects())
blocks1 = sys.getallocatedblocks()
refs_after = [sys.getrefcount(a) for a in arguments]
report({{
    "calls": ROUNDS * len(calls),
    "seconds": round(time.monotonic() - _start, 2),
    "wrong": wrong[:5],
    "refs": [[repr(a)[:40], b, c] for a, b, c in zip(arguments, refs_before, refs_after) if b != c],
    "fds": [sorted(fds0.items()), sorted(fds1.items())],
    "rss": [rss0, rss1, rss_samples],
    "heap": [heap0, heap1],
    "objects": [objects0, objects1],
    "blocks": [blocks0, blocks1],
    "unraisable": sorted(unraisable),
}})
"""

# Rounds per group: every call of the group runs once a round. Groups whose calls are cheap run
# more rounds; a round of `play` costs a fresh renderer per call.
# (rounds, rounds under the sanitizers, which make every renderer's buffers costly to reserve).
ROUNDS = {
    "render": (10000, 2000),
    "recording": (5000, 1000),
    "play": (10000, 500),
    "screen and size": (10000, 2000),
    "keys": (10000, 2000),
    "objects": (10000, 1000),
    "foreign threads": (1500, 300),
}


@pytest.mark.parametrize("group", list(ROUNDS))
def test_soak(tmp_path, group):
    rounds = ROUNDS[group][1 if SANITIZED else 0]
    child = PtyChild(tmp_path, SOAK.format(work=str(tmp_path), rounds=rounds, group=group), cols=4, rows=3)
    status, err, report = child.result(timeout=300)
    assert status == 0, err[-3000:]
    assert report["wrong"] == [], report["wrong"]
    assert report["refs"] == [], "reference counts of arguments changed"
    assert report["fds"][0] == report["fds"][1], "descriptors leaked or closed"
    assert report["objects"][1] - report["objects"][0] <= 50, report["objects"]
    blocks0, blocks1 = report["blocks"]
    assert blocks1 - blocks0 <= 500, f"{blocks1 - blocks0} more blocks of the interpreter's allocator in use"
    if group == "objects":
        assert report["unraisable"] == ["RuntimeError"]
    if not SANITIZED:
        heap0, heap1 = report["heap"]
        assert heap1 - heap0 <= 64, f"the C heap grew by {heap1 - heap0} KiB over {report['calls']} calls"
        rss0, rss1, samples = report["rss"]
        assert max(samples + [rss1]) - rss0 <= 2048, f"resident memory grew: {rss0} -> {samples} -> {rss1} KiB"


LEAK_CHECK = """
check = ctypes.CDLL(None).__lsan_do_recoverable_leak_check
sys.stderr.write("-- leak check of the module --\\n"); sys.stderr.flush()
found = check()
# The control: a block and an object that nothing refers to any more must be found.
sys.stderr.write("-- leak check of the control --\\n"); sys.stderr.flush()
ctypes.CDLL(None).malloc(4096)
lost = bytes(range(200)) * 3
ctypes.pythonapi.Py_IncRef(ctypes.py_object(lost))
del lost
gc.collect()
control = check()
report({"found": found, "control": control, "wrong": wrong[:5]})
os._exit(0)  # no leak check at exit: the interpreter's own end-of-process leftovers are not ours
"""


@pytest.mark.skipif(not SANITIZED, reason="needs the extension built with AddressSanitizer (make asan-py-test)")
def test_no_block_is_lost(tmp_path):
    """Every method and error path, then LeakSanitizer's search for unreachable blocks, in process.

    Blocks that the interpreter itself keeps only in memory the sanitizer does not scan (frame
    objects referenced from its own mmap'd evaluation stack) are suppressed by name.
    """
    suppressions = tmp_path / "lsan.supp"
    suppressions.write_text("leak:_PyFrame_New_NoTrack\n")
    options = [o for o in os.environ.get("ASAN_OPTIONS", "").split(":") if o and not o.startswith(("log_path", "detect_leaks"))]
    env = {
        "ASAN_OPTIONS": ":".join(options + ["detect_leaks=1", "fast_unwind_on_malloc=0"]),
        "LSAN_OPTIONS": f"suppressions={suppressions}:print_suppressions=0",
    }
    code = SOAK.format(work=str(tmp_path), rounds=30, group="everything") + LEAK_CHECK
    child = PtyChild(tmp_path, code, cols=4, rows=3, env=env)
    status, err, report = child.result(timeout=300)
    assert status == 0, err[-3000:]
    assert report["wrong"] == [], report["wrong"]
    module_part = err.split("-- leak check of the module --")[-1].split("-- leak check of the control --")[0]
    assert report["found"] == 0, module_part[-6000:]
    assert report["control"] == 1, "the leak check found nothing where leaks were made"


@pytest.mark.skipif(not SANITIZED, reason="only the sanitized suite must prove which build it tests")
def test_the_sanitized_build_is_under_test():
    import _corvane

    with open("/proc/self/maps") as maps:
        assert "libasan" in maps.read()
    assert "asan" in os.path.dirname(_corvane.__file__), _corvane.__file__
