"""The module, the class and the PanicException type."""

import sys

import pytest

import _corvane
from _corvane import Corvane


def test_module_surface():
    assert _corvane.__all__ == ["Corvane"]
    assert Corvane.__module__ == "builtins"
    assert Corvane.__name__ == Corvane.__qualname__ == "Corvane"
    assert Corvane.__doc__ == "Python wrapper for the Corvane library."
    assert Corvane.__text_signature__ == "()"
    assert not hasattr(_corvane, "PanicException")


@pytest.mark.parametrize(
    "name, signature",
    [
        ("render", "($self, data, width, height)"),
        ("get_mapping_info", "($self)"),
        ("hide_cursor", "($self)"),
        ("show_cursor", "($self)"),
    ],
)
def test_method_signatures(name, signature):
    method = getattr(Corvane, name)
    assert method.__text_signature__ == signature
    assert not method.__doc__


def test_methods_registered_in_table_order():
    order = ["start_recording", "stop_recording", "render", "get_mapping_info", "play",
             "hide_cursor", "show_cursor", "poll_key"]
    present = [name for name in Corvane.__dict__ if name in order]
    assert present == [name for name in order if name in present]


def test_class_is_final_and_plain():
    with pytest.raises(TypeError):
        type("Sub", (Corvane,), {})
    obj = Corvane()
    with pytest.raises(AttributeError):
        obj.anything = 1
    with pytest.raises(TypeError):
        __import__("weakref").ref(obj)


@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        ((1,), {}, "Corvane.__new__() takes 0 positional arguments but 1 was given"),
        ((1, 2), {}, "Corvane.__new__() takes 0 positional arguments but 2 were given"),
        ((), {"x": 1}, "Corvane.__new__() got an unexpected keyword argument 'x'"),
    ],
)
def test_constructor_arguments(args, kwargs, message):
    with pytest.raises(TypeError) as info:
        Corvane(*args, **kwargs)
    assert str(info.value) == message


def test_fresh_object_reports_no_frame():
    info = Corvane().get_mapping_info()
    assert (info["frame_w"], info["frame_h"]) == (0, 0)


def test_second_initialisation_is_refused(child):
    run = child(
        """
        del sys.modules["_corvane"]
        try:
            import _corvane
        except ImportError as e:
            report(str(e))
        """
    )
    assert run.report == (
        "PyO3 modules compiled for CPython 3.8 or older may only be initialized once per interpreter process"
    )


def panic_type(child):
    """Provokes a panic in a child and returns facts about the exception type."""
    return child(
        """
        import threading
        obj = Corvane()
        seen = {}
        def call():
            try:
                obj.get_mapping_info()
            except BaseException as e:
                seen["e"] = e
        for _ in range(2):
            t = threading.Thread(target=call); t.start(); t.join()
            seen.setdefault("types", []).append(type(seen["e"]))
        t = seen["types"][0]
        report({
            "name": t.__name__, "module": t.__module__, "same": seen["types"][0] is seen["types"][1],
            "base": t.__base__.__name__, "is_exception": issubclass(t, Exception),
            "args": list(seen["e"].args),
        })
        """
    )


def test_panic_exception_type(child):
    run = panic_type(child)
    facts = run.report
    assert facts["name"] == "PanicException" and facts["module"] == "pyo3_runtime"
    assert facts["base"] == "BaseException" and not facts["is_exception"]
    assert facts["same"], "the type is created once per process"
    (message,) = facts["args"]
    assert message.startswith(
        "assertion `left == right` failed: _corvane::Corvane is unsendable, but sent to another thread\n  left: "
    )
    assert "\n right: " in message
    assert message in run.stderr, "the panic message is also written to standard error"
