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
Last, `corvane view --graphics kitty` plays the clip as a 60 fps H.264 file in kitty (over shared
memory when kitty reads it): frames shown a second of the clip, the rest dropped.
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
        return b"\x1b[H" + native.kitty_shm_image(frame, WIDTH, HEIGHT, 1, next(names))
    if PROTOCOL == "sixel":
        return b"\x1b[H" + native.sixel(frame, WIDTH, HEIGHT, 256)
    image_id = 1 + i % 2  # the new frame shows before the old one goes: never a blank window
    return b"\x1b[H" + native.kitty_image(frame, WIDTH, HEIGHT, image_id) + native.kitty_delete(2 - i % 2)

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


VIEW = r"""
import io, sys, av
from corvane.cli.commands import main
from xterminal import photo

big = photo(WIDTH + 4 * FRAMES, HEIGHT + 2 * FRAMES)
with av.open("clip.mp4", "w") as out:
    video = out.add_stream("libx264", rate=60)
    video.width, video.height, video.pix_fmt = WIDTH, HEIGHT, "yuv420p"
    for i in range(FRAMES):
        out.mux(video.encode(av.VideoFrame.from_ndarray(big[2 * i:2 * i + HEIGHT, 4 * i:4 * i + WIDTH], "bgr24")))
    out.mux(video.encode(None))
for run in range(RUNS):
    said, sys.stdout = sys.stdout, io.StringIO()  # the summary line; the frames go to the terminal itself
    try:
        main(["view", "--graphics", "kitty", "--mute", "--duration", str(FRAMES / 60), "clip.mp4"])
    finally:
        said, sys.stdout = sys.stdout.getvalue(), said
    shown = int(said.split(": ")[-1].split()[0])
    report.setdefault("view", []).append(shown * 60 / FRAMES)
"""


def view_row(server: XServer, frames: int, runs: int, path: str) -> str:
    """The `view` case's row of the table."""
    script = f"FRAMES, RUNS, WIDTH, HEIGHT = {max(frames, 240)}, {runs}, {WIDTH}, {HEIGHT}\n" + VIEW
    try:
        with Terminal(server, "kitty", script, cols=70, rows=20, env={"PYTHONPATH": path}) as terminal:
            shown = terminal.wait(timeout=1800)["view"]
    except Unavailable as reason:
        return f"| kitty | corvane view | not available: {reason} | | |"
    return f"| kitty | corvane view --graphics kitty | | {statistics.median(shown):.1f} (of 60) | |"


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--frames", type=int, default=120)
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--clip", choices=("photo", "pattern"), default="photo")
    args = parser.parse_args()
    server = XServer()
    rows: List[str] = []
    path = os.pathsep.join([HERE, os.path.abspath(SUPPORT), os.environ.get("PYTHONPATH", "")])
    try:
        for kind, protocol, cols, lines in CASES:
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
        rows.append(view_row(server, args.frames, args.runs, path))
        print(rows[-1], flush=True)
    finally:
        server.close()
    print(f"\n{args.clip} clip, {WIDTH} x {HEIGHT} px, {args.frames} frames, median of {args.runs} runs, frames a second shown\n")
    print("| terminal | protocol | KB a frame | encoded beforehand | encoded frame by frame |")
    print("|---|---|---|---|---|")
    print("\n".join(rows))


if __name__ == "__main__":
    main()
