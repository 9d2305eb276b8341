"""The built-in demo leaves the terminal as it found it, also when interrupted."""

import os
import signal
import subprocess
import sys
import time

from conftest import HIDE, SHOW, default_sigint, set_winsize


def start_demo(tmp_path, seconds):
    master, slave = os.openpty()
    set_winsize(slave, 60, 20)
    out = open(tmp_path / "demo.out", "wb")
    proc = subprocess.Popen(
        [sys.executable, "-m", "corvane", "demo", "--seconds", str(seconds)],
        stdin=slave, stdout=out, stderr=subprocess.PIPE, start_new_session=True,
        preexec_fn=default_sigint,
    )
    os.close(slave)
    return proc, master, out


def finish(proc, master, out):
    _, err = proc.communicate(timeout=60)
    os.close(master)
    out.close()
    return err.decode()


def test_demo_draws_and_restores(tmp_path):
    proc, master, out = start_demo(tmp_path, 0.5)
    err = finish(proc, master, out)
    data = (tmp_path / "demo.out").read_bytes()
    assert proc.returncode == 0, err
    drawn, _, summary = data.rpartition(SHOW)
    assert drawn.startswith(HIDE) and b"q, Esc or Enter: stop\x1b[H\x1b[38;2;" in drawn
    assert drawn.count(b"\x1b[0m") >= 3 * 10, "the animation, then its recording played twice"
    assert summary.startswith(b"Recorded to ") and b" bytes of raw frames" in summary


def test_demo_restores_terminal_on_ctrl_c(tmp_path):
    proc, master, out = start_demo(tmp_path, 30)
    deadline = time.monotonic() + 20
    while (tmp_path / "demo.out").stat().st_size < 100_000 and time.monotonic() < deadline:
        time.sleep(0.05)
    proc.send_signal(signal.SIGINT)
    err = finish(proc, master, out)
    data = (tmp_path / "demo.out").read_bytes()
    assert proc.returncode == 130, err
    assert "Traceback" not in err
    assert data.startswith(HIDE) and data.endswith(SHOW)
