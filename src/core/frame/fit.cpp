#include "core/frame/fit.hpp"

#include <opencv2/imgproc.hpp>

namespace corvane {

Result<cv::Mat> fit_to_grid(const cv::Mat& frame, std::int32_t term_w, std::int32_t term_h) {
    return guard([&] {
        cv::Mat resized;
        cv::resize(frame, resized, cv::Size(term_w, display_height(term_h)), 0, 0, cv::INTER_LINEAR);
        return resized;
    });
}

}  // namespace corvane
