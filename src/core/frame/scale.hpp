// Scaling the package's frames to the size they are drawn at.
//
// Contract: `scale_frame` reads its input only and returns a new matrix (or the input itself, shared,
// when it already has the size). Shrinking averages every source pixel that falls into an output
// pixel (area), so a photo's fine detail becomes the colour it averages to instead of whichever
// sample a bilinear filter hits; enlarging is bilinear. An axis that shrinks while the other grows
// is averaged along the one and interpolated along the other. OpenCV's refusals come back as
// kLibrary `Error`s. No state: any thread may call it.
#pragma once

#include <cstdint>
#include <opencv2/core/mat.hpp>

#include "core/error.hpp"

namespace corvane {

Result<cv::Mat> scale_frame(const cv::Mat& frame, std::int32_t width, std::int32_t height);

}  // namespace corvane
