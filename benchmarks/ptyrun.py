"""Runs a command in a child whose controlling terminal is a fresh pty of a set size.

The child gets the pty's slave side as standard input and as its controlling terminal (so the
module's size query through /dev/tty sees the set size). Its standard output is either the pty
too ("pty": what a user's terminal receives) or /dev/null ("null": the program's own cost) or a
file ("file": to capture the bytes). The parent drains the master side in a thread as fast as it
can, counting the bytes, like a terminal emulator that never falls behind.

The pty keeps the line discipline's defaults (output post-processing on, as in a user's
terminal); only echo is switched off.
"""

from __future__ import annotations

import fcntl
import os
import struct
import subprocess
import termios
import threading
import time
from dataclasses import dataclass
from typing import Any, Dict, List, Optional


@dataclass
class ChildRun:
    returncode: int
    wall_s: float
    cpu_s: float  # user + system of the child and its threads, from wait4
    drained: int  # bytes read from the pty master
    stderr: str


def _take_controlling_terminal() -> None:
    fcntl.ioctl(0, termios.TIOCSCTTY, 0)


def run_on_pty(
    argv: List[str],
    cols: int,
    rows: int,
    sink: str,
    *,
    env: Optional[Dict[str, str]] = None,
    out_file: Optional[str] = None,
    timeout: float = 900.0,
) -> ChildRun:
    master, slave = os.openpty()
    fcntl.ioctl(slave, termios.TIOCSWINSZ, struct.pack("HHHH", rows, cols, 0, 0))
    attrs = termios.tcgetattr(slave)
    attrs[3] &= ~(termios.ECHO | termios.ECHONL)
    termios.tcsetattr(slave, termios.TCSANOW, attrs)

    if sink == "pty":
        stdout = slave
        closer = None
    elif sink == "null":
        closer = open(os.devnull, "wb")
        stdout = closer.fileno()
    elif sink == "file":
        assert out_file is not None
        closer = open(out_file, "wb")
        stdout = closer.fileno()
    else:
        raise ValueError(sink)

    drained = [0]

    def drain() -> None:
        while True:
            try:
                chunk = os.read(master, 1 << 20)
            except OSError:  # EIO once every slave descriptor is closed
                return
            if not chunk:
                return
            drained[0] += len(chunk)

    reader = threading.Thread(target=drain, daemon=True)
    reader.start()
    t0 = time.perf_counter()
    proc = subprocess.Popen(
        argv,
        stdin=slave,
        stdout=stdout,
        stderr=subprocess.PIPE,
        start_new_session=True,
        preexec_fn=_take_controlling_terminal,
        env=env,
    )
    os.close(slave)
    if closer is not None:
        closer.close()
    try:
        _, err = proc.communicate(timeout=timeout)
    except subprocess.TimeoutExpired:
        proc.kill()
        _, err = proc.communicate()
    wall = time.perf_counter() - t0
    # communicate() has reaped the child; its rusage is folded into RUSAGE_CHILDREN, so the
    # caller measures CPU around the call (see cpu_of_children).
    reader.join(timeout=10)
    os.close(master)
    return ChildRun(proc.returncode, wall, 0.0, drained[0], err.decode(errors="replace"))


def run_on_pty_timed(argv: List[str], cols: int, rows: int, sink: str, **kw: Any) -> ChildRun:
    """`run_on_pty` with the child's CPU time (user + system, all its threads and children)."""
    import resource

    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    run = run_on_pty(argv, cols, rows, sink, **kw)
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    run.cpu_s = (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)
    return run
