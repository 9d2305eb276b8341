// Finer cells: each terminal cell as a pattern of 2, 4, 6 or 8 pixels in two colours, drawn with
// the block glyphs that have that pattern.
//
// Contract:
// - Shapes: half (1 x 2 pixels: space, U+2580, U+2584, U+2588), quadrant (2 x 2: U+2596-259F
//   and the half and full blocks), sextant (2 x 3: U+1FB00-1FB3B and the blocks they leave out)
//   and octant (2 x 4: U+1CD00-1CDE5 and the 26 older block glyphs with octant shapes). Pixel i of
//   a cell is bit i of its pattern, row by row, left first; set bits take the foreground colour.
// - `fit_cells` fits every cell of a B, G, R frame (cells of whole pixels only; a frame's last
//   ragged column or rows are left out) with the two colours and the pattern of least squared
//   error: of all 2^n partitions of its pixels, the one whose two mean colours leave the least
//   error (found exactly, in integers), colours then rounded to 8 bits. A cell whose best fit is
//   one colour has pattern 0 and both colours equal.
// - `CellEncoder` is the wire encoder's model for these shapes: a frame's cells, fitted and put in
//   the depth asked for, are compared against what the terminal shows, pixel by pixel; a cell is
//   redrawn only when some pixel's shown colour is further than the tolerance T from its fitted
//   one (T = 0: any difference), the whole frame when `full_percent` of the cells changed, the
//   first frame and after `invalidate()`. Each cell is drawn in whichever of its pattern and the
//   inverse needs fewer colour bytes from the colours set, reusing a set colour within T. A frame
//   with changes is wrapped in "\x1b[?2026h" ... "\x1b[0m\x1b[?2026l" and opens with a cursor
//   position; one without yields no bytes. Cell (x, y) is at line y + 1, column x + 1.
// - The encoder owns its buffers; one thread at a time; nothing fails but allocation.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/stream/renderer.hpp"
#include "core/stream/sgr.hpp"

namespace corvane::wire {

enum class CellShape : std::uint8_t { kHalf, kQuadrant, kSextant, kOctant };

struct CellSize {
    int width, height;
};
CellSize cell_size(CellShape shape);

struct CellFit {
    std::uint8_t pattern;
    std::uint32_t fg, bg;  // red | green << 8 | blue << 16
};

// The cells of a `rows` x `cols` pixel frame into `out`, row by row.
void fit_cells(const std::uint8_t* pixels, int rows, int cols, CellShape shape, std::vector<CellFit>& out);

struct Glyph {
    char utf8[4];
    std::uint8_t len;
};
// The glyph whose set part is `pattern` (a space for 0).
Glyph cell_glyph(CellShape shape, unsigned pattern);

struct CellOptions {
    CellShape shape = CellShape::kSextant;
    Depth depth = Depth::kTrue;
    int tolerance = 0;
    int full_percent = 90;
};

class CellEncoder {
  public:
    explicit CellEncoder(CellOptions options);
    void set_tolerance(int tolerance);
    void invalidate() { shown_.clear(); }
    void encode(const std::uint8_t* pixels, int rows, int cols);
    const ByteBuffer& output() const { return out_; }
    std::size_t cells_drawn() const { return drawn_; }

  private:
    template <Depth D>
    void encode_as();

    CellOptions opt_;
    std::size_t rows_ = 0, cols_ = 0;
    std::vector<CellFit> fit_;
    std::vector<std::uint64_t> target_, shown_;  // pattern | fg << 8 | bg << 32, as codes of the depth
    std::vector<std::uint8_t> dirty_;
    ByteBuffer out_;
    std::size_t drawn_ = 0;
};

}  // namespace corvane::wire
