"""Text for people: outside text made safe to print, cut to a number of columns, counted nouns.

File names, paths and messages from outside (the command line, the file system, OpenCV) may hold
control characters; printed raw they could retitle the window, move the cursor or leave the
terminal blinking. :func:`printable` escapes them. Pure functions, usable from any thread.
"""

from __future__ import annotations

import re
import unicodedata
from typing import Tuple

_CONTROL = re.compile("[\x00-\x1f\x7f-\x9f\ud800-\udfff]")
_NAMED = {"\n": "\\n", "\r": "\\r", "\t": "\\t"}


def _escape(match: "re.Match[str]") -> str:
    """The escape of one control character or lone surrogate."""
    char = match.group()
    code = ord(char)
    if 0xDC80 <= code <= 0xDCFF:  # a byte the file system name did not decode (surrogateescape)
        return f"\\x{code - 0xDC00:02x}"
    if code > 0xFF:
        return f"\\u{code:04x}"
    return _NAMED.get(char, f"\\x{code:02x}")


def printable(text: object) -> str:
    """``str(text)`` with every control character and lone surrogate written as an escape
    (``\\x1b``, ``\\n``, ...), so that it prints as the characters it holds."""
    return _CONTROL.sub(_escape, str(text))


def count(number: int, noun: str) -> str:
    """``"1 frame"``, ``"2 frames"``: ``noun`` with an ``s`` unless ``number`` is 1."""
    return f"{number} {noun}" + ("" if number == 1 else "s")


def _cell_width(char: str) -> int:
    """How many terminal columns ``char`` takes: 2 for wide East Asian forms, 0 for combining."""
    if unicodedata.combining(char):
        return 0
    return 2 if unicodedata.east_asian_width(char) in ("W", "F") else 1


def cut(text: str, width: int) -> Tuple[str, int]:
    """The longest start of ``text`` (already printable) that takes at most ``width`` terminal
    columns, and the columns it takes."""
    used = 0
    for end, char in enumerate(text):
        step = _cell_width(char)
        if used + step > width:
            return text[:end], used
        used += step
    return text, used


def cut_middle(text: str, width: int) -> Tuple[str, int]:
    """``text`` (already printable) in at most ``width`` terminal columns, and the columns it
    takes: whole if it fits, else its start and its end around an ellipsis, the end (a name's
    suffix) getting the larger half."""
    whole = sum(_cell_width(char) for char in text)
    if whole <= width:
        return text, whole
    if width < 1:
        return "", 0
    tail, tail_used = cut(text[::-1], width // 2)
    head, head_used = cut(text, width - 1 - tail_used)
    return head + "\u2026" + tail[::-1], head_used + 1 + tail_used
