// The process-wide terminal input reader.
//
// Goals: bounded latency (a zero-timeout poll never waits: not on the terminal, not on a lock held
// by another thread, not on an incomplete sequence), bounded allocation (one 1024-byte read
// buffer, capped parser buffers), no lost data (bytes of an incomplete sequence stay pending for
// the next poll; a window-size change never displaces a typed key).
//
// Contract:
// - Created by the first `poll` or `read` of the process and never destroyed. Its input is
//   descriptor 0 when that is a terminal, else "/dev/tty" opened close-on-exec. The descriptor's
//   blocking mode and terminal attributes are never changed: reads take only what FIONREAD says is
//   there, so a blocking descriptor never blocks, and end of input or a hung-up terminal reads as
//   nothing.
// - SIGWINCH gets a handler that records the signal and writes one byte to a socket pair; it still
//   calls a handler installed before it. The reader turns each wait that finds the signal into one
//   Resize event.
// - Replies the terminal sends (cursor position and the like) are dropped as they are decoded;
//   a poll, also one with a zero timeout, looks at up to 256 of them before it answers.
// - Failures come back as kStep `Error`s; no terminal at all gives, on every call, the
//   Other / kNoInputReader one.
// - Any thread may call; one process-wide mutex guards the reader, and `poll` only tries it.
#pragma once

#include <chrono>
#include <optional>

#include "core/error.hpp"
#include "core/terminal/keys.hpp"

namespace corvane::terminal {

// Whether an event is ready, waiting at most `timeout` (nothing: wait as long as it takes).
Result<bool> poll_input(std::optional<std::chrono::milliseconds> timeout);
// The next event, waiting for one if none is ready.
Result<keys::Event> read_input();

}  // namespace corvane::terminal
