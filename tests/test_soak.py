"""Every method and error path thousands of times over (children.soak): nothing may pile up.

Under AddressSanitizer (make asan-py-test) a short run also asks LeakSanitizer, while the
interpreter is still alive, for blocks nothing refers to any more: those are the module's, where
a leak check at exit would also list everything the interpreter keeps to its end.
"""

import os

import pytest

import _corvane
import children
from conftest import SANITIZED


def test_nothing_piles_up(child, tmp_path):
    run = child(children.soak, 200 if SANITIZED else 1000, str(tmp_path), cols=4, rows=3, stdout="devnull", timeout=600)
    assert run.returncode == 0, run.stderr[-3000:]
    (fds0, rss0, objects0, blocks0), (fds1, rss1, objects1, blocks1) = run.report["before"], run.report["after"]
    assert run.report["wrong"] == [] and not any(run.report["refs"]), "a call did otherwise, or kept or lost a reference"
    assert fds1 == fds0 and objects1 - objects0 <= 50 and blocks1 - blocks0 <= 250, run.report
    assert SANITIZED or rss1 - rss0 <= 1024, f"resident memory {rss0} -> {rss1} KiB"  # the sanitizer holds freed memory
    assert run.report["unraisable"] == ["RuntimeError"], "the objects dropped on other threads say so"


@pytest.mark.skipif(not SANITIZED, reason="needs the extension built with AddressSanitizer (make asan-py-test)")
def test_no_block_is_lost(child, tmp_path):
    """Frames the interpreter references only from memory the sanitizer does not scan are suppressed."""
    (tmp_path / "lsan.supp").write_text("leak:_PyFrame_New_NoTrack\n")
    options = [o for o in os.environ.get("ASAN_OPTIONS", "").split(":") if not o.startswith(("log_path", "detect_leaks"))]
    env = {"ASAN_OPTIONS": ":".join(options + ["detect_leaks=1", "fast_unwind_on_malloc=0"]),
           "LSAN_OPTIONS": f"suppressions={tmp_path / 'lsan.supp'}:print_suppressions=0"}
    run = child(children.soak, 30, str(tmp_path), True, cols=4, rows=3, stdout="devnull", env=env, timeout=300)
    assert run.returncode == 0 and run.report["wrong"] == [], run.stderr[-3000:]
    assert run.report["found"] == 0, run.stderr.split("-- leak check of the control --")[0][-6000:]
    assert run.report["control"] == 1, "the leak check found nothing where leaks were made"


@pytest.mark.skipif(not SANITIZED, reason="only the sanitized suite must prove which build it tests")
def test_the_sanitized_build_is_under_test():
    with open("/proc/self/maps") as maps:
        assert "libasan" in maps.read()
    assert "asan" in os.path.dirname(_corvane.__file__), _corvane.__file__
