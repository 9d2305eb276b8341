// The failures of damaged payloads, and the sharpening against a direct double-precision Fourier
// transform. How payloads compare with zlib's own streams, and what a claimed size may cost, is
// fuzz/fuzz_inflate.cpp's to check.
#include <gtest/gtest.h>
#include <zlib.h>

#include <complex>
#include <numbers>
#include <vector>

#include "core/frame/sharpen.hpp"
#include "core/recording/codec.hpp"

namespace corvane {
namespace {

Error inflate_error(const std::vector<std::uint8_t>& payload, int rows, int cols) {
    std::vector<std::uint8_t> out;
    Status s = VideoCodec::inflate_frame(payload.data(), payload.size(), rows, cols, out);
    EXPECT_FALSE(s);
    return s ? Error{} : s.error();
}

TEST(Codec, DamagedPayloads) {
    std::vector<std::uint8_t> raw(2 * 4 * 3);
    for (std::size_t i = 0; i < raw.size(); ++i) raw[i] = std::uint8_t(i * 37);
    std::vector<std::uint8_t> p(compressBound(raw.size()));
    uLongf len = p.size();
    compress2(p.data(), &len, raw.data(), raw.size(), 9);  // any level and window is accepted
    p.resize(len);

    std::vector<std::uint8_t> extra = p;  // bytes after the stream are ignored
    extra.insert(extra.end(), {1, 2, 3});
    std::vector<std::uint8_t> out;
    ASSERT_TRUE(VideoCodec::inflate_frame(extra.data(), extra.size(), 2, 4, out));
    EXPECT_EQ(out, raw);

    std::vector<std::uint8_t> bad_sum = p;
    bad_sum.back() ^= 1;
    const Error corrupt = inflate_error(bad_sum, 0, 0);  // checked even when no byte is needed
    EXPECT_EQ(corrupt.fault, Fault::kStep);
    EXPECT_EQ(corrupt.io.text, IoText::kCorruptDeflate);

    const Error short_frame = inflate_error(p, 3, 4);  // 24 bytes, the third row ends at 36
    EXPECT_EQ(short_frame.fault, Fault::kShortPayload);
    EXPECT_EQ(short_frame.end, 36u);
    EXPECT_EQ(short_frame.length, 24u);
    EXPECT_EQ(inflate_error({}, 1, 1).end, 3u);  // an empty payload inflates to nothing
}

// The gain written out plainly, one rounded float operation per step.
float gain(int y, int x, int rows, int cols, float strength) {
    const float dy = float(y < rows / 2 ? y : rows - y), dx = float(x < cols / 2 ? x : cols - x);
    const float d = std::sqrt(dy * dy + dx * dx);
    return d / (float(rows) / 2.0f) * strength + 1.0f;
}

// One plane sharpened through a direct transform in double precision. The inverse reads, as
// OpenCV's real-output inverse does, only the non-negative half of the last axis (the rows' axis
// for a single column) and mirrors the rest, which matters since the gain is not symmetric.
cv::Mat reference_plane(const cv::Mat& plane, float strength) {
    const int R = plane.rows, C = plane.cols;
    const double tau = 2 * std::numbers::pi;
    std::vector<std::complex<double>> f(std::size_t(R) * C);
    for (int ky = 0; ky < R; ++ky)
        for (int kx = 0; kx < C; ++kx) {
            std::complex<double> sum = 0;
            for (int y = 0; y < R; ++y)
                for (int x = 0; x < C; ++x)
                    sum += double(plane.at<std::uint8_t>(y, x)) *
                           std::polar(1.0, -tau * (double(ky) * y / R + double(kx) * x / C));
            f[ky * C + kx] = sum * double(gain(ky, kx, R, C, strength));
        }
    auto half = [](int k, int n) { return k == 0 || 2 * k == n ? 1.0 : 2 * k < n ? 2.0 : 0.0; };
    cv::Mat out(R, C, CV_8U);
    for (int y = 0; y < R; ++y)
        for (int x = 0; x < C; ++x) {
            double sum = 0;
            for (int ky = 0; ky < R; ++ky)
                for (int kx = 0; kx < C; ++kx)
                    sum += (C == 1 ? half(ky, R) : half(kx, C)) *
                           (f[ky * C + kx] * std::polar(1.0, tau * (double(ky) * y / R + double(kx) * x / C)))
                               .real();
            out.at<std::uint8_t>(y, x) = cv::saturate_cast<std::uint8_t>(sum / (R * C));
        }
    return out;
}

TEST(Codec, SharpeningMatchesTheDirectTransform) {
    const struct {
        int rows, cols;
        float strength;
    } cases[] = {{4, 4, 1}, {5, 3, 1}, {3, 5, 0.25f}, {6, 5, 2.5f}, {1, 4, 1}, {4, 1, 1}};
    for (const auto& c : cases) {
        cv::Mat frame(c.rows, c.cols, CV_8UC3);
        cv::RNG(c.rows * 100 + c.cols).fill(frame, cv::RNG::UNIFORM, 0, 256);
        Result<cv::Mat> sharp = sharpen_with_dft(frame, c.strength);
        ASSERT_TRUE(sharp);
        std::vector<cv::Mat> in, out;
        cv::split(frame, in);
        cv::split(sharp.value(), out);
        for (int ch = 0; ch < 3; ++ch)
            EXPECT_LE(cv::norm(out[ch], reference_plane(in[ch], c.strength), cv::NORM_INF), 1)
                << c.rows << "x" << c.cols << " channel " << ch;
    }
    cv::Mat gray(2, 2, CV_8UC1, cv::Scalar(9));
    const Result<cv::Mat> missing = sharpen_with_dft(gray, 1.0f);
    EXPECT_EQ(missing.error().fault, Fault::kMissingPlane);
    EXPECT_EQ(missing.error().end, 1u);
}

}  // namespace
}  // namespace corvane
