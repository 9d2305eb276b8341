#include "core/recording/player.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <optional>
#include <thread>
#include <vector>

#include "core/frame/sharpen.hpp"
#include "core/recording/codec.hpp"
#include "core/recording/file_io.hpp"
#include "core/recording/format.hpp"

namespace corvane {
namespace {

using Clock = std::chrono::steady_clock;

bool default_sleep(std::chrono::nanoseconds d, void*) {
    std::this_thread::sleep_for(d);
    return false;
}

// The next record's header and payload; `end` when no record follows. A record cut short is a
// kStep failure.
Status read_record(RecordingReader& reader, format::RecordHeader& h, std::vector<std::uint8_t>& payload,
                   bool& end) {
    std::uint8_t raw[format::HEADER_SIZE];
    end = !reader.read_exact(raw, 1);
    if (end) return {};
    if (Status read = reader.read_exact(raw + 1, format::HEADER_SIZE - 1); !read) return read;
    h = format::decode(raw);

    // A payload longer than what is left of the file is a truncated record: say so before
    // reserving memory for it, so a damaged length cannot make us allocate gigabytes.
    const std::optional<std::uint64_t> left = reader.remaining();
    if (left && h.payload_len > *left) return unexpected_eof();
    if (left) {
        payload.resize(h.payload_len);
        return reader.read_exact(payload.data(), payload.size());
    }
    // Not a regular file: the memory follows the bytes that actually arrive.
    payload.clear();
    while (payload.size() < h.payload_len) {
        const std::size_t at = payload.size();
        const std::size_t step =
            std::min<std::size_t>(h.payload_len - at, std::max<std::size_t>(at, 1 << 20));
        payload.resize(at + step);
        if (Status read = reader.read_exact(payload.data() + at, step); !read) return read;
    }
    return {};
}

// The record's frame into `frame`, which holds the frame before it; `scratch` is reused.
Status rebuild(const format::RecordHeader& h, const std::vector<std::uint8_t>& payload,
               std::vector<std::uint8_t>& frame, std::vector<std::uint8_t>& scratch) {
    if (Status inflated = VideoCodec::inflate_frame(payload.data(), payload.size(), h.rows, h.cols, scratch);
        !inflated)
        return inflated;
    if (h.rows < 0 || h.cols < 0) return guard([&] { (void)cv::Mat(h.rows, h.cols, CV_8UC3); });
    const std::size_t n = scratch.size();
    if (h.frame_type == format::kKeyFrame) {
        frame.swap(scratch);
        return {};
    }
    // Any other type is a delta, applied to the frame before it where that frame lies.
    if (frame.size() < n) return Error{Fault::kDeltaTooLarge, {}, 0, {}, 0, frame.size()};
    format::xor_into(frame.data(), frame.data(), scratch.data(), n);
    frame.resize(n);
    return {};
}

// Sharpened when asked, scaled to the terminal of the moment, drawn.
Status draw(TerminalRenderer& renderer, cv::Mat picture, float sharpen) {
    if (sharpen > 0.0f) {
        Result<cv::Mat> sharp = sharpen_with_dft(picture, sharpen);
        if (!sharp) return sharp.error();
        picture = sharp.take();
    }
    const auto [term_w, term_h] = renderer.get_terminal_size();
    if (picture.rows != display_height(term_h) || picture.cols != term_w) {
        Result<cv::Mat> fitted = fit_to_grid(picture, term_w, term_h);
        if (!fitted) return fitted.error();
        picture = fitted.take();
    }
    return renderer.render_character_map(picture);
}

}  // namespace

Result<PlayEnd> play_recording(const std::string& path, TerminalRenderer& renderer, float sharpen,
                               const PlayHooks& hooks) {
    const StopCheck stop{hooks.stop_requested, hooks.context};
    Result<std::unique_ptr<RecordingReader>> opened = RecordingReader::open(path, stop);
    if (!opened) {
        if (opened.error().io.os_code == EINTR) return PlayEnd::kInterrupted;  // nothing written yet
        return opened.error();
    }
    RecordingReader& reader = *opened.value();
    std::uint8_t magic[format::MAGIC_SIZE];
    if (Status read = reader.read_exact(magic, sizeof magic); !read) return read.error();
    if (std::memcmp(magic, format::RECORDING_MAGIC, sizeof magic) != 0)
        return Error::of(Fault::kInvalidFormat, {});
    if (Status entered = TerminalRenderer::hide_cursor(); !entered) return entered.error();

    const auto sleep = hooks.sleep ? hooks.sleep : default_sleep;
    std::vector<std::uint8_t> frame, scratch, payload;
    format::RecordHeader h{};
    // Each turn starts when the previous sleep was due to end, not when the sleeper got going
    // again, so a late wake-up (waiting for the interpreter lock) does not add up over frames.
    Clock::time_point start = Clock::now();
    for (bool end = false;;) {
        if (Status read = read_record(reader, h, payload, end); !read) return read.error();
        if (end) break;
        if (Status rebuilt = rebuild(h, payload, frame, scratch); !rebuilt) return rebuilt.error();
        cv::Mat picture =
            frame.empty() ? cv::Mat(h.rows, h.cols, CV_8UC3) : cv::Mat(h.rows, h.cols, CV_8UC3, frame.data());
        if (Status drawn = draw(renderer, picture, sharpen); !drawn) return drawn.error();

        const Clock::time_point now = Clock::now();
        bool stopped = false;
        if (now - start < FRAME_PERIOD) {
            stopped = sleep(start + FRAME_PERIOD - now, hooks.context);
            start += FRAME_PERIOD;
        } else {
            start = now;  // a slow frame is followed at once; its lost time is not made up
        }
        if (stopped || stop()) {
            if (Status left = TerminalRenderer::show_cursor(); !left) return left.error();
            return PlayEnd::kInterrupted;
        }
    }
    if (Status left = TerminalRenderer::show_cursor(); !left) return left.error();
    return PlayEnd::kFinished;
}

}  // namespace corvane
