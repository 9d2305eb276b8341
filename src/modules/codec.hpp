// Frame codec: lossless zlib payloads for recorded frames, and frequency-domain sharpening for
// frames that are played back.
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
// - Failures:
//   * `compress_raw` returns an `IoError` (kind Other) whose display text the recorder reports.
//   * `decompress_lossless` and `sharpen_with_dft` return a `CvError` for OpenCV's failures and
//     for missing colour planes.
//   * A payload that is not a valid zlib stream, or that inflates to fewer bytes than the frame
//     needs, throws `Panic`: the binding aborts the Python call with PanicException. A failed
//     deep copy in `sharpen_with_dft` also throws `Panic`.
//   * Exhausted memory while sizing the compressor's output throws std::bad_alloc.
#pragma once

#include <cstddef>
#include <cstdint>
#include <opencv2/core.hpp>
#include <utility>
#include <variant>
#include <vector>

#include "error.hpp"

namespace corvane {

// A compressed payload, or the compressor's failure. Shaped like `Result` so callers use the same
// idiom; the failure is an I/O error because the recorder reports its display text.
class [[nodiscard]] CompressResult {
public:
    CompressResult(std::vector<std::uint8_t> payload) : v_(std::move(payload)) {}
    CompressResult(IoError error) : v_(std::move(error)) {}
    bool ok() const { return v_.index() == 0; }
    std::vector<std::uint8_t>& value() { return std::get<0>(v_); }
    std::vector<std::uint8_t> take() { return std::move(std::get<0>(v_)); }
    const IoError& error() const { return std::get<1>(v_); }

private:
    std::variant<std::vector<std::uint8_t>, IoError> v_;
};

struct VideoCodec {
    // One complete zlib stream holding `len` bytes from `data` (`data` may be null when `len` is
    // 0; an empty run still gives a complete stream). Failures carry the text
    // "corrupt deflate stream" (while taking input) or "deflate compression error" (while
    // finishing).
    static CompressResult compress_raw(const std::uint8_t* data, std::size_t len);

    // A new CV_8UC3 matrix of rows x cols holding the first rows*cols*3 inflated bytes of the
    // payload. Bytes after the end of the stream are ignored, and a payload that stops early
    // (even inside its checksum) yields what inflated so far. Memory stays bounded by the frame:
    // bytes past rows*cols*3 are only inflated to validate the stream, then dropped.
    // Throws Panic for a corrupt stream (checked first, wherever in the stream the damage is)
    // and for one that inflates to too few bytes; returns OpenCV's error when the matrix cannot
    // be created (negative size, memory exhausted).
    static Result<cv::Mat> decompress_lossless(const std::uint8_t* data, std::size_t len,
                                               std::int32_t rows, std::int32_t cols);

    // A new CV_8UC3 frame whose first three channels are sharpened by multiplying each spectrum
    // component with 1 + strength * |frequency| / (rows / 2). A strength that is not above 0
    // (including NaN) returns a deep copy of `frame` with its own type instead. Fewer than three
    // channels give CvError -211 "Index: i out of bounds: 0..n".
    static Result<cv::Mat> sharpen_with_dft(const cv::Mat& frame, float strength);
};

}  // namespace corvane
