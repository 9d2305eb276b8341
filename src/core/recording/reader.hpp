// Random access to a recording file, with a report of the first damage.
//
// Contract:
// - `RecordingFile::open` reads the signature and every record header, nothing more. The headers
//   that make sense and whose payload lies inside the file are the records; the first one that
//   does not ends the readable part of the file and is kept as `damage()` (a file without the
//   signature has no records and a damage without a record number).
// - `frame(i)` decodes frame i from the nearest key frame at or before it, or from the frame last
//   decoded when that is closer. A payload that is not exactly one frame's zlib stream is a
//   `RecordDamage` of that record; a failed read is an `Error` (kStep with the system's error).
// - Memory: the headers, the frame last decoded and one payload at a time; a payload inflates
//   into no more room than its frame, whatever the stream holds.
// - Damage is data: a kind and its numbers, worded by the binding. One thread at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/error.hpp"
#include "core/recording/format.hpp"

namespace corvane {

enum class DamageKind : std::uint8_t {
    kEmptyFile,      // no byte at all
    kNoSignature,    // the file does not begin with the signature
    kHeaderCut,      // n[0] of HEADER_SIZE bytes
    kUnknownType,    // n[0]: the frame type
    kEmptySize,      // n[0] x n[1]: cols x rows
    kDeltaFirst,     // a delta frame with no frame before it
    kDeltaResized,   // n[0] x n[1] after n[2] x n[3] (cols x rows)
    kPayloadCut,     // n[0] of n[1] payload bytes in the file
    kCorruptStream,  // `reason`: zlib's words
    kTooLong,        // inflates to more than n[0] bytes
    kStreamCut,      // the stream stops after n[0] of n[1] bytes
    kTooShort,       // inflates to n[0] bytes, not n[1]
    kStray,          // n[0] bytes after the end of the stream
    kFileChanged,    // the payload is no longer all in the file
};

struct RecordDamage {
    DamageKind kind;
    std::uint64_t offset;               // where the damage starts in the file
    std::optional<std::size_t> record;  // numbered from 0; none for the signature
    std::int64_t n[4] = {0, 0, 0, 0};
    std::string reason;
};

struct RecordEntry {
    std::uint64_t offset;
    format::RecordHeader header;

    std::uint64_t raw_size() const { return std::uint64_t(header.rows) * std::uint64_t(header.cols) * 3; }
    std::uint64_t payload_at() const { return offset + format::HEADER_SIZE; }
    std::uint64_t end() const { return payload_at() + header.payload_len; }
};

class RecordingFile {
  public:
    // kOpen with the system's error when the file cannot be opened; kStep when it cannot be read.
    static Result<std::unique_ptr<RecordingFile>> open(const std::string& path);
    ~RecordingFile();
    RecordingFile(const RecordingFile&) = delete;
    RecordingFile& operator=(const RecordingFile&) = delete;

    const std::vector<RecordEntry>& records() const { return records_; }
    const std::vector<std::size_t>& key_frames() const { return keys_; }
    const std::optional<RecordDamage>& damage() const { return damage_; }
    std::uint64_t file_size() const { return file_size_; }
    std::size_t key_at_or_before(std::size_t index) const;

    // Frame `index` (< records().size()) into `out`, rows x cols x 3 bytes; `damage` set when a
    // payload on the way is damaged (then `out` is left as it was).
    Status frame(std::size_t index, std::vector<std::uint8_t>& out, std::optional<RecordDamage>& damage);
    void close();

  private:
    explicit RecordingFile(int fd) : fd_(fd) {}
    Status scan();
    Status read_at(std::uint64_t offset, std::uint8_t* out, std::size_t len, std::size_t& got) const;
    // Applies record `index` to `frame_` (the frame before it, for a delta).
    Status apply(std::size_t index, std::optional<RecordDamage>& damage);

    int fd_;
    std::uint64_t file_size_ = 0;
    std::vector<RecordEntry> records_;
    std::vector<std::size_t> keys_;
    std::optional<RecordDamage> damage_;
    std::vector<std::uint8_t> frame_;  // frame `decoded_`, when that is set
    std::optional<std::size_t> decoded_;
    std::vector<std::uint8_t> payload_, plain_;
};

}  // namespace corvane
