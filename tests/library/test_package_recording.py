"""corvane.Recording and RecordingWriter against recordings of the native module and by hand."""

import errno

import numpy as np
import pytest

from pty_child import HIDE, SHOW, run_child
from corvane import Recording, RecordingError, RecordingWriter
from recording_cases import DAMAGED, GOOD, GOOD_FRAMES, uniform
from recording_file import MAGIC, frames, parse, record

RECORD = """
import numpy as np
from corvane import RecordingWriter
frames = [np.random.default_rng(i // 3).integers(0, 256, (4, 6, 3), dtype=np.uint8) for i in range(130)]
c = Corvane()
c.start_recording("native.lzdx")
for f in frames:
    c.render(f.reshape(-1), 6, 4)
c.stop_recording()
with RecordingWriter("ours.lzdx") as w:
    for f in frames:
        w.write_frame(f, (6, 3))
c.play("ours.lzdx", 0.0)
report(open("native.lzdx", "rb").read() == open("ours.lzdx", "rb").read())
"""


def test_the_writer_writes_as_the_native_recorder_and_the_reader_reads_it(tmp_path):
    run = run_child(f"os.chdir({str(tmp_path)!r})\n" + RECORD, tmp_path, cols=6, rows=3)
    assert run.report is True, "the writer's file is the native recorder's, byte for byte"
    assert run.stdout.endswith(SHOW) and run.stdout.count(HIDE) == 1, "and the native player plays it"
    frames = [np.random.default_rng(i // 3).integers(0, 256, (4, 6, 3), dtype=np.uint8) for i in range(130)]
    with Recording(tmp_path / "native.lzdx") as rec:
        assert (len(rec), rec.key_frames, rec.sizes()) == (130, [0, 120], {(6, 4, 6, 3): 130})
        assert rec.payload_bytes == rec.file_size - 4 - 21 * 130 and rec.verify() is None
        assert all(np.array_equal(a, b) for a, b in zip(rec, frames))
        for i in (129, 0, 121, 120, 119, 10, 12, 11, -1):  # the cache, steps back, key frames
            assert np.array_equal(rec[i], frames[i]), i
        rec[12][:] = 0  # a returned frame is the caller's own
        assert np.array_equal(rec[12], frames[12])
        assert all(np.array_equal(a, b) for a, b in zip(rec[125:140], frames[125:]))
        assert len(rec[125:140]) == 5 and len(rec[::-40]) == 4 and rec[5:2] == []
        for index in (130, -131, -1000):
            with pytest.raises(IndexError, match=f"frame index {index} is out of range: the recording has 130 frames"):
                rec[index]


@pytest.mark.parametrize("fps", [12, 30, 60])
def test_the_writer_keeps_time_at_any_frame_rate(tmp_path, fps):
    path = tmp_path / "t.lzdx"
    with RecordingWriter(path) as writer:
        for i in range(fps):  # one second, frame i of value i
            writer.add(np.full((2, 3, 3), i, np.uint8), (3, 2), i / fps)
        writer.close(1.0)
    with Recording(path) as rec:
        assert len(rec) == 31 and rec.key_frames == [0]
        assert [int(f[0, 0, 0]) for f in rec] == [int(k * 0.033 * fps + 1e-6) for k in range(31)]


def test_delta_first(tmp_path):
    (tmp_path / "x").write_bytes(MAGIC + record(1, 2, 2, uniform(1)))
    with Recording(tmp_path / "x") as rec:
        assert len(rec) == 0 and str(rec.damage) == "record 1 at offset 4: delta frame with no frame before it"
        with pytest.raises(RecordingError, match="^record 1 at offset 4: delta"):
            rec.require_frames()


@pytest.mark.parametrize("case", DAMAGED, ids=[d.name for d in DAMAGED])
def test_damaged_recordings_name_the_record_and_offset(tmp_path, case):
    path = tmp_path / "damaged.lzdx"
    path.write_bytes(GOOD + case.tail)
    offset = len(GOOD) + (21 if case.in_payload else 0)
    with Recording(path) as rec:
        assert len(rec) == case.readable
        error = rec.verify()
        assert (error.offset, error.record, error.index) == (offset, 4, 3)
        assert str(error) == f"record 4 at offset {offset}: {error.message}"
        assert error.message.startswith(case.message) and "b'" not in error.message
        seen = []
        with pytest.raises(RecordingError):
            seen += [int(frame[0, 0, 0]) for frame in rec]
        assert [int(f[0, 0, 0]) for f in rec[:3]] == GOOD_FRAMES and seen == []
        assert np.array_equal(rec[2], np.full((2, 2, 3), 30, np.uint8)), "frames before the damage still decode"


CUT = """
import resource, signal
import numpy as np
from corvane import RecordingWriter
os.chdir(DIR)
os.umask(0o027)
signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
resource.setrlimit(resource.RLIMIT_FSIZE, (3000, resource.RLIM_INFINITY))
rng = np.random.default_rng(1)
writer = RecordingWriter("cut.lzdx")
try:
    while True:
        writer.write_frame(rng.integers(0, 256, (8, 10, 3), dtype=np.uint8), (10, 5))
except OSError as error:
    failed = error.errno
writer.close()
try:
    RecordingWriter("cut.lzdx")
except FileExistsError:
    report([failed, writer.records, os.stat("cut.lzdx").st_mode & 0o777])
"""


def test_the_writer_creates_a_new_file_and_cuts_a_failed_record_off(tmp_path):
    run = run_child(CUT.replace("DIR", repr(str(tmp_path))), tmp_path, cols=10, rows=5)
    failed, written, mode = run.report
    assert (failed, mode) == (errno.EFBIG, 0o640), "the file is refused past its limit, made 0666 minus the umask"
    records = parse((tmp_path / "cut.lzdx").read_bytes())  # raises on a partial record
    rng = np.random.default_rng(1)
    assert 0 < written == len(records) and frames(records) == [
        rng.integers(0, 256, (8, 10, 3), dtype=np.uint8).tobytes() for _ in records]
    RecordingWriter(tmp_path / "cut.lzdx", overwrite=True).close()
    assert (tmp_path / "cut.lzdx").read_bytes() == MAGIC, "overwriting empties the file"
