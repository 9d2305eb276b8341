// Frequency-domain sharpening of played-back frames.
//
// Contract: no state; input matrices are only read, the returned matrix is new and belongs to the
// caller. Any thread may call it, also concurrently. Failures are `Error`s: kLibrary for OpenCV's
// refusals, kMissingPlane for a frame with fewer than three colour planes.
#pragma once

#include <opencv2/core.hpp>

#include "core/error.hpp"

namespace corvane {

// A new CV_8UC3 frame whose first three channels are sharpened by multiplying each spectrum
// component with 1 + strength * |frequency| / (rows / 2). A strength that is not above 0
// (including NaN) returns a deep copy of `frame` with its own type instead.
Result<cv::Mat> sharpen_with_dft(const cv::Mat& frame, float strength);

}  // namespace corvane
