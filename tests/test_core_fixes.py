"""Faults that once lost recordings, grew without bound or drew a wrong picture, each checked on
the real thing: files, FIFOs, a pty flooded with replies, a tmux pane resized under a picture."""

from __future__ import annotations

import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path

import pytest
from _corvane import Corvane

import corvane

HERE = Path(__file__).parent
SANITIZED = os.environ.get("CORVANE_SANITIZED") == "1"
FRAME = bytes(range(12))  # a 2 x 2 frame


class Alarm(Exception):
    pass


def frames_in(path: Path) -> int:
    with corvane.Recording(str(path)) as rec:
        return len(rec)


def _nul_path(path: str) -> str:
    return path + "\0x"


def _read_only(path: str) -> str:
    os.chmod(path, 0o444)
    return path


@pytest.mark.parametrize("failing_path", [_nul_path, _read_only])
def test_failed_restart_keeps_the_running_recording(failing_path):
    base = Path(tempfile.mkdtemp(prefix="corvane-restart-"))  # searchable by an unprivileged user
    try:
        os.chmod(base, 0o755)
        path = str(base / "rec.lzdx")
        obj = Corvane()
        obj.start_recording(path)
        obj.render(FRAME, 2, 2)
        again = failing_path(path)
        if os.geteuid() == 0:
            os.seteuid(65534)  # root writes anywhere: try the restart as nobody
        try:
            with pytest.raises(OSError) as failed:
                obj.start_recording(again)
        finally:
            os.seteuid(os.getuid())
        assert failed.value.errno is None and str(failed.value) in (
            "file name contained an unexpected NUL byte", "Permission denied (os error 13)")
        obj.render(FRAME[::-1], 2, 2)
        obj.render(FRAME, 2, 2)
        obj.stop_recording()
        assert frames_in(Path(path)) == 3
    finally:
        shutil.rmtree(base)


def test_restart_on_the_same_file_starts_it_afresh(tmp_path):
    path = str(tmp_path / "rec.lzdx")
    obj = Corvane()
    obj.start_recording(path)
    for _ in range(3):
        obj.render(FRAME, 2, 2)
    obj.start_recording(path)
    obj.render(FRAME, 2, 2)
    obj.stop_recording()
    assert frames_in(tmp_path / "rec.lzdx") == 1


def open_fds() -> set:
    return set(os.listdir("/proc/self/fd"))


@pytest.mark.parametrize("call", ["start_recording", "play"])
def test_fifo_without_a_peer_ends_on_a_signal(tmp_path, call):
    fifo = str(tmp_path / "fifo")
    os.mkfifo(fifo)
    obj = Corvane()
    args = (fifo,) if call == "start_recording" else (fifo, 0.0)

    def ring(*_):
        raise Alarm

    before = open_fds()
    previous = signal.signal(signal.SIGALRM, ring)
    # Should the signal not end the call, a late peer does, so the suite fails instead of hanging.
    watchdog = subprocess.Popen(["sh", "-c", f"sleep 5; : <> '{fifo}'"])
    try:
        signal.setitimer(signal.ITIMER_REAL, 0.3)
        started = time.monotonic()
        with pytest.raises(Alarm):
            getattr(obj, call)(*args)
        assert time.monotonic() - started < 0.3 + 0.2
    finally:
        watchdog.kill()
        watchdog.wait()
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)
    assert open_fds() == before


def test_fifo_whose_peer_comes_late_still_works(tmp_path):
    fifo, copy = tmp_path / "fifo", tmp_path / "copy.lzdx"
    os.mkfifo(fifo)
    obj = Corvane()
    reader = subprocess.Popen(["sh", "-c", f"sleep 1; cat '{fifo}' > '{copy}'"])
    obj.start_recording(str(fifo))
    obj.render(FRAME, 2, 2)
    obj.stop_recording()
    assert reader.wait(timeout=30) == 0
    assert frames_in(copy) == 1
    writer = subprocess.Popen(["sh", "-c", f"sleep 1; cat '{copy}' > '{fifo}'"])
    assert obj.play(str(fifo), 0.0) is None
    assert writer.wait(timeout=30) == 0


def _play_seconds(path: str, busy: bool) -> float:
    stop = threading.Event()
    spinner = threading.Thread(target=lambda: [None for _ in iter(stop.is_set, True)])
    if busy:
        spinner.start()
    try:
        started = time.monotonic()
        Corvane().play(path, 0.0)
        return time.monotonic() - started
    finally:
        stop.set()
        if busy:
            spinner.join()


@pytest.mark.skipif(SANITIZED, reason="pacing is timed in the plain build")
@pytest.mark.parametrize("busy", [False, True], ids=["alone", "busy-thread"])
def test_playback_pace_does_not_drift(tmp_path, busy):
    path = str(tmp_path / "rec.lzdx")
    obj = Corvane()
    obj.start_recording(path)
    for _ in range(60):
        obj.render(FRAME, 2, 2)
    obj.stop_recording()
    # 60 turns of 33 ms; waiting for the interpreter lock after each sleep must not add up.
    assert 1.90 <= _play_seconds(path, busy) <= 2.15


REPLY_CHILD = """
import os, sys, time
from _corvane import Corvane
obj = Corvane()
def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")
obj.poll_key()
start, slowest, key = rss(), 0.0, None
sys.stderr.write("ready\\n"); sys.stderr.flush()
deadline = time.monotonic() + 60
while key != "x" and time.monotonic() < deadline:
    t = time.perf_counter(); key = obj.poll_key(); slowest = max(slowest, time.perf_counter() - t)
print(key, slowest, rss() - start, file=sys.stderr)
"""


def test_unasked_replies_are_dropped():
    import tty

    master, slave = os.openpty()
    tty.setraw(slave)  # poll_key never changes the mode: a line-buffered tty would hold the bytes
    child = subprocess.Popen([sys.executable, "-c", REPLY_CHILD], stdin=slave, stdout=subprocess.DEVNULL,
                             stderr=subprocess.PIPE, text=True, start_new_session=True)
    os.close(slave)
    try:
        assert child.stderr.readline() == "ready\n"
        flood = b"\x1b[1;5R" * 1000  # a cursor-position reply, and modified F3 reads the same
        for _ in range(200):
            os.write(master, flood)
        os.write(master, b"x")
        key, slowest, growth = child.stderr.readline().split()
        assert child.wait(timeout=60) == 0
    finally:
        child.kill()
        os.close(master)
    assert key == "x", "the key after 200,000 replies was lost"
    assert float(slowest) < 0.05
    if not SANITIZED:  # the sanitizer's allocator keeps freed memory
        assert int(growth) < 4 << 20


RESIZE_CHILD = """
import os, sys, time
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


def _wait_for(path: str, timeout: float = 30) -> None:
    deadline = time.monotonic() + timeout
    while not os.path.exists(path):
        assert time.monotonic() < deadline, f"child never reached {path}"
        time.sleep(0.02)


def cell_colours(captured: str):
    """(fg, bg) of every printed character in `tmux capture-pane -e -p` output, row by row; tmux
    writes only changes of attributes, also from one line to the next."""
    rows = []
    fg = bg = None
    for line in captured.split("\n"):
        cells = []
        for sgr, char in re.findall(r"\x1b\[([0-9;]*)m|(.)", line):
            if char:
                cells.append((fg, bg))
                continue
            params = [int(p) if p else 0 for p in sgr.split(";")]
            i = 0
            while i < len(params):
                if params[i] in (38, 48) and params[i + 1:i + 2] == [2]:
                    rgb = tuple(params[i + 2:i + 5])
                    fg, bg = (rgb, bg) if params[i] == 38 else (fg, rgb)
                    i += 5
                    continue
                if params[i] == 0:
                    fg = bg = None
                elif params[i] == 39:
                    fg = None
                elif params[i] == 49:
                    bg = None
                i += 1
        rows.append(cells)
    return rows


@pytest.mark.skipif(shutil.which("tmux") is None, reason="needs tmux")
def test_resize_to_the_same_cell_count_redraws(tmp_path):
    # 100 x 31 and 150 x 21 terminals both give a grid of 3,000 cells.
    marks = str(tmp_path / "mark")
    script = tmp_path / "child.py"
    script.write_text(RESIZE_CHILD)
    conf = tmp_path / "tmux.conf"
    conf.write_text("set -g status off\n")
    server = ["tmux", "-L", f"corvane-{os.getpid()}", "-f", str(conf)]
    subprocess.run(server + ["new-session", "-d", "-s", "t", "-x", "100", "-y", "31",
                             f"{sys.executable} {script} {marks}"], check=True)
    try:
        _wait_for(marks + ".1")
        subprocess.run(server + ["resize-window", "-t", "t", "-x", "150", "-y", "21"], check=True)
        _wait_for(marks + ".2")
        time.sleep(0.3)
        captured = subprocess.run(server + ["capture-pane", "-t", "t", "-e", "-p"], check=True,
                                  capture_output=True, text=True).stdout
    finally:
        subprocess.run(server + ["kill-server"], check=False)
    colour = (90, 60, 30)
    grid = [row[:150] for row in cell_colours(captured)[:20]]
    assert all(len(row) == 150 for row in grid)
    wrong = [(y, x) for y, row in enumerate(grid) for x, cell in enumerate(row) if cell != (colour, colour)]
    assert not wrong, f"{len(wrong)} cells keep the old layout, first at {wrong[0]}"
