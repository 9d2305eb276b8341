"""corvane.fullscreen gives the terminal back on every way out (cbreak: every command's run in a pty)."""

import pytest

from pty_child import HIDE, SHOW
from recording_file import MAGIC, record

ENDINGS = {  # the block's body, the exit status, what it raised
    "return": ("pass", 0, None),
    "exception": ("raise ValueError('boom')", 0, "ValueError"),
    "ctrl-c": ("os.kill(os.getpid(), signal.SIGINT); time.sleep(5)", 0, "KeyboardInterrupt"),
    "sigterm": ("os.kill(os.getpid(), signal.SIGTERM); time.sleep(5)", 143, "SystemExit"),
    "failed playback": ("c.play({path!r}, 0.0)", 0, "PanicException"),
}


@pytest.mark.parametrize("ending", ENDINGS)
@pytest.mark.parametrize("enter", [True, False], ids=["enter", "restore-only"])
def test_fullscreen_always_restores(child, tmp_path, ending, enter):
    path = tmp_path / "cut.lzdx"
    path.write_bytes((MAGIC + record(0, 2, 2, bytes(12)) + record(1, 2, 2, bytes(12)))[:-3])
    body, status, raised = ENDINGS[ending]
    run = child(f"""
        import signal, time, corvane
        signal.signal(signal.SIGINT, signal.default_int_handler)  # also where the tests run with it ignored
        c = Corvane()
        try:
            with corvane.fullscreen(c, enter={enter}):
                {body.format(path=str(path))}
        except BaseException as e:
            report(type(e).__name__)
            raise SystemExit(e.code if isinstance(e, SystemExit) else 0)
        report(None)
        """, cols=4, rows=3)
    assert (run.returncode, run.report) == (status, raised), run.stderr
    assert run.stdout.endswith(SHOW) and (run.stdout.startswith(HIDE) if enter else ending == "failed playback" or run.stdout == SHOW)
