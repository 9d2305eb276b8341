"""Faults that once lost recordings, grew without bound, drew a wrong picture or crashed the
process at exit, each checked on the real thing: files, FIFOs, a pty flooded with replies, a tmux
pane resized under a picture."""

from __future__ import annotations

import errno
import os
import resource
import shutil
import signal
import subprocess
import sys
import threading
import time
import tty
from pathlib import Path

import pytest
from _corvane import Corvane

import children
import corvane
import corvane._native as native
from pty_session import Tmux, wait_until
from recording_file import frames, parse
from reference import pattern

SANITIZED = os.environ.get("CORVANE_SANITIZED") == "1"
FRAME = bytes(range(12))  # a 2 x 2 frame


def frames_in(path) -> int:
    with corvane.Recording(str(path)) as rec:
        return len(rec)


def recorded(tmp_path, count: int) -> str:  # a recording of `count` frames, 33 ms each
    path, obj = str(tmp_path / "rec.lzdx"), Corvane()
    obj.start_recording(path)
    for _ in range(count):
        obj.render(FRAME, 2, 2)
    obj.stop_recording()
    return path


DRAWS = [["draw", 2, 2, i] for i in range(12)]  # records of about 40 bytes on a 2 x 2 terminal
FAILED_STARTS = {
    # The running recording's buffer (the signature and ten records) meets a limit of 90 bytes on
    # its way out: a record is cut in half.
    "flush cut short": [["start_recording", "r"]] + DRAWS[:10] + [["file size", 90], ["start_recording", "r"],
                                                                 ["file size", 10**9]] + DRAWS[10:] + [
        ["stop_recording"], ["play", "r", 0.0]],
    # The file opens but cannot be emptied.
    "target not emptied": [["sealed file", "r", "HELLO WORLD"], ["start_recording", "r"], ["read", "r"]],
}


@pytest.mark.parametrize("case", FAILED_STARTS)
def test_a_failed_start_leaves_every_file_as_it_was(child, tmp_path, case):
    path = str(tmp_path / "r")
    steps = [[name, *(path if arg == "r" else arg for arg in args)] for name, *args in FAILED_STARTS[case]]
    outcomes = [got for got, *_ in child(children.run, steps, cols=2, rows=2).report]
    if case == "flush cut short":
        assert outcomes[12] == ["OSError", "File too large (os error 27)"]
        assert outcomes[-1] is None, "the recording plays"
        assert frames(parse(Path(path).read_bytes())) == [pattern(2, 2, i) for i in range(12)]
    else:
        assert outcomes[1:] == [["OSError", "Operation not permitted (os error 1)"], "HELLO WORLD"]


class Alarm(Exception):
    @staticmethod
    def handler(*_):
        raise Alarm


@pytest.mark.parametrize("call", ["start_recording", "play"])
def test_fifo_opens_end_on_a_signal_and_wait_for_a_late_peer(tmp_path, call):
    fifo, copy = str(tmp_path / "fifo"), tmp_path / "copy.lzdx"
    os.mkfifo(fifo)
    obj = Corvane()
    args = (fifo,) if call == "start_recording" else (fifo, 0.0)
    before = set(os.listdir("/proc/self/fd"))
    previous = signal.signal(signal.SIGALRM, Alarm.handler)
    # Should the signal not end the call, a late peer does, so the suite fails instead of hanging.
    watchdog = subprocess.Popen(["sh", "-c", f"sleep 5; : <> '{fifo}'"])
    try:
        signal.setitimer(signal.ITIMER_REAL, 0.3)
        started = time.monotonic()
        with pytest.raises(Alarm):
            getattr(obj, call)(*args)
        assert time.monotonic() - started < 0.5
    finally:
        watchdog.kill()
        watchdog.wait()
        signal.signal(signal.SIGALRM, previous)
    assert set(os.listdir("/proc/self/fd")) == before
    if call == "start_recording":
        peer = subprocess.Popen(["sh", "-c", f"sleep 1; cat '{fifo}' > '{copy}'"])
        obj.start_recording(fifo)
        obj.render(FRAME, 2, 2)
        obj.stop_recording()
        assert peer.wait(timeout=30) == 0 and frames_in(copy) == 1
    else:
        copy.write_bytes(b"LZDX")
        peer = subprocess.Popen(["sh", "-c", f"sleep 1; cat '{copy}' > '{fifo}'"])
        assert obj.play(fifo, 0.0) is None and peer.wait(timeout=30) == 0


@pytest.mark.skipif(SANITIZED, reason="pacing is timed in the plain build")
@pytest.mark.parametrize("busy", [False, True], ids=["alone", "busy-thread"])
def test_playback_pace_does_not_drift(tmp_path, busy):
    path, obj = recorded(tmp_path, 60), Corvane()
    stop = threading.Event()
    spinner = threading.Thread(target=lambda: [None for _ in iter(stop.is_set, True)])
    if busy:
        spinner.start()
    try:
        started = time.monotonic()
        obj.play(path, 0.0)
        took = time.monotonic() - started
    finally:
        stop.set()
    # 60 turns of 33 ms; waiting for the interpreter lock after each sleep must not add up.
    assert 1.90 <= took <= 2.15



EXIT_CHILD = """
import os, sys, threading, time
from _corvane import Corvane

class Slow:
    def __del__(self, sleep=time.sleep, write=os.write):
        sleep(0.5)  # the daemon thread's sleep ends while the interpreter finalizes
        write(2, b"finalized")

slow = Slow()
# Its own globals: a thread running a function of this module would keep `slow` alive.
play = eval("lambda: Corvane().play(sys.argv[1], 0.0)", {"Corvane": Corvane, "sys": sys})
threading.Thread(target=play, daemon=True).start()
time.sleep(0.2)
"""


def test_exit_while_a_daemon_thread_plays(tmp_path):
    path = recorded(tmp_path, 300)
    runs = [subprocess.Popen([sys.executable, "-c", EXIT_CHILD, path], stdout=subprocess.DEVNULL,
                             stderr=subprocess.PIPE) for _ in range(4)]
    ends = [(run.wait(timeout=60), run.stderr.read()) for run in runs]
    assert ends == [(0, b"finalized")] * 4


REPLY_CHILD = """
import os, sys, time
from _corvane import Corvane
obj = Corvane()
rss = lambda: int(open("/proc/self/statm").read().split()[1]) * os.sysconf("SC_PAGE_SIZE")
obj.poll_key()
start, slowest, polls, key = rss(), 0.0, 0, None
print("ready", file=sys.stderr, flush=True)
began = time.monotonic()
while key != "x" and time.monotonic() < began + 10:
    time.sleep(0.0005)  # an application polling at 2 kHz
    # A poll's own time: processor time, which another process taking the core does not add to.
    t = time.thread_time(); key = obj.poll_key(); slowest = max(slowest, time.thread_time() - t); polls += 1
print(key, time.monotonic() - began, polls, slowest, rss() - start, file=sys.stderr)
"""


def write_all(fd: int, data: bytes) -> None:
    view = memoryview(data)
    try:
        while view:
            view = view[os.write(fd, view):]
    except OSError:  # the child is gone
        pass


def test_unasked_replies_are_dropped():
    master, slave = os.openpty()
    tty.setraw(slave)  # poll_key never changes the mode: a line-buffered tty would hold the bytes
    child = subprocess.Popen([sys.executable, "-c", REPLY_CHILD], stdin=slave, stdout=subprocess.DEVNULL,
                             stderr=subprocess.PIPE, text=True, start_new_session=True)
    os.close(slave)
    try:
        assert child.stderr.readline() == "ready\n"
        # 200,000 cursor-position replies, then a key; written while the child reads them.
        threading.Thread(target=write_all, args=(master, b"\x1b[5;5R" * 200_000 + b"x"), daemon=True).start()
        key, seconds, polls, slowest, growth = child.stderr.readline().split()
    finally:
        child.kill()
        os.close(master)
    assert key == "x", f"the key after 200,000 replies was not seen in {polls} polls"
    assert float(seconds) < 2
    assert SANITIZED or float(slowest) < 1e-3
    assert SANITIZED or int(growth) < 4 << 20  # the sanitizer's allocator keeps freed memory


@pytest.mark.parametrize("cause, code", [("name-taken", errno.EEXIST), ("file-size-limit", errno.EFBIG)])
def test_a_frame_that_cannot_go_to_shared_memory_raises_and_leaves_only_what_was_there(cause, code):
    name = f"/corvane-test-{os.getpid()}-{cause}"
    if cause == "name-taken":
        native.kitty_shm_image(b"\1\2\3", 1, 1, 1, name, False)  # someone else's object
    limit = resource.getrlimit(resource.RLIMIT_FSIZE)
    try:
        if cause == "file-size-limit":
            resource.setrlimit(resource.RLIMIT_FSIZE, (4096, limit[1]))  # too small to size the object
        with pytest.raises(OSError, match=f"os error {code}"):
            native.kitty_shm_image(bytes(3 * 64 * 64), 64, 64, 1, name, False)
    finally:
        resource.setrlimit(resource.RLIMIT_FSIZE, limit)
        kept = Path("/dev/shm" + name).read_bytes() if os.path.exists("/dev/shm" + name) else None
        native.shm_unlink(name)
    assert kept == (b"\3\2\1" if cause == "name-taken" else None)


RESIZE_CHILD = """
import sys, time
from _corvane import Corvane
obj = Corvane()
obj.hide_cursor()
frame = bytes([30, 60, 90]) * 16  # 4 x 4 pixels of one colour
obj.render(frame, 4, 4)
open(sys.argv[1] + ".1", "w").close()
while obj.get_mapping_info()["term_w"] != 150:
    time.sleep(0.01)
obj.render(frame, 4, 4)
open(sys.argv[1] + ".2", "w").close()
time.sleep(60)
"""


@pytest.mark.skipif(shutil.which("tmux") is None, reason="needs tmux")
def test_resize_to_the_same_cell_count_redraws(tmp_path):
    # 100 x 31 and 150 x 21 terminals both give a grid of 3,000 cells.
    marks, script, conf = str(tmp_path / "mark"), tmp_path / "child.py", tmp_path / "tmux.conf"
    script.write_text(RESIZE_CHILD)
    conf.write_text("set -g status off\n")
    with Tmux("corvane", f"{sys.executable} {script} {marks}", 100, 31, conf=str(conf)) as tmux:
        assert wait_until(lambda: os.path.exists(marks + ".1"), 30), "the child never drew"
        tmux.resize(150, 21)
        assert wait_until(lambda: os.path.exists(marks + ".2"), 30), "the child never saw the new size"
        time.sleep(0.3)
        captured = tmux.capture()
    # One colour all over, so a redrawn grid is 20 rows of 150 cells; the old layout left 100.
    wrong = [len(row) for row in captured.split("\n")[:20] if row.count("\u2580") != 150]
    assert not wrong, f"{len(wrong)} of 20 rows keep the old layout ({wrong[0]} characters)"
