#include "core/frame/sharpen.hpp"

#include <array>
#include <cmath>
#include <vector>

// The sharpening gain must round every operation on its own so that frames come out the same on
// every machine; a fused multiply-add (the default contraction of GNU C++ on targets with FMA)
// would round differently. The build also passes -ffp-contract=off for this file; the pragma keeps
// the guarantee when the file is compiled on its own. It comes after the includes so that inline
// library code keeps its own settings.
#if defined(__clang__)
#pragma clang fp contract(off)
#elif defined(__GNUC__)
#pragma GCC optimize("fp-contract=off")
#endif

namespace corvane {
namespace {

// Multiplies every spectrum element by 1 + strength * d / (R/2), where d is the distance of its
// frequency from zero. The order of the float operations is part of the output format.
void apply_gain(cv::Mat& spectrum, float strength) {
    const int rows = spectrum.rows;
    const int cols = spectrum.cols;
    const int half_rows = rows / 2;
    const int half_cols = cols / 2;
    const float radius = static_cast<float>(rows) / 2.0f;  // also the divisor across the columns
    for (int y = 0; y < rows; ++y) {
        const float fy = static_cast<float>(y < half_rows ? y : rows - y);
        const float yy = fy * fy;
        float* p = spectrum.ptr<float>(y);
        for (int x = 0; x < cols; ++x) {
            const float fx = static_cast<float>(x < half_cols ? x : cols - x);
            const float xx = fx * fx;
            const float d = std::sqrt(yy + xx);
            const float gain = d / radius * strength + 1.0f;
            p[2 * x] *= gain;
            p[2 * x + 1] *= gain;
        }
    }
}

// One channel through the forward transform, the gain and back to 8 bits. Runs inside guard().
cv::Mat sharpen_plane(const cv::Mat& plane, float strength) {
    cv::Mat spectrum;
    {
        cv::Mat real;
        plane.convertTo(real, CV_32F, 1.0, 0.0);
        // At the plane's own size: padding to a faster transform size would change the result.
        cv::dft(real, spectrum, cv::DFT_COMPLEX_OUTPUT, 0);
    }
    apply_gain(spectrum, strength);
    cv::Mat restored;
    cv::dft(spectrum, restored, cv::DFT_INVERSE | cv::DFT_SCALE | cv::DFT_REAL_OUTPUT, 0);
    spectrum.release();
    cv::Mat out;
    restored.convertTo(out, CV_8U, 1.0, 0.0);  // rounds and saturates, so overshoot clips
    return out;
}

}  // namespace

Result<cv::Mat> sharpen_with_dft(const cv::Mat& frame, float strength) {
    // Written as "not above 0" so that NaN gives the copy too, as it does in the player.
    if (!(strength > 0.0f)) return guard([&] { return frame.clone(); });

    std::vector<cv::Mat> planes;
    if (Status split = guard([&] { cv::split(frame, planes); }); !split) return split.error();

    std::array<cv::Mat, 3> sharpened;
    for (std::size_t i = 0; i < sharpened.size(); ++i) {
        if (i >= planes.size()) return Error{Fault::kMissingPlane, {}, 0, {}, i, planes.size()};
        Result<cv::Mat> plane = guard([&] { return sharpen_plane(planes[i], strength); });
        if (!plane.ok()) return plane.error();
        sharpened[i] = plane.take();
    }
    return guard([&] {
        cv::Mat out;
        cv::merge(sharpened.data(), sharpened.size(), out);
        return out;
    });
}

}  // namespace corvane
