"""One benchmark case, run by bench.py inside a child whose controlling terminal is a pty.

Standard output is whatever the parent made it (/dev/null or the pty); the findings go to the
JSON file named by --out. Every figure is taken inside this process:

- wall time: time.perf_counter_ns around each call and around each pass;
- CPU time: time.process_time_ns (user + system of this process) around each pass;
- bytes written: the `wchar` counter of /proc/self/io (every byte passed to write(2)), so the
  module's output is counted also when it goes to /dev/null;
- time on the CPU and waiting for it: /proc/thread-self/schedstat, i.e. wall time minus the time
  the thread slept or was blocked.
"""

from __future__ import annotations

import argparse
import array
import gc
import json
import os
import shutil
import sys
import time
from typing import Any, Callable, Dict, List, Optional, Tuple

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import _corvane  # noqa: E402

# The clip (and with it numpy, which may start idle threads of its own) is imported only by the
# cases that make frames, so a playing process holds nothing but the module.


def wchar() -> int:
    with open("/proc/self/io") as f:
        for line in f:
            if line.startswith("wchar:"):
                return int(line.split()[1])
    return 0


def schedstat_ns() -> Optional[Tuple[int, int]]:
    """(ns on a CPU, ns waiting in the run queue) of this thread, if the kernel keeps them."""
    try:
        with open("/proc/thread-self/schedstat") as f:
            on_cpu, run_wait, _ = f.read().split()
    except OSError:
        return None
    return int(on_cpu), int(run_wait)


def rss_kib() -> int:
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return 0


def write_all(fd: int, data: bytes) -> None:
    view = memoryview(data)
    while view:
        n = os.write(fd, view)
        view = view[n:]


class Pass:
    """Times one pass over a list of frames with `step(frame)`."""

    def __init__(self, label: str):
        self.label = label

    def run(self, frames: List[Any], step: Callable[[Any], Any]) -> Dict[str, Any]:
        per = []
        w0 = wchar()
        c0 = time.process_time_ns()
        t0 = time.perf_counter_ns()
        for f in frames:
            a = time.perf_counter_ns()
            step(f)
            per.append(time.perf_counter_ns() - a)
        t1 = time.perf_counter_ns()
        c1 = time.process_time_ns()
        w1 = wchar()
        return {
            "case": self.label,
            "frames": len(frames),
            "wall_ns": t1 - t0,
            "cpu_ns": c1 - c0,
            "bytes": w1 - w0,
            "per_frame_ns": per,
        }


def spin_until(deadline_ns: int) -> None:
    while time.perf_counter_ns() < deadline_ns:
        pass


def compute_times(c: _corvane.Corvane, frames: List[bytes], width: int, height: int, passes: int = 2) -> List[int]:
    """Each frame's render time with standard output on /dev/null (the module's own work)."""
    sys.stdout.flush()
    saved = os.dup(1)
    fd = os.open(os.devnull, os.O_WRONLY)
    os.dup2(fd, 1)
    os.close(fd)
    best = [0] * len(frames)
    try:
        for p in range(passes):
            for i, f in enumerate(frames):
                a = time.perf_counter_ns()
                c.render(f, width, height)
                t = time.perf_counter_ns() - a
                best[i] = t if p == 0 else min(best[i], t)
    finally:
        os.dup2(saved, 1)
        os.close(saved)
    return best


def capture_pass(c: _corvane.Corvane, frames: List[bytes], width: int, height: int, path: str) -> List[bytes]:
    """Renders one pass with standard output sent to a file; returns each frame's bytes."""
    sys.stdout.flush()
    saved = os.dup(1)
    fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o644)
    os.dup2(fd, 1)
    os.close(fd)
    ends = []
    try:
        for f in frames:
            c.render(f, width, height)
            ends.append(os.lseek(1, 0, os.SEEK_CUR))
    finally:
        os.dup2(saved, 1)
        os.close(saved)
    with open(path, "rb") as fh:
        data = fh.read()
    out, start = [], 0
    for e in ends:
        out.append(data[start:e])
        start = e
    return out


def case_render(args: argparse.Namespace) -> Dict[str, Any]:
    import numpy as np

    from clip import FRAME_BYTES, HEIGHT, WIDTH, Clip

    clip = Clip(args.frames)
    base = clip.bytes_frames()
    kinds: Dict[str, List[Any]] = {"bytes": base}
    kinds["bytearray"] = [bytearray(b) for b in base]
    kinds["memoryview"] = [memoryview(b) for b in base]
    kinds["numpy.uint8"] = [np.frombuffer(b, dtype=np.uint8).copy() for b in base]
    kinds["array('B')"] = [array.array("B", b) for b in base]
    lists = [list(base[i * len(base) // args.list_frames]) for i in range(args.list_frames)]

    c = _corvane.Corvane()
    info = c.get_mapping_info()
    # The clip already at the size of the display grid (nearest pixels, numpy): render then
    # only copies the frame, so the difference to `bytes` is the cost of scaling 1080p.
    disp_w, disp_h = info["term_w"], info["display_h"]
    ys = (np.arange(disp_h) * HEIGHT) // disp_h
    xs = (np.arange(disp_w) * WIDTH) // disp_w
    small = [np.frombuffer(b, np.uint8).reshape(HEIGHT, WIDTH, 3)[ys][:, xs].tobytes() for b in base]
    # Warm-up and capture: the byte stream of one steady pass (the renderer has seen the clip
    # once already, as in every timed pass), for the pty floor and the frame-mode counts.
    for f in base:
        c.render(f, WIDTH, HEIGHT)
    stream = capture_pass(c, base, WIDTH, HEIGHT, os.path.join(args.work, "stream.bin"))
    full = sum(1 for s in stream if s.startswith(b"\x1b[H"))
    # The module's own time per frame, to replay as a busy gap between the frames of the
    # stream: what any producer that needs that long per frame would get from this pty.
    gaps = compute_times(c, base, WIDTH, HEIGHT)  # ends, like every pass, on the clip's last frame

    floor_dst = bytearray(FRAME_BYTES)

    def memcpy(f: bytes) -> None:
        floor_dst[:] = f

    def pty_floor(s: bytes) -> None:
        write_all(1, s)

    def render(f: Any) -> None:
        c.render(f, WIDTH, HEIGHT)

    def render_small(f: bytes) -> None:
        c.render(f, disp_w, disp_h)

    paced = list(zip(gaps, stream))

    def gap_then_stream(item: Any) -> None:
        spin_until(time.perf_counter_ns() + item[0])
        write_all(1, item[1])

    passes = []
    gc.collect()
    gc.disable()
    for run in range(args.runs):
        p = Pass("memcpy").run(base, memcpy)
        p["run"] = run
        passes.append(p)
        p = Pass("stream only").run(stream, pty_floor)
        p["run"] = run
        passes.append(p)
        if args.sink == "pty":
            p = Pass("stream + gaps").run(paced, gap_then_stream)
            p["run"] = run
            passes.append(p)
        for name, frames in kinds.items():
            p = Pass(name).run(frames, render)
            p["run"] = run
            passes.append(p)
        p = Pass("display-sized bytes").run(small, render_small)
        p["run"] = run
        passes.append(p)
        p = Pass("list").run(lists, render)
        p["run"] = run
        passes.append(p)
    gc.enable()
    return {
        "mapping": info,
        "full_frames": full,
        "incremental_frames": len(stream) - full,
        "stream_bytes": sum(len(s) for s in stream),
        "compute_ns": gaps,
        "passes": passes,
    }


def case_record(args: argparse.Namespace) -> Dict[str, Any]:
    from clip import HEIGHT, WIDTH, Clip

    clip = Clip(args.frames)
    base = clip.bytes_frames()
    c = _corvane.Corvane()
    path = os.path.join(args.work, "record.lzdx")
    for f in base:  # warm-up without recording
        c.render(f, WIDTH, HEIGHT)
    passes = []
    gc.collect()
    gc.disable()
    for run in range(args.runs):
        w0 = wchar()
        c0 = time.process_time_ns()
        t0 = time.perf_counter_ns()
        per = []
        c.start_recording(path)
        for f in base:
            a = time.perf_counter_ns()
            c.render(f, WIDTH, HEIGHT)
            per.append(time.perf_counter_ns() - a)
        c.stop_recording()
        t1 = time.perf_counter_ns()
        c1 = time.process_time_ns()
        w1 = wchar()
        size = os.path.getsize(path)
        passes.append(
            {
                "case": "render + record",
                "run": run,
                "frames": len(base),
                "wall_ns": t1 - t0,
                "cpu_ns": c1 - c0,
                # wchar counts the recording file too; the terminal's share is the rest
                "bytes": w1 - w0 - size,
                "file_bytes": size,
                "per_frame_ns": per,
            }
        )
    gc.enable()
    if args.keep:
        shutil.copyfile(path, args.keep)
    return {"mapping": c.get_mapping_info(), "passes": passes}


def count_records(path: str) -> int:
    n = 0
    with open(path, "rb") as f:
        if f.read(4) != b"LZDX":
            raise SystemExit("not a recording: " + path)
        while True:
            head = f.read(21)
            if len(head) < 21:
                return n
            f.seek(int.from_bytes(head[17:21], "little"), os.SEEK_CUR)
            n += 1


def case_play(args: argparse.Namespace) -> Dict[str, Any]:
    frames = count_records(args.recording)
    c = _corvane.Corvane()
    if args.warmup_recording:  # a few frames first: allocator, page cache, code paths
        c.play(args.warmup_recording, args.sharpen)
    passes = []
    for run in range(args.runs):
        w0 = wchar()
        s0 = schedstat_ns()
        c0 = time.process_time_ns()
        t0 = time.perf_counter_ns()
        c.play(args.recording, args.sharpen)
        t1 = time.perf_counter_ns()
        threads = len(os.listdir("/proc/self/task"))
        c1 = time.process_time_ns()
        s1 = schedstat_ns()
        w1 = wchar()
        passes.append(
            {
                "case": args.label,
                "run": run,
                "frames": frames,
                "wall_ns": t1 - t0,
                "cpu_ns": c1 - c0,
                "on_cpu_ns": s1[0] - s0[0] if s0 and s1 else None,
                "run_wait_ns": s1[1] - s0[1] if s0 and s1 else None,
                "bytes": w1 - w0,
                "threads": threads,
            }
        )
    return {"mapping": c.get_mapping_info(), "passes": passes}


def case_memory(args: argparse.Namespace) -> Dict[str, Any]:
    from clip import HEIGHT, WIDTH, Clip

    clip = Clip(args.frames)
    base = clip.bytes_frames()
    c = _corvane.Corvane()
    gc.collect()
    warm = args.warmup
    samples = []
    start_rss = None
    for i in range(args.renders):
        c.render(base[i % len(base)], WIDTH, HEIGHT)
        if i + 1 == warm:
            gc.collect()
            start_rss = rss_kib()
        if i + 1 > warm and (i + 1 - warm) % 500 == 0:
            samples.append(rss_kib())
    gc.collect()
    end_rss = rss_kib()
    return {
        "renders": args.renders,
        "warmup": warm,
        "rss_after_warmup_kib": start_rss,
        "rss_end_kib": end_rss,
        "rss_max_kib": max(samples + [end_rss]),
        "samples_kib": samples,
    }


def main() -> None:
    ap = argparse.ArgumentParser()
    ap.add_argument("case", choices=["render", "record", "play", "memory"])
    ap.add_argument("--out", required=True)
    ap.add_argument("--work", required=True)
    ap.add_argument("--frames", type=int, default=120)
    ap.add_argument("--runs", type=int, default=5)
    ap.add_argument("--list-frames", type=int, default=3)
    ap.add_argument("--recording")
    ap.add_argument("--sharpen", type=float, default=0.0)
    ap.add_argument("--label", default="play")
    ap.add_argument("--keep")
    ap.add_argument("--sink", default="null")
    ap.add_argument("--warmup-recording")
    ap.add_argument("--renders", type=int, default=10000)
    ap.add_argument("--warmup", type=int, default=500)
    args = ap.parse_args()
    result = {
        "render": case_render,
        "record": case_record,
        "play": case_play,
        "memory": case_memory,
    }[args.case](args)
    with open(args.out, "w") as f:
        json.dump(result, f)


if __name__ == "__main__":
    main()
