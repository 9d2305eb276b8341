"""--graphics auto: a fake terminal on the pty's other side answers as a real one did (or not at all)."""

import os
import select

import pytest

from pty_child import Child

QUERY = b"\x1b_Gi=31,s=1,v=1,a=q,t=d,f=24;AAAA\x1b\\\x1b[>q\x1b[16t\x1b[c"
TERMINALS = {  # the replies (None: silent), the environment, the mode and cell found
    "silent": (None, {}, "half", [10, 20]),
    "kitty": (b"\x1b_Gi=31;OK\x1b\\\x1bP>|kitty(0.26.5)\x1b\\\x1b[6;20;9t\x1b[?62;c", {}, "kitty", [9, 20]),
    "xterm -ti vt340": (b"\x1bP>|XTerm(379)\x1b\\\x1b[?63;1;2;4;6;9;15;16;22;28;29c", {}, "sixel", [10, 20]),
    "xterm": (b"\x1bP>|XTerm(379)\x1b\\\x1b[?64;1;2;6;9;15;16;17;18;21;22;28;29c", {}, "half", [10, 20]),
    "mlterm": (b"\x1b[6;22;10t\x1b[?63;1;2;3;4;7;29c", {}, "sixel", [10, 22]),
    "wezterm, silent": (None, {"TERM_PROGRAM": "WezTerm"}, "iterm2", [10, 20]),
    "kitty's TERM, silent": (None, {"TERM": "xterm-kitty"}, "sextant", [10, 20]),
    "tmux": (None, {"TMUX": "/nonexistent,1,0", "TERM": "tmux-256color"}, "half", [10, 20]),
}
DETECT = """
    import select, termios, time, tty
    from corvane.display import graphics
    began = time.monotonic()
    mode = graphics.detect()
    spent = time.monotonic() - began
    assert graphics.detect() == mode
    time.sleep(0.5)
    tty.setcbreak(0, termios.TCSANOW)
    left = b""
    while select.select([0], [], [], 0.1)[0]:
        left += os.read(0, 100)
    report([mode, list(graphics.cell_pixels()), left.decode(), spent])
    """


@pytest.mark.parametrize("name", TERMINALS)
def test_auto_asks_once_and_takes_only_the_replies(tmp_path, name):
    replies, env, mode, cell = TERMINALS[name]
    base = {"TERM": "xterm-256color", "TERM_PROGRAM": "", "KITTY_WINDOW_ID": "", "TMUX": "", "CORVANE_GRAPHICS": ""}
    child = Child(tmp_path, DETECT, stdout="pty", env={**base, **env})
    seen = b""
    while b"\x1b[c" not in seen and child.proc.poll() is None:
        try:
            seen += os.read(child.master, 1000) if select.select([child.master], [], [], 0.1)[0] else b""
        except OSError:  # EIO: the child is gone
            break
    if replies is not None:
        os.write(child.master, replies + b"x")  # a key typed after the replies stays the reader's
    run = child.result()
    assert run.report[:3] == [mode, cell, "" if replies is None else "x"], run.stderr
    assert seen == (b"" if "TMUX" in env else QUERY)
    assert run.report[3] < 2.0  # a silent terminal costs the reply wait, not a hang
