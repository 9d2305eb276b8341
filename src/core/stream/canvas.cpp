#include "core/stream/canvas.hpp"

#include <algorithm>
#include <array>

namespace corvane::wire {
namespace {

constexpr char BEGIN[] = "\x1b[?2026h";
constexpr char END[] = "\x1b[0m\x1b[?2026l";
// Worst bytes of one cell: a cursor position with 32-bit coordinates (24), both colours at 24
// bits (2 + 2 * 17) and a 4-byte glyph.
constexpr std::size_t MAX_CELL_BYTES = 24 + 36 + 4;
// Gaps longer than this are never cheaper to redraw than to jump: a cell costs at least one
// byte and a jump at most five.
constexpr int MAX_GAP = 4;

constexpr Glyph utf8(std::uint32_t cp) {
    Glyph g{};
    if (cp < 0x80) {
        g.utf8[0] = char(cp), g.len = 1;
    } else if (cp < 0x10000) {
        g.utf8[0] = char(0xe0 | cp >> 12), g.utf8[1] = char(0x80 | (cp >> 6 & 63)),
        g.utf8[2] = char(0x80 | (cp & 63));
        g.len = 3;
    } else {
        g.utf8[0] = char(0xf0 | cp >> 18), g.utf8[1] = char(0x80 | (cp >> 12 & 63));
        g.utf8[2] = char(0x80 | (cp >> 6 & 63)), g.utf8[3] = char(0x80 | (cp & 63));
        g.len = 4;
    }
    return g;
}

constexpr std::uint32_t QUADRANTS[16] = {0x20,   0x2598, 0x259d, 0x2580, 0x2596, 0x258c, 0x259e, 0x259b,
                                         0x2597, 0x259a, 0x2590, 0x259c, 0x2584, 0x2599, 0x259f, 0x2588};

// Sextants U+1FB00.. in pattern order, leaving out the empty, full, left-half and right-half patterns.
constexpr std::uint32_t sextant(unsigned p) {
    if (p == 0) return 0x20;
    if (p == 63) return 0x2588;
    if (p == 21) return 0x258c;
    if (p == 42) return 0x2590;
    return 0x1fb00 + p - 1 - (p > 21) - (p > 42);
}

// The octant patterns that older blocks already draw; U+1CD00.. holds the others in pattern order.
struct Reused {
    std::uint8_t pattern;
    std::uint32_t cp;
};
constexpr Reused OCTANT_REUSED[26] = {
    {0, 0x20},     {1, 0x1cea8},   {2, 0x1ceab},  {3, 0x1fb82},  {5, 0x2598},   {10, 0x259d},  {15, 0x2580},
    {20, 0x1fbe6}, {40, 0x1fbe7},  {63, 0x1fb85}, {64, 0x1cea3}, {80, 0x2596},  {85, 0x258c},  {90, 0x259e},
    {95, 0x259b},  {128, 0x1cea0}, {160, 0x2597}, {165, 0x259a}, {170, 0x2590}, {175, 0x259c}, {192, 0x2582},
    {240, 0x2584}, {245, 0x2599},  {250, 0x259f}, {252, 0x2586}, {255, 0x2588},
};

constexpr auto OCTANTS = [] {
    std::array<Glyph, 256> t{};
    std::uint32_t next = 0x1cd00;
    std::size_t r = 0;
    for (unsigned p = 0; p < 256; ++p) {
        if (r < 26 && OCTANT_REUSED[r].pattern == p)
            t[p] = utf8(OCTANT_REUSED[r++].cp);
        else
            t[p] = utf8(next++);
    }
    return t;
}();

constexpr auto SEXTANTS = [] {
    std::array<Glyph, 64> t{};
    for (unsigned p = 0; p < 64; ++p) t[p] = utf8(sextant(p));
    return t;
}();

constexpr auto QUADRANT_GLYPHS = [] {
    std::array<Glyph, 16> t{};
    for (unsigned p = 0; p < 16; ++p) t[p] = utf8(QUADRANTS[p]);
    return t;
}();

constexpr Glyph HALVES[4] = {utf8(0x20), utf8(0x2580), utf8(0x2584), utf8(0x2588)};

}  // namespace

CellSize cell_size(CellShape shape) {
    switch (shape) {
        case CellShape::kHalf:
            return {1, 2};
        case CellShape::kQuadrant:
            return {2, 2};
        case CellShape::kSextant:
            return {2, 3};
        case CellShape::kOctant:
            break;
    }
    return {2, 4};
}

Glyph cell_glyph(CellShape shape, unsigned pattern) {
    switch (shape) {
        case CellShape::kHalf:
            return HALVES[pattern & 3];
        case CellShape::kQuadrant:
            return QUADRANT_GLYPHS[pattern & 15];
        case CellShape::kSextant:
            return SEXTANTS[pattern & 63];
        case CellShape::kOctant:
            break;
    }
    return OCTANTS[pattern & 255];
}

void Canvas::begin(std::size_t rows, std::size_t cols, CellShape shape) {
    const std::size_t n = rows * cols;
    if (rows != rows_ || cols != cols_ || shape != shape_ || shown_.size() != n) {
        shown_.assign(n, UNKNOWN_CELL);
        target_.resize(n);
        dirty_.resize(n);
        rows_ = rows, cols_ = cols, shape_ = shape;
        out_.reserve(n * MAX_CELL_BYTES + sizeof BEGIN + sizeof END);
    }
}

void Canvas::draw(Depth depth, int tolerance, int full_percent) {
    switch (depth) {
        case Depth::kTrue:
            return tolerance == 0 ? draw_as<Depth::kTrue, true>(0, full_percent)
                                  : draw_as<Depth::kTrue, false>(tolerance, full_percent);
        case Depth::k256:
            return tolerance == 0 ? draw_as<Depth::k256, true>(0, full_percent)
                                  : draw_as<Depth::k256, false>(tolerance, full_percent);
        case Depth::k16:
            return tolerance == 0 ? draw_as<Depth::k16, true>(0, full_percent)
                                  : draw_as<Depth::k16, false>(tolerance, full_percent);
    }
}

template <Depth D, bool EXACT>
void Canvas::draw_as(int tolerance, int full_percent) {
    const std::size_t R = rows_, C = cols_, n = R * C;
    using P = Pen<D, EXACT>;
    P w(tolerance, shape_);
    std::size_t changed = 0;
    for (std::size_t i = 0; i < n; ++i) {
        const bool d = !w.same(target_[i], shown_[i]);
        dirty_[i] = d;
        changed += d;
    }
    out_.set_size(0);
    drawn_ = 0;
    if (changed == 0) return;
    if (changed * 100 >= std::size_t(full_percent) * n) std::fill(dirty_.begin(), dirty_.end(), 1);

    std::uint8_t* const start = out_.data();
    w.out() = digits::put_literal(start, BEGIN, sizeof BEGIN - 1);
    auto draw = [&](std::size_t i) {
        shown_[i] = w.draw(w.plan(target_[i]));
        ++drawn_;
    };
    for (std::size_t y = 0; y < R; ++y) {
        const std::size_t row = y * C;
        const std::uint8_t* dirty = dirty_.data() + row;
        std::size_t x = 0;
        while (x < C && !dirty[x]) ++x;
        if (x == C) continue;
        w.move_to(int(x), int(y));
        while (x < C) {
            draw(row + x);
            std::size_t next = x + 1;
            while (next < C && !dirty[next]) ++next;
            if (next == C) break;
            const int gap = int(next - x - 1);
            if (gap > 0) {
                int redraw = gap <= MAX_GAP ? 0 : P::cuf_cost(gap) + 1;
                if (gap <= MAX_GAP) {
                    // What drawing the clean cells in between would cost, from the colours now set.
                    const std::uint32_t fg = w.fg(), bg = w.bg();
                    for (std::size_t k = x + 1; k < next; ++k) {
                        const Plan p = w.plan(target_[row + k]);
                        redraw += w.cost(p);
                        w.set_colours(p.fg, p.bg);
                    }
                    w.set_colours(fg, bg);
                }
                if (redraw <= P::cuf_cost(gap)) {
                    for (std::size_t k = x + 1; k < next; ++k) draw(row + k);
                } else {
                    w.forward(gap);
                }
            }
            x = next;
        }
    }
    std::uint8_t* p = digits::put_literal(w.out(), END, sizeof END - 1);
    out_.set_size(std::size_t(p - start));
}

}  // namespace corvane::wire
