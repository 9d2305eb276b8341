"""Frames a second that real terminals show: a 600 x 348 clip in pixels (`make bench-terminals`).

    python benchmarks/terminals_bench.py                # 120 frames, 3 runs a case
    python benchmarks/terminals_bench.py --frames 48 --runs 1

Each terminal runs under one Xvfb (tests/support/xterminal.py) a script that writes the clip
frame by frame at the top left and, after each frame, asks for Primary DA and waits for the
answer before the next: a terminal answers only once it has taken in everything before the
question, so what is counted is frames the terminal has processed, not frames written.
The clip ("photo", the default) pans over tests/support/xterminal.py's photo-like picture by
(4, 2) pixels a frame; `--clip pattern` takes benchmarks/clip.py's test pattern (fine coloured
stripes, far busier than a film) shrunk by area to 600 x 348.

Cases: kitty over direct transfer (zlib + base64 in 4096-byte chunks) with two image ids in turn
(show the new frame, then delete the old one), kitty over shared memory (each frame an object
of its own that kitty reads and removes, one image id replaced in place), and sixel (256 adaptive colours) in xterm -ti vt340
and mlterm. For each, two figures: the frames encoded beforehand (the terminal's own rate), and
each frame encoded right before it is written (one thread doing what a player does).

Then the command itself: `corvane view --mute --graphics MODE --fit none` of the photo clip as an
H.264 file (made with PyAV, 5 s), run inside the same terminals sized so the grid holds
600 x 348 px: at 30 fps for sixel and for kitty over direct transfer (`SSH_CONNECTION` set, so
kitty is not offered shared memory), at 90 fps for kitty over shared memory. The figure is the
frames the command drew (its own "N frames shown" count) over the clip's length, the terminal
synced after it (the command stops 2 s after the clip's end, where it pauses). The player drops
frames that come too late, so this is what a viewer sees: at most the clip's rate.
"""

from __future__ import annotations

import argparse
import os
import statistics
import sys
from typing import Dict, List

HERE = os.path.dirname(os.path.abspath(__file__))
SUPPORT = os.path.join(HERE, "..", "tests", "support")
sys.path[:0] = [HERE, SUPPORT]

from xterminal import Terminal, Unavailable, XServer  # noqa: E402

WIDTH, HEIGHT = 600, 348
CASES = [("kitty", "kitty", 70, 20), ("kitty", "kitty-shm", 70, 20), ("xterm-vt340", "sixel", 102, 30), ("mlterm", "sixel", 62, 18)]
# The terminal sizes whose grid (the last line is the status line's) holds the clip whole, the
# clip's rate and the environment.
VIEW_CASES = [("kitty", "kitty", 67, 19, 30, {"SSH_CONNECTION": "10.0.0.1 22 10.0.0.2 22"}),
              ("kitty", "kitty", 67, 19, 90, {}), ("xterm-vt340", "sixel", 100, 28, 30, {}),
              ("mlterm", "sixel", 60, 17, 30, {})]
VIEW_SECONDS = 5

SCRIPT = r"""
import itertools, os, sys, time
import numpy as np
import corvane._native as native
from clip import Clip
from xterminal import photo

out = sys.stdout.buffer
if CLIP == "pattern":
    frames = [native.scale(f.tobytes(), 1920, 1080, WIDTH, HEIGHT) for f in Clip(FRAMES).frames()]
else:
    big = photo(WIDTH + 4 * FRAMES, HEIGHT + 2 * FRAMES)
    frames = [big[2 * i:2 * i + HEIGHT, 4 * i:4 * i + WIDTH].tobytes() for i in range(FRAMES)]

def encode(i, frame):
    if PROTOCOL == "kitty-shm":
        return b"\x1b[H" + native.kitty_shm_image(frame, WIDTH, HEIGHT, 1, next(names), False)
    if PROTOCOL == "sixel":
        return b"\x1b[H" + native.sixel(frame, WIDTH, HEIGHT, 256)
    image_id = 1 + i % 2  # the new frame shows before the old one goes: never a blank window
    return b"\x1b[H" + native.kitty_image(frame, WIDTH, HEIGHT, image_id, False) + native.kitty_delete(2 - i % 2)

names = ("/corvane-bench-%d-%d" % (os.getpid(), n) for n in itertools.count())
out.write(b"\x1b[?25l\x1b[2J")
sync()
prebuilt = [encode(i, f) for i, f in enumerate(frames)]
report["KB"] = sum(map(len, prebuilt)) / len(prebuilt) / 1000
for run in range(RUNS):
    for kind in ("prebuilt", "encoded"):
        if kind == "prebuilt" and run and PROTOCOL == "kitty-shm":  # kitty removed the objects it read
            prebuilt = [encode(i, f) for i, f in enumerate(frames)]
        began = time.perf_counter()
        for i, frame in enumerate(frames):
            out.write(prebuilt[i] if kind == "prebuilt" else encode(i, frame))
            sync()
        report.setdefault(kind, []).append(len(frames) / (time.perf_counter() - began))
if PROTOCOL != "sixel":
    out.write(native.kitty_delete(1) + native.kitty_delete(2))
out.flush()
"""


VIEW_SCRIPT = r"""
import contextlib, io, re, time
from corvane.cli.commands import main

said = io.StringIO()
sync()
for run in range(RUNS):
    began = time.perf_counter()
    with contextlib.redirect_stdout(said):  # the frames go to descriptor 1, the summary here
        status = main(["view", "--mute", "--graphics", PROTOCOL, "--fit", "none", "--duration", SECONDS, CLIP])
    sync()
    report.setdefault("seconds", []).append(time.perf_counter() - began)
    shown = re.findall(r"(\d+) frames? shown(?:, (\d+) dropped)?", said.getvalue())[-1]
    report.setdefault("shown", []).append(int(shown[0]))
    report.setdefault("dropped", []).append(int(shown[1] or 0))
"""


def write_clip(path: str, fps: int) -> None:
    """The photo clip as an H.264 file at ``fps``: the pan of the stream cases, VIEW_SECONDS long."""
    import av
    from xterminal import photo

    frames = VIEW_SECONDS * fps
    big = photo(WIDTH + 4 * frames, HEIGHT + 2 * frames)
    with av.open(path, "w") as out:
        video = out.add_stream("libx264", rate=fps, options={"crf": "18"})
        video.width, video.height, video.pix_fmt = WIDTH, HEIGHT, "yuv420p"
        for i in range(frames):
            frame = av.VideoFrame.from_ndarray(big[2 * i:2 * i + HEIGHT, 4 * i:4 * i + WIDTH], "bgr24")
            out.mux(video.encode(frame))
        out.mux(video.encode(None))


def view_rows(server: XServer, runs: int) -> None:
    """`corvane view` of the clip in each terminal: frames drawn a second of the clip."""
    import tempfile

    rows: List[str] = []
    with tempfile.TemporaryDirectory() as tmp:
        clips = {}
        for fps in sorted({case[4] for case in VIEW_CASES}):
            clips[fps] = os.path.join(tmp, f"clip{fps}.mp4")
            write_clip(clips[fps], fps)
        for kind, protocol, cols, lines, fps, env in VIEW_CASES:
            clip = clips[fps]
            # At the end the last frame stays, paused: the run ends a while after it.
            seconds = str(VIEW_SECONDS + 2)
            script = f"RUNS, PROTOCOL, CLIP, SECONDS = {runs}, {protocol!r}, {clip!r}, {seconds!r}\n" + VIEW_SCRIPT
            try:
                with Terminal(server, kind, script, cols=cols, rows=lines, env=env) as terminal:
                    report: Dict[str, List[float]] = terminal.wait(timeout=60 + 30 * runs)
            except Unavailable as reason:
                rows.append(f"| {kind} | {protocol} | {fps} | not available: {reason} | |")
                continue
            if "error" in report:
                raise RuntimeError(report["error"])
            rates = [shown / VIEW_SECONDS for shown in report["shown"]]
            how = protocol + (" (ssh)" if env else "")
            rows.append(f"| {kind} | {how} | {fps} | {statistics.median(rates):.1f} ({min(rates):.1f}-{max(rates):.1f}) | "
                        f"{statistics.median(report['dropped']):.0f} |")
            print(rows[-1], flush=True)
    print(f"\ncorvane view of a {WIDTH} x {HEIGHT} px clip, {VIEW_SECONDS} s, median (range) of {runs} runs\n")
    print("| terminal | graphics | clip fps | frames a second shown | dropped |")
    print("|---|---|---|---|---|")
    print("\n".join(rows) + "\n", flush=True)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--frames", type=int, default=120)
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--clip", choices=("photo", "pattern"), default="photo")
    parser.add_argument("--part", choices=("all", "stream", "view"), default="all",
                        help="the pre-built streams, the view command, or both")
    args = parser.parse_args()
    server = XServer()
    rows: List[str] = []
    path = os.pathsep.join([HERE, os.path.abspath(SUPPORT), os.environ.get("PYTHONPATH", "")])
    try:
        if args.part != "stream":
            view_rows(server, args.runs)
        for kind, protocol, cols, lines in CASES if args.part != "view" else []:
            script = f"FRAMES, RUNS, WIDTH, HEIGHT, PROTOCOL, CLIP = {args.frames}, {args.runs}, {WIDTH}, " \
                     f"{HEIGHT}, {protocol!r}, {args.clip!r}\n" + SCRIPT
            try:
                with Terminal(server, kind, script, cols=cols, rows=lines, env={"PYTHONPATH": path}) as terminal:
                    report: Dict[str, List[float]] = terminal.wait(timeout=1800)
            except Unavailable as reason:
                rows.append(f"| {kind} | {protocol} | not available: {reason} | | |")
                continue
            spread = {k: (max(v) - min(v)) / statistics.median(v) for k, v in report.items() if k != "KB"}
            rows.append(f"| {kind} | {protocol} | {report['KB']:.0f} | {statistics.median(report['prebuilt']):.1f} "
                        f"(±{50 * spread['prebuilt']:.0f} %) | {statistics.median(report['encoded']):.1f} "
                        f"(±{50 * spread['encoded']:.0f} %) |")
            print(rows[-1], flush=True)
    finally:
        server.close()
    if not rows:
        return
    print(f"\n{args.clip} clip, {WIDTH} x {HEIGHT} px, {args.frames} frames, median of {args.runs} runs, frames a second shown\n")
    print("| terminal | protocol | KB a frame | encoded beforehand | encoded frame by frame |")
    print("|---|---|---|---|---|")
    print("\n".join(rows))


if __name__ == "__main__":
    main()
