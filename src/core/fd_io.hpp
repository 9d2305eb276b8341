// Descriptor I/O shared by the terminal output and the recording files.
//
// Contract:
// - `above_stdio` keeps descriptors the module opens off the numbers 0 to 2, so that one opened
//   while a standard descriptor is closed never stands in for it. `open_file` opens close-on-exec
//   and above 2; an open that blocks (a FIFO waiting for its peer) is retried after a signal
//   unless the caller's `StopCheck` says to give up, which ends it with EINTR.
// - `write_all` writes every byte or fails; an interrupted write is retried, a non-blocking
//   descriptor that would block is waited on, a write that takes no bytes is WriteZero, and a
//   closed standard output (EBADF on descriptor 1) swallows everything.
// - `WriteBuffer` is the one buffered writer: a fixed buffer in front of a sink. Writes that fit
//   are copied in; others flush it first and, from its capacity on, go straight to the sink. Bytes
//   the sink did not take stay at the front, in order, for the next flush. Failures are
//   `Fault::kStep` errors; the owner decides what a failure means for its file.
// - No state of its own beyond each buffer; one thread at a time per buffer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "core/error.hpp"

namespace corvane {

struct StopCheck {
    bool (*fn)(void* context) = nullptr;
    void* context = nullptr;
    bool operator()() const { return fn && fn(context); }
};

int above_stdio(int fd);
// A descriptor, or the failure: kOpen with the error number (EINTR when `stop` ended the wait),
// or with the NUL-in-path text for a path the system cannot take.
Result<int> open_file(const std::string& path, int flags, StopCheck stop = {});
// `written` tells how much went out before a failure.
Status write_all(int fd, const std::uint8_t* data, std::size_t len, std::size_t& written,
                 IoText zero_text = IoText::kWriteWhole);

class WriteBuffer {
  public:
    using Sink = Status (*)(void* context, const std::uint8_t* data, std::size_t len, std::size_t& written);

    WriteBuffer(std::size_t capacity, Sink sink, void* context);
    Status write(const std::uint8_t* data, std::size_t len);
    // Hands every byte held to the sink.
    Status flush();
    // `write` and `flush` in one, without copying into an empty buffer; what the sink did not
    // take is kept for the next flush.
    Status send(const std::uint8_t* data, std::size_t len);
    std::size_t size() const { return len_; }
    // Drops the bytes held from `n` on.
    void truncate(std::size_t n) { len_ = n < len_ ? n : len_; }

  private:
    void keep(const std::uint8_t* data, std::size_t len);
    std::unique_ptr<std::uint8_t[]> buf_;
    std::size_t cap_;
    std::size_t len_ = 0;
    Sink sink_;
    void* context_;
};

}  // namespace corvane
