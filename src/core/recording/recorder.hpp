// The recorder: frames as drawn, appended to a recording file as key and delta records.
//
// Contract:
// - `VideoRecorder` holds what recording needs between frames: the last frame recorded, its size,
//   and a count of `record` calls that places a key frame on every 120th. It lives inside one
//   Python object and is used by that object's thread only.
// - `record` appends one record through the writer: a key frame for the first frame, for a new
//   size and every 120th call, else the XOR with the previous frame; both compressed with zlib.
//   A compressor failure (kCompress) writes nothing; a failing write (kStep) has been cut off the
//   file by the writer, so the file stays playable, and the previous frame stays as it was.
#pragma once

#include <cstdint>
#include <opencv2/core/mat.hpp>
#include <vector>

#include "core/error.hpp"
#include "core/recording/file_io.hpp"

namespace corvane {

inline constexpr std::uint32_t KEY_FRAME_INTERVAL = 120;

class VideoRecorder {
  public:
    Status record(const cv::Mat& frame, std::int32_t term_w, std::int32_t term_h, RecordingWriter& writer);
    // A new recording starts with a key frame.
    void forget_previous_frame() { prev_frame_.clear(); }

  private:
    std::vector<std::uint8_t> prev_frame_;
    std::vector<std::uint8_t> delta_;  // scratch, reused across frames
    std::int32_t prev_rows_ = 0;
    std::int32_t prev_cols_ = 0;
    std::uint32_t frame_count_ = 0;
};

}  // namespace corvane
