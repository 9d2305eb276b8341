// Standard output: the process-wide stream and the buffered writers that feed it.
//
// Contract:
// - `StdoutStream` is the one stream over file descriptor 1. It keeps a small pending buffer for
//   short writes (the screen-control sequences) and passes large ones straight through, always in
//   order: bytes still pending from an earlier failed flush go out ahead of anything newer.
// - A closed descriptor 1 (EBADF) is a sink that accepts every byte. A write the kernel interrupts
//   is retried, and on a non-blocking descriptor a write that would block waits until the
//   descriptor is writable; a write that accepts zero bytes is an error.
// - `BufferedWriter` is a renderer's frame writer: a fixed buffer in front of the stream. Bytes it
//   could not hand on stay in it and go out ahead of the next bytes.
// - Failures are returned as `IoError`; callers decide whether that aborts their call.
// - Callers hold the interpreter lock, which keeps one frame's writes together; the stream also
//   has a mutex of its own so it is safe from any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>

#include "error.hpp"

namespace corvane::terminal {

using IoStatus = std::optional<IoError>;

// `fd` moved to a number above 2 (close-on-exec), so that a descriptor the process opens while
// one of 0, 1, 2 is closed never stands in for standard output. Returns -1 on failure.
int above_stdio(int fd);

// Writes all of [data, data + len) to `fd`; `written` tells how much went out before a failure.
IoStatus write_all(int fd, const std::uint8_t* data, std::size_t len, std::size_t& written,
                   const char* zero_message);

class StdoutStream {
public:
    static constexpr std::size_t kCapacity = 1024;

    // Queues short writes (a full buffer is written out first; long writes go straight through).
    // A failure to make room raises the panic "failed printing to stdout: ...".
    static void print(const char* data, std::size_t len);
    // Hands every pending byte to descriptor 1.
    static IoStatus flush();
    // Writes pending bytes, then `data`, straight to descriptor 1.
    static IoStatus write_through(const std::uint8_t* data, std::size_t len, std::size_t& written);
};

class BufferedWriter {
public:
    explicit BufferedWriter(std::size_t capacity);
    ~BufferedWriter();  // writes out what it holds, ignoring failures
    BufferedWriter(const BufferedWriter&) = delete;
    BufferedWriter& operator=(const BufferedWriter&) = delete;

    IoStatus write(const std::uint8_t* data, std::size_t len);
    // Writes out the buffer, then flushes the stream.
    IoStatus flush();
    // `write` followed by `flush`, without copying into the buffer when it is empty.
    IoStatus write_and_flush(const std::uint8_t* data, std::size_t len);
    std::size_t buffered() const { return len_; }

private:
    IoStatus flush_buffer();
    void keep(const std::uint8_t* data, std::size_t len);
    std::unique_ptr<std::uint8_t[]> buf_;
    std::size_t cap_;
    std::size_t len_ = 0;
};

}  // namespace corvane::terminal
