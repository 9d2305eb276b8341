// Pictures beyond half blocks, read back: sixel images through a small sixel decoder, finer cells
// through the terminal model. How true a photo comes out is judged on real terminals
// (tests/library/test_terminals.py); the cells' figures are benchmarks/cells_bench.py's.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "core/stream/cells.hpp"
#include "core/stream/encoder.hpp"
#include "core/stream/sixel.hpp"
#include "terminal_model.hpp"

namespace corvane::wire {
namespace {

using Pixels = std::vector<std::uint8_t>;

// Noise on the left, flat rows on the right: single sixels and runs of them.
Pixels picture(int rows, int cols, unsigned seed) {
    std::mt19937 rng(seed);
    Pixels px(std::size_t(rows * cols * 3));
    for (std::size_t i = 0; i < px.size(); ++i)
        px[i] = std::uint8_t(int(i / 3) % cols < cols / 2 ? rng() : int(i / 3) / cols * 5 + int(i % 3) * 40);
    return px;
}

// Smooth shading, edges and grain, like a photo: many colours, few of them far apart.
Pixels photo(int rows, int cols, unsigned seed) {
    std::mt19937 rng(seed);
    std::normal_distribution<float> grain(0, 6);
    Pixels px(std::size_t(rows * cols * 3));
    for (int y = 0; y < rows; ++y)
        for (int x = 0; x < cols; ++x) {
            const float u = float(x) / float(cols), v = float(y) / float(rows);
            const bool disc = (u - 0.6f) * (u - 0.6f) + (v - 0.4f) * (v - 0.4f) < 0.05f;
            float c[3] = {200 * u + 30 * std::sin(9 * v), 120 + 90 * std::sin(5 * u + 3 * v), 220 * v};
            if (disc) c[0] = 240 - 60 * v, c[1] = 190 * u, c[2] = 40;
            for (int k = 0; k < 3; ++k)
                px[std::size_t((y * cols + x) * 3 + 2 - k)] =
                    std::uint8_t(std::clamp(c[k] + grain(rng), 0.0f, 255.0f));
        }
    return px;
}

double psnr(const Pixels& a, const Pixels& b) {
    double se = 0;
    for (std::size_t i = 0; i < a.size(); ++i) se += double(a[i] - b[i]) * double(a[i] - b[i]);
    return 10 * std::log10(255.0 * 255.0 * double(a.size()) / std::max(se, 1e-9));
}

// A sixel image as the B, G, R pixels a terminal paints (unpainted pixels stay at 1, 2, 3).
Pixels decode_sixel(const std::vector<std::uint8_t>& s, int& rows, int& cols) {
    std::size_t i = 0;
    auto number = [&] {
        int v = 0;
        while (i < s.size() && std::isdigit(s[i])) v = v * 10 + (s[i++] - '0');
        return v;
    };
    EXPECT_EQ(std::string(s.begin(), s.begin() + 4), "\x1bPq\"");
    int raster[4];  // the pixel aspect ratio's two terms, the width, the height
    for (i = 3; int& n : raster) ++i, n = number();
    EXPECT_EQ(raster[0] * raster[1], 1);
    cols = raster[2], rows = raster[3];
    Pixels px(std::size_t(rows * cols * 3), 0);
    for (std::size_t k = 0; k < px.size(); ++k) px[k] = std::uint8_t(k % 3 + 1);
    std::map<int, std::uint32_t> colours;
    int colour = 0, x = 0, y = 0;
    auto paint = [&](int bits, int n) {
        for (; n > 0; --n, ++x)
            for (int b = 0; b < 6; ++b)
                if (bits >> b & 1) {
                    ASSERT_TRUE(x < cols && y + b < rows) << "sixel outside the raster";
                    const std::uint32_t c = colours.at(colour);
                    std::uint8_t* p = &px[std::size_t(((y + b) * cols + x) * 3)];
                    p[0] = std::uint8_t(c >> 16), p[1] = std::uint8_t(c >> 8), p[2] = std::uint8_t(c);
                }
    };
    while (i < s.size()) {
        const std::uint8_t c = s[i++];
        if (c == '#') {
            colour = number();
            if (s[i] != ';') continue;
            ++i;
            EXPECT_EQ(number(), 2);
            std::uint32_t rgb = 0;
            for (int k = 0; k < 3; ++k) {
                ++i;
                const int pct = number();
                EXPECT_LE(pct, 100);
                rgb |= std::uint32_t((pct * 255 + 50) / 100) << (8 * k);
            }
            colours[colour] = rgb;
        } else if (c == '!') {
            const int n = number();
            paint(s[i++] - 63, n);
        } else if (c == '$') {
            x = 0;
        } else if (c == '-') {
            x = 0, y += 6;
        } else if (c >= 63 && c <= 126) {
            paint(c - 63, 1);
        } else {
            EXPECT_EQ(c, 0x1b);
            EXPECT_EQ(s[i], '\\');
            EXPECT_EQ(i + 1, s.size());
            break;
        }
    }
    return px;
}

TEST(Sixel, DecodesToThePaletteColourOfEveryPixel) {
    for (const SixelOptions opt : {SixelOptions{256, false, false}, SixelOptions{16, false, true},
                                   SixelOptions{1, false, false}, SixelOptions{256, true, false}}) {
        SixelEncoder enc(opt);
        for (unsigned frame = 0; frame < 2; ++frame) {
            const int rows = 43 + int(frame), cols = 37;  // bands of 6 with a ragged last one
            const Pixels in = picture(rows, cols, frame);
            enc.encode(in.data(), rows, cols);
            int r = 0, c = 0;
            const Pixels out = decode_sixel(enc.output(), r, c);
            ASSERT_EQ(r, rows);
            ASSERT_EQ(c, cols);
            ASSERT_LE(enc.palette().size(), std::size_t(opt.colors));
            for (std::size_t p = 0; p < std::size_t(rows * cols); ++p) {
                const std::uint32_t want = enc.palette()[enc.indices()[p]];
                const std::uint32_t got = std::uint32_t(out[3 * p + 2]) | std::uint32_t(out[3 * p + 1]) << 8 |
                                          std::uint32_t(out[3 * p]) << 16;
                ASSERT_EQ(got, want) << "pixel " << p << " colours " << opt.colors << " frame " << frame;
            }
        }
    }
}

TEST(Sixel, AVideoKeepsItsPaletteUntilASceneCut) {
    const int rows = 60, cols = 80;
    const Pixels a = photo(rows, cols, 1), b = photo(rows, cols, 2);  // one scene, new grain
    Pixels cut = a;
    for (auto& v : cut) v = std::uint8_t(255 - v);
    SixelEncoder kept({256, true, false}), fresh({256, false, false});
    struct Step {
        const Pixels& frame;
        std::uint64_t palettes;
    };
    std::vector<std::uint32_t> first;
    for (const Step step : {Step{a, 1}, Step{b, 1}, Step{cut, 2}, Step{cut, 2}}) {
        kept.encode(step.frame.data(), rows, cols), fresh.encode(step.frame.data(), rows, cols);
        EXPECT_EQ(kept.palettes_made(), step.palettes);
        if (first.empty()) first = kept.palette();
        if (step.palettes == 1) EXPECT_EQ(kept.palette(), first);
        int r, c;
        const double got = psnr(step.frame, decode_sixel(kept.output(), r, c));
        EXPECT_GE(got, psnr(step.frame, decode_sixel(fresh.output(), r, c)) - 1.5) << step.palettes;
    }
    EXPECT_NE(fresh.palette(), first);
}

// The least squared error of any split of a cell's pixels into two groups at their means.
double best_error(const std::vector<int>& v, int n) {
    double best = 1e18;
    for (unsigned m = 0; m < (1u << n); ++m) {
        double e = 0;
        for (unsigned side = 0; side < 2; ++side) {
            double s[3] = {0, 0, 0}, q = 0, k = 0;
            for (int i = 0; i < n; ++i)
                if ((m >> i & 1) == side)
                    for (int c = 0; c < 3; ++c)
                        s[c] += v[std::size_t(3 * i + c)],
                            q += double(v[std::size_t(3 * i + c)]) * v[std::size_t(3 * i + c)], k += c == 0;
            if (k > 0) e += q - (s[0] * s[0] + s[1] * s[1] + s[2] * s[2]) / k;
        }
        best = std::min(best, e);
    }
    return best;
}

TEST(Cells, FitIsTheBestSplitAndTheStreamDrawsIt) {
    std::mt19937 rng(5);
    for (const CellShape shape :
         {CellShape::kHalf, CellShape::kQuadrant, CellShape::kSextant, CellShape::kOctant}) {
        const CellSize z = cell_size(shape);
        const int n = z.width * z.height, cols = 7 * z.width - 1,
                  rows = 5 * z.height + 1;  // ragged edges left out
        double fitted = 0, least = 0;
        for (const int tol : {0, 12}) {
            CellEncoder enc({shape, Depth::kTrue, tol, 90});
            TerminalModel term(shape, 6, 5);
            for (int frame = 0; frame < 6; ++frame) {
                Pixels px(std::size_t(rows * cols * 3));
                // Few distinct values, so that ties and one-colour cells occur; some frames barely move.
                for (auto& b : px) b = std::uint8_t(frame % 2 ? rng() % 3 * 100 : rng() % 256);
                std::vector<CellFit> fit;
                fit_cells(px.data(), rows, cols, shape, fit);
                ASSERT_EQ(fit.size(), 30u);
                for (std::size_t cell = 0; cell < fit.size(); ++cell) {
                    std::vector<int> v;
                    const int cx = int(cell % 6), cy = int(cell / 6);
                    double s[2][3] = {}, k[2] = {};
                    for (int i = 0; i < n; ++i) {
                        const std::uint8_t* p = &px[std::size_t(
                            ((cy * z.height + i / z.width) * cols + cx * z.width + i % z.width) * 3)];
                        v.insert(v.end(), {p[2], p[1], p[0]});
                        const int side = fit[cell].pattern >> i & 1;
                        k[side] += 1;
                        for (int c = 0; c < 3; ++c) s[side][c] += p[2 - c];
                    }
                    double e = 0;
                    for (int i = 0; i < n; ++i)
                        for (int c = 0; c < 3; ++c) {
                            const int side = fit[cell].pattern >> i & 1;
                            const double d = v[std::size_t(3 * i + c)] - s[side][c] / k[side];
                            e += d * d;
                        }
                    const double best = best_error(v, n);
                    // Octants are fitted by cuts, not searched: near the best over a frame (below).
                    if (shape != CellShape::kOctant)
                        ASSERT_NEAR(e, best, 1e-6) << "shape " << int(shape) << " cell " << cell;
                    fitted += e, least += best;
                }
                enc.encode(px.data(), rows, cols);
                term.feed(enc.output());
                for (std::size_t cell = 0; cell < fit.size(); ++cell)
                    for (int i = 0; i < n; ++i) {
                        const long want = fit[cell].pattern >> i & 1 ? fit[cell].fg : fit[cell].bg;
                        const long got = term.pixel(int(cell) % 6 * z.width + i % z.width,
                                                    int(cell) / 6 * z.height + i / z.width);
                        for (int c = 0; c < 24; c += 8)
                            ASSERT_LE(std::abs(int(want >> c & 0xff) - int(got >> c & 0xff)), tol)
                                << "shape " << int(shape) << " tol " << tol << " frame " << frame;
                    }
            }
        }
        EXPECT_LE(fitted, 1.02 * least) << "shape " << int(shape) << ": " << fitted / least;
    }
    // Anchors of the octant block: its first and last code points.
    EXPECT_EQ(std::string(cell_glyph(CellShape::kOctant, 4).utf8, 4), "\xf0\x9c\xb4\x80");
    EXPECT_EQ(std::string(cell_glyph(CellShape::kOctant, 254).utf8, 4), "\xf0\x9c\xb7\xa5");
    EXPECT_EQ(std::string(cell_glyph(CellShape::kSextant, 62).utf8, 4), "\xf0\x9f\xac\xbb");
}

}  // namespace
}  // namespace corvane::wire
