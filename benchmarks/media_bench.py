"""Benchmarks of corvane.media: decoding with scaling, seek latency, and sound/picture offset.

    .venv/bin/python benchmarks/media_bench.py            # a 60 s 1080p clip, about 3 minutes
    .venv/bin/python benchmarks/media_bench.py --quick    # a 12 s clip

The clip (1920 x 1080, 30 fps, H.264 with a key frame every 2 s, 48 kHz PCM sound) is made here
with PyAV and kept in benchmarks/results/ for the next run. Figures:

- decode + scale: CPU time of the process (FFmpeg's threads included) per frame, decoding every
  frame and converting it to 200 x 112 B, G, R (the 16:9 picture in a 200 x 60 terminal), with
  each of FFmpeg's scalers, against decoding alone and against converting at full size and
  scaling in numpy/OpenCV afterwards (two passes);
- seek: wall time from the key (5 s forward, from random positions, and from just before a key
  frame, the worst case) to the new picture's bytes in hand; target below 250 ms;
- view against timg: ``corvane view --mute`` and ``timg -V`` each play the whole clip in real
  time on a 200 x 60 pty that is drained as a terminal would be; CPU time of the process (all its
  threads) per frame of the clip, and bytes written per frame. Goal: corvane below timg;
- sound/picture offset: the sound played through the paced stand-in device (a null sink that
  takes samples at the track's rate), the pictures paced by :class:`corvane.playback.clock.PlayerClock`
  on the sound's clock; at every picture shown, the heard time less the picture's time; target
  within 45 ms throughout. Also the rate at which the sink took samples.
"""

from __future__ import annotations

import argparse
import json
import os
import random
import shutil
import statistics
import sys
import time
from fractions import Fraction
from typing import Dict, List, Optional, Tuple

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "support"))

import av  # noqa: E402
import numpy as np

from corvane.playback.clock import PlayerClock
from corvane.geometry import resize
from corvane.media import open_media, video
from corvane.media.sound import PacedSink, SoundPlayer
from pty_session import run_on_pty

RESULTS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "results")
SIZE = (200, 112)


def make_clip(path: str, seconds: int) -> None:
    """A moving texture with four travelling discs, and a 440 Hz tone."""
    rate, fps, (width, height) = 48000, 30, (1920, 1080)
    yy, xx = np.mgrid[0:height, 0:width * 2]
    texture = np.stack([(xx * 3 + yy) % 256, (xx ^ yy) % 256, (yy * 2) % 256], axis=2).astype(np.uint8)
    with av.open(path + ".part", "w", format="matroska") as out:
        picture = out.add_stream("libx264", rate=fps, options={"g": str(2 * fps), "preset": "veryfast"})
        picture.width, picture.height, picture.pix_fmt = width, height, "yuv420p"
        sound = out.add_stream("pcm_s16le", rate=rate, layout="stereo")
        for index in range(seconds * fps):
            shift = (index * 13) % width
            image = np.ascontiguousarray(texture[:, shift : shift + width])
            for disc in range(4):
                cx = (index * (7 + 5 * disc) + 400 * disc) % width
                image[max(0, 440 - 150) : 440 + 150, max(0, cx - 150) : cx + 150] = (60 * disc, 255, 255 - 60 * disc)
            frame = av.VideoFrame.from_ndarray(image, format="bgr24")
            frame.pts = index
            out.mux(picture.encode(frame))
            first = index * rate // fps
            count = (index + 1) * rate // fps - first
            tone = (np.sin(2 * np.pi * 440 * (first + np.arange(count)) / rate) * 6000).astype(np.int16)
            chunk = av.AudioFrame.from_ndarray(np.repeat(tone, 2)[None, :], format="s16", layout="stereo")
            chunk.sample_rate, chunk.pts, chunk.time_base = rate, first, Fraction(1, rate)
            out.mux(sound.encode(chunk))
        out.mux(picture.encode(None))
        out.mux(sound.encode(None))
    os.replace(path + ".part", path)


def decode_cost(path: str, frames: int) -> dict:
    """CPU ms per frame of each way of getting the frames at the drawing size."""
    results = {}

    def run(label: str, convert) -> None:
        with av.open(path) as container:
            stream = container.streams.video[0]
            stream.thread_type = "AUTO"
            cpu, wall, count = time.process_time(), time.perf_counter(), 0
            for frame in container.decode(stream):
                convert(frame)
                count += 1
                if count == frames:
                    break
            results[label] = {
                "cpu_ms": 1000 * (time.process_time() - cpu) / count,
                "wall_ms": 1000 * (time.perf_counter() - wall) / count,
            }

    run("decode only", lambda frame: None)
    for method in ("AREA", "BILINEAR", "FAST_BILINEAR", "BICUBIC"):
        run(f"decode + {method} to {SIZE[0]}x{SIZE[1]} BGR",
            lambda frame, m=method: frame.to_ndarray(width=SIZE[0], height=SIZE[1], format="bgr24", interpolation=m))
    run("decode + full-size BGR + resize (two passes)",
        lambda frame: resize(frame.to_ndarray(format="bgr24"), *SIZE))
    with open_media(path) as media:  # the reader itself, as the player uses it
        media.set_output_size(*SIZE)
        cpu, wall = time.process_time(), time.perf_counter()
        for _ in range(frames):
            media.read()
        results[f"corvane.media reader (area x{video.STEPS[0]}, then native area)"] = {
            "cpu_ms": 1000 * (time.process_time() - cpu) / frames,
            "wall_ms": 1000 * (time.perf_counter() - wall) / frames,
        }
    return results


def deblocking_psnr(path: str) -> dict:
    """PSNR at the drawing size of the frames decoded as ``view`` decodes them (the deblocking of
    unreferenced frames skipped, as the picture is shrunk 4x or more) against a full decode:
    per 2 s key-frame interval, the worst, and over the whole clip (mean squared error pooled)."""
    drawn = lambda size: SIZE  # noqa: E731 (the 16:9 clip's size at 200 x 60 either way round)
    with open_media(path) as full, open_media(path, drawn_size=drawn) as skipped:
        full.set_output_size(*SIZE)
        skipped.set_output_size(*SIZE)
        errors = [float(np.mean((a.image.astype(np.float64) - b.image) ** 2)) for a, b in zip(full, skipped)]
    db = lambda mse: 10 * np.log10(255 ** 2 / mse) if mse > 0 else float("inf")  # noqa: E731
    intervals = [db(statistics.mean(errors[at : at + 60])) for at in range(0, len(errors), 60)]
    return {"frames": len(errors), "per key-frame interval, dB": intervals, "worst interval, dB": min(intervals),
            "whole clip, dB": db(statistics.mean(errors))}


def seek_latency(path: str, trials: int) -> dict:
    """Milliseconds from a seek 5 s ahead to the new picture at the drawing size."""
    random.seed(7)
    with open_media(path) as media:
        media.set_output_size(*SIZE)
        duration = media.duration or 0.0
        random_ms, worst_ms = [], []
        for trial in range(trials):
            for targets, where in ((random_ms, random.uniform(0, duration - 6)),
                                   (worst_ms, 2 * random.randrange(int(duration / 2) - 3) + 1.98)):
                media.seek(where)
                start = time.perf_counter()
                frame = media.seek(where + 5.0)
                assert frame is not None and frame.image.nbytes == SIZE[0] * SIZE[1] * 3
                targets.append(1000 * (time.perf_counter() - start))
    summary = {}
    for label, values in (("random position", random_ms), ("1.98 s after a key frame", worst_ms)):
        values.sort()
        summary[label] = {"median_ms": statistics.median(values), "p90_ms": values[int(0.9 * len(values))],
                          "max_ms": values[-1], "count": len(values)}
    return summary


def av_offset(path: str) -> dict:
    """Play the clip in real time, pictures following the sound; offsets at every picture shown."""
    sinks = []

    def sink(rate: int, channels: int) -> PacedSink:
        sinks.append(PacedSink(rate, channels))
        return sinks[-1]

    offsets, shown = [], 0
    with open_media(path) as media:
        media.set_output_size(*SIZE)
        sound = SoundPlayer(path, sink=sink)
        clock = PlayerClock(media.duration, audio=sound)
        began = time.monotonic()
        frame = media.read()
        try:
            while frame is not None:
                verdict, wait = clock.decide(frame.time)
                if verdict == "wait":
                    time.sleep(min(wait, 0.05))
                    continue
                if verdict == "show":
                    heard = sound.clock()
                    if heard is not None:
                        offsets.append(heard - frame.time)
                    shown += 1
                frame = media.read()
        finally:
            elapsed = time.monotonic() - began
            sound.close()
    taken = sinks[0].written / sound.rate
    magnitudes = sorted(abs(o) for o in offsets)
    return {
        "pictures shown": shown, "dropped": clock.dropped, "samples": len(offsets),
        "max_abs_ms": 1000 * magnitudes[-1], "p99_abs_ms": 1000 * magnitudes[int(0.99 * len(magnitudes))],
        "mean_ms": 1000 * statistics.mean(offsets),
        "sound taken, s": taken, "elapsed, s": elapsed,
        "rate taken / rate due": taken / max(elapsed, 1e-9),
    }


def view_cost(path: str, frames: int, cols: int = 200, rows: int = 60, runs: int = 5,
              extra: Optional[Dict[str, Tuple[List[str], Dict[str, str]]]] = None) -> dict:
    """CPU ms per frame of the clip for ``corvane view`` and timg playing it on a pty: ``runs``
    runs of each, interleaved, medians (``extra``: more players, label -> argv and environment)."""
    # The last picture stays on show at the end until a key: --duration ends the run a second later.
    players = {"corvane view": ([sys.executable, "-m", "corvane", "view", "--mute",
                                 "--duration", str(frames / 30 + 1), path], {})}
    if shutil.which("timg"):
        players["timg -V"] = (["timg", "-V", "-bnone", f"-g{cols}x{rows - 1}", "-ph", path], {})
    players.update(extra or {})
    figures: Dict[str, Dict[str, List[float]]] = {label: {"cpu_ms": [], "wall_s": [], "kb_per_frame": []}
                                                 for label in players}
    for _ in range(runs):
        for label, (argv, env) in players.items():
            run = run_on_pty(argv, cols, rows, "pty", env={**os.environ, **env} if env else None)
            if run.returncode != 0:
                print(f"{label} failed: {run.stderr[-300:]}", file=sys.stderr)
                continue
            for key, value in (("cpu_ms", 1000 * run.cpu_s / frames), ("wall_s", run.wall_s),
                               ("kb_per_frame", run.drained / frames / 1000)):
                figures[label][key].append(value)
    return {label: {**{key: statistics.median(values) for key, values in runs_of.items()},
                    "runs": runs_of["cpu_ms"]}
            for label, runs_of in figures.items() if runs_of["cpu_ms"]}


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="a 12 s clip, fewer trials")
    parser.add_argument("--view-only", action="store_true", help="only corvane view against timg")
    parser.add_argument("--runs", type=int, default=5, help="runs of each player for the view figures")
    args = parser.parse_args()
    seconds = 12 if args.quick else 60
    os.makedirs(RESULTS, exist_ok=True)
    clip = os.path.join(RESULTS, f"media-1080p-{seconds}s.mkv")
    if not os.path.exists(clip):
        print(f"making {clip} ...", file=sys.stderr)
        make_clip(clip, seconds)
    report = {"python": sys.version.split()[0], "av": av.__version__, "cores": os.cpu_count(),
              "view": view_cost(clip, seconds * 30, runs=args.runs), "deblocking": deblocking_psnr(clip)}
    if not args.view_only:
        report.update({
            "decode_scale": decode_cost(clip, 150 if args.quick else 300),
            "seek": seek_latency(clip, 5 if args.quick else 20),
            "av_offset": av_offset(clip),
        })
    name = os.path.join(RESULTS, f"media-{'view' if args.view_only else 'quick' if args.quick else 'full'}-{time.strftime('%Y%m%d-%H%M%S')}.json")
    with open(name, "w") as out:
        json.dump(report, out, indent=1)
    print(f"| Case | Figure |\n|---|---|")
    for label, figures in report["view"].items():
        print(f"| {label}, 1080p H.264 at 200x60 on a pty | {figures['cpu_ms']:.2f} ms CPU per frame, "
              f"{figures['kb_per_frame']:.1f} KB per frame, {figures['wall_s']:.1f} s wall |")
    unseen = report["deblocking"]
    print(f"| view's decode (deblocking of unreferenced frames skipped) against a full one at {SIZE[0]}x{SIZE[1]} | "
          f"{unseen['whole clip, dB']:.1f} dB over {unseen['frames']} frames, worst 2 s interval "
          f"{unseen['worst interval, dB']:.1f} dB (goal: 40 dB or more) |")
    if args.view_only:
        return
    for label, figures in report["decode_scale"].items():
        print(f"| {label} | {figures['cpu_ms']:.2f} ms CPU, {figures['wall_ms']:.2f} ms wall per frame |")
    for label, figures in report["seek"].items():
        verdict = "ok" if figures["max_ms"] < 250 else "over 250 ms"
        print(f"| seek +5 s from {label} | median {figures['median_ms']:.0f} ms, p90 {figures['p90_ms']:.0f} ms, "
              f"max {figures['max_ms']:.0f} ms ({verdict}) |")
    sync = report["av_offset"]
    verdict = "ok" if sync["max_abs_ms"] <= 45 else "over 45 ms"
    print(f"| sound/picture offset over {seconds} s | max {sync['max_abs_ms']:.1f} ms, p99 {sync['p99_abs_ms']:.1f} ms, "
          f"mean {sync['mean_ms']:.1f} ms, {sync['pictures shown']} shown, {sync['dropped']} dropped ({verdict}) |")
    print(f"| sound taken by the null sink | {sync['sound taken, s']:.3f} s in {sync['elapsed, s']:.3f} s "
          f"({sync['rate taken / rate due']:.4f} of the rate, the device's 0.1 s buffer included) |")
    print(f"raw figures: {name}", file=sys.stderr)


if __name__ == "__main__":
    main()
