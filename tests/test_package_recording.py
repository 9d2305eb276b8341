"""corvane.Recording against recordings made by the module in a pty and by hand, damaged ones too."""

import numpy as np
import pytest

from corvane import Recording, RecordingError
from recording_cases import DAMAGED, GOOD, GOOD_FRAMES, uniform
from recording_file import MAGIC, frames as reference_frames, parse, record

RECORD = """
import numpy as np
c = Corvane()
c.start_recording({path!r})
base = np.arange(8 * 6 * 3, dtype=np.int64).reshape(6, 8, 3)
for i in range(165):
    if i == 125:
        set_size(0, 6, 3)  # noticed by the size query of the 150th frame
    frame = ((base * 7 + i * 13) % 256).astype(np.uint8)
    c.render(frame.reshape(-1), 8, 6)
c.stop_recording()
"""


@pytest.fixture(scope="module")
def module_recording(tmp_path_factory):
    tmp = tmp_path_factory.mktemp("made")
    from conftest import run_child

    path = tmp / "made.lzdx"
    run = run_child(RECORD.format(path=str(path)), tmp, cols=8, rows=4)
    assert run.returncode == 0, run.stderr
    return path


def test_counts_and_sizes_of_a_module_recording(module_recording):
    with Recording(module_recording) as rec:
        assert (len(rec), rec.key_count, rec.delta_count) == (165, 3, 162)
        assert rec.key_frames == [0, 120, 149]  # the first, the 121st, the first after the resize
        assert rec.sizes() == {(8, 6, 8, 4): 149, (6, 4, 6, 3): 16}
        assert rec.file_size == module_recording.stat().st_size
        assert rec.payload_bytes == rec.file_size - 4 - 21 * 165
        assert rec.raw_bytes == (149 * 48 + 16 * 24) * 3
        assert rec.damage is None and rec.verify() is None


def test_frames_of_a_module_recording(module_recording):
    expected = [np.frombuffer(f, np.uint8) for f in reference_frames(parse(module_recording.read_bytes()))]
    base = np.arange(8 * 6 * 3).reshape(6, 8, 3)
    with Recording(module_recording) as rec:
        decoded = list(rec)
        assert [f.shape for f in decoded] == [(6, 8, 3)] * 149 + [(4, 6, 3)] * 16
        assert all(np.array_equal(f.reshape(-1), e) for f, e in zip(decoded, expected))
        # Frames drawn at the grid's own size are recorded exactly as given.
        assert all(np.array_equal(decoded[i], (base * 7 + i * 13) % 256) for i in (0, 1, 119, 120, 148))
        # Random access, in an order that uses the cache, steps back and crosses key frames.
        for i in (164, 0, 150, 149, 148, 119, 120, 121, 10, 12, 11, 163):
            assert np.array_equal(rec[i], decoded[i]), i
        assert np.array_equal(rec[-1], decoded[164])
        rec[12][:] = 0  # a returned frame is the caller's own
        assert np.array_equal(rec[12], decoded[12])
        with pytest.raises(IndexError):
            rec.frame(165)


def test_hand_made_recording_keys_and_deltas(tmp_path):
    path = tmp_path / "good.lzdx"
    path.write_bytes(GOOD)
    with Recording(path) as rec:
        assert [int(f[0, 0, 0]) for f in rec] == GOOD_FRAMES
        assert [r.frame_type for r in rec.records] == [0, 1, 0]
        assert [r.offset for r in rec.records] == [4, rec.records[0].end, rec.records[1].end]
        assert rec.key_at_or_before(1) == 0 and rec.key_at_or_before(2) == 2


@pytest.mark.parametrize("content, message", [
    (b"", "offset 0: not a recording: the file is empty"),
    (b"LZD", "offset 0: not a recording: it starts with b'LZD'"),
    (b"GIF89a", "offset 0: not a recording: it starts with b'GIF8'"),
])
def test_not_a_recording(tmp_path, content, message):
    path = tmp_path / "x.lzdx"
    path.write_bytes(content)
    with pytest.raises(RecordingError) as caught:
        Recording(path)
    assert str(caught.value).startswith(message) and caught.value.offset == 0


def test_missing_file_and_directory(tmp_path):
    with pytest.raises(FileNotFoundError):
        Recording(tmp_path / "missing.lzdx")
    with pytest.raises(IsADirectoryError):
        Recording(tmp_path)


def test_delta_first_is_damage(tmp_path):
    path = tmp_path / "x.lzdx"
    path.write_bytes(MAGIC + record(1, 2, 2, uniform(1)))
    with Recording(path) as rec:
        assert len(rec) == 0 and str(rec.damage) == "record 1 at offset 4: delta frame with no frame before it"
        with pytest.raises(RecordingError):
            list(rec)


@pytest.mark.parametrize("case", DAMAGED, ids=[d.name for d in DAMAGED])
def test_damaged_recordings_name_the_offset(tmp_path, case):
    path = tmp_path / "damaged.lzdx"
    path.write_bytes(GOOD + case.tail)
    offset = len(GOOD) + (21 if case.in_payload else 0)
    with Recording(path) as rec:
        assert len(rec) == case.readable
        error = rec.verify()
        assert error is not None and (error.offset, error.record) == (offset, 3)
        assert str(error) == f"record 4 at offset {offset}: {error.message}"
        assert error.message.startswith(case.message)
        seen = []
        with pytest.raises(RecordingError) as caught:
            for frame in rec:
                seen.append(int(frame[0, 0, 0]))
        assert seen == GOOD_FRAMES and caught.value.offset == offset
        assert np.array_equal(rec[2], np.full((2, 2, 3), 30, np.uint8)), "frames before the damage still decode"
