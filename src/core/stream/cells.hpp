// Finer cells: each terminal cell as a pattern of 2, 4, 6 or 8 pixels in two colours, drawn with
// the block glyphs that have that pattern.
//
// Contract:
// - `fit_cells` fits every cell of a B, G, R frame (cells of whole pixels only; a frame's last
//   ragged column or rows are left out) with two colours and a pattern: up to 6 pixels the
//   pattern of least squared error of all 2^n partitions (found exactly, in integers); octants
//   the best of the cuts across the cell's principal axis and luma, refined by two-means rounds
//   (within a few hundredths of a dB of the exhaustive best on photos, in a fraction of its
//   time). The colours are the two groups' means rounded to 8 bits; a cell fitted in one colour
//   has pattern 0 and both colours equal.
// - `CellEncoder` draws frames of a shape's pixels (cell width x height of them per cell) through
//   the canvas (canvas.hpp: diff redraw within the tolerance, whole frames past `full_percent`,
//   synchronized updates): each cell's fit, its colours put in the depth asked for. With
//   `dither` in a palette depth, the pixels are dithered into the palette first (ordered at 256,
//   error diffusion at 16, as the half-block encoder does) and the fit made of those.
// - The encoder owns its buffers; one thread at a time; nothing fails but allocation.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/stream/canvas.hpp"

namespace corvane::wire {

struct CellFit {
    std::uint8_t pattern;
    std::uint32_t fg, bg;  // red | green << 8 | blue << 16
};

// The cells of a `rows` x `cols` pixel frame into `out`, row by row.
void fit_cells(const std::uint8_t* pixels, int rows, int cols, CellShape shape, std::vector<CellFit>& out);

struct CellOptions {
    CellShape shape = CellShape::kSextant;
    Depth depth = Depth::kTrue;
    int tolerance = 0;
    int full_percent = 90;
    bool dither = false;
};

class CellEncoder {
  public:
    explicit CellEncoder(CellOptions options);
    void set_tolerance(int tolerance);
    int tolerance() const { return opt_.tolerance; }
    void invalidate() { canvas_.invalidate(); }
    void encode(const std::uint8_t* pixels, int rows, int cols);
    const ByteBuffer& output() const { return canvas_.output(); }
    std::size_t cells_drawn() const { return canvas_.cells_drawn(); }

  private:
    CellOptions opt_;
    std::vector<CellFit> fit_;
    std::vector<std::uint8_t> dithered_, indices_;
    Canvas canvas_;
};

}  // namespace corvane::wire
