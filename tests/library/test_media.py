"""corvane.media on real files made here: frame times, seeking, rotation, images, sound, export."""

from __future__ import annotations

import io
import os
import time
from fractions import Fraction

import numpy as np
import pytest

av = pytest.importorskip("av")
Image = pytest.importorskip("PIL.Image")

from corvane.media import MediaError, open_media  # noqa: E402
from corvane.media.encode import timed, trim, write_video  # noqa: E402
from corvane.media.sound import AlsaSink, PacedSink, SoundPlayer, SoundUnavailable  # noqa: E402

from corvane.errors import MediaWarning, SourceError  # noqa: E402
from corvane.geometry import as_frame, drawn_size, resize  # noqa: E402
from corvane.media import pictures  # noqa: E402

from clips import MS, RATE, clip, packed_avi  # noqa: E402


def level(frame, step=4):
    return round(int(frame.image[frame.image.shape[0] // 2, frame.image.shape[1] // 2, 1]) / step)


@pytest.mark.parametrize("times", [[i / 12 for i in range(24)], [i / 30 for i in range(30)],
                                   [i / 60 for i in range(60)], [0, 0.04, 0.05, 0.3, 0.31, 0.9, 1.0]],
                         ids=["12fps", "30fps", "60fps", "vfr"])
def test_frames_carry_their_times(tmp_path, times):
    with open_media(clip(tmp_path / "c.mp4", times)) as media:
        media.set_output_size(20, 10)
        frames = list(media)
    assert [f.image.shape for f in frames] == [(10, 20, 3)] * len(times)
    assert [level(f) for f in frames] == list(range(len(times)))
    assert np.allclose([f.time for f in frames], times, atol=0.0015)


def test_packed_b_frames_come_in_order(tmp_path):
    with open_media(packed_avi(tmp_path / "p.avi", 24)) as media:
        frames = list(media)
    assert [level(f, 8) for f in frames] == list(range(24))
    assert np.allclose(np.diff([f.time for f in frames]), 1 / 24)


def test_seek_shows_the_frame_on_show_then_reads_on(tmp_path):
    with open_media(clip(tmp_path / "c.mp4", [i / 12 for i in range(60)])) as media:
        assert (media.kind, media.size, media.seekable) == ("video", (64, 48), True)
        for target, index in [(0.0, 0), (3.0, 36), (3.04, 36), (1.5, 18), (0.0, 0), (-2.0, 0), (4.2, 50), (99.0, 59)]:
            frame = media.seek(target)
            assert (level(frame), round(frame.time * 12)) == (index, index), target
            following = media.read()
            assert following is None if index == 59 else level(following) == index + 1


@pytest.mark.parametrize("box, same", [((64, 48), True), ((17, 13), True), ((16, 12), False), ((8, 6), False)])
def test_deblocking_is_skipped_only_for_frames_shrunk_four_times(tmp_path, box, same):
    noise = np.random.default_rng(5).integers(0, 256, (48, 64, 3), np.uint8)
    pictures = [np.roll(noise, i, axis=1) for i in range(12)]  # B-frames, whose blocks the filter smooths
    path = clip(tmp_path / "n.mp4", [i / 30 for i in range(12)], pictures=pictures)
    with open_media(path) as plain, open_media(path, drawn_size=lambda size: drawn_size(*size, *box)) as hinted:
        pairs = [(a.image, b.image) for a, b in zip(plain, hinted)]  # each at its own size
    assert len(pairs) == 12 and all(np.array_equal(a, b) for a, b in pairs) == same


def test_rotation_metadata_is_honoured(tmp_path):
    picture, path = np.zeros((48, 64, 3), np.uint8), tmp_path / "r.mp4"
    picture[:24, :32] = (0, 0, 255)  # red top-left
    data = bytearray(open(clip(path, [0.0], pictures=[picture]), "rb").read())
    identity = bytes.fromhex("00010000" + "00" * 12 + "00010000" + "00" * 12 + "40000000")
    at = data.index(identity, data.index(b"tkhd"))  # the track's matrix: a quarter turn clockwise
    data[at : at + 36] = bytes.fromhex("00000000" "00010000" "00000000" "ffff0000" + "00" * 16 + "40000000")
    path.write_bytes(bytes(data))
    with open_media(str(path)) as media:
        media.set_output_size(24, 32)
        image = media.read().image
    assert media.size == (48, 64) and image.shape == (32, 24, 3)
    assert image[2, -3, 2] > 200 and image[2, 2, 2] < 50 and image[-3, -3, 2] < 50


def test_video_frames_shrink_to_the_true_averages(tmp_path):
    y, x = np.mgrid[0:48, 0:64]  # fine texture: a scaler that skips source pixels is far off
    picture = np.dstack([(x * 3 + y) % 256, ((x ^ y) * 9) % 256, (y * 5) % 256]).astype(np.uint8)
    path = clip(tmp_path / "t.mp4", [0.0], pictures=[picture])
    with av.open(path) as container:
        full = next(container.decode(video=0)).to_ndarray(format="bgr24", interpolation="ACCURATE_RND")
    with open_media(path) as media:
        media.set_output_size(8, 6)
        image = media.read().image
    assert np.abs(image.astype(int) - resize(full, 8, 6)).max() <= 8


@pytest.mark.parametrize("suffix", [".gif", ".webp", ".png"])
def test_animations_keep_their_delays(tmp_path, suffix):
    colours = [(255, 0, 0), (0, 255, 0), (0, 0, 255)]
    frames, path = [Image.new("RGB", (20, 10), c) for c in colours], str(tmp_path / f"a{suffix}")
    frames[0].save(path, save_all=True, append_images=frames[1:], duration=[50, 0, 200], loop=0, lossless=True)
    with open_media(path) as media:
        got = list(media)
        assert media.kind == "animation" and media.duration == 0.35 and media.loop  # summed whole
        assert [round(f.time, 3) for f in got] == [0.0, 0.05, 0.15]  # no delay: 100 ms
        assert [tuple(f.image[0, 0]) for f in got] == [c[::-1] for c in colours]
        assert media.seek(0.1).time == pytest.approx(0.05)


def test_stills_alpha_16_bits_and_exif_orientation(tmp_path):
    rgba = np.full((10, 20, 4), (255, 0, 0, 255), np.uint8)
    rgba[:, 10:, 3] = 128
    Image.fromarray(rgba, "RGBA").save(tmp_path / "a.png")
    with open_media(str(tmp_path / "a.png")) as media:
        assert media.kind == "still" and media.read().image[0, ::15].tolist() == [[0, 0, 255], [0, 0, 128]]
        assert media.read() is None
    with open_media(str(tmp_path / "a.png"), background=((0, 0, 0), (255, 255, 255))) as media:
        assert media.read().image[:, 15, 0].tolist() == [127, 0] * 5  # a checkerboard
    Image.fromarray(np.full((4, 4), 32768, np.uint16)).save(tmp_path / "g16.png")
    assert open_media(str(tmp_path / "g16.png")).read().image.tolist() == [[[128] * 3] * 4] * 4
    photo, exif = Image.new("RGB", (40, 20)), Image.Exif()
    photo.paste((255, 0, 0), (0, 0, 20, 10))
    exif[0x0112] = 6  # shown turned a quarter clockwise
    photo.save(tmp_path / "p.jpg", exif=exif)
    with open_media(str(tmp_path / "p.jpg")) as media:
        image = media.read().image
    assert media.size == (20, 40) and image[1, -2, 2] > 200 and image[1, 1, 2] < 50


def test_large_cut_and_piped_pictures(tmp_path, monkeypatch):
    Image.fromarray(np.random.default_rng(1).integers(0, 256, (200, 400, 3), np.uint8)).save(tmp_path / "big.jpg")
    monkeypatch.setattr(Image, "MAX_IMAGE_PIXELS", 5000)  # the picture is a bomb, unless reduced
    assert pictures.first_frame(str(tmp_path / "big.jpg"), least=(40, 20)).shape == (25, 50, 3)
    pytest.raises(SourceError, pictures.first_frame, str(tmp_path / "big.jpg"))
    monkeypatch.undo()
    y, x = np.mgrid[0:450, 0:601]
    pattern = np.dstack([x * 255 // 600, y * 255 // 449, (x ^ y) & 255]).astype(np.uint8)
    for width in (600, 601):  # averaged in blocks that tile it, or not at all: the shape stays
        Image.fromarray(pattern[:, :width]).save(tmp_path / "wide.png")
        frame = pictures.first_frame(str(tmp_path / "wide.png"), least=(30, 1))
        assert frame.shape[1] * 450 == frame.shape[0] * width
        exact = resize(np.ascontiguousarray(pattern[:, :width, ::-1]), 30, 22)
        assert np.abs(as_frame(resize(frame, 30, 22)).astype(int) - exact).max() <= 3
    (tmp_path / "cut.jpg").write_bytes((tmp_path / "big.jpg").read_bytes()[:20000])
    with pytest.warns(MediaWarning, match="cut short"):
        assert pictures.first_frame(str(tmp_path / "cut.jpg")).shape == (200, 400, 3)
    monkeypatch.setattr(pictures, "STDIN_LIMIT", 1000)
    pipe = io.BufferedReader(io.BytesIO((tmp_path / "big.jpg").read_bytes() + bytes(1000)))
    pytest.raises(SourceError, pictures.read_stdin, pipe).match("^more than 0 MiB: too large for a picture$")
    endless = io.BufferedReader(io.BytesIO(b"y\n" * 5_000_000))  # `yes`: streamed, refused
    pytest.raises(SourceError, pictures.first_frame, pictures.read_stdin(endless)).match(pictures.UNREADABLE)


def test_bad_input_is_one_plain_line(tmp_path):
    for name, data in [("empty", b""), ("junk.mp4", os.urandom(4000)), ("cut.png", b"\x89PNG\r\n\x1a\n" + bytes(30))]:
        (tmp_path / name).write_bytes(data)
    clip(tmp_path / "sound.mkv", [], audio=0.2)
    for name in ["missing", "", "empty", "junk.mp4", "cut.png", "sound.mkv"]:
        message = str(pytest.raises(MediaError, open_media, str(tmp_path / name)).value)
        assert message.startswith(f"{tmp_path / name}: ") and not any(c in message for c in "\n'["), message
    absent = next(i for i in range(64) if not os.path.exists(f"/dev/video{i}"))
    for index, reason in [(-1, "the camera number is 0 to 63"), (absent, f"there is no /dev/video{absent}")]:
        pytest.raises(MediaError, open_media, camera=index).match(f"^camera {index}: {reason}$")


def test_sound_flows_in_real_time_and_follows_seek_and_pause(tmp_path):
    heard = io.BytesIO()
    player = SoundPlayer(clip(tmp_path / "s.mkv", [0.0], audio=3.0), start=0.5,
                         sink=lambda rate, channels: PacedSink(rate, channels, heard))
    try:
        began = time.monotonic()
        time.sleep(0.4)
        clock, elapsed = player.clock(), time.monotonic() - began
        assert clock is not None and abs(clock - 0.5 - elapsed) < 0.03
        samples = np.frombuffer(heard.getvalue(), np.int16)
        assert samples[0] in (500, 501) and np.all(np.diff(samples) >= 0)  # from 0.5 s, in order
        assert abs(len(samples) / RATE - elapsed - 0.1) < 0.06  # heard + what the device holds
        player.pause(True)
        held = len(heard.getvalue())
        time.sleep(0.1)
        assert player.clock() is None and len(heard.getvalue()) == held
        player.seek(2.0), player.pause(False)
        time.sleep(0.2)
        assert np.frombuffer(heard.getvalue()[held:], np.int16)[0] in (2000, 2001)
        assert abs(player.clock() - 2.2) < 0.05
    finally:
        player.close()


@pytest.mark.skipif(os.path.exists("/dev/snd"), reason="a machine with sound")
def test_alsa_null_device_is_paced_by_the_clock_and_no_device_is_a_note(tmp_path):
    player = SoundPlayer(clip(tmp_path / "s.mkv", [0.0], audio=3.0),
                         sink=lambda rate, channels: AlsaSink(rate, channels, "null"))
    try:
        began = time.monotonic()
        time.sleep(1.0)
        clock, elapsed = player.clock(), time.monotonic() - began
        assert clock is not None and abs(clock - elapsed) < 0.3 and player.note.startswith("no sound")
    finally:
        player.close()
    pytest.raises(SoundUnavailable, AlsaSink, RATE, 1).match("^no sound device$")


def test_export_h264_and_gif_keep_the_pace(tmp_path):
    frames = [np.full((33, 61, 3), 6 * index % 240, np.uint8) for index in range(60)]
    pytest.raises(MediaError, write_video, str(tmp_path / "none.mp4"), iter(()))  # no frames, no file
    out = str(tmp_path / "o.mp4")
    assert write_video(out, trim(timed(frames[:40], 20), 0.5, 1.5)) == 20
    with av.open(out) as check:
        codec = check.streams.video[0].codec_context
        assert (codec.name, codec.format.name, codec.width, codec.height) == ("h264", "yuv420p", 62, 34)
    got = list(open_media(out))
    assert [level(f, 6) for f in got] == list(range(10, 30))
    assert np.allclose([f.time for f in got], np.arange(20) / 20, atol=0.002)
    gif = str(tmp_path / "o.gif")
    assert write_video(gif, timed(frames, 60)) == 40  # 17 ms apart: one in three is left out
    with open_media(gif) as media:
        assert media.duration == pytest.approx(1.0, abs=0.011)
        assert set(np.round(np.diff([f.time for f in media]), 3)) == {0.02, 0.03}
    pytest.raises(MediaError, write_video, gif, timed(frames, 10)).match("exists")
    assert sorted(os.listdir(tmp_path)) == ["o.gif", "o.mp4"]
    stills = [(frames[0], t) for t in (0.0, 1.0, 2.0, 3.0)]
    assert [t for _, t in trim(stills, 1.5, 3.0)] == [0.0, 0.5] and [t for _, t in trim(stills, 5.0)] == [0.0]
