#include "modules/codec.hpp"

#include <zlib.h>

#include <algorithm>
#include <array>
#include <climits>
#include <cmath>
#include <cstring>
#include <string>

// The sharpening gain must round every operation on its own so that frames come out the same on
// every machine; a fused multiply-add (the default contraction of GNU C++ on targets with FMA)
// would round differently. The build also passes -ffp-contract=off for this file; the pragma keeps
// the guarantee when the file is compiled on its own. It comes after the includes so that inline
// library code keeps its own settings.
#if defined(__clang__)
#pragma clang fp contract(off)
#elif defined(__GNUC__)
#pragma GCC optimize("fp-contract=off")
#endif

namespace corvane {
namespace {

constexpr int LEVEL = 6;
constexpr int WINDOW_BITS = 15;
constexpr int MEM_LEVEL = 8;  // zlib's default; deflateBound is tight only for this setting

// zlib counts in uInt, so runs beyond 4 GiB are handed over in pieces of at most this size.
constexpr std::size_t MAX_CHUNK = UINT_MAX;

// Inflated bytes past the frame land here only to be checked, never kept, so a tiny payload that
// inflates to gigabytes costs time but no memory.
constexpr std::size_t SCRATCH_SIZE = 16 * 1024;

// zlib streams own heap state that must be released on every path.
struct Deflater {
    z_stream s{};
    bool live = false;
    ~Deflater() {
        if (live) deflateEnd(&s);
    }
};

struct Inflater {
    z_stream s{};
    bool live = false;
    ~Inflater() {
        if (live) inflateEnd(&s);
    }
};

Error corrupt_stream() {
    return Error::step(IoError::fixed(IoKind::InvalidInput, IoText::kCorruptDeflate));
}

Error compress_failed(IoText text) {
    return Error::of(Fault::kCompress, IoError::fixed(IoKind::Other, text));
}

// Hands the next piece of input to zlib once it has used up the previous one.
void feed(z_stream& s, const std::uint8_t*& data, std::size_t& left) {
    if (s.avail_in != 0 || left == 0) return;
    const std::size_t piece = std::min(left, MAX_CHUNK);
    s.next_in = const_cast<Bytef*>(data);  // zlib's API is not const-correct; it only reads
    s.avail_in = static_cast<uInt>(piece);
    data += piece;
    left -= piece;
}

// Inflates the whole payload, keeping the first `keep` bytes in `out` and checking the rest in a
// scratch buffer. `out` grows with what actually inflates, never beyond `keep`, so a payload
// that claims a huge frame but holds little costs little. Returns the number of bytes inflated,
// kept or not. Stops at the end of the stream or when the input runs out; any error of the
// decompressor is the corrupt-stream failure, wherever in the stream it occurs.
Result<std::uint64_t> inflate_payload(const std::uint8_t* data, std::size_t len,
                                      std::vector<std::uint8_t>& out, std::uint64_t keep) {
    Inflater z;
    if (inflateInit2(&z.s, WINDOW_BITS) != Z_OK) return corrupt_stream();
    z.live = true;

    std::array<std::uint8_t, SCRATCH_SIZE> scratch;
    std::uint64_t produced = 0;
    for (;;) {
        feed(z.s, data, len);
        std::uint8_t* dest = scratch.data();
        std::size_t room = scratch.size();
        if (produced < keep) {
            if (produced == out.size())
                out.resize(std::size_t(
                    std::min<std::uint64_t>(keep, std::max<std::uint64_t>(2 * produced, 1 << 16))));
            dest = out.data() + produced;
            room = std::size_t(std::min<std::uint64_t>(out.size() - produced, MAX_CHUNK));
        }
        z.s.next_out = dest;
        z.s.avail_out = static_cast<uInt>(room);
        const int rc = inflate(&z.s, Z_NO_FLUSH);
        produced += room - z.s.avail_out;
        if (rc == Z_STREAM_END) return produced;
        // Output room is always offered, so "no progress possible" means the input ended before
        // the stream did: what has been inflated so far counts.
        if (rc == Z_BUF_ERROR) return produced;
        if (rc != Z_OK) return corrupt_stream();  // bad header, preset dictionary, bad data or checksum
    }
}

// Multiplies every spectrum element by 1 + strength * d / (R/2), where d is the distance of its
// frequency from zero. The order of the float operations is part of the output format.
void apply_gain(cv::Mat& spectrum, float strength) {
    const int rows = spectrum.rows;
    const int cols = spectrum.cols;
    const int half_rows = rows / 2;
    const int half_cols = cols / 2;
    const float radius = static_cast<float>(rows) / 2.0f;  // also the divisor across the columns
    for (int y = 0; y < rows; ++y) {
        const float fy = static_cast<float>(y < half_rows ? y : rows - y);
        const float yy = fy * fy;
        float* p = spectrum.ptr<float>(y);
        for (int x = 0; x < cols; ++x) {
            const float fx = static_cast<float>(x < half_cols ? x : cols - x);
            const float xx = fx * fx;
            const float d = std::sqrt(yy + xx);
            const float gain = d / radius * strength + 1.0f;
            p[2 * x] *= gain;
            p[2 * x + 1] *= gain;
        }
    }
}

// One channel through the forward transform, the gain and back to 8 bits. Runs inside guard().
cv::Mat sharpen_plane(const cv::Mat& plane, float strength) {
    cv::Mat spectrum;
    {
        cv::Mat real;
        plane.convertTo(real, CV_32F, 1.0, 0.0);
        // At the plane's own size: padding to a faster transform size would change the result.
        cv::dft(real, spectrum, cv::DFT_COMPLEX_OUTPUT, 0);
    }
    apply_gain(spectrum, strength);
    cv::Mat restored;
    cv::dft(spectrum, restored, cv::DFT_INVERSE | cv::DFT_SCALE | cv::DFT_REAL_OUTPUT, 0);
    spectrum.release();
    cv::Mat out;
    restored.convertTo(out, CV_8U, 1.0, 0.0);  // rounds and saturates, so overshoot clips
    return out;
}

}  // namespace

Result<std::vector<std::uint8_t>> VideoCodec::compress_raw(const std::uint8_t* data, std::size_t len) {
    Deflater z;
    if (deflateInit2(&z.s, LEVEL, Z_DEFLATED, WINDOW_BITS, MEM_LEVEL, Z_DEFAULT_STRATEGY) != Z_OK)
        return compress_failed(IoText::kDeflateError);
    z.live = true;

    // deflateBound is an upper limit for the whole stream, so one allocation suffices.
    std::vector<std::uint8_t> out(deflateBound(&z.s, static_cast<uLong>(len)));
    std::size_t written = 0;
    for (;;) {
        feed(z.s, data, len);
        if (written == out.size()) out.resize(out.size() + out.size() / 2 + 64);  // bound was short
        const std::size_t room = std::min(out.size() - written, MAX_CHUNK);
        z.s.next_out = out.data() + written;
        z.s.avail_out = static_cast<uInt>(room);
        // Finish once every input byte has been handed to zlib.
        const bool finishing = len == 0;
        const int rc = deflate(&z.s, finishing ? Z_FINISH : Z_NO_FLUSH);
        written += room - z.s.avail_out;
        if (rc == Z_STREAM_END) break;
        if (rc != Z_OK && rc != Z_BUF_ERROR)
            return compress_failed(finishing ? IoText::kDeflateError : IoText::kCorruptDeflate);
    }
    out.resize(written);
    return out;
}

Status VideoCodec::inflate_frame(const std::uint8_t* data, std::size_t len, std::int32_t rows,
                                 std::int32_t cols, std::vector<std::uint8_t>& out) {
    const bool valid_size = rows >= 0 && cols >= 0;
    const std::uint64_t frame_len = valid_size ? std::uint64_t(rows) * std::uint64_t(cols) * 3 : 0;
    out.clear();
    Result<std::uint64_t> produced = inflate_payload(data, len, out, frame_len);
    if (!produced) return produced.error();
    // Too few bytes for the frame: the first row that does not fit is the one holding byte
    // `produced`. Checked before any matrix exists, so a lying size never reserves memory.
    if (valid_size && rows > 0 && produced.value() < frame_len) {
        const std::uint64_t row_len = std::uint64_t(cols) * 3;
        return Error{Fault::kShortPayload, {}, 0, {}, (produced.value() / row_len + 1) * row_len,
                     produced.value()};
    }
    out.resize(std::size_t(frame_len));
    return {};
}

Result<cv::Mat> VideoCodec::decompress_lossless(const std::uint8_t* data, std::size_t len, std::int32_t rows,
                                                std::int32_t cols) {
    std::vector<std::uint8_t> inflated;
    if (Status done = inflate_frame(data, len, rows, cols, inflated); !done) return done.error();
    return guard([&] {
        cv::Mat frame(rows, cols, CV_8UC3);  // continuous: rows lie back to back as in the payload
        if (!inflated.empty()) std::memcpy(frame.data, inflated.data(), inflated.size());
        return frame;
    });
}

Result<cv::Mat> VideoCodec::sharpen_with_dft(const cv::Mat& frame, float strength) {
    // Written as "not above 0" so that NaN gives the copy too, as it does in the player.
    if (!(strength > 0.0f)) return guard([&] { return frame.clone(); });

    std::vector<cv::Mat> planes;
    if (Status split = guard([&] { cv::split(frame, planes); }); !split) return split.error();

    std::array<cv::Mat, 3> sharpened;
    for (std::size_t i = 0; i < sharpened.size(); ++i) {
        if (i >= planes.size()) return Error{Fault::kMissingPlane, {}, 0, {}, i, planes.size()};
        Result<cv::Mat> plane = guard([&] { return sharpen_plane(planes[i], strength); });
        if (!plane.ok()) return plane.error();
        sharpened[i] = plane.take();
    }
    return guard([&] {
        cv::Mat out;
        cv::merge(sharpened.data(), sharpened.size(), out);
        return out;
    });
}

}  // namespace corvane
