// A recording written one record per tick of the player's clock, from frames that carry their time.
//
// Contract:
// - The file is what `RecordingFile` reads and the player plays: the signature, then one record
//   per frame, a key frame first, on every change of size and as every 120th record, deltas
//   otherwise; a frame equal to the one before is a delta of zeros whose payload is compressed
//   once per frame size.
// - `create` makes the file (0666 before the umask, close-on-exec): it must not exist unless
//   `overwrite`, which empties an existing one. kOpen with the system's error on failure.
// - The format keeps no time, so `add` is told when each frame appears and writes the frame current
//   at every tick of `period` seconds before that: a frame that lasts repeats, one that lasts less
//   than a tick is left out. `close(end)` fills the ticks up to `end` (default: the last frame's
//   time), writes the last frame at least once, and closes the file; closing again does nothing.
// - Every record goes out whole or is cut off the file again, so a failed write (kStep with the
//   system's error) leaves the file ending at a complete record. One thread at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/error.hpp"

namespace corvane {

inline constexpr std::uint64_t KEY_FRAME_INTERVAL = 120;

struct TimedFrame {
    const std::uint8_t* data;  // rows x cols x 3 bytes
    std::int32_t rows;
    std::int32_t cols;
    std::uint32_t term_w;
    std::uint32_t term_h;
};

class TimedWriter {
  public:
    static Result<std::unique_ptr<TimedWriter>> create(const std::string& path, bool overwrite,
                                                       double period);
    ~TimedWriter();
    TimedWriter(const TimedWriter&) = delete;
    TimedWriter& operator=(const TimedWriter&) = delete;

    // One record now.
    Status write_frame(const TimedFrame& frame);
    // `frame` appears at `at` seconds from the start and stays until the next one.
    Status add(const TimedFrame& frame, double at);
    Status close(std::optional<double> end);

    bool closed() const { return fd_ < 0; }
    std::uint64_t records() const { return records_; }
    double period() const { return period_; }

  private:
    TimedWriter(int fd, double period) : fd_(fd), period_(period) {}
    Status write_whole(const std::uint8_t* data, std::size_t len);
    Status fill(double until);
    Status write_current();

    int fd_;
    double period_;
    std::uint64_t records_ = 0;
    std::uint64_t length_ = 0;  // bytes of whole records (and the signature) in the file
    std::vector<std::uint8_t> previous_;
    std::int32_t previous_rows_ = -1, previous_cols_ = -1;
    std::vector<std::uint8_t> current_;
    TimedFrame current_frame_{};
    bool has_current_ = false;
    bool current_written_ = false;
    double last_at_ = 0.0;
    std::vector<std::uint8_t> zeros_;  // the compressed zero delta of frames of `zeros_size_` bytes
    std::size_t zeros_size_ = 0;
    std::vector<std::uint8_t> record_;
};

}  // namespace corvane
