"""Start-up: how long the module and the command take to start, over a bare interpreter's start.

    python benchmarks/startup.py [--runs N] [--json]

Each case is a fresh process, timed from its start to its end (wall clock, output to
/dev/null); the cases run interleaved, run by run, so that a busy moment of the machine falls
on all of them alike, and each case's figure is the median of its runs. The floor is ``python
-c "import json"``, what any Python program pays; ``import corvane`` and ``corvane --version``
are judged over it, with timg's and chafa's ``--version`` beside them for reference. ``show``
prints a small PNG at 80 columns. Each Python case also lists the heavy modules it loaded
(numpy, PyAV, Pillow, the native modules), so that one that creeps onto a path shows.
"""

from __future__ import annotations

import argparse
import json
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from typing import Any, Dict, List, Sequence, Tuple

BARS = {"import corvane": 25.0, "corvane --version": 60.0}
"""The most milliseconds each may take over the bare interpreter."""
HEAVY = ("numpy", "av", "PIL", "_corvane", "corvane._native")
"""Modules that cost start-up time; ``show`` of a picture reports which of them it loaded."""


def _corvane() -> List[str]:
    """The command line as installed beside this interpreter, else through ``-m``."""
    script = os.path.join(os.path.dirname(sys.executable), "corvane")
    return [script] if os.access(script, os.X_OK) else [sys.executable, "-m", "corvane"]


def cases(picture: str) -> List[Tuple[str, List[str]]]:
    """(name, argv) of every case; the peers only where installed."""
    found = [
        ("python -c 'import json' (floor)", [sys.executable, "-c", "import json"]),
        ("import corvane", [sys.executable, "-c", "import corvane"]),
        ("corvane --version", _corvane() + ["--version"]),
        ("corvane --help", _corvane() + ["--help"]),
        ("corvane show, a 256 x 192 PNG", _corvane() + ["show", "--width", "80", picture]),
    ]
    for peer in ("timg", "chafa"):
        if shutil.which(peer):
            found.append((f"{peer} --version", [peer, "--version"]))
    return found


def _run(argv: Sequence[str]) -> Tuple[float, float]:
    """Milliseconds from starting ``argv`` to its end (its output discarded), and the CPU time
    it took (user + system), which a busy machine disturbs less."""
    began = time.perf_counter()
    child = subprocess.Popen(argv, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    _, status, usage = os.wait4(child.pid, 0)
    wall = time.perf_counter() - began
    child.returncode = os.waitstatus_to_exitcode(status)
    if child.returncode:
        raise subprocess.CalledProcessError(child.returncode, argv)
    return wall * 1000, (usage.ru_utime + usage.ru_stime) * 1000


def imported(argv: Sequence[str]) -> List[str]:
    """Which of :data:`HEAVY` a Python case has loaded when it ends (``sys.modules``: ``-X
    importtime`` misses modules imported by ``from . import``)."""
    report = "\nimport sys\nsys.stderr.write('\\n' + ' '.join(sorted(sys.modules)))"
    if argv[0] == sys.executable:  # python -c CODE
        run = [sys.executable, "-c", argv[2] + report]
    else:  # the command line, in-process
        run = [sys.executable, "-c", "import runpy, sys\nsys.argv[0] = 'corvane'\ntry:\n"
               "    runpy.run_module('corvane', run_name='__main__')\nexcept SystemExit:\n    pass" + report,
               *argv[1:]]
    err = subprocess.run(run, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True, check=True).stderr
    names = set(err.rsplit("\n", 1)[-1].split())
    return [name for name in HEAVY if name in names]


def _picture(path: str) -> None:
    """A 256 x 192 PNG of a gradient, written without numpy (zlib and struct)."""
    import struct
    import zlib

    width, height = 256, 192
    rows = b"".join(b"\0" + bytes(v for x in range(width) for v in (x, y, (x + y) // 2))
                    for y in range(height))

    def chunk(kind: bytes, data: bytes) -> bytes:
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))

    with open(path, "wb") as file:
        file.write(b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0))
                   + chunk(b"IDAT", zlib.compress(rows)) + chunk(b"IEND", b""))


def measure(runs: int) -> Dict[str, Any]:
    """Every case's runs (ms), median, and its excess over the floor; the heavy modules each
    Python case imports."""
    with tempfile.TemporaryDirectory(prefix="corvane-startup-") as work:
        picture = os.path.join(work, "picture.png")
        _picture(picture)
        found = cases(picture)
        for _, argv in found:  # warm the file cache
            _run(argv)
        times: Dict[str, List[float]] = {name: [] for name, _ in found}
        cpu: Dict[str, List[float]] = {name: [] for name, _ in found}
        for _ in range(runs):
            for name, argv in found:
                wall, used = _run(argv)
                times[name].append(wall)
                cpu[name].append(used)
        heavy = {name: imported(argv) for name, argv in found if argv[0] != "timg" and argv[0] != "chafa"
                 and "floor" not in name}
    floor, floor_cpu = (statistics.median(next(iter(kind.values()))) for kind in (times, cpu))
    result: Dict[str, Any] = {"runs": runs, "floor_ms": floor, "cases": []}
    for name, _ in found:
        ms, cpu_ms = statistics.median(times[name]), statistics.median(cpu[name])
        bar = BARS.get(name)
        result["cases"].append({
            "case": name, "ms": ms, "over_floor_ms": ms - floor, "runs_ms": times[name], "bar_ms": bar,
            "cpu_ms": cpu_ms, "cpu_over_floor_ms": cpu_ms - floor_cpu, "runs_cpu_ms": cpu[name],
            "ok": None if bar is None else ms - floor <= bar, "imports": heavy.get(name),
        })
    return result


def table(result: Dict[str, Any]) -> str:
    """``result`` as a Markdown table."""
    lines = ["| Case | ms (median) | over the floor, ms | CPU ms | CPU over the floor, ms | Bar | Heavy modules imported |",
             "|---|---|---|---|---|---|---|"]
    for case in result["cases"]:
        bar = "" if case["bar_ms"] is None else f"<= {case['bar_ms']:g} ms: {'met' if case['ok'] else 'MISSED'}"
        heavy = case["imports"]
        shown = "" if heavy is None else ", ".join(heavy) or "none"
        lines.append(f"| {case['case']} | {case['ms']:.1f} | {case['over_floor_ms']:+.1f} | {case['cpu_ms']:.1f} "
                     f"| {case['cpu_over_floor_ms']:+.1f} | {bar} | {shown} |")
    return "\n".join(lines)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--runs", type=int, default=15, help="runs of each case (default: 15)")
    parser.add_argument("--json", action="store_true", help="print the raw figures as JSON")
    args = parser.parse_args()
    result = measure(args.runs)
    print(json.dumps(result, indent=2) if args.json else table(result))
    return 0


if __name__ == "__main__":
    sys.exit(main())
