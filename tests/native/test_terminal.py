"""On real ptys: the terminal size, the drawn stream of every method on outputs that fail, and
the keys typed in every terminal mode."""

import os
import sys
import time

import pytest

import children
from pty_child import HIDE, SHOW, Child
from pty_session import set_winsize
from recording_file import frames, parse
from reference import draw, pattern


@pytest.mark.parametrize("cols, rows, display_h", [(80, 24, 46), (80, 3, 4), (80, 1, 2), (17, 0, 2)])
def test_mapping_info(child, cols, rows, display_h):
    run = child(children.run, [["get_mapping_info"]], cols=cols, rows=rows)
    assert list(run.report[0][0].items()) == [("term_w", cols), ("term_h", rows), ("display_h", display_h),
                                              ("frame_w", 0), ("frame_h", 0)] and run.stdout == b""


@pytest.mark.parametrize("cols_out, lines_out, size", [
    ("  132\\n", "43", [132, 43]), ("70000", "7", [4464, 7]), ("90", "no digits", [80, 24]),
    (None, None, [80, 24]),  # no tput at all
])
def test_size_without_a_terminal(child, tmp_path, cols_out, lines_out, size):
    log = tmp_path / "log"
    if cols_out:  # a tput that logs its parent and arguments
        (tmp_path / "tput").write_text(f'#!/bin/sh\nread parent < /proc/$PPID/comm\necho "$parent $# $*" >> {log}\n'
                                       f'case $1 in cols) printf "%b" "{cols_out}";; *) printf "{lines_out}";; esac\n')
        (tmp_path / "tput").chmod(0o755)
    steps = [["get_mapping_info"], ["poll_key"]]
    run = child(children.run, steps, ctty=False, stdin="devnull", env={"PATH": str(tmp_path)})
    assert [run.report[0][0][k] for k in ("term_w", "term_h")] == size, run.stderr
    assert run.report[1][0] == ["PanicException", 'called `Result::unwrap()` on an `Err` value: Custom { kind: Other, '
                                                  'error: "Failed to initialize input reader" }'], "no terminal at all"
    if cols_out:
        parent = os.path.basename(sys.executable)[:15]  # the interpreter itself, not a shell
        assert log.read_text().splitlines() == [f"{parent} 1 cols", f"{parent} 1 lines"]


UNWRAP = 'called `Result::unwrap()` on an `Err` value: Os {{ code: {}, kind: {}, message: "{}" }}'


@pytest.mark.parametrize("stdout, how, error", [
    ("file", [], None),
    ("closed", [], None),  # a sink; the recording file must not take its number
    ("devnull", ["slow reader"], None),  # non-blocking, and full until its reader starts
    ("devfull", [], (28, "StorageFull", "No space left on device")),
    ("devnull", ["broken pipe"], (32, "BrokenPipe", "Broken pipe")),
])
def test_every_method_on_every_output(child, tmp_path, stdout, how, error):
    rec, slow = str(tmp_path / "rec"), tmp_path / "slow"
    steps = [["redirect", *how, str(slow)][: 2 + (how == ["slow reader"])]] if how else []
    steps += [["start_recording", rec], ["draw", 80, 58, 0], ["hide_cursor"], ["show_cursor"], ["draw", 80, 58, 1],
              ["stop_recording"], ["play", rec, 0.0], ["get_mapping_info"]]
    run = child(children.run, steps, cols=80, rows=30, stdout=stdout)
    outcomes = [got for got, *_ in run.report[len(steps) - 8:]]
    panic = ["PanicException", UNWRAP.format(*error)] if error else None
    assert outcomes[:7] == [None, panic, panic, panic, panic, None, panic], run.stderr[-2000:]
    assert outcomes[7]["frame_w"] == 80, "the object works on"
    drawn = [pattern(80, 58, seed) for seed in (0, 1)]
    assert frames(parse((tmp_path / "rec").read_bytes())) == ([] if error else drawn), "only frames drawn are recorded"
    if stdout == "file" or how == ["slow reader"]:
        first, second = draw(drawn, 80)
        assert (slow.read_bytes() if how else run.stdout) == first + HIDE + SHOW + second + HIDE + first + second + SHOW
    assert run.stderr.count(panic[1] if error else "panicked") == (5 if error else 0)


# (terminal mode, what is typed: pieces with a pause between them, a pair resizes the window; keys)
TYPED = [
    ("canonical", [b"ab\xc3\xa9\n"], ["a", "b", "é", "enter"]),
    ("cbreak", [b"a", (100, 30), (90, 20), b"b"], ["a", "b"]),
    # A lone Esc ending a read; Alt+Enter, Alt+a; an arrow; ^C; UTF-8 split; ESC O x dropped; mouse, paste, reply.
    ("raw", [b"ab\xc3\xa9\r", b"\x1b", b"\x1b\r\x1ba\x1b[Ax\x03", b"\xc3",
             b"\xa9\x1bOxa\x1b[<0;5;5M\x1b[200~p\x1b[201~z\x1b[12;40Rq"],
     ["a", "b", "é", "enter", "esc", "enter", "a", "x", "c", "é", "a", "z", "q"]),
    # A paste of 70,000 characters ending in q, far over what is kept of it; then a read of all 1024 bytes
    # its buffer holds, ending in Esc: more may follow, so the Esc waits and meets "q" (Alt+q).
    ("raw", [b"\x1b[200~" + b"x" * 69999 + b"q\x1b[201~", b"z", b"\x1b[200~" + b"p" * 1011 + b"\x1b[201~\x1b", b"q"],
     ["z", "q"]),
]


@pytest.mark.parametrize("mode, typed, keys", TYPED)
def test_typed_keys(tmp_path, mode, typed, keys):
    steps = [["mode", mode]] * (mode != "canonical") + [["count window changes"], ["poll_key"], ["say", "ready"],
                                                        ["keys until", "!"], ["window changes"]]
    child = Child(tmp_path, children.run, steps)
    child.wait_line(b"ready", timeout=15)
    for piece in typed + [b"!\n"]:
        set_winsize(child.master, *piece) if isinstance(piece, tuple) else os.write(child.master, piece)
        time.sleep(0.2)
    *_, (first, *_), _, (got, *_), (changes, *_) = child.result(timeout=30).report
    assert (first, got) == (None, keys)
    assert bool(changes) == any(isinstance(p, tuple) for p in typed), "the program's own SIGWINCH handler runs"
