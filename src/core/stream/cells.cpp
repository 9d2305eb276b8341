#include "core/stream/cells.hpp"

#include <algorithm>
#include <array>
#include <bit>

#include "core/stream/digits.hpp"
#include "core/stream/encoder.hpp"
#include "core/stream/palette.hpp"

namespace corvane::wire {
namespace {

constexpr std::uint64_t UNKNOWN = ~std::uint64_t{0};
constexpr char BEGIN[] = "\x1b[?2026h";
constexpr char END[] = "\x1b[0m\x1b[?2026l";
// A cursor position (24), both colours at 24 bits (2 + 2 * 17) and a 4-byte glyph.
constexpr std::size_t MAX_CELL_BYTES = 24 + 36 + 4;

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

// The best partition of the N pixels of one cell. With S the cell's sum and A, B the sums of the
// two parts, the squared error is the sum of squares less |A|^2 / nA + |B|^2 / nB, so the best
// partition maximises that; scaled by L = lcm(1..N) it is an exact integer. Patterns and their
// inverses are the same partition: only those with the last pixel unset are tried.
template <int W, int H>
struct Fitter {
    static constexpr int N = W * H;
    static constexpr int LO = N < 4 ? N : 4;
    static constexpr int HI = N - LO;
    static constexpr std::int64_t L = N == 8 ? 840 : N == 6 ? 60 : N == 4 ? 12 : 2;

    // L / nA and L / nB of every pattern tried: no division in the search.
    static constexpr auto SCALE = [] {
        std::array<std::array<std::int64_t, 2>, (1 << (N - 1))> t{};
        for (int m = 1; m < (1 << (N - 1)); ++m) {
            const int na = std::popcount(unsigned(m));
            t[std::size_t(m)] = {L / na, L / (N - na)};
        }
        return t;
    }();

    static CellFit fit(const std::uint8_t* px, std::size_t stride) {
        int v[N][3];
        for (int i = 0; i < N; ++i) {
            const std::uint8_t* p = px + std::size_t(i / W) * stride + std::size_t(i % W) * 3;
            v[i][0] = p[2], v[i][1] = p[1], v[i][2] = p[0];
        }
        int lo[1 << LO][3] = {}, hi[1 << HI][3] = {};
        for (int m = 1; m < (1 << LO); ++m) {
            const int low = __builtin_ctz(unsigned(m)), rest = m & (m - 1);
            for (int c = 0; c < 3; ++c) lo[m][c] = lo[rest][c] + v[low][c];
        }
        for (int m = 1; m < (1 << HI); ++m) {
            const int low = __builtin_ctz(unsigned(m)), rest = m & (m - 1);
            for (int c = 0; c < 3; ++c) hi[m][c] = hi[rest][c] + v[LO + low][c];
        }
        int s[3];
        for (int c = 0; c < 3; ++c) s[c] = lo[(1 << LO) - 1][c] + hi[(1 << HI) - 1][c];
        std::int64_t best = std::int64_t(s[0] * s[0] + s[1] * s[1] + s[2] * s[2]) * (L / N);
        int pattern = 0;
        for (int m = 1; m < (1 << (N - 1)); ++m) {
            const int* l = lo[m & ((1 << LO) - 1)];
            const int* h = hi[m >> LO];
            const int a0 = l[0] + h[0], a1 = l[1] + h[1], a2 = l[2] + h[2];
            const int b0 = s[0] - a0, b1 = s[1] - a1, b2 = s[2] - a2;
            const std::int64_t score = std::int64_t(a0 * a0 + a1 * a1 + a2 * a2) * SCALE[std::size_t(m)][0] +
                                       std::int64_t(b0 * b0 + b1 * b1 + b2 * b2) * SCALE[std::size_t(m)][1];
            if (score > best) best = score, pattern = m;
        }
        if (pattern == 0) {
            const std::uint32_t c = mean(s, N);
            return {0, c, c};
        }
        const int* l = lo[pattern & ((1 << LO) - 1)];
        const int* h = hi[pattern >> LO];
        const int a[3] = {l[0] + h[0], l[1] + h[1], l[2] + h[2]};
        const int b[3] = {s[0] - a[0], s[1] - a[1], s[2] - a[2]};
        const int na = __builtin_popcount(unsigned(pattern));
        return {std::uint8_t(pattern), mean(a, na), mean(b, N - na)};
    }

    static std::uint32_t mean(const int* sum, int n) {
        std::uint32_t c = 0;
        for (int k = 0; k < 3; ++k) c |= std::uint32_t((2 * sum[k] + n) / (2 * n)) << (8 * k);
        return c;
    }
};

template <int W, int H>
void fit_grid(const std::uint8_t* pixels, int rows, int cols, std::vector<CellFit>& out) {
    const std::size_t R = std::size_t(std::max(rows, 0) / H), C = std::size_t(std::max(cols, 0) / W);
    const std::size_t stride = std::size_t(std::max(cols, 0)) * 3;
    out.resize(R * C);
    for (std::size_t y = 0; y < R; ++y) {
        const std::uint8_t* row = pixels + y * H * stride;
        for (std::size_t x = 0; x < C; ++x) out[y * C + x] = Fitter<W, H>::fit(row + x * W * 3, stride);
    }
}

std::uint32_t code_of(Depth depth, std::uint32_t rgb) {
    if (depth == Depth::kTrue) return rgb;
    const auto r = std::uint8_t(rgb), g = std::uint8_t(rgb >> 8), b = std::uint8_t(rgb >> 16);
    return depth == Depth::k256 ? nearest_256(r, g, b) : nearest_16(r, g, b);
}

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

void fit_cells(const std::uint8_t* pixels, int rows, int cols, CellShape shape, std::vector<CellFit>& out) {
    switch (shape) {
        case CellShape::kHalf:
            return fit_grid<1, 2>(pixels, rows, cols, out);
        case CellShape::kQuadrant:
            return fit_grid<2, 2>(pixels, rows, cols, out);
        case CellShape::kSextant:
            return fit_grid<2, 3>(pixels, rows, cols, out);
        case CellShape::kOctant:
            return fit_grid<2, 4>(pixels, rows, cols, out);
    }
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

CellEncoder::CellEncoder(CellOptions options) : opt_(options), out_(1 << 16) {
    set_tolerance(options.tolerance);
}

void CellEncoder::set_tolerance(int tolerance) {
    opt_.tolerance = std::clamp(tolerance, 0, MAX_TOLERANCE);
}

void CellEncoder::encode(const std::uint8_t* pixels, int rows, int cols) {
    fit_cells(pixels, rows, cols, opt_.shape, fit_);
    const CellSize size = cell_size(opt_.shape);
    const std::size_t R = std::size_t(std::max(rows, 0) / size.height),
                      C = std::size_t(std::max(cols, 0) / size.width);
    if (R != rows_ || C != cols_ || shown_.size() != R * C) {
        shown_.assign(R * C, UNKNOWN);
        target_.resize(R * C);
        dirty_.resize(R * C);
        rows_ = R, cols_ = C;
        out_.reserve(R * C * MAX_CELL_BYTES + sizeof BEGIN + sizeof END);
    }
    switch (opt_.depth) {
        case Depth::kTrue:
            return encode_as<Depth::kTrue>();
        case Depth::k256:
            return encode_as<Depth::k256>();
        case Depth::k16:
            return encode_as<Depth::k16>();
    }
}

template <Depth D>
void CellEncoder::encode_as() {
    const std::size_t R = rows_, C = cols_, n = R * C;
    const int tol = opt_.tolerance;
    const CellSize size = cell_size(opt_.shape);
    const unsigned all = (1u << (size.width * size.height)) - 1;
    auto near = [tol](std::uint32_t a, std::uint32_t b) {
        if (a == b) return true;
        if (tol == 0) return false;
        const std::uint32_t x = D == Depth::kTrue ? a : palette_rgb(a),
                            y = D == Depth::kTrue ? b : palette_rgb(b);
        for (int s = 0; s < 24; s += 8) {
            const int d = int(x >> s & 0xff) - int(y >> s & 0xff);
            if (d > tol || d < -tol) return false;
        }
        return true;
    };
    auto pack = [](unsigned pattern, std::uint32_t fg, std::uint32_t bg) {
        return std::uint64_t(pattern) | std::uint64_t(fg) << 8 | std::uint64_t(bg) << 32;
    };
    // Every pixel of the shown cell `s` within T of the same pixel of the target `t`.
    auto same = [&](std::uint64_t t, std::uint64_t s) {
        if (t == s) return true;
        if (s == UNKNOWN) return false;
        const unsigned tp = unsigned(t & 0xff), sp = unsigned(s & 0xff);
        const auto tf = std::uint32_t(t >> 8 & 0xffffff), tb = std::uint32_t(t >> 32);
        const auto sf = std::uint32_t(s >> 8 & 0xffffff), sb = std::uint32_t(s >> 32);
        return (!(tp & sp) || near(tf, sf)) && (!(tp & ~sp & all) || near(tf, sb)) &&
               (!(~tp & sp & all) || near(tb, sf)) && (!(~tp & ~sp & all) || near(tb, sb));
    };
    std::size_t changed = 0;
    for (std::size_t i = 0; i < n; ++i) {
        const CellFit& f = fit_[i];
        const std::uint32_t fg = code_of(D, f.fg), bg = code_of(D, f.bg);
        target_[i] = fg == bg ? pack(0, bg, bg) : pack(f.pattern, fg, bg);
        const bool d = !same(target_[i], shown_[i]);
        dirty_[i] = d;
        changed += d;
    }
    out_.set_size(0);
    drawn_ = 0;
    if (changed == 0) return;
    if (changed * 100 >= std::size_t(opt_.full_percent) * n) std::fill(dirty_.begin(), dirty_.end(), 1);

    constexpr std::uint32_t NONE = ~std::uint32_t{0};
    std::uint32_t cur_fg = NONE, cur_bg = NONE;
    int cx = -1, cy = -1;
    std::uint8_t* const start = out_.data();
    std::uint8_t* p = digits::put_literal(start, BEGIN, sizeof BEGIN - 1);
    auto has = [&](std::uint32_t cur, std::uint32_t want) { return cur != NONE && near(want, cur); };
    auto draw = [&](std::size_t i) {
        const std::uint64_t t = target_[i];
        unsigned pattern = unsigned(t & 0xff);
        std::uint32_t fg = std::uint32_t(t >> 8 & 0xffffff), bg = std::uint32_t(t >> 32);
        if (pattern == 0) {
            // One colour: a space on the background or a full block in the foreground.
            if (!has(cur_bg, bg) && has(cur_fg, bg)) pattern = all, fg = bg;
        } else {
            const int keep = has(cur_fg, fg) + has(cur_bg, bg), swap = has(cur_fg, bg) + has(cur_bg, fg);
            if (swap > keep) pattern = ~pattern & all, std::swap(fg, bg);
        }
        const bool uses_fg = pattern != 0, uses_bg = pattern != all;
        const bool set_fg = uses_fg && !has(cur_fg, fg), set_bg = uses_bg && !has(cur_bg, bg);
        if (set_fg || set_bg) {
            p = digits::put_literal(p, "\x1b[", 2);
            if (set_fg) p = put_colour_param<D>(p, fg, false), cur_fg = fg;
            if (set_bg) p = put_colour_param<D>(p, bg, true), cur_bg = bg;
            p[-1] = 'm';
        }
        const Glyph g = cell_glyph(opt_.shape, pattern);
        p = digits::put_literal(p, g.utf8, g.len);
        shown_[i] = pattern == 0     ? pack(0, cur_bg, cur_bg)
                    : pattern == all ? pack(0, cur_fg, cur_fg)
                                     : pack(pattern, cur_fg, cur_bg);
        ++cx, ++drawn_;
    };
    for (std::size_t y = 0; y < R; ++y) {
        const std::uint8_t* dirty = dirty_.data() + y * C;
        for (std::size_t x = 0; x < C; ++x) {
            if (!dirty[x]) continue;
            if (cy != int(y) || cx != int(x)) {
                const int gap = cy == int(y) ? int(x) - cx : -1;
                if (gap > 0 && gap <= 2) {
                    // Redrawing a cell or two costs about what the jump would.
                    for (std::size_t k = std::size_t(cx); k < x; ++k) draw(y * C + k);
                } else if (gap > 0) {
                    p = digits::put_literal(p, "\x1b[", 2);
                    p = digits::put_u32(p, std::uint32_t(gap));
                    *p++ = 'C';
                } else if (cy >= 0 && int(y) == cy + 1 && x == 0) {
                    p = digits::put_literal(p, "\r\n", 2);
                } else {
                    p = digits::put_literal(p, "\x1b[", 2);
                    p = digits::put_u32(p, std::uint32_t(y) + 1);
                    *p++ = ';';
                    p = digits::put_u32(p, std::uint32_t(x) + 1);
                    *p++ = 'H';
                }
                cx = int(x), cy = int(y);
            }
            draw(y * C + x);
        }
    }
    p = digits::put_literal(p, END, sizeof END - 1);
    out_.set_size(std::size_t(p - start));
}

}  // namespace corvane::wire
