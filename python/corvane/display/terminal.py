"""The terminal around the drawing: a full-screen mode that is always left, cbreak input, checks.

``fullscreen`` gives the terminal back (main screen, cursor shown) however its block ends:
normally, by an exception, by Ctrl-C, by ``SIGTERM``, or after a playback that failed half-way.
``cbreak`` hands keys over one by one without echo for its block and restores the terminal's
previous settings after it, discarding the keys typed but not read.

Ctrl-Z (``SIGTSTP``) inside these blocks gives the terminal back before the process stops and
takes it again on ``fg``; :func:`clock` stands still meanwhile, so paced loops go on where they
were, and :func:`resumes` tells drawers to redraw. The handlers run in the main thread only.
"""

from __future__ import annotations

import os
import signal
import termios
import threading
import time
import tty
from contextlib import contextmanager
from types import FrameType
from typing import Callable, Iterator, List, Optional, Tuple

from _corvane import Corvane

from ..errors import TerminalError

MIN_COLUMNS = 8
"""Fewer columns than this and a command that draws refuses to start."""
MIN_ROWS = 3
"""Fewer rows than this and a command that draws refuses to start (one row is the status line)."""

_SIGNALS = {signal.SIGINT, signal.SIGTERM, signal.SIGTSTP}
Hook = Callable[[], None]
_hooks: List[Tuple[Hook, Hook]] = []
"""What to undo before the process stops (first) and redo after it continues (second)."""
_stopped_seconds = 0.0
_resumes = 0


def has_terminal() -> bool:
    """Whether keys can be read: standard input is a terminal, or the process has a controlling
    terminal (``/dev/tty``). ``Corvane.poll_key`` reads from the same place."""
    if os.isatty(0):
        return True
    try:
        os.close(os.open("/dev/tty", os.O_RDWR | os.O_NOCTTY))
    except OSError:
        return False
    return True


def check_terminal(corvane: Corvane, *, keys: bool = True, output: bool = True) -> Tuple[int, int]:
    """The terminal's (columns, rows); raises :class:`TerminalError` when there is no terminal to
    read keys from (``keys``), standard output is not a terminal (``output``), or the terminal is
    smaller than ``MIN_COLUMNS`` x ``MIN_ROWS``."""
    if keys and not has_terminal():
        raise TerminalError("no terminal: standard input is not one and there is no /dev/tty")
    if output and not os.isatty(1):
        raise TerminalError("standard output is not a terminal; this command draws full-screen")
    info = corvane.get_mapping_info()
    cols, rows = info["term_w"], info["term_h"]
    if cols < MIN_COLUMNS or rows < MIN_ROWS:
        raise TerminalError(
            f"the terminal is {cols} x {rows}; it needs at least {MIN_COLUMNS} columns "
            f"and {MIN_ROWS} rows"
        )
    return cols, rows


@contextmanager
def _signals_blocked() -> Iterator[None]:
    """Ctrl-C and SIGTERM wait until the block is over (so a restore is never cut short)."""
    if threading.current_thread() is not threading.main_thread():
        yield
        return
    previous = signal.pthread_sigmask(signal.SIG_BLOCK, _SIGNALS)
    try:
        yield
    finally:
        signal.pthread_sigmask(signal.SIG_SETMASK, previous)


def clock() -> float:
    """Seconds on a monotonic clock that stands still while the process is stopped by Ctrl-Z."""
    return time.monotonic() - _stopped_seconds


def resumes() -> int:
    """How often the process went on after Ctrl-Z; when it changes, the screen needs a redraw."""
    return _resumes


def _on_stop(signum: int, frame: Optional[FrameType]) -> None:
    """SIGTSTP: give the terminal back, stop, and on SIGCONT take it again."""
    global _stopped_seconds, _resumes
    began = time.monotonic()
    for leave, _ in reversed(_hooks):
        leave()
    signal.signal(signal.SIGTSTP, signal.SIG_DFL)
    try:
        os.kill(os.getpid(), signal.SIGTSTP)  # the process stops here until SIGCONT
    finally:
        signal.signal(signal.SIGTSTP, _on_stop)
    for _, back in _hooks:
        back()
    _stopped_seconds += time.monotonic() - began
    _resumes += 1


@contextmanager
def _on_ctrl_z(leave: Hook, back: Hook) -> Iterator[None]:
    """Run ``leave`` before a Ctrl-Z stop and ``back`` after it, during the block (main thread,
    and only when the program has no SIGTSTP handler of its own)."""
    if threading.current_thread() is not threading.main_thread():
        yield
        return
    if not _hooks and signal.getsignal(signal.SIGTSTP) == signal.SIG_DFL:
        signal.signal(signal.SIGTSTP, _on_stop)
    _hooks.append((leave, back))
    try:
        yield
    finally:
        _hooks.pop()
        if not _hooks and signal.getsignal(signal.SIGTSTP) == _on_stop:
            signal.signal(signal.SIGTSTP, signal.SIG_DFL)


def _exit_on_sigterm(signum: int, frame: Optional[FrameType]) -> None:
    """SIGTERM as ``SystemExit``, so that ``finally`` blocks restore the terminal."""
    raise SystemExit(128 + signum)


@contextmanager
def fullscreen(corvane: Optional[Corvane] = None, *, enter: bool = True,
               settle: Optional[Hook] = None) -> Iterator[Corvane]:
    """Full-screen drawing (alternate screen, hidden cursor) for the ``with`` block.

    On the way out, whatever the way, the main screen and the cursor come back. ``enter=False``
    leaves the entering to the block (``Corvane.play`` enters and leaves by itself, but not when
    it fails half-way) and only guarantees the way back. While the block runs in the main
    thread, ``SIGTERM`` (when it has no handler of its own) ends it with ``SystemExit(143)``, and
    (unless ``enter=False``) Ctrl-Z leaves the screen before the process stops and enters it again
    on ``fg``. ``settle``, when given, runs before every leaving, at Ctrl-Z too: a writer thread
    finishes its frame there, so the leave sequence never lands inside one.
    Yields the ``Corvane`` object, a new one when none is given.
    """
    screen = corvane if corvane is not None else Corvane()

    def leave() -> None:
        if settle is not None:
            settle()
        screen.show_cursor()

    handler_set = (
        threading.current_thread() is threading.main_thread()
        and signal.getsignal(signal.SIGTERM) == signal.SIG_DFL
    )
    if handler_set:
        signal.signal(signal.SIGTERM, _exit_on_sigterm)
    try:
        if enter:
            screen.hide_cursor()
        if enter:
            with _on_ctrl_z(leave, screen.hide_cursor):
                yield screen
        else:  # the block draws by itself (Corvane.play holds the interpreter: no handler runs)
            yield screen
    finally:
        with _signals_blocked():
            try:
                leave()
            finally:
                if handler_set:
                    signal.signal(signal.SIGTERM, signal.SIG_DFL)


def _setcbreak(fd: int, raw_output: bool) -> None:
    tty.setcbreak(fd, termios.TCSANOW)
    if raw_output:
        attrs = termios.tcgetattr(fd)
        attrs[1] &= ~termios.OPOST
        termios.tcsetattr(fd, termios.TCSANOW, attrs)


def _input_fd() -> Tuple[int, bool]:
    """The descriptor keys come from, and whether it was opened here (and must be closed)."""
    if os.isatty(0):
        return 0, False
    try:
        return os.open("/dev/tty", os.O_RDWR | os.O_NOCTTY | os.O_CLOEXEC), True
    except OSError as error:
        raise TerminalError(f"no terminal to read keys from ({error.strerror})") from None


@contextmanager
def cbreak(*, raw_output: bool = False) -> Iterator[None]:
    """Keys arrive one at a time and are not echoed during the block (cbreak mode); Ctrl-C still
    interrupts. The terminal's settings from before are restored afterwards, in every case, and
    keys typed but not read are discarded rather than left for the shell.

    ``raw_output``: the terminal driver passes output on as written (no ``"\\n"`` to
    ``"\\r\\n"``), for a block that writes only whole frames with lines ended by ``"\\r\\n"`` of
    their own: the driver's output processing looks at every byte, which costs a player as much
    CPU per frame as writing the frame itself."""
    fd, owned = _input_fd()
    try:
        saved = termios.tcgetattr(fd)
        _setcbreak(fd, raw_output)
        try:
            with _on_ctrl_z(lambda: termios.tcsetattr(fd, termios.TCSANOW, saved),
                            lambda: _setcbreak(fd, raw_output)):
                yield
        finally:
            with _signals_blocked():
                termios.tcsetattr(fd, termios.TCSAFLUSH, saved)
    finally:
        if owned:
            os.close(fd)
