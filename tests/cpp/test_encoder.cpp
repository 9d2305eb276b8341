// The wire encoder's stream, read back by the terminal model in half blocks: over random frame
// sequences the terminal must hold the frame exactly at tolerance 0, within T at tolerance T, and
// only palette colours at 256 and 16 colours.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "core/stream/encoder.hpp"
#include "core/stream/palette.hpp"
#include "terminal_model.hpp"

namespace corvane::wire {
namespace {

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
    TerminalModel term(CellShape::kHalf, cols, rows / 2);
    std::mt19937 rng(7);
    std::vector<std::uint8_t> px(std::size_t(cols * rows * 3), 60);
    for (int frame = 0; frame < 60; ++frame) {
        if (frame % 10 == 9 && c.depth == Depth::kTrue) {
            // What the terminal shows plus noise of up to T: there is nothing to draw.
            std::vector<std::uint8_t> noisy(px.size());
            for (int i = 0; i < cols * rows * 3; ++i) {
                const long shown = term.pixel(i / 3 % cols, i / 3 / cols);
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
                const long got = term.pixel(x, y);
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
        TerminalModel term(CellShape::kHalf, cols, (rows + 1) / 2);
        term.addressing = false;
        term.feed(enc.output());
        ASSERT_EQ(term.y, (rows + 1) / 2);
        std::vector<std::uint8_t> index(std::size_t(cols * rows));
        enc.palette_indices(px.data(), rows, cols, index.data());
        for (int y = 0; y < rows; ++y)
            for (int x = 0; x < cols; ++x)
                ASSERT_EQ(term.pixel(x, y), wanted(depth, px, index, std::size_t(y * cols + x)))
                    << x << "," << y;
        for (int x = 0; x < cols; ++x) ASSERT_EQ(term.pixel(x, rows), -1);
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

}  // namespace
}  // namespace corvane::wire
