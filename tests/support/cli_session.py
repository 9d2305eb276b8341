"""Run `corvane ...` as a job on a real pty of a set size, type into it, and see what it left.

The pty is the command's controlling terminal, standard input and (unless `screen=False`) standard
output, drained by a thread. A launcher plays the shell: it puts the command in a process group of
its own in the foreground, so Ctrl-C and Ctrl-Z typed into the pty reach it as from a shell.
"""

from __future__ import annotations

import array
import fcntl
import os
import subprocess
import sys
import termios
import time
from dataclasses import dataclass

import numpy as np

from pty_child import HIDE, SHOW
from pty_session import Drain, open_pty, spawn, wait_until
from reference import cells

LAUNCHER = """
import os, signal, sys
pid = os.fork()
if pid == 0:
    os.setpgid(0, 0)
    signal.signal(signal.SIGTTOU, signal.SIG_IGN)
    os.tcsetpgrp(0, os.getpid())
    signal.signal(signal.SIGTTOU, signal.SIG_DFL)
    signal.signal(signal.SIGINT, signal.SIG_DFL)
    os.execv(sys.executable, [sys.executable] + sys.argv[1:])
sys.exit(os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1]))
"""


@dataclass
class Finished:
    returncode: int
    stdout: bytes
    stderr: str
    termios_kept: bool
    unread: int  # bytes typed into the pty that nobody read

    @property
    def restored(self) -> bool:
        left = HIDE not in self.stdout or self.stdout.rfind(SHOW) > self.stdout.rfind(HIDE)
        return left and self.termios_kept

    def one_line_error(self) -> str:
        lines = self.stderr.splitlines()
        assert self.returncode == 1 and len(lines) == 1 and lines[0].startswith("corvane: "), self
        return lines[0]


class Session:  # `corvane ARGS` (or `python ARGS`) on a pty of cols x rows; tty=False: no terminal at all

    def __init__(self, args, tmp_path, *, cols=40, rows=12, tty=True, screen=True, env=None, python=False):
        self.master, self.slave = open_pty(cols, rows, opost=False)
        self.before = termios.tcgetattr(self.slave)
        self.out_path = tmp_path / f"out-{time.monotonic_ns()}"
        with open(self.out_path, "wb") as out:
            self.proc = spawn(
                [sys.executable, *(["-c", LAUNCHER] if tty else []), *([] if python else ["-m", "corvane"]), *args],
                os.ttyname(self.slave) if tty else None, cwd=tmp_path, env=dict(os.environ, **(env or {})),
                stderr=subprocess.PIPE, stdin=self.slave if tty else subprocess.DEVNULL,
                stdout=self.slave if screen and tty else out)
        self.reader = Drain(self.master)

    def output(self) -> bytes:
        return self.reader.data() + self.out_path.read_bytes()

    def wait_for(self, needle: bytes, after: int = 0, timeout: float = 20) -> int:
        """Wait until `needle` shows in the output past offset `after`; returns where."""
        wait_until(lambda: self.output().find(needle, after) >= 0 or self.proc.poll() is not None, timeout)
        assert self.output().find(needle, after) >= 0, (needle, self.proc.poll(), self.output()[-300:])
        return self.output().find(needle, after)

    def type(self, data: bytes) -> None:
        os.write(self.master, data)

    def job(self) -> int:  # the process group in the foreground of the pty: the command's
        return os.tcgetpgrp(self.master)

    def finish(self, timeout: float = 60) -> Finished:
        _, err = self.proc.communicate(timeout=timeout)
        kept, unread = termios.tcgetattr(self.slave) == self.before, array.array("i", [0])
        fcntl.ioctl(self.slave, termios.FIONREAD, unread)
        os.close(self.slave)
        self.reader.join(5)
        os.close(self.master)
        return Finished(self.proc.returncode, self.output(), err.decode(errors="replace"), kept, unread[0])


def corvane(args, tmp_path, **options) -> Finished:
    return Session(args, tmp_path, **options).finish()


def picture(stdout: bytes, start: int = 0) -> np.ndarray:
    """The first full redraw in `stdout` past `start`, as pixel rows x columns x R, G, B."""
    body = stdout[stdout.index(b"\x1b[H\x1b[", start) :].split(b"\x1b[0m", 1)[0]
    return np.array([[c[half] for c in row] for row in cells(body.decode()) for half in (0, 1)])


def without(tmp_path, module: str) -> dict:  # an environment in which `import MODULE` fails
    (tmp_path / "hide" / module).mkdir(parents=True, exist_ok=True)
    (tmp_path / "hide" / module / "__init__.py").write_text(f"raise ImportError('No module named {module}')\n")
    return {"PYTHONPATH": str(tmp_path / "hide")}


def write_video(path, count: int, fps: float = 20.0, size=(64, 48)) -> None:
    """An H.264 clip whose frame i is red of 100 + i (at most 255), the whole picture."""
    from clips import clip
    red = [np.full((size[1], size[0], 3), (0, 0, min(100 + i, 255)), np.uint8) for i in range(count)]
    clip(path, [i / fps for i in range(count)], pictures=red)
