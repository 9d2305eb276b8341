"""Bad input: one plain line on standard error, status 1, nothing touched; usage errors: status 2."""

import json
import re

import pytest
from PIL import Image

from cli_session import corvane, without
from clips import clip
from recording_cases import GOOD
from recording_file import MAGIC

NO_TTY = "no terminal: standard input is not one and there is no /dev/tty"
NOT_TTY = "standard output is not a terminal; this command draws full-screen"
MISSING = "No such file or directory"
SMALL = "it needs at least 8 columns and 3 rows"
HINT = "install them with: pip install 'corvane[video]'"

# args, the error line after "corvane: ", options: cols/rows of the pty, tty, screen, hide (a module)
CASES = [
    *[([args[0], "missing.x", *args[1:]], f"missing.x: {MISSING}", {}) for args in (["play"], ["view"], ["export", "o"])],
    (["info", "."], ".: Is a directory", {}),
    (["play", "\x1b]2;owned\x07\x1b[5m"], f"\\x1b]2;owned\\x07\\x1b[5m: {MISSING}", {}),
    (["play", "image.png"], "image.png: not a recording (it does not begin with LZDX); "
     "to show a video or image: corvane view image.png", {}),
    (["view", "good.lzdx"], "good.lzdx is a recording; play it with: corvane play good.lzdx", {}),
    (["view", "text.mp4"], "text.mp4: ", {}),
    (["view", "--camera", "63"], "camera 63: there is no /dev/video63", {}),
    (["view", "clip.mp4", "--start", "9"], "--start 0:09 is not before the end (0:01)", {}),
    (["view", "clip.mp4", "--end", "9"], "--end 0:09 is past the end (0:01)", {}),
    (["show", "clip.mp4", "--frame", "0:09"], "clip.mp4: no frame at 9 s: the video lasts 1", {}),
    (["view", "clip.mp4", "--start", "1", "--end", "0:01"], "--end 0:01 is not after --start 0:01", {}),
    (["export", "good.lzdx", "o.gif", "--start", "0.2"], "--start 0:00.20 is not before the end (0:00.10)", {}),
    (["export", "good.lzdx", "o.gif", "--end", "0.2"], "--end 0:00.20 is past the end (0:00.10)", {}),
    *[(args.split(), "empty.lzdx: the recording has no frames", {})
      for args in ("info empty.lzdx", "play empty.lzdx", "play -i empty.lzdx", "export empty.lzdx out")],
    (["view", "image.png", "--record", "no/dir/r.lzdx"], f"cannot record to no/dir/r.lzdx: {MISSING}", {}),
    (["view", "image.png", "--record", "good.lzdx"], "good.lzdx exists; add --force to write over it", {}),
    (["view", "image.png", "--record", "./image.png", "-f"], "./image.png is an input of this command", {}),
    (["export", "good.lzdx", "v.mp4"], "v.mp4 exists; add --force to write over it", {}),
    (["export", "good.lzdx", "full"], "full is a directory that is not empty; add --force", {}),
    (["export", "good.lzdx", "out.avi"], "out.avi: cannot write .avi files; give a directory", {}),
    *[(args, NO_TTY, {"tty": False}) for args in (["play", "good.lzdx"], ["play", "-i", "good.lzdx"], ["demo"])],
    *[(args, NOT_TTY, {"screen": False}) for args in (["play", "good.lzdx"], ["view", "image.png"], ["demo"])],
    (["play", "good.lzdx"], f"the terminal is 7 x 3; {SMALL}", {"cols": 7, "rows": 3}),
    (["view", "image.png"], f"the terminal is 20 x 2; {SMALL}", {"cols": 20, "rows": 2}),
    (["view", "image.png"], f"image.png: images need Pillow; {HINT}", {"hide": "PIL"}),
    (["export", "good.lzdx", "o.mp4"], f"video export needs PyAV; {HINT}", {"hide": "av"}),
]


@pytest.fixture
def inputs(tmp_path):
    for name, content in [("good.lzdx", GOOD), ("empty.lzdx", MAGIC), ("text.mp4", b"not a video\n"),
                          ("v.mp4", b"an older video\n"), ("full/frame-000001.png", b"an older frame\n")]:
        (tmp_path / name).parent.mkdir(exist_ok=True)
        (tmp_path / name).write_bytes(content)
    Image.new("RGB", (4, 4)).save(tmp_path / "image.png")
    clip(tmp_path / "clip.mp4", [0.0, 0.5, 1.0])
    return tmp_path


@pytest.mark.parametrize("args, message, options", CASES, ids=[" ".join(c[0]) + str(c[2]) for c in CASES])
def test_one_line_and_terminal_untouched(inputs, args, message, options):
    options = dict(options)
    if "hide" in options:
        options["env"] = without(inputs, options.pop("hide"))
    before = sorted(p.name for p in inputs.iterdir())
    run = corvane(args, inputs, **options)
    line = run.one_line_error()
    assert line.startswith(f"corvane: {message}") and "os error" not in line
    assert run.restored and run.stdout == b"", "nothing drawn or printed before the input was found bad"
    assert sorted(p.name for p in inputs.iterdir() if not p.name.startswith("out-")) == before
    assert (inputs / "v.mp4").read_text() == "an older video\n" and (inputs / "image.png").stat().st_size > 50


@pytest.mark.parametrize("content, message", [(None, MISSING), (MAGIC, "the recording has no frames"),
                                              (b"GIF89a", "not a recording (it does not begin with LZDX)")])
def test_info_json_answers_in_json(tmp_path, content, message):
    if content is not None:
        (tmp_path / "x.lzdx").write_bytes(content)
    run = corvane(["info", "--json", "x.lzdx"], tmp_path, tty=False)
    assert run.one_line_error().startswith(f"corvane: x.lzdx: {message}")
    answer = json.loads(run.stdout)
    assert answer["intact"] is False and answer["error"]["message"] == message


@pytest.mark.parametrize("command", ["demo", "view", "show", "play", "info", "export"])
def test_help_on_every_command_and_the_version(tmp_path, command):
    for module in ("numpy", "PIL", "av", "_corvane"):  # the pages and the version start without them
        light = without(tmp_path, module)
    run = corvane([command, "--help"], tmp_path, tty=False, env=light)
    assert run.returncode == 0 and run.stdout.startswith(f"usage: corvane {command}".encode())
    named, taken = (set(re.findall(pattern, run.stdout, re.M)) for pattern in (rb"--[a-z]+", rb"^  (?:-\w, )?(--[a-z]+)"))
    assert named <= taken, "the page names only options the command takes"
    assert b"or loop" not in run.stdout or command == "view"
    run = corvane(["--version"], tmp_path, tty=False, env=light)
    assert run.returncode == 0 and run.stdout.decode().startswith("corvane 0.")


@pytest.mark.parametrize("args, message", [
    ([], "the following arguments are required: COMMAND"),
    (["view"], "give either a SOURCE file or --camera N"),
    (["view", "x", "-f"], "--force works only with --record"),
    *[(["view", "--camera", n], f"argument --camera: must be 0 to 63, not {n}") for n in ("-1", "64")],
    (["view", "--camera", "1.5"], "argument --camera: not a whole number: 1.5"),
    (["play", "x", "--paused"], "--paused works only with -i"),
    *[(["play", "x", "--sharpen", s], f"argument --sharpen: must be 0 to 3, not {s}") for s in ("nan", "inf", "-1", "1e9")],
    (["export", "x", "y", "--scale", "0"], "argument --scale: invalid choice"),
    (["export", "x", "y", "--fps", "inf"], "argument --fps: must be above 0 and at most 1000, not inf"),
    (["play", "x", "--fit", "fill"], "argument --fit: invalid choice: 'fill'"),
    (["demo", "--seconds", "nan"], "argument --seconds: must be above 0 and at most 3600, not nan"),
    (["view", "x", "--start", "1:75"], "argument --start: 1:75 is not a time; give seconds or [hh:]mm:ss"),
    (["export", "x", "y", "--end", "x"], "argument --end: x is not a time"),
    (["show", "x", "--frame", "1:2:3:4"], "argument --frame: 1:2:3:4 is not a time"),
    (["play", "x", "--colors", "12"], "argument --colors: must be one of auto, 24bit, 256, 16, not 12"),
    (["show", "x", "--colors", "8"], "argument --colors: must be one of"),
    *[(["play", "x", "--tolerance", t], f"argument --tolerance: must be 0 to 64, not {t}") for t in ("-1", "1000")],
    (["show", "x", "--stretch"], "unrecognized arguments: --stretch"),
    *[(["view", "x", "--dither", *c], "--dither works only with --colors 256 or 16") for c in ([], ["--colors", "24bit"])],
    (["view", "p.png", "--start", "5"], "--start, --end and --loop work only with a video or an animation; p.png is a still picture"),
])
def test_usage_errors_show_the_commands_usage(tmp_path, args, message):
    Image.new("RGB", (4, 4)).save(tmp_path / "p.png")
    run = corvane(args, tmp_path, tty=False)
    assert run.returncode == 2 and message in run.stderr and "Traceback" not in run.stderr
    assert run.stderr.startswith(f"usage: corvane {args[0] if args else ''}".rstrip())
