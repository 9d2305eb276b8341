"""The class and its methods as Python sees them: arguments, errors, borrows, threads."""

import array
import re
import sys
import threading

import numpy as np
import pytest

import _corvane
import children
from _corvane import Corvane
from children import REFUSED, Number
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


@pytest.mark.parametrize("outer, inner, message", [
    ("render", "get_mapping_info", "Already borrowed"),
    ("render", "render", "Already borrowed"),
    ("render", "show_cursor", "Already mutably borrowed"),
    ("play", "get_mapping_info", "Already borrowed"),
])
def test_calls_back_into_the_object_during_conversion(outer, inner, message):
    obj, seen = Corvane(), []

    def hook():
        seen.append(children.outcome(getattr(obj, inner), *([b"", 1, 1] if inner == "render" else [])))

    with pytest.raises(TypeError):  # the hook's outcome is no number
        obj.render(b"", Number(seen, hook), 1) if outer == "render" else obj.play("/nonexistent", Number(seen, hook))
    assert seen == [["RuntimeError", message]]
    assert obj.get_mapping_info()["frame_w"] == 0, "the object is free again"


def test_other_threads(capfd, monkeypatch):
    obj, errors, reports = Corvane(), [], []
    for _ in range(2):
        thread = threading.Thread(target=lambda: errors.append(pytest.raises(BaseException, obj.get_mapping_info).value))
        thread.start()
        thread.join()
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
