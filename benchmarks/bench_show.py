"""Pictures inline and OpenCV's habits: two figures, printed as a Markdown table.

    python benchmarks/bench_show.py            # 7 runs of each command, 11 of each loop
    python benchmarks/bench_show.py --quick

1. `corvane show` of a 24-megapixel JPEG at 120 columns, time to the last byte: from starting the
   command to the end of its output on a pipe, which this process drains; side by side with timg
   and chafa (half blocks, 24-bit colour, the same 120 columns) when they are installed. The
   start-up alone (`import corvane.cli`) and `print_image` inside a warm process are given too,
   to show where the time goes.
2. `imshow` + `waitKey(1)` over 1080p frames on a 200 x 60 pty, against the plain `Screen` loop
   (`show` + `poll_key`) and the same loop with the 1 ms wait that `waitKey(1)` asks for. The loops
   run interleaved in one child, whose pty this process drains; the ratios are taken run by run.
   CPU time per frame (the child's, sleeps excluded) is the figure a busy machine disturbs least.
"""

from __future__ import annotations

import argparse
import json
import os
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


def to_last_byte(argv: List[str]) -> Tuple[float, float, int]:
    """Seconds from start to the end of the output, CPU seconds, bytes written."""
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    start = time.perf_counter()
    proc = subprocess.Popen(argv, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                            stdin=subprocess.DEVNULL, start_new_session=True)
    assert proc.stdout is not None
    size = 0
    while True:
        chunk = proc.stdout.read(1 << 16)
        if not chunk:
            break
        size += len(chunk)
    wall = time.perf_counter() - start
    if proc.wait() != 0:
        raise SystemExit(f"failed: {' '.join(argv)}")
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    return wall, after.ru_utime - before.ru_utime + after.ru_stime - before.ru_stime, size


def show_rows(photo: str, runs: int) -> List[List[str]]:
    corvane = [sys.executable, "-m", "corvane", "show", "--width", str(COLUMNS), photo]
    commands: Dict[str, List[str]] = {"corvane show": corvane}
    if shutil.which("timg"):
        commands["timg"] = ["timg", f"-g{COLUMNS}x10000", "-ph", photo]
    if shutil.which("chafa"):
        commands["chafa"] = ["chafa", "-f", "symbols", "--symbols", "vhalf", "-c", "full",
                             "-s", str(COLUMNS), "--animate", "off", photo]
    commands["start-up only (import corvane.cli)"] = [sys.executable, "-c", "import corvane.cli"]
    figures: Dict[str, List[Tuple[float, float, int]]] = {name: [] for name in commands}
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


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--quick", action="store_true", help="3 runs of everything, 60 frames a loop")
    args = parser.parse_args()
    runs, loop_runs, frames = (3, 3, 60) if args.quick else (7, 11, 120)
    with tempfile.TemporaryDirectory(prefix="corvane-bench-show-") as work:
        photo = os.path.join(work, "photo.jpg")
        make_photo(photo)
        print(f"## `corvane show` of a {PHOTO[0]} x {PHOTO[1]} JPEG ({os.path.getsize(photo) / 1e6:.1f} MB) "
              f"at {COLUMNS} columns, to a pipe; median of {runs} runs\n")
        print(table(["Command", "ms to the last byte", "CPU ms", "KB out"], show_rows(photo, runs)))
        print(f"\n## imshow + waitKey(1) against the Screen loop: 1080p frames on a 200 x 60 pty, "
              f"{frames} frames a run, median of {loop_runs} runs\n")
        print(table(["Loop", "fps", "spread %", "CPU ms/frame", "fps / plain", "fps / plain + 1 ms",
                     "CPU / plain"],
                    loop_rows(frames, loop_runs, work)))
    return 0


if __name__ == "__main__":
    sys.exit(main())
