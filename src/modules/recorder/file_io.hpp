// Buffered file writer and reader for recording files.
//
// Contract:
// - `RecordingWriter` owns one file descriptor (opened close-on-exec, created 0666 before umask,
//   truncated) and an 8192-byte buffer that starts out holding the signature. Writes that fit go
//   to the buffer; others flush it first and, from 8192 bytes on, go straight to the file.
//   `finish()` (also run by the destructor, and at process exit for writers still open) writes
//   the buffer out, ignoring a failure, and closes the file. In a forked child it only closes.
// - The writer keeps the file ending at a record boundary: `commit()` marks the end of each
//   complete record, and `rollback()` after a failed write cuts a partial record off the file and
//   the buffer, so a recording stays playable up to its last complete frame and later records
//   never follow garbage. A failing final flush is cut back the same way.
// - `RecordingReader` owns a read-only descriptor and an 8192-byte buffer; a request that meets
//   the end of the file fails with UnexpectedEof "failed to fill whole buffer".
// - Failures are returned as `IoError`. One thread at a time per object.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "error.hpp"

namespace corvane {

using IoStatus = std::optional<IoError>;

// Asked when a signal interrupts a blocking open (a FIFO waiting for its peer): true ends the open
// with EINTR, so the caller can report the signal, instead of waiting on.
struct StopCheck {
    bool (*fn)(void* context) = nullptr;
    void* context = nullptr;
    bool operator()() const { return fn && fn(context); }
};

class RecordingWriter {
public:
    static constexpr std::size_t kBufferSize = 8192;

    // Opens the file at `path` for writing, creating it if missing but not truncating it yet, so
    // that the caller can still decide to keep a recording that runs on the same file. The buffer
    // already holds the signature.
    static std::variant<std::unique_ptr<RecordingWriter>, IoError> open(const std::string& path,
                                                                         StopCheck stop = {});
    // Empties the file (a regular one; others have nothing to cut): the new recording's start.
    IoStatus truncate();
    ~RecordingWriter();
    RecordingWriter(const RecordingWriter&) = delete;
    RecordingWriter& operator=(const RecordingWriter&) = delete;

    IoStatus write(const std::uint8_t* data, std::size_t len);
    // The bytes written so far end a complete record.
    void commit();
    // Drops everything written since the last commit, from the buffer and from the file.
    void rollback();
    // Writes the buffer out (a failure is ignored) and closes the file; idempotent.
    void finish();
    // Writes the buffer out and keeps the file open; a partial record is cut off on failure.
    IoStatus flush();
    // Whether both writers write the same file.
    bool same_file(const RecordingWriter& other) const { return dev_ == other.dev_ && ino_ == other.ino_; }

private:
    explicit RecordingWriter(int fd);
    IoStatus flush_buffer();
    void cut_file_to(std::uint64_t end);
    void forget_written_ends();

    int fd_;
    std::unique_ptr<std::uint8_t[]> buf_;
    std::size_t len_ = 0;
    std::uint64_t file_pos_ = 0;   // bytes the file holds
    std::uint64_t committed_ = 0;  // logical offset of the end of the last complete record
    std::deque<std::uint64_t> ends_;  // record ends not yet in the file, oldest first
    std::uint64_t on_disk_end_ = 0;   // the last record end the file holds
    pid_t owner_pid_;
    dev_t dev_ = 0;
    ino_t ino_ = 0;
    bool regular_ = false;
};

class RecordingReader {
public:
    static constexpr std::size_t kBufferSize = 8192;

    static std::variant<std::unique_ptr<RecordingReader>, IoError> open(const std::string& path,
                                                                         StopCheck stop = {});
    ~RecordingReader();
    RecordingReader(const RecordingReader&) = delete;
    RecordingReader& operator=(const RecordingReader&) = delete;

    IoStatus read_exact(std::uint8_t* out, std::size_t len);
    // Bytes left between the read position and the end of the file, as the file is now.
    std::optional<std::uint64_t> remaining() const;

private:
    explicit RecordingReader(int fd) : fd_(fd), buf_(new std::uint8_t[kBufferSize]) {}
    int fd_;
    std::unique_ptr<std::uint8_t[]> buf_;
    std::size_t pos_ = 0;
    std::size_t fill_ = 0;
};

// The error of a request that met the end of the file.
IoError unexpected_eof();

}  // namespace corvane
