// Terminal renderer: frames as 24-bit colour half-block cells on standard output.
//
// Contract:
// - A `TerminalRenderer` owns its frame writer (1 MiB), its assembly buffer (4 MiB, reserved once
//   and reused for every frame), the packed cells of the last frame it drew and a terminal-size
//   cache refreshed on every 30th `get_terminal_size` call.
// - `prepare_character_map` scales a frame to the display grid of a terminal size: width columns,
//   max(2 * rows - 2, 2) pixel rows, bilinear. `render_character_map` draws a prepared frame: one
//   U+2580 cell per two stacked pixels, only the runs of changed cells unless three quarters or
//   more of the cells changed, then "\x1b[0m"; everything is written and flushed before it returns.
// - OpenCV failures and a failing write of standard output come back as `Error`s (kLibrary,
//   kStep); after a failed write the renderer stays usable, its cell cache already describing the
//   frame that failed, and the unwritten bytes go out ahead of the next frame.
// - One renderer is used by one thread at a time (its owner's). Renderers share nothing but the
//   process-wide standard output stream.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <opencv2/core/mat.hpp>
#include <utility>
#include <vector>

#include "core/error.hpp"
#include "core/fd_io.hpp"
#include "core/frame/fit.hpp"

namespace corvane {

// Two stacked pixels (B, G, R bytes each) as one comparable word: upper red, green, blue in bits
// 0..23, lower red, green, blue in bits 24..47.
inline std::uint64_t pack_cell(const std::uint8_t* upper, const std::uint8_t* lower) {
    return std::uint64_t(upper[2]) | std::uint64_t(upper[1]) << 8 | std::uint64_t(upper[0]) << 16 |
           std::uint64_t(lower[2]) << 24 | std::uint64_t(lower[1]) << 32 | std::uint64_t(lower[0]) << 40;
}

inline constexpr std::uint64_t RESET_CELL = ~std::uint64_t{0};

// A byte buffer that grows without zero-filling, so a frame can be assembled with raw appends.
class ByteBuffer {
  public:
    explicit ByteBuffer(std::size_t capacity) : data_(new std::uint8_t[capacity]), cap_(capacity) {}
    void reserve(std::size_t capacity);
    std::uint8_t* data() { return data_.get(); }
    const std::uint8_t* data() const { return data_.get(); }
    std::size_t size() const { return size_; }
    void set_size(std::size_t n) { size_ = n; }

  private:
    std::unique_ptr<std::uint8_t[]> data_;
    std::size_t cap_;
    std::size_t size_ = 0;
};

class TerminalRenderer {
  public:
    static constexpr std::size_t WRITER_CAPACITY = 1 << 20;
    static constexpr std::size_t OUTPUT_CAPACITY = 4 << 20;

    TerminalRenderer();
    ~TerminalRenderer() { (void)writer_.flush(); }  // bytes a failed write left, ignoring failure
    TerminalRenderer(const TerminalRenderer&) = delete;
    TerminalRenderer& operator=(const TerminalRenderer&) = delete;

    // (columns, rows); never fails: an unknown size is 80 x 24.
    std::pair<std::int32_t, std::int32_t> get_terminal_size();

    Result<cv::Mat> prepare_character_map(const cv::Mat& frame, std::int32_t term_w,
                                          std::int32_t term_h) const;

    // `frame` must be CV_8UC3 with rows stored back to back. Fails only when the write fails.
    Status render_character_map(const cv::Mat& frame);

    // Enter and leave the full-screen mode: hidden cursor, alternate screen.
    static Status hide_cursor();
    static Status show_cursor();

    // The bytes of the last frame assembled.
    const ByteBuffer& output() const { return output_; }

    // Assembles one frame into `output` and updates the cell cache, without writing it.
    void assemble(const std::uint8_t* pixels, int rows, int cols);

  private:
    WriteBuffer writer_;
    ByteBuffer output_;
    std::vector<std::uint64_t> previous_cells_;
    std::vector<std::uint64_t> current_cells_;
    std::size_t grid_rows_ = 0;  // the cell grid `previous_cells_` describes
    std::size_t grid_cols_ = 0;
    std::int32_t cached_term_w_ = 0;
    std::int32_t cached_term_h_ = 0;
    std::uint32_t size_call_count_ = 0;
};

}  // namespace corvane
