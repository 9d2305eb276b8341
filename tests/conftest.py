"""The suite's shared helpers live in support/ (the pty harness, recording files, references)."""

import os
import sys
from pathlib import Path

# The colour depth the commands find (`--colors auto`) must not depend on the terminal the suite
# runs in: every child sees a 24-bit terminal unless a test says otherwise.
os.environ["COLORTERM"] = "truecolor"

sys.path.insert(0, str(Path(__file__).parent / "support"))

from pty_child import child  # noqa: E402,F401  (the fixture every folder uses)
