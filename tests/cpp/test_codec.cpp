// The codec against independent references: zlib's own one-shot API for the payloads, and a
// direct double-precision Fourier transform for the sharpening, plus the failures of damaged
// payloads and their bounded cost.
#include <gtest/gtest.h>
#include <zlib.h>

#include <complex>
#include <numbers>
#include <vector>

#include "core/frame/sharpen.hpp"
#include "core/recording/codec.hpp"

namespace corvane {
namespace {

std::vector<std::uint8_t> bytes(std::size_t n, unsigned seed) {
    std::vector<std::uint8_t> v(n);
    for (std::size_t i = 0; i < n; ++i) v[i] = std::uint8_t((i * seed) >> 3 ^ (i % 7 == 0 ? seed : 0));
    return v;
}

Error inflate_error(const std::vector<std::uint8_t>& payload, int rows, int cols) {
    std::vector<std::uint8_t> out;
    Status s = VideoCodec::inflate_frame(payload.data(), payload.size(), rows, cols, out);
    EXPECT_FALSE(s);
    return s ? Error{} : s.error();
}

TEST(Codec, RoundTripIsAStandardLevel6Stream) {
    for (std::size_t rows : {0, 1, 37, 400}) {
        const std::vector<std::uint8_t> raw = bytes(rows * 50 * 3, 11);
        Result<std::vector<std::uint8_t>> z = VideoCodec::compress_raw(raw.data(), raw.size());
        ASSERT_TRUE(z);
        std::vector<std::uint8_t>& p = z.value();
        ASSERT_GE(p.size(), 6u);
        EXPECT_EQ(p[0], 0x78);
        EXPECT_EQ(p[1], 0x9C);
        std::vector<std::uint8_t> back(raw.size() + 1);
        uLongf len = back.size();
        ASSERT_EQ(uncompress(back.data(), &len, p.data(), p.size()), Z_OK);
        EXPECT_EQ(std::vector<std::uint8_t>(back.begin(), back.begin() + long(len)), raw);
        Result<cv::Mat> m = VideoCodec::decompress_lossless(p.data(), p.size(), int(rows), 50);
        ASSERT_TRUE(m);
        EXPECT_EQ(std::vector<std::uint8_t>(m.value().datastart, m.value().dataend), raw);
    }
}

TEST(Codec, DamagedPayloads) {
    const std::vector<std::uint8_t> raw = bytes(2 * 4 * 3, 5);
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

TEST(Codec, AClaimedHugeFrameCostsOnlyWhatInflates) {
    // A 100 MB run of zeros compresses to about 100 KB; claimed as a 30000 x 30000 frame it must
    // fail after inflating it, without reserving the 2.7 GB the size asks for.
    std::vector<std::uint8_t> zeros(100 << 20);
    Result<std::vector<std::uint8_t>> z = VideoCodec::compress_raw(zeros.data(), zeros.size());
    ASSERT_TRUE(z);
    EXPECT_EQ(inflate_error(z.value(), 30000, 30000).length, zeros.size());
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
