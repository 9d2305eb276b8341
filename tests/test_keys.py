"""poll_key through real ptys: typed bytes in, keys out, in every input mode."""

import os
import subprocess
import sys
import textwrap
import time

import pytest

from conftest import PRELUDE, _take_controlling_terminal, set_winsize

CHILD = """
import time, tty
mode = {mode!r}
if mode == "cbreak":
    tty.setcbreak(0)
elif mode == "raw":
    tty.setraw(0)
obj = Corvane()
{setup}
assert obj.poll_key() is None
sys.stderr.write("ready\\n"); sys.stderr.flush()
keys, polls = [], 0
deadline = time.monotonic() + {timeout}
while len(keys) < {expect} and time.monotonic() < deadline:
    key = obj.poll_key()
    polls += 1
    if key is not None:
        keys.append(key)
    else:
        time.sleep(0.002)
report({{"keys": keys, "polls": polls, "extra": {extra}}})
"""


class Interactive:
    """A child polling keys on a pty that the test types into."""

    def __init__(self, tmp_path, expect, mode="canonical", setup="", extra="None", timeout=10):
        self.report_path = tmp_path / "report.json"
        code = PRELUDE + textwrap.dedent(
            CHILD.format(mode=mode, setup=setup, expect=expect, extra=extra, timeout=timeout)
        )
        self.master, slave = os.openpty()
        set_winsize(slave, 80, 24)
        env = dict(os.environ, CORVANE_TEST_REPORT=str(self.report_path))
        self.proc = subprocess.Popen(
            [sys.executable, "-c", code], stdin=slave, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
            start_new_session=True, preexec_fn=_take_controlling_terminal, env=env,
        )
        os.close(slave)
        line = self.proc.stderr.readline()
        assert line == b"ready\n", line + self.proc.stderr.read()

    def type(self, data: bytes, pause: float = 0.1):
        os.write(self.master, data)
        time.sleep(pause)

    def result(self, close_master=True):
        if close_master and self.master >= 0:
            os.close(self.master)
            self.master = -1
        _, err = self.proc.communicate(timeout=30)
        import json

        assert self.proc.returncode == 0, err.decode()
        return json.loads(self.report_path.read_text())


@pytest.mark.parametrize("mode", ["canonical", "cbreak", "raw"])
def test_typed_line_in_every_mode(tmp_path, mode):
    child = Interactive(tmp_path, expect=4, mode=mode)
    child.type(b"ab\xc3\xa9\n" if mode == "canonical" else b"ab\xc3\xa9\r")
    assert child.result(close_master=False)["keys"] == ["a", "b", "é", "enter"]


@pytest.mark.parametrize(
    "chunks, keys",
    [
        ([b"\x1b"], ["esc"]),                      # Esc as the last byte of a read
        ([b"\x1b\r"], ["enter"]),                  # Alt+Enter, no "esc"
        ([b"\x1b\x1b"], ["esc"]),
        ([b"\x1ba"], ["a"]),                       # Alt+a
        ([b"\x1b[Ax"], ["x"]),                     # the arrow is consumed as a key of its own
        ([b"\x03"], ["c"]),                        # Control-C passed through by raw mode
        ([b"\xc3", b"\xa9"], ["é"]),               # a character split across reads
        ([b"\x1bOxa"], ["a"]),                     # an invalid sequence is dropped whole
        ([b"\x1b[<0;5;5M\x1b[200~pasted\x1b[201~z"], ["z"]),
        ([b"\x1b[6n"[:0] + b"\x1b[12;40Rq"], ["q"]),  # a cursor-position reply is never a key
    ],
)
def test_sequences_in_raw_mode(tmp_path, chunks, keys):
    child = Interactive(tmp_path, expect=len(keys) + 1, mode="raw", timeout=1)
    for chunk in chunks:
        child.type(chunk, pause=0.3)
    assert child.result(close_master=False)["keys"] == keys


def test_window_change_loses_no_key_and_keeps_host_handler(tmp_path):
    setup = "import signal\nseen = []\nsignal.signal(signal.SIGWINCH, lambda *a: seen.append(1))"
    child = Interactive(tmp_path, expect=2, mode="cbreak", setup=setup, extra="len(seen)")
    child.type(b"a")
    set_winsize(child.master, 100, 30)
    time.sleep(0.2)
    set_winsize(child.master, 90, 20)
    child.type(b"b")
    result = child.result(close_master=False)
    assert result["keys"] == ["a", "b"]
    assert result["extra"] >= 1, "the handler the program installed first still runs"


def test_hung_up_terminal_neither_blocks_nor_spins(tmp_path):
    setup = "import signal\nsignal.signal(signal.SIGHUP, signal.SIG_IGN)"
    child = Interactive(tmp_path, expect=1, mode="cbreak", setup=setup, timeout=1)
    child.type(b"\x1b[", pause=0.2)  # an incomplete sequence left pending
    result = child.result(close_master=True)
    assert result["keys"] == []
    assert result["polls"] > 10, "each poll returned at once"


def test_no_terminal_panics_on_every_call(child):
    run = child(
        """
        out = []
        for _ in range(3):
            try:
                out.append(repr(Corvane().poll_key()))
            except BaseException as e:
                out.append([type(e).__name__, str(e)])
        report(out)
        """,
        ctty=False,
        stdin="devnull",
    )
    message = (
        'called `Result::unwrap()` on an `Err` value: Custom { kind: Other, error: "Failed to initialize input reader" }'
    )
    assert run.report == [["PanicException", message]] * 3
