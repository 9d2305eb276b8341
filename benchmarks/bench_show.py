"""Pictures inline and OpenCV's habits: three figures, printed as Markdown tables.

    python benchmarks/bench_show.py            # 7 runs of each command, 11 of each loop
    python benchmarks/bench_show.py --quick
    python benchmarks/bench_show.py --pictures-only   # the tables against timg and chafa only

1. `corvane show` of pictures made here (photo-like: 1/f noise, shapes, grain) at 80 columns,
   against timg and chafa (half blocks, 24-bit colour, the same 80 columns) when installed: a
   512 x 480 JPEG, 8000 x 6000 as a 1.6 MB JPEG, a 38 MB one and a PNG, a folder of 91 photos and
   flat colour bars. Time from starting the command to the last byte of its output on a pipe
   that this process drains, CPU time, peak memory (the process's largest resident size), bytes
   and the cell grid drawn (columns x lines); the commands run interleaved, medians.
2. `corvane show` of a 24-megapixel JPEG at 120 columns, the same way; with the start-up alone
   (`import corvane.cli`) and `print_image` inside a warm process, to show where the time goes.
3. `imshow` + `waitKey(1)` over 1080p frames on a 200 x 60 pty, against the plain `Screen` loop
   (`show` + `poll_key`) and the same loop with the 1 ms wait that `waitKey(1)` asks for. The loops
   run interleaved in one child, whose pty this process drains; the ratios are taken run by run.
   CPU time per frame (the child's, sleeps excluded) is the figure a busy machine disturbs least.
"""

from __future__ import annotations

import argparse
import json
import os
import platform
import re
import resource
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from typing import Dict, List, Optional, Tuple

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path[:0] = [HERE, os.path.join(HERE, "..", "tests", "support")]

from pty_session import run_on_pty  # noqa: E402

COLUMNS = 120
PHOTO = (6000, 4000)

LOOPS = r"""
import json, sys, time
sys.path.insert(0, sys.argv[1])
import numpy as np, corvane
from clip import Clip
count, runs, out = int(sys.argv[2]), int(sys.argv[3]), sys.argv[4]
clip = Clip(24)
frames = [clip.frame(i) for i in range(24)]

def plain(wait):
    screen = corvane.Screen()
    with corvane.cbreak(), screen.fullscreen():
        screen.show(frames[0])
        start, cpu = time.perf_counter(), time.process_time()
        for i in range(count):
            screen.show(frames[i % 24])
            screen.poll_key()
            if wait:
                time.sleep(0.001)
        return time.perf_counter() - start, time.process_time() - cpu

def imshow():
    corvane.imshow("clip", frames[0])
    start, cpu = time.perf_counter(), time.process_time()
    for i in range(count):
        corvane.imshow("clip", frames[i % 24])
        corvane.waitKey(1)
    took = time.perf_counter() - start, time.process_time() - cpu
    corvane.destroyAllWindows()
    return took

results = {"plain": [], "plain + 1 ms": [], "imshow + waitKey(1)": []}
for _ in range(runs):
    for name, loop in (("plain", lambda: plain(False)), ("plain + 1 ms", lambda: plain(True)),
                       ("imshow + waitKey(1)", imshow)):
        wall, cpu = loop()
        results[name].append((count / wall, cpu * 1000 / count))
with open(out, "w") as f:
    json.dump(results, f)
"""


def make_photo(path: str) -> None:
    """A 6000 x 4000 JPEG (quality 90) with the detail of a photo: gradients, shapes, grain."""
    import numpy as np
    from PIL import Image

    w, h = PHOTO
    y, x = np.mgrid[0:h, 0:w].astype(np.float32)
    img = np.dstack([x / w * 255, y / h * 255, 128 + 127 * np.sin(x / 300) * np.cos(y / 200)])
    img = img.astype(np.uint8)
    img[(x - w // 2) ** 2 + (y - h // 2) ** 2 <= (h * 3 // 8) ** 2] = (30, 200, 240)
    grain = np.random.default_rng(0).integers(0, 40, (h, w, 3), dtype=np.uint8)
    photo = np.minimum(img.astype(np.uint16) + grain, 255).astype(np.uint8)
    Image.fromarray(photo[:, :, ::-1]).save(path, quality=90)


def to_last_byte(argv: List[str], keep: bool = False) -> Tuple[float, float, int, float, bytes]:
    """Seconds from start to the end of the output, CPU seconds, bytes written, peak resident
    MB of the process (of the largest one, for a shell's children), and the output if ``keep``."""
    start = time.perf_counter()
    proc = subprocess.Popen(argv, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                            stdin=subprocess.DEVNULL, start_new_session=True)
    assert proc.stdout is not None
    size, kept = 0, []
    while True:
        chunk = proc.stdout.read(1 << 16)
        if not chunk:
            break
        size += len(chunk)
        if keep:
            kept.append(chunk)
    wall = time.perf_counter() - start
    _, status, usage = os.wait4(proc.pid, 0)
    if status != 0:
        raise SystemExit(f"failed: {' '.join(argv)}")
    return wall, usage.ru_utime + usage.ru_stime, size, usage.ru_maxrss / 1024, b"".join(kept)


PICTURE_COLUMNS = 80
FOLDER = 91
ESCAPE = re.compile(rb"\x1b\[[0-9;?]*[A-Za-z]")


def photo_like(width: int, height: int, seed: int) -> "np.ndarray":
    """An RGB photo stand-in: 1/f noise per channel (made at most 1024 x 768, enlarged), a few
    discs and rectangles of flat colour blended in, and grain of +-6 levels."""
    import numpy as np
    from PIL import Image

    rng = np.random.default_rng(seed)
    small_w, small_h = min(width, 1024), min(height, 768)
    fy, fx = np.fft.fftfreq(small_h)[:, None], np.fft.rfftfreq(small_w)[None, :]
    falloff = np.sqrt(fx * fx + fy * fy)
    falloff[0, 0] = 1
    channels = []
    for _ in range(3):
        spectrum = (rng.normal(size=falloff.shape) + 1j * rng.normal(size=falloff.shape)) / falloff
        noise = np.fft.irfft2(spectrum, s=(small_h, small_w))
        channels.append(128 + 45 * (noise - noise.mean()) / (noise.std() + 1e-9))
    base = np.clip(np.dstack(channels), 0, 255).astype(np.uint8)
    pixels = np.asarray(Image.fromarray(base).resize((width, height), Image.BICUBIC)).astype(np.int16)
    yy, xx = np.ogrid[:height, :width]
    side = min(width, height)
    for _ in range(6):
        cx, cy, r = rng.integers(0, width), rng.integers(0, height), rng.integers(side // 12, side // 4)
        disc = (xx - cx) ** 2 + (yy - cy) ** 2 < r * r
        pixels[disc] = pixels[disc] * 0.3 + rng.integers(0, 256, 3) * 0.7
    for _ in range(4):
        x0, y0 = rng.integers(0, width), rng.integers(0, height)
        pixels[y0 : y0 + height // 6, x0 : x0 + width // 5] = rng.integers(0, 256, 3)
    pixels += rng.integers(-6, 7, pixels.shape, dtype=np.int16)
    return np.clip(pixels, 0, 255).astype(np.uint8)


def make_pictures(work: str) -> Dict[str, str]:
    """The inputs of the pictures table, by label: files (and a folder) in ``work``."""
    import numpy as np
    from PIL import Image

    made: Dict[str, str] = {}

    def save(label: str, name: str, image: "Image.Image", **options: object) -> None:
        made[label] = os.path.join(work, name)
        image.save(made[label], **options)

    save("512x480 JPEG", "small.jpg", Image.fromarray(photo_like(512, 480, 1)), quality=90)
    large = Image.fromarray(photo_like(8000, 6000, 2))
    save("8000x6000 JPEG, quality 18", "large.jpg", large, quality=18)
    save("8000x6000 JPEG, quality 100", "large-fine.jpg", large, quality=100)
    save("8000x6000 PNG", "large.png", large, compress_level=6)
    del large
    folder = os.path.join(work, "photos")
    os.makedirs(folder)
    for index in range(FOLDER):
        size = [(1600, 1200), (1200, 1600), (1920, 1080), (1024, 768)][index % 4]
        Image.fromarray(photo_like(*size, 100 + index)).save(
            os.path.join(folder, f"p{index:03d}.jpg"), quality=88)
    made[f"a folder of {FOLDER} photos"] = folder
    bars = np.zeros((480, 640, 3), np.uint8)
    for index, colour in enumerate([(192, 192, 192), (192, 192, 0), (0, 192, 192), (0, 192, 0),
                                    (192, 0, 192), (192, 0, 0), (0, 0, 192)]):
        bars[:, index * 640 // 7 : (index + 1) * 640 // 7] = colour
    bars[360:] = (16, 16, 16)
    bars[360:, :160], bars[360:, 160:320] = (0, 33, 76), (255, 255, 255)
    save("640x480 colour bars (PNG)", "bars.png", Image.fromarray(bars))
    return made


def cell_grid(output: bytes) -> str:
    """Columns x lines of half blocks printed (the widest line), escape sequences left out."""
    lines = [ESCAPE.sub(b"", line).decode(errors="replace") for line in output.split(b"\n")]
    lines = [line for line in lines if line]
    return f"{max((len(line) for line in lines), default=0)}x{len(lines)}"


def picture_rows(inputs: Dict[str, str], runs: int) -> Tuple[List[List[str]], Dict[str, object]]:
    """Per input, corvane show against timg and chafa: medians of ``runs`` interleaved runs."""
    width = str(PICTURE_COLUMNS)
    rows: List[List[str]] = []
    raw: Dict[str, object] = {}
    for label, path in inputs.items():
        files = sorted(os.path.join(path, name) for name in os.listdir(path)) if os.path.isdir(path) else [path]
        commands: Dict[str, List[str]] = {"corvane": [sys.executable, "-m", "corvane", "show", "--width", width, path]}
        if shutil.which("timg"):
            commands["timg"] = ["timg", f"-g{width}x10000", "-ph", *files]
        if shutil.which("chafa"):
            commands["chafa"] = ["chafa", "-f", "symbols", "--symbols", "vhalf", "-c", "full", "-s", width,
                                 "--animate", "off", *files]
        grids = {name: cell_grid(to_last_byte(argv, keep=True)[4]) for name, argv in commands.items()}
        figures: Dict[str, List[Tuple[float, float, int, float, bytes]]] = {name: [] for name in commands}
        for _ in range(runs):
            for name, argv in commands.items():
                figures[name].append(to_last_byte(argv))
        medians = {name: {"wall_ms": 1000 * statistics.median(r[0] for r in runs_of),
                          "cpu_ms": 1000 * statistics.median(r[1] for r in runs_of),
                          "peak_mb": max(r[3] for r in runs_of), "bytes": runs_of[0][2],
                          "grid": grids[name], "walls_ms": [1000 * r[0] for r in runs_of]}
                   for name, runs_of in figures.items()}
        raw[label] = medians
        peers = [name for name in medians if name != "corvane"]
        fastest = min(peers, key=lambda name: medians[name]["wall_ms"]) if peers else None
        ours = medians["corvane"]
        for name, m in medians.items():
            versus = ""
            if name == "corvane" and fastest is not None:
                versus = (f"time {ours['wall_ms'] / medians[fastest]['wall_ms']:.2f}x {fastest}"
                          + (f", memory {ours['peak_mb'] / medians['timg']['peak_mb']:.2f}x timg" if "timg" in medians else "")
                          + (f", bytes {ours['bytes'] / medians['chafa']['bytes']:.2f}x chafa" if "chafa" in medians else ""))
            rows.append([label if name == "corvane" else "", name, f"{m['wall_ms']:.0f}", f"{m['cpu_ms']:.0f}",
                         f"{m['peak_mb']:.0f}", f"{m['bytes'] / 1000:.1f}", m["grid"], versus])
    return rows, raw


def show_rows(photo: str, runs: int) -> List[List[str]]:
    corvane = [sys.executable, "-m", "corvane", "show", "--width", str(COLUMNS), photo]
    commands: Dict[str, List[str]] = {"corvane show": corvane}
    if shutil.which("timg"):
        commands["timg"] = ["timg", f"-g{COLUMNS}x10000", "-ph", photo]
    if shutil.which("chafa"):
        commands["chafa"] = ["chafa", "-f", "symbols", "--symbols", "vhalf", "-c", "full",
                             "-s", str(COLUMNS), "--animate", "off", photo]
    commands["start-up only (import corvane.cli)"] = [sys.executable, "-c", "import corvane.cli"]
    figures: Dict[str, List[Tuple[float, float, int, float, bytes]]] = {name: [] for name in commands}
    for _ in range(runs):  # interleaved, so a busy moment hits every command alike
        for name, argv in commands.items():
            figures[name].append(to_last_byte(argv))
    rows = []
    for name, runs_of in figures.items():
        wall = statistics.median(r[0] for r in runs_of)
        cpu = statistics.median(r[1] for r in runs_of)
        rows.append([name, f"{wall * 1000:.0f}", f"{cpu * 1000:.0f}", f"{runs_of[0][2] / 1000:.0f}"])
    rows.append(["print_image in a warm process", f"{warm_print_image(photo, runs) * 1000:.0f}", "", ""])
    return rows


def warm_print_image(photo: str, runs: int) -> float:
    """Median seconds of print_image(photo) once the modules are loaded."""
    code = ("import os, sys, time, corvane\nout = open(os.devnull, 'wb')\n"
            f"corvane.print_image({photo!r}, width={COLUMNS}, file=out)\ntimes = []\n"
            f"for _ in range({runs}):\n    t = time.perf_counter()\n"
            f"    corvane.print_image({photo!r}, width={COLUMNS}, file=out)\n"
            "    times.append(time.perf_counter() - t)\nprint(sorted(times)[len(times) // 2])\n")
    return float(subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                                check=True).stdout)


def loop_rows(frames: int, runs: int, work: str) -> List[List[str]]:
    out = os.path.join(work, "loops.json")
    run = run_on_pty([sys.executable, "-c", LOOPS, HERE, str(frames), str(runs), out], 200, 60, "pty")
    if run.returncode != 0:
        raise SystemExit(f"the loops failed:\n{run.stderr}")
    with open(out) as f:
        found: Dict[str, List[Tuple[float, float]]] = json.load(f)
    rows = []
    for name, pairs in found.items():
        fps, cpu = [p[0] for p in pairs], [p[1] for p in pairs]
        ratios: List[Optional[float]] = [None, None, None]
        if name.startswith("imshow"):
            ratios = [statistics.median(a[0] / b[0] for a, b in zip(pairs, found[base]))
                      for base in ("plain", "plain + 1 ms")]
            ratios.append(statistics.median(a[1] / b[1] for a, b in zip(pairs, found["plain"])))
        rows.append([name, f"{statistics.median(fps):.1f}",
                     f"{100 * (max(fps) - min(fps)) / statistics.median(fps):.1f}",
                     f"{statistics.median(cpu):.2f}",
                     *("" if r is None else f"{r:.3f}" for r in ratios)])
    return rows


def table(head: List[str], rows: List[List[str]]) -> str:
    lines = ["| " + " | ".join(head) + " |", "|" + "---|" * len(head)]
    return "\n".join(lines + ["| " + " | ".join(row) + " |" for row in rows])


def machine() -> str:
    """The machine the figures come from: cores, CPU model, load."""
    model = platform.processor() or platform.machine()
    try:
        with open("/proc/cpuinfo") as info:
            model = next((line.split(":", 1)[1].strip() for line in info if line.startswith("model name")), model)
    except OSError:
        pass
    load = ", ".join(f"{figure:.2f}" for figure in os.getloadavg())
    return f"{os.cpu_count()} x {model}; load average {load}; Python {platform.python_version()}"


def view_rows(runs: int, seconds: int) -> Tuple[List[List[str]], Dict[str, object]]:
    """``corvane view`` against ``timg -V`` on media_bench's 1080p H.264 clip, 200 x 60 pty:
    CPU ms per frame (decode and scale included), medians of ``runs`` interleaved runs."""
    import media_bench

    os.makedirs(media_bench.RESULTS, exist_ok=True)
    clip = os.path.join(media_bench.RESULTS, f"media-1080p-{seconds}s.mkv")
    if not os.path.exists(clip):
        media_bench.make_clip(clip, seconds)
    found: Dict[str, List[Dict[str, float]]] = {}
    for _ in range(runs):
        for label, figures in media_bench.view_cost(clip, seconds * 30).items():
            found.setdefault(label, []).append(figures)
    rows, ours = [], found.get("corvane view")
    for label, runs_of in found.items():
        cpu = statistics.median(r["cpu_ms"] for r in runs_of)
        versus = ""
        if label != "corvane view" and ours:
            versus = f"corvane / {label.split()[0]}: {statistics.median(r['cpu_ms'] for r in ours) / cpu:.2f}x"
        rows.append([label, f"{cpu:.2f}", f"{statistics.median(r['kb_per_frame'] for r in runs_of):.0f}", versus])
    return rows, {"view": found}


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--quick", action="store_true", help="3 runs of everything, 60 frames a loop")
    parser.add_argument("--pictures-only", action="store_true", help="only the pictures and view tables")
    parser.add_argument("--make-pictures", metavar="DIR", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.make_pictures:
        print(json.dumps(make_pictures(args.make_pictures)))
        return 0
    runs, loop_runs, frames = (3, 3, 60) if args.quick else (7, 11, 120)
    report: List[str] = []

    def say(text: str) -> None:
        print(text, flush=True)
        report.append(text)

    raw: Dict[str, object] = {"machine before": machine()}
    with tempfile.TemporaryDirectory(prefix="corvane-bench-show-") as work:
        # Made by a child: a process starts with the largest resident size of the one it was
        # forked from, so this one stays small for the peak memory of the commands it starts.
        made = subprocess.run([sys.executable, __file__, "--make-pictures", work], check=True,
                              capture_output=True, text=True)
        inputs: Dict[str, str] = json.loads(made.stdout)
        floor = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024
        raw["peak MB floor"] = floor
        say(f"## `corvane show` against timg and chafa at {PICTURE_COLUMNS} columns, to a pipe; "
            f"median of {max(runs, 5)} runs\n\nMachine: {machine()}\n")
        rows, raw["pictures"] = picture_rows(inputs, max(runs, 5))
        say(table(["Input", "Command", "ms to the last byte", "CPU ms", "peak MB", "KB out", "cells",
                   "corvane against the peers"], rows))
        say(f"\nPeak MB is at least this harness's own {floor:.0f} MB (a process forked from it starts "
            "with its largest resident size).")
        seconds = 12 if args.quick else 20
        say(f"\n## `view` CPU per frame: a {seconds} s 1080p H.264 clip on a 200 x 60 pty; "
            f"median of {max(runs, 5)} runs\n")
        rows, found = view_rows(max(runs, 5), seconds)
        raw.update(found)
        say(table(["Player", "CPU ms per frame", "KB per frame", "ratio"], rows))
        if not args.pictures_only:
            photo = os.path.join(work, "photo.jpg")
            make_photo(photo)
            say(f"\n## `corvane show` of a {PHOTO[0]} x {PHOTO[1]} JPEG "
                f"({os.path.getsize(photo) / 1e6:.1f} MB) at {COLUMNS} columns, to a pipe; median of {runs} runs\n")
            say(table(["Command", "ms to the last byte", "CPU ms", "KB out"], show_rows(photo, runs)))
            say(f"\n## imshow + waitKey(1) against the Screen loop: 1080p frames on a 200 x 60 pty, "
                f"{frames} frames a run, median of {loop_runs} runs\n")
            say(table(["Loop", "fps", "spread %", "CPU ms/frame", "fps / plain", "fps / plain + 1 ms",
                       "CPU / plain"], loop_rows(frames, loop_runs, work)))
    raw["machine after"] = machine()
    say(f"\nMachine after the run: {raw['machine after']}")
    results = os.path.join(HERE, "results")
    os.makedirs(results, exist_ok=True)
    stamp = time.strftime("%Y%m%d-%H%M%S")
    with open(os.path.join(results, f"show-{stamp}.md"), "w") as out:
        out.write("\n".join(report) + "\n")
    with open(os.path.join(results, f"show-{stamp}.json"), "w") as out:
        json.dump(raw, out, indent=1)
    return 0


if __name__ == "__main__":
    sys.exit(main())
