"""The command line: ``corvane demo | view | show | play | info | export`` (also ``python -m corvane``).

Bad input ends a command with one line on standard error and exit status 1; a usage error with
the command's usage and status 2; Ctrl-C with status 130. The terminal is restored in every case.
Every name or text from outside is printed with its control characters escaped. Only the errors
that bad input causes are caught here; anything else is a bug and shows its traceback.
"""

from __future__ import annotations

import argparse
import math
import os
import re
import sys
import warnings
from typing import TYPE_CHECKING, Any, Callable, Dict, Optional, Sequence, Tuple

from .. import __version__
from ..errors import CorvaneError, MediaWarning, RecordingError, TimeError
from ..geometry import FIT_MODES, SCALE_DOWN
from .help_texts import MAIN, PAGES
from ..display.inline import MAX_CELLS
from ..text import count, printable
from ..display.graphics import GRAPHICS_CHOICES, resolve_graphics
from ..display.wire import COLOR_CHOICES, MAX_TOLERANCE, depth_name, detect_colors, resolve_colors

# Each command imports what only it needs when it runs (numpy, the native modules, PyAV,
# Pillow), so that --help, --version and the light commands start quickly.
if TYPE_CHECKING:
    from ..media import Media
    from ..media.images import Background
    from ..media.video import DrawnSize
    from ..recording import Recording

MAX_STRENGTH = 3.0
"""Sharpening strengths above this only add noise."""
DITHER_HELP = "dither at 256 colours too, with --colors 256 (at 16 errors are always diffused)"

GRAPHICS_HELP = ("how pictures are drawn (default: auto, what the terminal answers it can draw; half "
                 "blocks into a pipe or inside tmux): kitty, sixel or iterm2 pictures, or cells of "
                 "half blocks, quadrants, sextants or octants")

Command = Callable[[argparse.Namespace], int]
MAX_CAMERA = 63
MAX_GRID = 64


def _number(low: float, high: float, *, low_included: bool = False,
            kind: Callable[[str], float] = float) -> Callable[[str], float]:
    """An argparse type: a finite number above ``low`` (or equal, when ``low_included``) and at
    most ``high``; anything else is argparse's error."""

    def parse(text: str) -> float:
        """The value, or argparse's error."""
        try:
            value = kind(text)
        except ValueError:
            what = "a whole number" if kind is int else "a number"
            raise argparse.ArgumentTypeError(f"not {what}: {text}") from None
        above = value >= low if low_included else value > low
        if not (math.isfinite(value) and above and value <= high):
            lower = f"{low:g} to" if low_included else f"above {low:g} and at most"
            raise argparse.ArgumentTypeError(f"must be {lower} {high:g}, not {text}")
        return value

    parse.__name__ = kind.__name__
    return parse


def _grid(text: str) -> Tuple[int, int]:
    """An argparse type: ``CxR`` (or ``C``), pictures across and rows down, each 1 to 64."""
    match = re.fullmatch(r"(\d+)(?:x(\d+))?", text)
    size = (int(match.group(1)), int(match.group(2) or 1)) if match else (0, 0)
    if not 1 <= min(size) <= max(size) <= MAX_GRID:
        raise argparse.ArgumentTypeError(f"not COLUMNSxROWS, each 1 to {MAX_GRID}: {text}")
    return size


def _colors(text: str) -> str:
    """An argparse type: ``--colors``, one of the colour depths."""
    if text not in COLOR_CHOICES:
        raise argparse.ArgumentTypeError(f"must be one of {', '.join(COLOR_CHOICES)}, not {text}")
    return text


def _graphics(text: str) -> str:
    """An argparse type: ``--graphics``, one of the graphics modes."""
    if text not in GRAPHICS_CHOICES:
        raise argparse.ArgumentTypeError(f"must be one of {', '.join(GRAPHICS_CHOICES)}, not {text}")
    return text


def _time(option: str) -> Callable[[str], float]:
    """An argparse type: seconds or ``[hh:]mm:ss`` for ``option``."""

    def parse(text: str) -> float:
        """The seconds, or argparse's error."""
        from ..playback.clock import parse_time

        try:
            return parse_time(text, option)
        except TimeError as error:
            raise argparse.ArgumentTypeError(str(error).split(": ", 1)[1]) from None

    parse.__name__ = "time"
    return parse


def _background(text: str) -> Background:
    """``--background``: black, checkerboard or #rrggbb; one line else (status 1)."""
    from ..media.images import parse_background

    try:
        return parse_background(text)
    except ValueError as error:
        raise CorvaneError(f"--background: {error}") from None


def _screen_options(args: argparse.Namespace) -> Dict[str, Any]:
    """``Screen`` keyword arguments from ``--colors``, ``--tolerance`` and ``--dither``; the
    screen decides the depth and whether to draw through the wire by the one rule."""
    return {
        "colors": args.colors,
        "tolerance": args.tolerance,
        "dither": args.dither,
        "graphics": args.graphics,
    }


AUTO_HELP = "{auto}"
"""Stands in a help text for what ``--colors auto`` reads and finds here, looked up only when a
help page is shown (inside tmux that asks tmux)."""


def _help_width() -> int:
    """The columns argparse wraps help in: the terminal's (``COLUMNS`` first, 80 without one) less
    2, as argparse finds them, but without its ``import shutil`` (bz2 and lzma with it: about 3 ms
    of every start, as every argument added makes a formatter)."""
    try:
        columns = int(os.environ["COLUMNS"])
    except (KeyError, ValueError):
        columns = 0
    if columns <= 0:
        stdout = sys.__stdout__
        try:
            columns = os.get_terminal_size(stdout.fileno()).columns if stdout is not None else 0
        except (ValueError, OSError):
            columns = 0
    return (columns or 80) - 2


class _Formatter(argparse.RawDescriptionHelpFormatter):
    """Help pages: descriptions as written, :data:`AUTO_HELP` filled in."""

    def __init__(self, prog: str, indent_increment: int = 2, max_help_position: int = 24,
                 width: Optional[int] = None) -> None:
        super().__init__(prog, indent_increment, max_help_position, _help_width() if width is None else width)

    def _get_help_string(self, action: argparse.Action) -> Optional[str]:
        text = super()._get_help_string(action)
        if text is None or AUTO_HELP not in text:
            return text
        return text.replace(AUTO_HELP, f"from COLORTERM, TERM and tmux; here {depth_name(detect_colors())}")


def _fail(message: str) -> int:
    """Say ``message`` on standard error as the one line of a failed command; status 1."""
    sys.stdout.flush()
    sys.stderr.write(f"corvane: {printable(message)}\n")
    sys.stderr.flush()
    return 1


def _same_file(a: str, b: str) -> bool:
    """Whether the names ``a`` and ``b`` lead to the same file."""
    try:
        return os.path.samefile(a, b)
    except OSError:
        return os.path.realpath(a) == os.path.realpath(b)


def _recording(path: str, *, hint: bool = False) -> Recording:
    """The recording at ``path``; with ``hint``, a file that is none gets a hint at ``view``."""
    from ..recording import Recording

    try:
        return Recording(path)
    except RecordingError as error:
        if hint and error.index is None and error.offset == 0:
            raise CorvaneError(f"{path}: {error.message}; to show a video or image: "
                               f"corvane view {path}") from None
        raise


def _is_recording(path: str) -> bool:
    """Whether the file at ``path`` begins as a recording does."""
    from ..recording import MAGIC

    try:
        with open(path, "rb") as file:
            return file.read(len(MAGIC)) == MAGIC
    except OSError:
        return False


def _claim_recording(path: str, inputs: Sequence[Optional[str]], force: bool) -> None:
    """Refuse to record over an input, and over any existing file unless ``force``."""
    for given in inputs:
        if given is not None and _same_file(path, given):
            raise CorvaneError(f"{path} is an input of this command; record to another file")
    if os.path.lexists(path) and not force:
        raise CorvaneError(f"{path} exists; add --force to write over it")


# --- commands ---------------------------------------------------------------------------------


def cmd_demo(args: argparse.Namespace) -> int:
    """The built-in animation, recorded and replayed."""
    from . import demo

    return demo.run(args.seconds, args.graphics)


def _fit(args: argparse.Namespace) -> str:
    """The fit mode: ``--fit``, or ``stretch`` for the older ``--stretch``."""
    return "stretch" if args.stretch else (args.fit or "contain")


STDIN = "standard input"


def _open_source(source: Optional[str], camera: Optional[int], background: "Background",
                 drawn_size: "Optional[DrawnSize]" = None) -> "Media":
    """The media of one ``view`` source: a file, ``-`` (standard input, read as it comes: no
    seeking, no sound) or a camera; ``drawn_size`` as :func:`~corvane.media.video.open_video`'s."""
    from ..media import open_media

    if source != "-":
        return open_media(source, camera=camera, background=background, drawn_size=drawn_size)
    from ..media.video import VideoMedia, _open

    media = VideoMedia(STDIN, _open(STDIN, "pipe:0"), camera=False, drawn_size=drawn_size)
    media.seekable = media.has_audio = False
    media.duration = None
    return media


def cmd_view(args: argparse.Namespace) -> int:
    """Videos, animations, images or a camera on the terminal, with the player's keys."""
    from ..display.screen import Screen
    from ..display.terminal import check_terminal, clock
    from ..playback.clock import PlayerClock
    from ..playback.view import Viewer, view
    from ..playback.view import summary as view_summary

    options = _screen_options(args)
    sources = args.sources or [None]
    if args.record is not None:
        _claim_recording(args.record, sources, args.force)
    start, end = args.start or 0.0, args.end
    if "-" in sources and (start or args.loop):
        raise CorvaneError("standard input cannot seek: --start and --loop need a file")
    if sources.count("-") > 1:
        raise CorvaneError("standard input can be given once")
    for source in sources:
        if source is not None and _is_recording(source):
            raise CorvaneError(f"{source} is a recording; play it with: corvane play {source}")
    background = _background(args.background)
    if args.start is not None or args.end is not None or args.loop:  # a usage error, before the terminal
        for source in (source for source in sources if source != "-"):  # a pipe is read once
            with _open_source(source, args.camera, background) as media:
                if media.kind not in ("video", "animation"):
                    what = "a camera" if media.kind == "camera" else "a still picture"
                    args.pages["view"].error(f"--start, --end and --loop work only with a video or an "
                                             f"animation; {printable(media.name)} is {what}")
    fit = _fit(args)
    screen = Screen(fit=fit, **options)
    check_terminal(screen.corvane)

    def open_viewer(index: int) -> Viewer:
        """The viewer of the ``index``-th source, its media open (and its sound playing)."""
        media = _open_source(sources[index], args.camera, background, screen.drawn_size)
        try:
            moving = media.kind in ("video", "animation")
            # A still smaller than the terminal keeps its size unless --upscale.
            screen.fit = SCALE_DOWN if media.kind == "still" and fit == "contain" and not args.upscale else fit
            player = PlayerClock(media.duration if moving else None, start=start if moving else 0.0,
                                 end=end if moving else None, loop=(args.loop or media.loop) and moving,
                                 now=clock)
            sound, note = None, ""
            if media.has_audio and not args.mute:
                from ..media.sound import SoundPlayer  # here: muted or silent, ctypes and ALSA stay out

                try:
                    sound = player.audio = SoundPlayer(media.name, start=player.start)
                except CorvaneError as error:
                    note = str(error)
            return Viewer(media, screen, player, duration=args.duration, note=note, sound=sound,
                          place=(index + 1, len(sources)))
        except BaseException:
            media.close()
            raise

    results = view(screen, open_viewer, len(sources), record=args.record, overwrite=args.force)
    recorded = f"; recorded to {args.record}" if args.record else ""
    for number, (name, result) in enumerate(results):
        print(printable(view_summary(name, result) + (recorded if number == len(results) - 1 else "")))
    return 0


def cmd_show(args: argparse.Namespace) -> int:
    """Pictures inline, like text."""
    from . import gallery

    colors = resolve_colors(args.colors)
    options = gallery.Options(args.width, args.height, args.fit, args.title, args.grid, args.frame,
                              colors, args.dither, _background(args.background), args.upscale,
                              resolve_graphics(args.graphics))

    def warn(name: str, reason: str) -> None:
        """One line about an input that is not shown."""
        _fail(f"{name}: {reason}")

    try:
        shown_all = gallery.show(args.files, options, warn)
    except BrokenPipeError:  # the reader has had enough (`| head`): all is well, no more to say
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 0
    return 0 if shown_all else 1


def cmd_play(args: argparse.Namespace) -> int:
    """A recording, plain or interactive."""
    from ..display.screen import Screen
    from ..display.terminal import check_terminal
    from ..playback.player import play

    options = _screen_options(args)
    with _recording(args.file, hint=True) as recording:
        recording.require_frames()
        screen = Screen(fit=_fit(args), **options)
        check_terminal(screen.corvane)
        play(recording, screen, interactive=args.interactive, paused=args.paused, sharpen=args.sharpen,
             name=args.file)
    return 0


def cmd_info(args: argparse.Namespace) -> int:
    """What a recording holds."""
    import json

    from .info import failure, render_text, summary

    try:
        with _recording(args.file) as recording:
            info, damage = summary(recording)
    except (CorvaneError, OSError) as error:
        if args.json:
            print(json.dumps(failure(args.file, error), indent=2))
        raise
    print(json.dumps(info, indent=2) if args.json else render_text(info, damage))
    if damage is not None:
        raise damage
    return 0


def cmd_export(args: argparse.Namespace) -> int:
    """A recording's frames to PNG files, an H.264 video or an animated GIF."""
    from .export import (PLAYER_FPS, Progress, claim_output, export_png, export_video, frame_range,
                         output_kind)
    from ..playback.clock import check_range
    from ..recording import FRAME_PERIOD

    kind = output_kind(args.out)
    start, end = args.start or 0.0, args.end
    if _same_file(args.out, args.file):
        raise CorvaneError(f"{args.out} is the recording itself; export to another name")
    with _recording(args.file) as recording:
        recording.require_frames()
        check_range(start, end, len(recording) * FRAME_PERIOD)
        frames = frame_range(len(recording), start, end)
        claim_output(args.out, kind, overwrite=args.force)
        progress = Progress(len(frames), "exporting", enabled=args.progress)
        if kind == "video":
            written = export_video(recording, args.out, frames=frames, fps=args.fps or PLAYER_FPS,
                                   scale=args.scale, overwrite=args.force, progress=progress)
        else:
            written = export_png(recording, args.out, frames=frames, scale=args.scale,
                                 progress=progress)
    print(printable(f"{count(written, 'frame')} written to {args.out}"))
    return 0


# --- parser -----------------------------------------------------------------------------------


def build_parser(show_only: bool = False) -> argparse.ArgumentParser:
    """The argument parser of every command; each command's parser is in ``parser.commands``.
    With ``show_only``, of ``show`` alone, for a command line that runs it: the others' pages
    cost a few ms of its start, and its own page and errors are the same."""
    parser = argparse.ArgumentParser(
        prog="corvane", description=MAIN.description, epilog=MAIN.examples,
        formatter_class=_Formatter,
    )
    parser.add_argument("--version", action="version", version=f"corvane {__version__}")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND")
    commands.required = True
    pages: Dict[str, argparse.ArgumentParser] = {}

    def add(name: str, run: Command) -> argparse.ArgumentParser:
        """Add command ``name``, run by ``run``, with its help page."""
        page = PAGES[name]
        sub = commands.add_parser(name, help=page.summary, description=page.description,
                                  epilog=page.examples,
                                  formatter_class=_Formatter)
        sub.set_defaults(run=run)
        pages[name] = sub
        return sub

    def wire(sub: argparse.ArgumentParser) -> None:
        """The options of the wire encoder."""
        sub.add_argument("--colors", type=_colors, metavar="{" + ",".join(COLOR_CHOICES) + "}",
                         help=f"colour depth (default: auto, {AUTO_HELP}); on a 24-bit terminal "
                         "auto without --tolerance is the exact stream")
        sub.add_argument("--tolerance", type=_number(0, MAX_TOLERANCE, low_included=True, kind=int),
                         metavar="T", help=f"leave cells within T (0 to {MAX_TOLERANCE}) "
                         "of what the terminal shows alone; fewer bytes, frames dropped on a slow link")
        dither(sub)
        graphics(sub)

    def graphics(sub: argparse.ArgumentParser) -> None:
        """The ``--graphics`` option of every command that draws."""
        sub.add_argument("--graphics", type=_graphics, default="auto",
                         metavar="{" + ",".join(GRAPHICS_CHOICES) + "}", help=GRAPHICS_HELP)

    def dither(sub: argparse.ArgumentParser) -> None:
        """The ``--dither`` option, of the palette depths only."""
        sub.add_argument("--dither", action="store_true", default=None, help=DITHER_HELP)

    def force(sub: argparse.ArgumentParser, what: str) -> None:
        """The ``-f`` / ``--force`` option of a command that writes ``what``."""
        sub.add_argument("-f", "--force", action="store_true", help=f"write over an existing {what}")

    def background(sub: argparse.ArgumentParser) -> None:
        """The ``--background`` option: what transparency is laid over."""
        sub.add_argument("--background", metavar="B", default="black",
                         help="what shows through transparency: black (the default), "
                         "checkerboard, or a colour #rrggbb")

    def fit_option(sub: argparse.ArgumentParser, default: Optional[str] = None) -> None:
        """The ``--fit`` option: how a frame meets the room it is shown in; and ``--stretch``, its
        older spelling, where the command had it."""
        stretch = default is None
        if stretch:
            sub.add_argument("--stretch", action="store_true", help="the same as --fit stretch")
        sub.add_argument("--fit", choices=FIT_MODES, default=default,
                         help="contain (the default): all of it, shape kept; cover: fill, cut the "
                         "edges; stretch: fill out of shape" + (" (as --stretch)" if stretch else "")
                         + "; none: pixel for pixel, cut to fit")

    def player(sub: argparse.ArgumentParser, end: str) -> None:
        """The range options of a player; ``end`` says what happens at ``--end``."""
        sub.add_argument("--start", type=_time("--start"), metavar="T",
                         help="start at T: seconds or [hh:]mm:ss")
        sub.add_argument("--end", type=_time("--end"), metavar="T", help=f"{end} at T")

    if not show_only:  # the pages before show's
        demo = add("demo", cmd_demo)
        demo.add_argument("--seconds", type=_number(0, 3600), default=6.0,
                          help="how long to play (default: 6)")
        graphics(demo)

        view = add("view", cmd_view)
        view.add_argument("sources", nargs="*", metavar="SOURCE",
                          help="a video, animation or image file, - for standard input; several play "
                          "one after the other (n / p: the next / previous)")
        view.add_argument("--camera", type=_number(0, MAX_CAMERA, low_included=True, kind=int),
                          metavar="N", help=f"show camera number N (0 to {MAX_CAMERA}) instead")
        view.add_argument("--record", metavar="FILE", help="record what is shown into FILE")
        force(view, "recording")
        fit_option(view)
        view.add_argument("--upscale", action="store_true",
                          help="enlarge a still picture smaller than the terminal (the default: never)")
        player(view, "stop (or loop)")
        view.add_argument("--loop", action="store_true", help="start again at the end (or --end); "
                          "an animation that loops forever does so without it")
        view.add_argument("--mute", action="store_true", help="leave the sound out")
        view.add_argument("--duration", type=_number(0, 1e6), metavar="SECONDS", help="stop after this long")
        wire(view)
        background(view)

    show = add("show", cmd_show)
    show.add_argument("files", nargs="+", metavar="FILE",
                      help="a picture, video or recording; a pattern; a directory; - for standard input")
    cells = _number(0, MAX_CELLS, kind=int)
    show.add_argument("--width", type=cells, metavar="COLUMNS",
                      help="columns (default: the terminal's, or 80 when not printing to one)")
    show.add_argument("--height", type=cells, metavar="LINES",
                      help="lines (default: the terminal's when the width is too; else no limit)")
    fit_option(show, "contain")
    show.add_argument("--title", action="store_true", help="print each file's name above it")
    show.add_argument("--grid", type=_grid, metavar="CxR",
                      help="C pictures side by side, R rows of them to the terminal's height")
    show.add_argument("--upscale", action="store_true",
                      help="enlarge pictures smaller than the room (the default: never)")
    show.add_argument("--frame", type=_time("--frame"), metavar="T",
                      help="of a video or animation, the frame at T: seconds or [hh:]mm:ss "
                      "(default: the first)")
    show.add_argument("--colors", type=_colors, metavar="{" + ",".join(COLOR_CHOICES) + "}",
                      default="auto", help=f"colour depth (default: auto, {AUTO_HELP})")
    dither(show)
    graphics(show)
    background(show)

    if show_only:
        parser.set_defaults(pages=pages)
        return parser

    play = add("play", cmd_play)
    play.add_argument("file", metavar="FILE", help="a recording (.lzdx)")
    play.add_argument("--sharpen", type=_number(0, MAX_STRENGTH, low_included=True), default=0.0,
                      metavar="S", help=f"sharpening strength, 0 (none, the default) to "
                      f"{MAX_STRENGTH:g}; 1 is strong")
    play.add_argument("-i", "--interactive", action="store_true", help="the interactive player")
    play.add_argument("--paused", action="store_true", help="with -i: start paused on the first frame")
    fit_option(play)
    wire(play)

    info = add("info", cmd_info)
    info.add_argument("file", metavar="FILE", help="a recording (.lzdx)")
    info.add_argument("--json", action="store_true", help="print JSON instead of text")

    export = add("export", cmd_export)
    export.add_argument("file", metavar="FILE", help="a recording (.lzdx)")
    export.add_argument("out", metavar="OUT", help="a directory for PNG files, or a video file "
                        "(.mp4, .m4v, .mov, .mkv: H.264; .gif)")
    player(export, "stop")
    force(export, "video file, or replace the frames in a directory that is not empty")
    export.add_argument("--fps", type=_number(0, 1000),
                        help="video frame rate (default: the players', one frame per 33 ms); the "
                        "recording keeps its length, frames repeated or left out")
    export.add_argument("--scale", type=int, default=1, choices=range(1, 17), metavar="N",
                        help="enlarge every pixel to N x N (1 to 16, default: 1)")
    bar = export.add_mutually_exclusive_group()
    bar.add_argument("--progress", action="store_true", default=None, help="always show the progress bar")
    bar.add_argument("--quiet", action="store_false", dest="progress", help="never show it")
    parser.set_defaults(pages=pages)
    return parser


def _check(args: argparse.Namespace) -> None:
    """Combinations argparse cannot express; the error shows the command's own usage."""
    sub: argparse.ArgumentParser = args.pages[args.command]
    if args.command == "view" and (not args.sources) == (args.camera is None):
        sub.error("give either a SOURCE file or --camera N")
    if args.command == "view" and args.force and args.record is None:
        sub.error("--force works only with --record")
    if args.command == "play" and args.paused and not args.interactive:
        sub.error("--paused works only with -i")
    if getattr(args, "dither", False) and args.colors not in ("256", "16"):
        sub.error("--dither works only with --colors 256 or 16")


def _os_message(error: OSError) -> str:
    """``FILE: reason`` for an operating-system error, without Python's ``[Errno N]``."""
    if error.filename is not None and error.strerror:
        return f"{error.filename}: {error.strerror}"
    return error.strerror or str(error)


def _damage_message(path: str, error: RecordingError) -> str:
    """The one line about a recording that is damaged, not one, or empty."""
    from .info import damage_text

    return f"{path}: {damage_text(error)}"


def _warn(message: "Warning | str", category: "type[Warning]", filename: str, lineno: int,
          file: Any = None, line: Optional[str] = None) -> None:
    """A warning from the library as one line on standard error (the command goes on)."""
    sys.stdout.flush()
    sys.stderr.write(f"corvane: warning: {printable(str(message))}\n")
    sys.stderr.flush()


def main(argv: Optional[Sequence[str]] = None) -> int:
    """Run one command; returns the exit status."""
    # The commands use numpy without its linear algebra: its BLAS threads would only cost the
    # start (about 100 ms of CPU on two cores). Set before numpy loads; a user's choice stays.
    for pool in ("OPENBLAS_NUM_THREADS", "OMP_NUM_THREADS"):
        os.environ.setdefault(pool, "1")
    warnings.showwarning = _warn
    warnings.simplefilter("always", MediaWarning)
    parser = build_parser(show_only=(sys.argv[1:] if argv is None else list(argv))[:1] == ["show"])
    args, unknown = parser.parse_known_args(argv)
    if unknown:  # the command's own usage: the options it does take
        args.pages[args.command].error(f"unrecognized arguments: {' '.join(unknown)}")
    _check(args)
    try:
        status: int = args.run(args)
        return status
    except KeyboardInterrupt:
        return 130
    except RecordingError as error:
        return _fail(_damage_message(args.file, error))
    except CorvaneError as error:
        return _fail(str(error))
    except OSError as error:
        return _fail(_os_message(error))
