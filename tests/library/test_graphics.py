"""--graphics auto: a fake terminal on the pty's other side answers as a real one did (or not at all)."""

import os
import re
import select

import pytest

from pty_child import Child

QUERY = b"\x1b_Gi=31,s=1,v=1,a=q,t=d,f=24;AAAA\x1b\\\x1b[>q\x1b[16t\x1b[c"
SHM_QUERY = rb"\x1b_Gi=32,s=1,v=1,a=q,t=s,f=24;[A-Za-z0-9+/]+=*\x1b\\"  # a 3-byte object's name
KITTY = b"\x1b_Gi=31;OK\x1b\\\x1bP>|kitty(0.26.5)\x1b\\\x1b[6;20;9t\x1b[?62;c"
TERMINALS = {  # the replies (None: silent), the environment, the mode and cell found
    "silent": (None, {}, "half", [10, 20]),
    "kitty": (b"\x1b_Gi=32;OK\x1b\\" + KITTY, {}, "kitty", [9, 20]),
    "kitty over ssh": (KITTY, {"SSH_CONNECTION": "10.0.0.2 5022 10.0.0.1 22"}, "kitty", [9, 20]),
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
    probes = [n for n in os.listdir("/dev/shm") if n.startswith(f"corvane-{os.getpid()}-")]
    report([mode, list(graphics.cell_pixels()), left.decode(), spent, graphics.kitty_shm(), probes])
    """


@pytest.mark.parametrize("name", TERMINALS)
def test_auto_asks_once_and_takes_only_the_replies(tmp_path, name):
    replies, env, mode, cell = TERMINALS[name]
    base = {"TERM": "xterm-256color", "TERM_PROGRAM": "", "KITTY_WINDOW_ID": "", "TMUX": "", "CORVANE_GRAPHICS": "",
            "SSH_CONNECTION": ""}
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
    asked = b"" if "TMUX" in env else (b"" if "SSH_CONNECTION" in env else SHM_QUERY) + re.escape(QUERY)
    assert re.fullmatch(asked, seen), seen
    assert run.report[4:] == [b"i=32;OK" in (replies or b""), []]  # shared memory when read, the probe removed
    assert run.report[3] < 2.0  # a silent terminal costs the reply wait, not a hang
