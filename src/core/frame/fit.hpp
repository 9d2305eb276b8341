// Fitting frames to the terminal's display grid: one cell column per pixel column, two pixel
// rows per cell row, the bottom line left free.
//
// Contract: `fit_to_grid` is the one scaling to the display grid, used for drawn and played frames
// alike. It only reads its input and returns a new matrix; OpenCV's refusals come back as
// kLibrary `Error`s. No state: any thread may call it.
#pragma once

#include <cstdint>
#include <opencv2/core/mat.hpp>

#include "core/error.hpp"

namespace corvane {

// Pixel height of the display grid for a terminal of `term_h` rows.
inline std::int32_t display_height(std::int32_t term_h) {
    std::int32_t h = static_cast<std::int32_t>(2u * static_cast<std::uint32_t>(term_h) - 2u);
    return h > 2 ? h : 2;
}

// `frame` scaled (bilinear) to term_w columns and display_height(term_h) pixel rows.
Result<cv::Mat> fit_to_grid(const cv::Mat& frame, std::int32_t term_w, std::int32_t term_h);

}  // namespace corvane
