"""The command line: ``corvane demo | view | play | info | export`` (also ``python -m corvane``).

Bad input ends a command with one line on standard error and exit status 1; a usage error with
argparse's message and status 2; Ctrl-C with status 130. The terminal is restored in every case.
"""

from __future__ import annotations

import argparse
import json
import sys
from typing import Callable, Optional, Sequence

from _corvane import Corvane

from . import _opencv, demo
from .errors import CorvaneError, RecordingError, is_panic
from .export import Progress, export_png, export_video, output_kind
from .help_texts import MAIN, PAGES
from .info import render_text, summary
from .player import play_interactive
from .recording import Recording
from .screen import Screen
from .sources import open_source
from .terminal import check_terminal, fullscreen
from .view import view

Command = Callable[[argparse.Namespace], int]


def _positive(kind: Callable[[str], float]) -> Callable[[str], float]:
    """An argparse type: ``kind`` of the text, refused unless above 0."""

    def parse(text: str) -> float:
        """The value, or argparse's error."""
        value = kind(text)
        if not value > 0:
            raise argparse.ArgumentTypeError(f"must be above 0, not {text}")
        return value

    parse.__name__ = kind.__name__
    return parse


def _frames(count: int) -> str:
    """``"1 frame"``, ``"2 frames"``."""
    return f"{count} frame" + ("" if count == 1 else "s")


def _fail(message: str) -> int:
    """Say ``message`` on standard error as the one line of a failed command; status 1."""
    sys.stderr.write(f"corvane: {message}\n")
    sys.stderr.flush()
    return 1


# --- commands ---------------------------------------------------------------------------------


def cmd_demo(args: argparse.Namespace) -> int:
    """The built-in animation, recorded and replayed."""
    return demo.run(args.seconds)


def cmd_view(args: argparse.Namespace) -> int:
    """A video, image or camera on the terminal."""
    source = open_source(args.source, args.camera, args.fps)
    try:
        screen = Screen(stretch=args.stretch)
        check_terminal(screen.corvane)
        result = view(source, screen, duration=args.duration, record=args.record)
    finally:
        source.close()
    dropped = f", {result.dropped} dropped" if result.dropped else ""
    recorded = f"; recorded to {args.record}" if args.record else ""
    print(f"{source.name}: {_frames(result.shown)} shown{dropped}{recorded}")
    return 0


def cmd_play(args: argparse.Namespace) -> int:
    """A recording through the native player, or through the interactive one."""
    with Recording(args.file) as recording:
        if args.interactive:
            if not len(recording):
                raise recording.damage or CorvaneError(f"{args.file}: the recording has no frames")
            screen = Screen(stretch=args.stretch)
            check_terminal(screen.corvane)
            play_interactive(recording, screen, paused=args.paused)
            if recording.damage is not None:
                raise recording.damage
            return 0
        damage = recording.verify()  # the native player would stop half-way with a panic
        if damage is not None:
            raise damage
    corvane = Corvane()
    check_terminal(corvane)
    with fullscreen(corvane, enter=False):
        corvane.play(args.file, args.sharpen)
    return 0


def cmd_info(args: argparse.Namespace) -> int:
    """What a recording holds."""
    with Recording(args.file) as recording:
        info = summary(recording)
    print(json.dumps(info, indent=2) if args.json else render_text(info))
    if info["error"] is not None:
        sys.stdout.flush()
        error = info["error"]
        where = f"record {error['record']} at " if error["record"] else ""
        return _fail(f"{args.file}: damaged at {where}offset {error['offset']}: {error['message']}")
    return 0


def cmd_export(args: argparse.Namespace) -> int:
    """A recording's frames to PNG files or a video."""
    kind = output_kind(args.out)
    if kind == "video":
        _opencv.require("video export")
    with Recording(args.file) as recording:
        progress = Progress(len(recording), "exporting", enabled=args.progress)
        if kind == "video":
            count = export_video(recording, args.out, fps=args.fps, scale=args.scale, progress=progress)
        else:
            count = export_png(recording, args.out, scale=args.scale, progress=progress)
    print(f"{_frames(count)} written to {args.out}")
    return 0


# --- parser -----------------------------------------------------------------------------------


def build_parser() -> argparse.ArgumentParser:
    """The argument parser of every command."""
    parser = argparse.ArgumentParser(
        prog="corvane", description=MAIN.description, epilog=MAIN.examples,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    commands = parser.add_subparsers(dest="command", metavar="COMMAND")
    commands.required = True

    def add(name: str, run: Command) -> argparse.ArgumentParser:
        """Add command ``name``, run by ``run``, with its help page."""
        page = PAGES[name]
        sub = commands.add_parser(name, help=page.summary, description=page.description,
                                  epilog=page.examples,
                                  formatter_class=argparse.RawDescriptionHelpFormatter)
        sub.set_defaults(run=run)
        return sub

    demo = add("demo", cmd_demo)
    demo.add_argument("--seconds", type=float, default=6.0, help="how long to play (default: 6)")

    view = add("view", cmd_view)
    view.add_argument("source", nargs="?", metavar="SOURCE", help="a video or image file")
    view.add_argument("--camera", type=int, metavar="N", help="show camera number N instead")
    view.add_argument("--record", metavar="FILE", help="record what is shown into FILE")
    view.add_argument("--stretch", action="store_true", help="fill the terminal instead of keeping the shape")
    view.add_argument("--fps", type=_positive(float), help="pace at this rate instead of the video's own")
    view.add_argument("--duration", type=_positive(float), metavar="SECONDS", help="stop after this long")

    play = add("play", cmd_play)
    play.add_argument("file", metavar="FILE", help="a recording (.lzdx)")
    play.add_argument("--sharpen", type=float, default=0.0, metavar="S",
                      help="sharpening strength; 0 for none (default), 1.0 is strong")
    play.add_argument("-i", "--interactive", action="store_true", help="the interactive player")
    play.add_argument("--paused", action="store_true", help="with -i: start paused on the first frame")
    play.add_argument("--stretch", action="store_true", help="with -i: fill the terminal instead of keeping the shape")

    info = add("info", cmd_info)
    info.add_argument("file", metavar="FILE", help="a recording (.lzdx)")
    info.add_argument("--json", action="store_true", help="print JSON instead of text")

    export = add("export", cmd_export)
    export.add_argument("file", metavar="FILE", help="a recording (.lzdx)")
    export.add_argument("out", metavar="OUT", help="a directory for PNG files, or a video file name")
    export.add_argument("--fps", type=_positive(float), default=30.0, help="video frame rate (default: 30)")
    export.add_argument("--scale", type=int, default=1, choices=range(1, 17), metavar="N",
                        help="enlarge every pixel to N x N (1 to 16, default: 1)")
    bar = export.add_mutually_exclusive_group()
    bar.add_argument("--progress", action="store_true", default=None, help="always show the progress bar")
    bar.add_argument("--quiet", action="store_false", dest="progress", help="never show it")
    return parser


def _check(parser: argparse.ArgumentParser, args: argparse.Namespace) -> None:
    """Combinations argparse cannot express."""
    if args.command == "view" and (args.source is None) == (args.camera is None):
        parser.error("view: give either a SOURCE file or --camera N")
    if args.command == "play" and not args.interactive:
        extra = [flag for flag, on in (("--paused", args.paused), ("--stretch", args.stretch)) if on]
        if extra:
            parser.error(f"play: {' and '.join(extra)} work only with -i")
    if args.command == "play" and args.interactive and args.sharpen:
        parser.error("play: --sharpen works only in the native player (without -i)")


def _os_message(error: OSError) -> str:
    """``FILE: reason`` for an operating-system error, without Python's ``[Errno N]``."""
    if error.filename is not None and error.strerror:
        return f"{error.filename}: {error.strerror}"
    return error.strerror or str(error)


def main(argv: Optional[Sequence[str]] = None) -> int:
    """Run one command; returns the exit status."""
    parser = build_parser()
    args = parser.parse_args(argv)
    _check(parser, args)
    try:
        status: int = args.run(args)
        return status
    except KeyboardInterrupt:
        return 130
    except RecordingError as error:
        return _fail(f"{getattr(args, 'file', '')}: {error}")
    except OSError as error:
        return _fail(_os_message(error))
    except (CorvaneError, RuntimeError, ValueError) as error:
        return _fail(str(error))
    except BaseException as error:
        if is_panic(error):
            return _fail(str(error).splitlines()[0])
        raise

