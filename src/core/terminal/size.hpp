// Terminal size query.
//
// Contract:
// - `size()` asks the operating system for the terminal's columns and rows: the window size of the
//   controlling terminal ("/dev/tty"), else of standard output, else what `tput cols` and
//   `tput lines` print. It returns the size, or the failure as a kStep error with its number.
// - `tput` is started through PATH with an argument vector (never a shell), with standard input on
//   /dev/null and both outputs captured; the call blocks until it exits.
// - Owns nothing between calls; every descriptor it opens is close-on-exec and closed before it
//   returns. Any thread may call.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <utility>

#include "core/error.hpp"

namespace corvane::terminal {

struct Size {
    std::uint16_t cols, rows;
};

Result<Size> size();

// The window size of "/dev/tty", or of standard output when there is no controlling terminal.
Result<Size> window_size();

// The value `tput ARG` prints, read digit by digit modulo 65536; nothing when it cannot run or
// prints no positive value.
std::optional<std::uint16_t> tput_value(const char* arg);

// The digits of `text` accumulated modulo 65536, every other byte skipped.
std::uint16_t parse_digits(std::string_view text);

}  // namespace corvane::terminal
