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
