"""What tests run in children, `python -m children NAME JSON-ARGS` (see conftest): `run` takes one object
through steps, reporting each one's outcome (result, or [exception type, message]) and bytes written."""

from __future__ import annotations

import ctypes
import fcntl
import gc
import json
import os
import resource
import signal
import subprocess
import sys
import threading
import time
import tty
from typing import Any, Callable, Dict, List

from _corvane import Corvane
from pty_session import set_winsize as set_size
from recording_file import MAGIC, record
from reference import pattern


def report(value: Any) -> None:
    with open(os.environ["CORVANE_TEST_REPORT"], "w") as f:
        json.dump(value, f)


def outcome(call: Callable[..., Any], *args: Any) -> Any:
    try:
        return call(*args)
    except BaseException as e:  # PanicException is no Exception
        return [type(e).__name__, str(e)]


class Number:
    """An integer by __index__ and a real by __float__ that runs `hook` first."""

    def __init__(self, value: Any, hook: Callable[[], Any] = lambda: None) -> None:
        self.value, self.hook = value, hook

    def __index__(self) -> Any:
        self.hook()
        return self.value

    __float__ = __index__


TOO_BIG = "out of range integral type conversion attempted"
# Calls refused before anything is drawn or opened: (call on an object `o`, the exception's type
# name, its message; one starting with "..." is a suffix).
REFUSED = [
    ("o.render()", "TypeError",
     "Corvane.render() missing 3 required positional arguments: 'data', 'width', and 'height'"),
    ("o.render(b'', 1)", "TypeError", "Corvane.render() missing 1 required positional argument: 'height'"),
    ("o.render(b'', 1, 1, 1)", "TypeError", "Corvane.render() takes 3 positional arguments but 4 were given"),
    ("o.render(b'', 1, 1, data=b'')", "TypeError", "Corvane.render() got multiple values for argument 'data'"),
    ("o.render(b'', 1, 1, depth=3)", "TypeError", "Corvane.render() got an unexpected keyword argument 'depth'"),
    ("o.render('abc', 1, 1)", "TypeError", "argument 'data': Can't extract `str` to `Vec`"),
    ("o.render(5, 1, 1)", "TypeError", "argument 'data': 'int' object cannot be converted to 'Sequence'"),
    ("o.render([0, 256, 0], 1, 1)", "OverflowError", TOO_BIG),
    ("o.render([0] * 11 + [Number(0, {}.popitem)], 2, 2)", "KeyError", "'popitem(): dictionary is empty'"),
    ("o.render(b'', 1.5, 1)", "TypeError", "argument 'width': 'float' object cannot be interpreted as an integer"),
    ("o.render(b'', 1, 2**31)", "OverflowError", TOO_BIG),
    ("o.render(b'', 65536, 65536)", "ValueError",
     "data holds 0 bytes, but a frame of width 65536 and height 65536 needs 12884901888 bytes (width x height x 3)"),
    ("o.render(b'', 2, -1)", "RuntimeError", "... (code: StsAssert, -215)"),
    ("o.start_recording(b'x')", "TypeError", "argument 'path': 'bytes' object cannot be converted to 'PyString'"),
    ("o.start_recording('/nonexistent/x')", "OSError", "No such file or directory (os error 2)"),
    ("o.start_recording('a\\0b')", "OSError", "file name contained an unexpected NUL byte"),
    ("o.play('/nonexistent', 0.0)", "RuntimeError", "No such file or directory (os error 2) (code: StsError, -2)"),
    ("o.play('/', 0.0)", "PanicException",
     'called `Result::unwrap()` on an `Err` value: Os { code: 21, kind: IsADirectory, message: "Is a directory" }'),
    ("o.play('/', 'strong')", "TypeError", "argument 'sharpen': must be real number, not str"),
    ("o.render(b'', Number(1, o.get_mapping_info), 1)", "RuntimeError", "Already borrowed"),  # calls back into `o`
    ("o.render(b'', Number(1, o.show_cursor), 1)", "RuntimeError", "Already mutably borrowed"),
    ("o.play('/', Number(1.0, o.get_mapping_info))", "RuntimeError", "Already borrowed"),
]


def redirect(kind: str, path: str = "") -> None:
    """Standard output that fails ("broken pipe"), or blocks until a "slow reader" starts."""
    r, w = os.pipe()
    if path:
        HELPERS.append(subprocess.Popen(["sh", "-c", "sleep 0.3; exec cat"], stdin=r, stdout=open(path, "wb")))
    os.set_blocking(w, False)
    os.dup2(w, 1)
    os.close(w)
    os.close(r)


def limit_address_space(extra: int) -> None:
    """Room for `extra` bytes more only (not under the sanitizer, which reserves terabytes)."""
    if os.environ.get("CORVANE_SANITIZED") != "1":
        with open("/proc/self/statm") as f:
            size = int(f.read().split()[0]) * os.sysconf("SC_PAGE_SIZE")
        resource.setrlimit(resource.RLIMIT_AS, (size + extra, resource.RLIM_INFINITY))


def sealed_file(link: str, text: str) -> None:
    """A memory file holding `text` that cannot shrink, reached through the symbolic link `link`."""
    fd = os.memfd_create("sealed", os.MFD_ALLOW_SEALING)  # left open: the link leads to it
    os.write(fd, text.encode())
    fcntl.fcntl(fd, fcntl.F_ADD_SEALS, fcntl.F_SEAL_SHRINK)
    os.symlink(f"/proc/self/fd/{fd}", link)


def on_other_thread(call: Callable[..., Any], *args: Any) -> Any:
    caught: List[Any] = []
    thread = threading.Thread(target=lambda: caught.append(outcome(call, *args)))
    thread.start()
    thread.join()
    return caught[0]


def storm(state: Dict[str, Any]) -> None:
    """Another thread that counts while it runs and sends the main thread window-size changes."""
    main, ticks = threading.get_ident(), state.setdefault("ticks", [])

    def run() -> None:
        while state.get("ticks") is ticks:
            ticks.append(signal.pthread_kill(main, signal.SIGWINCH))
            time.sleep(0.002)

    threading.Thread(target=run).start()


def typed(obj: Corvane, last: str, pause: float = 0.002) -> List[str]:
    """The keys polled until `last` (not included), for at most 20 seconds."""
    keys: List[str] = []
    deadline = time.monotonic() + 20
    while keys[-1:] != [last] and time.monotonic() < deadline:
        key = obj.poll_key()
        keys.append(key) if key is not None else time.sleep(pause)
    return keys[:-1]


HELPERS: List[Any] = []  # processes that `run` waits for at its end
OPS: Dict[str, Callable[..., Any]] = {
    "draw": lambda s, w, h, seed: s["obj"].render(pattern(w, h, seed), w, h),
    "frame": lambda s, hex, w, h: s["obj"].render(bytes.fromhex(hex), w, h),
    "resize": lambda s, cols, rows: set_size(0, cols, rows),
    "drop": lambda s: s.clear(),
    "drop elsewhere": lambda s: on_other_thread([s.pop("obj")].clear),
    "keep until exit": lambda s: ctypes.pythonapi.Py_IncRef(ctypes.py_object(s["obj"])),  # never destroyed
    "fork": lambda s: os.wait() if os.fork() else (s.clear(), os._exit(0)),  # the copy goes, writing nothing
    "umask": lambda s, mask: [os.umask(mask)],
    "address space": lambda s, extra: limit_address_space(extra),
    "file size": lambda s, size: [signal.signal(signal.SIGXFSZ, signal.SIG_IGN),
                                  resource.setrlimit(resource.RLIMIT_FSIZE, (size, resource.RLIM_INFINITY))] and None,
    "sealed file": lambda s, link, text: sealed_file(link, text),
    "read": lambda s, path: open(path, "rb").read().decode(errors="replace"),
    "redirect": lambda s, *how: redirect(*how),
    "copy": lambda s, source, target: HELPERS.append(subprocess.Popen(["cp", source, target])),
    "descriptors": lambda s: [[os.readlink(f"/proc/self/fd/{n}"), fcntl.fcntl(n, fcntl.F_GETFD)] for n in range(3, 64)
                              if os.path.exists(f"/proc/self/fd/{n}")],  # [target, close-on-exec]
    "storm": storm,
    "calm": lambda s: len(s.pop("ticks")),
    "ctrl-c in": lambda s, delay: [signal.signal(signal.SIGINT, signal.default_int_handler),  # as a terminal's
                                   threading.Timer(delay, os.kill, (os.getpid(), signal.SIGINT)).start()] and None,
    "say": lambda s, line: print(line, file=sys.stderr, flush=True),
    "mode": lambda s, mode: (tty.setraw if mode == "raw" else tty.setcbreak)(0),
    "count window changes": lambda s: signal.signal(signal.SIGWINCH, lambda *_: s.setdefault("changes", []).append(1)),
    "window changes": lambda s: len(s.get("changes", [])),
    "keys until": lambda s, last: typed(s["obj"], last),
}


def run(steps: List[List[Any]]) -> List[List[Any]]:
    """Runs each step, [name of an OP or a method of the object, *arguments], on one object, and
    gives each one's [outcome, standard output's offset before and after, seconds taken]."""
    state: Dict[str, Any] = {"obj": Corvane()}
    out = []
    for name, *args in steps:
        start, began = offset(), time.monotonic()
        call = (lambda *a: OPS[name](state, *a)) if name in OPS else getattr(state["obj"], name)
        out.append([outcome(call, *args), start, offset(), time.monotonic() - began])
    os.dup2(os.open(os.devnull, os.O_WRONLY), 1)  # the end of file a reader of standard output waits for
    for helper in filter(None, HELPERS):
        helper.wait()
    return out


def offset() -> Any:  # standard output's position, when it is a file
    return os.lseek(1, 0, os.SEEK_CUR) if os.path.isfile("/proc/self/fd/1") else None


def soak(rounds: int, work: str) -> Dict[str, Any]:
    """Every method and error path, and typed keys, `rounds` times; what piled up over the second half."""
    one = MAGIC + record(0, 4, 4, bytes(range(48)), term=(4, 3))  # 4 x 4 pixels: the grid of a 4 x 3 terminal
    corrupt = one[:27] + bytes(len(one) - 27)  # a stored block of an impossible length
    for name, content in {"sig": b"LZDX", "one": one, "cut": one[:-2], "corrupt": corrupt}.items():
        with open(f"{work}/{name}", "wb") as f:
            f.write(content)
    o, frame = Corvane(), bytes(range(48))
    space = {**globals(), "o": o, "frame": frame, "work": work}
    done = ["o.render(frame, 4, 4)", "o.render(list(frame), 4, True + 3)", "o.render(memoryview(frame), 4, Number(4))",
            "o.start_recording(work + '/rec')", "o.render(frame, 4, 4)", "o.start_recording(work + '/rec')",
            "o.stop_recording()", "o.play(work + '/sig', 1.5)", "o.hide_cursor()", "o.show_cursor()",
            "o.get_mapping_info()", "Corvane()", "on_other_thread([Corvane()].clear)"]
    panics = ["o.play(work + '/cut', 0.0)", "o.play(work + '/corrupt', 0.0)", "on_other_thread(o.render, frame, 4, 4)",
              "on_other_thread(o.poll_key)"]
    calls = [(call, error) for call, error, _ in REFUSED] + [(call, None) for call in done] + [
        (call, "PanicException") for call in panics] + [("o.play(work + '/one', 2.0)", None)]  # the last one paced
    compiled = [(compile(call, call, "eval"), error) for call, error in calls]
    master, slave = os.openpty()
    os.dup2(slave, 0)  # keys come from standard input when it is a terminal: this one, typed into here
    tty.setraw(0)
    unraisable = set()
    sys.unraisablehook = lambda u: unraisable.add(type(u.exc_value).__name__)

    def one_round(number: int) -> List[Any]:
        os.write(master, b"a\x1b[Ab\r\x1b[<0;1;1M\x1b[200~p\x1b[201~z!")  # three keys, three other events, "z"
        wrong = [[code.co_filename, got] for code, expected in compiled[: -1 if number % 50 else None]  # play: 33 ms
                 for got in [outcome(eval, code, space)] if (got[0] if isinstance(got, list) else None) != expected]
        return wrong + [["typed", keys] for keys in [typed(o, "!", 0)] if keys != ["a", "b", "enter", "z"]]

    def measure() -> List[Any]:
        gc.collect()
        with open("/proc/self/statm") as f:
            rss = int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE") // 1024
        return [sorted(os.listdir("/proc/self/fd")), rss, len(gc.get_objects()), sys.getallocatedblocks()]

    arguments = [frame, o]
    refs = [sys.getrefcount(a) for a in arguments]
    # Half the rounds warm up: caches of the interpreter and the C library fill once, not for ever.
    wrong = sum((one_round(i) for i in range(rounds // 2)), [])
    before = measure()
    wrong += sum((one_round(i) for i in range(rounds // 2, rounds)), [])
    after, refs_after = measure(), [sys.getrefcount(a) for a in arguments]
    return {"wrong": wrong[:5], "before": before, "after": after, "unraisable": sorted(unraisable),
            "refs": [m - n for m, n in zip(refs_after, refs)]}


if __name__ == "__main__":
    RESULT = globals()[sys.argv[1]](*json.loads(sys.argv[2]))
    if os.environ.get("CORVANE_LEAK_CHECK"):
        # Blocks nothing refers to while the interpreter lives are the module's. Checked at module level: what
        # only a running function refers to lies in memory LeakSanitizer does not scan.
        gc.collect()
        CHECK = ctypes.CDLL(None).__lsan_do_recoverable_leak_check
        RESULT["found"] = CHECK()
        ctypes.CDLL(None).malloc(4096)  # a block and an object nothing refers to: both must be found
        ctypes.pythonapi.Py_IncRef(ctypes.py_object(bytes(range(200)) * 3))
        RESULT["control"] = CHECK()
        report(RESULT)
        os._exit(0)  # no check at exit
    report(RESULT)
