#include "core/stream/encoder.hpp"

#include <algorithm>
#include <cstring>

#include "core/stream/digits.hpp"
#include "core/stream/palette.hpp"
#include "core/stream/sgr.hpp"

namespace corvane::wire {
namespace {

constexpr std::uint32_t UNKNOWN = ~std::uint32_t{0};
constexpr std::uint64_t UNKNOWN_CELL = ~std::uint64_t{0};
constexpr char BEGIN[] = "\x1b[?2026h";
constexpr char END[] = "\x1b[0m\x1b[?2026l";
constexpr char LINE_END[] = "\x1b[0m\n";
constexpr char DEFAULT_BG[] = "\x1b[49m";
// Worst bytes of one cell: a cursor position with 32-bit coordinates (24), both colours in
// 24-bit (2 + 2 * 17) and a 3-byte glyph.
constexpr std::size_t MAX_CELL_BYTES = 24 + 36 + 3;
// Gaps longer than this are never cheaper to redraw than to jump: a cell costs at least one
// byte and a jump at most five.
constexpr int MAX_GAP = 4;

using digits::put_u32;

// Ordered dithering: the 4 x 4 Bayer matrix.
constexpr int BAYER[16] = {0, 8, 2, 10, 12, 4, 14, 6, 3, 11, 1, 9, 15, 7, 13, 5};

inline std::uint8_t* put(std::uint8_t* p, const char* s, std::size_t n) {
    return digits::put_literal(p, s, n);
}

inline int digit_count(std::uint32_t v) {
    int n = 1;
    while (v >= 10) v /= 10, ++n;
    return n;
}

enum class Glyph : std::uint8_t { kSpace, kUpper, kLower, kFull };

// How to draw one cell from the current colours: the glyph, the colours after it, and which of
// them it has to set.
struct Plan {
    Glyph glyph;
    bool set_fg, set_bg;
    std::uint32_t fg, bg;
};

// The terminal's state while a frame is written, and the rules for what a byte costs. A template
// on the depth and on exactness (T = 0), so that the per-cell work has no tests of either.
template <Depth depth_, bool EXACT>
class Writer {
  public:
    explicit Writer(int tol) : tol_(tol) {}

    bool near(std::uint32_t a, std::uint32_t b) const {
        if (a == b) return true;
        if constexpr (EXACT) return false;
        if (a == UNKNOWN || b == UNKNOWN) return false;
        const std::uint32_t x = rgb(a), y = rgb(b);
        for (int s = 0; s < 24; s += 8) {
            const int d = int(x >> s & 0xff) - int(y >> s & 0xff);
            if (d > tol_ || d < -tol_) return false;
        }
        return true;
    }

    Plan plan(std::uint32_t u, std::uint32_t l) const {
        const bool u_bg = near(u, bg_), l_bg = near(l, bg_), u_fg = near(u, fg_), l_fg = near(l, fg_);
        if (u_bg && l_bg) return {Glyph::kSpace, false, false, fg_, bg_};
        if (u_fg && l_bg) return {Glyph::kUpper, false, false, fg_, bg_};
        if (u_bg && l_fg) return {Glyph::kLower, false, false, fg_, bg_};
        if (u_fg && l_fg) return {Glyph::kFull, false, false, fg_, bg_};
        if (u_fg) return {Glyph::kUpper, false, true, fg_, l};
        if (l_fg) return {Glyph::kLower, false, true, fg_, u};
        if (l_bg) return {Glyph::kUpper, true, false, u, bg_};
        if (u_bg) return {Glyph::kLower, true, false, l, bg_};
        if (near(l, u)) return {Glyph::kSpace, false, true, fg_, u};
        return {Glyph::kUpper, true, true, u, l};
    }

    int cost(const Plan& p) const {
        int n = p.glyph == Glyph::kSpace ? 1 : 3;
        if (p.set_fg || p.set_bg) n += 2;
        if (p.set_fg) n += param_len(p.fg, false);
        if (p.set_bg) n += param_len(p.bg, true);
        return n;
    }

    // Draws one cell; returns its shown (upper, lower) codes packed.
    std::uint64_t draw(const Plan& pl) {
        std::uint8_t* p = p_;
        if (pl.set_fg || pl.set_bg) {
            p = put(p, "\x1b[", 2);
            if (pl.set_fg) p = put_param(p, pl.fg, false);
            if (pl.set_bg) p = put_param(p, pl.bg, true);
            p[-1] = 'm';
        }
        switch (pl.glyph) {
            case Glyph::kSpace:
                *p++ = ' ';
                break;
            case Glyph::kUpper:
                p = put(p, "\xe2\x96\x80", 3);
                break;
            case Glyph::kLower:
                p = put(p, "\xe2\x96\x84", 3);
                break;
            case Glyph::kFull:
                p = put(p, "\xe2\x96\x88", 3);
                break;
        }
        p_ = p;
        fg_ = pl.fg, bg_ = pl.bg;
        ++cx_;
        switch (pl.glyph) {
            case Glyph::kSpace:
                return pack(bg_, bg_);
            case Glyph::kUpper:
                return pack(fg_, bg_);
            case Glyph::kLower:
                return pack(bg_, fg_);
            case Glyph::kFull:
                break;
        }
        return pack(fg_, fg_);
    }

    // Moves the cursor to cell (x, y) the cheapest way it knows.
    void move_to(int x, int y) {
        if (cy_ == y && cx_ == x) return;
        const int cup =
            x == 0 && y == 0 ? 3 : 4 + digit_count(std::uint32_t(y) + 1) + digit_count(std::uint32_t(x) + 1);
        if (cy_ == y && x > cx_ && cuf_cost(x - cx_) <= cup) {
            forward(x - cx_);
        } else if (cy_ >= 0 && y == cy_ + 1 && 2 + (x > 0 ? cuf_cost(x) : 0) <= cup) {
            p_ = put(p_, "\r\n", 2);
            cx_ = 0, cy_ = y;
            if (x > 0) forward(x);
        } else if (x == 0 && y == 0) {
            p_ = put(p_, "\x1b[H", 3);
        } else {
            p_ = put(p_, "\x1b[", 2);
            p_ = put_u32(p_, std::uint32_t(y) + 1);
            *p_++ = ';';
            p_ = put_u32(p_, std::uint32_t(x) + 1);
            *p_++ = 'H';
        }
        cx_ = x, cy_ = y;
    }

    static int cuf_cost(int n) { return n == 1 ? 3 : 3 + digit_count(std::uint32_t(n)); }
    void forward(int n) {
        p_ = put(p_, "\x1b[", 2);
        if (n != 1) p_ = put_u32(p_, std::uint32_t(n));
        *p_++ = 'C';
        cx_ += n;
    }

    // Starts a printed line: nothing is known of the colours, and the cursor is where it is.
    void new_line() { fg_ = bg_ = UNKNOWN; }
    // An upper half in `u` over the background the line started with.
    void draw_upper(std::uint32_t u) { draw(Plan{Glyph::kUpper, !near(u, fg_), false, u, bg_}); }

    int cx() const { return cx_; }
    std::uint32_t fg() const { return fg_; }
    std::uint32_t bg() const { return bg_; }
    void set_colours(std::uint32_t fg, std::uint32_t bg) { fg_ = fg, bg_ = bg; }
    std::uint8_t*& out() { return p_; }

  private:
    static std::uint64_t pack(std::uint32_t u, std::uint32_t l) {
        return std::uint64_t(u) | std::uint64_t(l) << 32;
    }
    std::uint32_t rgb(std::uint32_t code) const {
        if constexpr (depth_ == Depth::kTrue) return code;
        return palette_rgb(code);
    }

    static int param_len(std::uint32_t c, bool bg) { return colour_param_len<depth_>(c, bg); }
    static std::uint8_t* put_param(std::uint8_t* p, std::uint32_t c, bool bg) {
        return put_colour_param<depth_>(p, c, bg);
    }

    int tol_;
    std::uint8_t* p_ = nullptr;
    std::uint32_t fg_ = UNKNOWN, bg_ = UNKNOWN;
    int cx_ = -1, cy_ = -1;
};

}  // namespace

WireEncoder::WireEncoder(EncoderOptions options)
    : opt_(options), tol_(std::clamp(options.tolerance, 0, MAX_TOLERANCE)), out_(1 << 16) {}

void WireEncoder::set_tolerance(int tolerance) {
    tol_ = std::clamp(tolerance, 0, MAX_TOLERANCE);
}

std::uint32_t WireEncoder::code_of(const std::uint8_t* px, int x, int y) const {
    if (opt_.depth == Depth::kTrue)
        return std::uint32_t(px[2]) | std::uint32_t(px[1]) << 8 | std::uint32_t(px[0]) << 16;
    if (diffusing()) return diffused_[std::size_t(y) * diffused_cols_ + std::size_t(x)];
    int b = px[0], g = px[1], r = px[2];
    if (opt_.dither) {
        // About one palette step of spread: the cube's levels lie 40 apart.
        constexpr int amplitude = 40;
        const int offset = ((2 * BAYER[(y & 3) * 4 + (x & 3)] + 1) * amplitude) / 32 - amplitude / 2;
        b = std::clamp(b + offset, 0, 255), g = std::clamp(g + offset, 0, 255),
        r = std::clamp(r + offset, 0, 255);
    }
    return opt_.depth == Depth::k256 ? nearest_256(std::uint8_t(r), std::uint8_t(g), std::uint8_t(b))
                                     : nearest_16(std::uint8_t(r), std::uint8_t(g), std::uint8_t(b));
}

void WireEncoder::diffuse(const std::uint8_t* pixels, std::size_t rows, std::size_t cols) {
    if (!diffusing()) return;
    diffused_.resize(rows * cols);
    diffused_cols_ = cols;
    diffuse_16(pixels, int(rows), int(cols), diffused_.data());
}

void WireEncoder::palette_indices(const std::uint8_t* pixels, int rows, int cols, std::uint8_t* out) const {
    if (opt_.depth == Depth::kTrue) return;
    if (diffusing()) return diffuse_16(pixels, rows, cols, out);
    for (int y = 0; y < rows; ++y)
        for (int x = 0; x < cols; ++x, pixels += 3) *out++ = std::uint8_t(code_of(pixels, x, y));
}

void WireEncoder::encode(const std::uint8_t* pixels, int rows, int cols) {
    const std::size_t R = rows >= 2 ? std::size_t(rows / 2) : 0;
    const std::size_t C = cols > 0 ? std::size_t(cols) : 0;
    const std::size_t n = R * C;
    if (R != rows_ || C != cols_ || shown_.size() != n) {
        shown_.assign(n, UNKNOWN_CELL);
        target_.resize(n);
        dirty_.resize(n);
        rows_ = R, cols_ = C;
        out_.reserve(n * MAX_CELL_BYTES + sizeof BEGIN + sizeof END);
    }
    diffuse(pixels, 2 * R, C);
    switch (opt_.depth) {
        case Depth::kTrue:
            return tol_ == 0 ? encode_as<Depth::kTrue, true>(pixels) : encode_as<Depth::kTrue, false>(pixels);
        case Depth::k256:
            return tol_ == 0 ? encode_as<Depth::k256, true>(pixels) : encode_as<Depth::k256, false>(pixels);
        case Depth::k16:
            return tol_ == 0 ? encode_as<Depth::k16, true>(pixels) : encode_as<Depth::k16, false>(pixels);
    }
}

template <Depth D, bool EXACT>
void WireEncoder::encode_as(const std::uint8_t* pixels) {
    const std::size_t R = rows_, C = cols_, n = R * C;
    using W = Writer<D, EXACT>;
    W w(tol_);
    const std::size_t stride = C * 3;
    std::size_t changed = 0;
    for (std::size_t y = 0; y < R; ++y) {
        const std::uint8_t* upper = pixels + 2 * y * stride;
        const std::uint8_t* lower = upper + stride;
        for (std::size_t x = 0; x < C; ++x) {
            const std::size_t i = y * C + x;
            std::uint32_t u, l;
            if constexpr (D == Depth::kTrue) {
                const std::uint8_t *a = upper + 3 * x, *b = lower + 3 * x;
                u = std::uint32_t(a[2]) | std::uint32_t(a[1]) << 8 | std::uint32_t(a[0]) << 16;
                l = std::uint32_t(b[2]) | std::uint32_t(b[1]) << 8 | std::uint32_t(b[0]) << 16;
            } else {
                u = code_of(upper + 3 * x, int(x), int(2 * y));
                l = code_of(lower + 3 * x, int(x), int(2 * y + 1));
            }
            target_[i] = std::uint64_t(u) | std::uint64_t(l) << 32;
            const std::uint64_t s = shown_[i];
            bool d = target_[i] != s;
            if constexpr (!EXACT)
                d = d && !(w.near(u, std::uint32_t(s)) && w.near(l, std::uint32_t(s >> 32)));
            dirty_[i] = d;
            changed += d;
        }
    }
    out_.set_size(0);
    drawn_ = 0;
    if (changed == 0) return;
    if (changed * 100 >= std::size_t(opt_.full_percent) * n) std::fill(dirty_.begin(), dirty_.end(), 1);

    std::uint8_t* const start = out_.data();
    w.out() = put(start, BEGIN, sizeof BEGIN - 1);
    auto draw = [&](std::size_t i) {
        shown_[i] = w.draw(w.plan(std::uint32_t(target_[i]), std::uint32_t(target_[i] >> 32)));
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
                int redraw = gap <= MAX_GAP ? 0 : W::cuf_cost(gap) + 1;
                if (gap <= MAX_GAP) {
                    // What drawing the clean cells in between would cost, from the colours now set.
                    const std::uint32_t fg = w.fg(), bg = w.bg();
                    for (std::size_t k = x + 1; k < next; ++k) {
                        const Plan p =
                            w.plan(std::uint32_t(target_[row + k]), std::uint32_t(target_[row + k] >> 32));
                        redraw += w.cost(p);
                        w.set_colours(p.fg, p.bg);
                    }
                    w.set_colours(fg, bg);
                }
                if (redraw <= W::cuf_cost(gap)) {
                    for (std::size_t k = x + 1; k < next; ++k) draw(row + k);
                } else {
                    w.forward(gap);
                }
            }
            x = next;
        }
    }
    std::uint8_t* p = put(w.out(), END, sizeof END - 1);
    out_.set_size(std::size_t(p - start));
}

void WireEncoder::encode_inline(const std::uint8_t* pixels, int rows, int cols) {
    const std::size_t R = rows > 0 ? std::size_t(rows) : 0, C = cols > 0 ? std::size_t(cols) : 0;
    out_.reserve((R + 1) / 2 * (C * MAX_CELL_BYTES + sizeof LINE_END) + sizeof DEFAULT_BG);
    diffuse(pixels, R, C);
    switch (opt_.depth) {
        case Depth::kTrue:
            return tol_ == 0 ? inline_as<Depth::kTrue, true>(pixels, R, C)
                             : inline_as<Depth::kTrue, false>(pixels, R, C);
        case Depth::k256:
            return tol_ == 0 ? inline_as<Depth::k256, true>(pixels, R, C)
                             : inline_as<Depth::k256, false>(pixels, R, C);
        case Depth::k16:
            return tol_ == 0 ? inline_as<Depth::k16, true>(pixels, R, C)
                             : inline_as<Depth::k16, false>(pixels, R, C);
    }
}

template <Depth D, bool EXACT>
void WireEncoder::inline_as(const std::uint8_t* pixels, std::size_t rows, std::size_t cols) {
    Writer<D, EXACT> w(tol_);
    std::uint8_t* const start = out_.data();
    w.out() = start;
    const std::size_t stride = cols * 3;
    for (std::size_t y = 0; y < rows; y += 2) {
        const std::uint8_t* upper = pixels + y * stride;
        w.new_line();
        if (y + 1 < rows) {
            const std::uint8_t* lower = upper + stride;
            for (std::size_t x = 0; x < cols; ++x)
                w.draw(w.plan(code_of(upper + 3 * x, int(x), int(y)),
                              code_of(lower + 3 * x, int(x), int(y + 1))));
        } else {
            w.out() = put(w.out(), DEFAULT_BG, sizeof DEFAULT_BG - 1);
            for (std::size_t x = 0; x < cols; ++x) w.draw_upper(code_of(upper + 3 * x, int(x), int(y)));
        }
        w.out() = put(w.out(), LINE_END, sizeof LINE_END - 1);
    }
    out_.set_size(std::size_t(w.out() - start));
    drawn_ = (rows + 1) / 2 * cols;
}

}  // namespace corvane::wire
