"""The wire encoder against the exact stream, side by side in one run.

    python benchmarks/wire_bench.py [--seconds 10] [--rate 2000000] [--tolerance 3]

For each clip (a camera-like one: a still picture at 1080p, Gaussian sensor noise of sigma 4 per
frame and one moving disc; and the moving-gradient clip of clip.py) the frames are first scaled
to the 200 x 60 display grid (as a decoder running ahead would have them), then a child on a pty
of 200 x 60 shows them at 30 fps, dropping frames when it falls behind, through the exact stream
(`Corvane.render`) or the wire (`corvane.display.wire.Wire`). The parent is the "link": it drains the
pty at a fixed rate, keeps every byte, and afterwards parses the stream into cells to measure
the PSNR of what the terminal held after each frame against that frame. Also: encoder CPU per
frame against `Corvane.render` on display-sized frames (/dev/null), and a tmux pane's fps for the
wire stream against `cat` of the same bytes.
"""

from __future__ import annotations

import argparse
import json
import math
import os
import re
import shlex
import shutil
import subprocess
import sys
import tempfile
import time
from typing import Dict, Iterator, List, Tuple

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "support"))

from pty_session import Tmux, run_on_pty  # noqa: E402
COLS, ROWS = 200, 60
GRID_W, GRID_H = COLS, 2 * ROWS - 2
FPS = 30.0


def camera_frames(n: int) -> Iterator[np.ndarray]:
    """The camera-like clip at 1080p: a smooth still with texture, noise, a moving disc."""
    y, x = np.mgrid[0:1080, 0:1920].astype(np.float32)
    still = np.stack([128 + 100 * np.sin(x / 300 + y / 500), 120 + 90 * np.cos(y / 210),
                      110 + 80 * np.sin((x + y) / 170) * np.cos(x / 90)], -1)
    still += (20 * np.sin(x / 7) * np.sin(y / 9))[..., None]  # fine texture
    rng = np.random.default_rng(1)
    for i in range(n):
        frame = still + rng.standard_normal(still.shape, dtype=np.float32) * 4
        cx, cy = 200 + 40 * i % 1500, 540 + int(300 * math.sin(i / 15))
        frame[(x - cx) ** 2 + (y - cy) ** 2 <= 120 ** 2] = (40, 200, 250)
        yield np.clip(frame, 0, 255).astype(np.uint8)


def camera_clip(n: int) -> np.ndarray:
    """Canvases of the camera-like clip, scaled to the display grid."""
    from corvane.geometry import letterbox

    return np.stack([letterbox(frame, GRID_W, GRID_H) for frame in camera_frames(n)])


def camera_video(path: str, n: int) -> None:
    """The camera-like clip as a 1080p H.264 file at 30 fps, for `corvane view`."""
    import av

    with av.open(path, "w") as out:
        stream = out.add_stream("libx264", rate=int(FPS))
        stream.width, stream.height, stream.pix_fmt = 1920, 1080, "yuv420p"
        stream.options = {"preset": "ultrafast", "crf": "20"}
        for frame in camera_frames(n):
            out.mux(stream.encode(av.VideoFrame.from_ndarray(frame[:, :, ::-1].copy(), format="rgb24")))
        out.mux(stream.encode(None))


def view_case(path: str, n: int, wire: List[str], rate: float) -> Dict[str, object]:
    """`corvane view` of the clip on the 200 x 60 pty through the link: frames shown of `n`."""
    argv = [sys.executable, "-m", "corvane", "view", path, "--mute"] + wire
    stream, seconds = run_link(argv, rate)
    found = re.search(rb"(\d+) frames? shown(?:, (\d+) dropped)?", stream[-400:])
    shown = int(found.group(1)) if found else 0
    if wire:  # what went out, whatever the player counted: one synchronized update a frame
        shown = stream.count(b"\x1b[?2026h")
    return {"clip": "camera 1080p", "stream": "view " + (" ".join(wire) or "exact"), "frames": shown,
            "of": n, "fps": shown / (n / FPS), "seconds": seconds}


def gradient_clip(n: int) -> np.ndarray:
    sys.path.insert(0, HERE)
    from clip import Clip
    from corvane.geometry import letterbox

    clip = Clip(n)
    return np.stack([letterbox(clip.frame(i), GRID_W, GRID_H) for i in range(n)])


def child(mode: str, frames_path: str, report: str, colors: str, tolerance: int) -> None:
    """Show the canvases at 30 fps, dropping the ones it is late for; report what it drew."""
    frames = np.load(frames_path, mmap_mode="r")
    drawn: List[int] = []
    if mode == "exact":
        from _corvane import Corvane

        corvane = Corvane()

        def draw(c: np.ndarray) -> bool:
            corvane.render(np.ascontiguousarray(c).reshape(-1), GRID_W, GRID_H)
            return True
    else:
        from corvane.display.wire import Wire

        import corvane.display.wire

        corvane.display.wire.RATE_CEILING = int(os.environ.get("WIRE_CEILING", corvane.display.wire.RATE_CEILING))
        wire = Wire(colors, tolerance)

        def draw(c: np.ndarray) -> bool:
            return wire.draw(np.ascontiguousarray(c)) and wire.last_bytes > 0

    start = time.monotonic()
    for i in range(len(frames)):
        due = start + i / FPS
        now = time.monotonic()
        if now < due:
            time.sleep(due - now)
        elif now > due + 1 / FPS:
            continue
        if draw(frames[i]):
            drawn.append(i)
    if mode != "exact":
        wire.link.drain()
    json.dump({"drawn": drawn, "seconds": time.monotonic() - start,
               "tolerance": None if mode == "exact" else wire.current}, open(report, "w"))


def run_link(argv: List[str], rate: float) -> Tuple[bytes, float]:
    """Run `argv` on a 200 x 60 pty whose other end takes `rate` bytes a second; all it got, and the seconds."""
    run = run_on_pty(argv, COLS, ROWS, "pty", rate=rate, keep=True)
    return run.output, run.wall_s


TOKEN = re.compile(rb"\x1b\[([?0-9;]*)([A-Za-z])|\r|\n|\xe2\x96(?:\x80|\x84|\x88)|(.)", re.S)


def psnr_of_stream(stream: bytes, frames: np.ndarray, drawn: List[int]) -> List[float]:
    """Replay `stream` on a cell grid; at the end of each frame (its SGR 0), the PSNR of the grid
    against the frame drawn. 24-bit colours only (38;2 / 48;2)."""
    from_rgb = lambda p: (p[0], p[1], p[2])  # noqa: E731
    up = [(0, 0, 0)] * (GRID_W * (GRID_H // 2))
    low = list(up)
    x = y = 0
    fg = bg = (0, 0, 0)
    out: List[float] = []
    for m in TOKEN.finditer(stream):
        tok = m.group(0)
        final = m.group(2)
        if final is not None:
            params = m.group(1)
            if final == b"m":
                if params in (b"0", b""):
                    if len(out) < len(drawn):
                        shown = np.array([up, low], np.float64).transpose(1, 0, 2)  # cells, half, rgb
                        shown = shown.reshape(GRID_H // 2, GRID_W, 2, 3).transpose(0, 2, 1, 3).reshape(GRID_H, GRID_W, 3)
                        want = frames[drawn[len(out)]][:, :, ::-1].astype(np.float64)
                        mse = float(np.mean((shown - want) ** 2))
                        out.append(99.0 if mse == 0 else 10 * math.log10(255 ** 2 / mse))
                    continue
                p = [int(v) for v in params.split(b";")]
                i = 0
                while i < len(p):
                    if p[i] in (38, 48) and p[i + 1] == 2:
                        if p[i] == 38:
                            fg = from_rgb(p[i + 2:i + 5])
                        else:
                            bg = from_rgb(p[i + 2:i + 5])
                        i += 5
                    else:
                        i += 1
            elif final == b"H":
                if params and b"?" not in params:
                    r, c = params.split(b";")
                    y, x = int(r) - 1, int(c) - 1
                elif not params:
                    y = x = 0
            elif final == b"C":
                x += int(params or 1)
            continue
        if tok == b"\r":
            x = 0
        elif tok == b"\n":
            y += 1
        elif y < GRID_H // 2 and x < GRID_W and (tok == b" " or tok.startswith(b"\xe2")):
            i = y * GRID_W + x
            up[i], low[i] = {b" ": (bg, bg), b"\xe2\x96\x80": (fg, bg), b"\xe2\x96\x84": (bg, fg),
                             b"\xe2\x96\x88": (fg, fg)}[tok]
            x += 1
    return out


def link_case(name: str, frames_path: str, frames: np.ndarray, mode: str, args: argparse.Namespace,
              tmp: str) -> Dict[str, object]:
    report = os.path.join(tmp, f"{name}-{mode}.json")
    argv = [sys.executable, os.path.abspath(__file__), "--child", mode, frames_path, report,
            args.colors, str(args.tolerance)]
    stream, _ = run_link(argv, args.rate)
    info = json.load(open(report))
    psnr = psnr_of_stream(stream, frames, info["drawn"])
    return {"clip": name, "stream": mode, "frames": len(info["drawn"]), "of": len(frames),
            "fps": len(info["drawn"]) / info["seconds"], "KB/frame": len(stream) / 1000 / max(1, len(info["drawn"])),
            "PSNR mean": float(np.mean(psnr)) if psnr else float("nan"),
            "PSNR min": float(np.min(psnr)) if psnr else float("nan"), "end tolerance": info["tolerance"]}


def cpu_case(frames: np.ndarray) -> Dict[str, float]:
    """Process CPU per display-sized frame: Corvane.render vs the wire encoder at 24-bit, T = 0,
    both on /dev/null; the median of 5 interleaved passes."""
    from _corvane import Corvane
    from corvane._native import Encoder

    null = os.open(os.devnull, os.O_WRONLY)
    saved = os.dup(1)
    os.dup2(null, 1)
    flat = [np.ascontiguousarray(f).reshape(-1) for f in frames]
    exact, wire = [], []
    try:
        corvane, encoder = Corvane(), Encoder(24, 0, False)
        for _ in range(5):
            t = time.process_time()
            for f in flat:
                corvane.render(f, GRID_W, GRID_H)
            exact.append((time.process_time() - t) / len(flat))
            t = time.process_time()
            for f in flat:
                os.write(1, encoder.encode(f, GRID_W, GRID_H))
            wire.append((time.process_time() - t) / len(flat))
    finally:
        os.dup2(saved, 1)
    return {"render ms": 1000 * float(np.median(exact)), "wire ms": 1000 * float(np.median(wire))}


TIMED = ("import subprocess, sys, time; t = time.monotonic(); subprocess.run(sys.argv[2:]); "
         "open(sys.argv[1], 'w').write(str(time.monotonic() - t))")


def tmux_child(frames_path: str, report: str, tolerance: int, fed: bool) -> None:
    """In the pane: every frame through the wire as fast as the pane takes them, none dropped:
    each drawn once the link has taken the last (as `view` does), or, `fed`, encoded and queued
    at once so the writer thread never waits for the encoder."""
    from corvane.display.wire import Wire

    frames = np.load(frames_path)
    wire = Wire("24bit", tolerance)
    began = time.monotonic()
    for canvas in frames:
        if fed:
            wire.link.send(wire.encoder.encode(canvas.reshape(-1), GRID_W, GRID_H), frame=True)
            continue
        wire.link.idle(60.0)
        wire.draw(canvas)
    wire.link.drain()
    open(report, "w").write(str(time.monotonic() - began))


def in_tmux(argv: List[str], report: str) -> float:
    """Seconds `argv` took in a 200 x 60 tmux pane (it writes them into `report`)."""
    command = " ".join(shlex.quote(a) for a in argv) + "; sleep 30"
    with Tmux(f"wire-bench-{os.path.basename(report)}", command, COLS, ROWS):
        deadline = time.monotonic() + 300
        while not os.path.exists(report) and time.monotonic() < deadline:
            time.sleep(0.05)
        time.sleep(0.1)
        return float(open(report).read() or "nan")


def tmux_case(name: str, frames: np.ndarray, tolerance: int, tmp: str) -> Dict[str, object]:
    """Frames a second into a tmux pane: the wire's writer against `cat` of its very bytes, and
    timg (the clip as H.264 at 1000 fps, so it never waits) and chafa (the frames as PNGs)."""
    from corvane._native import Encoder

    frames_path = os.path.join(tmp, "tmux.npy")
    np.save(frames_path, frames)
    encoder = Encoder(24, tolerance, False)
    stream = os.path.join(tmp, "tmux.stream")
    with open(stream, "wb") as out:
        for canvas in frames:
            out.write(encoder.encode(np.ascontiguousarray(canvas).reshape(-1), GRID_W, GRID_H))
    child = [sys.executable, os.path.abspath(__file__), "--tmux-child", frames_path, "%s", str(tolerance)]
    runs = {"wire": child + ["waits"], "wire fed": child + ["fed"],
            "cat": [sys.executable, "-c", TIMED, "%s", "cat", stream]}
    if shutil.which("timg"):
        video = os.path.join(tmp, "tmux.mp4")
        grid_video(video, frames)
        runs["timg"] = [sys.executable, "-c", TIMED, "%s", "timg", "-bnone", f"-g{COLS}x{ROWS - 1}", "-ph", "-V", video]
    if shutil.which("chafa"):
        from PIL import Image

        pngs = []
        for i, canvas in enumerate(frames):
            pngs.append(os.path.join(tmp, f"tmux{i:04d}.png"))
            Image.fromarray(canvas[:, :, ::-1].copy()).save(pngs[-1], compress_level=0)
        runs["chafa"] = [sys.executable, "-c", TIMED, "%s", "chafa", "-f", "symbols", "-c", "full", "--symbols",
                         "vhalf", "--stretch", "-s", f"{COLS}x{ROWS - 1}", "--animate", "off"] + pngs
    fps = {}
    for tool, argv in runs.items():
        report = os.path.join(tmp, f"tmux-{tool.replace(' ', '-')}.txt")
        fps[tool] = len(frames) / in_tmux([report if a == "%s" else a for a in argv], report)
    row: Dict[str, object] = {"clip": name, "tmux fps": fps, "wire / cat": fps["wire"] / fps["cat"],
                              "wire fed / cat": fps["wire fed"] / fps["cat"]}
    for peer in ("timg", "chafa"):
        if peer in fps:
            row[f"wire / {peer}"] = fps["wire"] / fps[peer]
    return row


def grid_video(path: str, frames: np.ndarray) -> None:
    """Display-sized frames as an H.264 file at 1000 frames a second."""
    from fractions import Fraction

    import av

    with av.open(path, "w") as out:
        stream = out.add_stream("libx264", rate=1000, options={"preset": "veryfast"})
        stream.width, stream.height, stream.pix_fmt = GRID_W, GRID_H, "yuv420p"
        stream.codec_context.time_base = Fraction(1, 1000)
        for index, canvas in enumerate(frames):
            frame = av.VideoFrame.from_ndarray(np.ascontiguousarray(canvas), format="bgr24")
            frame.pts, frame.time_base = index, Fraction(1, 1000)
            out.mux(stream.encode(frame))
        out.mux(stream.encode(None))


def main() -> None:
    if len(sys.argv) > 1 and sys.argv[1] == "--cpu":  # on the 200 x 60 pty, so render sees that size
        frames = np.load(sys.argv[2])
        json.dump(cpu_case(frames), open(sys.argv[3], "w"))
        return
    if len(sys.argv) > 1 and sys.argv[1] == "--tmux-child":
        tmux_child(sys.argv[2], sys.argv[3], int(sys.argv[4]), sys.argv[5] == "fed")
        return
    if len(sys.argv) > 1 and sys.argv[1] == "--child":
        child(sys.argv[2], sys.argv[3], sys.argv[4], sys.argv[5], int(sys.argv[6]))
        return
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--seconds", type=float, default=10.0)
    parser.add_argument("--rate", type=float, default=2e6, help="link bytes a second")
    parser.add_argument("--tolerance", type=int, default=3)
    parser.add_argument("--colors", default="24bit")
    parser.add_argument("--clips", default="camera,gradient,view")
    parser.add_argument("--skip", default="", help="tmux: leave the tmux pane case out")
    args = parser.parse_args()
    n = int(args.seconds * FPS)
    rows: List[Dict[str, object]] = []
    with tempfile.TemporaryDirectory() as tmp:
        for name in args.clips.split(","):
            if name == "view":  # the command itself: decoding ahead, the link never idle
                video = os.path.join(tmp, "camera.mp4")
                camera_video(video, n)
                for wire in ([], ["--tolerance", str(args.tolerance), "--colors", args.colors]):
                    print(json.dumps(view_case(video, n, wire, args.rate)), flush=True)
                continue
            frames = camera_clip(n) if name == "camera" else gradient_clip(n)
            path = os.path.join(tmp, name + ".npy")
            np.save(path, frames)
            for mode in ("exact", "wire"):
                rows.append(link_case(name, path, frames, mode, args, tmp))
                print(json.dumps(rows[-1]), flush=True)
            if shutil.which("tmux") and "tmux" not in args.skip:
                print(json.dumps(tmux_case(name, frames, args.tolerance, tmp)), flush=True)
            np.save(path, frames[:60])
            report = os.path.join(tmp, "cpu.json")
            run_link([sys.executable, os.path.abspath(__file__), "--cpu", path, report], 1e12)
            print(json.dumps({"clip": name, "cpu per frame": json.load(open(report))}), flush=True)


if __name__ == "__main__":
    main()
