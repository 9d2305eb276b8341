#include "core/stream/renderer.hpp"

#include <cstring>
#include <opencv2/imgproc.hpp>

#include "core/stream/digits.hpp"
#include "core/terminal/output.hpp"
#include "core/terminal/size.hpp"

namespace corvane {
namespace {

constexpr char HIDE_CURSOR[] = "\x1b[?25l\x1b[?1049h\x1b[H";
constexpr char SHOW_CURSOR[] = "\x1b[?1049l\x1b[?25h";

// Longest cell sequence: "\x1b[38;2;" + 3 * "255;" + "48;2;" + 3 * "255;" (last ';' becomes 'm')
// + U+2580.
constexpr std::size_t MAX_CELL = 39;
// Longest cursor-position sequence for 32-bit coordinates: "\x1b[" + 10 digits + ";" + 10 + "H".
constexpr std::size_t MAX_CURSOR = 24;
// Room for the 4-byte stores of the digit table past the last byte written.
constexpr std::size_t SLACK = 8;

using digits::put_component;
using digits::put_literal;
using digits::put_u32;

inline std::uint8_t* put_cell(std::uint8_t* p, std::uint64_t cell) {
    p = put_literal(p, "\x1b[38;2;", 7);
    p = put_component(p, cell);
    p = put_component(p, cell >> 8);
    p = put_component(p, cell >> 16);
    p = put_literal(p, "48;2;", 5);
    p = put_component(p, cell >> 24);
    p = put_component(p, cell >> 32);
    p = put_component(p, cell >> 40);
    p[-1] = 'm';
    return put_literal(p, "\xe2\x96\x80", 3);
}

inline std::uint8_t* put_cursor(std::uint8_t* p, std::uint32_t row, std::uint32_t col) {
    p = put_literal(p, "\x1b[", 2);
    p = put_u32(p, row);
    *p++ = ';';
    p = put_u32(p, col);
    *p++ = 'H';
    return p;
}

Status write_screen_control(const char* seq, std::size_t len) {
    if (Status printed = terminal::print(seq, len); !printed) return printed;
    return terminal::flush_stdout();
}

}  // namespace

void ByteBuffer::reserve(std::size_t capacity) {
    if (capacity <= cap_) return;
    std::size_t grown = cap_ * 2 > capacity ? cap_ * 2 : capacity;
    std::unique_ptr<std::uint8_t[]> next(new std::uint8_t[grown]);
    std::memcpy(next.get(), data_.get(), size_);
    data_ = std::move(next);
    cap_ = grown;
}

TerminalRenderer::TerminalRenderer()
    : writer_(WRITER_CAPACITY, terminal::stdout_sink, nullptr), output_(OUTPUT_CAPACITY) {}

std::pair<std::int32_t, std::int32_t> TerminalRenderer::get_terminal_size() {
    ++size_call_count_;
    if (cached_term_w_ != 0 && size_call_count_ % 30 != 0) return {cached_term_w_, cached_term_h_};
    Result<terminal::Size> size = terminal::size();
    cached_term_w_ = size ? size.value().cols : 80;
    cached_term_h_ = size ? size.value().rows : 24;
    return {cached_term_w_, cached_term_h_};
}

Result<cv::Mat> TerminalRenderer::prepare_character_map(const cv::Mat& frame, std::int32_t term_w,
                                                        std::int32_t term_h) const {
    return fit_to_grid(frame, term_w, term_h);
}

void TerminalRenderer::assemble(const std::uint8_t* pixels, int rows, int cols) {
    const std::size_t cell_rows = rows >= 2 ? std::size_t(rows / 2) : 0;
    const std::size_t cell_cols = cols > 0 ? std::size_t(cols) : 0;
    const std::size_t n = cell_rows * cell_cols;
    // A new grid shape makes every remembered cell meaningless, even when the count stays the same
    // (100 x 30 and 150 x 20 cells): compared index by index, stale cells would survive.
    if (cell_rows != grid_rows_ || cell_cols != grid_cols_ || previous_cells_.size() != n) {
        previous_cells_.assign(n, RESET_CELL);
        grid_rows_ = cell_rows;
        grid_cols_ = cell_cols;
    }

    current_cells_.resize(n);
    std::uint64_t changed = 0;
    const std::size_t stride = cell_cols * 3;
    for (std::size_t y = 0; y < cell_rows; ++y) {
        const std::uint8_t* upper = pixels + 2 * y * stride;
        const std::uint8_t* lower = upper + stride;
        std::uint64_t* cur = current_cells_.data() + y * cell_cols;
        const std::uint64_t* prev = previous_cells_.data() + y * cell_cols;
        for (std::size_t x = 0; x < cell_cols; ++x) {
            cur[x] = pack_cell(upper + 3 * x, lower + 3 * x);
            changed += cur[x] != prev[x];
        }
    }

    const bool full = 4 * changed >= 3 * std::uint64_t(n);
    const std::size_t bound =
        full ? 3 + cell_rows * (cell_cols * MAX_CELL + 5) + 4 : changed * (MAX_CURSOR + MAX_CELL) + 4;
    output_.set_size(0);
    output_.reserve(bound + SLACK);
    std::uint8_t* const start = output_.data();
    std::uint8_t* p = start;
    const std::uint64_t* cur = current_cells_.data();
    const std::uint64_t* prev = previous_cells_.data();
    if (full) {
        p = put_literal(p, "\x1b[H", 3);
        for (std::size_t y = 0; y < cell_rows; ++y) {
            for (std::size_t x = 0; x < cell_cols; ++x) p = put_cell(p, cur[y * cell_cols + x]);
            p = put_literal(p, "\x1b[K\r\n", 5);
        }
    } else {
        for (std::size_t y = 0; y < cell_rows; ++y) {
            const std::size_t row = y * cell_cols;
            for (std::size_t x = 0; x < cell_cols; ++x) {
                if (cur[row + x] == prev[row + x]) continue;
                p = put_cursor(p, std::uint32_t(y + 1), std::uint32_t(x + 1));
                for (; x < cell_cols && cur[row + x] != prev[row + x]; ++x) p = put_cell(p, cur[row + x]);
            }
        }
    }
    p = put_literal(p, "\x1b[0m", 4);
    output_.set_size(std::size_t(p - start));
    previous_cells_.swap(current_cells_);
}

Status TerminalRenderer::render_character_map(const cv::Mat& frame) {
    assemble(frame.data, frame.rows, frame.cols);
    return writer_.send(output_.data(), output_.size());
}

Status TerminalRenderer::hide_cursor() {
    return write_screen_control(HIDE_CURSOR, sizeof HIDE_CURSOR - 1);
}

Status TerminalRenderer::show_cursor() {
    return write_screen_control(SHOW_CURSOR, sizeof SHOW_CURSOR - 1);
}

}  // namespace corvane
