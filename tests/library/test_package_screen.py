"""Screen: frames in, letterboxed pictures out, the picture recorded; sharpening; escaping; help."""

import pydoc
import re

import numpy as np
import pytest

import corvane
from cli_session import picture
from corvane import FIT_MODES, Recording, as_frame, fit
from corvane._native import sharpen
from corvane.geometry import drawn_size, fitted, resize
from corvane.text import printable
from recording_file import MAGIC, record

# terminal cols x rows, frame width x height, where the frame lands: x, y, width, height
LETTERBOX = [
    ((40, 11), (10, 10), (10, 0, 20, 20)),    # square frame, wide grid: margins left and right
    ((20, 21), (16, 8), (0, 15, 20, 10)),     # wide frame, tall grid: margins above and below
    ((80, 24), (64, 48), (9, 0, 61, 46)),     # 4:3 on 80 x 24
    ((30, 10), (300, 180), (0, 0, 30, 18)),   # the grid's own shape, shrunk
    ((9, 5), (1, 3), (3, 0, 3, 8)),           # a tall sliver, enlarged
]


@pytest.mark.parametrize("term, size, place", LETTERBOX, ids=[f"{t[0]}x{t[1]}" for t, _, _ in LETTERBOX])
def test_letterbox_and_what_is_recorded(child, tmp_path, term, size, place):
    """The screen draws the frame fitted on margins and records the picture alone."""
    assert fit(*size, term[0], max(2 * term[1] - 2, 2)) == place
    run = child(f"""
        import numpy as np, corvane
        screen = corvane.Screen()
        screen.start_recording({str(tmp_path / "r.lzdx")!r})
        screen.show(np.full(({size[1]}, {size[0]}, 3), 255, np.uint8))
        screen.stop_recording()
        report(sys.modules.get("cv2") is None)
        """, cols=term[0], rows=term[1])
    assert run.report is True, run.stderr
    expected = np.zeros((2 * term[1] - 2, term[0]), int)
    x, y, w, h = place
    expected[y : y + h, x : x + w] = 255
    assert np.array_equal(picture(run.stdout)[..., 0], expected)
    with Recording(tmp_path / "r.lzdx") as rec:
        assert len(rec) == 1 and (rec[0] == 255).all() and rec[0].shape == (h, w, 3)
        assert (rec.records[0].term_w, rec.records[0].term_h) == term


def test_every_frame_form_draws_the_same(child):
    run = child("""
        import numpy as np, corvane
        grey = np.random.default_rng(1).integers(0, 256, (9, 12), dtype=np.uint8)
        bgr = np.repeat(grey[:, :, None], 3, axis=2)
        wide = np.zeros((9, 24, 3), np.uint8); wide[:, ::2] = bgr
        for form in [(bgr,), (grey,), (grey[:, :, None],), (np.dstack([bgr, grey]),), (wide[:, ::2],),
                     (bgr.tobytes(), 12, 9), (bytearray(bgr.tobytes()), 12, 9)]:
            corvane.Screen().show(*form)
            sys.stdout.flush()
            os.write(1, b"|")
        """, cols=30, rows=10)
    outputs = run.stdout.split(b"|")[:-1]
    assert len(outputs) == 7 and len(set(outputs)) == 1, run.stderr


@pytest.mark.parametrize("args, error, message", [
    ((np.zeros((2, 2, 3), np.int32),), TypeError, "uint8, uint16 or floats, not int32"), (("abc", 1, 1), TypeError, "not str"),
    ((np.zeros((2, 2, 2), np.uint8),), ValueError, "not (2, 2, 2)"), ((b"abc", 2, 2), ValueError, "takes 12 bytes, not 3"),
    ((np.zeros((0, 2, 3), np.uint8),), ValueError, "is empty"),
])
def test_bad_frames_are_refused(args, error, message):
    with pytest.raises(error, match=re.escape(message)):
        as_frame(*args)


@pytest.mark.parametrize("shrink", [(3, 2), (1, 5), (4, 4)])
def test_shrinking_averages_each_box_of_pixels(shrink):
    frame = np.random.default_rng(shrink[0]).integers(0, 256, (24, 60, 3), dtype=np.uint8)
    height, width = 24 // shrink[0], 60 // shrink[1]
    boxes = frame.reshape(height, shrink[0], width, shrink[1], 3).mean(axis=(1, 3))
    assert np.abs(resize(frame, width, height) - boxes).max() <= 0.5


@pytest.mark.parametrize("mode", FIT_MODES)
@pytest.mark.parametrize("source", [(1920, 1080), (640, 480), (37, 300), (7, 5)])
def test_a_frame_at_its_drawn_size_is_not_scaled_again(mode, source):
    """What decoders are asked for is what the screen draws: placed or cut, never rescaled."""
    for grid in ((80, 46), (200, 62), (33, 10)):
        size = drawn_size(*source, *grid, mode)
        frame = np.zeros((size[1], size[0], 3), np.uint8)
        picture, place = fitted(frame, *grid, mode)
        assert np.shares_memory(picture, frame) and picture.shape[1::-1] == place[2:]


@pytest.mark.parametrize("cols, rows", [(8, 4), (5, 4), (7, 2)])
def test_sharpening_matches_the_native_player(child, tmp_path, cols, rows):
    frame = np.random.default_rng(cols).integers(0, 256, (2 * rows - 2, cols, 3), dtype=np.uint8)
    (tmp_path / "s.lzdx").write_bytes(MAGIC + record(0, 2 * rows - 2, cols, frame.tobytes()))
    run = child(f"Corvane().play({str(tmp_path / 's.lzdx')!r}, 1.0)", cols=cols, rows=rows)
    sharp = np.frombuffer(sharpen(frame.tobytes(), cols, 2 * rows - 2, 1.0), np.uint8).reshape(frame.shape)
    assert np.array_equal(picture(run.stdout), sharp[:, :, ::-1])
    assert sharpen(frame.tobytes(), cols, 2 * rows - 2, 0.0) == frame.tobytes()


@pytest.mark.parametrize("text, shown", [("\x1b]2;owned\x07x", "\\x1b]2;owned\\x07x"), ("a\nb\tc\x9b", "a\\nb\\tc\\x9b"),
                                         ("caf\udce9", "caf\\xe9"), ("naïve ▀", "naïve ▀")])
def test_printable_escapes_control_characters(text, shown):
    assert printable(text) == shown


def test_help_documents_the_native_class():
    page = pydoc.render_doc(corvane, renderer=pydoc.plaintext)
    for method in ("render(data, width, height)", "poll_key()", "play(path, sharpen)"):
        assert re.search(re.escape(method) + r"\n +\w", page), method
