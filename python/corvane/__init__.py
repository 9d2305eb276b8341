"""corvane: video frames on a text terminal as 24-bit colour half-block art.

The drawing, recording and playback live in the native module ``_corvane``; this package holds
the pure-Python pieces built on it (the demo, the command line).
"""

from _corvane import Corvane

__all__ = ["Corvane"]
