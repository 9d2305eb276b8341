// The wire encoder: display-sized frames as the fewest terminal bytes that show them.
//
// Contract:
// - A `WireEncoder` turns a frame of `rows` x `cols` B, G, R pixels (rows back to back) into a
//   byte stream of half-block cells, like the exact renderer's grid (cell (x, y) is pixels
//   (x, 2y) over (x, 2y + 1), at line y + 1, column x + 1), but in the colour depth asked for
//   (24-bit, the xterm 256 palette's cube and grey ramp, or the 16 ANSI colours, optionally
//   dithered: ordered at 256, by error diffusion at 16) and with as few bytes as it can: colour parameters
//   only when they change, a space, U+2580, U+2584 or U+2588 as the current colours allow, cursor-forward or
//   CR LF for short moves, and gaps of a few cells redrawn when that is cheaper than jumping over them.
// - The frame's half cells go through the canvas (canvas.hpp), the model of what the terminal
//   shows that every wire encoder shares: a half cell within the tolerance T of what is shown is
//   left alone, and every colour drawn is within T of its target, so what the terminal holds never
//   differs from the frame (quantised to the palette) by more than T in any component; T = 0 is
//   exact. Whole frames, synchronized updates and cursor moves are the canvas's.
// - The encoder owns its buffers: the canvas with its output (sized once per grid for the worst
//   frame, reused). `output()` holds the last frame's bytes until the next
//   `encode`. No writing, no Python; one thread at a time. Nothing fails but allocation.
// - `encode_inline` writes a picture for printing where the cursor is, as text that scrolls: the
//   same cells and colour rules, but every row from its first cell, ended by "\x1b[0m\n" (so a
//   scrolling terminal paints no new line, and files and pipes hold plain lines), with no cursor
//   addressing and no synchronized update. An odd last pixel row becomes a row of upper halves on
//   the terminal's own background ("\x1b[49m" first). It neither reads nor changes the model.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/stream/canvas.hpp"

namespace corvane::wire {

struct EncoderOptions {
    Depth depth = Depth::kTrue;
    int tolerance = 0;  // 0 .. MAX_TOLERANCE
    // At 256 colours ordered 4 x 4 Bayer dithering before the palette look-up; at 16 error
    // diffusion over the whole frame (palette.hpp), the only way so few colours keep hues.
    bool dither = false;
    int full_percent = 90;
};

class WireEncoder {
  public:
    explicit WireEncoder(EncoderOptions options);

    void set_tolerance(int tolerance);
    int tolerance() const { return tol_; }
    Depth depth() const { return opt_.depth; }
    // The next frame is drawn whole (after the screen was cleared or lost, say).
    void invalidate() { canvas_.invalidate(); }

    void encode(const std::uint8_t* pixels, int rows, int cols);
    const ByteBuffer& output() const { return canvas_.output(); }
    // A `rows` x `cols` picture as lines to print (see above), into `output()`.
    void encode_inline(const std::uint8_t* pixels, int rows, int cols);
    // The palette index of every pixel of a `rows` x `cols` B, G, R frame, as `encode` picks it
    // (dithering included), into `out` (rows * cols bytes); for printing a picture in the same
    // colours elsewhere. Only for the palette depths: at 24 bits it writes nothing.
    void palette_indices(const std::uint8_t* pixels, int rows, int cols, std::uint8_t* out) const;
    // Cells that the last frame drew.
    std::size_t cells_drawn() const { return canvas_.cells_drawn(); }

  private:
    template <Depth D, bool EXACT>
    void inline_as(const std::uint8_t* pixels, std::size_t rows, std::size_t cols);
    bool diffusing() const { return opt_.dither && opt_.depth == Depth::k16; }
    std::uint32_t code_of(const std::uint8_t* bgr, int x, int y) const;
    // Error diffusion needs the whole frame first: its indices, which `code_of` then reads.
    void diffuse(const std::uint8_t* pixels, std::size_t rows, std::size_t cols);

    EncoderOptions opt_;
    int tol_;
    std::vector<std::uint8_t> diffused_;  // per pixel, when diffusing
    std::size_t diffused_cols_ = 0;
    Canvas canvas_;  // half cells
};

}  // namespace corvane::wire
