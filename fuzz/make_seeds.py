#!/usr/bin/env python3
"""Writes the seed corpora of the fuzz targets into fuzz/corpus/<target>/.

Each seed is a small, readable starting point: one kind of sequence, record or stream that the
target must handle. Run it again after changing a seed here; the files are kept in the repository
so that the fuzzers and CI need no Python.
"""

import gzip
import struct
import zlib
from pathlib import Path

HERE = Path(__file__).resolve().parent
HEADER = struct.Struct("<BIIiiI")

KEYS = {
    "enter_cr": b"\r",
    "line": b"ab\xc3\xa9\n",
    "controls": b"\x00\x01\x09\x1a\x1c\x1f\x7f",
    "esc_alone": b"\x1b",
    "esc_esc": b"\x1b\x1b",
    "alt_a": b"\x1ba",
    "alt_enter": b"\x1b\r",
    "ss3": b"\x1bOA\x1bOP\x1bOx",
    "arrows": b"\x1b[A\x1b[B\x1b[C\x1b[D\x1b[H\x1b[F\x1b[Z",
    "modified": b"\x1b[1;5C\x1b[;2A\x1b[5A\x1b[1;3:2D",
    "tilde": b"\x1b[2~\x1b[3;5~\x1b[15~\x1b[34~\x1b[99~",
    "linux_f": b"\x1b[[A\x1b[[E\x1b[[Z",
    "focus": b"\x1b[I\x1b[O",
    "x10_mouse": b"\x1b[M !!\x1b[M`\x7f\x7f",
    "sgr_mouse": b"\x1b[<0;5;5M\x1b[<0;5;5m\x1b[<64;1;1M\x1b[<35;300;200M",
    "rxvt_mouse": b"\x1b[32;5;5M",
    "paste": b"\x1b[200~pasted \xc3\xa9\xff text\x1b[201~z",
    "paste_open": b"\x1b[200~never closed",
    "cursor_reply": b"\x1b[12;40R",
    "private_replies": b"\x1b[?1u\x1b[?62;22c\x1b[?1;2;3",
    "kitty": b"\x1b[97u\x1b[97;5u\x1b[97:65;2u\x1b[13;1:3u\x1b[57399u\x1b[57441u\x1b[1114112u",
    "utf8": "é€😀".encode() + b"\xe0\x80\xf8\xc3",
    "long_csi": b"\x1b[" + b"1;" * 200 + b"m",
}


def record(frame_type, rows, cols, plain=None, payload=None, term=(2, 2)):
    payload = zlib.compress(plain, 6) if payload is None else payload
    return HEADER.pack(frame_type, term[0], term[1], rows, cols, len(payload)) + payload


FRAME = bytes([0, 0, 255, 0, 255, 0, 255, 0, 0, 255, 255, 255])
GRID = bytes((i * 29) % 256 for i in range(24 * 14 * 3))  # the fuzzer's own 24 x 8 terminal
MAGIC = b"LZDX"


def deflate(data, level=6, wbits=15):
    c = zlib.compressobj(level, zlib.DEFLATED, wbits)
    return c.compress(data) + c.flush()


def raw_deflate(data):
    return deflate(data, 6, -15)


PLAYER = {
    "signature_only": MAGIC,
    "not_a_recording": b"GIF89a",
    "short": b"LZD",
    "key": MAGIC + record(0, 2, 2, FRAME),
    "key_delta_delta": MAGIC + record(0, 2, 2, FRAME) + record(1, 2, 2, bytes(12)) + record(1, 2, 2, FRAME),
    "unscaled_grid": MAGIC + record(0, 14, 24, GRID, term=(24, 8)) + record(1, 14, 24, bytes(len(GRID))),
    "size_change": MAGIC + record(0, 2, 2, FRAME) + record(0, 4, 1, bytes(range(12))) + record(1, 2, 2, bytes(12)),
    "delta_first": MAGIC + record(1, 2, 2, bytes(12)),
    "delta_larger": MAGIC + record(0, 2, 2, FRAME) + record(1, 2, 4, bytes(24)),
    "delta_smaller": MAGIC + record(0, 2, 4, bytes(range(24))) + record(1, 2, 2, bytes(12)),
    "type_seven": MAGIC + record(0, 2, 2, FRAME) + record(7, 2, 2, FRAME),
    "truncated_header": MAGIC + record(0, 2, 2, FRAME)[:15],
    "truncated_payload": MAGIC + record(0, 2, 2, FRAME)[:-3],
    "huge_payload_len": MAGIC + HEADER.pack(0, 2, 2, 2, 2, 0xFFFFFFFF) + b"\x78\x9c",
    "negative_rows": MAGIC + record(0, -2, 2, FRAME),
    "huge_size": MAGIC + record(0, 0x7FFFFFFF, 0x7FFFFFFF, FRAME),
    "zero_rows": MAGIC + record(0, 0, 2, b""),
    "short_stream": MAGIC + record(0, 2, 2, bytes(6)),
    "gzip_payload": MAGIC + record(0, 2, 2, payload=gzip.compress(FRAME)),
    "raw_deflate_payload": MAGIC + record(0, 2, 2, payload=raw_deflate(FRAME)),
    "bad_checksum": MAGIC + record(0, 2, 2, payload=zlib.compress(FRAME)[:-1] + b"\x00"),
    "stored_block": MAGIC + record(0, 2, 2, payload=zlib.compress(FRAME, 0)),
    "trailing_bytes": MAGIC + record(0, 2, 2, payload=zlib.compress(FRAME) + b"junk"),
    "one_pixel": MAGIC + record(0, 1, 1, bytes([50, 50, 50])),
    "tall": MAGIC + record(0, 300, 1, bytes(900)),
}


def inflate_seed(rows, cols, payload):
    return struct.pack("<ii", rows, cols) + payload


INFLATE = {
    "frame": inflate_seed(2, 2, zlib.compress(FRAME, 6)),
    "empty_stream": inflate_seed(0, 5, zlib.compress(b"", 6)),
    "empty_payload": inflate_seed(1, 1, b""),
    "short": inflate_seed(2, 2, zlib.compress(bytes(6))),
    "longer_than_frame": inflate_seed(1, 1, zlib.compress(bytes(300))),
    "cut_in_checksum": inflate_seed(2, 2, zlib.compress(FRAME)[:-2]),
    "bad_checksum": inflate_seed(0, 0, zlib.compress(FRAME)[:-1] + b"\x01"),
    "gzip": inflate_seed(2, 2, gzip.compress(FRAME)),
    "raw_deflate": inflate_seed(2, 2, raw_deflate(FRAME)),
    "dictionary": inflate_seed(2, 2, b"\x78\xbb\x00\x00\x00\x01" + zlib.compress(FRAME)[2:]),
    "stored": inflate_seed(2, 2, zlib.compress(FRAME, 0)),
    "window_512": inflate_seed(4, 4, deflate(bytes(range(48)), 9, 9)),
    "zeros_ratio": inflate_seed(100, 100, zlib.compress(bytes(30000), 9)),
    "negative": inflate_seed(-1, 2, zlib.compress(FRAME)),
    "overflowing_size": inflate_seed(0x7FFFFFFF, 0x7FFFFFFF, zlib.compress(FRAME)),
    "wide_short": inflate_seed(3, 0x10000, zlib.compress(bytes(0x30000 + 5), 9)),
}


def main():
    for target, seeds in (("keys", KEYS), ("player", PLAYER), ("inflate", INFLATE)):
        folder = HERE / "corpus" / target
        folder.mkdir(parents=True, exist_ok=True)
        for old in folder.iterdir():
            old.unlink()
        for name, data in seeds.items():
            (folder / name).write_bytes(data)


if __name__ == "__main__":
    main()
