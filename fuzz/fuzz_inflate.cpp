// libFuzzer target: a payload inflated into a frame of a claimed size. Input: rows and cols
// (int32, little-endian), then the payload. Against zlib's plain inflate: a stream zlib rejects is
// the corrupt-stream failure whatever the size; a negative size is OpenCV's refusal; too few bytes
// is kShortPayload with the exact end and length; otherwise the frame holds the first
// rows x cols x 3 inflated bytes. Memory follows the data, never the claim (libFuzzer's limits).
// The payload also goes through `compress_raw`, which must be zlib's level-6 stream byte for byte.
#include <zlib.h>

#include <cstring>

#include "check.hpp"
#include "core/recording/codec.hpp"
#include "reference_inflate.hpp"

using namespace corvane;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 8) return -1;
    std::int32_t rows, cols;
    std::memcpy(&rows, data, 4);
    std::memcpy(&cols, data + 4, 4);
    const std::uint8_t* payload = data + 8;
    const std::size_t len = size - 8;
    const bool negative = rows < 0 || cols < 0;
    const std::uint64_t frame_len = negative ? 0 : std::uint64_t(rows) * std::uint64_t(cols) * 3;
    const fuzz_reference::Inflated ref = fuzz_reference::inflate_all(payload, len, frame_len);

    Result<cv::Mat> got = VideoCodec::decompress_lossless(payload, len, rows, cols);
    if (ref.corrupt) {
        check(!got && got.error().io.text == IoText::kCorruptDeflate,
              "a stream zlib rejects was not corrupt");
    } else if (negative) {
        check(!got && got.error().fault == Fault::kLibrary, "a negative size was not OpenCV's refusal");
    } else if (rows > 0 && ref.total < frame_len) {
        const std::uint64_t row_len = std::uint64_t(cols) * 3;
        check(!got && got.error().fault == Fault::kShortPayload && got.error().length == ref.total &&
                  got.error().end == (ref.total / row_len + 1) * row_len,
              "a short stream gave the wrong failure");
    } else {
        check(got && got.value().rows == rows && got.value().cols == cols && got.value().type() == CV_8UC3,
              "a complete frame failed or has the wrong shape");
        check(frame_len == 0 || std::memcmp(got.value().data, ref.kept.data(), std::size_t(frame_len)) == 0,
              "frame bytes differ from the inflated bytes");
    }

    if (len > 4096) return 0;
    Result<std::vector<std::uint8_t>> packed = VideoCodec::compress_raw(payload, len);
    std::vector<std::uint8_t> expected(compressBound(uLong(len)));
    uLongf expected_len = uLongf(expected.size());
    check(compress2(expected.data(), &expected_len, payload, uLong(len), 6) == Z_OK, "compress2");
    expected.resize(expected_len);
    check(packed && packed.value() == expected, "compress_raw is not zlib's level-6 stream");
    return 0;
}
