"""Clips made here with PyAV for the media, view and export tests."""

from __future__ import annotations

from fractions import Fraction

import av
import numpy as np

RATE = 8000
MS = Fraction(1, 1000)


def clip(path, times, *, audio=0.0, pictures=None):
    """Frame i grey level 4 * i (or ``pictures[i]``) at ``times[i]``, a key frame every 12;
    ``audio`` seconds of PCM sound whose every sample is the millisecond it is heard at."""
    with av.open(str(path), "w") as out:
        video = out.add_stream("libx264", rate=30, options={"g": "12", "bf": "2"}) if times else None
        sound = out.add_stream("pcm_s16le", rate=RATE, layout="mono") if audio else None
        for index, at in enumerate(times):
            if index == 0:
                video.width, video.height, video.pix_fmt, video.codec_context.time_base = 64, 48, "yuv420p", MS
            picture = pictures[index] if pictures else np.full((48, 64, 3), 4 * index, np.uint8)
            frame = av.VideoFrame.from_ndarray(picture, "bgr24")
            frame.pts, frame.time_base = round(at * 1000), MS
            out.mux(video.encode(frame))
        out.mux(video.encode(None) if video else [])
        for start in range(0, int(audio * RATE), 800):
            chunk = av.AudioFrame.from_ndarray((np.arange(start, start + 800) * 1000 // RATE).astype(np.int16)[None],
                                               format="s16", layout="mono")
            chunk.sample_rate, chunk.pts = RATE, start
            out.mux(sound.encode(chunk))
    return str(path)


def packed_avi(path, count):
    """Frame i grey level 8 * i in MPEG-4 Part 2 with B-frames packed as DivX wrote them in AVI:
    a P-frame and the next B-frame in one chunk, a not-coded frame in the next."""
    codec = av.CodecContext.create("mpeg4", "w")
    codec.width, codec.height, codec.pix_fmt, codec.time_base = 64, 48, "yuv420p", Fraction(1, 24)
    codec.framerate, codec.options = Fraction(24), {"bf": "2", "flags": "+bitexact"}
    coded = []
    for index in list(range(count)) + [None]:
        frame = None if index is None else av.VideoFrame.from_ndarray(np.full((48, 64, 3), 8 * index, np.uint8), "bgr24")
        if frame is not None:
            frame.pts = index
        coded += [bytes(packet) for packet in codec.encode(frame)]
    b_frame = [data[data.index(b"\x00\x00\x01\xb6") + 4] >> 6 == 2 for data in coded]
    chunks, at = [], 0
    while at < len(coded):
        if at and not b_frame[at] and at + 1 < len(coded) and b_frame[at + 1]:
            chunks += [coded[at] + coded[at + 1], b"\x00\x00\x01\xb6\x50\x4f"]
            at += 2
        else:
            chunks, at = chunks + [coded[at]], at + 1
    vop = chunks[0].index(b"\x00\x00\x01\xb6")  # the user data that tells a decoder it is packed
    chunks[0] = chunks[0][:vop] + b"\x00\x00\x01\xb2DivX503b1393p" + chunks[0][vop:]
    with av.open(str(path), "w", format="avi") as out:
        stream = out.add_stream("mpeg4", rate=24)
        stream.width, stream.height = 64, 48
        for index, data in enumerate(chunks):
            packet = av.Packet(data)
            packet.stream, packet.pts, packet.dts, packet.time_base = stream, index, index, Fraction(1, 24)
            packet.is_keyframe = index == 0
            out.mux(packet)
    return str(path)
