#include "core/stream/encoder.hpp"

#include <algorithm>

#include "core/stream/digits.hpp"
#include "core/stream/palette.hpp"

namespace corvane::wire {
namespace {

constexpr char LINE_END[] = "\x1b[0m\n";
constexpr char DEFAULT_BG[] = "\x1b[49m";
// Worst bytes of one printed cell: both colours in 24-bit (2 + 2 * 17) and a 3-byte glyph.
constexpr std::size_t MAX_CELL_BYTES = 36 + 3;

// A half cell: the upper pixel set over the lower.
inline std::uint64_t half_code(std::uint32_t upper, std::uint32_t lower) {
    return cell_code(1, upper, lower, 2);
}

}  // namespace

WireEncoder::WireEncoder(EncoderOptions options)
    : opt_(options), tol_(std::clamp(options.tolerance, 0, MAX_TOLERANCE)) {}

void WireEncoder::set_tolerance(int tolerance) {
    tol_ = std::clamp(tolerance, 0, MAX_TOLERANCE);
}

std::uint32_t WireEncoder::code_of(const std::uint8_t* px, int x, int y) const {
    if (opt_.depth == Depth::kTrue)
        return std::uint32_t(px[2]) | std::uint32_t(px[1]) << 8 | std::uint32_t(px[0]) << 16;
    if (diffusing()) return diffused_[std::size_t(y) * diffused_cols_ + std::size_t(x)];
    if (opt_.dither && opt_.depth == Depth::k256) return dithered_256(px[2], px[1], px[0], x, y);
    return opt_.depth == Depth::k256 ? nearest_256(px[2], px[1], px[0]) : nearest_16(px[2], px[1], px[0]);
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
    canvas_.begin(R, C, CellShape::kHalf);
    diffuse(pixels, 2 * R, C);
    std::uint64_t* target = canvas_.targets();
    const std::size_t stride = C * 3;
    for (std::size_t y = 0; y < R; ++y) {
        const std::uint8_t* upper = pixels + 2 * y * stride;
        const std::uint8_t* lower = upper + stride;
        for (std::size_t x = 0; x < C; ++x, ++target) {
            if (opt_.depth == Depth::kTrue) {
                const std::uint8_t *a = upper + 3 * x, *b = lower + 3 * x;
                *target =
                    half_code(std::uint32_t(a[2]) | std::uint32_t(a[1]) << 8 | std::uint32_t(a[0]) << 16,
                              std::uint32_t(b[2]) | std::uint32_t(b[1]) << 8 | std::uint32_t(b[0]) << 16);
            } else {
                *target = half_code(code_of(upper + 3 * x, int(x), int(2 * y)),
                                    code_of(lower + 3 * x, int(x), int(2 * y + 1)));
            }
        }
    }
    canvas_.draw(opt_.depth, tol_, opt_.full_percent);
}

void WireEncoder::encode_inline(const std::uint8_t* pixels, int rows, int cols) {
    const std::size_t R = rows > 0 ? std::size_t(rows) : 0, C = cols > 0 ? std::size_t(cols) : 0;
    canvas_.output().reserve((R + 1) / 2 * (C * MAX_CELL_BYTES + sizeof LINE_END) + sizeof DEFAULT_BG);
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
    Pen<D, EXACT> w(tol_, CellShape::kHalf);
    ByteBuffer& out = canvas_.output();
    std::uint8_t* const start = out.data();
    w.out() = start;
    const std::size_t stride = cols * 3;
    for (std::size_t y = 0; y < rows; y += 2) {
        const std::uint8_t* upper = pixels + y * stride;
        w.new_line();
        if (y + 1 < rows) {
            const std::uint8_t* lower = upper + stride;
            for (std::size_t x = 0; x < cols; ++x)
                w.draw(w.plan(half_code(code_of(upper + 3 * x, int(x), int(y)),
                                        code_of(lower + 3 * x, int(x), int(y + 1)))));
        } else {
            // Upper halves over the background the line started with.
            w.out() = digits::put_literal(w.out(), DEFAULT_BG, sizeof DEFAULT_BG - 1);
            for (std::size_t x = 0; x < cols; ++x) {
                const std::uint32_t u = code_of(upper + 3 * x, int(x), int(y));
                w.draw(Plan{1, !w.near(u, w.fg()), false, u, w.bg()});
            }
        }
        w.out() = digits::put_literal(w.out(), LINE_END, sizeof LINE_END - 1);
    }
    out.set_size(std::size_t(w.out() - start));
}

}  // namespace corvane::wire
