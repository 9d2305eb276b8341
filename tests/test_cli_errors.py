"""Bad input to every command: one clear line on standard error, status 1, the terminal as it was."""

import cv2
import numpy as np
import pytest

from cli_session import corvane, without_opencv
from recording_cases import DAMAGED, GOOD
from recording_file import MAGIC

NOT_OPENED = "No such file or directory"
CUT = f"record 4 at offset {len(GOOD)}: header cut short: 10 of 21 bytes"

# args, error line after "corvane: ", options: cols/rows of the pty, tty=False, no_cv2
CASES = [
    (["play", "missing.lzdx"], f"missing.lzdx: {NOT_OPENED}", {}),
    (["play", "-i", "missing.lzdx"], f"missing.lzdx: {NOT_OPENED}", {}),
    (["info", "missing.lzdx"], f"missing.lzdx: {NOT_OPENED}", {}),
    (["export", "missing.lzdx", "out"], f"missing.lzdx: {NOT_OPENED}", {}),
    (["view", "missing.mp4"], f"missing.mp4: {NOT_OPENED}", {}),
    (["play", "image.png"], "image.png: offset 0: not a recording: it starts with b'\\x89PNG'", {}),
    (["info", "."], ".: Is a directory", {}),
    (["play", "cut.lzdx"], f"cut.lzdx: {CUT}", {}),
    (["play", "-i", "empty.lzdx"], "empty.lzdx: the recording has no frames", {}),
    (["view", "text.mp4"], "text.mp4: not a video or image that OpenCV can read", {}),
    (["view", "--camera", "97"], "cannot open camera 97", {}),
    (["view", "image.png", "--record", "no/dir/r.lzdx"],
     "cannot record to no/dir/r.lzdx: No such file or directory (os error 2)", {}),
    (["export", "good.lzdx", "out.txt"], "out.txt: give a directory for PNG files or a video file", {}),
    (["play", "good.lzdx"], "no terminal: standard input is not one and there is no /dev/tty", {"tty": False}),
    (["play", "-i", "good.lzdx"], "no terminal: standard input is not one and there is no /dev/tty", {"tty": False}),
    (["view", "image.png"], "no terminal: standard input is not one and there is no /dev/tty", {"tty": False}),
    (["play", "good.lzdx"], "the terminal is 7 x 3; it needs at least 8 columns and 3 rows", {"cols": 7, "rows": 3}),
    (["play", "-i", "good.lzdx"], "the terminal is 20 x 2; it needs at least 8 columns and 3 rows", {"cols": 20, "rows": 2}),
    (["view", "image.png"], "the terminal is 5 x 5; it needs at least 8 columns and 3 rows", {"cols": 5, "rows": 5}),
    (["view", "image.png"], "corvane view needs OpenCV's Python bindings; install them with: pip install 'corvane[video]'",
     {"no_cv2": True}),
    (["export", "good.lzdx", "v.mp4"], "video export needs OpenCV's Python bindings; install them with: "
     "pip install 'corvane[video]'", {"no_cv2": True}),
]


@pytest.fixture
def inputs(tmp_path):
    (tmp_path / "good.lzdx").write_bytes(GOOD)
    (tmp_path / "cut.lzdx").write_bytes(GOOD + DAMAGED[0].tail)
    (tmp_path / "empty.lzdx").write_bytes(MAGIC)
    (tmp_path / "text.mp4").write_text("not a video\n")
    cv2.imwrite(str(tmp_path / "image.png"), np.zeros((4, 4, 3), np.uint8))
    return tmp_path


@pytest.mark.parametrize("args, message, options", CASES, ids=[" ".join(c[0]) + str(c[2]) for c in CASES])
def test_one_line_and_terminal_untouched(inputs, args, message, options):
    options = dict(options)
    if options.pop("no_cv2", False):
        options["env"] = without_opencv(inputs)
    run = corvane(args, inputs, **options)
    assert run.one_line_error().startswith(f"corvane: {message}")
    assert run.restored and run.stdout == b"", "nothing drawn before the input was found bad"


@pytest.mark.parametrize("command", ["demo", "view", "play", "info", "export"])
def test_help_on_every_command(tmp_path, command):
    run = corvane([command, "--help"], tmp_path, tty=False)
    assert run.returncode == 0 and run.stdout.startswith(f"usage: corvane {command}".encode())


@pytest.mark.parametrize("args, message", [
    ([], "the following arguments are required: COMMAND"),
    (["view"], "view: give either a SOURCE file or --camera N"),
    (["play", "x", "--paused"], "play: --paused work only with -i"),
    (["play", "-i", "x", "--sharpen", "1"], "play: --sharpen works only in the native player"),
    (["export", "x", "y", "--scale", "0"], "argument --scale: invalid choice"),
    (["view", "x", "--fps", "0"], "argument --fps: must be above 0"),
])
def test_usage_errors(tmp_path, args, message):
    run = corvane(args, tmp_path, tty=False)
    assert run.returncode == 2 and message in run.stderr and "Traceback" not in run.stderr
