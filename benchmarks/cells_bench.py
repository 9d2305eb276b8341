"""Finer cells and sixel against their bars: picture quality, bytes and encoding time.

    python benchmarks/cells_bench.py [--runs 15] [--seed 3]

The picture is made in code: 1/f noise (a photo's spectrum) in a strong luma and two weaker
chroma fields, a few hard-edged shapes over it and fine grain, 640 x 480 pixels (a cell of 8 x 12 pixels at 80 x 40 cells).
For each shape at 80 x 40 cells the picture is shrunk by area to the shape's pixel grid, encoded
whole by ``corvane._native.CellEncoder`` at 24 bits, and the bytes decoded by a small terminal
model into that grid; the glyph of each pattern is learnt from the encoder itself. Figures:

- PSNR against the source at 640 x 480 (each decoded pixel covering its area): the basis of the
  half-block figure, so shapes compare with half blocks;
- PSNR against the shape's own grid, and the same for the best two-colour fit of every cell
  (all 2^n splits, means rounded to 8 bits), the ceiling of any cell fit;
- bytes against half blocks' (``Encoder``) for the same picture and cell count;
- a whole 200 x 60-cell frame's encoding time, best of ``--runs``, on one core.

Sixel: ``sixel()`` of a 600 x 348 picture made the same way, best time of ``--runs`` and the
PSNR of the decoded image against it. Nothing is asserted; the bars are printed beside the
figures (benchmarks/README.md).
"""

from __future__ import annotations

import argparse
import re
import time
from typing import Callable, Dict, List, Tuple

import numpy as np

from corvane._native import CellEncoder, Encoder, scale, sixel
from corvane.display.wire import SHAPES

COLS, ROWS = 80, 40
SRC_W, SRC_H = 640, 480


def photo(width: int, height: int, seed: int) -> np.ndarray:
    """A B, G, R picture with a photo's 1/f spectrum, hard edges and grain."""
    rng = np.random.default_rng(seed)
    fy = np.fft.fftfreq(height)[:, None]
    fx = np.fft.rfftfreq(width)[None, :]
    f = np.hypot(fx, fy)
    f[0, 0] = 1
    fields = []
    for _ in range(3):
        spectrum = (rng.standard_normal(f.shape) + 1j * rng.standard_normal(f.shape)) / f
        spectrum[0, 0] = 0
        layer = np.fft.irfft2(spectrum, s=(height, width))
        fields.append((layer - layer.mean()) / layer.std())
    # As in photos, the channels move together: a strong luma field and two weaker chroma ones.
    luma, warm, green = 50 * fields[0], 18 * fields[1], 12 * fields[2]
    out = np.stack([120 + luma - warm, 125 + luma + green, 130 + luma + warm - green / 2], -1)
    y, x = np.mgrid[0:height, 0:width]
    for _ in range(6):  # discs and bars with sharp edges
        cx, cy, r = rng.uniform(0, width), rng.uniform(0, height), rng.uniform(0.05, 0.2) * height
        inside = (x - cx) ** 2 + (y - cy) ** 2 < r * r if rng.random() < 0.5 else (
            (abs(x - cx) < r) & (abs(y - cy) < r / 4))
        out[inside] = out[inside] * 0.3 + rng.uniform(0, 255, 3) * 0.7
    out += rng.normal(0, 2, out.shape[:2])[..., None] + rng.normal(0, 1, out.shape)  # grain
    return np.clip(out, 0, 255).astype(np.uint8)


def shrink(picture: np.ndarray, width: int, height: int) -> np.ndarray:
    data = scale(np.ascontiguousarray(picture).reshape(-1), picture.shape[1], picture.shape[0], width, height)
    return np.frombuffer(data, dtype=np.uint8).reshape(height, width, 3)


def psnr(a: np.ndarray, b: np.ndarray) -> float:
    mse = float(np.mean((a.astype(np.float64) - b.astype(np.float64)) ** 2))
    return float("inf") if mse == 0 else float(10 * np.log10(255 ** 2 / mse))


SGR = re.compile(rb"\x1b\[([0-9;?]*)([A-Za-z])")


def glyphs(shape: str) -> Dict[bytes, int]:
    """Each glyph the encoder draws for ``shape`` and its pattern, learnt from frames of two cells:
    the first (its top left pixel white) sets white on black, the second is the pattern in white."""
    w, h = SHAPES[shape]
    table: Dict[bytes, int] = {}
    for pattern in range(1 << (w * h)):
        frame = np.zeros((h, 2 * w, 3), dtype=np.uint8)
        frame[0, 0] = 255
        for k in range(w * h):
            frame[k // w, w + k % w] = 255 if pattern >> k & 1 else 0
        stream = CellEncoder(shape, 24, 0, False).encode(frame.reshape(-1), 2 * w, h)
        text = re.sub(rb"\x1b\[[0-9;?]*[A-Za-z]", b"", stream).decode()
        assert len(text) == 2, text
        table[text[1].encode()] = pattern
    return table


def decode(stream: bytes, shape: str, table: Dict[bytes, int]) -> np.ndarray:
    """The B, G, R pixels a terminal of ``COLS`` x ``ROWS`` cells shows after ``stream``."""
    w, h = SHAPES[shape]
    out = np.zeros((ROWS * h, COLS * w, 3), dtype=np.uint8)
    x = y = 0
    fg = bg = (0, 0, 0)
    i = 0
    text = stream.decode()
    while i < len(text):
        if text.startswith("\x1b[", i):
            m = re.match(r"\x1b\[([0-9;?]*)([A-Za-z])", text[i:])
            assert m, text[i:i + 20]
            params = [int(p) if p else 0 for p in m.group(1).lstrip("?").split(";")]
            if m.group(2) == "H":
                y, x = max(params[0], 1) - 1, (max(params[1], 1) - 1 if len(params) > 1 else 0)
            elif m.group(2) == "C":
                x += max(params[0], 1)
            elif m.group(2) == "m":
                k = 0
                while k < len(params):
                    if params[k] in (38, 48):
                        rgb = tuple(params[k + 2:k + 5])
                        fg, bg = (rgb, bg) if params[k] == 38 else (fg, rgb)
                        k += 5
                    else:
                        k += 1
            i += m.end()
        elif text[i] == "\r":
            x, i = 0, i + 1
        elif text[i] == "\n":
            y, i = y + 1, i + 1
        else:
            pattern = table[text[i].encode()]
            for k in range(w * h):
                r, g, b = fg if pattern >> k & 1 else bg
                out[y * h + k // w, x * w + k % w] = (b, g, r)
            x, i = x + 1, i + 1
    return out


def best_fit(grid: np.ndarray, w: int, h: int) -> np.ndarray:
    """Every cell at its best two-colour split (all splits tried), means rounded to 8 bits."""
    rows, cols = grid.shape[0] // h, grid.shape[1] // w
    n = w * h
    cells = grid.reshape(rows, h, cols, w, 3).transpose(0, 2, 1, 3, 4).reshape(-1, n, 3).astype(np.float64)
    masks = ((np.arange(1 << (n - 1))[:, None] >> np.arange(n)) & 1).astype(np.float64)  # P x n
    na = masks.sum(1)[None, :, None]
    sa = np.einsum("pn,cnk->cpk", masks, cells)
    s = cells.sum(1)[:, None, :]
    sb = s - sa
    with np.errstate(divide="ignore", invalid="ignore"):
        gain = np.where(na > 0, (sa ** 2).sum(2, keepdims=True) / na, 0)[..., 0] + (sb ** 2).sum(2) / (n - na[..., 0])
    best = gain.argmax(1)
    m = masks[best][..., None]  # C x n x 1
    k = m.sum(1, keepdims=True)
    mean_a = np.floor((cells * m).sum(1, keepdims=True) / np.maximum(k, 1) + 0.5)
    mean_b = np.floor((cells * (1 - m)).sum(1, keepdims=True) / np.maximum(n - k, 1) + 0.5)
    fitted = np.where(m > 0, mean_a, mean_b)
    return fitted.reshape(rows, cols, h, w, 3).transpose(0, 2, 1, 3, 4).reshape(grid.shape).astype(np.uint8)


def expand(grid: np.ndarray) -> np.ndarray:
    return np.repeat(np.repeat(grid, SRC_H // grid.shape[0], 0), SRC_W // grid.shape[1], 1)


def best_ms(runs: int, fn: Callable[[], object]) -> float:
    best = float("inf")
    for _ in range(runs):
        t0 = time.perf_counter()
        fn()
        best = min(best, time.perf_counter() - t0)
    return best * 1000


def decode_sixel(data: bytes) -> np.ndarray:
    """The B, G, R pixels of one sixel image."""
    m = re.match(rb'\x1bPq"1;1;(\d+);(\d+)', data)
    assert m
    width, height = int(m.group(1)), int(m.group(2))
    out = np.zeros((height + 6, width, 3), dtype=np.uint8)
    colours: Dict[int, Tuple[int, int, int]] = {}
    x = band = colour = 0
    for tok in re.finditer(rb"#(\d+)(?:;2;(\d+);(\d+);(\d+))?|!(\d+)([?-~])|([?-~])|(\$)|(-)", data[m.end():]):
        if tok.group(1) is not None:
            colour = int(tok.group(1))
            if tok.group(2) is not None:
                colours[colour] = tuple(round(int(tok.group(k)) * 255 / 100) for k in (4, 3, 2))  # type: ignore
        elif tok.group(9):
            x, band = 0, band + 6
        elif tok.group(8):
            x = 0
        else:
            count, char = (int(tok.group(5)), tok.group(6)) if tok.group(5) else (1, tok.group(7))
            bits = char[0] - 63
            for b in range(6):
                if bits >> b & 1:
                    out[band + b, x:x + count] = colours[colour]
            x += count
    return out[:height]


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--runs", type=int, default=15)
    ap.add_argument("--seed", type=int, default=3)
    args = ap.parse_args()
    source = photo(SRC_W, SRC_H, args.seed)
    rows: List[str] = ["| shape | PSNR vs source | own grid | best fit | - gap | bytes | x half | 200x60 ms |",
                       "|---|---|---|---|---|---|---|---|"]
    half_db = half_bytes = 0.0
    big = photo(800, 480, args.seed + 1)
    for shape, (w, h) in SHAPES.items():
        grid = shrink(source, COLS * w, ROWS * h)
        if shape == "half":
            stream = Encoder(24, 0, False).encode(grid.reshape(-1), COLS * w, ROWS * h)
        else:
            stream = CellEncoder(shape, 24, 0, False).encode(grid.reshape(-1), COLS * w, ROWS * h)
        shown = decode(stream, shape, glyphs(shape))
        db, own, ceiling = psnr(expand(shown), source), psnr(shown, grid), psnr(best_fit(grid, w, h), grid)
        frame = shrink(big, 200 * w, 60 * h).reshape(-1)
        enc = Encoder(24, 0, False) if shape == "half" else CellEncoder(shape, 24, 0, False)

        def whole() -> None:
            enc.invalidate()
            enc.encode(frame, 200 * w, 60 * h)

        ms = best_ms(args.runs, whole)
        if shape == "half":
            half_db, half_bytes = db, float(len(stream))
        rows.append(f"| {shape} | {db:.2f} ({db - half_db:+.2f}) | {own:.2f} | {ceiling:.2f} | "
                    f"{0 if ceiling == own else ceiling - own:.3f} | {len(stream)} | {len(stream) / half_bytes:.3f} | {ms:.2f} |")
    print(f"Cells at {COLS} x {ROWS} of a {SRC_W} x {SRC_H} photo-like picture (seed {args.seed}); "
          "bars: sextant/octant gap <= 0.1 dB, >= +0.6 dB over half, bytes <= 1.15x, "
          "200x60 in <= 3 ms (sextant) / <= 10 ms (octant)\n")
    print("\n".join(rows))
    pic = photo(600, 348, args.seed + 2)
    data = pic.reshape(-1)
    ms = best_ms(args.runs, lambda: sixel(data, 600, 348, 256))
    image = sixel(data, 600, 348, 256)
    print(f"\nsixel 600 x 348, 256 colours: {ms:.2f} ms, {psnr(decode_sixel(image), pic):.2f} dB, "
          f"{len(image)} bytes (bars: <= 20 ms, >= 32 dB)")


if __name__ == "__main__":
    main()
