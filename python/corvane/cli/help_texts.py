"""The help texts of the command line: one short page per command, shown by ``--help``."""

from __future__ import annotations

from typing import Dict, NamedTuple


class Page(NamedTuple):
    """A command's one-line summary, its description and its examples."""

    summary: str
    description: str
    examples: str


MAIN = Page(
    "",
    "Video frames on a text terminal as 24-bit colour half-block art.",
    """\
examples:
  corvane view clip.mp4 --record clip.lzdx   watch a video, recording what is shown
  corvane show *.jpg                         print pictures inline, like text
  corvane info clip.lzdx                     frames, sizes, and whether the file is intact
  corvane play -i clip.lzdx                  step through the recording frame by frame
  corvane export clip.lzdx frames/           one PNG file per frame

Every command says what went wrong in one line on standard error and exits with
status 1 (2 for a wrong command line, a bad option value included, with the
command's usage; 130 after Ctrl-C); the terminal is always
given back, also on Ctrl-Z. Nothing is written over without --force.""",
)

PAGES: Dict[str, Page] = {
    "demo": Page(
        "play the built-in animation (what `make demo` runs)",
        """\
Play a generated animation until q, Esc or Enter (or --seconds pass), recording
it while it is shown; then play the recording back, plain and sharpened, and
say how large the file is against the raw frames. Needs a terminal.""",
        "example:\n  corvane demo --seconds 3",
    ),
    "view": Page(
        "play a video file, an animation, an image or a camera",
        """\
Play video files, animated GIFs/WebPs/APNGs, images or a camera on the
terminal, fitted with their shape kept (black margins), or filling it with
--fit stretch (--stretch is the same; --fit cover and none as for show).
Several sources play one after the other (n / p: the next / previous); - reads
a video from standard input. Frames are decoded by FFmpeg and shown at their
own times, so variable frame rates play right; when the terminal cannot keep
up, frames are dropped rather than falling behind. An image stays until you
quit, never enlarged unless --upscale. The sound track plays unless --mute and
paces the pictures; without a sound device a note says so on the bottom line.
At the end the last frame stays, paused: space plays again from the start.

Keys while viewing:
  space        pause / play (at the end: again from the start)
  Left Right   5 s back / on         Down Up   60 s back / on
  Home         the start (or --start)
  , .          one frame back / on (pauses)
  - +          slower / faster, 1/4 to 4 times (the sound is muted off 1x)
  n p          the next / previous source
  q Esc        quit
The bottom line shows the source (i/N), position / duration, paused, speed,
the colour depth (and the tolerance while rate control is raising it), frames
dropped and any note about the sound; it never wraps.

--start T and --end T (seconds, or [hh:]mm:ss) play a part; --loop starts
again at the end. A time past the end is refused, and so are these three with
a still picture. With --record FILE what is shown is recorded into FILE, a new
file (-f to write over one; never over the input): the picture without the
margins, one frame per 33 ms of the time it was on the screen, with pauses and
seeks as they appeared. Needs PyAV and Pillow: pip install 'corvane[video]'.

The colour depth is --colors {auto,24bit,256,16}, auto by default (from
COLORTERM, TERM and tmux). Over a slow link (SSH) or on a terminal without
24-bit colour, frames go through the wire encoder (--tolerance T: 0 exact, to
64; 2 when left out): the terminal's colour depth, cells within
T of what is on screen left alone, fewer bytes, and frames dropped and the
tolerance raised (up to 10) when the link falls behind, so the picture is never
more than a frame late; frames are then decoded ahead on a thread. At 16
colours errors are diffused, so hues stay; --dither also dithers at 256 (it
needs --colors 256 or 16). On a 24-bit terminal without --tolerance, the
exact stream.

--graphics auto (the default) asks the terminal what it draws: kitty graphics,
sixel, iTerm2 pictures, or sextants where known to be drawn; half blocks inside
tmux, into a pipe or when the terminal does not answer within 150 ms. Name a
mode to force it: kitty, sixel, iterm2, half, quadrant, sextant, octant.""",
        """\
examples:
  corvane view clip.mp4 --start 1:30 --end 2:00 --loop
  corvane view photo.jpg
  corvane view --camera 0 --record me.lzdx --duration 10
  corvane view clip.mp4 --tolerance 2            over SSH""",
    ),
    "show": Page(
        "print pictures inline, into the scrollback, like text",
        """\
Print each picture at the cursor as lines of half blocks that scroll like text;
the cursor ends on the line after it and earlier output stays. By default a
picture takes up to the terminal's width with its shape kept, no more lines
than the terminal has, and is never enlarged unless --upscale; --width (at
most the terminal's) and --height set columns and lines (the shape still
kept), --fit how it meets them: contain (all of it), cover (fill, cut the
edges), stretch (fill out of shape) or none (pixel for pixel, cut to fit).
When standard output is no terminal (a pipe, a file) no terminal is needed and
the width is 80 unless --width: `corvane show a.png > a.ans` makes a file that
`cat` shows.

FILE may be a picture, a pattern (quoted or not), a directory (its pictures,
sorted by name), or - for standard input (its format found from the bytes). A
video, an animation or a recording gives its first frame, or the one at --frame
T (seconds or [hh:]mm:ss; past the end is an error). --title prints each name
above its picture (in a grid its base name), cut in the middle to fit; --grid
CxR puts C pictures side by side (a blank column between them), R rows of them
to the terminal's height. From a terminal, - says that it reads standard input
(Ctrl-D ends it). An input that cannot be shown gets one line on standard
error; the others are shown, and the exit status is 1. --colors 256 or 16
prints in the xterm palette or the ANSI colours (the wire encoder's choice,
errors diffused at 16, --dither to dither at 256), auto (the default) as
COLORTERM, TERM and tmux say. --graphics as for view (a grid of kitty, sixel or
iTerm2 pictures is drawn in half blocks). Reading pictures needs Pillow, videos
PyAV: pip install 'corvane[video]'.""",
        """\
examples:
  corvane show photo.jpg
  corvane show --title --grid 4x2 'shots/*.png'
  corvane show --frame 12.5 --width 60 clip.mp4 > frame.ans
  corvane show --colors 256 photo.jpg           on a 256-colour terminal
  curl -s https://example.org/a.png | corvane show -""",
    ),
    "play": Page(
        "play a recording, natively or interactively",
        """\
Show the recording at its pace of one frame per 33 ms, fitted to the terminal
with its shape kept (--stretch to fill, --fit for the other ways), sharpened
with --sharpen S (0 for none, the default, to 3; 1 is strong). q or Esc quits.
The bottom line shows the position / duration, the name and the colour depth.

With -i: the interactive player. Keys (those of corvane view, and more):
  space    pause / play (at the end: from the start)
  Left Right   5 s back / forward;  Down Up  60 s;  Home  the start
  , .      one frame back / forward (and pause)
  [ ]      previous / next key frame
  - +      slower / faster, 1/4 to 4 times
  q Esc    quit
The bottom line shows the state, the frame, the time, the speed and the depth.

A damaged recording plays up to the damage. Without -i the player stops there;
with -i it pauses there with the damage on the bottom line, and ] goes on at
the next intact key frame. Either way the damage is reported at the end
(exit status 1). --colors, --tolerance and --dither as for view.""",
        """\
examples:
  corvane play clip.lzdx --sharpen 0.5
  corvane play -i --paused clip.lzdx""",
    ),
    "info": Page(
        "describe a recording and check that it is intact",
        """\
Show what a recording holds: its frames (key and delta), its frame sizes with
the terminal sizes they were recorded at, its compressed and raw sizes and its
playing time; every frame is decoded to check that the file is intact. For a
damaged file the status gives the record and offset of the damage and what it
is, standard error says it too, and the exit status is 1. With --json a file
that cannot be read, is no recording or holds no frame is answered in JSON too,
with an "error" object.""",
        """\
examples:
  corvane info clip.lzdx
  corvane info --json clip.lzdx""",
    ),
    "export": Page(
        "write a recording's frames as PNG files, an H.264 video or a GIF",
        """\
Write every frame of a recording as a PNG file into the directory OUT (made
when missing, any name; frame-000001.png, frame-000002.png, ...), or as one
video of the first frame's size at the players' rate (or at --fps, the
recording's length kept, frames repeated or left out): H.264
(yuv420p, plays in browsers) when OUT ends in .mp4, .m4v, .mov or .mkv, an
animated GIF at the recording's pace for .gif (needs PyAV and Pillow). --start T
and --end T (seconds or [hh:]mm:ss of the recording, not past its end) export
a part. The file gets the mode of any new file (0666 less the umask). An
existing video file, or a directory that is not empty, is refused unless
--force (which replaces the old frame files). --scale N makes every pixel
N x N. A progress bar goes to standard error when it is a terminal and the
export takes a while. A damaged recording is exported up to the damage, then
reported (exit status 1).""",
        """\
examples:
  corvane export clip.lzdx frames/
  corvane export clip.lzdx clip.mp4 --scale 4
  corvane export clip.lzdx part.gif --start 0:10 --end 0:15""",
    ),
}
