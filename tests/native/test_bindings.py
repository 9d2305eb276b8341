"""The class and its methods as Python sees them: arguments, errors, borrows, threads; and every
method and error path a thousand times over, after which nothing may have piled up. Under
AddressSanitizer a short run also asks LeakSanitizer, while the interpreter still lives, for blocks
nothing refers to: those are the module's (a check at exit would list all the interpreter keeps)."""

import array
import os
import re
import sys

import numpy as np
import pytest

import _corvane
import children
from _corvane import Corvane
from children import REFUSED, Number
from pty_child import SANITIZED
from reference import pattern


def test_module_surface():
    assert (_corvane.__all__, Corvane.__module__, Corvane.__doc__, Corvane.__text_signature__) == (
        ["Corvane"], "builtins", "Python wrapper for the Corvane library.", "()")


@pytest.mark.parametrize("call, error, message", REFUSED)
def test_refused_calls(call, error, message, capfd):
    with pytest.raises(BaseException) as info:
        eval(call, {**vars(children), "o": Corvane()})
    assert type(info.value).__name__ == error and getattr(info.value, "errno", None) is None
    assert str(info.value).endswith(message[3:]) if message.startswith("...") else str(info.value) == message
    assert capfd.readouterr().out == "", "a refused call drew"


def test_other_threads(capfd, monkeypatch):
    obj, reports = Corvane(), []
    errors = [children.on_other_thread(lambda: pytest.raises(BaseException, obj.get_mapping_info).value) for _ in "ab"]
    assert type(errors[0]) is type(errors[1]), "one class for the whole process"
    assert (type(errors[0]).__name__, type(errors[0]).__module__, type(errors[0]).__bases__) == (
        "PanicException", "pyo3_runtime", (BaseException,))
    assert re.fullmatch(r"assertion `left == right` failed: _corvane::Corvane is unsendable, but sent to another "
                        r"thread\n  left: ThreadId\(\d+\)\n right: ThreadId\(\d+\)", str(errors[0]))
    assert str(errors[0]) in capfd.readouterr().err and obj.get_mapping_info()["frame_w"] == 0, "usable by its owner"
    monkeypatch.setattr(sys, "unraisablehook", reports.append)
    children.on_other_thread([Corvane()].clear)
    assert [(r.exc_type, str(r.exc_value)) for r in reports] == [
        (RuntimeError, "_corvane::Corvane is unsendable, but is being dropped on another thread")]


def test_every_form_of_a_frame_draws_alike(capfdbinary):
    base = pattern(4, 2, 1)
    flat = np.frombuffer(base, np.uint8)
    seq = type("Seq", (), {"__len__": lambda self: 24, "__getitem__": lambda self, i: base[i]})()  # no buffer
    for data in (base, bytearray(base), memoryview(base), list(base), tuple(base), array.array("B", base), flat,
                 np.repeat(flat, 2)[::2], flat.astype(np.uint16), seq):
        Corvane().render(data=data, width=4, height=2)
    for data in (bytearray(base), flat.copy()):  # a width whose conversion changes the frame, too late
        Corvane().render(data, Number(4, lambda: data.__setitem__(0, data[0] ^ 0xFF)), 2)
    stream = capfdbinary.readouterr().out
    assert stream and stream == stream[: len(stream) // 12] * 12


def test_nothing_piles_up(child, tmp_path):
    run = child(children.soak, 200 if SANITIZED else 1000, str(tmp_path), cols=4, rows=3, stdout="devnull",
                timeout=600)
    assert run.returncode == 0, run.stderr[-3000:]
    (fds0, rss0, objects0, blocks0), (fds1, rss1, objects1, blocks1) = run.report["before"], run.report["after"]
    assert run.report["wrong"] == [] and not any(run.report["refs"]), "a call went otherwise, or a reference piled up"
    assert fds1 == fds0 and objects1 - objects0 <= 50 and blocks1 - blocks0 <= 250, run.report
    assert SANITIZED or rss1 - rss0 <= 1024, f"resident memory {rss0} -> {rss1} KiB"  # the sanitizer holds freed memory
    assert run.report["unraisable"] == ["RuntimeError"], "the objects dropped on other threads say so"


@pytest.mark.skipif(not SANITIZED, reason="needs the extension built with AddressSanitizer (make asan-py-test)")
def test_no_block_is_lost(child, tmp_path):
    """Frames the interpreter references only from memory the sanitizer does not scan are suppressed."""
    (tmp_path / "lsan.supp").write_text("leak:_PyFrame_New_NoTrack\n")
    options = [o for o in os.environ.get("ASAN_OPTIONS", "").split(":") if not o.startswith(("log_path", "detect_"))]
    env = {"ASAN_OPTIONS": ":".join(options + ["detect_leaks=1", "fast_unwind_on_malloc=0"]),
           "LSAN_OPTIONS": f"suppressions={tmp_path / 'lsan.supp'}:print_suppressions=0", "CORVANE_LEAK_CHECK": "1"}
    run = child(children.soak, 30, str(tmp_path), cols=4, rows=3, stdout="devnull", env=env, timeout=300)
    assert run.returncode == 0 and run.report["wrong"] == [], run.stderr[-3000:]
    assert run.report["found"] == 0, run.stderr.split("SUMMARY")[0][-6000:]  # the first report: the module's
    assert run.report["control"] == 1, "the leak check found nothing where leaks were made"
    assert "asan" in os.path.dirname(_corvane.__file__), "the sanitized build is not the one under test"
