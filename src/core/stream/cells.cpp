#include "core/stream/cells.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <type_traits>

#include "core/stream/palette.hpp"

namespace corvane::wire {
namespace {

// The best partition of the N pixels of one cell. With S the cell's sum and A, B the sums of the
// two parts, the squared error is the sum of squares less |A|^2 / nA + |B|^2 / nB, so the best
// partition maximises that; scaled by L = lcm(1..N) it is an exact integer. Patterns and their
// inverses are the same partition: only those with the last pixel unset are tried.
template <int W, int H>
struct Fitter {
    static constexpr int N = W * H;
    static constexpr int LO = N < 4 ? N : 4;
    static constexpr int HI = N - LO;
    // Patterns with the last pixel unset: that pixel is in the high part when there is one.
    static constexpr int HIGH_PATTERNS = HI > 0 ? 1 << (HI - 1) : 1;
    static constexpr int LOW_PATTERNS = HI > 0 ? 1 << LO : 1 << (LO - 1);
    static constexpr std::int64_t L = N == 8 ? 840 : N == 6 ? 60 : N == 4 ? 12 : 2;

    // L / nA and L / nB by the count nA of set pixels (0 for none: A is then empty anyway).
    static constexpr auto SCALE = [] {
        std::array<std::array<std::uint32_t, 2>, N + 1> t{};
        for (int na = 1; na < N; ++na)
            t[std::size_t(na)] = {std::uint32_t(L / na), std::uint32_t(L / (N - na))};
        t[0] = {0, std::uint32_t(L / N)};
        return t;
    }();
    // Up to 6 pixels a score fits 32 bits (L times the sum of squares, at most 60 * 6 * 3 * 255^2),
    // which keeps four patterns to a vector register.
    using Score = std::conditional_t<N <= 6, std::uint32_t, std::uint64_t>;
    // SCALE by pattern, for the search over the patterns with the last pixel unset.
    static constexpr auto PATTERN_SCALE = [] {
        std::array<std::array<Score, HIGH_PATTERNS * LOW_PATTERNS>, 2> t{};
        for (int m = 0; m < HIGH_PATTERNS * LOW_PATTERNS; ++m)
            for (int side = 0; side < 2; ++side)
                t[std::size_t(side)][std::size_t(m)] =
                    Score(SCALE[std::size_t(std::popcount(unsigned(m)))][side]);
        return t;
    }();

    static CellFit fit(const std::uint8_t* px, std::size_t stride) {
        int v[N][3];
        for (int i = 0; i < N; ++i) {
            const std::uint8_t* p = px + std::size_t(i / W) * stride + std::size_t(i % W) * 3;
            v[i][0] = p[2], v[i][1] = p[1], v[i][2] = p[0];
        }
        if constexpr (N == 8)
            return two_means(v);
        else
            return exhaustive(v);
    }

    // Of 2^7 splits the search costs more than the frame budget allows. The best split of a
    // cell is a cut across some direction (the two groups lie on either side of a plane), so
    // only cuts are tried: every cut of the pixels sorted along the cell's principal axis and
    // along luma, then two-means rounds (each pixel to the nearer mean) from the best of them.
    static CellFit two_means(const int (&v)[N][3]) {
        int s[3] = {0, 0, 0};
        for (int i = 0; i < N; ++i)
            for (int c = 0; c < 3; ++c) s[c] += v[i][c];
        // The principal axis by a few power steps on the covariance (times N^2).
        float cov[3][3] = {};
        for (int i = 0; i < N; ++i)
            for (int c = 0; c < 3; ++c)
                for (int d = c; d < 3; ++d)
                    cov[c][d] += float(N * v[i][c] - s[c]) * float(N * v[i][d] - s[d]);
        cov[1][0] = cov[0][1], cov[2][0] = cov[0][2], cov[2][1] = cov[1][2];
        float axis[3] = {2, 5, 1};
        for (int step = 0; step < 4; ++step) {
            float next[3], norm = 0;
            for (int c = 0; c < 3; ++c)
                next[c] = cov[c][0] * axis[0] + cov[c][1] * axis[1] + cov[c][2] * axis[2],
                norm += std::abs(next[c]);
            if (norm == 0) break;
            for (int c = 0; c < 3; ++c) axis[c] = next[c] / norm;
        }
        std::uint64_t best = score(v, s, 0);
        unsigned pattern = 0;
        const float luma[3] = {2, 5, 1};
        best_cut(v, s, axis, best, pattern);
        best_cut(v, s, luma, best, pattern);
        for (int round = 0; round < 3 && pattern != 0; ++round) {
            int a[3] = {0, 0, 0};
            const int na = std::popcount(pattern);
            for (int i = 0; i < N; ++i)
                if (pattern >> i & 1)
                    for (int c = 0; c < 3; ++c) a[c] += v[i][c];
            // Nearer to A's mean than to B's: v . (mA - mB) > (|mA|^2 - |mB|^2) / 2.
            float w[3], t = 0;
            for (int c = 0; c < 3; ++c) {
                const float ma = float(a[c]) / float(na), mb = float(s[c] - a[c]) / float(N - na);
                w[c] = ma - mb, t += (ma * ma - mb * mb) / 2;
            }
            unsigned next = 0;
            for (int i = 0; i < N; ++i)
                next |= unsigned(float(v[i][0]) * w[0] + float(v[i][1]) * w[1] + float(v[i][2]) * w[2] > t)
                        << i;
            const std::uint64_t sc = score(v, s, next);
            if (sc <= best) break;
            best = sc, pattern = next;
        }
        return result(v, s, pattern);
    }

    // The cuts of the pixels sorted along `dir`.
    static void best_cut(const int (&v)[N][3], const int* s, const float* dir, std::uint64_t& best,
                         unsigned& pattern) {
        float key[N];
        int order[N];
        for (int i = 0; i < N; ++i) {
            key[i] = float(v[i][0]) * dir[0] + float(v[i][1]) * dir[1] + float(v[i][2]) * dir[2];
            int j = i;
            for (; j > 0 && key[order[j - 1]] > key[i]; --j) order[j] = order[j - 1];
            order[j] = i;
        }
        unsigned m = 0;
        int a[3] = {0, 0, 0};
        for (int k = 0; k + 1 < N; ++k) {
            const int* p = v[order[k]];
            m |= 1u << order[k], a[0] += p[0], a[1] += p[1], a[2] += p[2];
            const std::uint64_t sc = score(a, s, k + 1);
            if (sc > best) best = sc, pattern = m;
        }
    }

    // |A|^2 L / nA + |B|^2 L / nB: the larger, the less the squared error (see `exhaustive`).
    static std::uint64_t score(const int (&v)[N][3], const int* s, unsigned m) {
        int a[3] = {0, 0, 0};
        for (int i = 0; i < N; ++i) {
            const int in = -int(m >> i & 1);
            for (int c = 0; c < 3; ++c) a[c] += v[i][c] & in;
        }
        return score(a, s, std::popcount(m));
    }
    static std::uint64_t score(const int* a, const int* s, int na) {
        const int b0 = s[0] - a[0], b1 = s[1] - a[1], b2 = s[2] - a[2];
        const auto& k = SCALE[std::size_t(na)];
        return std::uint64_t(std::uint32_t(a[0] * a[0] + a[1] * a[1] + a[2] * a[2])) * k[0] +
               std::uint64_t(std::uint32_t(b0 * b0 + b1 * b1 + b2 * b2)) * k[1];
    }

    static CellFit result(const int (&v)[N][3], const int* s, unsigned pattern) {
        const int na = std::popcount(pattern);
        if (na == 0 || na == N) {
            const std::uint32_t c = mean(s, N);
            return {0, c, c};
        }
        int a[3] = {0, 0, 0};
        for (int i = 0; i < N; ++i)
            if (pattern >> i & 1)
                for (int c = 0; c < 3; ++c) a[c] += v[i][c];
        const int b[3] = {s[0] - a[0], s[1] - a[1], s[2] - a[2]};
        return {std::uint8_t(pattern), mean(a, na), mean(b, N - na)};
    }

    static CellFit exhaustive(const int (&v)[N][3]) {
        // The sums of every subset of the low pixels, a component to an array so that the search
        // over them runs in vector lanes; likewise of the high pixels.
        alignas(32) int lo[3][1 << LO] = {};
        int hi[1 << HI][3] = {};
        for (int m = 1; m < (1 << LO); ++m) {
            const int low = __builtin_ctz(unsigned(m)), rest = m & (m - 1);
            for (int c = 0; c < 3; ++c) lo[c][m] = lo[c][rest] + v[low][c];
        }
        for (int m = 1; m < (1 << HI); ++m) {
            const int low = __builtin_ctz(unsigned(m)), rest = m & (m - 1);
            for (int c = 0; c < 3; ++c) hi[m][c] = hi[rest][c] + v[LO + low][c];
        }
        int s[3];
        for (int c = 0; c < 3; ++c) s[c] = lo[c][(1 << LO) - 1] + hi[(1 << HI) - 1][c];
        Score best = 0;
        int pattern = 0;
        for (int hm = 0; hm < HIGH_PATTERNS; ++hm) {
            const int h0 = hi[hm][0], h1 = hi[hm][1], h2 = hi[hm][2];
            const Score* sa = PATTERN_SCALE[0].data() + hm * LOW_PATTERNS;
            const Score* sb = PATTERN_SCALE[1].data() + hm * LOW_PATTERNS;
            Score score[LOW_PATTERNS];
            for (int lm = 0; lm < LOW_PATTERNS; ++lm) {
                const int a0 = lo[0][lm] + h0, a1 = lo[1][lm] + h1, a2 = lo[2][lm] + h2;
                const int b0 = s[0] - a0, b1 = s[1] - a1, b2 = s[2] - a2;
                const auto qa = Score(std::uint32_t(a0 * a0 + a1 * a1 + a2 * a2));
                const auto qb = Score(std::uint32_t(b0 * b0 + b1 * b1 + b2 * b2));
                score[lm] = qa * sa[lm] + qb * sb[lm];
            }
            for (int lm = 0; lm < LOW_PATTERNS; ++lm)
                if (score[lm] > best) best = score[lm], pattern = hm << LO | lm;
        }
        if (pattern == 0) {
            const std::uint32_t c = mean(s, N);
            return {0, c, c};
        }
        const int* h = hi[pattern >> LO];
        const int lm = pattern & ((1 << LO) - 1);
        const int a[3] = {lo[0][lm] + h[0], lo[1][lm] + h[1], lo[2][lm] + h[2]};
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

CellEncoder::CellEncoder(CellOptions options) : opt_(options) {
    set_tolerance(options.tolerance);
}

void CellEncoder::set_tolerance(int tolerance) {
    opt_.tolerance = std::clamp(tolerance, 0, MAX_TOLERANCE);
}

void CellEncoder::encode(const std::uint8_t* pixels, int rows, int cols) {
    const CellSize z = cell_size(opt_.shape);
    rows = std::max(rows, 0), cols = std::max(cols, 0);
    if (opt_.dither && opt_.depth != Depth::kTrue) {
        // Dithered pixels in palette colours first: the fit then keeps the pattern the dither made.
        const std::size_t n = std::size_t(rows) * std::size_t(cols);
        dithered_.resize(n * 3);
        if (opt_.depth == Depth::k16) indices_.resize(n), diffuse_16(pixels, rows, cols, indices_.data());
        std::uint8_t* out = dithered_.data();
        for (int y = 0; y < rows; ++y)
            for (int x = 0; x < cols; ++x, pixels += 3, out += 3) {
                const std::size_t i = std::size_t(out - dithered_.data()) / 3;
                const std::uint32_t rgb = palette_rgb(
                    opt_.depth == Depth::k16 ? indices_[i]
                                             : dithered_256(pixels[2], pixels[1], pixels[0], x, y));
                out[0] = std::uint8_t(rgb >> 16), out[1] = std::uint8_t(rgb >> 8), out[2] = std::uint8_t(rgb);
            }
        pixels = dithered_.data();
    }
    fit_cells(pixels, rows, cols, opt_.shape, fit_);
    canvas_.begin(std::size_t(rows / z.height), std::size_t(cols / z.width), opt_.shape);
    std::uint64_t* target = canvas_.targets();
    const int n = z.width * z.height;
    for (std::size_t i = 0; i < fit_.size(); ++i) {
        const CellFit& f = fit_[i];
        target[i] = cell_code(f.pattern, code_of(opt_.depth, f.fg), code_of(opt_.depth, f.bg), n);
    }
    canvas_.draw(opt_.depth, opt_.tolerance, opt_.full_percent);
}

}  // namespace corvane::wire
