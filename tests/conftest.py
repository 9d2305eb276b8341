"""Shared harness: run Python code in a child process attached to a real pty of a set size.

The child's standard output goes to a file (or wherever the test says), so every byte the module
writes can be compared exactly; what the child wants to tell the test it writes with `report()`.
"""

from __future__ import annotations

import fcntl
import json
import os
import signal
import struct
import subprocess
import sys
import termios
import textwrap
from dataclasses import dataclass
from pathlib import Path
from typing import Any, Optional

import pytest

PRELUDE = """
import json, os, sys
import _corvane
from _corvane import Corvane
def report(value):
    with open(os.environ["CORVANE_TEST_REPORT"], "w") as f:
        json.dump(value, f)
def set_size(fd, cols, rows):
    import fcntl, struct, termios
    fcntl.ioctl(fd, termios.TIOCSWINSZ, struct.pack("HHHH", rows, cols, 0, 0))
"""


def set_winsize(fd: int, cols: int, rows: int) -> None:
    fcntl.ioctl(fd, termios.TIOCSWINSZ, struct.pack("HHHH", rows, cols, 0, 0))


@dataclass
class Run:
    returncode: int
    stdout: bytes
    stderr: str
    report: Any


def default_sigint() -> None:
    """In a child: Ctrl-C as a terminal would deliver it, even when the test run ignores SIGINT
    (a background job does); Python only turns it into KeyboardInterrupt if it is not ignored."""
    signal.signal(signal.SIGINT, signal.SIG_DFL)


def _take_controlling_terminal() -> None:
    fcntl.ioctl(0, termios.TIOCSCTTY, 0)


def run_child(
    code: str,
    tmp_path: Path,
    *,
    cols: int = 80,
    rows: int = 24,
    ctty: bool = True,
    stdout: str = "file",
    stdin: str = "pty",
    env: Optional[dict] = None,
    timeout: float = 60,
) -> Run:
    """Runs `code` in a new session whose stdin is a pty of cols x rows.

    ctty: the pty becomes the controlling terminal (so /dev/tty opens); otherwise the child has none.
    stdout: "file" (captured), "pty" (the pty itself), "devfull", "closed", or "devnull".
    """
    master, slave = os.openpty()
    set_winsize(slave, cols, rows)
    out_path = tmp_path / "stdout.bin"
    report_path = tmp_path / "report.json"
    if report_path.exists():
        report_path.unlink()
    prelude = PRELUDE
    out_file = None
    if stdout == "file":
        out_file = open(out_path, "wb")
        target: Any = out_file
    elif stdout == "pty":
        target = slave
    elif stdout == "devfull":
        target = open("/dev/full", "wb")
        out_file = target
    elif stdout == "devnull":
        target = subprocess.DEVNULL
    elif stdout == "closed":
        target = subprocess.DEVNULL
        prelude = "import os\nos.close(1)\n" + PRELUDE
    else:
        raise ValueError(stdout)
    child_env = dict(os.environ)
    child_env.update(env or {})
    child_env["CORVANE_TEST_REPORT"] = str(report_path)
    try:
        proc = subprocess.Popen(
            [sys.executable, "-c", prelude + textwrap.dedent(code)],
            stdin=slave if stdin == "pty" else subprocess.DEVNULL,
            stdout=target,
            stderr=subprocess.PIPE,
            start_new_session=True,
            preexec_fn=_take_controlling_terminal if ctty else None,
            env=child_env,
        )
        os.close(slave)
        _, err = proc.communicate(timeout=timeout)
    finally:
        os.close(master)
        if out_file is not None:
            out_file.close()
    data = out_path.read_bytes() if stdout == "file" else b""
    report = json.loads(report_path.read_text()) if report_path.exists() else None
    return Run(proc.returncode, data, err.decode(errors="replace"), report)


@pytest.fixture
def child(tmp_path):
    """`child(code, **options)`: run_child bound to this test's temporary directory."""

    def run(code: str, **options) -> Run:
        result = run_child(code, tmp_path, **options)
        return result

    return run


# The frame of the two-by-two example: red, green over blue, white (bytes in B, G, R order).
EXAMPLE_FRAME = bytes([0, 0, 255, 0, 255, 0, 255, 0, 0, 255, 255, 255])
EXAMPLE_FULL = (
    b"\x1b[H\x1b[38;2;255;0;0;48;2;0;0;255m\xe2\x96\x80"
    b"\x1b[38;2;0;255;0;48;2;255;255;255m\xe2\x96\x80\x1b[K\r\n\x1b[0m"
)
EXAMPLE_GREEN_BLACK = bytes([0, 0, 255, 0, 0, 0, 255, 0, 0, 255, 255, 255])
EXAMPLE_INCREMENTAL = b"\x1b[1;2H\x1b[38;2;0;0;0;48;2;255;255;255m\xe2\x96\x80\x1b[0m"
HIDE = b"\x1b[?25l\x1b[?1049h\x1b[H"
SHOW = b"\x1b[?1049l\x1b[?25h"
ENOSPC_PANIC = (
    "called `Result::unwrap()` on an `Err` value: "
    'Os { code: 28, kind: StorageFull, message: "No space left on device" }'
)
