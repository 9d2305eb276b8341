"""The suite's shared helpers live in support/ (the pty harness, recording files, references)."""

import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).parent / "support"))

from pty_child import child  # noqa: E402,F401  (the fixture every folder uses)
