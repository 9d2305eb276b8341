"""Run `python -m corvane ...` on a real pty of a set size, type into it, and see what it left.

Standard output goes to a file so every byte can be checked; the pty is the child's standard input
and controlling terminal, and its settings are compared before and after to see that the command
restored them.
"""

from __future__ import annotations

import os
import signal
import subprocess
import sys
import termios
import time
from dataclasses import dataclass
from functools import partial
from pathlib import Path
from typing import List, Optional, Sequence

from conftest import HIDE, SHOW, _take_controlling_terminal, set_winsize


def _prepare_child(tty: bool) -> None:
    """Ctrl-C works in the child even when the tests run where SIGINT is ignored (a background job)."""
    signal.signal(signal.SIGINT, signal.SIG_DFL)
    if tty:
        _take_controlling_terminal()


@dataclass
class Finished:
    returncode: int
    stdout: bytes
    stderr: str
    termios_kept: bool

    @property
    def restored(self) -> bool:
        """The screen was left the way it was found: full-screen mode ended last, settings kept."""
        if HIDE not in self.stdout:
            return self.termios_kept
        return self.stdout.rfind(SHOW) > self.stdout.rfind(HIDE) and self.termios_kept

    def one_line_error(self) -> str:
        """The single line on standard error of a failed command (asserted to be just that)."""
        assert self.returncode == 1, (self.returncode, self.stderr)
        lines = self.stderr.splitlines()
        assert len(lines) == 1 and lines[0].startswith("corvane: "), self.stderr
        return lines[0]


class Session:
    """`corvane ARGS` running on a pty of cols x rows."""

    def __init__(self, args: Sequence[str], tmp_path: Path, *, cols: int = 40, rows: int = 12,
                 tty: bool = True, env: Optional[dict] = None) -> None:
        self.out_path = tmp_path / f"out-{time.monotonic_ns()}.bin"
        self.master, self.slave = os.openpty()
        set_winsize(self.slave, cols, rows)
        self.before = termios.tcgetattr(self.slave)
        self._out = open(self.out_path, "wb")
        self.proc = subprocess.Popen(
            [sys.executable, "-m", "corvane", *args],
            stdin=self.slave if tty else subprocess.DEVNULL, stdout=self._out, stderr=subprocess.PIPE,
            start_new_session=True, preexec_fn=partial(_prepare_child, tty),
            env=dict(os.environ, **(env or {})), cwd=tmp_path,
        )

    def output(self) -> bytes:
        return self.out_path.read_bytes()

    def wait_for(self, needle: bytes, timeout: float = 20, after: int = 0) -> int:
        """Wait until `needle` shows in standard output past offset `after`; returns where."""
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            at = self.output().find(needle, after)
            if at >= 0:
                return at
            if self.proc.poll() is not None:
                break
            time.sleep(0.02)
        raise AssertionError(f"{needle!r} never shown; stderr: {self.proc.stderr.read().decode() if self.proc.poll() is not None else ''}")

    def type(self, data: bytes) -> None:
        os.write(self.master, data)

    def finish(self, timeout: float = 30) -> Finished:
        _, err = self.proc.communicate(timeout=timeout)
        self._out.close()
        kept = termios.tcgetattr(self.slave) == self.before
        os.close(self.slave)
        os.close(self.master)
        return Finished(self.proc.returncode, self.output(), err.decode(errors="replace"), kept)


def corvane(args: Sequence[str], tmp_path: Path, **options) -> Finished:
    """Run a command that needs no typing to its end."""
    return Session(args, tmp_path, **options).finish()


def statuses(stdout: bytes, rows: int) -> List[str]:
    """The texts written on the bottom line (the status line) of a terminal of `rows` rows."""
    marker = f"\x1b[{rows};1H\x1b[0m".encode()
    return [part.split(b"\x1b[K", 1)[0].decode() for part in stdout.split(marker)[1:]]


def without_opencv(tmp_path: Path) -> dict:
    """Environment variables under which `import cv2` fails, as without the video extra."""
    hide = tmp_path / "hide-cv2" / "cv2"
    hide.mkdir(parents=True, exist_ok=True)
    (hide / "__init__.py").write_text("raise ImportError('No module named cv2')\n")
    return {"PYTHONPATH": str(hide.parent)}
