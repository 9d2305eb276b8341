"""corvane.show / Screen: numpy frames and bytes in, letterboxed pictures out, in real ptys."""

import re

import cv2
import numpy as np
import pytest

from cli_session import without_opencv
from corvane import as_frame, fit
from corvane.geometry import _bilinear

CELL = re.compile(rb"\x1b\[38;2;(\d+);(\d+);(\d+);48;2;(\d+);(\d+);(\d+)m\xe2\x96\x80")


def picture(stdout: bytes) -> np.ndarray:
    """The red channel of the first full redraw in `stdout`, as pixel rows x columns."""
    body = stdout[stdout.index(b"\x1b[H") + 3 :].split(b"\x1b[0m", 1)[0]
    rows = []
    for line in body.split(b"\x1b[K\r\n")[:-1]:
        cells = [tuple(map(int, m)) for m in CELL.findall(line)]
        rows.append([c[0] for c in cells])
        rows.append([c[3] for c in cells])
    return np.array(rows)


@pytest.fixture
def no_cv2(tmp_path):
    return without_opencv(tmp_path)


# terminal cols x rows, frame width x height, where the frame lands: x, y, width, height
LETTERBOX = [
    ((40, 11), (10, 10), (10, 0, 20, 20)),    # square frame, wide grid: margins left and right
    ((20, 21), (16, 8), (0, 15, 20, 10)),     # wide frame, tall grid: margins above and below
    ((80, 24), (64, 48), (9, 0, 61, 46)),     # 4:3 on 80 x 24
    ((30, 10), (300, 180), (0, 0, 30, 18)),   # the grid's own shape, shrunk
    ((9, 5), (1, 3), (3, 0, 3, 8)),           # a tall sliver, enlarged
]


@pytest.mark.parametrize("opencv", [True, False], ids=["opencv", "numpy"])
@pytest.mark.parametrize("term, size, place", LETTERBOX, ids=[f"{t[0]}x{t[1]}" for t, _, _ in LETTERBOX])
def test_letterbox_geometry(child, no_cv2, term, size, place, opencv):
    assert fit(*size, term[0], max(2 * term[1] - 2, 2)) == place
    run = child(
        f"""
        import numpy as np, corvane, corvane._opencv
        corvane.show(np.full(({size[1]}, {size[0]}, 3), 255, np.uint8))
        report(corvane._opencv.available())
        """,
        cols=term[0], rows=term[1], env=None if opencv else no_cv2,
    )
    assert run.report is opencv, run.stderr
    expected = np.zeros((2 * term[1] - 2, term[0]), int)
    x, y, w, h = place
    expected[y : y + h, x : x + w] = 255
    assert np.array_equal(picture(run.stdout), expected)


def test_stretch_fills_the_grid(child):
    run = child("import numpy as np, corvane\ncorvane.show(np.full((10, 10, 3), 255, np.uint8), stretch=True)",
                cols=40, rows=11)
    assert (picture(run.stdout) == 255).all()


def test_every_frame_form_draws_the_same(child):
    """Arrays of every accepted layout and bytes with a size give the same bytes on the terminal."""
    run = child(
        """
        import numpy as np, corvane
        rng = np.random.default_rng(1)
        grey = rng.integers(0, 256, (9, 12), dtype=np.uint8)
        bgr = np.repeat(grey[:, :, None], 3, axis=2)
        wide = np.zeros((9, 24, 3), np.uint8); wide[:, ::2] = bgr
        forms = [bgr, grey, grey[:, :, None], np.dstack([bgr, grey]), wide[:, ::2], (bgr.tobytes(), 12, 9),
                 (bytearray(bgr.tobytes()), 12, 9)]
        for form in forms:
            corvane.Screen().show(*(form if isinstance(form, tuple) else (form,)))
            sys.stdout.flush()
            os.write(1, b"|")
        """,
        cols=30, rows=10,
    )
    outputs = run.stdout.split(b"|")[:-1]
    assert len(outputs) == 7 and len(set(outputs)) == 1, run.stderr


@pytest.mark.parametrize("args, error, message", [
    ((np.zeros((2, 2, 3), np.float32),), TypeError, "dtype uint8, not float32"),
    ((np.zeros((2, 2, 2), np.uint8),), ValueError, "not (2, 2, 2)"),
    ((np.zeros((0, 2, 3), np.uint8),), ValueError, "is empty"),
    ((b"abc", 2, 2), ValueError, "takes 12 bytes, not 3"),
    (("abc", 1, 1), TypeError, "not str"),
])
def test_bad_frames_are_refused(args, error, message):
    with pytest.raises(error, match=re.escape(message)):
        as_frame(*args)


@pytest.mark.parametrize("src, dst", [((7, 5), (20, 13)), ((64, 48), (9, 7)), ((3, 3), (3, 8))])
def test_numpy_scaling_matches_opencv_bilinear(src, dst):
    image = np.random.default_rng(2).integers(0, 256, (src[1], src[0], 3), dtype=np.uint8)
    ours = _bilinear(image, *dst).astype(int)
    theirs = cv2.resize(image, dst, interpolation=cv2.INTER_LINEAR).astype(int)
    assert np.abs(ours - theirs).max() <= 1
