"""The terminal around the drawing: a full-screen mode that is always left, cbreak input, checks.

``fullscreen`` gives the terminal back (main screen, cursor shown) however its block ends:
normally, by an exception, by Ctrl-C, by ``SIGTERM``, or after a playback that failed half-way.
``cbreak`` hands keys over one by one without echo for its block and restores the terminal's
previous settings after it.
"""

from __future__ import annotations

import os
import signal
import termios
import threading
import tty
from contextlib import contextmanager
from types import FrameType
from typing import Iterator, Optional, Tuple

from _corvane import Corvane

from .errors import TerminalError

MIN_COLUMNS = 8
"""Fewer columns than this and a command that draws refuses to start."""
MIN_ROWS = 3
"""Fewer rows than this and a command that draws refuses to start (one row is the status line)."""

_SIGNALS = {signal.SIGINT, signal.SIGTERM}


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


def check_terminal(corvane: Corvane, *, keys: bool = True) -> Tuple[int, int]:
    """The terminal's (columns, rows); raises :class:`TerminalError` when there is no terminal to
    read keys from (``keys``) or it is smaller than ``MIN_COLUMNS`` x ``MIN_ROWS``."""
    if keys and not has_terminal():
        raise TerminalError("no terminal: standard input is not one and there is no /dev/tty")
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


def _exit_on_sigterm(signum: int, frame: Optional[FrameType]) -> None:
    """SIGTERM as ``SystemExit``, so that ``finally`` blocks restore the terminal."""
    raise SystemExit(128 + signum)


@contextmanager
def fullscreen(corvane: Optional[Corvane] = None, *, enter: bool = True) -> Iterator[Corvane]:
    """Full-screen drawing (alternate screen, hidden cursor) for the ``with`` block.

    On the way out, whatever the way, the main screen and the cursor come back. ``enter=False``
    leaves the entering to the block (``Corvane.play`` enters and leaves by itself, but not when
    it fails half-way) and only guarantees the way back. While the block runs in the main
    thread, ``SIGTERM`` (when it has no handler of its own) ends it with ``SystemExit(143)``.
    Yields the ``Corvane`` object, a new one when none is given.
    """
    screen = corvane if corvane is not None else Corvane()
    handler_set = (
        threading.current_thread() is threading.main_thread()
        and signal.getsignal(signal.SIGTERM) == signal.SIG_DFL
    )
    if handler_set:
        signal.signal(signal.SIGTERM, _exit_on_sigterm)
    try:
        if enter:
            screen.hide_cursor()
        yield screen
    finally:
        with _signals_blocked():
            try:
                screen.show_cursor()
            finally:
                if handler_set:
                    signal.signal(signal.SIGTERM, signal.SIG_DFL)


def _input_fd() -> Tuple[int, bool]:
    """The descriptor keys come from, and whether it was opened here (and must be closed)."""
    if os.isatty(0):
        return 0, False
    try:
        return os.open("/dev/tty", os.O_RDWR | os.O_NOCTTY | os.O_CLOEXEC), True
    except OSError as error:
        raise TerminalError(f"no terminal to read keys from ({error.strerror})") from None


@contextmanager
def cbreak() -> Iterator[None]:
    """Keys arrive one at a time and are not echoed during the block (cbreak mode); Ctrl-C still
    interrupts. The terminal's settings from before are restored afterwards, in every case."""
    fd, owned = _input_fd()
    try:
        saved = termios.tcgetattr(fd)
        tty.setcbreak(fd, termios.TCSANOW)
        try:
            yield
        finally:
            with _signals_blocked():
                termios.tcsetattr(fd, termios.TCSANOW, saved)
    finally:
        if owned:
            os.close(fd)
