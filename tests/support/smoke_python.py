"""The installed wheel on one interpreter: import, draw, record, play, `corvane info`.

`make pythons-smoke` runs it in a virtualenv of every CPython found, standard output a pipe.
"""
import os
import subprocess
import sys
import tempfile

import numpy as np

import corvane

with tempfile.TemporaryDirectory() as tmp:
    path, screen = os.path.join(tmp, "s.lzdx"), corvane.Screen()
    screen.start_recording(path)
    for i in range(10):
        screen.show(np.full((48, 64, 3), 20 * i, np.uint8), at=i / 10)
    screen.stop_recording(1.0)
    corvane.Corvane().play(path, 0.5)
    info = subprocess.run([sys.executable, "-m", "corvane", "info", "--json", path], stdout=subprocess.PIPE, check=True)
    assert b'"frames": 31' in info.stdout and corvane.Recording(path)[-1].mean() == 180, info.stdout
print(f"CPython {sys.version.split()[0]}: import, draw, record, play, info: ok", file=sys.stderr)
