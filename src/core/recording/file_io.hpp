// Buffered writer and reader of recording files.
//
// Contract:
// - `RecordingWriter` owns one file descriptor (close-on-exec, created 0666 before the umask) and
//   an 8192-byte `WriteBuffer` that starts out holding the signature. `open` does not truncate:
//   the caller empties the file with `truncate` once it is sure to start the new recording, so a
//   failure before that leaves the file, and a recording in progress on it, as they were; until
//   then the writer writes nothing to the file. `finish()` (also run by the destructor, and at
//   process exit for writers still open) writes the buffer out, ignoring a failure, and closes the
//   file; in a forked child, or before `truncate`, it only closes.
// - The file keeps ending at a record boundary: `commit()` marks the end of each complete
//   record, and `rollback()` after a failed write cuts a partial record off the file and the
//   buffer, so a recording stays playable up to its last complete frame. A flush that writes
//   only part of the buffer cuts the file back to the last record end it reached and keeps every
//   byte from there in the buffer, so a later flush writes those records whole.
// - `RecordingReader` owns a read-only descriptor and an 8192-byte buffer; a request that meets
//   the end of the file fails with UnexpectedEof "failed to fill whole buffer".
// - Failures are `Error`s (kOpen for opening, kStep for reads and writes). One thread at a time
//   per object.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <string>

#include "core/error.hpp"
#include "core/fd_io.hpp"

namespace corvane {

class RecordingWriter {
  public:
    static constexpr std::size_t WRITER_BUFFER_SIZE = 8192;

    static Result<std::unique_ptr<RecordingWriter>> open(const std::string& path, StopCheck stop = {});
    ~RecordingWriter();
    RecordingWriter(const RecordingWriter&) = delete;
    RecordingWriter& operator=(const RecordingWriter&) = delete;

    // Empties the file (a regular one; others have nothing to cut): the new recording's start, from
    // which on the writer writes to the file.
    Status truncate();
    Status write(const std::uint8_t* data, std::size_t len) { return buffer_.write(data, len); }
    // The bytes written so far end a complete record.
    void commit();
    // Drops everything written since the last commit, from the buffer and from the file.
    void rollback();
    // Writes the buffer out and keeps the file open. On failure the file ends where a record ends
    // (unless one began before the buffer's bytes) and the buffer keeps every byte after that.
    Status flush();
    // Writes the buffer out (a failure is ignored) and closes the file; idempotent.
    void finish();
    bool same_file(const RecordingWriter& other) const { return dev_ == other.dev_ && ino_ == other.ino_; }

  private:
    explicit RecordingWriter(int fd);
    static Status to_file(void* self, const std::uint8_t* data, std::size_t len, std::size_t& written);
    void cut_file_to(std::uint64_t end);
    void forget_written_ends();

    int fd_;
    WriteBuffer buffer_;
    std::uint64_t file_pos_ = 0;      // bytes the file holds
    std::uint64_t committed_ = 0;     // logical offset of the end of the last complete record
    std::deque<std::uint64_t> ends_;  // record ends not yet in the file, oldest first
    std::uint64_t on_disk_end_ = 0;   // the last record end the file holds
    pid_t owner_pid_;
    dev_t dev_ = 0;
    ino_t ino_ = 0;
    bool regular_ = false;
    bool started_ = false;  // the file was emptied for this recording
};

class RecordingReader {
  public:
    static constexpr std::size_t READER_BUFFER_SIZE = 8192;

    static Result<std::unique_ptr<RecordingReader>> open(const std::string& path, StopCheck stop = {});
    ~RecordingReader();
    RecordingReader(const RecordingReader&) = delete;
    RecordingReader& operator=(const RecordingReader&) = delete;

    Status read_exact(std::uint8_t* out, std::size_t len);
    // Bytes left between the read position and the end of the file, as the file is now; nothing
    // for a file that is not a regular one.
    std::optional<std::uint64_t> remaining() const;

  private:
    explicit RecordingReader(int fd) : fd_(fd), buf_(new std::uint8_t[READER_BUFFER_SIZE]) {}
    int fd_;
    std::unique_ptr<std::uint8_t[]> buf_;
    std::size_t pos_ = 0;
    std::size_t fill_ = 0;
};

// The failure of a request that met the end of the file.
Error unexpected_eof();

}  // namespace corvane
