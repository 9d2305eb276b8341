"""What a terminal draws beyond half blocks, found once per process: ``--graphics auto``.

The environment is read first: inside tmux or GNU screen only cells reach the outer terminal
(unless tmux says it passes sixel), the Linux console and ``dumb`` know no more than half blocks.
Else one batch of queries goes to the terminal: kitty's graphics query, XTVERSION, the cell's
size in pixels (``CSI 16 t``) and Primary DA, which every terminal answers and answers last, so
its reply ends the wait. A terminal silent for :data:`REPLY_WAIT` seconds is taken as knowing
none of them. The replies are read from the terminal itself in non-canonical mode without echo,
byte by byte up to the end of the DA reply, so that none reaches the shell or the key reader and
no key typed after them is taken. Nothing is asked when standard output is not that terminal,
or when the process is not in the terminal's foreground (asking would stop it).

On a local terminal (no ``SSH_CONNECTION``) the batch starts with a second kitty query that
points at a 3-byte shared-memory object: a terminal that answers it OK can read kitty images
from shared memory (:func:`kitty_shm`), which spares the compression and base64 of each frame.
"""

from __future__ import annotations

import itertools
import os
import re
import time
from typing import Dict, Mapping, NamedTuple, Optional, Tuple

from .wire import _tmux_features

GRAPHICS_CHOICES = ("auto", "kitty", "sixel", "iterm2", "half", "quadrant", "sextant", "octant")
"""The values of ``--graphics`` and ``Screen(graphics=...)``."""
PIXEL_MODES = ("kitty", "sixel", "iterm2")
CELL_SHAPES: Dict[str, Tuple[int, int]] = {"half": (1, 2), "quadrant": (2, 2), "sextant": (2, 3), "octant": (2, 4)}
"""Pixels across and down one cell of each cell mode."""
QUERY = b"\x1b_Gi=31,s=1,v=1,a=q,t=d,f=24;AAAA\x1b\\\x1b[>q\x1b[16t\x1b[c"
SHM_QUERY = b"\x1b_Gi=32,s=1,v=1,a=q,t=s,f=24;%s\x1b\\"
"""kitty's query for one pixel read from shared memory, the object's name in base64 filled in."""
REPLY_WAIT = 0.15
"""Seconds a terminal has to answer the queries."""
DEFAULT_CELL = (10, 20)
"""A cell's pixels when the terminal tells none (or there is no terminal)."""
SEXTANT_TERMINALS = ("kitty", "wezterm", "foot")
"""Terminals known to draw the sextant glyphs themselves (by TERM, TERM_PROGRAM or XTVERSION)."""

# Patterns compiled (by re's cache) when a terminal is asked, not at every start.
_DA1 = rb"\x1b\[\?([0-9;]*)c"
_KITTY_OK = rb"\x1b_Gi=31;OK\x1b\\"
_KITTY_SHM_OK = rb"\x1b_Gi=32;OK\x1b\\"
_shm_serial = itertools.count()
_VERSION = rb"\x1bP>\|([^\x1b]*)\x1b\\"
_CELL = rb"\x1b\[6;([0-9]+);([0-9]+)t"


class Replies(NamedTuple):
    """What the terminal said to :data:`QUERY`."""

    kitty: bool = False
    kitty_shm: bool = False
    sixel: bool = False
    version: str = ""
    cell: Optional[Tuple[int, int]] = None
    """(width, height) of a cell in pixels."""


def parse_replies(data: bytes) -> Replies:
    """The answers in ``data``, the bytes read up to the DA reply."""
    da = re.search(_DA1, data)
    version = re.search(_VERSION, data)
    cell = re.search(_CELL, data)
    return Replies(
        kitty=re.search(_KITTY_OK, data) is not None,
        kitty_shm=re.search(_KITTY_SHM_OK, data) is not None,
        sixel=da is not None and "4" in da.group(1).decode().split(";"),
        version=version.group(1).decode(errors="replace") if version else "",
        cell=(int(cell.group(2)), int(cell.group(1))) if cell and int(cell.group(1)) and int(cell.group(2)) else None,
    )


def shm_name() -> str:
    """A name for a new shared-memory object: unique in this process, and by the pid on the machine."""
    return f"/corvane-{os.getpid()}-{next(_shm_serial)}"


def read_replies(fd: int, timeout: float = REPLY_WAIT, query: bytes = QUERY) -> bytes:
    """Write ``query`` to the terminal ``fd`` and read its answers up to and including the DA
    reply, a byte at a time so that nothing after it is taken; what came when ``timeout`` passes
    first. The terminal's settings are restored afterwards."""
    import select
    import termios

    saved = termios.tcgetattr(fd)
    quiet = list(saved)
    quiet[3] &= ~(termios.ICANON | termios.ECHO)
    quiet[6] = list(saved[6])
    quiet[6][termios.VMIN], quiet[6][termios.VTIME] = 1, 0
    data = bytearray()
    termios.tcsetattr(fd, termios.TCSANOW, quiet)
    try:
        os.write(fd, query)
        deadline = time.monotonic() + timeout
        while True:
            left = deadline - time.monotonic()
            if left <= 0 or not select.select([fd], [], [], left)[0]:
                break
            data += os.read(fd, 1)
            if data.endswith(b"c") and re.search(_DA1, data):
                break
    finally:
        termios.tcsetattr(fd, termios.TCSANOW, saved)
    return bytes(data)


def _ask(output: int, env: Mapping[str, str]) -> Replies:
    """The replies of the terminal that ``output`` is, when the process may ask it."""
    try:  # fails unless ``output`` is the controlling terminal, whose foreground this process is not
        if os.tcgetpgrp(output) != os.getpgrp():
            return Replies()
        fd = os.open("/dev/tty", os.O_RDWR | os.O_NOCTTY | os.O_CLOEXEC)
    except OSError:
        return Replies()
    import base64

    probe = None if env.get("SSH_CONNECTION") else _probe()
    try:
        query = QUERY if probe is None else SHM_QUERY % base64.b64encode(probe.encode()) + QUERY
        return parse_replies(read_replies(fd, query=query))
    except OSError:
        return Replies()
    finally:
        os.close(fd)
        if probe is not None:  # unless the terminal read (and so removed) it
            from .._native import shm_unlink

            shm_unlink(probe)


def _probe() -> Optional[str]:
    """The name of a new 3-byte shared-memory object for kitty's query; None when none can be made."""
    from .._native import kitty_shm_image  # only a terminal that is asked needs it

    name = shm_name()
    try:
        kitty_shm_image(b"\0\0\0", 1, 1, 32, name, False)
    except OSError:
        return None
    return name


def choose(env: Mapping[str, str], replies: Replies) -> str:
    """The mode ``auto`` draws in, from the environment and the terminal's replies."""
    if replies.kitty:
        return "kitty"
    if replies.sixel:
        return "sixel"
    program = env.get("TERM_PROGRAM", "")
    if program in ("iTerm.app", "WezTerm"):
        return "iterm2"
    names = (env.get("TERM", ""), program, replies.version, "kitty" if env.get("KITTY_WINDOW_ID") else "")
    return "sextant" if any(known in name.lower() for name in names for known in SEXTANT_TERMINALS) else "half"


def _multiplexed(env: Mapping[str, str]) -> Optional[str]:
    """The mode inside tmux or screen (which answer queries themselves), or on a terminal that
    knows nothing more than half blocks; None elsewhere."""
    term = env.get("TERM", "")
    if env.get("TMUX"):
        return "sixel" if "sixel" in _tmux_features(env) else "half"
    if term.startswith(("screen", "tmux")) or term in ("linux", "dumb", ""):
        return "half"
    return None


class _Survey(NamedTuple):
    mode: str
    cell: Optional[Tuple[int, int]]
    kitty_shm: bool


_found: Optional[_Survey] = None


def _survey(output: int, env: Mapping[str, str]) -> _Survey:
    """What the terminal of ``output`` (a terminal) answered, asked once per process."""
    global _found
    if _found is None:
        fixed = _multiplexed(env)
        replies = Replies() if fixed is not None else _ask(output, env)
        _found = _Survey(fixed or choose(env, replies), replies.cell, replies.kitty_shm)
    return _found


def detect(output: int = 1, environ: Optional[Mapping[str, str]] = None) -> str:
    """The mode ``auto`` draws in on the terminal of descriptor ``output``; decided once per
    process (half blocks when ``output`` is no terminal, without asking anything). The
    environment variable ``CORVANE_GRAPHICS``, when it names a mode, decides instead."""
    env = os.environ if environ is None else environ
    if env.get("CORVANE_GRAPHICS", "auto") in GRAPHICS_CHOICES[1:]:
        return env["CORVANE_GRAPHICS"]
    return _survey(output, env).mode if os.isatty(output) else "half"


def kitty_shm(output: int = 1, environ: Optional[Mapping[str, str]] = None) -> bool:
    """Whether the terminal of ``output`` reads kitty images from shared memory: it is local and
    read the probe's object. Asks the terminal, when :func:`detect` has not."""
    env = os.environ if environ is None else environ
    return os.isatty(output) and _survey(output, env).kitty_shm


def resolve_graphics(choice: Optional[str], output: int = 1) -> str:
    """The mode for one of :data:`GRAPHICS_CHOICES` (``None`` is ``auto``)."""
    if choice is None or choice == "auto":
        return detect(output)
    if choice not in GRAPHICS_CHOICES:
        raise ValueError(f"graphics must be one of {', '.join(GRAPHICS_CHOICES)}, not {choice!r}")
    return choice


def layout_cell(mode: str, output: int = 1) -> Tuple[int, int]:
    """A cell's (width, height) on the layout grid of ``mode``: square pixels."""
    if mode in PIXEL_MODES:
        return cell_pixels(output)
    unit = CELL_SHAPES[mode][0]
    return unit, 2 * unit


def cell_pixels(output: int = 1) -> Tuple[int, int]:
    """A cell's (width, height) in pixels: from the terminal's window size in pixels, else from
    its reply to ``CSI 16 t``, else :data:`DEFAULT_CELL`."""
    import fcntl
    import struct
    import termios

    try:
        rows, cols, width, height = struct.unpack("HHHH", fcntl.ioctl(output, termios.TIOCGWINSZ, b"\0" * 8))
        if cols and rows and width >= cols and height >= rows:
            return width // cols, height // rows
    except OSError:
        pass
    if _found is not None and _found.cell is not None:
        return _found.cell
    return DEFAULT_CELL
