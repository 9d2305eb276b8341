"""Real terminal emulators under a virtual X server, for what only their screens show.

`XServer` is one Xvfb on a display number it picks itself (`-displayfd`), for a test session.
`Terminal` runs a Python script inside xterm (plain or `-ti vt340`, which speaks sixel), mlterm or
kitty of a set size: the script gets `report` (a dict) and `sync()` (waits until the terminal has
taken in everything written so far: its answer to Primary DA comes after the rest); when it ends,
the report goes to a marker file as JSON and the script's process waits to be closed, so the window
keeps what it drew. `wait()` returns the report, `screenshot()` the window as an RGB array.

A terminal program that is not installed, or exits before its window shows, is `Unavailable`;
the tests skip on it, and on nothing else.
"""

from __future__ import annotations

import io
import json
import os
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path
from typing import Any, Dict, List, Optional, Tuple

import numpy as np

from pty_session import wait_until

# The command each terminal runs: the script's source file and the marker path follow.
RUNNER = r"""
import json, os, select, sys, termios, time, traceback, tty

def sync(timeout=20.0):
    fd = sys.stdout.fileno()
    sys.stdout.flush()
    saved = termios.tcgetattr(fd)
    tty.setraw(fd, termios.TCSANOW)
    try:
        os.write(fd, b"\x1b[c")
        reply, end = b"", time.monotonic() + timeout
        while not (reply.startswith(b"\x1b[?") and reply.endswith(b"c")):
            if not select.select([fd], [], [], max(0.0, end - time.monotonic()))[0]:
                raise TimeoutError("no answer to Primary DA: %r" % reply)
            reply += os.read(fd, 256)
    finally:
        termios.tcsetattr(fd, termios.TCSANOW, saved)

source, marker = sys.argv[1], sys.argv[2]
report = {}
try:
    exec(compile(open(source).read(), source, "exec"), {"report": report, "sync": sync, "__name__": "__main__"})
except BaseException:
    report = {"error": traceback.format_exc()}
sys.stdout.flush()
with open(marker + ".part", "w") as f:
    json.dump(report, f)
os.rename(marker + ".part", marker)
time.sleep(3600)
"""

# What each terminal is started with, for `{cols}` x `{rows}` cells; the command follows.
COMMANDS: Dict[str, List[str]] = {
    "xterm": ["xterm", "-geometry", "{cols}x{rows}+0+0", "-bg", "black", "-fg", "white", "+sb", "-e"],
    "xterm-vt340": ["xterm", "-ti", "vt340", "-geometry", "{cols}x{rows}+0+0", "-bg", "black", "-fg", "white",
                    "+sb", "-e"],
    "mlterm": ["mlterm", "-g", "{cols}x{rows}+0+0", "--bg=black", "--fg=white", "--sb=false", "-e"],
    "kitty": ["kitty", "--config", "NONE", "-o", "initial_window_width={cols}c", "-o", "initial_window_height={rows}c",
              "-o", "remember_window_size=no", "-o", "window_padding_width=0", "-o", "cursor_blink_interval=0",
              "-o", "background=#000000", "-o", "foreground=#ffffff"],
}
# Variables of the terminal the tests run in, which the terminal under test must not inherit.
FOREIGN = ("TMUX", "TMUX_PANE", "TERM_PROGRAM", "TERM_PROGRAM_VERSION", "KITTY_WINDOW_ID", "KITTY_PID",
           "WEZTERM_PANE", "WINDOWID", "VTE_VERSION", "LC_TERMINAL", "SSH_CONNECTION", "SSH_TTY", "COLUMNS", "LINES")


def x_tools(display: Optional[str] = None) -> Dict[str, str]:
    """The environment of the X server, the terminals and the X tools: without the sanitizer's
    preload (`make asan-py-test`), which is for the scripts' interpreter only."""
    environment = {key: value for key, value in os.environ.items() if key not in FOREIGN and key != "LD_PRELOAD"}
    return environment if display is None else {**environment, "DISPLAY": display}


def stop(proc: "subprocess.Popen[bytes]") -> None:
    proc.terminate()
    try:
        proc.wait(10)
    except subprocess.TimeoutExpired:
        proc.kill()
        proc.wait()


class Unavailable(Exception):
    """The terminal (or the X server) cannot start here."""


class XServer:
    """One Xvfb of 1920 x 1200 at 24 bits on a free display; `close()` ends it."""

    def __init__(self) -> None:
        if shutil.which("Xvfb") is None:
            raise Unavailable("Xvfb is not installed")
        self.proc = subprocess.Popen(["Xvfb", "-displayfd", "1", "-screen", "0", "1920x1200x24", "-nolisten", "tcp"],
                                     stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, start_new_session=True,
                                     env=x_tools())
        line = self.proc.stdout.readline() if self.proc.stdout else b""
        if not line.strip().isdigit():
            self.close()
            raise Unavailable("Xvfb did not start")
        self.display = ":" + line.decode().strip()
        # The number can come a moment before the server takes connections.
        if not wait_until(lambda: subprocess.run(["xdpyinfo", "-display", self.display], capture_output=True,
                                                 env=x_tools()).returncode == 0, every=0.1):
            self.close()
            raise Unavailable(f"Xvfb on {self.display} takes no connections")

    def close(self) -> None:
        stop(self.proc)


class Terminal:
    """`kind` (a key of COMMANDS) of cols x rows cells on `server`, running `script` (Python source)."""

    def __init__(self, server: XServer, kind: str, script: str, cols: int = 80, rows: int = 24,
                 env: Optional[Dict[str, str]] = None) -> None:
        command = [part.format(cols=cols, rows=rows) for part in COMMANDS[kind]]
        if shutil.which(command[0]) is None:
            raise Unavailable(f"{command[0]} is not installed")
        self.kind, self.display = kind, server.display
        self.dir = Path(tempfile.mkdtemp(prefix=f"xterminal-{kind}-"))
        source, runner = self.dir / "script.py", self.dir / "runner.py"
        source.write_text(script)
        runner.write_text(RUNNER)
        self.marker = self.dir / "report.json"
        environment = x_tools(self.display)
        support = str(Path(__file__).parent)
        environment.update(LIBGL_ALWAYS_SOFTWARE="1",  # kitty's OpenGL without a GPU
                           PYTHONPATH=os.pathsep.join(filter(None, [support, os.environ.get("PYTHONPATH")])))
        environment.update(env or {})
        preload = ["env", "LD_PRELOAD=" + os.environ["LD_PRELOAD"]] if os.environ.get("LD_PRELOAD") else []
        self.argv = command + preload + [sys.executable, str(runner), str(source), str(self.marker)]
        self.environment, self.window, self.starts = environment, None, 0
        self._start()

    def _start(self) -> None:
        self.starts += 1
        self.log = open(self.dir / "terminal.log", "wb")
        self.proc = subprocess.Popen(self.argv, env=self.environment, stdin=subprocess.DEVNULL, stdout=self.log,
                                     stderr=subprocess.STDOUT, start_new_session=True, cwd=self.dir)

    def _started(self) -> None:
        """Started again when it ended before its window showed (on a loaded machine a terminal
        now and then finds the display busy), Unavailable at the third time; a failure after."""
        if self.proc.poll() is None:
            return
        self.log.close()
        log = (self.dir / "terminal.log").read_text(errors="replace")[-2000:]
        if self.window is not None:
            raise AssertionError(f"{self.kind} exited ({self.proc.returncode}): {log}")
        if self.starts == 3:
            raise Unavailable(f"{self.kind} exited ({self.proc.returncode}): {log}")
        self._start()

    def wait(self, timeout: float = 60.0) -> Dict[str, Any]:
        """The script's report, once it has ended; its traceback fails the test."""
        self._window_id()
        if not wait_until(lambda: self._started() or self.marker.exists(), timeout, every=0.05):
            raise TimeoutError(f"{self.kind}: the script did not finish in {timeout} s")
        report: Dict[str, Any] = json.loads(self.marker.read_text())
        if "error" in report:
            raise AssertionError(f"{self.kind}: the script failed:\n{report['error']}")
        return report

    def _window_id(self, timeout: float = 60.0) -> str:
        def found() -> bool:
            self._started()
            ids = subprocess.run(["xdotool", "search", "--onlyvisible", "--pid", str(self.proc.pid)],
                                 env=x_tools(self.display), capture_output=True, text=True).stdout.split()
            self.window = ids[-1] if ids else None
            return self.window is not None

        if self.window is None and not wait_until(found, timeout, every=0.1):
            raise TimeoutError(f"{self.kind}: no window in {timeout} s")
        return self.window

    def screenshot(self, settle: float = 0.15, timeout: float = 20.0) -> np.ndarray:
        """The window as rows x columns x RGB uint8, once two shots `settle` seconds apart agree
        (the terminal may paint a moment after it took the bytes in)."""
        from PIL import Image

        window, last, end = self._window_id(), None, time.monotonic() + timeout
        while True:
            png = subprocess.run(["import", "-window", window, "png:-"], env=x_tools(self.display),
                                 capture_output=True, check=True).stdout
            shot = np.asarray(Image.open(io.BytesIO(png)).convert("RGB"))
            if last is not None and last.shape == shot.shape and np.array_equal(last, shot):
                return shot
            if time.monotonic() > end:
                return shot
            last = shot
            time.sleep(settle)

    def close(self) -> None:
        stop(self.proc)
        self.log.close()
        shutil.rmtree(self.dir, ignore_errors=True)

    def __enter__(self) -> "Terminal":
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()


def photo(width: int, height: int, seed: int = 7) -> np.ndarray:
    """A photo-like B, G, R picture made in numpy: 1/f noise in luminance (weaker in colour) over
    smooth shapes (a sky gradient, soft discs), kept within 24..232 so that none of it is the
    terminals' black background."""
    rng = np.random.default_rng(seed)
    fy, fx = np.fft.fftfreq(height)[:, None], np.fft.fftfreq(width)[None, :]
    falloff = 1.0 / np.maximum(np.hypot(fy, fx), 1.0 / max(width, height))

    def noise() -> np.ndarray:
        spectrum = falloff * np.exp(2j * np.pi * rng.random((height, width)))
        field = np.real(np.fft.ifft2(spectrum))
        return (field - field.mean()) / field.std()

    y, x = np.mgrid[0:height, 0:width] / max(width, height)
    base = np.stack([0.35 + 0.5 * y, 0.45 + 0.3 * y, 0.75 - 0.3 * y], axis=-1)  # B, G, R: warm at the top
    for cx, cy, r, colour in ((0.25, 0.3, 0.12, (0.2, 0.5, 0.9)), (0.7, 0.25, 0.09, (0.8, 0.6, 0.2)),
                              (0.55, 0.45, 0.15, (0.3, 0.8, 0.4))):
        weight = np.clip((r - np.hypot(x - cx, y - cy)) / 0.02, 0.0, 1.0)[..., None]
        base = base * (1 - weight) + np.array(colour) * weight
    luma = noise()[..., None]
    picture = base + 0.2 * luma + 0.06 * np.stack([noise() for _ in range(3)], axis=-1)
    return np.clip(24 + 208 * picture, 24, 232).astype(np.uint8)


def psnr(a: np.ndarray, b: np.ndarray) -> float:
    error = np.mean((a.astype(np.float64) - b.astype(np.float64)) ** 2)
    return float("inf") if error == 0 else float(10 * np.log10(255.0 ** 2 / error))


def origin(shot: np.ndarray) -> Tuple[int, int]:
    """(top, left) of what is drawn in the window: its first row and column brighter than the
    black background (the tests' pictures have no black)."""
    ys, xs = np.nonzero(shot.astype(np.int32).sum(axis=2) > 36)
    if ys.size == 0:
        raise AssertionError("nothing drawn in the window")
    return int(ys.min()), int(xs.min())
