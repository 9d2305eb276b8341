// The wire encoder's stream, read back by a small terminal of its own (SGR 38/48 in the ;2 and
// ;5 forms and 30-37, 40-47, 90-97, 100-107, 0; CUP, CUF, CR, LF; space, U+2580, U+2584,
// U+2588): over random frame sequences the terminal must hold the frame exactly at tolerance 0,
// within T at tolerance T, and only palette colours at 256 and 16 colours.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "core/stream/encoder.hpp"
#include "core/stream/palette.hpp"

namespace corvane::wire {
namespace {

constexpr long PALETTE_FLAG = 1 << 24;  // a palette index, not an RGB colour

struct Terminal {
    int cols, rows, x = 0, y = 0;
    bool addressing = true;  // false: printed lines, where CUP, CUF and synchronized updates have no place
    long fg = -1, bg = -1;
    std::vector<long> up, low;
    Terminal(int c, int r) : cols(c), rows(r), up(std::size_t(c * r), -1), low(std::size_t(c * r), -1) {}

    void put(long u, long l) {
        ASSERT_TRUE(x < cols && y < rows) << "cell outside the grid";
        up[std::size_t(y * cols + x)] = u, low[std::size_t(y * cols + x)] = l, ++x;
    }
    void sgr(const std::vector<long>& p) {
        for (std::size_t i = 0; i < p.size(); ++i) {
            const long v = p[i], ansi = PALETTE_FLAG | (v % 10 + (v >= 90 ? 8 : 0));
            if (v == 38 || v == 48) {
                (v == 38 ? fg : bg) = p.at(i + 1) == 2 ? p.at(i + 2) | p.at(i + 3) << 8 | p.at(i + 4) << 16
                                                       : PALETTE_FLAG | p.at(i + 2);
                i += p[i + 1] == 2 ? 4 : 2;
            } else if (v == 0) {
                fg = bg = -1;
            } else if (v == 49) {
                bg = -1;
            } else if (v % 10 <= 7 && (v / 10 == 3 || v / 10 == 9)) {
                fg = ansi;
            } else if (v % 10 <= 7 && (v / 10 == 4 || v / 10 == 10)) {
                bg = ansi;
            } else {
                FAIL() << "unexpected SGR " << v;
            }
        }
    }
    void feed(const std::string& s) {
        for (std::size_t i = 0; i < s.size();) {
            if (s.compare(i, 2, "\x1b[") == 0) {
                std::size_t j = i + 2;
                const bool priv = s[j] == '?';
                std::vector<long> p{0};
                for (j += priv; std::isdigit((unsigned char)s[j]) || s[j] == ';'; ++j)
                    s[j] == ';' ? p.push_back(0) : void(p.back() = p.back() * 10 + (s[j] - '0'));
                const char f = s[j];
                if (!addressing) ASSERT_EQ(f, 'm') << "cursor or mode sequence in printed lines";
                if (priv)
                    ASSERT_TRUE(p[0] == 2026 && (f == 'h' || f == 'l'));
                else if (f == 'm')
                    sgr(p);
                else if (f == 'H')
                    y = p.size() > 1 ? int(p[0]) - 1 : 0, x = p.size() > 1 ? int(p[1]) - 1 : 0;
                else if (f == 'C')
                    x += std::max(1, int(p[0]));
                else
                    FAIL() << "unexpected sequence ending in " << f;
                i = j + 1;
            } else if (s[i] == '\r') {
                x = 0, ++i;
            } else if (s[i] == '\n') {
                if (!addressing)
                    ASSERT_TRUE(i >= 4 && s.compare(i - 4, 4, "\x1b[0m") == 0) << "line not reset";
                x = addressing ? x : 0, ++y, ++i;  // a terminal's output processing returns the carriage
            } else if (s[i] == ' ') {
                put(bg, bg), ++i;
            } else {  // U+2580, U+2584, U+2588: E2 96 80, 84, 88
                ASSERT_TRUE(s.compare(i, 2, "\xe2\x96") == 0 &&
                            (s[i + 2] == '\x80' || s[i + 2] == '\x84' || s[i + 2] == '\x88'));
                s[i + 2] == '\x80' ? put(fg, bg) : s[i + 2] == '\x84' ? put(bg, fg) : put(fg, fg);
                i += 3;
            }
        }
    }
};

long rgb_of(long c) {
    return c & PALETTE_FLAG ? long(palette_rgb(std::uint32_t(c & 0xff))) : c;
}

// The colour the terminal must hold for pixel `i`: its own at true colour, else its palette index.
long wanted(Depth depth, const std::vector<std::uint8_t>& px, const std::vector<std::uint8_t>& index,
            std::size_t i) {
    return depth == Depth::kTrue ? long(px[3 * i + 2] | px[3 * i + 1] << 8 | px[3 * i] << 16)
                                 : PALETTE_FLAG | index[i];
}

int distance(long a, long b) {
    int d = 0;
    for (int s = 0; s < 24; s += 8) d = std::max(d, std::abs(int((a >> s) & 0xff) - int((b >> s) & 0xff)));
    return d;
}

struct Case {
    Depth depth;
    int tolerance;
    bool dither = false;
};

class EncoderStream : public ::testing::TestWithParam<Case> {};

TEST_P(EncoderStream, TerminalHoldsTheFrameWithinTolerance) {
    const Case c = GetParam();
    const int cols = 40, rows = 24;
    WireEncoder enc({c.depth, c.tolerance, c.dither, 90});
    Terminal term(cols, rows / 2);
    std::mt19937 rng(7);
    std::vector<std::uint8_t> px(std::size_t(cols * rows * 3), 60);
    for (int frame = 0; frame < 60; ++frame) {
        if (frame % 10 == 9 && c.depth == Depth::kTrue) {
            // What the terminal shows plus noise of up to T: there is nothing to draw.
            std::vector<std::uint8_t> noisy(px.size());
            for (int i = 0; i < cols * rows * 3; ++i) {
                const long shown =
                    (i / 3 / cols % 2 ? term.low
                                      : term.up)[std::size_t(i / 3 / cols / 2 * cols + i / 3 % cols)];
                const int v =
                    int(shown >> (8 * (2 - i % 3)) & 0xff) + int(rng() % (2 * c.tolerance + 1)) - c.tolerance;
                noisy[std::size_t(i)] = std::uint8_t(std::clamp(v, 0, 255));
            }
            enc.encode(noisy.data(), rows, cols);
            ASSERT_EQ(enc.output().size(), 0u) << "a cell within the tolerance was drawn";
            continue;
        }
        // A block of one colour somewhere, and a few random pixels.
        const int x0 = int(rng() % cols), y0 = int(rng() % rows), w = int(rng() % 20), h = int(rng() % 12);
        const std::uint8_t col[3] = {std::uint8_t(rng()), std::uint8_t(rng()), std::uint8_t(rng())};
        for (int y = y0; y < std::min(rows, y0 + h); ++y)
            for (int x = x0; x < std::min(cols, x0 + w); ++x)
                for (int k = 0; k < 3; ++k) px[std::size_t((y * cols + x) * 3 + k)] = col[k];
        for (int k = 0; k < 20; ++k) px[rng() % px.size()] = std::uint8_t(rng());
        enc.encode(px.data(), rows, cols);
        const std::string out(reinterpret_cast<const char*>(enc.output().data()), enc.output().size());
        if (!out.empty())
            ASSERT_TRUE(out.rfind("\x1b[?2026h", 0) == 0 &&
                        out.substr(out.size() - 12) == "\x1b[0m\x1b[?2026l");
        term.feed(out);
        std::vector<std::uint8_t> index(std::size_t(cols * rows));
        enc.palette_indices(px.data(), rows, cols, index.data());
        for (int y = 0; y < rows; ++y)
            for (int x = 0; x < cols; ++x) {
                const long want = wanted(c.depth, px, index, std::size_t(y * cols + x));
                const long got = (y % 2 ? term.low : term.up)[std::size_t(y / 2 * cols + x)];
                ASSERT_NE(got, -1) << "cell never drawn";
                ASSERT_EQ(got & PALETTE_FLAG, want & PALETTE_FLAG) << "colour of the wrong kind";
                if (c.depth == Depth::k256) ASSERT_GE(got & 0xff, 16) << "a themed colour";
                ASSERT_LE(distance(rgb_of(got), rgb_of(want)), c.tolerance) << "frame " << frame;
            }
    }
}

INSTANTIATE_TEST_SUITE_P(Depths, EncoderStream,
                         ::testing::Values(Case{Depth::kTrue, 0}, Case{Depth::kTrue, 6}, Case{Depth::k256, 0},
                                           Case{Depth::k256, 30}, Case{Depth::k16, 0},
                                           Case{Depth::k16, 0, true}, Case{Depth::k16, 40, true}));

// Printed lines: every pixel of a picture of odd height lands in its cell at every depth, the
// last line's lower halves on the terminal's own background, and drawing the screen meanwhile
// is not disturbed.
TEST(Encoder, InlineLinesHoldThePicture) {
    const int cols = 23, rows = 9;
    std::mt19937 rng(3);
    std::vector<std::uint8_t> px(std::size_t(cols * rows * 3));
    for (std::size_t i = 0; i < px.size(); ++i)
        px[i] = std::uint8_t(i % 7 < 3 ? rng() : 90);  // runs and noise
    for (Depth depth : {Depth::kTrue, Depth::k256, Depth::k16}) {
        WireEncoder enc({depth, 0, true, 90});
        enc.encode(px.data(), rows - 1, cols);
        enc.encode_inline(px.data(), rows, cols);
        Terminal term(cols, (rows + 1) / 2);
        term.addressing = false;
        term.feed(std::string(reinterpret_cast<const char*>(enc.output().data()), enc.output().size()));
        ASSERT_EQ(term.y, (rows + 1) / 2);
        std::vector<std::uint8_t> index(std::size_t(cols * rows));
        enc.palette_indices(px.data(), rows, cols, index.data());
        for (int y = 0; y < rows; ++y)
            for (int x = 0; x < cols; ++x)
                ASSERT_EQ((y % 2 ? term.low : term.up)[std::size_t(y / 2 * cols + x)],
                          wanted(depth, px, index, std::size_t(y * cols + x)))
                    << x << "," << y;
        for (int x = 0; x < cols; ++x) ASSERT_EQ(term.low[std::size_t(rows / 2 * cols + x)], -1);
        enc.encode(px.data(), rows - 1, cols);
        EXPECT_EQ(enc.output().size(), 0u) << "printing changed what the screen is known to show";
    }
}

// Shaded fruit-like blobs of red, orange, green and yellow: at 16 colours with error diffusion
// their cells come out with a hue in them, not as the greys (black, white, the two greys) that
// lie nearest to many mid-tones.
TEST(Encoder, SixteenColoursKeepHues) {
    const int cols = 160, rows = 96;
    struct Blob {
        int x, y, radius, rgb[3];
    };
    constexpr Blob blobs[] = {{40, 28, 26, {220, 30, 20}},
                              {112, 28, 26, {240, 140, 20}},
                              {40, 70, 24, {70, 170, 40}},
                              {115, 70, 24, {235, 210, 40}}};
    std::vector<std::uint8_t> px(std::size_t(cols * rows * 3), 40);
    std::vector<bool> fruit(std::size_t(cols * rows));
    for (const Blob& b : blobs)
        for (int y = 0; y < rows; ++y)
            for (int x = 0; x < cols; ++x) {
                const double d = std::hypot(x - b.x, y - b.y) / b.radius;
                if (d > 1) continue;
                const std::size_t i = std::size_t(y * cols + x);
                fruit[i] = true;
                for (int k = 0; k < 3; ++k)
                    px[3 * i + std::size_t(2 - k)] = std::uint8_t(b.rgb[k] * (1 - 0.6 * d * d));
            }
    WireEncoder enc({Depth::k16, 0, true, 90});
    std::vector<std::uint8_t> index(std::size_t(cols * rows));
    enc.palette_indices(px.data(), rows, cols, index.data());
    const auto grey = [&](std::size_t i) {
        return index[i] == 0 || index[i] == 7 || index[i] == 8 || index[i] == 15;
    };
    int saturated = 0, greys = 0;
    for (std::size_t i = 0; i < index.size();
         i += i % cols == std::size_t(cols - 1) ? std::size_t(cols + 1) : 1) {
        if (!fruit[i] || !fruit[i + std::size_t(cols)]) continue;
        ++saturated;
        greys += grey(i) && grey(i + std::size_t(cols));
    }
    EXPECT_LE(greys * 10, saturated) << greys << " of " << saturated << " saturated cells grey";
}

TEST(Encoder, StaticAndSlowFramesCostFewBytes) {
    std::vector<std::uint8_t> px(200 * 120 * 3);
    for (std::size_t i = 0; i < px.size(); ++i) px[i] = std::uint8_t(i / 3 % 200 / 4);  // a gradient
    WireEncoder enc({});
    TerminalRenderer exact;
    enc.encode(px.data(), 120, 200), exact.assemble(px.data(), 120, 200);
    EXPECT_LT(enc.output().size(), exact.output().size() / 2);
    enc.encode(px.data(), 120, 200);  // the same again: nothing
    EXPECT_EQ(enc.output().size(), 0u);
    px[3 * (200 * 50 + 100)] ^= 0x80;
    enc.encode(px.data(), 120, 200);
    EXPECT_LT(enc.output().size(), 80u);
}

}  // namespace
}  // namespace corvane::wire
