"""Argument matching, conversions, error values, borrowing and threads, as Python sees them."""

import array
import threading

import numpy as np
import pytest

from _corvane import Corvane

RENDER_MISSING_ALL = "Corvane.render() missing 3 required positional arguments: 'data', 'width', and 'height'"


class Index:
    """An integer by __index__ only, optionally running a callback first."""

    def __init__(self, value, hook=None):
        self.value, self.hook = value, hook

    def __index__(self):
        if self.hook:
            self.hook()
        return self.value


@pytest.mark.parametrize(
    "args, kwargs, error, message",
    [
        ((), {}, TypeError, RENDER_MISSING_ALL),
        ((b"",), {}, TypeError, "Corvane.render() missing 2 required positional arguments: 'width' and 'height'"),
        ((b"", 1), {}, TypeError, "Corvane.render() missing 1 required positional argument: 'height'"),
        ((b"", 1, 1, 1), {}, TypeError, "Corvane.render() takes 3 positional arguments but 4 were given"),
        ((b"", 1, 1), {"data": b""}, TypeError, "Corvane.render() got multiple values for argument 'data'"),
        ((b"", 1, 1), {"depth": 3}, TypeError, "Corvane.render() got an unexpected keyword argument 'depth'"),
        (("abc", 1, 1), {}, TypeError, "argument 'data': Can't extract `str` to `Vec`"),
        ((5, 1, 1), {}, TypeError, "argument 'data': 'int' object cannot be converted to 'Sequence'"),
        (({1: 2}, 1, 1), {}, TypeError, "argument 'data': 'dict' object cannot be converted to 'Sequence'"),
        (([0, 256, 0], 1, 1), {}, OverflowError, "out of range integral type conversion attempted"),
        (([0, -1, 0], 1, 1), {}, OverflowError, "out of range integral type conversion attempted"),
        (([2**70], 1, 1), {}, OverflowError, "Python int too large to convert to C long"),
        (([1.0, 2, 3], 1, 1), {}, TypeError, "argument 'data': 'float' object cannot be interpreted as an integer"),
        (([[0, 0, 0]], 1, 1), {}, TypeError, "argument 'data': 'list' object cannot be interpreted as an integer"),
        ((b"", 1.5, 1), {}, TypeError, "argument 'width': 'float' object cannot be interpreted as an integer"),
        ((b"", 1, "2"), {}, TypeError, "argument 'height': 'str' object cannot be interpreted as an integer"),
        ((b"", 2**31, 1), {}, OverflowError, "out of range integral type conversion attempted"),
        ((b"", 1, -(2**31) - 1), {}, OverflowError, "out of range integral type conversion attempted"),
        ((b"", 2**64, 1), {}, OverflowError, "Python int too large to convert to C long"),
    ],
)
def test_render_argument_errors(args, kwargs, error, message):
    obj = Corvane()
    with pytest.raises(error) as info:
        obj.render(*args, **kwargs)
    assert type(info.value) is error
    assert str(info.value) == message


@pytest.mark.parametrize("method", ["get_mapping_info", "hide_cursor", "show_cursor"])
def test_no_argument_methods_refuse_arguments(method):
    with pytest.raises(TypeError, match="takes no arguments"):
        getattr(Corvane(), method)(1)


def test_conversion_failure_keeps_frame_size():
    obj = Corvane()
    with pytest.raises(RuntimeError):
        obj.render(b"", 0, 0)
    with pytest.raises(OverflowError):
        obj.render([0, 256, 0], 5, 7)
    assert (obj.get_mapping_info()["frame_w"], obj.get_mapping_info()["frame_h"]) == (0, 0)


def test_type_error_prefix_keeps_cause():
    class Bad:
        def __index__(self):
            try:
                raise KeyError("inner")
            except KeyError as e:
                raise TypeError("no index today") from e

    with pytest.raises(TypeError) as info:
        Corvane().render(b"", Bad(), 1)
    assert str(info.value) == "argument 'width': no index today"
    assert isinstance(info.value.__cause__, KeyError)


def test_errors_from_iteration_pass_unchanged():
    class Exploding:
        def __len__(self):
            raise ValueError("length is ignored")

        def __getitem__(self, i):
            if i == 2:
                raise ZeroDivisionError("third element")
            return 0

    with pytest.raises(ZeroDivisionError, match="third element"):
        Corvane().render(Exploding(), 1, 1)


def test_negative_size_is_opencv_error_after_storing_size():
    obj = Corvane()
    with pytest.raises(RuntimeError) as info:
        obj.render(b"", 2, -1)
    assert str(info.value).endswith(" (code: StsAssert, -215)")
    assert str(info.value).startswith("OpenCV(")
    assert (obj.get_mapping_info()["frame_w"], obj.get_mapping_info()["frame_h"]) == (2, -1)


def test_empty_frame_is_opencv_error():
    with pytest.raises(RuntimeError, match=r"(?s)!ssize.empty\(\).* \(code: StsAssert, -215\)$"):
        Corvane().render(b"", 0, 0)


@pytest.mark.parametrize("length", [0, 11, 13, 3])
def test_wrong_data_length_names_both(length):
    obj = Corvane()
    with pytest.raises(ValueError) as info:
        obj.render(bytes(length), 2, 2)
    assert f"data holds {length} bytes" in str(info.value) and "needs 12 bytes" in str(info.value)
    assert obj.get_mapping_info()["frame_w"] == 2


def test_accepted_forms_draw_identical_bytes(child):
    run = child(
        """
        import array
        import numpy as np
        frame = bytes((i * 37) % 256 for i in range(6 * 4 * 3))
        forms = [frame, bytearray(frame), memoryview(frame), list(frame), tuple(frame),
                 array.array("B", frame), np.frombuffer(frame, dtype=np.uint8), [True] * 0 + list(frame)]
        outputs = []
        for form in forms:
            obj = Corvane()
            before = os.lseek(1, 0, os.SEEK_CUR)
            obj.render(form, 6, 4)
            outputs.append(os.lseek(1, 0, os.SEEK_CUR) - before)
        report(outputs)
        """,
        cols=6,
        rows=3,
    )
    assert run.returncode == 0, run.stderr
    sizes = run.report
    assert len(set(sizes)) == 1
    chunk = len(run.stdout) // len(sizes)
    frames = [run.stdout[i * chunk : (i + 1) * chunk] for i in range(len(sizes))]
    assert all(f == frames[0] for f in frames)


def test_bools_and_index_objects_are_integers(child):
    run = child(
        """
        class Index:
            def __index__(self):
                return 2
        obj = Corvane()
        obj.render([True, False, 200] * 4, Index(), True + True)
        report(obj.get_mapping_info())
        """,
        cols=2,
        rows=2,
    )
    assert run.returncode == 0, run.stderr
    assert (run.report["frame_w"], run.report["frame_h"]) == (2, 2)


def test_keyword_form_matches_positional(child):
    run = child(
        """
        frame = bytes(range(12))
        Corvane().render(frame, 2, 2)
        Corvane().render(height=2, data=frame, width=2)
        """,
        cols=2,
        rows=2,
    )
    assert run.returncode == 0, run.stderr
    half = len(run.stdout) // 2
    assert run.stdout[:half] == run.stdout[half:]


@pytest.mark.parametrize(
    "callback, message",
    [
        ("get_mapping_info", "Already borrowed"),
        ("render", "Already borrowed"),
        ("hide_cursor", "Already mutably borrowed"),
        ("show_cursor", "Already mutably borrowed"),
    ],
)
def test_reentrant_call_during_render_conversion(callback, message, capfd):
    obj = Corvane()
    seen = []

    def call_back():
        try:
            fn = getattr(obj, callback)
            fn(b"", 1, 1) if callback == "render" else fn()
        except RuntimeError as e:
            seen.append(str(e))
            raise

    with pytest.raises(RuntimeError) as info:
        obj.render(b"", Index(1, call_back), 1)
    assert seen == [message] and str(info.value) == message
    # The failed inner call left the borrow state alone, and the outer one released it.
    assert obj.get_mapping_info()["frame_w"] == 0


def test_other_thread_gets_panic_and_object_stays_usable():
    obj = Corvane()
    caught = []

    def worker():
        try:
            obj.get_mapping_info()
        except BaseException as e:  # PanicException is not an Exception
            caught.append(e)

    t = threading.Thread(target=worker)
    t.start()
    t.join()
    (error,) = caught
    assert type(error).__name__ == "PanicException"
    assert not isinstance(error, Exception)
    assert "is unsendable, but sent to another thread" in str(error)
    assert obj.get_mapping_info()["term_w"] > 0


def test_drop_on_other_thread_reports_unraisable(monkeypatch):
    reports = []
    monkeypatch.setattr("sys.unraisablehook", lambda u: reports.append(u))
    holder = [Corvane()]

    def drop():
        holder.clear()

    t = threading.Thread(target=drop)
    t.start()
    t.join()
    (report,) = reports
    assert report.exc_type is RuntimeError
    assert str(report.exc_value) == "_corvane::Corvane is unsendable, but is being dropped on another thread"


def test_objects_on_two_threads_both_draw(child):
    run = child(
        """
        import threading
        frame = bytes(12)
        def worker():
            obj = Corvane()
            for _ in range(20):
                obj.render(frame, 2, 2)
        threads = [threading.Thread(target=worker) for _ in range(2)]
        for t in threads: t.start()
        for t in threads: t.join(10)
        report([t.is_alive() for t in threads])
        """,
        cols=2,
        rows=2,
    )
    assert run.report == [False, False], "a thread hung"
    full = b"\x1b[H\x1b[38;2;0;0;0;48;2;0;0;0m\xe2\x96\x80\x1b[38;2;0;0;0;48;2;0;0;0m\xe2\x96\x80\x1b[K\r\n\x1b[0m"
    assert run.stdout.count(full) == 2, "each object's first frame is a full redraw"
    assert run.stdout.count(b"\x1b[0m") == 40
