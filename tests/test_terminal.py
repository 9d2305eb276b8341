"""Terminal size and the byte stream on real ptys, files and broken outputs."""

import os
import stat

import pytest

from conftest import (
    ENOSPC_PANIC,
    EXAMPLE_FRAME,
    EXAMPLE_FULL,
    EXAMPLE_GREEN_BLACK,
    EXAMPLE_INCREMENTAL,
    HIDE,
    SHOW,
)


@pytest.mark.parametrize(
    "cols, rows, display_h",
    [(80, 24, 46), (200, 60, 118), (80, 3, 4), (80, 2, 2), (80, 1, 2), (17, 0, 2)],
)
def test_mapping_info_in_pty(child, cols, rows, display_h):
    run = child("report(list(Corvane().get_mapping_info().items()))", cols=cols, rows=rows)
    assert run.report == [["term_w", cols], ["term_h", rows], ["display_h", display_h],
                          ["frame_w", 0], ["frame_h", 0]]
    assert run.stdout == b"", "creating and querying an object writes nothing"


def test_size_cache_refreshes_every_thirtieth_call(child):
    run = child(
        """
        obj = Corvane()
        seen = [obj.get_mapping_info()["term_w"]]
        set_size(0, 100, 30)
        for _ in range(28):
            seen.append(obj.get_mapping_info()["term_w"])
        seen.append(obj.get_mapping_info()["term_w"])  # call 30
        report(seen)
        """
    )
    assert run.report == [80] * 29 + [100]


def test_render_counts_as_size_call(child):
    run = child(
        """
        obj = Corvane()
        obj.render(bytes(12), 2, 2)
        set_size(0, 3, 3)
        for _ in range(27):
            obj.render(bytes(12), 2, 2)
        before = obj.get_mapping_info()["term_w"]  # call 29
        report([before, obj.get_mapping_info()["term_w"]])
        """
    )
    assert run.report == [80, 3]


def test_zero_width_queries_every_call(child):
    run = child(
        """
        obj = Corvane()
        first = obj.get_mapping_info()
        set_size(0, 50, 10)
        report([first["term_w"], first["term_h"], obj.get_mapping_info()["term_w"]])
        """,
        cols=0,
        rows=7,
    )
    assert run.report == [0, 7, 50]


def test_standard_output_pty_without_controlling_terminal(child):
    run = child(
        "info = Corvane().get_mapping_info(); report([info['term_w'], info['term_h']])",
        cols=91,
        rows=33,
        ctty=False,
        stdout="pty",
    )
    assert run.report == [91, 33]


@pytest.fixture
def fake_tput(tmp_path):
    """A directory holding a `tput` that prints $FAKE_COLS or $FAKE_LINES verbatim."""
    bin_dir = tmp_path / "bin"
    bin_dir.mkdir()
    script = bin_dir / "tput"
    script.write_text(
        '#!/bin/sh\ncase "$1" in cols) printf "%b" "$FAKE_COLS";; lines) printf "%b" "$FAKE_LINES";; esac\n'
        'echo noise >&2\n'
    )
    script.chmod(script.stat().st_mode | stat.S_IEXEC)
    return bin_dir


@pytest.mark.parametrize(
    "cols_out, lines_out, expected",
    [
        ("  80\\n", "24\\n", [80, 24]),
        ("132", "  43  ", [132, 43]),
        ("70000", "7", [4464, 7]),
        ("x1y2", "3", [12, 3]),
        ("no digits", "24", [80, 24]),
        ("90", "", [80, 24]),
        ("0", "30", [80, 24]),
    ],
)
def test_tput_fallback(child, fake_tput, cols_out, lines_out, expected):
    run = child(
        "info = Corvane().get_mapping_info(); report([info['term_w'], info['term_h']])",
        ctty=False,
        stdout="file",
        env={"PATH": f"{fake_tput}:/usr/bin:/bin", "FAKE_COLS": cols_out, "FAKE_LINES": lines_out},
    )
    assert run.report == expected, run.stderr


def test_no_size_anywhere_is_80_by_24(child, tmp_path):
    empty = tmp_path / "empty"
    empty.mkdir()
    run = child(
        "import sys\nobj = Corvane()\n"
        "report([[obj.get_mapping_info()[k] for k in ('term_w', 'term_h')] for _ in range(3)])",
        ctty=False,
        env={"PATH": str(empty)},
    )
    assert run.report == [[80, 24]] * 3


def test_worked_example_byte_for_byte(child):
    run = child(
        f"""
        obj = Corvane()
        for frame in ({EXAMPLE_FRAME!r}, {EXAMPLE_GREEN_BLACK!r}, {EXAMPLE_GREEN_BLACK!r}):
            obj.render(frame, 2, 2)
        """,
        cols=2,
        rows=2,
    )
    assert run.returncode == 0, run.stderr
    assert run.stdout == EXAMPLE_FULL + EXAMPLE_INCREMENTAL + b"\x1b[0m"


def test_screen_control_bytes(child):
    run = child("obj = Corvane(); obj.hide_cursor(); obj.show_cursor(); obj.show_cursor(); del obj")
    assert run.stdout == HIDE + SHOW + SHOW


def test_screen_control_while_a_renderer_draws(child):
    run = child(
        f"""
        obj = Corvane()
        obj.hide_cursor()
        obj.render({EXAMPLE_FRAME!r}, 2, 2)
        Corvane().show_cursor()
        """,
        cols=2,
        rows=2,
    )
    assert run.stdout == HIDE + EXAMPLE_FULL + SHOW


def test_full_output_panics_and_object_survives(child):
    run = child(
        """
        obj = Corvane()
        results = []
        for call in (lambda: obj.render(bytes(12), 2, 2), obj.hide_cursor, obj.show_cursor):
            try:
                call()
                results.append(None)
            except BaseException as e:
                results.append([type(e).__name__, str(e)])
        results.append(obj.get_mapping_info()["frame_w"])
        report(results)
        """,
        cols=2,
        rows=2,
        stdout="devfull",
    )
    assert run.report == [["PanicException", ENOSPC_PANIC]] * 3 + [2]
    assert run.stderr.count(ENOSPC_PANIC) == 3


def test_closed_standard_output_is_a_sink(child):
    run = child(
        """
        obj = Corvane()
        obj.hide_cursor()
        for _ in range(3):
            obj.render(bytes(range(12)), 2, 2)
        obj.show_cursor()
        report("ok")
        """,
        cols=2,
        rows=2,
        stdout="closed",
    )
    assert run.report == "ok", run.stderr


def test_large_terminal_frame_is_scaled_and_complete(child):
    run = child(
        """
        obj = Corvane()
        obj.render(bytes(range(256)) * 3 * 64, 128, 128)
        report(obj.get_mapping_info())
        """,
        cols=200,
        rows=60,
    )
    assert run.returncode == 0, run.stderr
    assert run.stdout.startswith(b"\x1b[H") and run.stdout.endswith(b"\x1b[K\r\n\x1b[0m")
    assert run.stdout.count(b"\x1b[K\r\n") == 59
    assert run.stdout.count("\u2580".encode()) == 200 * 59
