"""The command line, ``corvane ...``: option checks, help pages and the commands."""

from .commands import main

__all__ = ["main"]
