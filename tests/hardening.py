"""Helpers of the soak and bad-input tests: outcomes, child-side probes and a pty child that can hang.

`run_child` (conftest) covers children that end by themselves; `PtyChild` is for the ones a test
types into, resizes, signals, or expects to hang: it is always killed when the test is done.
"""

from __future__ import annotations

import json
import os
import select
import signal
import subprocess
import sys
import textwrap
import time
from pathlib import Path
from typing import Optional

from conftest import PRELUDE, _take_controlling_terminal, set_winsize

# The suite runs against the extension built with AddressSanitizer (mk/sanitize.mk). Resident
# memory is then dominated by the sanitizer's quarantine, and an allocation that fails in
# `operator new` ends the process instead of raising MemoryError.
SANITIZED = os.environ.get("CORVANE_SANITIZED") == "1"

# Child-side helpers, prepended to a child's code after the conftest prelude.
PROBES = """
import ctypes, gc, os, sys
def outcome(call, *args, **kwargs):
    try:
        call(*args, **kwargs)
        return None
    except BaseException as e:
        return [type(e).__name__, str(e)]
def rss_kib():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * (os.sysconf("SC_PAGE_SIZE") // 1024)
def open_fds():
    out = {}
    for name in os.listdir("/proc/self/fd"):
        try:
            out[int(name)] = os.readlink(f"/proc/self/fd/{name}")
        except OSError:
            pass  # the descriptor of the listing itself
    return out
class _Mallinfo2(ctypes.Structure):
    _fields_ = [(n, ctypes.c_size_t) for n in
                ("arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks",
                 "fordblks", "keepcost")]
def native_heap_kib():
    # Bytes the C allocator has handed out and not taken back (heap and mmap'd blocks).
    try:
        f = ctypes.CDLL(None).mallinfo2
    except AttributeError:
        return None
    f.restype = _Mallinfo2
    m = f()
    return (m.uordblks + m.hblkhd) // 1024
"""


def child_code(*parts: str) -> str:
    """A child's code, each part dedented on its own, with the probes in front (for conftest's `child`)."""
    return PROBES + "\n".join(textwrap.dedent(part) for part in parts)


class PtyChild:
    """A child on a pty of its own that is the child's controlling terminal.

    The child reports with `report()` like conftest's children; `result()` waits for it and kills it
    if it overstays, so a hang fails the test instead of stalling the suite.
    """

    def __init__(self, tmp_path: Path, code: str, *, cols=80, rows=24, stdout="devnull", env=None):
        self.report_path = tmp_path / "report.json"
        if self.report_path.exists():
            self.report_path.unlink()
        self.master, slave = os.openpty()
        set_winsize(slave, cols, rows)
        child_env = dict(os.environ, CORVANE_TEST_REPORT=str(self.report_path), **(env or {}))
        self.out_path = tmp_path / "stdout.bin"
        out = open(self.out_path, "wb") if stdout == "file" else subprocess.DEVNULL
        try:
            self.proc = subprocess.Popen(
                [sys.executable, "-c", PRELUDE + PROBES + textwrap.dedent(code)],
                stdin=slave, stdout=out, stderr=subprocess.PIPE, start_new_session=True,
                preexec_fn=_take_controlling_terminal, env=child_env,
            )
        finally:
            os.close(slave)
            if out is not subprocess.DEVNULL:
                out.close()

    def wait_for_line(self, expected: bytes, timeout: float = 30) -> None:
        """Waits for the child to write `expected` as a line of its standard error."""
        fd = self.proc.stderr.fileno()
        seen = b""
        deadline = time.monotonic() + timeout
        while (expected + b"\n") not in seen:
            left = deadline - time.monotonic()
            ready, _, _ = select.select([fd], [], [], max(left, 0))
            chunk = os.read(fd, 4096) if ready else b""
            assert chunk, f"no {expected!r} from the child: {seen!r}"
            seen += chunk

    def resize(self, cols: int, rows: int) -> None:
        set_winsize(self.master, cols, rows)

    def type(self, data: bytes) -> None:
        os.write(self.master, data)

    def result(self, timeout: float = 60) -> tuple[Optional[int], str, object]:
        """(exit status or None if it had to be killed, standard error, report)."""
        try:
            _, err = self.proc.communicate(timeout=timeout)
            status: Optional[int] = self.proc.returncode
        except subprocess.TimeoutExpired:
            os.killpg(self.proc.pid, signal.SIGKILL)
            _, err = self.proc.communicate()
            status = None
        finally:
            self.close()
        report = json.loads(self.report_path.read_text()) if self.report_path.exists() else None
        return status, err.decode(errors="replace"), report

    def close(self) -> None:
        if self.proc.poll() is None:
            os.killpg(self.proc.pid, signal.SIGKILL)
            self.proc.wait()
        if self.master >= 0:
            os.close(self.master)
            self.master = -1
