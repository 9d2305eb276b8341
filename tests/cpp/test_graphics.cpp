// Pictures beyond half blocks, read back: sixel images through a small sixel decoder, finer cells
// through a terminal that knows their glyphs, kitty transfers through base64 and inflate. The
// sixel timing printed is for reading, not asserted; the cells' figures are benchmarks/cells_bench.py's.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "core/recording/codec.hpp"
#include "core/stream/cells.hpp"
#include "core/stream/encoder.hpp"
#include "core/stream/kitty.hpp"
#include "core/stream/sixel.hpp"

namespace corvane::wire {
namespace {

using Pixels = std::vector<std::uint8_t>;

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
            const Pixels in = photo(rows, cols, frame);
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

TEST(Sixel, AnAdaptivePaletteKeepsAPhoto) {  // a fixed cube gives 22 to 25 dB
    const int rows = 348, cols = 600;
    const Pixels in = photo(rows, cols, 7);
    SixelEncoder enc({256, false, false});
    enc.encode(in.data(), rows, cols);
    int r, c;
    EXPECT_GE(psnr(in, decode_sixel(enc.output(), r, c)), 32.0);
}

// The cells a stream leaves on a terminal, pixel by pixel, as the glyph tables draw them.
struct CellTerminal {
    CellShape shape;
    int cols, rows, x = 0, y = 0;
    std::uint32_t fg = 0, bg = 0;
    std::vector<std::uint32_t> px;  // pixel rows of the cell grid
    std::map<std::string, unsigned> patterns;
    CellTerminal(CellShape s, int c, int r) : shape(s), cols(c), rows(r) {
        const CellSize z = cell_size(s);
        px.assign(std::size_t(c * z.width * r * z.height), ~0u);
        for (unsigned p = 0; p < (1u << (z.width * z.height)); ++p) {
            const Glyph g = cell_glyph(s, p);
            EXPECT_TRUE(patterns.emplace(std::string(g.utf8, g.len), p).second) << "two patterns, one glyph";
        }
    }
    void feed(const std::string& s) {
        const CellSize z = cell_size(shape);
        for (std::size_t i = 0; i < s.size();) {
            if (s.compare(i, 2, "\x1b[") == 0) {
                std::size_t j = i + 2 + (s[i + 2] == '?');
                std::vector<long> p{0};
                for (; std::isdigit((unsigned char)s[j]) || s[j] == ';'; ++j)
                    s[j] == ';' ? p.push_back(0) : void(p.back() = p.back() * 10 + (s[j] - '0'));
                p.resize(std::max<std::size_t>(p.size(), 2));  // a parameter left out is 1
                if (s[j] == 'H') y = int(std::max(p[0], 1L)) - 1, x = int(std::max(p[1], 1L)) - 1;
                if (s[j] == 'C') x += int(std::max(p[0], 1L));
                for (std::size_t k = 0; s[j] == 'm' && k < p.size(); ++k) {
                    if (p[k] == 38 || p[k] == 48)
                        (p[k] == 38 ? fg : bg) = std::uint32_t(p[k + 2] | p[k + 3] << 8 | p[k + 4] << 16),
                                           k += 4;
                }
                i = j + 1;
            } else if (s[i] == '\r' || s[i] == '\n') {
                s[i] == '\r' ? x = 0 : ++y, ++i;
            } else {
                const std::size_t len = s[i] == ' ' ? 1 : (std::uint8_t(s[i]) >= 0xf0 ? 4 : 3);
                const unsigned p = patterns.at(s.substr(i, len));
                ASSERT_TRUE(x < cols && y < rows);
                for (int k = 0; k < z.width * z.height; ++k)
                    px[std::size_t(((y * z.height + k / z.width) * cols + x) * z.width + k % z.width)] =
                        p >> k & 1 ? fg : bg;
                ++x, i += len;
            }
        }
    }
};

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
            CellTerminal term(shape, 6, 5);
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
                term.feed(std::string(enc.output().data(), enc.output().data() + enc.output().size()));
                for (std::size_t cell = 0; cell < fit.size(); ++cell)
                    for (int i = 0; i < n; ++i) {
                        const std::uint32_t want = fit[cell].pattern >> i & 1 ? fit[cell].fg : fit[cell].bg;
                        const std::uint32_t got = term.px[std::size_t(
                            ((int(cell) / 6 * z.height + i / z.width) * 6 + int(cell) % 6) * z.width +
                            i % z.width)];
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

std::vector<std::uint8_t> unbase64(const std::string& s) {
    std::vector<std::uint8_t> out;
    std::uint32_t acc = 0;
    int bits = 0;
    for (char c : s) {
        const char* a = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
        if (c == '=') break;
        acc = acc << 6 | std::uint32_t(std::strchr(a, c) - a), bits += 6;
        if (bits >= 8) out.push_back(std::uint8_t(acc >> (bits - 8))), bits -= 8;
    }
    return out;
}

TEST(Kitty, ChunksInflateToTheRgbFrame) {
    std::mt19937 rng(9);
    for (const int side : {0, 1, 2, 47}) {  // no pixels; tiny; several chunks (noise does not compress)
        Pixels px(std::size_t(side * side * 3));
        for (auto& b : px) b = std::uint8_t(rng());
        std::vector<std::uint8_t> out;
        ASSERT_TRUE(kitty_image(px.data(), side, side, 7, out).ok());
        const std::string s(out.begin(), out.end());
        const std::string head =
            "\x1b_Ga=T,f=24,o=z,q=2,s=" + std::to_string(side) + ",v=" + std::to_string(side) + ",i=7,";
        ASSERT_EQ(s.compare(0, head.size(), head), 0) << s.substr(0, 60);
        std::string text;
        std::size_t at = head.size(), chunks = 0;
        for (;;) {
            const std::size_t semi = s.find(';', at), end = s.find("\x1b\\", semi);
            const std::string keys = s.substr(at, semi - at), payload = s.substr(semi + 1, end - semi - 1);
            ASSERT_LE(payload.size(), KITTY_CHUNK);
            text += payload, ++chunks;
            at = end + 2;
            if (at == s.size()) {
                ASSERT_EQ(keys, "m=0");
                break;
            }
            ASSERT_EQ(keys, "m=1");
            ASSERT_EQ(payload.size(), KITTY_CHUNK);
            ASSERT_EQ(s.compare(at, 3, "\x1b_G"), 0);
            at += 3;
        }
        if (side == 47) ASSERT_GE(chunks, 2u);
        ASSERT_EQ(text.size() % 4, 0u);
        const std::vector<std::uint8_t> packed = unbase64(text);
        std::vector<std::uint8_t> rgb;
        const InflateReport report =
            VideoCodec::inflate_checked(packed.data(), packed.size(), px.size() + 1, rgb);
        ASSERT_TRUE(report.ended && !report.corrupt && report.unused == 0);
        ASSERT_EQ(report.produced, px.size());
        for (std::size_t i = 0; i < px.size(); i += 3)
            ASSERT_TRUE(rgb[i] == px[i + 2] && rgb[i + 1] == px[i + 1] && rgb[i + 2] == px[i]) << i;
    }
    std::vector<std::uint8_t> del;
    kitty_delete(12, del);
    EXPECT_EQ(std::string(del.begin(), del.end()), "\x1b_Ga=d,d=I,i=12,q=2\x1b\\");
}

}  // namespace
}  // namespace corvane::wire
