"""Pictures and graphics detection in real terminals (xterm, mlterm, kitty under Xvfb), judged
from screenshots of their windows."""

import importlib
import importlib.util

import numpy as np
import pytest
from xterminal import Terminal, Unavailable, XServer, origin, photo, psnr

import corvane._native as native

LINES = 16  # the pictures' height in text lines, at 80 columns

# Run inside the terminal: the photo at the picture's pixel size through `PROTOCOL`, at the top
# left of a cleared screen, and below it, after one blank line, the same photo in half blocks.
PICTURES = """
import fcntl, struct, sys, termios
import numpy as np
import corvane, corvane._native as native
from xterminal import photo

rows, cols, xpixels, ypixels = struct.unpack("HHHH", fcntl.ioctl(1, termios.TIOCGWINSZ, bytes(8)))
cell = (xpixels // cols, ypixels // rows)
width, height = 80 * cell[0], LINES * cell[1]
source = photo(2 * width, 2 * height)
out = sys.stdout.buffer
out.write(b"\\x1b[?25l\\x1b[2J\\x1b[H")
out.flush()
corvane.print_image(source, width=80, height=LINES, fit="stretch", graphics=PROTOCOL)
print()
corvane.print_image(source, width=80, height=LINES, fit="stretch", graphics="half")
sync()
report.update(cell=cell)
"""

# Run inside the terminal: what `detect()` decides, how long it takes, and what it leaves unread.
DETECTION = """
import os, select, sys, termios, time, tty
from corvane.display import graphics

os.environ.pop("CORVANE_GRAPHICS", None)  # the suite pins half blocks; here the terminal is asked
sys.stdout.write("\\x1b[?25l\\x1b[2J\\x1b[H")
sys.stdout.flush()
began = time.monotonic()
report["mode"] = graphics.detect()
report["seconds"] = time.monotonic() - began
saved = termios.tcgetattr(0)
tty.setraw(0, termios.TCSANOW)  # TCSAFLUSH would drop what was left
left, end = b"", time.monotonic() + 0.2
while select.select([0], [], [], max(0.0, end - time.monotonic()))[0]:
    left += os.read(0, 1024)
termios.tcsetattr(0, termios.TCSANOW, saved)
report["left"] = left.decode("latin-1")
"""


@pytest.fixture(scope="module")
def xserver():
    try:
        server = XServer()
    except Unavailable as reason:
        pytest.skip(str(reason))
    yield server
    server.close()


def shown(xserver, kind, script, rows=24):
    """The script's report and the window's screenshot once it has ended."""
    try:
        with Terminal(xserver, kind, script, cols=80, rows=rows) as terminal:
            return terminal.wait(), terminal.screenshot()
    except Unavailable as reason:
        pytest.skip(str(reason))


@pytest.mark.parametrize("kind, protocol", [("xterm-vt340", "sixel"), ("mlterm", "sixel"), ("kitty", "kitty"),
                                            ("mlterm", "iterm2")])
def test_a_photo_in_pixels_is_drawn_true_to_the_source(xserver, kind, protocol, record_property):
    script = f"LINES, PROTOCOL = {LINES}, {protocol!r}\n" + PICTURES
    report, shot = shown(xserver, kind, script, rows=2 * LINES + 4)
    (cw, ch), (top, left) = report["cell"], origin(shot)
    width, height = 80 * cw, LINES * ch
    expected = np.frombuffer(native.scale(photo(2 * width, 2 * height).tobytes(), 2 * width, 2 * height, width,
                                          height), np.uint8).reshape(height, width, 3)[..., ::-1]
    below = top + (LINES + 1) * ch
    pixels, half = shot[top:top + height, left:left + width], shot[below:below + height, left:left + width]
    assert pixels.shape == half.shape == expected.shape, f"the window is {shot.shape}, the picture at {top}, {left}"
    figures = {"pixels": psnr(pixels, expected), "half": psnr(half, expected)}
    record_property("psnr", figures)
    print(f"{kind} {protocol}: {width}x{height} px, PSNR {figures['pixels']:.2f} dB, half blocks {figures['half']:.2f} dB")
    assert figures["pixels"] >= 29.0 and figures["half"] < figures["pixels"] - 3, figures


@pytest.mark.parametrize("kind, mode", [("kitty", "kitty"), ("xterm-vt340", "sixel"), ("mlterm", "sixel"),
                                        ("xterm", "half")])
def test_detection_picks_the_terminals_best_and_leaves_no_byte(xserver, kind, mode):
    found = importlib.util.find_spec("corvane.display.graphics")  # a module that fails to import fails here
    if found is None or not hasattr(importlib.import_module(found.name), "detect"):
        pytest.skip("corvane.display.graphics.detect() is not there yet")
    report, shot = shown(xserver, kind, DETECTION)
    print(f"{kind}: {report['mode']} in {report['seconds'] * 1000:.1f} ms")
    assert (report["mode"], report["left"]) == (mode, "")
    assert int(shot.max()) < 40, "the replies showed on the screen"
    # The bar is 150 ms; the margin is for a loaded machine.
    assert report["seconds"] < 0.3


@pytest.mark.parametrize("kind, mode", [("kitty", "kitty"), ("xterm-vt340", "sixel")])
def test_a_window_title_shows_over_the_picture(xserver, kind, mode):
    # kitty draws an image above the text unless told otherwise: the title line would stay black.
    script = f"MODE = {mode!r}\n" + """
import numpy as np
from corvane.display import windows
windows.configure(graphics=MODE)
windows.imshow("a title", np.full((100, 160, 3), (40, 200, 40), np.uint8))
windows.waitKey(100)
sync()
"""
    report, shot = shown(xserver, kind, script, rows=20)
    title = shot[: shot.shape[0] // 20]
    assert (title.min(axis=2) > 150).sum() > 20, "no light title text on the first line"
