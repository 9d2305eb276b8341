"""Corvane benchmark suite: one table of figures, printed and written to benchmarks/results/.

    python benchmarks/bench.py            # full run (a few minutes)
    python benchmarks/bench.py --quick    # fewer frames and runs
    python benchmarks/bench.py --smoke    # a few frames, one run, no peers: checks the harness

Every case runs in a child process (benchmarks/child.py) whose controlling terminal is a fresh
pty of 200 x 60 or 80 x 24, with standard output either /dev/null or the pty itself, drained by
this process. README.md beside this file explains the method and every column.
"""

from __future__ import annotations

import argparse
import datetime as dt
import json
import os
import platform
import shutil
import statistics
import subprocess
import sys
import tempfile
from dataclasses import dataclass, field
from typing import Any, Dict, List, Optional, Sequence, Tuple

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path[:0] = [HERE, os.path.join(HERE, "..", "tests", "support")]

import startup  # noqa: E402
from clip import FRAME_BYTES, HEIGHT, WIDTH, Clip  # noqa: E402
from pty_session import run_on_pty  # noqa: E402

SIZES = [(200, 60), (80, 24)]
SINKS = ["null", "pty"]
KINDS = ["bytes", "bytearray", "memoryview", "numpy.uint8", "array('B')"]
SHARPEN = 0.5


@dataclass
class Config:
    frames: int
    runs: int
    pty_runs: int  # render runs through the pty, whose figures scatter more
    list_frames: int
    play_runs: int
    memory_renders: int
    peer_runs: int
    peer_images: int
    peers: bool


CONFIGS = {
    "full": Config(frames=120, runs=5, pty_runs=9, list_frames=3, play_runs=3, memory_renders=10000, peer_runs=3, peer_images=30, peers=True),
    "quick": Config(frames=36, runs=3, pty_runs=5, list_frames=2, play_runs=2, memory_renders=2000, peer_runs=1, peer_images=8, peers=True),
    "smoke": Config(frames=12, runs=1, pty_runs=1, list_frames=1, play_runs=1, memory_renders=300, peer_runs=1, peer_images=2, peers=False),
}


@dataclass
class Row:
    case: str
    term: str
    sink: str
    fps: Optional[float] = None
    spread: Optional[float] = None  # (max - min) / median of the runs' fps, in %
    cpu_ms: Optional[float] = None
    ms: Optional[float] = None
    kb: Optional[float] = None
    versus: str = ""
    ratio: str = ""
    target: str = ""
    verdict: str = ""
    notes: str = ""
    data: Dict[str, Any] = field(default_factory=dict)


def log(msg: str) -> None:
    print(msg, file=sys.stderr, flush=True)


def median(xs: Sequence[float]) -> float:
    return float(statistics.median(xs))


def spread(xs: Sequence[float]) -> Optional[float]:
    """(max - min) / median in %, for two runs or more."""
    m = median(xs)
    return 100.0 * (max(xs) - min(xs)) / m if m and len(xs) > 1 else None


class Runner:
    def __init__(self, cfg: Config, work: str):
        self.cfg = cfg
        self.work = work
        self.python = sys.executable
        self.child = os.path.join(HERE, "child.py")

    def child_case(self, case: str, cols: int, rows: int, sink: str, extra: List[str]) -> Dict[str, Any]:
        out = os.path.join(self.work, f"{case}-{cols}x{rows}-{sink}.json")
        argv = [self.python, self.child, case, "--out", out, "--work", self.work, "--sink", sink] + extra
        run = run_on_pty(argv, cols, rows, sink)
        if run.returncode != 0 or not os.path.exists(out):
            raise SystemExit(f"benchmark child failed ({case} {cols}x{rows} {sink}):\n{run.stderr}")
        with open(out) as f:
            result: Dict[str, Any] = json.load(f)
        os.unlink(out)
        mapping = result.get("mapping")
        if mapping and (mapping["term_w"], mapping["term_h"]) != (cols, rows):
            raise SystemExit(f"the child saw a {mapping['term_w']} x {mapping['term_h']} terminal, not {cols} x {rows}")
        result["drained"] = run.drained
        return result


def by_case(passes: List[Dict[str, Any]]) -> Dict[str, List[Dict[str, Any]]]:
    out: Dict[str, List[Dict[str, Any]]] = {}
    for p in passes:
        out.setdefault(p["case"], []).append(p)
    return out


def summarise(passes: List[Dict[str, Any]]) -> Dict[str, Any]:
    fps = [p["frames"] / p["wall_ns"] * 1e9 for p in passes]
    s: Dict[str, Any] = {
        "fps": median(fps),
        "fps_runs": fps,
        "spread": spread(fps),
        "cpu_ms": median([p["cpu_ns"] / p["frames"] / 1e6 for p in passes]),
        "kb": median([p["bytes"] / p["frames"] / 1000 for p in passes]),
    }
    if all("per_frame_ns" in p for p in passes):
        s["ms"] = median([median(p["per_frame_ns"]) / 1e6 for p in passes])
    return s


def paired(passes_a: List[Dict[str, Any]], passes_b: List[Dict[str, Any]], key: str) -> float:
    """Median over runs of a's figure over b's, each run's pair taken side by side."""
    b_by_run = {p["run"]: p for p in passes_b}
    ratios = []
    for a in passes_a:
        b = b_by_run[a["run"]]
        if key == "call":
            ratios.append(median(a["per_frame_ns"]) / median(b["per_frame_ns"]))
        else:  # fps
            ratios.append((a["frames"] / a["wall_ns"]) / (b["frames"] / b["wall_ns"]))
    return median(ratios)


def verdict(ok: bool) -> str:
    return "met" if ok else "MISSED"


def fmt(v: Optional[float], digits: int = 2) -> str:
    if v is None:
        return ""
    if abs(v) >= 1000:
        return f"{v:,.0f}"
    if abs(v) >= 100:
        return f"{v:.0f}"
    if abs(v) >= 10:
        return f"{v:.1f}"
    return f"{v:.{digits}f}"


def render_rows(res: Dict[str, Any], cols: int, rows: int, sink: str) -> List[Row]:
    term = f"{cols}x{rows}"
    cases = by_case(res["passes"])
    out: List[Row] = []
    big = cols == 200 and sink == "null"
    mode_note = f"clip: {res['full_frames']} full redraws, {res['incremental_frames']} incremental updates"

    def row(name: str, label: Optional[str] = None) -> Row:
        s = summarise(cases[name])
        return Row(label or name, term, sink, s["fps"], s["spread"], s["cpu_ms"], s.get("ms"), s["kb"], data=s)

    if sink == "null":
        r = row("memcpy", "memcpy of one frame (floor)")
        r.kb = None
        r.notes = f"{FRAME_BYTES:,} bytes into a reused bytearray"
        out.append(r)
    else:
        r = row("stream only", "write the same stream (pty floor)")
        r.notes = "the module's own bytes of one pass, one write per frame"
        out.append(r)
        r = row("stream + gaps", "stream + busy gaps of render's own time")
        ratio = paired(cases["stream + gaps"], cases["stream only"], "fps")
        r.versus, r.ratio = "pty floor", f"{ratio:.3f}"
        r.notes = "spins for the module's per-frame time (measured on /dev/null) before each write"
        out.append(r)

    for kind in KINDS:
        r = row(kind, f"render {kind}")
        if sink == "null":
            if kind == "bytes":
                ratio = paired(cases[kind], cases["memcpy"], "call")
                r.versus, r.ratio = "memcpy", f"{ratio:.2f}"
                if big:
                    r.target, r.verdict = "<= 3x memcpy", verdict(ratio <= 3.0)
                r.notes = mode_note
            else:
                ratio = paired(cases[kind], cases["bytes"], "call")
                r.versus, r.ratio = "bytes", f"{ratio:.2f}"
                if big and kind in ("bytearray", "memoryview", "numpy.uint8"):
                    r.target, r.verdict = "<= 1.3x bytes", verdict(ratio <= 1.3)
        else:
            ratio = paired(cases[kind], cases["stream only"], "fps")
            r.versus, r.ratio = "pty floor", f"{ratio:.3f}"
            r.target, r.verdict = ">= 0.95 of pty floor fps", verdict(ratio >= 0.95)
            if kind == "bytes":
                g = paired(cases[kind], cases["stream + gaps"], "fps")
                r.notes = f"{g:.3f} of 'stream + gaps'"
        out.append(r)

    r = row("display-sized bytes", "render bytes already at display size")
    if sink == "null":
        ratio = paired(cases["display-sized bytes"], cases["bytes"], "call")
        r.versus, r.ratio = "bytes", f"{ratio:.2f}"
        r.notes = "the clip pre-scaled to the grid: no 1080p scaling, the rest of render unchanged"
    else:
        ratio = paired(cases["display-sized bytes"], cases["stream only"], "fps")
        r.versus, r.ratio = "pty floor", f"{ratio:.3f}"
        r.notes = "what the pty gives when the 1080p scaling is taken away"
    out.append(r)

    r = row("list", "render list of ints")
    per_elem = r.ms * 1e6 / FRAME_BYTES if r.ms is not None else None
    r.versus, r.ratio = "per element", f"{per_elem:.1f} ns"
    if big:
        r.target, r.verdict = "<= 25 ns/element", verdict(per_elem is not None and per_elem <= 25.0)
    r.notes = f"{len(cases['list'][0]['per_frame_ns'])} frames of {FRAME_BYTES:,} ints each pass"
    out.append(r)
    return out


def record_rows(res: Dict[str, Any], cols: int, rows: int, sink: str) -> List[Row]:
    term = f"{cols}x{rows}"
    passes = res["passes"]
    s = summarise(passes)
    file_kb = median([p["file_bytes"] / p["frames"] / 1000 for p in passes])
    r = Row("render + record", term, sink, s["fps"], s["spread"], s["cpu_ms"], s.get("ms"), s["kb"], data=s)
    r.notes = f"recording file {file_kb:.1f} KB/frame; fps over start_recording .. stop_recording"
    if cols == 200 and sink == "null":
        r.versus, r.ratio = "fps", f"{s['fps']:.0f}"
        r.target, r.verdict = ">= 120 fps", verdict(s["fps"] >= 120)
    return [r]


def play_row(res: Dict[str, Any], label: str, cols: int, rows: int, sink: str, limit: Optional[float]) -> Row:
    term = f"{cols}x{rows}"
    passes = res["passes"]
    fps = [p["frames"] / p["wall_ns"] * 1e9 for p in passes]
    cpu = median([p["cpu_ns"] / p["frames"] / 1e6 for p in passes])
    kb = median([p["bytes"] / p["frames"] / 1000 for p in passes])
    r = Row(label, term, sink, median(fps), spread(fps), cpu, cpu, kb)
    on = [p["on_cpu_ns"] for p in passes if p.get("on_cpu_ns") is not None]
    wait = [p["run_wait_ns"] for p in passes if p.get("run_wait_ns") is not None]
    frames = passes[0]["frames"]
    notes = [f"paced fps; work/frame = CPU time, unpaced {1000 / cpu:.0f} fps"]
    if on:
        notes.append(f"on-CPU {median(on) / frames / 1e6:.2f} ms + run-queue wait {median(wait) / frames / 1e6:.2f} ms")
    threads = max(p.get("threads", 1) for p in passes)
    if threads > 1:  # CPU time would then also count other threads' work
        notes.append(f"the process had {threads} threads")
    r.notes = "; ".join(notes)
    r.data = {"fps_runs": fps, "cpu_ms": cpu}
    if limit is not None and cols == 200 and sink == "null":
        r.versus, r.ratio = "work ms/frame", f"{cpu:.2f}"
        r.target, r.verdict = f"<= {limit:g} ms/frame", verdict(cpu <= limit)
    return r


def count_records(path: str) -> List[Tuple[int, int]]:
    """(offset, length) of every frame record of a recording."""
    out: List[Tuple[int, int]] = []
    with open(path, "rb") as f:
        if f.read(4) != b"LZDX":
            raise SystemExit(f"not a recording: {path}")
        pos = 4
        while True:
            head = f.read(21)
            if len(head) < 21:
                return out
            n = int.from_bytes(head[17:21], "little")
            out.append((pos, 21 + n))
            f.seek(n, os.SEEK_CUR)
            pos += 21 + n


def head_of_recording(src: str, dst: str, records: int) -> None:
    recs = count_records(src)[:records]
    end = recs[-1][0] + recs[-1][1] if recs else 4
    with open(src, "rb") as f:
        data = f.read(end)
    with open(dst, "wb") as f:
        f.write(data)


# ---- peers -------------------------------------------------------------------------------------


def peer_versions() -> Dict[str, str]:
    out = {}
    for tool in ("timg", "chafa"):
        if shutil.which(tool):
            try:
                v = subprocess.run(["dpkg-query", "-W", "-f", "${Version}", tool], capture_output=True, text=True).stdout
            except OSError:
                v = ""
            out[tool] = v or "installed"
    return out


def make_peer_inputs(cfg: Config, work: str) -> Tuple[Optional[str], List[str]]:
    from fractions import Fraction

    import av
    from PIL import Image

    clip = Clip(cfg.frames)
    video: Optional[str] = os.path.join(work, "clip.mp4")
    # A frame rate far above what any of them reaches, so the video's pacing never waits.
    try:
        with av.open(video, "w") as out:
            stream = out.add_stream("libx264", rate=1000, options={"preset": "veryfast"})
            stream.width, stream.height, stream.pix_fmt = WIDTH, HEIGHT, "yuv420p"
            stream.codec_context.time_base = Fraction(1, 1000)
            for index, image in enumerate(clip.frames()):
                frame = av.VideoFrame.from_ndarray(image, format="bgr24")
                frame.pts, frame.time_base = index, Fraction(1, 1000)
                out.mux(stream.encode(frame))
            out.mux(stream.encode(None))
    except (av.error.FFmpegError, ValueError, OSError):
        video = None
    images = []
    for i in range(cfg.peer_images):
        path = os.path.join(work, f"frame{i:03d}.png")
        frame = clip.frame(i * cfg.frames // cfg.peer_images)
        Image.fromarray(frame[:, :, ::-1].copy()).save(path, compress_level=0)
        images.append(path)
    return video, images


def peer_commands(
    cols: int, rows: int, video: Optional[str], video_frames: int, images: List[str]
) -> List[Tuple[str, List[str], List[str], int]]:
    """(name, argv for all frames, argv for one frame, frame count) of each installed peer."""
    geo = f"{cols}x{rows - 1}"  # the same number of cell rows as the module draws
    cmds: List[Tuple[str, List[str], List[str], int]] = []
    if shutil.which("timg"):
        timg = ["timg", "-bnone", f"-g{geo}", "-ph"]
        if video:
            cmds.append(("timg video (mp4)", timg + ["-V", video], timg + ["-V", "--frames=1", video], video_frames))
        cmds.append(("timg images (png)", timg + ["-I"] + images, timg + ["-I", images[0]], len(images)))
    if shutil.which("chafa"):
        chafa = ["chafa", "-f", "symbols", "-c", "full", "--symbols", "vhalf", "--stretch", "-s", geo, "--animate", "off"]
        cmds.append(("chafa images (png)", chafa + images, chafa + images[:1], len(images)))
    return cmds


def peer_rows(cfg: Config, work: str, video: Optional[str], images: List[str], corvane: Dict[Tuple[str, str], Row]) -> List[Row]:
    out: List[Row] = []
    for cols, rows in SIZES:
        term = f"{cols}x{rows}"
        for name, argv, argv1, n in peer_commands(cols, rows, video, cfg.frames, images):
            cap = os.path.join(work, "peer.out")
            run_on_pty(argv, cols, rows, "file", out_file=cap)
            kb = os.path.getsize(cap) / n / 1000
            os.unlink(cap)
            for sink in SINKS:
                log(f"  peer {name} {term} {sink}")
                walls, cpus, walls1, cpus1 = [], [], [], []
                for _ in range(cfg.peer_runs):
                    one = run_on_pty(argv1, cols, rows, sink)
                    full = run_on_pty(argv, cols, rows, sink)
                    if full.returncode != 0 or one.returncode != 0:
                        log(f"  {name} failed: {full.stderr[-300:]}{one.stderr[-300:]}")
                        break
                    walls.append(full.wall_s)
                    cpus.append(full.cpu_s)
                    walls1.append(one.wall_s)
                    cpus1.append(one.cpu_s)
                if not walls:
                    continue
                # The cost of one more frame: the whole run less a one-frame run (start-up,
                # terminal set-up, decoder opening), spread over the other frames.
                per = [(w - w1) / (n - 1) for w, w1 in zip(walls, walls1)]
                per_cpu = median([(c - c1) / (n - 1) for c, c1 in zip(cpus, cpus1)]) * 1000
                fps = [1 / p for p in per if p > 0] or [0.0]
                r = Row(name, term, sink, median(fps), spread(fps), per_cpu, median(per) * 1000, kb)
                ref = corvane.get((term, sink))
                if ref and ref.fps and r.fps and r.cpu_ms:
                    r.versus = "Corvane render bytes"
                    r.ratio = f"fps {ref.fps / r.fps:.1f}x, CPU {ref.cpu_ms / r.cpu_ms:.3f}x"
                r.notes = f"{n} frames; start-up removed (a one-frame run subtracted); peer decodes its input"
                if "chafa" in name:
                    r.notes += "; uses several threads"
                out.append(r)
    return out


def startup_rows(result: Dict[str, Any]) -> List[Row]:
    """The start-up cases (benchmarks/startup.py): one start each, against a bare interpreter."""
    out = []
    for case in result["cases"]:
        r = Row(case["case"], "-", "null", cpu_ms=case["cpu_ms"], ms=case["ms"], versus="python -c 'import json'",
                ratio=f"{case['over_floor_ms']:+.1f} ms (CPU {case['cpu_over_floor_ms']:+.1f} ms)")
        if case["bar_ms"] is not None:
            r.target = f"<= {case['bar_ms']:g} ms over"
            r.verdict = verdict(case["ok"])
        imports = case["imports"]
        r.notes = f"start to exit, median of {result['runs']}" + (
            "" if imports is None else "; imports " + (", ".join(imports) or "none of numpy, PyAV, Pillow, the native modules"))
        out.append(r)
    return out


# ---- table -------------------------------------------------------------------------------------

HEAD = ["Case", "Term", "Output", "fps", "spread %", "CPU ms/frame", "ms/frame", "KB/frame", "Compared with", "Ratio", "Target", "Verdict", "Notes"]


def table(rows: List[Row]) -> str:
    lines = ["| " + " | ".join(HEAD) + " |", "|" + "|".join("---" for _ in HEAD) + "|"]
    for r in rows:
        cells = [
            r.case, r.term, {"null": "/dev/null", "pty": "pty"}.get(r.sink, r.sink),
            fmt(r.fps, 1), fmt(r.spread, 1), fmt(r.cpu_ms, 3), fmt(r.ms, 3), fmt(r.kb, 1),
            r.versus, r.ratio, r.target, r.verdict, r.notes,
        ]
        lines.append("| " + " | ".join(cells) + " |")
    return "\n".join(lines)


def cpu_snapshot() -> Tuple[float, float, float]:
    """(busy CPU seconds of the whole machine, steal seconds, CPU seconds of this process tree)."""
    import resource

    hz = os.sysconf("SC_CLK_TCK")
    with open("/proc/stat") as f:
        v = [int(x) for x in f.readline().split()[1:]]
    busy = (sum(v[:8]) - v[3] - v[4]) / hz  # all but idle and iowait (steal included)
    steal = v[7] / hz if len(v) > 7 else 0.0
    own = 0.0
    for who in (resource.RUSAGE_SELF, resource.RUSAGE_CHILDREN):
        ru = resource.getrusage(who)
        own += ru.ru_utime + ru.ru_stime
    return busy, steal, own


def machine() -> Dict[str, str]:
    info = {"python": platform.python_version(), "kernel": platform.release(), "cpus": str(os.cpu_count())}
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    info["cpu"] = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    try:
        info["opencv"] = subprocess.run(["dpkg-query", "-W", "-f", "${Version}", "libopencv-core-dev"], capture_output=True, text=True).stdout
    except OSError:
        pass
    return info


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    mode = ap.add_mutually_exclusive_group()
    mode.add_argument("--quick", action="store_true", help="fewer frames and runs")
    mode.add_argument("--smoke", action="store_true", help="a few frames, one run, no peers")
    ap.add_argument("--no-peers", action="store_true", help="leave timg and chafa out")
    ap.add_argument("--out", default=os.path.join(HERE, "results"), help="directory for the results")
    args = ap.parse_args()
    name = "smoke" if args.smoke else "quick" if args.quick else "full"
    cfg = CONFIGS[name]
    if args.no_peers:
        cfg.peers = False

    started = dt.datetime.now()
    cpu0 = cpu_snapshot()
    rows: List[Row] = []
    raw: Dict[str, Any] = {"mode": name, "config": cfg.__dict__, "machine": machine(), "started": started.isoformat()}
    with tempfile.TemporaryDirectory(prefix="corvane-bench-") as work:
        runner = Runner(cfg, work)
        common = ["--frames", str(cfg.frames), "--runs", str(cfg.runs)]
        corvane_bytes: Dict[Tuple[str, str], Row] = {}
        recordings: Dict[Tuple[int, int], str] = {}
        for cols, rows_ in SIZES:
            for sink in SINKS:
                log(f"render {cols}x{rows_} {sink}")
                runs = cfg.pty_runs if sink == "pty" else cfg.runs
                res = runner.child_case(
                    "render", cols, rows_, sink,
                    ["--frames", str(cfg.frames), "--runs", str(runs), "--list-frames", str(cfg.list_frames)],
                )
                if not res["full_frames"] or not res["incremental_frames"]:
                    raise SystemExit("the clip must give full redraws and incremental updates at every size")
                raw[f"render {cols}x{rows_} {sink}"] = res
                got = render_rows(res, cols, rows_, sink)
                corvane_bytes[(f"{cols}x{rows_}", sink)] = next(r for r in got if r.case == "render bytes")
                rows += got
            for sink in SINKS:
                log(f"record {cols}x{rows_} {sink}")
                keep = os.path.join(work, f"rec-{cols}x{rows_}.lzdx")
                extra = common + (["--keep", keep] if sink == "null" else [])
                res = runner.child_case("record", cols, rows_, sink, extra)
                raw[f"record {cols}x{rows_} {sink}"] = res
                rows += record_rows(res, cols, rows_, sink)
            recordings[(cols, rows_)] = os.path.join(work, f"rec-{cols}x{rows_}.lzdx")

        for (cols, rows_), rec in recordings.items():
            other_rec = next(r for s, r in recordings.items() if s != (cols, rows_))
            warm = os.path.join(work, f"warm-{cols}x{rows_}.lzdx")
            head_of_recording(rec, warm, 3)
            for sink in SINKS:
                for label, path, sharpen, limit in (
                    ("play", rec, 0.0, 2.0),
                    (f"play + sharpen {SHARPEN:g}", rec, SHARPEN, 10.0),
                    ("play, scaled from the other size", other_rec, 0.0, None),
                ):
                    log(f"{label} {cols}x{rows_} {sink}")
                    res = runner.child_case(
                        "play", cols, rows_, sink,
                        ["--recording", path, "--sharpen", str(sharpen), "--runs", str(cfg.play_runs), "--label", label, "--warmup-recording", warm],
                    )
                    raw[f"{label} {cols}x{rows_} {sink}"] = res
                    rows.append(play_row(res, label, cols, rows_, sink, limit))

        log("memory")
        mem = runner.child_case(
            "memory", 200, 60, "null",
            ["--frames", str(min(cfg.frames, 60)), "--renders", str(cfg.memory_renders), "--warmup", str(min(500, cfg.memory_renders // 4))],
        )
        raw["memory"] = mem
        growth = (mem["rss_end_kib"] - mem["rss_after_warmup_kib"]) / 1024
        peak = (mem["rss_max_kib"] - mem["rss_after_warmup_kib"]) / 1024
        rows.append(
            Row(
                f"memory over {mem['renders']:,} renders", "200x60", "null",
                versus="RSS growth after warm-up", ratio=f"{growth:.2f} MiB (peak {peak:.2f})",
                target="within 1 MiB", verdict=verdict(abs(growth) <= 1.0 and peak <= 1.0),
                notes=f"RSS {mem['rss_after_warmup_kib'] / 1024:.1f} MiB after {mem['warmup']} renders",
            )
        )

        if cfg.peers:
            versions = peer_versions()
            raw["peers"] = versions
            if versions:
                log("peers: " + ", ".join(f"{k} {v}" for k, v in versions.items()))
                video, images = make_peer_inputs(cfg, work)
                rows += peer_rows(cfg, work, video, images, corvane_bytes)
            else:
                log("peers: neither timg nor chafa is installed; skipped")

    log("start-up")
    started_up = startup.measure(1 if name == "smoke" else 10)
    raw["startup"] = started_up

    order = {f"{c}x{r}": i for i, (c, r) in enumerate(SIZES)}
    peers_first = {r.case for r in rows if "timg" in r.case or "chafa" in r.case}
    rows.sort(key=lambda r: (r.case in peers_first, r.case.startswith("memory"), order.get(r.term, 9), SINKS.index(r.sink) if r.sink in SINKS else 9))
    rows += startup_rows(started_up)  # last, together: the peers' --version rows are their reference

    finished = dt.datetime.now()
    cpu1 = cpu_snapshot()
    elapsed = (finished - started).total_seconds()
    other_cpu = max(0.0, (cpu1[0] - cpu0[0]) - (cpu1[1] - cpu0[1]) - (cpu1[2] - cpu0[2]))
    steal = cpu1[1] - cpu0[1]
    raw["background"] = {"other_cpu_s": other_cpu, "steal_s": steal, "elapsed_s": elapsed}
    m = raw["machine"]
    header = [
        f"# Corvane benchmark ({name}), {started:%Y-%m-%d %H:%M}",
        "",
        f"Machine: {m.get('cpu', '?')}, {m['cpus']} CPUs, Linux {m['kernel']}, Python {m['python']}, "
        f"OpenCV {m.get('opencv', '?')}. Clip: {cfg.frames} frames of {WIDTH} x {HEIGHT} BGR; "
        f"{cfg.runs} runs per case ({cfg.pty_runs} for render through the pty, {cfg.play_runs} for play, "
        f"{cfg.peer_runs} for peers); took "
        f"{elapsed:.0f} s. Meanwhile other processes (kernel workers included) used {other_cpu / elapsed:.2f} "
        f"CPUs on average, and the hypervisor took {steal / elapsed:.2f} CPUs.",
        "",
        "fps: frames per second of a whole pass, median of the runs; spread: (max - min) / median of the runs' fps. "
        "CPU ms/frame: CPU time of the process (user + system) per frame. ms/frame: median time of one call "
        "(render rows), the work per frame (play rows: CPU time, pacing sleeps excluded), or the time of one "
        "more frame (peers). KB/frame: bytes written to the terminal. Ratios are taken run by run, side by side "
        "in the same process, then the median. See benchmarks/README.md.",
        "",
    ]
    text = "\n".join(header) + table(rows) + "\n"
    print(text)
    os.makedirs(args.out, exist_ok=True)
    stamp = started.strftime("%Y%m%d-%H%M%S")
    md = os.path.join(args.out, f"bench-{name}-{stamp}.md")
    with open(md, "w") as f:
        f.write(text)
    raw["rows"] = [r.__dict__ for r in rows]
    with open(os.path.join(args.out, f"bench-{name}-{stamp}.json"), "w") as f:
        json.dump(raw, f, indent=1, default=str)
    shutil.copyfile(md, os.path.join(args.out, f"latest-{name}.md"))
    log(f"results: {md}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
