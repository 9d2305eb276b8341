// The recorder and the player of recording files.
//
// Contract:
// - `VideoRecorder` holds what recording needs between frames: the last frame recorded, its
//   size, and a count of `record` calls that places a key frame on every 120th. It lives inside
//   one Python object and is used by that object's thread only.
// - `record` appends one frame record through the writer: a key frame for the first frame, for a
//   new size and every 120th call, else the XOR with the previous frame; both compressed with
//   zlib. A compressor failure is an error value; a failing write throws `Panic`, after the
//   writer has cut the partial record off so the file stays playable.
// - `play` shows a recording with the renderer it is given, at most one frame per 33 ms, scaled
//   to the terminal of the moment and optionally sharpened. It uses none of the recorder's state.
//   Error values: the file cannot be opened, a bad signature, OpenCV failures. Panics: a short
//   read inside the file, a corrupt payload, a delta frame larger than its predecessor, a failing
//   terminal write.
// - The caller's `PlayHooks` decide how the pacing sleep is spent and whether the playback stops
//   between frames; a stopped playback leaves the playback screen and reports `kInterrupted`.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "error.hpp"
#include "recorder/file_io.hpp"
#include "renderer.hpp"

namespace corvane {

inline constexpr std::uint32_t KEY_FRAME_INTERVAL = 120;
inline constexpr std::chrono::nanoseconds FRAME_PERIOD = std::chrono::milliseconds(33);

struct PlayHooks {
    // Sleeps for the given time; true when the playback must stop instead of going on.
    bool (*sleep)(std::chrono::nanoseconds, void* context) = nullptr;
    // True when the playback must stop now (checked between frames).
    bool (*stop_requested)(void* context) = nullptr;
    void* context = nullptr;
};

enum class PlayEnd { kFinished, kInterrupted };

class VideoRecorder {
public:
    Status record(const cv::Mat& frame, std::int32_t term_w, std::int32_t term_h, RecordingWriter& writer);
    Result<PlayEnd> play(const std::string& path, TerminalRenderer& renderer, float sharpen,
                         const PlayHooks& hooks = {}) const;

    // A new recording starts with a key frame.
    void forget_previous_frame() { prev_frame_.clear(); }
    std::uint32_t frame_count() const { return frame_count_; }

private:
    std::vector<std::uint8_t> prev_frame_;
    std::vector<std::uint8_t> delta_;  // scratch, reused across frames
    std::int32_t prev_rows_ = 0;
    std::int32_t prev_cols_ = 0;
    std::uint32_t frame_count_ = 0;
};

}  // namespace corvane
