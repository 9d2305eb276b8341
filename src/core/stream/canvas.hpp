// The one model of the terminal's cells that every wire encoder draws through: cells of two
// colours in a pattern of pixels, what the terminal shows of each, and the fewest bytes that bring
// it to a new frame.
//
// Contract:
// - Shapes: half (1 x 2 pixels: space, U+2580, U+2584, U+2588), quadrant (2 x 2: U+2596-259F
//   and the half and full blocks), sextant (2 x 3: U+1FB00-1FB3B and the blocks they leave out)
//   and octant (2 x 4: U+1CD00-1CDE5 and the 26 older block glyphs with octant shapes). Pixel i of
//   a cell is bit i of its pattern, row by row, left first; set bits take the foreground colour.
// - A cell's code is `cell_code(pattern, fg, bg)` with colour codes of the depth (24-bit
//   red | green << 8 | blue << 16, or palette indices): one code per picture, so a pattern and
//   its inverse with the colours swapped, or any pattern in one colour, compare equal.
// - `Canvas` holds what the terminal shows (`UNKNOWN` before a cell is drawn) and the frame's
//   targets. `begin` sizes it for a grid (a new grid forgets what is shown); the caller fills
//   `targets()`; `draw` compares them against what is shown: a cell is redrawn only when some
//   pixel's shown colour is further than T from its target (largest difference of red, green and
//   blue, on the palette's colours in the palette depths; T = 0: any difference), the whole grid
//   when `full_percent` of the cells differ, the first frame and after `invalidate()`. Each cell is
//   drawn from the colours set as cheaply as it can be (its pattern or the inverse, a colour set
//   reused within T), cursor-forward or CR LF for short moves, and gaps of a few cells redrawn when
//   that is cheaper than jumping. A frame with changes is wrapped in "\x1b[?2026h" ...
//   "\x1b[0m\x1b[?2026l" and opens with a cursor position (the state between frames is unknown);
//   one without yields no bytes. Cell (x, y) is at line y + 1, column x + 1.
// - `Pen` is the terminal state while bytes are written, for writers of other layouts (printed
//   lines). Buffers belong to the canvas; one thread at a time; nothing fails but allocation.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include "core/stream/digits.hpp"
#include "core/stream/palette.hpp"
#include "core/stream/renderer.hpp"
#include "core/stream/sgr.hpp"

namespace corvane::wire {

// Beyond this a cell left alone is more wrong than right.
inline constexpr int MAX_TOLERANCE = 64;

enum class CellShape : std::uint8_t { kHalf, kQuadrant, kSextant, kOctant };

struct CellSize {
    int width, height;
};
CellSize cell_size(CellShape shape);

struct Glyph {
    char utf8[4];
    std::uint8_t len;
};
// The glyph whose set part is `pattern` (a space for 0).
Glyph cell_glyph(CellShape shape, unsigned pattern);

inline constexpr std::uint64_t UNKNOWN_CELL = ~std::uint64_t{0};

// The code of a cell of `n` pixels: one colour is pattern 0, two have the last pixel unset.
inline std::uint64_t cell_code(unsigned pattern, std::uint32_t fg, std::uint32_t bg, int n) {
    const unsigned all = (1u << n) - 1;
    if (fg == bg || pattern == 0 || pattern == all) {
        const std::uint32_t c = pattern == 0 ? bg : fg;
        return std::uint64_t(c) << 8 | std::uint64_t(c) << 32;
    }
    if (pattern >> (n - 1) & 1) pattern = ~pattern & all, std::swap(fg, bg);
    return std::uint64_t(pattern) | std::uint64_t(fg) << 8 | std::uint64_t(bg) << 32;
}

// How to draw one cell from the current colours: its pattern, the colours after it, and which
// of them it has to set.
struct Plan {
    unsigned pattern;
    bool set_fg, set_bg;
    std::uint32_t fg, bg;
};

// The terminal's cursor and colours while a frame is written. A template on the depth and on
// exactness (T = 0), so that the per-cell work has no tests of either.
template <Depth D, bool EXACT>
class Pen {
  public:
    static constexpr std::uint32_t NONE = ~std::uint32_t{0};

    Pen(int tol, CellShape shape) : tol_(tol), shape_(shape) {
        const CellSize z = cell_size(shape);
        all_ = (1u << (z.width * z.height)) - 1;
    }

    bool near(std::uint32_t a, std::uint32_t b) const {
        if (a == b) return true;
        if constexpr (EXACT) return false;
        if (a == NONE || b == NONE) return false;
        const std::uint32_t x = rgb(a), y = rgb(b);
        for (int s = 0; s < 24; s += 8) {
            const int d = int(x >> s & 0xff) - int(y >> s & 0xff);
            if (d > tol_ || d < -tol_) return false;
        }
        return true;
    }

    // Every pixel of the shown cell `s` within T of the same pixel of the target `t`.
    bool same(std::uint64_t t, std::uint64_t s) const {
        if (t == s) return true;
        if constexpr (EXACT) return false;
        if (s == UNKNOWN_CELL) return false;
        const unsigned tp = unsigned(t & 0xff), sp = unsigned(s & 0xff);
        const auto tf = std::uint32_t(t >> 8 & 0xffffff), tb = std::uint32_t(t >> 32);
        const auto sf = std::uint32_t(s >> 8 & 0xffffff), sb = std::uint32_t(s >> 32);
        return (!(tp & sp) || near(tf, sf)) && (!(tp & ~sp & all_) || near(tf, sb)) &&
               (!(~tp & sp & all_) || near(tb, sf)) && (!(~tp & ~sp & all_) || near(tb, sb));
    }

    // The cheapest way to show `code` from the colours set.
    Plan plan(std::uint64_t code) const {
        const unsigned p = unsigned(code & 0xff), q = ~p & all_;
        const auto f = std::uint32_t(code >> 8 & 0xffffff), b = std::uint32_t(code >> 32);
        const bool f_bg = near(f, bg_), b_bg = near(b, bg_), f_fg = near(f, fg_), b_fg = near(b, fg_);
        if (f_bg && b_bg) return {0, false, false, fg_, bg_};
        if (f_fg && b_bg) return {p, false, false, fg_, bg_};
        if (f_bg && b_fg) return {q, false, false, fg_, bg_};
        if (f_fg && b_fg) return {all_, false, false, fg_, bg_};
        if (f_fg) return {p, false, true, fg_, b};
        if (b_fg) return {q, false, true, fg_, f};
        if (b_bg) return {p, true, false, f, bg_};
        if (f_bg) return {q, true, false, b, bg_};
        if (near(b, f)) return {0, false, true, fg_, f};
        return {p, true, true, f, b};
    }

    int cost(const Plan& pl) const {
        int n = cell_glyph(shape_, pl.pattern).len;
        if (pl.set_fg || pl.set_bg) n += 2;
        if (pl.set_fg) n += colour_param_len<D>(pl.fg, false);
        if (pl.set_bg) n += colour_param_len<D>(pl.bg, true);
        return n;
    }

    // Draws one cell; returns the code of what it shows.
    std::uint64_t draw(const Plan& pl) {
        std::uint8_t* p = p_;
        if (pl.set_fg || pl.set_bg) {
            p = digits::put_literal(p, "\x1b[", 2);
            if (pl.set_fg) p = put_colour_param<D>(p, pl.fg, false);
            if (pl.set_bg) p = put_colour_param<D>(p, pl.bg, true);
            p[-1] = 'm';
        }
        const Glyph g = cell_glyph(shape_, pl.pattern);
        p_ = digits::put_literal(p, g.utf8, g.len);
        fg_ = pl.fg, bg_ = pl.bg;
        ++cx_;
        return shown(pl.pattern);
    }

    // Moves the cursor to cell (x, y) the cheapest way it knows.
    void move_to(int x, int y) {
        if (cy_ == y && cx_ == x) return;
        const int cup =
            x == 0 && y == 0 ? 3 : 4 + digit_count(std::uint32_t(y) + 1) + digit_count(std::uint32_t(x) + 1);
        if (cy_ == y && x > cx_ && cuf_cost(x - cx_) <= cup) {
            forward(x - cx_);
        } else if (cy_ >= 0 && y == cy_ + 1 && 2 + (x > 0 ? cuf_cost(x) : 0) <= cup) {
            p_ = digits::put_literal(p_, "\r\n", 2);
            cx_ = 0, cy_ = y;
            if (x > 0) forward(x);
        } else if (x == 0 && y == 0) {
            p_ = digits::put_literal(p_, "\x1b[H", 3);
        } else {
            p_ = digits::put_literal(p_, "\x1b[", 2);
            p_ = digits::put_u32(p_, std::uint32_t(y) + 1);
            *p_++ = ';';
            p_ = digits::put_u32(p_, std::uint32_t(x) + 1);
            *p_++ = 'H';
        }
        cx_ = x, cy_ = y;
    }

    static int cuf_cost(int n) { return n == 1 ? 3 : 3 + digit_count(std::uint32_t(n)); }
    void forward(int n) {
        p_ = digits::put_literal(p_, "\x1b[", 2);
        if (n != 1) p_ = digits::put_u32(p_, std::uint32_t(n));
        *p_++ = 'C';
        cx_ += n;
    }

    // Starts a printed line: nothing is known of the colours, and the cursor is where it is.
    void new_line() { fg_ = bg_ = NONE; }
    std::uint32_t fg() const { return fg_; }
    std::uint32_t bg() const { return bg_; }
    void set_colours(std::uint32_t fg, std::uint32_t bg) { fg_ = fg, bg_ = bg; }
    std::uint8_t*& out() { return p_; }

  private:
    static int digit_count(std::uint32_t v) {
        int n = 1;
        while (v >= 10) v /= 10, ++n;
        return n;
    }
    std::uint32_t rgb(std::uint32_t code) const {
        if constexpr (D == Depth::kTrue) return code;
        return palette_rgb(code);
    }
    std::uint64_t shown(unsigned pattern) const {
        const int n = std::popcount(all_);
        return pattern == 0 ? cell_code(0, bg_, bg_, n) : cell_code(pattern, fg_, bg_, n);
    }

    int tol_;
    CellShape shape_;
    unsigned all_;
    std::uint8_t* p_ = nullptr;
    std::uint32_t fg_ = NONE, bg_ = NONE;
    int cx_ = -1, cy_ = -1;
};

class Canvas {
  public:
    Canvas() : out_(1 << 16) {}
    // Sized for a `rows` x `cols` grid of `shape`; what is shown is forgotten when the grid changes.
    void begin(std::size_t rows, std::size_t cols, CellShape shape);
    // The frame's cell codes, row by row, for the caller to fill after `begin`.
    std::uint64_t* targets() { return target_.data(); }
    void invalidate() { shown_.clear(); }
    void draw(Depth depth, int tolerance, int full_percent);
    ByteBuffer& output() { return out_; }
    const ByteBuffer& output() const { return out_; }
    std::size_t cells_drawn() const { return drawn_; }
    std::size_t rows() const { return rows_; }
    std::size_t cols() const { return cols_; }

  private:
    template <Depth D, bool EXACT>
    void draw_as(int tolerance, int full_percent);

    CellShape shape_ = CellShape::kHalf;
    std::size_t rows_ = 0, cols_ = 0;
    std::vector<std::uint64_t> shown_, target_;
    std::vector<std::uint8_t> dirty_;
    ByteBuffer out_;
    std::size_t drawn_ = 0;
};

}  // namespace corvane::wire
