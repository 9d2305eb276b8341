"""The wire path: tmux shows exactly the palette colours the encoder chose; bad options; a write
error of the writer thread is never lost."""

import io
import os
import shutil
import subprocess
import sys
import time

import numpy as np
import pytest
from corvane._native import Encoder

import corvane
from corvane.display.wire import Link, Wire
from pty_session import Tmux, wait_until
from reference import cells

CHILD = """
import os, sys, time, numpy as np; from corvane._native import Encoder
frame = np.random.default_rng(5).integers(0, 256, (20 * 40 * 3,), dtype=np.uint8)
data = Encoder(int(sys.argv[1]), 0, False).encode(frame, 40, 20)
open(sys.argv[2], "wb").write(data), os.write(1, data), open(sys.argv[2] + ".done", "w").close()
time.sleep(60)
"""


@pytest.mark.skipif(shutil.which("tmux") is None, reason="needs tmux")
@pytest.mark.parametrize("colors, indices", [(256, range(16, 256)), (16, range(16))])
def test_tmux_shows_the_palette_colours_chosen(tmp_path, colors, indices):
    (tmp_path / "child.py").write_text(CHILD)
    out = str(tmp_path / "stream")
    with Tmux("wire", f"{sys.executable} {tmp_path / 'child.py'} {colors} {out}", 40, 11) as tmux:
        wait_until(lambda: os.path.exists(out + ".done"), 30)
        time.sleep(0.3)
        shown = tmux.capture("-e", "-N")
    chosen = cells(open(out, encoding="utf-8").read())
    assert [len(row) for row in chosen] == [40] * 10 and {c for r in chosen for cell in r for c in cell} <= set(indices)
    assert cells(shown)[:10] == chosen


@pytest.mark.parametrize("colors", [256, 16])
def test_show_prints_in_the_palette_colours_the_encoder_chooses(colors):
    frame = np.random.default_rng(7).integers(0, 256, (20, 40, 3), dtype=np.uint8)
    out = io.BytesIO()
    corvane.print_image(frame, fit="none", file=out, colors=str(colors))
    drawn = Encoder(colors, 0, None).encode(frame.reshape(-1), 40, 20).decode()
    assert cells(out.getvalue().decode())[:10] == cells(drawn)


@pytest.mark.parametrize("shape", ["half", "quadrant", "sextant", "octant"])
def test_each_shape_redraws_exactly_the_changed_cell_and_nothing_within_the_tolerance(shape):
    devnull = os.open(os.devnull, os.O_WRONLY)
    wire = Wire("24bit", 0, shape=shape, link=Link(devnull))
    (w, h), enc = wire.cell, wire.encoder
    frame = np.full((6 * h, 8 * w, 3), 100, dtype=np.uint8)
    assert enc.encode(frame.reshape(-1), 8 * w, 6 * h).count(b" ") == 48
    assert enc.encode(frame.reshape(-1), 8 * w, 6 * h) == b""
    frame[3 * h : 4 * h, 5 * w : 6 * w] = 101  # cell (5, 3), one level
    drawn = enc.encode(frame.reshape(-1), 8 * w, 6 * h)
    assert drawn == b"\x1b[?2026h\x1b[4;6H\x1b[48;2;101;101;101m \x1b[0m\x1b[?2026l"
    enc.set_tolerance(1)
    frame[3 * h : 4 * h, 5 * w : 6 * w] = 100
    assert enc.encode(frame.reshape(-1), 8 * w, 6 * h) == b""


def _no_memory() -> bytes:
    raise MemoryError


@pytest.mark.parametrize("frame, error", [(b"frame", OSError), (_no_memory, MemoryError)], ids=["write", "encode"])
def test_failure_of_the_writer_thread_surfaces_on_the_next_call(frame, error):
    read_end, write_end = os.pipe()
    os.close(read_end)
    link = Link(write_end)
    link.send(frame, frame=True)
    with pytest.raises(error):
        link.drain(10)
    with pytest.raises(error):
        link.send(b"next", frame=True)
