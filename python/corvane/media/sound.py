"""The sound track of a video, played in real time; its clock paces the pictures.

:class:`SoundPlayer` decodes the file's first audio track with PyAV (a container of its own) on a
daemon thread, converts it to signed 16-bit samples, and writes them to a :class:`Sink` in chunks
of ``CHUNK`` seconds, never more than the sink has room for, so pause and seek act at once.
:meth:`SoundPlayer.clock` is the media time being heard: the time of the first sample written
since the last seek, plus what was written since, less what the sink still holds.

Sinks: :class:`AlsaSink` is the system's ALSA library (``libasound.so.2``, through ``ctypes``:
the one PyAV's wheels bundle cannot find the system's configuration, and FFmpeg's ALSA output
cannot tell how much it holds), so PulseAudio and PipeWire play through ALSA's ``default``.
:class:`PacedSink` is a device made of the monotonic clock: it takes samples at the track's rate
into a file (or nowhere); tests and benchmarks use it. A device that takes sound faster than it
can be heard (ALSA's ``null``, a usual way to silence a machine, takes any amount at once) would
run the clock ahead of the pictures: once what it took outruns the wall clock by ``OUTRUN``, the
track goes on from where the wall clock is, into a :class:`PacedSink` that plays it nowhere.
No device: :class:`SoundUnavailable`, whose message is the status-line note.
"""

from __future__ import annotations

import ctypes
import ctypes.util
import threading
import time
from typing import IO, Any, Callable, Iterator, Optional, Protocol

import numpy as np

from ..errors import MediaError
from ..errors import SoundUnavailable as SoundUnavailable  # documented here too
from .video import av_errors, ffmpeg_reason, import_av

CHUNK = 0.01
"""Seconds of sound written at a time: the error bound of the clock's bookkeeping."""
LATENCY = 0.1
"""Seconds of sound a sink holds ahead of what is heard."""
OUTRUN = 0.5
"""Seconds a device may seem to have played beyond the time that passed before it counts as
silent (a real one stays behind, by what it holds)."""


class Sink(Protocol):
    """An output of interleaved signed 16-bit samples at a fixed rate."""

    def wait(self, timeout: float) -> int:
        """Frames (samples per channel) that can be written now, waiting up to ``timeout``."""

    def write(self, data: bytes) -> None:
        """Queue ``data``: at most what :meth:`wait` last offered."""

    def delay(self) -> int:
        """Frames written and not yet heard."""

    def drop(self) -> None:
        """Forget everything not yet heard."""

    def close(self) -> None: ...


class PacedSink:
    """A stand-in device that hears ``rate`` frames a second while it holds any, appending them
    to ``file`` when given."""

    def __init__(self, rate: int, channels: int, file: Optional[IO[bytes]] = None, *,
                 latency: float = LATENCY, now: Callable[[], float] = time.monotonic) -> None:
        self.rate, self.channels, self.file, self.now = rate, channels, file, now
        self.size = max(int(latency * rate), 1)
        self.written = 0
        """Frames taken since opening (the file's length in frames)."""
        self._heard, self._then = 0.0, now()

    def _update(self) -> float:
        at = self.now()
        self._heard = min(float(self.written), self._heard + (at - self._then) * self.rate)
        self._then = at
        return self.written - self._heard

    def wait(self, timeout: float) -> int:
        held = self._update()
        if held >= self.size:
            time.sleep(min(timeout, (held - self.size + 1) / self.rate))
            held = self._update()
        return max(self.size - int(held), 0)

    def write(self, data: bytes) -> None:
        self._update()
        self.written += len(data) // (2 * self.channels)
        if self.file is not None:
            self.file.write(data)

    def delay(self) -> int:
        return int(self._update())

    def drop(self) -> None:
        self._update()
        self._heard = float(self.written)

    def close(self) -> None:
        pass


_ERROR_HANDLER = ctypes.CFUNCTYPE(
    None, ctypes.c_char_p, ctypes.c_int, ctypes.c_char_p, ctypes.c_int, ctypes.c_char_p
)
_silent = _ERROR_HANDLER(lambda *args: None)  # kept alive: ALSA calls it on every failure
_alsa: Optional[Any] = None


def _libasound() -> Any:
    """The system's ALSA library with the functions used here typed, its messages silenced."""
    global _alsa
    if _alsa is None:
        name = ctypes.util.find_library("asound") or "libasound.so.2"
        try:
            lib = ctypes.CDLL(name)
        except OSError:
            raise SoundUnavailable("no sound: the ALSA library is not installed") from None
        pcm, long, ulong, cint = ctypes.c_void_p, ctypes.c_long, ctypes.c_ulong, ctypes.c_int
        for fn, args, result in (
            ("snd_pcm_open", [ctypes.POINTER(pcm), ctypes.c_char_p, cint, cint], cint),
            ("snd_pcm_set_params", [pcm, cint, cint] + [ctypes.c_uint] * 4, cint),
            ("snd_pcm_wait", [pcm, ctypes.c_int], ctypes.c_int),
            ("snd_pcm_avail_update", [pcm], long),
            ("snd_pcm_writei", [pcm, ctypes.c_char_p, ulong], long),
            ("snd_pcm_delay", [pcm, ctypes.POINTER(long)], ctypes.c_int),
            ("snd_pcm_recover", [pcm, ctypes.c_int, ctypes.c_int], ctypes.c_int),
            ("snd_pcm_drop", [pcm], ctypes.c_int),
            ("snd_pcm_prepare", [pcm], ctypes.c_int),
            ("snd_pcm_close", [pcm], ctypes.c_int),
        ):
            getattr(lib, fn).argtypes, getattr(lib, fn).restype = args, result
        lib.snd_lib_error_set_handler(_silent)
        _alsa = lib
    return _alsa


class AlsaSink:
    """An ALSA device (``default``: the user's sound server or card) playing ``rate`` Hz."""

    def __init__(self, rate: int, channels: int, device: str = "default", *,
                 latency: float = LATENCY) -> None:
        self.lib, self.channels = _libasound(), channels
        self.pcm = ctypes.c_void_p()
        if self.lib.snd_pcm_open(ctypes.byref(self.pcm), device.encode(), 0, 0) < 0:
            raise SoundUnavailable("no sound device")
        # S16_LE (2), interleaved read/write access (3), resampled by ALSA when the card needs it
        if self.lib.snd_pcm_set_params(self.pcm, 2, 3, channels, rate, 1, int(latency * 1e6)) < 0:
            self.lib.snd_pcm_close(self.pcm)
            raise SoundUnavailable(f"the sound device cannot play {rate} Hz")

    def wait(self, timeout: float) -> int:
        self.lib.snd_pcm_wait(self.pcm, max(int(timeout * 1000), 0))
        room = int(self.lib.snd_pcm_avail_update(self.pcm))
        if room < 0:  # an underrun (the track paused or starved): start over
            self.lib.snd_pcm_recover(self.pcm, room, 1)
            room = max(int(self.lib.snd_pcm_avail_update(self.pcm)), 0)
        return room

    def write(self, data: bytes) -> None:
        frames = len(data) // (2 * self.channels)
        done = int(self.lib.snd_pcm_writei(self.pcm, data, frames))
        if done < 0:
            self.lib.snd_pcm_recover(self.pcm, done, 1)

    def delay(self) -> int:
        held = ctypes.c_long(0)
        if self.lib.snd_pcm_delay(self.pcm, ctypes.byref(held)) < 0:
            return 0
        return max(int(held.value), 0)

    def drop(self) -> None:
        self.lib.snd_pcm_drop(self.pcm)
        self.lib.snd_pcm_prepare(self.pcm)

    def close(self) -> None:
        if self.pcm:
            self.lib.snd_pcm_close(self.pcm)
            self.pcm = ctypes.c_void_p()


class SoundPlayer:
    """The first audio track of ``path`` from ``start``, played through a sink made by
    ``sink(rate, channels)`` (default: ALSA's ``default``); starts paused when ``paused``.

    Raises :class:`SoundUnavailable` when no sink can be opened (the message is the note to show)
    and :class:`MediaError` when the file has no audio that can be decoded.
    """

    def __init__(self, path: str, *, start: float = 0.0, paused: bool = False,
                 sink: Optional[Callable[[int, int], Sink]] = None) -> None:
        av = import_av(path)
        self._errors = av_errors(av)
        try:
            self._container = av.open(path)
        except self._errors:
            raise MediaError(f"{path}: the sound cannot be read") from None
        if not self._container.streams.audio:
            self._container.close()
            raise MediaError(f"{path}: no sound track")
        self._stream = self._container.streams.audio[0]
        start_time = self._container.start_time
        self._origin = start_time / 1e6 if start_time is not None else 0.0
        self.rate = int(self._stream.rate or 48000)
        self.channels = 1 if self._stream.channels == 1 else 2
        self._resampler = av.AudioResampler(
            format="s16", layout="mono" if self.channels == 1 else "stereo", rate=self.rate
        )
        try:
            self._sink: Sink = (sink or AlsaSink)(self.rate, self.channels)
        except BaseException:
            self._container.close()
            raise
        self.note = ""
        """Why the sound stopped, when it did for a failure; empty otherwise."""
        self._lock = threading.Condition()
        self._paused, self._closing, self._ended = paused, False, False
        self._target: Optional[float] = start
        self._base: Optional[float] = None
        self._written = 0
        self._since = time.monotonic()
        self._thread = threading.Thread(target=self._run, name="corvane-sound", daemon=True)
        self._thread.start()

    def clock(self) -> Optional[float]:
        """The media time being heard, or ``None`` while paused, seeking, or after the track."""
        with self._lock:
            if self._paused or self._target is not None or self._base is None:
                return None
            held = self._sink.delay()
            if self._ended and held == 0:
                return None
            return self._base + (self._written - held) / self.rate

    def _heard(self) -> Optional[float]:
        """What :meth:`clock` says, whether paused or not; with the lock held."""
        if self._base is None:
            return None
        return self._base + (self._written - self._sink.delay()) / self.rate

    def pause(self, paused: bool) -> None:
        """Stop the sound where it is heard, or go on from there."""
        with self._lock:
            if paused == self._paused:
                return
            if paused:
                heard = self._heard()
                self._sink.drop()
                if self._target is None and heard is not None:
                    self._target = heard
            self._paused = paused
            self._lock.notify_all()

    def seek(self, time: float) -> None:
        """Go on from ``time``; what the sink holds is dropped."""
        with self._lock:
            self._target = max(time, 0.0)
            self._sink.drop()
            self._lock.notify_all()

    def close(self) -> None:
        """Stop the thread and let go of the file and the device."""
        with self._lock:
            self._closing = True
            self._lock.notify_all()
        self._thread.join()
        self._sink.close()
        self._container.close()

    def _check_pace(self) -> None:
        """With the lock held: when the device has taken more than can have been heard, go on
        silently from where the wall clock is."""
        passed = time.monotonic() - self._since
        if self._base is None or (self._written - self._sink.delay()) / self.rate <= passed + OUTRUN:
            return
        self._sink.close()
        self._sink = PacedSink(self.rate, self.channels)
        self._target = self._base + passed
        self.note = "no sound: the sound device plays nothing"

    def _samples(self, start: float) -> Iterator[bytes]:
        """The track's samples from ``start`` as bytes, the head of the first frame cut off."""
        base = float(self._stream.time_base)
        self._container.seek(max(int((start + self._origin) / base), 0), stream=self._stream)
        skip: Optional[int] = None
        for packet in self._container.demux(self._stream):
            try:
                decoded = packet.decode()
            except self._errors:
                continue
            for frame in decoded:
                if skip is None:
                    when = frame.pts * base - self._origin if frame.pts is not None else start
                    skip = max(int(round((start - when) * self.rate)), 0)
                for out in self._resampler.resample(frame):
                    data = np.ascontiguousarray(out.to_ndarray()).tobytes()
                    cut = min(skip, len(data) // (2 * self.channels))
                    skip -= cut
                    if cut * 2 * self.channels < len(data):
                        yield data[cut * 2 * self.channels :]

    def _run(self) -> None:
        samples: Iterator[bytes] = iter(())
        chunk = max(int(CHUNK * self.rate), 1) * 2 * self.channels
        data = b""
        try:
            while True:
                with self._lock:
                    while not self._closing and (
                        self._paused or (self._ended and self._target is None)
                    ):
                        self._lock.wait()
                    if self._closing:
                        return
                    if self._target is not None:
                        samples, data = self._samples(self._target), b""
                        self._base, self._written = self._target, 0
                        self._since = time.monotonic()
                        self._target, self._ended = None, False
                if not data:
                    data = next(samples, b"")
                    if not data:
                        with self._lock:
                            self._ended = True
                        continue
                room = self._sink.wait(CHUNK) * 2 * self.channels
                with self._lock:
                    if self._paused or self._target is not None or self._closing or room <= 0:
                        continue
                    piece, data = data[: min(room, chunk)], data[min(room, chunk) :]
                    self._sink.write(piece)
                    self._written += len(piece) // (2 * self.channels)
                    self._check_pace()
        except self._errors + (MediaError,) as error:
            with self._lock:
                self.note = f"sound stopped ({ffmpeg_reason(error)})"
                self._ended = True
