// Tests of the terminal renderer: the frame byte stream checked byte for byte against literal
// expectations and against a small independent encoder, the scaling to the display grid, the
// screen-control sequences, and the behaviour of a frame whose writing fails. Output goes through
// real file descriptors: descriptor 1 is pointed at temporary files, /dev/full or nothing, and put
// back after every test.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <numeric>
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>
#include <optional>
#include <random>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "descriptors.hpp"
#include "renderer.hpp"
#include "terminal/output.hpp"
#include "terminal/size.hpp"

namespace corvane {
namespace {

using namespace corvane::testing;

// ---- Frames and the reference encoder ----------------------------------------------------------

struct Px {
    std::uint8_t b, g, r;
    friend bool operator==(const Px&, const Px&) = default;
};

constexpr Px kBlack{0, 0, 0};
constexpr Px kWhite{255, 255, 255};
constexpr Px kRed{0, 0, 255};
constexpr Px kGreen{0, 255, 0};
constexpr Px kBlue{255, 0, 0};

// Pixel rows of B, G, R bytes, stored back to back.
struct Frame {
    int rows = 0, cols = 0;
    std::vector<std::uint8_t> data;

    Frame(int r, int c, Px fill = kBlack) : rows(r), cols(c), data(std::size_t(r) * c * 3) {
        for (int y = 0; y < r; ++y)
            for (int x = 0; x < c; ++x) set(x, y, fill);
    }
    Px get(int x, int y) const {
        const std::uint8_t* p = &data[(std::size_t(y) * cols + x) * 3];
        return {p[0], p[1], p[2]};
    }
    void set(int x, int y, Px px) {
        std::uint8_t* p = &data[(std::size_t(y) * cols + x) * 3];
        p[0] = px.b;
        p[1] = px.g;
        p[2] = px.r;
    }
    // Both pixels of cell (x, y).
    void set_cell(int x, int y, Px px) {
        set(x, 2 * y, px);
        set(x, 2 * y + 1, px);
    }
    cv::Mat mat() { return cv::Mat(rows, cols, CV_8UC3, data.data()); }
};

std::string cell(Px up, Px lo) {
    auto n = [](std::uint8_t v) { return std::to_string(v); };
    return "\x1b[38;2;" + n(up.r) + ";" + n(up.g) + ";" + n(up.b) + ";48;2;" + n(lo.r) + ";" + n(lo.g) +
           ";" + n(lo.b) + "m\xe2\x96\x80";
}

std::string repeat(const std::string& s, int times) {
    std::string out;
    for (int i = 0; i < times; ++i) out += s;
    return out;
}

// The frame format written the straightforward way, with its own memory of the last frame.
class ReferenceEncoder {
public:
    int full_frames = 0, incremental_frames = 0;

    std::string encode(const Frame& f) {
        const int rows = f.rows >= 2 ? f.rows / 2 : 0;
        const int cols = f.cols;
        const std::size_t n = std::size_t(rows) * cols;
        if (prev_.size() != n) prev_.assign(n, std::nullopt);
        std::vector<std::optional<Cell>> cur(n);
        std::size_t changed = 0;
        for (int y = 0; y < rows; ++y)
            for (int x = 0; x < cols; ++x) {
                cur[y * cols + x] = Cell{f.get(x, 2 * y), f.get(x, 2 * y + 1)};
                if (cur[y * cols + x] != prev_[y * cols + x]) ++changed;
            }
        std::string out;
        if (4 * changed >= 3 * n) {
            ++full_frames;
            out += "\x1b[H";
            for (int y = 0; y < rows; ++y) {
                for (int x = 0; x < cols; ++x) out += text(*cur[y * cols + x]);
                out += "\x1b[K\r\n";
            }
        } else {
            ++incremental_frames;
            for (int y = 0; y < rows; ++y) {
                bool in_run = false;
                for (int x = 0; x < cols; ++x) {
                    const bool diff = cur[y * cols + x] != prev_[y * cols + x];
                    if (diff && !in_run) out += "\x1b[" + std::to_string(y + 1) + ";" + std::to_string(x + 1) + "H";
                    if (diff) out += text(*cur[y * cols + x]);
                    in_run = diff;
                }
            }
        }
        prev_ = cur;
        return out + "\x1b[0m";
    }

private:
    struct Cell {
        Px up, lo;
        friend bool operator==(const Cell&, const Cell&) = default;
    };
    static std::string text(const Cell& c) { return cell(c.up, c.lo); }
    std::vector<std::optional<Cell>> prev_;
};

std::string output_of(const TerminalRenderer& r) {
    return std::string(reinterpret_cast<const char*>(r.output().data()), r.output().size());
}

std::string assemble(TerminalRenderer& r, const Frame& f) {
    r.assemble(f.data.data(), f.rows, f.cols);
    return output_of(r);
}

std::vector<std::uint64_t> packed_cells(const Frame& f) {
    std::vector<std::uint64_t> out;
    for (int y = 0; y + 1 < f.rows; y += 2)
        for (int x = 0; x < f.cols; ++x) {
            const std::uint8_t* up = &f.data[(std::size_t(y) * f.cols + x) * 3];
            out.push_back(pack_cell(up, up + std::size_t(f.cols) * 3));
        }
    return out;
}

// The frame of the worked example: red over blue, green over white.
Frame example_frame() {
    Frame f(2, 2);
    f.set(0, 0, kRed);
    f.set(1, 0, kGreen);
    f.set(0, 1, kBlue);
    f.set(1, 1, kWhite);
    return f;
}

const std::string kExampleFull =
    "\x1b[H"
    "\x1b[38;2;255;0;0;48;2;0;0;255m\xe2\x96\x80"
    "\x1b[38;2;0;255;0;48;2;255;255;255m\xe2\x96\x80"
    "\x1b[K\r\n"
    "\x1b[0m";
const std::string kExampleIncremental =
    "\x1b[1;2H"
    "\x1b[38;2;0;0;0;48;2;255;255;255m\xe2\x96\x80"
    "\x1b[0m";
const std::string kReset = "\x1b[0m";

// ---- Packed cells and the worked example -------------------------------------------------------

TEST(RenderCell, PackedLayoutAndCellBytesFollowChannelOrder) {
    const std::uint8_t red[3] = {0, 0, 255}, blue[3] = {255, 0, 0};
    EXPECT_EQ(pack_cell(red, blue), 0x0000FF00000000FFull);
    // Six distinct components pin every field: upper B,G,R = 1,2,3, lower B,G,R = 4,5,6.
    const std::uint8_t up[3] = {1, 2, 3}, lo[3] = {4, 5, 6};
    EXPECT_EQ(pack_cell(up, lo), 0x0000040506010203ull);
    const std::uint8_t white[3] = {255, 255, 255};
    EXPECT_EQ(pack_cell(white, white), 0x0000FFFFFFFFFFFFull);

    Frame f(2, 1);
    f.set(0, 0, {1, 2, 3});
    f.set(0, 1, {4, 5, 6});
    TerminalRenderer r;
    EXPECT_EQ(assemble(r, f), "\x1b[H\x1b[38;2;3;2;1;48;2;6;5;4m\xe2\x96\x80\x1b[K\r\n\x1b[0m");
}

TEST(RenderExample, ThreeCallsThroughAssemble) {
    TerminalRenderer r;
    Frame f = example_frame();

    const std::string first = assemble(r, f);
    EXPECT_EQ(first.size(), 78u);
    EXPECT_EQ(first, kExampleFull);
    EXPECT_EQ(r.previous_cells(), (std::vector<std::uint64_t>{0x0000FF00000000FFull, 0x0000FFFFFF00FF00ull}));

    f.set(1, 0, kBlack);
    const std::string second = assemble(r, f);
    EXPECT_EQ(second.size(), 43u);
    EXPECT_EQ(second, kExampleIncremental);

    EXPECT_EQ(assemble(r, f), kReset);
    EXPECT_EQ(r.previous_cells(), packed_cells(f));
}

TEST(RenderExample, ThreeCallsWrittenToDescriptorOne) {
    Frame f = example_frame();
    std::string after[3];
    bool any_error = false;
    {
        TempFile file;
        StdoutRedirect redirect(file.fd());
        TerminalRenderer r;
        for (int call = 0; call < 3; ++call) {
            if (call == 1) f.set(1, 0, kBlack);
            any_error |= r.render_character_map(f.mat()).has_value();
            after[call] = file.contents();
        }
    }
    EXPECT_FALSE(any_error);
    // Every frame has reached the descriptor when the call returns.
    EXPECT_EQ(after[0], kExampleFull);
    EXPECT_EQ(after[1], kExampleFull + kExampleIncremental);
    EXPECT_EQ(after[2], kExampleFull + kExampleIncremental + kReset);
}

// ---- Decimal numbers ---------------------------------------------------------------------------

struct ComponentCase {
    std::uint8_t value;
    const char* text;
};

class RenderComponent : public ::testing::TestWithParam<ComponentCase> {};

TEST_P(RenderComponent, WrittenInPlainDecimal) {
    const auto [v, t] = GetParam();
    const std::string s = t;
    TerminalRenderer r;
    EXPECT_EQ(assemble(r, Frame(2, 1, {v, v, v})),
              "\x1b[H\x1b[38;2;" + s + ";" + s + ";" + s + ";48;2;" + s + ";" + s + ";" + s +
                  "m\xe2\x96\x80\x1b[K\r\n\x1b[0m");
}

INSTANTIATE_TEST_SUITE_P(Values, RenderComponent,
                         ::testing::Values(ComponentCase{0, "0"}, ComponentCase{9, "9"},
                                           ComponentCase{10, "10"}, ComponentCase{99, "99"},
                                           ComponentCase{100, "100"}, ComponentCase{255, "255"}));

struct CursorCase {
    int cols, cell_rows, x, y;
    const char* cursor;
};

class RenderCursor : public ::testing::TestWithParam<CursorCase> {};

TEST_P(RenderCursor, CoordinatesOfAnyLength) {
    const CursorCase c = GetParam();
    TerminalRenderer r;
    Frame f(2 * c.cell_rows, c.cols);
    (void)assemble(r, f);
    f.set_cell(c.x, c.y, kWhite);
    EXPECT_EQ(assemble(r, f), c.cursor + cell(kWhite, kWhite) + kReset);
}

INSTANTIATE_TEST_SUITE_P(Digits, RenderCursor,
                         ::testing::Values(CursorCase{1300, 1, 1233, 0, "\x1b[1;1234H"},
                                           CursorCase{1, 1300, 0, 1233, "\x1b[1234;1H"},
                                           CursorCase{12345, 1, 12344, 0, "\x1b[1;12345H"},
                                           CursorCase{3, 10000, 2, 9999, "\x1b[10000;3H"},
                                           CursorCase{11, 11, 9, 9, "\x1b[10;10H"}));

// ---- Grids without cells -----------------------------------------------------------------------

struct EmptyGridCase {
    int rows, cols;
    int row_ends;
};

class RenderEmptyGrid : public ::testing::TestWithParam<EmptyGridCase> {};

TEST_P(RenderEmptyGrid, HomeRowEndsAndResetOnEveryCall) {
    const auto [rows, cols, row_ends] = GetParam();
    const std::string expected = "\x1b[H" + repeat("\x1b[K\r\n", row_ends) + kReset;
    TerminalRenderer r;
    // Also after a frame that had cells: an empty grid never turns into an incremental update.
    (void)assemble(r, example_frame());
    for (int call = 0; call < 3; ++call) {
        EXPECT_EQ(assemble(r, Frame(rows, cols)), expected) << "call " << call;
        EXPECT_TRUE(r.previous_cells().empty());
    }
}

INSTANTIATE_TEST_SUITE_P(Shapes, RenderEmptyGrid,
                         ::testing::Values(EmptyGridCase{0, 0, 0}, EmptyGridCase{0, 7, 0},
                                           EmptyGridCase{1, 0, 0}, EmptyGridCase{1, 5, 0},
                                           EmptyGridCase{2, 0, 1}, EmptyGridCase{3, 0, 1},
                                           EmptyGridCase{4, 0, 2}, EmptyGridCase{9, 0, 4}));

// ---- Grid shape and cache ----------------------------------------------------------------------

TEST(RenderGrid, OddLastPixelRowIsNeverDrawn) {
    Frame five(5, 3);
    for (int y = 0; y < 4; ++y)
        for (int x = 0; x < 3; ++x)
            five.set(x, y, {std::uint8_t(10 * x + y), std::uint8_t(200 - y), std::uint8_t(x * 70)});
    Frame four(4, 3);
    four.data.assign(five.data.begin(), five.data.begin() + 4 * 3 * 3);

    TerminalRenderer a, b;
    const std::string four_rows = assemble(a, four);
    std::size_t row_ends = 0;
    for (std::size_t at = 0; (at = four_rows.find("\x1b[K\r\n", at)) != std::string::npos; ++at) ++row_ends;
    EXPECT_EQ(row_ends, 2u);
    for (int x = 0; x < 3; ++x) five.set(x, 4, kWhite);
    EXPECT_EQ(assemble(b, five), four_rows);
    // Changing only the fifth row changes nothing.
    for (int x = 0; x < 3; ++x) five.set(x, 4, {x == 1 ? std::uint8_t(7) : std::uint8_t(0), 1, 2});
    EXPECT_EQ(assemble(b, five), kReset);
    EXPECT_EQ(b.previous_cells().size(), 6u);
}

TEST(RenderGrid, FirstFrameAfterResetIsDrawnInFullWhateverItsColours) {
    // No real cell equals the reset value, not even all-black or all-white ones.
    for (Px fill : {kBlack, kWhite}) {
        TerminalRenderer r;
        const std::string expected = "\x1b[H" + repeat(repeat(cell(fill, fill), 3) + "\x1b[K\r\n", 2) + kReset;
        EXPECT_EQ(assemble(r, Frame(4, 3, fill)), expected);
        EXPECT_EQ(r.previous_cells(), std::vector<std::uint64_t>(6, packed_cells(Frame(2, 1, fill))[0]));
        // A change of the cell count resets the cache, and so does the change back.
        EXPECT_EQ(assemble(r, Frame(2, 3, fill)), "\x1b[H" + repeat(cell(fill, fill), 3) + "\x1b[K\r\n" + kReset);
        EXPECT_EQ(assemble(r, Frame(4, 3, fill)), expected);
        EXPECT_EQ(assemble(r, Frame(4, 3, fill)), kReset);
    }
}

TEST(RenderGrid, AnotherShapeWithTheSameCellCountRedrawsEverything) {
    const Px p{10, 20, 30};
    TerminalRenderer r;
    (void)assemble(r, Frame(60, 100, p));  // 100 x 30 cells
    const std::string wide = assemble(r, Frame(40, 150, p));  // 150 x 20 cells, same colours
    EXPECT_EQ(wide.rfind("\x1b[H", 0), 0u) << "stale cells of the old layout would stay";
    EXPECT_EQ(assemble(r, Frame(40, 150, p)), kReset);
}

// ---- Mode choice and runs ----------------------------------------------------------------------

class RenderThreshold : public ::testing::TestWithParam<int> {};

TEST_P(RenderThreshold, ThreeQuartersChangedMeansFullRedraw) {
    const int changed = GetParam();
    const Px p{1, 100, 255};
    TerminalRenderer r;
    Frame f(2, 4);  // n = 4 cells
    (void)assemble(r, f);
    for (int x = 0; x < changed; ++x) f.set_cell(x, 0, p);
    const std::string expected =
        4 * changed >= 3 * 4
            ? "\x1b[H" + repeat(cell(p, p), changed) + repeat(cell(kBlack, kBlack), 4 - changed) + "\x1b[K\r\n" + kReset
            : (changed ? "\x1b[1;1H" : "") + repeat(cell(p, p), changed) + kReset;
    EXPECT_EQ(assemble(r, f), expected);
}

INSTANTIATE_TEST_SUITE_P(ChangedOfFour, RenderThreshold, ::testing::Values(0, 1, 2, 3, 4));

struct RunCase {
    const char* name;
    std::vector<std::pair<int, int>> changed;        // (x, y) cells turned to the new colour
    std::vector<std::pair<std::string, int>> runs;  // cursor sequence, cells in the run
};

class RenderRuns : public ::testing::TestWithParam<RunCase> {};

// Every changed cell gets the same colour, so runs of identical neighbours are covered too: each
// cell of a run carries its full cell sequence.
TEST_P(RenderRuns, ChangedRunsEachAfterTheirCursorPosition) {
    const RunCase& c = GetParam();
    const Px base{40, 50, 60}, fresh{7, 8, 9};
    TerminalRenderer r;
    Frame f(12, 5, base);  // 5 x 6 cells
    (void)assemble(r, f);
    for (auto [x, y] : c.changed) f.set_cell(x, y, fresh);
    std::string expected;
    for (const auto& [cursor, count] : c.runs) expected += cursor + repeat(cell(fresh, fresh), count);
    EXPECT_EQ(assemble(r, f), expected + kReset);
}

INSTANTIATE_TEST_SUITE_P(
    Shapes, RenderRuns,
    ::testing::Values(
        RunCase{"GapSplitsRun", {{0, 4}, {1, 4}, {3, 4}}, {{"\x1b[5;1H", 2}, {"\x1b[5;4H", 1}}},
        RunCase{"RunEndsAtRowEnd", {{4, 0}, {0, 1}}, {{"\x1b[1;5H", 1}, {"\x1b[2;1H", 1}}},
        RunCase{"WholeRow", {{0, 5}, {1, 5}, {2, 5}, {3, 5}, {4, 5}}, {{"\x1b[6;1H", 5}}},
        RunCase{"Scattered", {{2, 0}, {2, 2}, {3, 3}, {4, 3}}, {{"\x1b[1;3H", 1}, {"\x1b[3;3H", 1}, {"\x1b[4;4H", 2}}},
        RunCase{"Nothing", {}, {}}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- Random frames against the reference encoder -----------------------------------------------

struct RandomCase {
    int rows, cols;
    unsigned seed;
};

class RenderReference : public ::testing::TestWithParam<RandomCase> {};

TEST_P(RenderReference, SequenceOfFramesMatchesByteForByte) {
    const RandomCase c = GetParam();
    std::mt19937 rng(c.seed);
    const std::uint8_t edges[] = {0, 1, 9, 10, 42, 99, 100, 199, 254, 255};
    auto component = [&]() -> std::uint8_t {
        return rng() % 2 ? edges[rng() % std::size(edges)] : std::uint8_t(rng());
    };
    auto colour = [&] { return Px{component(), component(), component()}; };

    Frame f(c.rows, c.cols);
    for (int y = 0; y < c.rows; ++y)
        for (int x = 0; x < c.cols; ++x) f.set(x, y, colour());

    const int cells = (c.rows / 2) * c.cols;
    TerminalRenderer r;
    ReferenceEncoder ref;
    for (int frame = 0; frame < 80; ++frame) {
        ASSERT_EQ(assemble(r, f), ref.encode(f)) << "frame " << frame;
        ASSERT_EQ(r.previous_cells(), packed_cells(f)) << "frame " << frame;
        // Next frame: change exactly k distinct cells, k running through none, one, a few, half,
        // one short of three quarters, three quarters, all, and a random count. A change hits the
        // upper pixel, the lower one or both, sometimes only one component by a small step; an
        // odd last pixel row changes too.
        const int three_quarters = (3 * cells + 3) / 4;
        const int schedule[] = {0, 1, cells / 10, cells / 2, three_quarters - 1, three_quarters, cells,
                                int(rng() % (cells + 1))};
        const int k = std::max(0, std::min(cells, schedule[frame % 8]));
        std::vector<int> order(cells);
        std::iota(order.begin(), order.end(), 0);
        std::shuffle(order.begin(), order.end(), rng);
        for (int i = 0; i < k; ++i) {
            const int x = order[i] % c.cols, y = order[i] / c.cols;
            const int row = 2 * y + int(rng() % 2);
            Px p = f.get(x, row);
            switch (rng() % 4) {
                case 0: p.r = std::uint8_t(p.r + 1 + rng() % 255); break;
                case 1: p.g = std::uint8_t(p.g + 1); break;
                case 2: p.b = std::uint8_t(p.b + 1 + rng() % 255); break;
                default: {
                    const Px other = colour();
                    f.set(x, row == 2 * y ? row + 1 : row - 1, other);
                    p.r = std::uint8_t(p.r ^ 0x80);
                }
            }
            f.set(x, row, p);
        }
        if (c.rows % 2)
            for (int x = 0; x < c.cols; ++x) f.set(x, c.rows - 1, colour());
    }
    EXPECT_GE(ref.full_frames, 20);
    EXPECT_GE(ref.incremental_frames, 40);
}

INSTANTIATE_TEST_SUITE_P(Sizes, RenderReference,
                         ::testing::Values(RandomCase{27, 37, 1}, RandomCase{40, 64, 2}, RandomCase{2, 64, 3},
                                           RandomCase{31, 1, 4}, RandomCase{14, 9, 5}));

// A full redraw larger than the 4 MiB assembly buffer, and larger than the 1 MiB writer, on its
// way to a real file; then an incremental frame behind it.
TEST(RenderReference, FrameLargerThanEveryBufferReachesTheFileIntact) {
    std::mt19937 rng(77);
    auto bright = [&] { return std::uint8_t(100 + rng() % 156); };  // longest cell sequences
    Frame f(600, 400);                                               // 400 x 300 cells
    for (int y = 0; y < f.rows; ++y)
        for (int x = 0; x < f.cols; ++x) f.set(x, y, {bright(), bright(), bright()});
    Frame g = f;
    for (int i = 0; i < 5000; ++i) g.set(int(rng() % g.cols), int(rng() % g.rows), {1, 2, 3});

    ReferenceEncoder ref;
    const std::string first = ref.encode(f);
    const std::string second = ref.encode(g);
    ASSERT_GT(first.size(), std::size_t(TerminalRenderer::kOutputCapacity));
    ASSERT_EQ(ref.incremental_frames, 1);

    std::string assembled, written;
    {
        TempFile file;
        StdoutRedirect redirect(file.fd());
        TerminalRenderer r;
        (void)r.render_character_map(f.mat());
        assembled = output_of(r);
        (void)r.render_character_map(g.mat());
        written = file.contents();
    }
    // Plain booleans: a failure should not dump megabytes.
    EXPECT_TRUE(assembled == first);
    EXPECT_EQ(written.size(), first.size() + second.size());
    EXPECT_TRUE(written == first + second);
}

// ---- Output failures ---------------------------------------------------------------------------

TEST(RenderFailure, FullDeviceAbortsAndTheFrameGoesOutWithTheNext) {
    Frame f = example_frame();
    std::string message, written;
    std::vector<std::uint64_t> cells_after_failure;
    std::string output_after_failure;
    {
        Fd full = open_dev_full();
        TempFile file;
        StdoutRedirect redirect(full.get());
        TerminalRenderer r;
        message = panic_message([&] { (void)r.render_character_map(f.mat()); });
        cells_after_failure = r.previous_cells();
        output_after_failure = output_of(r);
        redirect.point(file.fd());
        // The next frame is compared with the one that failed: nothing changed.
        (void)r.render_character_map(f.mat());
        written = file.contents();
    }
    EXPECT_EQ(message, kStorageFull);
    EXPECT_EQ(cells_after_failure, packed_cells(f));
    EXPECT_EQ(output_after_failure, kExampleFull);
    EXPECT_EQ(written, kExampleFull + kReset);
}

TEST(RenderFailure, HeldBytesGoOutWhenTheRendererIsDestroyed) {
    std::string message, written;
    {
        Fd full = open_dev_full();
        TempFile file;
        StdoutRedirect redirect(full.get());
        auto r = std::make_unique<TerminalRenderer>();
        message = panic_message([&] { (void)r->render_character_map(example_frame().mat()); });
        redirect.point(file.fd());
        r.reset();
        written = file.contents();
    }
    EXPECT_EQ(message, kStorageFull);
    EXPECT_EQ(written, kExampleFull);
}

// A file size cap makes the kernel take part of the frame and refuse the rest: exactly the bytes
// that did not go out are held for the next frame.
TEST(RenderFailure, PartiallyWrittenFrameResumesWhereItStopped) {
    Frame f = example_frame();
    std::string message, after_failure, written;
    {
        TempFile file;
        StdoutRedirect redirect(file.fd());
        TerminalRenderer r;
        {
            FileSizeCap cap(50);
            message = panic_message([&] { (void)r.render_character_map(f.mat()); });
        }
        after_failure = file.contents();
        (void)r.render_character_map(f.mat());
        written = file.contents();
    }
    EXPECT_EQ(message, kUnwrap + "Os { code: 27, kind: FileTooLarge, message: \"File too large\" }");
    EXPECT_EQ(after_failure, kExampleFull.substr(0, 50));
    EXPECT_EQ(written, kExampleFull + kReset);
}

TEST(RenderFailure, ClosedDescriptorSwallowsFramesSilently) {
    Frame f = example_frame();
    bool threw = false;
    std::string written;
    {
        TempFile file;
        StdoutRedirect redirect(-1);
        TerminalRenderer r;
        try {
            (void)r.render_character_map(f.mat());
            f.set(1, 0, kBlack);
            (void)r.render_character_map(f.mat());
            TerminalRenderer::hide_cursor();
            TerminalRenderer::show_cursor();
        } catch (...) {
            threw = true;
        }
        redirect.point(file.fd());
        // Nothing was held back: only the new frame's own bytes follow.
        f.set(1, 0, kGreen);
        (void)r.render_character_map(f.mat());
        written = file.contents();
    }
    EXPECT_FALSE(threw);
    EXPECT_EQ(written, "\x1b[1;2H\x1b[38;2;0;255;0;48;2;255;255;255m\xe2\x96\x80\x1b[0m");
}

// ---- Screen control ----------------------------------------------------------------------------

const std::string kHide = "\x1b[?25l\x1b[?1049h\x1b[H";
const std::string kShow = "\x1b[?1049l\x1b[?25h";

TEST(RenderScreen, SequencesAreExactAndInterleaveWithFramesInOrder) {
    ASSERT_EQ(kHide.size(), 17u);
    ASSERT_EQ(kShow.size(), 14u);
    std::string after_hide, after_show, all;
    {
        TempFile file;
        StdoutRedirect redirect(file.fd());
        TerminalRenderer::hide_cursor();
        after_hide = file.contents();
        TerminalRenderer::show_cursor();
        after_show = file.contents();
        // While a renderer exists and draws, the sequences still land between its frames.
        TerminalRenderer r;
        TerminalRenderer::hide_cursor();
        (void)r.render_character_map(example_frame().mat());
        TerminalRenderer::show_cursor();
        TerminalRenderer::show_cursor();
        all = file.contents();
    }
    EXPECT_EQ(after_hide, kHide);
    EXPECT_EQ(after_show, kHide + kShow);
    EXPECT_EQ(all, kHide + kShow + kHide + kExampleFull + kShow + kShow);
}

TEST(RenderScreen, FullDeviceAbortsWithTheUnwrapMessage) {
    std::string hide_message, show_message, written;
    {
        Fd full = open_dev_full();
        TempFile file;
        StdoutRedirect redirect(full.get());
        hide_message = panic_message([] { TerminalRenderer::hide_cursor(); });
        show_message = panic_message([] { TerminalRenderer::show_cursor(); });
        redirect.point(file.fd());
        TerminalRenderer::show_cursor();
        written = file.contents();
    }
    EXPECT_EQ(hide_message, kStorageFull);
    EXPECT_EQ(show_message, kStorageFull);
    // The sequences that could not be flushed go out first, in order.
    EXPECT_EQ(written, kHide + kShow + kShow);
}

TEST(RenderScreen, StreamThatCannotMakeRoomPanicsWithTheDisplayText) {
    std::vector<std::string> messages;
    std::string written;
    {
        Fd full = open_dev_full();
        TempFile file;
        StdoutRedirect redirect(full.get());
        // Each failed flush keeps 17 bytes pending; the 61st call no longer fits in 1024 bytes.
        for (int i = 0; i < 61; ++i) messages.push_back(panic_message([] { TerminalRenderer::hide_cursor(); }));
        redirect.point(file.fd());
        TerminalRenderer::show_cursor();
        written = file.contents();
    }
    for (int i = 0; i < 60; ++i) EXPECT_EQ(messages[i], kStorageFull) << i;
    EXPECT_EQ(messages[60], "failed printing to stdout: No space left on device (os error 28)");
    EXPECT_EQ(written, repeat(kHide, 60) + kShow);
}

// ---- Display grid ------------------------------------------------------------------------------

struct HeightCase {
    std::int32_t term_h, display_h;
};

class RenderDisplayHeight : public ::testing::TestWithParam<HeightCase> {};

TEST_P(RenderDisplayHeight, TwoPixelRowsPerLineLessOneLine) {
    EXPECT_EQ(display_height(GetParam().term_h), GetParam().display_h);
}

INSTANTIATE_TEST_SUITE_P(Rows, RenderDisplayHeight,
                         ::testing::Values(HeightCase{24, 46}, HeightCase{3, 4}, HeightCase{2, 2}, HeightCase{1, 2},
                                           HeightCase{0, 2}, HeightCase{-7, 2}, HeightCase{65535, 131068}));

struct PrepareCase {
    int frame_cols, frame_rows, term_w, term_h;
    int out_cols, out_rows;
};

class RenderPrepare : public ::testing::TestWithParam<PrepareCase> {};

TEST_P(RenderPrepare, BilinearToTheDisplayGrid) {
    const PrepareCase c = GetParam();
    cv::Mat frame(c.frame_rows, c.frame_cols, CV_8UC3);
    cv::randu(frame, 0, 256);
    TerminalRenderer r;
    Result<cv::Mat> got = r.prepare_character_map(frame, c.term_w, c.term_h);
    ASSERT_TRUE(got.ok()) << got.error().message;
    const cv::Mat& out = got.value();
    EXPECT_EQ(out.cols, c.out_cols);
    EXPECT_EQ(out.rows, c.out_rows);
    EXPECT_EQ(out.type(), CV_8UC3);
    EXPECT_TRUE(out.isContinuous());
    EXPECT_NE(out.data, frame.data);
    cv::Mat expected;
    cv::resize(frame, expected, cv::Size(c.out_cols, c.out_rows), 0, 0, cv::INTER_LINEAR);
    EXPECT_EQ(cv::norm(out, expected, cv::NORM_INF), 0.0);
}

INSTANTIATE_TEST_SUITE_P(Sizes, RenderPrepare,
                         ::testing::Values(PrepareCase{640, 480, 80, 24, 80, 46}, PrepareCase{640, 480, 80, 3, 80, 4},
                                           PrepareCase{640, 480, 80, 2, 80, 2}, PrepareCase{640, 480, 80, 1, 80, 2},
                                           PrepareCase{640, 480, 80, 0, 80, 2}, PrepareCase{4, 2, 200, 50, 200, 98},
                                           PrepareCase{80, 46, 80, 24, 80, 46}, PrepareCase{33, 17, 7, 5, 7, 8}));

struct PrepareErrorCase {
    const char* name;
    int frame_rows, frame_cols, term_w, term_h;
};

class RenderPrepareError : public ::testing::TestWithParam<PrepareErrorCase> {};

TEST_P(RenderPrepareError, OpenCvFailureComesBackAsAValue) {
    const PrepareErrorCase c = GetParam();
    cv::Mat frame = c.frame_rows || c.frame_cols ? cv::Mat(c.frame_rows, c.frame_cols, CV_8UC3, cv::Scalar::all(9))
                                                 : cv::Mat();
    // What OpenCV itself says about the same call.
    int code = 0;
    std::string message;
    try {
        cv::Mat dst;
        cv::resize(frame, dst, cv::Size(c.term_w, display_height(c.term_h)), 0, 0, cv::INTER_LINEAR);
    } catch (const cv::Exception& e) {
        code = e.code;
        message = e.what();
    }
    ASSERT_EQ(code, -215);

    TerminalRenderer r;
    std::optional<Result<cv::Mat>> got;
    EXPECT_NO_THROW(got.emplace(r.prepare_character_map(frame, c.term_w, c.term_h)));
    ASSERT_TRUE(got.has_value());
    ASSERT_FALSE(got->ok());
    EXPECT_EQ(got->error().code, -215);
    EXPECT_EQ(got->error().message, message);
}

INSTANTIATE_TEST_SUITE_P(Inputs, RenderPrepareError,
                         ::testing::Values(PrepareErrorCase{"WidthZero", 48, 64, 0, 24},
                                           PrepareErrorCase{"NegativeWidth", 48, 64, -3, 24},
                                           PrepareErrorCase{"EmptyFrame", 0, 0, 80, 24},
                                           PrepareErrorCase{"NoRows", 0, 64, 80, 24},
                                           PrepareErrorCase{"NoColumns", 48, 0, 80, 24}),
                         [](const auto& info) { return std::string(info.param.name); });

// ---- Terminal size helpers ---------------------------------------------------------------------

struct DigitsCase {
    const char* text;
    std::uint16_t value;
};

class RenderParseDigits : public ::testing::TestWithParam<DigitsCase> {};

TEST_P(RenderParseDigits, DigitsModulo65536OtherBytesSkipped) {
    EXPECT_EQ(terminal::parse_digits(GetParam().text), GetParam().value);
}

INSTANTIATE_TEST_SUITE_P(Texts, RenderParseDigits,
                         ::testing::Values(DigitsCase{"  80\n", 80}, DigitsCase{"70000", 4464}, DigitsCase{"abc", 0},
                                           DigitsCase{"", 0}, DigitsCase{"1a2b3\n", 123}, DigitsCase{"65535", 65535},
                                           DigitsCase{"65536", 0}, DigitsCase{"0080", 80},
                                           DigitsCase{"\xff" "9\x80", 9}));

}  // namespace
}  // namespace corvane
