// Frame codec: lossless zlib payloads for recorded frames.
//
// Contract:
// - `VideoCodec` holds no state. Every call builds its own compressor, decompressor, buffers and
//   matrices and releases them before it returns, so any thread may call any operation at any
//   time, also concurrently.
// - Ownership: input bytes and input matrices are only read and never retained. Every returned
//   byte vector or matrix is new and belongs to the caller; a returned matrix never shares data
//   with an input.
// - A payload is exactly one zlib stream (RFC 1950, header 78 9C, deflate level 6, 32 KiB window,
//   Adler-32 trailer), with no framing of its own.
// - Failures are `Error`s: kCompress from the compressor; kStep (corrupt deflate stream) for a
//   payload that is not a valid zlib stream, wherever the damage is; kShortPayload for one that
//   inflates to fewer bytes than the frame needs; kLibrary for OpenCV's refusals and kMissingPlane
//   for a frame with fewer than three colour planes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <opencv2/core.hpp>
#include <string>
#include <utility>
#include <vector>

#include "core/error.hpp"

namespace corvane {

// What a payload held, as far as `VideoCodec::inflate_checked` inflated it.
struct InflateReport {
    std::uint64_t produced = 0;  // bytes inflated, kept or not
    bool ended = false;          // the zlib stream came to its end
    std::size_t unused = 0;      // payload bytes after the end of the stream
    bool corrupt = false;        // zlib refused the stream; `reason` holds its words
    std::string reason;
};

struct VideoCodec {
    // One complete zlib stream holding `len` bytes from `data` (`data` may be null when `len` is
    // 0; an empty run still gives a complete stream), at zlib `level` (recordings: 6).
    static Result<std::vector<std::uint8_t>> compress_raw(const std::uint8_t* data, std::size_t len,
                                                          int level = 6);

    // The first rows*cols*3 inflated bytes of the payload into `out` (resized to that).
    // Inflates the payload until it ends, turns out corrupt, runs out, or has given more than
    // `keep` bytes (then it stops at keep + 1). The first `keep` bytes land in `out`, which grows
    // only with what actually inflates. Never fails: the report tells what was found.
    static InflateReport inflate_checked(const std::uint8_t* data, std::size_t len, std::uint64_t keep,
                                         std::vector<std::uint8_t>& out);

    static Status inflate_frame(const std::uint8_t* data, std::size_t len, std::int32_t rows,
                                std::int32_t cols, std::vector<std::uint8_t>& out);

    // A new CV_8UC3 matrix of rows x cols holding the first rows*cols*3 inflated bytes of the
    // payload. Bytes after the end of the stream are ignored, and a payload that stops early
    // (even inside its checksum) yields what inflated so far. Memory stays bounded by the frame:
    // bytes past rows*cols*3 are only inflated to validate the stream, then dropped.
    // A corrupt stream fails first, wherever the damage is; then one that inflates to too few
    // bytes; then OpenCV's refusal of the matrix (negative size, memory exhausted).
    static Result<cv::Mat> decompress_lossless(const std::uint8_t* data, std::size_t len, std::int32_t rows,
                                               std::int32_t cols);
};

}  // namespace corvane
