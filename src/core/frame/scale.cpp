#include "core/frame/scale.hpp"

#include <opencv2/imgproc.hpp>

namespace corvane {

Result<cv::Mat> scale_frame(const cv::Mat& frame, std::int32_t width, std::int32_t height) {
    return guard([&]() -> cv::Mat {
        const bool narrower = width <= frame.cols, lower = height <= frame.rows;
        if (width == frame.cols && height == frame.rows) return frame;
        cv::Mat out;
        if (narrower == lower) {
            cv::resize(frame, out, cv::Size(width, height), 0, 0,
                       narrower ? cv::INTER_AREA : cv::INTER_LINEAR);
            return out;
        }
        // OpenCV averages only when both axes shrink; one axis at a time keeps each axis's own filter.
        cv::Mat shrunk;
        const cv::Size between = narrower ? cv::Size(width, frame.rows) : cv::Size(frame.cols, height);
        cv::resize(frame, shrunk, between, 0, 0, cv::INTER_AREA);
        cv::resize(shrunk, out, cv::Size(width, height), 0, 0, cv::INTER_LINEAR);
        return out;
    });
}

}  // namespace corvane
