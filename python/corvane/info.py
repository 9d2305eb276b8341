"""``corvane info``: what a recording holds, and whether it is intact."""

from __future__ import annotations

from typing import Any, Dict, List

from .recording import FRAME_PERIOD, Recording


def summary(recording: Recording) -> Dict[str, Any]:
    """Everything the reader knows about ``recording``, with every frame decoded to check it.

    Plain data, ready for JSON: counts, sizes, byte totals, the playing time at the native
    player's pace, and ``intact`` / ``error`` (``{"offset", "record", "message"}`` or ``None``).
    """
    damage = recording.verify()
    sizes: List[Dict[str, int]] = [
        {"cols": cols, "rows": rows, "term_w": term_w, "term_h": term_h, "frames": count}
        for (cols, rows, term_w, term_h), count in recording.sizes().items()
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
        "error": None if damage is None else {
            "offset": damage.offset,
            "record": None if damage.record is None else damage.record + 1,
            "message": damage.message,
        },
    }


def render_text(info: Dict[str, Any]) -> str:
    """``summary`` as aligned lines for people."""
    lines = [
        ("file", f"{info['path']} ({info['file_size']:,} bytes)"),
        ("frames", f"{info['frames']} ({info['key_frames']} key, {info['delta_frames']} delta)"),
    ]
    for size in info["sizes"]:
        lines.append((
            "frame size",
            f"{size['cols']} x {size['rows']} pixels (terminal {size['term_w']} x {size['term_h']}):"
            f" {size['frames']} frames",
        ))
    ratio = info["raw_bytes"] / info["payload_bytes"] if info["payload_bytes"] else 0.0
    lines.append(("payload", f"{info['payload_bytes']:,} bytes for {info['raw_bytes']:,} bytes of frames"
                  + (f" ({ratio:.1f} x smaller)" if ratio else "")))
    lines.append(("playing time", f"{info['seconds']:.2f} s at the player's pace of one frame per 33 ms"))
    error = info["error"]
    if error is None:
        lines.append(("status", "intact"))
    else:
        where = f"record {error['record']} at " if error["record"] else ""
        lines.append(("status", f"damaged at {where}offset {error['offset']}: {error['message']}"))
    return "\n".join(f"{name + ':':14}{text}" for name, text in lines)
