#include "recorder/recorder.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <optional>
#include <opencv2/imgproc.hpp>
#include <thread>

#include "codec.hpp"
#include "recorder/format.hpp"

namespace corvane {
namespace {

using Clock = std::chrono::steady_clock;

void xor_into(std::uint8_t* dst, const std::uint8_t* a, const std::uint8_t* b, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) dst[i] = a[i] ^ b[i];
}

bool default_sleep(std::chrono::nanoseconds d, void*) {
    std::this_thread::sleep_for(d);
    return false;
}

// Reads exactly `len` bytes or aborts the call: a recording that ends inside a record is damaged.
void read_or_panic(RecordingReader& reader, std::uint8_t* out, std::size_t len) {
    if (IoStatus err = reader.read_exact(out, len)) unwrap_failed(*err);
}

}  // namespace

Status VideoRecorder::record(const cv::Mat& frame, std::int32_t term_w, std::int32_t term_h,
                             RecordingWriter& writer) {
    const std::int32_t rows = frame.rows;
    const std::int32_t cols = frame.cols;
    const std::size_t n = std::size_t(std::int64_t(rows) * cols * 3);
    const std::uint8_t* current = frame.data;

    const bool key = rows != prev_rows_ || cols != prev_cols_ || prev_frame_.empty() ||
                     frame_count_ % KEY_FRAME_INTERVAL == 0;
    ++frame_count_;

    const std::uint8_t* plain = current;
    if (!key) {
        delta_.resize(n);
        xor_into(delta_.data(), prev_frame_.data(), current, n);
        plain = delta_.data();
    }
    CompressResult payload = VideoCodec::compress_raw(plain, n);
    if (!payload.ok()) return CvError{kStsError, payload.error().display()};

    std::uint8_t header[format::kHeaderSize];
    format::encode({key ? format::kKeyFrame : format::kDeltaFrame, std::uint32_t(term_w), std::uint32_t(term_h),
                    rows, cols, std::uint32_t(payload.value().size())},
                   header);
    IoStatus err = writer.write(header, sizeof header);
    if (!err) err = writer.write(payload.value().data(), payload.value().size());
    if (err) {
        writer.rollback();
        unwrap_failed(*err);
    }
    writer.commit();

    prev_frame_.assign(current, current + n);
    prev_rows_ = rows;
    prev_cols_ = cols;
    return std::nullopt;
}

Result<PlayEnd> VideoRecorder::play(const std::string& path, TerminalRenderer& renderer, float sharpen,
                                    const PlayHooks& hooks) const {
    auto opened = RecordingReader::open(path, StopCheck{hooks.stop_requested, hooks.context});
    if (auto* err = std::get_if<IoError>(&opened)) {
        if (err->os_code() == EINTR) return PlayEnd::kInterrupted;  // nothing written yet
        return CvError{kStsError, err->display()};
    }
    RecordingReader& reader = *std::get<0>(opened);

    std::uint8_t magic[format::kMagicSize];
    read_or_panic(reader, magic, sizeof magic);
    if (std::memcmp(magic, format::kMagic, sizeof magic) != 0) return CvError{kStsError, "Invalid Format"};
    TerminalRenderer::hide_cursor();

    auto sleep = hooks.sleep ? hooks.sleep : default_sleep;
    std::vector<std::uint8_t> previous;
    std::vector<std::uint8_t> payload;
    // Each turn starts when the previous sleep was due to end, not when the sleeper got going
    // again, so a late wake-up (waiting for the interpreter lock) does not add up over frames.
    Clock::time_point start = Clock::now();
    for (;;) {
        std::uint8_t type;
        if (reader.read_exact(&type, 1)) break;  // no further record: the recording is over
        std::uint8_t rest[format::kHeaderSize];
        rest[0] = type;
        read_or_panic(reader, rest + 1, format::kHeaderSize - 1);
        const format::RecordHeader h = format::decode(rest);

        // A payload longer than what is left of the file is a truncated record: say so before
        // reserving memory for it, so a damaged length cannot make us allocate gigabytes.
        const std::optional<std::uint64_t> left = reader.remaining();
        if (left && h.payload_len > *left) unwrap_failed(unexpected_eof());
        if (left) {
            payload.assign(h.payload_len, 0);
            read_or_panic(reader, payload.data(), payload.size());
        } else {
            // Not a regular file: the memory follows the bytes that actually arrive.
            payload.clear();
            while (payload.size() < h.payload_len) {
                const std::size_t at = payload.size();
                const std::size_t step = std::min<std::size_t>(h.payload_len - at, std::max<std::size_t>(at, 1 << 20));
                payload.resize(at + step);
                read_or_panic(reader, payload.data() + at, step);
            }
        }

        Result<cv::Mat> decoded = VideoCodec::decompress_lossless(payload.data(), payload.size(), h.rows, h.cols);
        if (!decoded.ok()) return decoded.error();
        cv::Mat picture = decoded.take();
        const std::size_t n = picture.total() * picture.elemSize();
        if (h.frame_type == format::kKeyFrame) {
            previous.assign(picture.data, picture.data + n);
        } else {
            if (previous.size() < n) {
                const std::string len = std::to_string(previous.size());
                throw Panic("index out of bounds: the len is " + len + " but the index is " + len);
            }
            // The decoded delta becomes the frame itself, which is also kept for the next delta.
            xor_into(picture.data, picture.data, previous.data(), n);
            previous.assign(picture.data, picture.data + n);
        }

        if (sharpen > 0.0f) {
            Result<cv::Mat> sharp = VideoCodec::sharpen_with_dft(picture, sharpen);
            if (!sharp.ok()) return sharp.error();
            picture = sharp.take();
        }
        const auto [term_w, term_h] = renderer.get_terminal_size();
        const std::int32_t target_h = display_height(term_h);
        if (picture.rows != target_h || picture.cols != term_w) {
            Result<cv::Mat> fitted = guard([&] {
                cv::Mat out;
                cv::resize(picture, out, cv::Size(term_w, target_h), 0, 0, cv::INTER_LINEAR);
                return out;
            });
            if (!fitted.ok()) return fitted.error();
            picture = fitted.take();
        }
        if (Status drawn = renderer.render_character_map(picture)) return *drawn;

        const Clock::time_point now = Clock::now();
        bool stop = false;
        if (now - start < FRAME_PERIOD) {
            stop = sleep(start + FRAME_PERIOD - now, hooks.context);
            start += FRAME_PERIOD;
        } else {
            start = now;  // a slow frame is followed at once; its lost time is not made up
        }
        if (stop || (hooks.stop_requested && hooks.stop_requested(hooks.context))) {
            TerminalRenderer::show_cursor();
            return PlayEnd::kInterrupted;
        }
    }
    TerminalRenderer::show_cursor();
    return PlayEnd::kFinished;
}

}  // namespace corvane
