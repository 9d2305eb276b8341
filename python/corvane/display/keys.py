"""Keys from the terminal, named, read without waiting: the package's one key path.

``corvane._native`` decodes them (its ``poll_key``): a character as itself (``"q"``, ``" "``),
``"enter"``, ``"esc"``, ``"tab"``, ``"backspace"``, the arrows ``"up"``/``"down"``/``"left"``/
``"right"``, ``"home"``, ``"end"``, ``"pageup"``, ``"pagedown"``, ``"insert"``, ``"delete"``,
``"f1"`` to ``"f12"``, with ``"ctrl+"``, ``"alt+"``, ``"shift+"``, ``"super+"`` before them when
held, and ``"resize"`` when the terminal's size changed. Mouse reports, pastes and the
terminal's replies never come out as keys.

The reader is standard input when it is a terminal, else ``/dev/tty``; it never changes the
terminal's mode, so use it inside :func:`corvane.display.terminal.cbreak` for keys to arrive one
by one. ``Corvane.poll_key`` reads the same terminal with a reader of its own: never use both.
"""

from __future__ import annotations

from types import TracebackType
from typing import Optional, Type

from .. import _native
from ..errors import TerminalError

DISCARD_LIMIT = 4096
"""Keys a closing :class:`KeyReader` passes over at most (a held key never stops coming)."""


def poll_key() -> Optional[str]:
    """The name of the next key pressed, or ``None`` when none is waiting; never waits.

    Raises :class:`TerminalError` when there is no terminal to read from."""
    try:
        return _native.poll_key()
    except OSError as error:
        raise TerminalError(f"no terminal to read keys from ({error})") from None


class KeyReader:
    """The keys of one session (a player, a viewer): what was typed but not read when it closes
    does not reach the next one."""

    def __init__(self) -> None:
        self._open = True

    def poll(self) -> Optional[str]:
        """The next key pressed, or ``None`` when there is none (always, once closed)."""
        return poll_key() if self._open else None

    def close(self) -> None:
        if self._open:
            self._open = False
            for _ in range(DISCARD_LIMIT):
                if poll_key() is None:
                    break

    def __enter__(self) -> "KeyReader":
        return self

    def __exit__(self, kind: Optional[Type[BaseException]], error: Optional[BaseException],
                 trace: Optional[TracebackType]) -> None:
        self.close()
