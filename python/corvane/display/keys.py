"""Keys from the terminal, arrows and Home/End included, read without waiting.

``Corvane.poll_key`` names only Enter, Esc and single characters; the player needs arrows, so it
reads keys here instead (never both at once: they would share the bytes). :func:`decode` is the
pure decoder: plain characters (UTF-8), Enter, Backspace, Tab, and the CSI (``ESC [``) and SS3
(``ESC O``) forms of the arrows, Home, End, Page Up/Down, Insert and Delete, modifiers ignored.
Other sequences (mouse reports, terminal replies) and control characters are dropped. An ESC with
nothing after it within ``ESC_WAIT`` is the Esc key.

:class:`KeyReader` reads the terminal (standard input if it is one, else ``/dev/tty``) with
``select``, so it never blocks and never changes the descriptor's flags or the terminal's mode:
use it inside :func:`corvane.cbreak` for keys to arrive one by one. One thread.
"""

from __future__ import annotations

import os
import select
import time
from types import TracebackType
from typing import List, Optional, Tuple, Type

from ..errors import TerminalError

ESC_WAIT = 0.05
PENDING_LIMIT = 256
"""Bytes of one unfinished sequence kept at most; beyond that they are dropped."""

_FINAL = {"A": "up", "B": "down", "C": "right", "D": "left", "H": "home", "F": "end"}
_TILDE = {"1": "home", "7": "home", "4": "end", "8": "end", "2": "insert", "3": "delete",
          "5": "pageup", "6": "pagedown"}
_PLAIN = {"\r": "enter", "\n": "enter", "\x7f": "backspace", "\x08": "backspace", "\t": "tab"}


def _csi(params: str, final: str) -> Optional[str]:
    if params.startswith(("<", ">", "?", "=")):  # mouse reports and replies
        return None
    if final == "~":
        return _TILDE.get(params.split(";")[0])
    return _FINAL.get(final)


def decode(data: bytes, final: bool = False) -> Tuple[List[str], bytes]:
    """The keys in ``data`` and the bytes of an unfinished sequence at its end (kept for the next
    call). With ``final``, nothing is kept: a lone ESC is Esc, a cut sequence is dropped."""
    keys: List[str] = []
    i, size = 0, len(data)
    while i < size:
        byte = data[i]
        if byte == 0x1B:
            if i + 1 == size:
                if not final:
                    break
                keys.append("esc")
                i += 1
            elif data[i + 1] == 0x5B:  # CSI: parameters, intermediates, one final byte
                j = i + 2
                while j < size and 0x20 <= data[j] <= 0x3F:
                    j += 1
                if j == size:
                    if not final:
                        break
                    i = size
                    continue
                if 0x40 <= data[j] <= 0x7E:
                    key = _csi(data[i + 2 : j].decode("latin-1"), chr(data[j]))
                    if key:
                        keys.append(key)
                    j += 1
                i = j
            elif data[i + 1] == 0x4F:  # SS3
                if i + 2 == size:
                    if not final:
                        break
                    keys.append("esc")
                    i += 1
                    continue
                key = _FINAL.get(chr(data[i + 2]))
                if key:
                    keys.append(key)
                i += 3
            else:  # Esc, then a key of its own (or Alt+key)
                keys.append("esc")
                i += 1
        elif byte < 0x80:
            char = chr(byte)
            if char in _PLAIN:
                keys.append(_PLAIN[char])
            elif char.isprintable():
                keys.append(char)
            i += 1
        else:
            length = 2 if byte >= 0xC0 else 1
            length = 3 if byte >= 0xE0 else length
            length = 4 if byte >= 0xF0 else length
            if i + length > size and not final:
                break
            try:
                char = data[i : i + length].decode("utf-8")
                if char.isprintable():
                    keys.append(char)
                i += length
            except UnicodeDecodeError:
                i += 1
    rest = data[i:]
    return keys, (b"" if len(rest) > PENDING_LIMIT else rest)


class KeyReader:
    """Keys from the terminal as they come; :meth:`poll` never waits longer than ``ESC_WAIT``."""

    def __init__(self, fd: Optional[int] = None) -> None:
        self._owned = False
        if fd is None:
            if os.isatty(0):
                fd = 0
            else:
                try:
                    fd = os.open("/dev/tty", os.O_RDONLY | os.O_NOCTTY | os.O_CLOEXEC)
                except OSError as error:
                    reason = error.strerror
                    raise TerminalError(f"no terminal to read keys from ({reason})") from None
                self._owned = True
        self.fd = fd
        self._pending = b""
        self._keys: List[str] = []

    def _read(self, timeout: float) -> bytes:
        if not select.select([self.fd], [], [], timeout)[0]:
            return b""
        try:
            return os.read(self.fd, 1024)
        except (BlockingIOError, InterruptedError):
            return b""

    def poll(self) -> Optional[str]:
        """The next key pressed, or ``None`` when there is none."""
        if not self._keys:
            data = self._pending + self._read(0)
            keys, self._pending = decode(data)
            deadline = time.monotonic() + ESC_WAIT
            while self._pending and time.monotonic() < deadline:
                more = self._read(max(deadline - time.monotonic(), 0))
                keys2, self._pending = decode(self._pending + more, final=not more)
                keys += keys2
            keys2, self._pending = decode(self._pending, final=True)
            self._keys = keys + keys2
        return self._keys.pop(0) if self._keys else None

    def close(self) -> None:
        if self._owned:
            os.close(self.fd)
            self._owned = False

    def __enter__(self) -> "KeyReader":
        return self

    def __exit__(self, kind: Optional[Type[BaseException]], error: Optional[BaseException],
                 trace: Optional[TracebackType]) -> None:
        self.close()
