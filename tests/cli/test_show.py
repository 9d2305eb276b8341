"""Pictures inline (`corvane show`, print_image), fit modes, and imshow/waitKey on a real pty."""

import base64
import io
import re
import shutil
import subprocess
import sys
import time
import types
import zlib

import numpy as np
import pytest
from PIL import Image

import corvane
from cli_session import Session, write_video
from cli_session import corvane as corvane_run
from pty_child import SHOW
from pty_session import Tmux, wait_until
from reference import cells
from corvane import Placement, layout

RED, GREEN, BLUE = (0, 0, 255), (0, 255, 0), (255, 0, 0)


def lines(bgr, width, count):  # `count` lines of `width` cells of one colour, as `cells` reads them
    return [[(bgr[::-1], bgr[::-1])] * width] * count


def png(path, bgr, width=4, height=4):
    Image.new("RGB", (width, height), tuple(bgr[::-1])).save(path, "PNG")
    return path.read_bytes()


def show(args, cwd, stdin=b""):  # no terminal at all: a new session, pipes all round
    return subprocess.run([sys.executable, "-m", "corvane", "show", *args], cwd=cwd, input=stdin,
                          capture_output=True, start_new_session=True, timeout=60)


def test_cells_are_byte_exact_and_an_odd_line_keeps_the_default_background():
    frame = np.array([[RED, GREEN], [BLUE, (255, 255, 255)], [(1, 2, 3), (10, 20, 200)]], np.uint8)
    expected = ("\x1b[38;2;255;0;0;48;2;0;0;255m\u2580\x1b[38;2;0;255;0;48;2;255;255;255m\u2580\x1b[0m\n"
                "\x1b[49m\x1b[38;2;3;2;1m\u2580\x1b[38;2;200;20;10m\u2580\x1b[0m\n")
    binary, text, deep = io.BytesIO(), io.StringIO(), io.BytesIO()
    corvane.print_image(frame, fit="none", file=binary)
    corvane.print_image(frame, width=2, file=text)
    corvane.print_image(frame * np.uint16(257), fit="none", file=deep)  # imshow's own intake
    corvane.print_image(frame / np.float32(255), fit="none", file=deep)
    assert binary.getvalue() == expected.encode() and text.getvalue() == expected
    assert deep.getvalue() == 2 * expected.encode()


@pytest.mark.parametrize("src, box, mode, part, place", [
    ((4, 2), (8, 8), "contain", (0, 0, 4, 2), (0, 2, 8, 4)),
    ((4, 2), (8, 8), "cover", (1, 0, 2, 2), (0, 0, 8, 8)),
    ((4, 2), (8, 8), "stretch", (0, 0, 4, 2), (0, 0, 8, 8)),
    ((10, 4), (6, 6), "none", (2, 0, 6, 4), (0, 1, 6, 4)),
])
def test_fit_modes(src, box, mode, part, place):
    assert layout(*src, *box, mode) == (Placement(*part), Placement(*place))
    screen = corvane.Screen(fit=mode) if mode != "stretch" else corvane.Screen(stretch=True)
    assert screen.fit == mode


def test_good_inputs_are_shown_and_each_bad_one_gets_a_line(tmp_path):
    png(tmp_path / "red.png", RED)
    (tmp_path / "dir").mkdir()
    png(tmp_path / "dir" / "green.png", GREEN)
    (tmp_path / "dir" / "notes.txt").write_text("not a picture")
    (tmp_path / "bad.png").write_bytes(b"\x89PNG but not really")
    stdin = png(tmp_path / "blue.png", BLUE)
    run = show(["--width", "4", "r*.png", "missing.png", "bad.png", "dir", "nothing*.png", "-"], tmp_path, stdin)
    assert cells(run.stdout.decode()) == lines(RED, 4, 2) + lines(GREEN, 4, 2) + lines(BLUE, 4, 2)
    assert run.returncode == 1 and run.stderr.decode().splitlines() == [
        "corvane: missing.png: No such file or directory",
        "corvane: bad.png: not a picture or video that can be read",
        "corvane: nothing*.png: no file matches",
    ]
    good = show(["--upscale", "red.png"], tmp_path)  # 80 columns without a terminal
    assert (good.returncode, cells(good.stdout.decode()), good.stderr) == (0, lines(RED, 80, 40), b"")


@pytest.mark.parametrize("args, size, cols, shown", [
    ([], (1, 1), None, (1, 1)),  # never enlarged unless asked
    (["--width", "8"], (4, 4), None, (4, 2)),
    (["--width", "8", "--upscale"], (4, 4), None, (8, 4)),
    (["--width", "200"], (300, 4), 50, (50, 1)),  # no wider than the terminal: a wider line wraps
    (["--height", "3", "--fit", "stretch"], (300, 4), 50, (50, 2)),
])
def test_sizes(tmp_path, args, size, cols, shown):
    png(tmp_path / "p.png", RED, *size)
    run = corvane_run(["show", *args, "p.png"], tmp_path, cols=cols) if cols else show([*args, "p.png"], tmp_path)
    rows = cells(run.stdout.decode())
    assert run.returncode == 0 and (len(rows[0]), len(rows)) == shown


def picture_of(mode, out):  # the (width, height) and the colours of a picture printed in `mode`
    if mode == "kitty":
        chunks = re.findall(rb"\x1b_G([^;]*);([^\x1b]*)\x1b\\", out)
        keys = dict(key.split(b"=") for key in chunks[0][0].split(b","))
        data = base64.b64decode(b"".join(payload for _, payload in chunks))
        data = zlib.decompress(data) if keys.get(b"o") == b"z" else data
        return (int(keys[b"s"]), int(keys[b"v"])), set(zip(data[0::3], data[1::3], data[2::3]))
    if mode == "iterm2":
        image = Image.open(io.BytesIO(base64.b64decode(re.search(rb"px:([^\x07]*)\x07", out).group(1))))
        return image.size, set(map(tuple, np.asarray(image).reshape(-1, 3).tolist()))
    if mode == "sixel":
        raster, palette = re.search(rb'\x1bPq"1;1;(\d+;\d+)((?:#\d+;2;[\d;]+)+)', out).groups()
        colours = re.findall(rb"#\d+;2;(\d+);(\d+);(\d+)", palette)
        return tuple(map(int, raster.split(b";"))), {tuple(round(int(p) * 255 / 100) for p in c) for c in colours}
    rows = out.decode().split("\n")[:-1]
    assert all(row.endswith("\x1b[0m") for row in rows)
    glyphs = [re.sub(r"\x1b\[[\d;]*m", "", row) for row in rows]
    colours = {tuple(map(int, c)) for c in re.findall(r"[34]8;2;(\d+);(\d+);(\d+)", out.decode())}
    return (len(glyphs[0]), len(glyphs)), colours


@pytest.mark.parametrize("mode, size", [("kitty", (40, 40)), ("sixel", (40, 40)), ("iterm2", (40, 40)),
                                        ("sextant", (4, 2)), ("octant", (4, 2))])
def test_graphics_into_a_pipe_size_pixels_by_the_cell_and_leave_the_cursor_below(tmp_path, mode, size):
    png(tmp_path / "p.png", RED)
    run = show(["--graphics", mode, "--width", "4", "--upscale", "p.png"], tmp_path)
    assert run.returncode == 0 and picture_of(mode, run.stdout) == (size, {RED[::-1]})
    if size == (40, 40):  # 10 x 20 pixel cells without a terminal: two lines made, then the cursor below
        assert run.stdout.startswith(b"\n\n\x1b[2A\x1b7") and run.stdout.endswith(b"\x1b8\x1b[1B\n")


@pytest.mark.parametrize("names, mode", [(["p.jpg"], "half"), (["p.jpg", "g.jpg", "a.png"], "quadrant"),
                                         (["a.png"], "sixel"), (["g.jpg"], "kitty")])
def test_pictures_are_shown_without_numpy(tmp_path, names, mode):  # importing it is most of a start
    # nor shutil (argparse's, 3 ms); half blocks into a pipe need neither the terminal queries nor the painters
    kept_out = {"numpy", "shutil"} | ({"termios", "base64"} if mode == "half" else set())
    Image.new("RGB", (64, 48), RED[::-1]).save(tmp_path / "p.jpg")
    Image.new("L", (64, 48), 128).save(tmp_path / "g.jpg")
    Image.new("RGBA", (64, 48), (0, 255, 0, 100)).save(tmp_path / "a.png")
    code = ("import sys\nfrom corvane.cli.commands import main\nstatus = main(sys.argv[1:])\n"
            f"sys.stderr.write(str({kept_out} & set(sys.modules)))\nsys.exit(status)")
    run = subprocess.run([sys.executable, "-c", code, "show", "--graphics", mode, *names], cwd=tmp_path,
                         capture_output=True, stdin=subprocess.DEVNULL, timeout=60)
    assert (run.returncode, run.stderr, bool(run.stdout)) == (0, b"set()", True)


def test_grid_pads_the_cells_and_titles_are_escaped(tmp_path):
    (tmp_path / "d").mkdir()
    png(tmp_path / "d" / "\x1b[2Jlong-name-x.png", RED)
    png(tmp_path / "green.png", GREEN, height=2)
    run = show(["--grid", "2x1", "--title", "--width", "33", "--upscale", "d/\x1b[2Jlong-name-x.png", "green.png"], tmp_path)
    red, green = lines(RED, 16, 1)[0], lines(GREEN, 16, 1)[0]
    title, pictures = run.stdout.decode().split("\n", 1)
    assert title == "\\x1b[2J\u2026me-x.png green.png", run.stderr  # the base name, its end kept
    assert cells(pictures) == [red + [(None, None)] + green] * 4 + [red] * 4


@pytest.mark.parametrize("name, options, red", [
    ("v.avi", [], 100), ("v.avi", ["--frame", "1"], 120), ("-", ["--frame", "1"], 120),
    ("a.gif", ["--frame", "0.25"], 30), ("a.webp", ["--frame", "0.25"], 30),
    ("clear.png", ["--background", "#400000"], 64), ("clear.png", ["--background", "checkerboard"], 128)])
def test_a_video_or_animation_gives_a_frame(tmp_path, name, options, red):
    write_video(tmp_path / "v.avi", 40, fps=20)
    frames = [Image.new("RGB", (4, 4), (10 * (i + 1), 0, 0)) for i in range(5)]
    frames[0].save(tmp_path / "a.gif", save_all=True, append_images=frames[1:], duration=100)
    frames[0].save(tmp_path / "a.webp", save_all=True, append_images=frames[1:], duration=100, lossless=True)
    Image.new("RGBA", (4, 4)).save(tmp_path / "clear.png")
    stdin = (tmp_path / "v.avi").read_bytes() if name == "-" else b""
    run = show(["--width", "2", name] + options, tmp_path, stdin)
    assert run.returncode == 0, run.stderr
    assert abs(cells(run.stdout.decode())[0][0][0][0] - red) <= 6  # H.264 shifts colours a little


def test_standard_input_from_a_terminal_is_announced_and_a_reader_that_stops_ends_it_quietly(tmp_path):
    session = Session(["show", "-"], tmp_path)
    session.type(b"\x04")
    assert session.finish().stderr.splitlines()[0] == "corvane: reading a picture from standard input (the terminal); Ctrl-D ends it"
    noise = np.random.default_rng(1).integers(0, 256, (80, 80, 3), dtype=np.uint8)
    Image.fromarray(noise).save(tmp_path / "noise.png")  # 80 x 40 cells of their own colours: more than a pipe holds
    head = subprocess.Popen([sys.executable, "-m", "corvane", "show", *["noise.png"] * 3], cwd=tmp_path,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    head.stdout.read(100)
    head.stdout.close()  # as `| head -c 100`
    assert (head.wait(60), head.stderr.read()) == (0, b"")


IMSHOW = """
import sys, time, numpy as np, corvane
frame = np.full((1080, 1920, 3), 90, np.uint8)
corvane.namedWindow("n", 0)
corvane.imshow("cam \\x1b[31m", frame)
corvane.imshow("b", frame)
corvane.setWindowTitle("b", "retitled"), corvane.resizeWindow("b", 9, 9), corvane.moveWindow("b", 1, 1)
print("said while shown")
keys = [corvane.waitKey(0) for _ in range(3)] + [corvane.waitKeyEx(0) for _ in range(4)] + [corvane.waitKey(0)]
keys += [corvane.waitKey(100), corvane.pollKey()]
while keys[-1] == -1:
    keys[-1] = corvane.pollKey()
props = [corvane.getWindowProperty(n, p) for n, p in (("b", 4), ("b", 1), ("n", 1), ("n", 0), ("x", 4))]
corvane.destroyWindow("b")
print((keys, props + [corvane.getWindowProperty("b", 4)]), file=sys.stderr)
"""
# Key typed, then the code its call gives: waitKey x 3, waitKeyEx x 4 (GTK codes), waitKey (the
# low byte of Up's), nothing in time, pollKey.
KEYS = [(b"\x1b", 27), (b"\r", 13), (b"a", 97), (b"\x1b[D", 65361), (b"\x1b[H", 65360), (b"\x1b[6~", 65366),
        (b"\x1b[3~", 65535), (b"\x1b[A", 82), (b"", -1), (b"\x1b[C", 65363)]


def test_imshow_tiles_titled_windows_reads_keys_and_gives_the_terminal_back(tmp_path):
    session = Session(["-c", IMSHOW], tmp_path, cols=40, rows=12, python=True)
    session.wait_for(b"retitled")
    for key, _ in KEYS:
        session.type(key)
        time.sleep(0.3)
    run = session.finish()
    codes, props = eval(run.stderr.strip())
    assert run.returncode == 0 and codes == [code for _, code in KEYS] and run.restored
    assert props == [1.0, 1.0, 0.0, 0.0, -1.0, -1.0]
    assert b"cam \\x1b[31m" in run.stdout and b"\x1b[31m" not in run.stdout
    assert run.stdout.index(b"said while shown") > run.stdout.rindex(SHOW)  # kept, then written after


SHRINK = """
import numpy as np, corvane
corvane.imshow("w", np.full((100, 100, 3), 255, np.uint8))
while corvane.waitKey(20) != ord("q"):
    pass
"""


@pytest.mark.skipif(shutil.which("tmux") is None, reason="needs tmux")
def test_imshow_leaves_no_stale_row_when_the_terminal_shrinks(tmp_path):
    (tmp_path / "s.py").write_text(SHRINK)
    with Tmux("shrink", f"{sys.executable} {tmp_path / 's.py'}; sleep 30", 30, 14) as tmux:
        wait_until(lambda: "\u2580" in tmux.capture())
        tmux.resize(20, 8)
        wait_until(lambda: not tmux.capture().split("\n")[7].strip())
        shown = tmux.capture().split("\n")
        tmux.run("send-keys", "-t", "t", "q")
    assert "\u2580" in shown[6] and shown[7].strip() == ""  # the bottom line once held a picture row


def test_imshow_draws_through_the_wire_when_configured(tmp_path):
    code = ("import numpy as np, corvane, corvane.display.windows as w; w.configure(colors='16'); "
            "corvane.imshow('a', np.full((20, 20, 3), (0, 0, 255), np.uint8)); corvane.destroyAllWindows()")
    run = Session(["-c", code], tmp_path, cols=40, rows=12, python=True).finish()
    assert run.returncode == 0 and run.restored and b"\x1b[?2026h" in run.stdout and b"38;2;" not in run.stdout


@pytest.mark.parametrize("env, force, patched", [
    ({}, False, True), ({"DISPLAY": ":0"}, False, False), ({"WAYLAND_DISPLAY": "w"}, True, True)])
def test_patch_cv2_only_without_a_display(monkeypatch, env, force, patched):
    stub = types.ModuleType("cv2")
    for name in corvane.windows.PATCHED:
        setattr(stub, name, None)
    monkeypatch.setitem(sys.modules, "cv2", stub)
    for name in ("DISPLAY", "WAYLAND_DISPLAY"):
        monkeypatch.delenv(name, raising=False)
    for name, value in env.items():
        monkeypatch.setenv(name, value)
    assert corvane.patch_cv2(force=force) is patched
    for name in corvane.windows.PATCHED:
        assert getattr(stub, name) is (getattr(corvane, name) if patched else None)
