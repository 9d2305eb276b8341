"""The built-in demo leaves the terminal as it found it and no files behind, also when interrupted."""

import pytest

from cli_session import Session
from pty_child import HIDE, SHOW


@pytest.mark.parametrize("stop", [False, True], ids=["to-the-end", "ctrl-c"])
def test_demo_draws_restores_and_cleans_up(tmp_path, stop):
    session = Session(["demo", "--seconds", "20" if stop else "0.5"], tmp_path, cols=60, rows=20,
                      env={"TMPDIR": str(tmp_path)})
    if stop:
        session.wait_for(b"\x1b[38;2;", after=session.wait_for(HIDE) + 100_000)
        session.type(b"\x03")
    run = session.finish()
    assert run.restored and "Traceback" not in run.stderr and not list(tmp_path.glob("corvane-demo-*"))
    if stop:
        assert run.returncode == 130 and run.stdout.endswith(SHOW)
        return
    assert run.returncode == 0, run.stderr
    drawn, _, summary = run.stdout.rpartition(SHOW)
    assert drawn.startswith(HIDE) and b"q or Esc: stop" in drawn
    assert drawn.count(HIDE) == 3, "the animation, then its recording played twice"
    assert summary.startswith(b"Recorded ") and b" bytes of raw frames" in summary
