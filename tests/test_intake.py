"""Buffer-backed frames take a fast path that must behave exactly like element-by-element conversion."""

import pytest

CASES = """
import array
import numpy as np

class Seq:
    # A plain sequence over the same elements: always converted element by element.
    def __init__(self, inner):
        self.inner = inner
    def __len__(self):
        return len(self.inner)
    def __getitem__(self, i):
        return self.inner[i]

W, H = 4, 2
base = bytes((i * 41 + 7) % 256 for i in range(W * H * 3))
wide = np.frombuffer(base, dtype=np.uint8).astype(np.uint16)
cases = {
    "memoryview": memoryview(base),
    "memoryview of bytearray": memoryview(bytearray(base)),
    "array B": array.array("B", base),
    "numpy uint8": np.frombuffer(base, dtype=np.uint8).copy(),
    "numpy read-only": np.frombuffer(base, dtype=np.uint8),
    "numpy strided": np.frombuffer(base * 2, dtype=np.uint8)[::2].copy()[::1],
    "numpy every other": np.repeat(np.frombuffer(base, dtype=np.uint8), 2)[::2],
    "numpy uint16 small": wide,
    "numpy bool": np.frombuffer(base, dtype=np.uint8) > 100,
    "array b": array.array("b", [x - 128 for x in base]),
    "array H big": array.array("H", [x * 2 for x in base]),
    "memoryview b": memoryview(bytes(base)).cast("b"),
    "memoryview 2-d": memoryview(base).cast("B", (H, W * 3)),
    "numpy 2-d": np.frombuffer(base, dtype=np.uint8).reshape(H, W * 3),
    "numpy float": np.frombuffer(base, dtype=np.uint8).astype(np.float64),
    "numpy int64 negative": np.frombuffer(base, dtype=np.uint8).astype(np.int64) - 1,
}

def outcome(data):
    obj = Corvane()
    start = os.lseek(1, 0, os.SEEK_CUR)
    try:
        obj.render(data, W, H)
    except BaseException as e:
        return [type(e).__name__, str(e)]
    end = os.lseek(1, 0, os.SEEK_CUR)
    return ["drawn", end - start, start]

results = {}
for name, data in cases.items():
    results[name] = [outcome(data), outcome(Seq(data))]
report(results)
"""


def test_fast_path_matches_element_path(child):
    run = child(CASES, cols=4, rows=2)
    assert run.returncode == 0, run.stderr
    stream = run.stdout
    for name, (fast, slow) in run.report.items():
        assert fast[0] == slow[0], (name, fast, slow)
        if fast[0] == "drawn":
            assert fast[1] == slow[1]
            assert stream[fast[2] : fast[2] + fast[1]] == stream[slow[2] : slow[2] + slow[1]], name
        else:
            assert fast == slow, name
    drawn = {name for name, (fast, _) in run.report.items() if fast[0] == "drawn"}
    assert {"memoryview", "array B", "numpy uint8", "numpy every other", "numpy uint16 small"} <= drawn
    assert run.report["array H big"][0][0] == "OverflowError"
    assert run.report["numpy 2-d"][0][1].startswith("argument 'data': ")


def test_mutation_during_conversion_is_not_seen(child):
    """A size's __index__ that rewrites the frame runs after the frame was taken."""
    run = child(
        """
        import numpy as np
        class Sneaky:
            def __init__(self, target):
                self.target = target
            def __index__(self):
                self.target[0] = 255
                return 2
        outs = []
        for make in (bytearray, lambda b: np.frombuffer(b, dtype=np.uint8).copy(), lambda b: memoryview(bytearray(b))):
            data = make(bytes(12))
            start = os.lseek(1, 0, os.SEEK_CUR)
            Corvane().render(data, Sneaky(data), 2)
            outs.append(os.lseek(1, 0, os.SEEK_CUR) - start)
        report(outs)
        """,
        cols=2,
        rows=2,
    )
    assert run.returncode == 0, run.stderr
    black = b"\x1b[38;2;0;0;0;48;2;0;0;0m\xe2\x96\x80"
    assert run.stdout == (b"\x1b[H" + black * 2 + b"\x1b[K\r\n\x1b[0m") * 3


@pytest.mark.parametrize("shrink", [True, False])
def test_list_changed_by_an_element_is_iterated_like_python_does(child, shrink):
    run = child(
        f"""
        frame = list(range(12))
        class Changer:
            def __index__(self):
                if {shrink}:
                    del frame[6:]
                else:
                    frame.extend([0] * 3)
                return 0
        frame[2] = Changer()
        try:
            Corvane().render(frame, 2, 2)
            report("drawn")
        except ValueError as e:
            report(str(e))
        """,
        cols=2,
        rows=2,
    )
    expected = 6 if shrink else 15
    assert run.report.startswith(f"data holds {expected} bytes")
