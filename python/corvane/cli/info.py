"""``corvane info``: what a recording holds, and whether it is intact.

A file that cannot be read, is no recording or holds no frame gets the same answer as a damaged
one: an ``error`` (``{"offset", "record", "message"}``, the record numbered from 1).
"""

from __future__ import annotations

from typing import Any, Dict, List, Optional, Tuple

from ..errors import RecordingError
from ..recording import FRAME_PERIOD, Recording
from ..text import count, printable


def error_object(error: Exception) -> Dict[str, Any]:
    """The ``error`` of a summary: where the damage is (if known) and what it is."""
    if isinstance(error, RecordingError):
        return {"offset": error.offset, "record": error.record, "message": error.message}
    if isinstance(error, OSError) and error.strerror:
        return {"offset": None, "record": None, "message": error.strerror}
    return {"offset": None, "record": None, "message": str(error)}


def failure(path: str, error: Exception) -> Dict[str, Any]:
    """The summary of a file that could not be read as a recording at all."""
    return {"path": path, "intact": False, "error": error_object(error)}


def summary(recording: Recording) -> Tuple[Dict[str, Any], Optional[RecordingError]]:
    """Everything the reader knows about ``recording``, with every frame decoded to check it.

    Plain data, ready for JSON, and the damage found: counts, sizes, byte totals, the playing time at the players'
    pace, and ``intact`` / ``error`` (``{"offset", "record", "message"}`` or ``None``). Raises
    :class:`RecordingError` for a recording without frames.
    """
    recording.require_frames()
    damage = recording.verify()
    sizes: List[Dict[str, int]] = [
        {"cols": cols, "rows": rows, "term_w": term_w, "term_h": term_h, "frames": frames}
        for (cols, rows, term_w, term_h), frames in recording.sizes().items()
    ]
    return {
        "path": recording.path,
        "file_size": recording.file_size,
        "frames": recording.frame_count,
        "key_frames": recording.key_count,
        "delta_frames": recording.delta_count,
        "sizes": sizes,
        "payload_bytes": recording.payload_bytes,
        "raw_bytes": recording.raw_bytes,
        "seconds": round(recording.frame_count * FRAME_PERIOD, 3),
        "intact": damage is None,
        "error": None if damage is None else error_object(damage),
    }, damage


def damage_text(error: RecordingError) -> str:
    """What is wrong with a recording, said once: where the damage is and what it is."""
    return f"damaged at {error}" if error.index is not None else str(error)


def render_text(info: Dict[str, Any], damage: Optional[RecordingError] = None) -> str:
    """``summary`` as aligned lines for people; the status says the ``damage`` found."""
    lines = [
        ("file", f"{printable(info['path'])} ({info['file_size']:,} bytes)"),
        ("frames", f"{info['frames']} ({info['key_frames']} key, {info['delta_frames']} delta)"),
    ]
    for size in info["sizes"]:
        lines.append((
            "frame size",
            f"{size['cols']} x {size['rows']} pixels (terminal {size['term_w']} x {size['term_h']}):"
            f" {count(size['frames'], 'frame')}",
        ))
    ratio = info["raw_bytes"] / info["payload_bytes"] if info["payload_bytes"] else 0.0
    lines.append(("payload", f"{info['payload_bytes']:,} bytes for {info['raw_bytes']:,} bytes of frames"
                  + (f" ({ratio:.1f} x smaller)" if ratio else "")))
    lines.append(("playing time", f"{info['seconds']:.2f} s at the player's pace of one frame per 33 ms"))
    lines.append(("status", "intact" if damage is None else printable(damage_text(damage))))
    return "\n".join(f"{name + ':':14}{text}" for name, text in lines)
