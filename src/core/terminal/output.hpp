// Standard output: the one process-wide stream over descriptor 1.
//
// Contract:
// - Short writes (the screen-control sequences) wait in a small pending buffer until `flush`;
//   `write_stdout` passes bytes straight through after whatever is pending, so the order on the
//   descriptor is always the order of the calls. A renderer puts its own `WriteBuffer` (with
//   `stdout_sink`) in front of it for frames.
// - Failures: `print` reports kPrint (the caller aborts with "failed printing to stdout"); the
//   others kStep. A closed descriptor 1 accepts everything (see fd_io.hpp).
// - Callers hold the interpreter lock, which keeps one frame's writes together; a mutex also
//   makes the stream safe from any thread.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/fd_io.hpp"

namespace corvane::terminal {

inline constexpr std::size_t STDOUT_PENDING = 1024;

// Queues short writes (a full buffer is written out first; long writes go straight through).
Status print(const char* data, std::size_t len);
// Hands every pending byte to descriptor 1.
Status flush_stdout();
// Writes pending bytes, then `data`, straight to descriptor 1.
Status write_stdout(const std::uint8_t* data, std::size_t len, std::size_t& written);
// `write_stdout` as the sink of a `WriteBuffer`.
Status stdout_sink(void* context, const std::uint8_t* data, std::size_t len, std::size_t& written);

}  // namespace corvane::terminal
