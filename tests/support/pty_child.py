"""Child processes on a real pty of a set size (through pty_session). A child runs a function of
children.py (`python -m children NAME ARGS`, its result the report) or, for the package tests, a
code string after PRELUDE that calls `report()`. A child that overstays is killed (no exit status)."""

from __future__ import annotations

import json
import os
import signal
import subprocess
import sys
import textwrap
import threading
from pathlib import Path
from typing import Any, Callable, Dict, NamedTuple, Optional, Union

import pytest

from pty_session import open_pty, spawn

# The suite also runs against the extension built with AddressSanitizer (mk/sanitize.mk), where
# resident memory means little and a refused `operator new` ends the process.
SANITIZED = os.environ.get("CORVANE_SANITIZED") == "1"
HIDE = b"\x1b[?25l\x1b[?1049h\x1b[H"
SHOW = b"\x1b[?1049l\x1b[?25h"
PRELUDE = "import json, os, sys\nfrom _corvane import Corvane\nfrom children import report, set_size\n"


Run = NamedTuple("Run", [("returncode", Optional[int]), ("stdout", bytes), ("stderr", str), ("report", Any)])


class Child:
    """A child in a session of its own on a pty of cols x rows: stdin unless "devnull", controlling terminal
    if ctty. stdout: "file" (kept), "pty" (read from `master`), "devnull", "devfull" or "closed" (before the interpreter starts)."""

    def __init__(self, tmp_path: Path, job: Union[str, Callable[..., Any]], *args: Any, cols: int = 80,
                 rows: int = 24, ctty: bool = True, stdout: str = "file", stdin: str = "pty",
                 env: Optional[Dict[str, str]] = None) -> None:
        self.out_path, self.report_path = tmp_path / "stdout.bin", tmp_path / "report.json"
        for stale in (self.out_path, self.report_path):
            stale.unlink() if stale.exists() else None
        self.master, slave = open_pty(cols, rows)
        terminal = os.ttyname(slave)
        out: Any = {"file": lambda: open(self.out_path, "wb"), "devfull": lambda: open("/dev/full", "wb"),
                    "pty": lambda: open(os.dup(slave), "wb")}.get(stdout, lambda: subprocess.DEVNULL)()
        code = ["-c", PRELUDE + textwrap.dedent(job)] if isinstance(job, str) else ["-m", "children", job.__name__,
                                                                                       json.dumps(args)]
        path = [(env or {}).get("PYTHONPATH"), os.environ.get("PYTHONPATH"), str(Path(__file__).parent)]
        environment = {**os.environ, **(env or {}), "PYTHONPATH": os.pathsep.join(filter(None, path)),
                       "CORVANE_TEST_REPORT": str(self.report_path)}

        try:
            self.proc = spawn([sys.executable, *code], terminal if ctty else None, close_stdout=stdout == "closed",
                              stdin=slave if stdin == "pty" else subprocess.DEVNULL, stdout=out,
                              stderr=subprocess.PIPE, env=environment)
        finally:
            os.close(slave)
            out.close() if hasattr(out, "close") else None

    def wait_line(self, line: bytes, timeout: float = 30) -> None:
        """Waits for `line` as the child's first line on standard error (the child is killed after `timeout`)."""
        timer = threading.Timer(timeout, os.killpg, (self.proc.pid, signal.SIGKILL))
        timer.start()
        assert self.proc.stderr.readline() == line + b"\n", f"no {line!r} from the child"
        timer.cancel()

    def result(self, timeout: float = 60) -> Run:
        try:
            _, err = self.proc.communicate(timeout=timeout)
        except subprocess.TimeoutExpired:
            os.killpg(self.proc.pid, signal.SIGKILL)
            _, err = self.proc.communicate()
        finally:
            os.close(self.master)
        report = json.loads(self.report_path.read_text()) if self.report_path.exists() else None
        return Run(None if self.proc.returncode == -signal.SIGKILL else self.proc.returncode,
                   self.out_path.read_bytes() if self.out_path.exists() else b"", err.decode(errors="replace"), report)


def run_child(job: Union[str, Callable[..., Any]], tmp_path: Path, *args: Any, timeout: float = 60,
              **options: Any) -> Run:
    return Child(tmp_path, job, *args, **options).result(timeout)


@pytest.fixture
def child(tmp_path: Path) -> Callable[..., Run]:
    """`child(job, *args, **options)`: run_child in this test's temporary directory."""
    return lambda job, *args, **options: run_child(job, tmp_path, *args, **options)
