#include "core/recording/codec.hpp"

#include <zlib.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <string>

namespace corvane {
namespace {

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

// Inflates the payload, keeping the first `keep` bytes in `out` and checking the rest in a
// scratch buffer. `out` grows with what actually inflates, never beyond `keep`, so a payload
// that claims a huge frame but holds little costs little. Stops at the end of the stream, when
// the input runs out, on any error of the decompressor (bad header, preset dictionary, bad data
// or checksum), or once more than `limit` bytes were inflated.
InflateReport run_inflate(const std::uint8_t* data, std::size_t len, std::vector<std::uint8_t>& out,
                          std::uint64_t keep, std::uint64_t limit) {
    InflateReport report;
    Inflater z;
    if (inflateInit2(&z.s, WINDOW_BITS) != Z_OK) {
        report.corrupt = true;
        report.reason = "out of memory";
        return report;
    }
    z.live = true;

    std::array<std::uint8_t, SCRATCH_SIZE> scratch;
    std::uint64_t& produced = report.produced;
    for (;;) {
        feed(z.s, data, len);
        std::uint8_t* dest = scratch.data();
        std::size_t room = std::size_t(std::min<std::uint64_t>(scratch.size(), limit - produced + 1));
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
        if (rc == Z_STREAM_END) {
            report.ended = true;
            report.unused = z.s.avail_in + len;
            return report;
        }
        // Output room is always offered, so "no progress possible" means the input ended before
        // the stream did.
        if (rc == Z_BUF_ERROR) return report;
        if (rc != Z_OK) {
            report.corrupt = true;
            report.reason = z.s.msg             ? z.s.msg
                            : rc == Z_NEED_DICT ? "needs a preset dictionary"
                                                : "out of memory";
            return report;
        }
        if (produced > limit) return report;
    }
}

// The whole payload inflated: the number of bytes, kept or not; any error of the decompressor is
// the corrupt-stream failure, wherever in the stream it occurs.
Result<std::uint64_t> inflate_payload(const std::uint8_t* data, std::size_t len,
                                      std::vector<std::uint8_t>& out, std::uint64_t keep) {
    const InflateReport report = run_inflate(data, len, out, keep, UINT64_MAX - 1);
    if (report.corrupt) return corrupt_stream();
    return report.produced;
}

}  // namespace

Result<std::vector<std::uint8_t>> VideoCodec::compress_raw(const std::uint8_t* data, std::size_t len,
                                                           int level) {
    Deflater z;
    if (deflateInit2(&z.s, level, Z_DEFLATED, WINDOW_BITS, MEM_LEVEL, Z_DEFAULT_STRATEGY) != Z_OK)
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

InflateReport VideoCodec::inflate_checked(const std::uint8_t* data, std::size_t len, std::uint64_t keep,
                                          std::vector<std::uint8_t>& out) {
    out.clear();
    return run_inflate(data, len, out, keep, keep);
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

}  // namespace corvane
