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

RATE = 8000


def clip(path, times, *, keyint=12, audio=0.0, size=(64, 48)):
    """A video whose frame i is grey level 4 * i at ``times[i]``; with ``audio`` seconds of PCM
    sound whose every sample is the millisecond it is heard at."""
    with av.open(str(path), "w") as out:
        video = out.add_stream("libx264", rate=30, options={"g": str(keyint), "bf": "2"})
        video.width, video.height, video.pix_fmt = size[0], size[1], "yuv420p"
        video.codec_context.time_base = Fraction(1, 1000)
        sound = out.add_stream("pcm_s16le", rate=RATE, layout="mono") if audio else None
        for index, at in enumerate(times):
            frame = av.VideoFrame.from_ndarray(np.full((size[1], size[0], 3), 4 * index, np.uint8), "bgr24")
            frame.pts, frame.time_base = round(at * 1000), Fraction(1, 1000)
            out.mux(video.encode(frame))
        out.mux(video.encode(None))
        for start in range(0, int(audio * RATE), 800) if sound else ():
            ms = (np.arange(start, start + 800) * 1000 // RATE).astype(np.int16)
            chunk = av.AudioFrame.from_ndarray(ms[None, :], format="s16", layout="mono")
            chunk.sample_rate, chunk.pts = RATE, start
            out.mux(sound.encode(chunk))
    return str(path)


def level(frame, step=4):
    return round(int(frame.image[frame.image.shape[0] // 2, frame.image.shape[1] // 2, 1]) / step)


@pytest.mark.parametrize("times", [
    [i / 12 for i in range(24)], [i / 30 for i in range(30)], [i / 60 for i in range(60)],
    [0, 0.04, 0.05, 0.3, 0.31, 0.9, 1.0],  # variable frame rate
], ids=["12fps", "30fps", "60fps", "vfr"])
def test_frames_carry_their_times(tmp_path, times):
    with open_media(clip(tmp_path / "c.mp4", times)) as media:
        media.set_output_size(20, 10)
        frames = list(media)
    assert [f.image.shape for f in frames] == [(10, 20, 3)] * len(times)
    assert [level(f) for f in frames] == list(range(len(times)))
    assert np.allclose([f.time for f in frames], times, atol=0.0015)


def test_seek_shows_the_frame_on_show_then_reads_on(tmp_path):
    times = [i / 12 for i in range(60)]  # key frames every second
    with open_media(clip(tmp_path / "c.mp4", times)) as media:
        assert (media.kind, media.size, media.seekable) == ("video", (64, 48), True)
        for target, index in [(3.0, 36), (3.04, 36), (1.5, 18), (0.0, 0), (-2.0, 0), (4.2, 50), (99.0, 59)]:
            frame = media.seek(target)
            assert (level(frame), round(frame.time * 12)) == (index, index), target
            following = media.read()
            assert following is None if index == 59 else level(following) == index + 1


def test_rotation_metadata_is_honoured(tmp_path):
    path = tmp_path / "r.mp4"
    with av.open(str(path), "w") as out:
        video = out.add_stream("libx264", rate=30)
        video.width, video.height, video.pix_fmt = 64, 48, "yuv420p"
        picture = np.zeros((48, 64, 3), np.uint8)
        picture[:24, :32] = (0, 0, 255)  # red top-left
        out.mux(video.encode(av.VideoFrame.from_ndarray(picture, "bgr24")))
        out.mux(video.encode(None))
    data = bytearray(path.read_bytes())  # the track's matrix: turn 90 degrees clockwise
    identity = bytes.fromhex("00010000" + "00" * 12 + "00010000" + "00" * 12 + "40000000")
    at = data.index(identity, data.index(b"tkhd"))
    data[at : at + 36] = bytes.fromhex("00000000" "00010000" "00000000" "ffff0000" + "00" * 16 + "40000000")
    path.write_bytes(bytes(data))
    with open_media(str(path)) as media:
        media.set_output_size(24, 32)
        image = media.read().image
    assert media.size == (48, 64) and image.shape == (32, 24, 3)
    assert image[2, -3, 2] > 200 and image[2, 2, 2] < 50 and image[-3, -3, 2] < 50


@pytest.mark.parametrize("suffix", [".gif", ".webp", ".png"])
def test_animations_keep_their_delays(tmp_path, suffix):
    colours = [(255, 0, 0), (0, 255, 0), (0, 0, 255)]
    frames = [Image.new("RGB", (20, 10), c) for c in colours]
    path = str(tmp_path / f"a{suffix}")
    frames[0].save(path, save_all=True, append_images=frames[1:], duration=[50, 0, 200], loop=0, lossless=True)
    with open_media(path) as media:
        got = list(media)
        assert media.kind == "animation" and media.duration == pytest.approx(0.35)
        assert [round(f.time, 3) for f in got] == [0.0, 0.05, 0.15]  # no delay: 100 ms
        assert [tuple(f.image[0, 0]) for f in got] == [c[::-1] for c in colours]
        assert media.seek(0.1).time == pytest.approx(0.05)


def test_stills_alpha_over_black_and_exif_orientation(tmp_path):
    rgba = np.zeros((10, 20, 4), np.uint8)
    rgba[:, :, 0], rgba[:, :10, 3], rgba[:, 10:, 3] = 255, 255, 128
    Image.fromarray(rgba, "RGBA").save(tmp_path / "a.png")
    with open_media(str(tmp_path / "a.png")) as media:
        frame = media.read()
        assert media.kind == "still" and media.read() is None
        assert tuple(frame.image[0, 0]) == (0, 0, 255) and tuple(frame.image[0, 15]) == (0, 0, 128)
    photo = Image.new("RGB", (40, 20))
    photo.paste((255, 0, 0), (0, 0, 20, 10))
    exif = Image.Exif()
    exif[0x0112] = 6  # shown turned 90 degrees clockwise
    photo.save(tmp_path / "p.jpg", exif=exif)
    with open_media(str(tmp_path / "p.jpg")) as media:
        image = media.read().image
    assert media.size == (20, 40) and image[1, -2, 2] > 200 and image[1, 1, 2] < 50


def test_bad_input_is_one_plain_line(tmp_path):
    (tmp_path / "empty").write_bytes(b"")
    (tmp_path / "junk.mp4").write_bytes(os.urandom(4000))
    (tmp_path / "cut.png").write_bytes(b"\x89PNG\r\n\x1a\n" + b"\0" * 30)
    with av.open(str(tmp_path / "sound.wav"), "w") as out:
        stream = out.add_stream("pcm_s16le", rate=RATE)
        chunk = av.AudioFrame.from_ndarray(np.zeros((1, 800), np.int16), format="s16", layout="mono")
        chunk.sample_rate = RATE
        out.mux(stream.encode(chunk))
    for name in ["missing", "", "empty", "junk.mp4", "cut.png", "sound.wav"]:
        with pytest.raises(MediaError) as caught:
            open_media(str(tmp_path / name))
        message = str(caught.value)
        assert message.startswith(str(tmp_path / name) + ": ") and "\n" not in message
        assert "'" not in message and "Errno" not in message, message
    absent = next(i for i in range(64) if not os.path.exists(f"/dev/video{i}"))
    for index, reason in [(-1, "the camera number is 0 to 63"), (64, "the camera number is 0 to 63"),
                          (absent, f"there is no /dev/video{absent}")]:
        with pytest.raises(MediaError, match=f"^camera {index}: {reason}$"):
            open_media(camera=index)


def test_sound_flows_in_real_time_and_follows_seek_and_pause(tmp_path):
    path = clip(tmp_path / "s.mkv", [i / 10 for i in range(30)], audio=3.0)
    heard = io.BytesIO()
    player = SoundPlayer(path, start=0.5, sink=lambda rate, channels: PacedSink(rate, channels, heard))
    try:
        began = time.monotonic()
        time.sleep(0.4)
        clock, elapsed = player.clock(), time.monotonic() - began
        assert clock is not None and abs(clock - 0.5 - elapsed) < 0.03
        samples = np.frombuffer(heard.getvalue(), np.int16)
        assert samples[0] in (500, 501) and np.all(np.diff(samples) >= 0)  # from 0.5 s, in order
        assert abs(len(samples) / RATE - elapsed - 0.1) < 0.06  # heard + what the device holds
        player.pause(True)
        assert player.clock() is None
        held = len(heard.getvalue())
        time.sleep(0.1)
        assert len(heard.getvalue()) == held
        player.seek(2.0)
        player.pause(False)
        time.sleep(0.2)
        assert np.frombuffer(heard.getvalue()[held:], np.int16)[0] in (2000, 2001)
        assert abs(player.clock() - 2.2) < 0.05
    finally:
        player.close()


def test_alsa_device_or_a_plain_note():
    sink = AlsaSink(RATE, 1, "null")  # ALSA's null device takes samples and plays nothing
    assert sink.wait(0.01) > 0
    sink.write(bytes(1600))
    sink.close()
    if not os.path.exists("/dev/snd"):
        with pytest.raises(SoundUnavailable, match="^no sound device$"):
            AlsaSink(RATE, 1)


def test_export_h264_and_gif_keep_the_pace(tmp_path):
    def frames(count):
        for index in range(count):
            yield np.full((33, 61, 3), 6 * index % 240, np.uint8)
    with pytest.raises(MediaError):  # no frames: nothing is left behind
        write_video(str(tmp_path / "none.mp4"), iter(()))
    out = str(tmp_path / "o.mp4")
    assert write_video(out, trim(timed(frames(40), 20), 0.5, 1.5)) == 20
    with av.open(out) as check:
        stream = check.streams.video[0]
        assert (stream.codec_context.name, stream.codec_context.format.name) == ("h264", "yuv420p")
        assert (stream.width, stream.height) == (62, 34)
    with open_media(out) as media:
        got = list(media)
    assert [level(f, 6) for f in got] == list(range(10, 30))
    assert np.allclose([f.time for f in got], np.arange(20) / 20, atol=0.002)
    gif = str(tmp_path / "o.gif")
    assert write_video(gif, timed(frames(60), 60)) == 40  # 10 ms apart: every third left out
    with open_media(gif) as media:
        assert media.duration == pytest.approx(1.0, abs=0.011)
        assert set(np.round(np.diff([f.time for f in media]), 3)) == {0.02, 0.03}
    with pytest.raises(MediaError, match="exists"):
        write_video(gif, timed(frames(2), 10))
    assert sorted(os.listdir(tmp_path)) == ["o.gif", "o.mp4"]


def test_trim_starts_with_the_frame_on_show():
    frames = [(np.zeros((1, 1, 3), np.uint8), t) for t in (0.0, 1.0, 2.0, 3.0)]
    assert [t for _, t in trim(frames, 1.5, 3.0)] == [0.0, 0.5]
    assert [t for _, t in trim(frames, 5.0)] == [0.0]
