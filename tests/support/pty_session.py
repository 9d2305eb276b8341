"""The one harness for children on a terminal, used by the tests and the benchmarks alike.

`spawn` starts a command in a session of its own whose controlling terminal is a pty of a set size
(`open_pty`); `Drain` reads the pty's other side on a thread, as a terminal emulator would (at most
`rate` bytes a second for a slow link); `run_on_pty` does all of it for one command and times it;
`Tmux` is a tmux server of its own, for what only a real terminal emulator shows.

No preexec_fn anywhere: the child takes its terminal itself (BOOT, run by the child's own
interpreter before it execs the command), so the fork runs no Python code, which could meet a
lock another thread of this process held.
"""

from __future__ import annotations

import fcntl
import itertools
import os
import resource
import struct
import subprocess
import sys
import termios
import threading
import time
from dataclasses import dataclass
from typing import Any, Callable, Dict, Optional, Sequence, Tuple

BOOT = """
import os, sys
if sys.argv[1]:
    os.close(os.open(sys.argv[1], os.O_RDWR))  # a session leader's first terminal becomes its own
if sys.argv[2]:
    os.close(1)
os.execvp(sys.argv[3], sys.argv[3:])
"""


def set_winsize(fd: int, cols: int, rows: int) -> None:
    fcntl.ioctl(fd, termios.TIOCSWINSZ, struct.pack("HHHH", rows, cols, 0, 0))


def wait_until(ready: Callable[[], Any], timeout: float = 20.0, every: float = 0.02) -> bool:
    """Polls `ready` every `every` seconds until it holds, for at most `timeout` seconds; whether it held."""
    deadline = time.monotonic() + timeout
    while not ready():
        if time.monotonic() > deadline:
            return False
        time.sleep(every)
    return True


def open_pty(cols: int, rows: int, *, echo: bool = True, opost: bool = True) -> Tuple[int, int]:
    """A pty of cols x rows: (master, slave). opost=False: the bytes as written, no "\\n" to "\\r\\n"."""
    master, slave = os.openpty()
    set_winsize(slave, cols, rows)
    attrs = termios.tcgetattr(slave)
    if not echo:
        attrs[3] &= ~(termios.ECHO | termios.ECHONL)
    if not opost:
        attrs[1] &= ~termios.OPOST
    termios.tcsetattr(slave, termios.TCSANOW, attrs)
    return master, slave


def spawn(argv: Sequence[str], terminal: Optional[str], *, close_stdout: bool = False, **popen: Any) -> "subprocess.Popen[bytes]":
    """`argv` in a session of its own; `terminal` (a pty's slave path, or None) its controlling terminal.
    close_stdout: standard output closed before the command starts. `popen`: Popen's other arguments."""
    boot = [sys.executable, "-c", BOOT, terminal or "", "closed" if close_stdout else ""]
    return subprocess.Popen(boot + list(argv), start_new_session=True, **popen)


class Drain:
    """Reads `master` on a thread until every slave descriptor is closed, keeping the bytes when
    `keep` and counting them always; `rate`: at most that many bytes a second, as a slow link."""

    def __init__(self, master: int, *, keep: bool = True, rate: Optional[float] = None) -> None:
        self.master, self.keep, self.rate = master, keep, rate
        self.buffer, self.count = bytearray(), 0
        self.thread = threading.Thread(target=self._run, daemon=True)
        self.thread.start()

    def _run(self) -> None:
        began = time.monotonic()
        while True:
            size = 1 << 20
            if self.rate is not None:
                size = min(1 << 16, int(self.rate * (time.monotonic() - began)) - self.count)
                if size <= 0:
                    time.sleep(0.002)
                    continue
            try:
                chunk = os.read(self.master, size)
            except OSError:  # EIO once every slave descriptor is closed
                return
            if not chunk:
                return
            if self.keep:
                self.buffer += chunk
            self.count += len(chunk)

    def data(self) -> bytes:
        return bytes(self.buffer)

    def join(self, timeout: float) -> None:
        self.thread.join(timeout)


@dataclass
class PtyRun:
    returncode: int
    wall_s: float
    cpu_s: float  # user + system of the child, its threads and children (it must be the only child reaped meanwhile)
    drained: int  # bytes read from the pty master
    stderr: str
    output: bytes  # what was drained, when kept


def run_on_pty(argv: Sequence[str], cols: int, rows: int, sink: str = "pty", *, env: Optional[Dict[str, str]] = None,
               out_file: Optional[str] = None, timeout: float = 900.0, rate: Optional[float] = None,
               keep: bool = False) -> PtyRun:
    """Run `argv` with a fresh pty of cols x rows (echo off) as standard input and controlling terminal and,
    for `sink` "pty", standard output (else /dev/null, or `out_file` for "file"), drained as `Drain` does."""
    master, slave = open_pty(cols, rows, echo=False)
    out: Any = slave if sink == "pty" else open({"null": os.devnull, "file": out_file}[sink], "wb")
    drain = Drain(master, keep=keep, rate=rate)
    before, began = resource.getrusage(resource.RUSAGE_CHILDREN), time.perf_counter()
    try:
        proc = spawn(argv, os.ttyname(slave), stdin=slave, stdout=out, stderr=subprocess.PIPE, env=env)
    finally:
        os.close(slave)
        out.close() if sink != "pty" else None
    try:
        _, err = proc.communicate(timeout=timeout)
    except subprocess.TimeoutExpired:
        proc.kill()
        _, err = proc.communicate()
    wall, after = time.perf_counter() - began, resource.getrusage(resource.RUSAGE_CHILDREN)
    drain.join(60)
    os.close(master)
    cpu = (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)
    return PtyRun(proc.returncode, wall, cpu, drain.count, err.decode(errors="replace"), drain.data())


_servers = itertools.count()


class Tmux:
    """A tmux server of its own (named after this process and `name`), with one session "t" of
    cols x rows running `command` (a shell command line); killed on leaving the `with` block."""

    def __init__(self, name: str, command: str, cols: int, rows: int, *, conf: Optional[str] = None) -> None:
        # A server of its own each time: one just killed may still hold its socket for a moment.
        self.server = ["tmux", "-L", f"{name}-{os.getpid()}-{next(_servers)}", "-f", conf or os.devnull]
        self.run("new-session", "-d", "-s", "t", "-x", str(cols), "-y", str(rows), command)

    def run(self, *args: str) -> str:
        return subprocess.run(self.server + list(args), check=True, capture_output=True, text=True).stdout

    def resize(self, cols: int, rows: int) -> None:
        self.run("resize-window", "-t", "t", "-x", str(cols), "-y", str(rows))

    def capture(self, *options: str) -> str:
        """The pane's text; options as capture-pane's ("-e" keeps the colours)."""
        return self.run("capture-pane", "-t", "t", "-p", *options)

    def kill(self) -> None:
        subprocess.run(self.server + ["kill-server"], check=False, capture_output=True)

    def __enter__(self) -> "Tmux":
        return self

    def __exit__(self, *exc: object) -> None:
        self.kill()
