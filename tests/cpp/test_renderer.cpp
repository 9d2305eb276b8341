// The frame byte stream, byte for byte: the worked example, and random frame sequences against a
// straightforward reference encoder, which catches any slip in the digit table, the packing, the
// 75 % rule, the runs or the cache.
#include <gtest/gtest.h>

#include <optional>
#include <random>
#include <string>
#include <vector>

#include "core/stream/renderer.hpp"

namespace corvane {
namespace {

struct Frame {
    int rows, cols;
    std::vector<std::uint8_t> bgr;
    Frame(int r, int c, std::uint8_t fill = 0) : rows(r), cols(c), bgr(std::size_t(r) * c * 3, fill) {}
    std::uint8_t* px(int x, int y) { return &bgr[(std::size_t(y) * cols + x) * 3]; }
};

std::string draw(TerminalRenderer& r, Frame& f) {
    r.assemble(f.bgr.data(), f.rows, f.cols);
    return std::string(reinterpret_cast<const char*>(r.output().data()), r.output().size());
}

// The format written the obvious way, with its own memory of the last frame drawn.
class Reference {
  public:
    std::string encode(Frame& f) {
        const int rows = f.rows / 2, cols = f.cols;
        const std::size_t n = std::size_t(rows) * cols;
        if (rows != rows_ || cols != cols_) prev_.assign(n, std::nullopt);
        rows_ = rows, cols_ = cols;
        std::vector<std::optional<std::string>> cur(n);
        std::size_t changed = 0;
        for (int y = 0; y < rows; ++y)
            for (int x = 0; x < cols; ++x) {
                const std::uint8_t *u = f.px(x, 2 * y), *l = f.px(x, 2 * y + 1);
                auto d = [](int v) { return std::to_string(v) + ";"; };
                std::string s =
                    "\x1b[38;2;" + d(u[2]) + d(u[1]) + d(u[0]) + "48;2;" + d(l[2]) + d(l[1]) + d(l[0]);
                s.back() = 'm';
                cur[y * cols + x] = s + "\xe2\x96\x80";
                changed += cur[y * cols + x] != prev_[y * cols + x];
            }
        std::string out;
        if (4 * changed >= 3 * n) {
            out = "\x1b[H";
            for (int y = 0; y < rows; ++y) {
                for (int x = 0; x < cols; ++x) out += *cur[y * cols + x];
                out += "\x1b[K\r\n";
            }
        } else {
            for (int y = 0; y < rows; ++y)
                for (int x = 0; x < cols; ++x) {
                    if (cur[y * cols + x] == prev_[y * cols + x]) continue;
                    out += "\x1b[" + std::to_string(y + 1) + ";" + std::to_string(x + 1) + "H";
                    for (; x < cols && cur[y * cols + x] != prev_[y * cols + x]; ++x)
                        out += *cur[y * cols + x];
                }
        }
        prev_ = cur;
        return out + "\x1b[0m";
    }

  private:
    int rows_ = -1, cols_ = -1;
    std::vector<std::optional<std::string>> prev_;
};

TEST(Renderer, WorkedExample) {
    Frame f(2, 2);
    const std::uint8_t px[4][3] = {{0, 0, 255}, {0, 255, 0}, {255, 0, 0}, {255, 255, 255}};
    for (int i = 0; i < 4; ++i) std::copy(px[i], px[i] + 3, f.px(i % 2, i / 2));
    TerminalRenderer r;
    EXPECT_EQ(
        draw(r, f),
        "\x1b[H\x1b[38;2;255;0;0;48;2;0;0;255m\xe2\x96\x80\x1b[38;2;0;255;0;48;2;255;255;255m\xe2\x96\x80"
        "\x1b[K\r\n\x1b[0m");
    f.px(1, 0)[1] = 0;
    EXPECT_EQ(draw(r, f), "\x1b[1;2H\x1b[38;2;0;0;0;48;2;255;255;255m\xe2\x96\x80\x1b[0m");
    EXPECT_EQ(draw(r, f), "\x1b[0m");
}

TEST(Renderer, DegenerateGrids) {
    TerminalRenderer r;
    Frame one_row(1, 5), no_cols(5, 0);
    EXPECT_EQ(draw(r, one_row), "\x1b[H\x1b[0m");
    EXPECT_EQ(draw(r, no_cols), "\x1b[H\x1b[K\r\n\x1b[K\r\n\x1b[0m");
}

// Random sizes, including shape changes that keep the cell count (4 x 6 and 6 x 4 cells), and
// random edits of every density around the 75 % threshold, with all digit widths of colours.
TEST(Renderer, MatchesTheReferenceOverRandomSequences) {
    std::mt19937 rng(7);
    const int shapes[][2] = {{8, 6}, {12, 4}, {7, 6}, {2, 1}, {8, 6}, {3, 9}};
    const std::uint8_t palette[] = {0, 9, 10, 99, 100, 255};
    TerminalRenderer r;
    Reference ref;
    Frame f(0, 0);
    for (int round = 0; round < 300; ++round) {
        const auto& s = shapes[round / 50];
        if (f.rows != s[0] || f.cols != s[1]) f = Frame(s[0], s[1]);
        const int edits = int(rng() % (f.bgr.size() + 1));
        for (int i = 0; i < edits; ++i) f.bgr[rng() % f.bgr.size()] = palette[rng() % 6];
        ASSERT_EQ(draw(r, f), ref.encode(f)) << "round " << round;
    }
}

TEST(Renderer, DisplayGrid) {
    cv::Mat frame(2, 4, CV_8UC3, cv::Scalar(1, 2, 3));
    Result<cv::Mat> fitted = fit_to_grid(frame, 200, 50);
    ASSERT_TRUE(fitted);
    EXPECT_EQ(fitted.value().size(), cv::Size(200, 98));
    EXPECT_EQ(fit_to_grid(frame, 0, 24).error().fault, Fault::kLibrary);
}

}  // namespace
}  // namespace corvane
