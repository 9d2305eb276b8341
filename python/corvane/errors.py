"""Every exception the package raises on purpose, and how to recognise the native module's ``PanicException``.

The library raises these where it finds the fault, with a one-line message; only the command line
(:mod:`corvane.cli`) catches them, to end a command with that line and exit status 1. The modules
that document one of them (``corvane.media.MediaError``, ``corvane.media.sound.SoundUnavailable``,
``corvane.playback.clock.TimeError``) re-export it from here.
"""

from __future__ import annotations

from typing import Optional


class CorvaneError(Exception):
    """Base class of every error this package raises on purpose."""


class RecordingError(CorvaneError, ValueError):
    """A recording file that is not one, is damaged, or holds no frame.

    ``offset`` is the byte offset in the file where the damage starts; ``record`` the number of
    the record it belongs to, counted from 1 as in the message (``None`` for the signature);
    ``index`` the same record counted from 0, as ``Recording`` indexes frames.
    """

    def __init__(self, message: str, offset: int, index: Optional[int] = None) -> None:
        self.message = message
        self.offset = offset
        self.index = index
        self.record = None if index is None else index + 1
        where = "" if index is None else f"record {index + 1} at offset {offset}: "
        super().__init__(where + message)


class TerminalError(CorvaneError):
    """No terminal to draw on or read keys from, or one too small to be of use."""


class VideoSupportError(CorvaneError, ImportError):
    """PyAV or Pillow (the ``video`` extra) is needed but not installed."""

    def __init__(self, what: str, package: str = "PyAV and Pillow") -> None:
        super().__init__(f"{what} needs {package}; install them with: pip install 'corvane[video]'")


class SourceError(CorvaneError):
    """A video, image or camera that cannot be opened, read or written; the message is one line."""


MediaError = SourceError
"""The media layer's name for :class:`SourceError`."""


class SoundUnavailable(SourceError):
    """No sound can be played; the message is the note for the status line."""


class MediaWarning(UserWarning):
    """Something is wrong with an input, and what could be read of it is shown all the same."""


class TimeError(CorvaneError, ValueError):
    """A ``--start``/``--end`` value that is not a time, or a range that does not fit the media."""


def is_panic(error: BaseException) -> bool:
    """Whether ``error`` is the native module's ``pyo3_runtime.PanicException``.

    That class is no attribute of ``_corvane`` and derives from ``BaseException``, so it is
    recognised by name.
    """
    kind = type(error)
    return kind.__name__ == "PanicException" and kind.__module__ == "pyo3_runtime"
