"""The suite's shared helpers live in support/ (the pty harness, recording files, references)."""

import os
import sys
from pathlib import Path

# The colour depth the commands find (`--colors auto`) must not depend on the terminal the suite
# runs in: every child sees a 24-bit terminal unless a test says otherwise.
os.environ["COLORTERM"] = "truecolor"
# Nor the graphics: a pty answers nothing, so `auto` would pick half blocks after a query (whose
# bytes would precede the exact stream); tests/library/test_graphics.py asks for real.
os.environ["CORVANE_GRAPHICS"] = "half"

sys.path.insert(0, str(Path(__file__).parent / "support"))

from pty_child import child  # noqa: E402,F401  (the fixture every folder uses)
