// libFuzzer target: inflation of a payload into a frame of a given size.
//
// Input: rows (int32, little-endian), cols (int32, little-endian), then the payload. Every
// outcome of `VideoCodec::decompress_lossless` is checked against zlib's own inflate run in one
// plain loop:
// - a stream zlib rejects (bad header, preset dictionary, bad data, bad checksum) throws the
//   "corrupt deflate stream" Panic, whatever the size asked for;
// - a negative size is OpenCV's error; too few inflated bytes for a non-empty frame throw
//   "range end index E out of range for slice of length N" with the exact E and N;
// - otherwise the frame has the size asked for and holds the first rows x cols x 3 inflated bytes.
// Memory stays bounded whatever the size fields claim (libFuzzer's -rss_limit_mb and
// -malloc_limit_mb catch an allocation that follows the claim rather than the data).
// The payload bytes also go through `compress_raw`, which must give zlib's level-6 stream
// byte for byte and come back unchanged.
#include <zlib.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "codec.hpp"
#include "reference_inflate.hpp"

using corvane::Panic;
using corvane::VideoCodec;

namespace {

[[noreturn]] void fail(const std::string& what) {
    std::fprintf(stderr, "invariant broken: %s\n", what.c_str());
    std::abort();
}

void check(bool ok, const std::string& what) {
    if (!ok) fail(what);
}

using Reference = fuzz_reference::Inflated;
using fuzz_reference::inflate_all;

std::int32_t get_i32(const std::uint8_t* p) {
    return static_cast<std::int32_t>(std::uint32_t(p[0]) | std::uint32_t(p[1]) << 8 | std::uint32_t(p[2]) << 16 |
                                     std::uint32_t(p[3]) << 24);
}

void check_round_trip(const std::uint8_t* data, std::size_t len) {
    corvane::CompressResult packed = VideoCodec::compress_raw(data, len);
    check(packed.ok(), "compress_raw failed");
    std::vector<std::uint8_t> expected(compressBound(static_cast<uLong>(len)));
    uLongf expected_len = static_cast<uLongf>(expected.size());
    check(compress2(expected.data(), &expected_len, data, static_cast<uLong>(len), 6) == Z_OK, "compress2");
    expected.resize(expected_len);
    check(packed.value() == expected, "compress_raw is not zlib's level-6 stream");
    if (len % 3 != 0) return;
    const auto cols = static_cast<std::int32_t>(len / 3);
    corvane::Result<cv::Mat> back = VideoCodec::decompress_lossless(packed.value().data(), packed.value().size(),
                                                                     len ? 1 : 0, cols);
    check(back.ok(), "round trip failed");
    check(len == 0 || std::memcmp(back.value().data, data, len) == 0, "round trip changed the bytes");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 8) return -1;  // not an input of this target; keep it out of the corpus
    const std::int32_t rows = get_i32(data);
    const std::int32_t cols = get_i32(data + 4);
    const std::uint8_t* payload = data + 8;
    const std::size_t len = size - 8;

    const bool negative = rows < 0 || cols < 0;
    const std::uint64_t frame_len = negative ? 0 : std::uint64_t(rows) * std::uint64_t(cols) * 3;
    const Reference ref = inflate_all(payload, len, frame_len);

    std::string panic;
    bool panicked = false;
    std::optional<corvane::Result<cv::Mat>> result;
    try {
        result.emplace(VideoCodec::decompress_lossless(payload, len, rows, cols));
    } catch (const Panic& p) {
        panicked = true;
        panic = p.message;
    }

    if (ref.corrupt) {
        check(panicked && panic == "called `Result::unwrap()` on an `Err` value: "
                                   "Custom { kind: InvalidInput, error: \"corrupt deflate stream\" }",
              "a stream zlib rejects was not reported as corrupt: " + panic);
    } else if (negative) {
        check(!panicked && result && !result->ok(), "a negative size was not OpenCV's error");
    } else if (rows > 0 && ref.total < frame_len) {
        const std::uint64_t row_len = std::uint64_t(cols) * 3;
        const std::uint64_t end = (ref.total / row_len + 1) * row_len;
        check(panicked && panic == "range end index " + std::to_string(end) + " out of range for slice of length " +
                                       std::to_string(ref.total),
              "a short stream gave the wrong outcome: " + panic);
    } else {
        check(!panicked && result && result->ok(), "a complete frame failed: " + panic);
        const cv::Mat& m = result->value();
        check(m.rows == rows && m.cols == cols, "wrong frame size");
        check(m.type() == CV_8UC3, "wrong frame type " + std::to_string(m.type()));
        check(frame_len == 0 || m.isContinuous(), "frame rows are not back to back");
        check(ref.kept.size() == frame_len, "reference kept the wrong length");
        check(frame_len == 0 || std::memcmp(m.data, ref.kept.data(), std::size_t(frame_len)) == 0,
              "frame bytes differ from the inflated bytes");
    }

    if (len <= 4096) check_round_trip(payload, len);
    return 0;
}
