// Tests of the frame codec against zlib and OpenCV themselves: payloads are checked with zlib's own
// checksum and encoder, sharpening against a direct evaluation of the discrete Fourier transform.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <zlib.h>

#include <cmath>
#include <complex>
#include <functional>
#include <limits>
#include <numbers>
#include <ostream>
#include <opencv2/core.hpp>
#include <string>
#include <vector>

#include "codec.hpp"

namespace corvane {
namespace {

using Bytes = std::vector<std::uint8_t>;

const std::string kCorrupt =
    "called `Result::unwrap()` on an `Err` value: Custom { kind: InvalidInput, error: \"corrupt deflate "
    "stream\" }";

// Frame-like bytes: runs of equal values mixed with noise, so deflate has work of both kinds.
Bytes sample_bytes(std::size_t n, unsigned seed = 1) {
    Bytes out(n);
    std::uint32_t x = seed * 2654435761u + 1;
    for (std::size_t i = 0; i < n; ++i) {
        x = x * 1664525u + 1013904223u;
        out[i] = (i / 64) % 3 == 0 ? static_cast<std::uint8_t>(i / 64) : static_cast<std::uint8_t>(x >> 24);
    }
    return out;
}

Bytes compress(const Bytes& in) {
    CompressResult r = VideoCodec::compress_raw(in.data(), in.size());
    EXPECT_TRUE(r.ok()) << r.error().display();
    return r.take();
}

// A zlib stream made by zlib itself, with `in` fed `repeat` times; window_bits 31 makes gzip.
Bytes deflate_with(const Bytes& in, int level, int window_bits, const Bytes* dictionary = nullptr,
                   int repeat = 1) {
    z_stream s{};
    EXPECT_EQ(deflateInit2(&s, level, Z_DEFLATED, window_bits, 8, Z_DEFAULT_STRATEGY), Z_OK);
    if (dictionary) deflateSetDictionary(&s, dictionary->data(), static_cast<uInt>(dictionary->size()));
    Bytes out;
    std::uint8_t buf[65536];
    for (int i = 0; i < repeat; ++i) {
        const bool last = i + 1 == repeat;
        s.next_in = const_cast<Bytef*>(in.data());
        s.avail_in = static_cast<uInt>(in.size());
        int rc;
        do {
            s.next_out = buf;
            s.avail_out = sizeof buf;
            rc = deflate(&s, last ? Z_FINISH : Z_NO_FLUSH);
            out.insert(out.end(), buf, buf + (sizeof buf - s.avail_out));
        } while (last ? rc != Z_STREAM_END : s.avail_in != 0);
    }
    deflateEnd(&s);
    return out;
}

Result<cv::Mat> decompress(const Bytes& payload, int rows, int cols) {
    return VideoCodec::decompress_lossless(payload.data(), payload.size(), rows, cols);
}

// The Panic message of a call, or a marker when it did not panic.
std::string panic_of(const std::function<void()>& call) {
    try {
        call();
    } catch (const Panic& p) {
        return p.message;
    }
    return "<no panic>";
}

std::string decompress_panic(const Bytes& payload, int rows, int cols) {
    return panic_of([&] { (void)decompress(payload, rows, cols); });
}

Bytes bytes_of(const cv::Mat& m) {
    EXPECT_TRUE(m.isContinuous());
    return Bytes(m.data, m.data + m.total() * m.elemSize());
}

Bytes prefix(const Bytes& b, std::size_t n) { return Bytes(b.begin(), b.begin() + n); }

long peak_rss_kib() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return u.ru_maxrss;
}

// ---- compression -------------------------------------------------------------------------------

struct FrameSize {
    int rows, cols;
    friend std::ostream& operator<<(std::ostream& os, FrameSize s) { return os << s.rows << "x" << s.cols; }
};

class CodecRoundTrip : public ::testing::TestWithParam<FrameSize> {};

TEST_P(CodecRoundTrip, RestoresEveryByteFromAStandardZlibStream) {
    const auto [rows, cols] = GetParam();
    const Bytes frame = sample_bytes(static_cast<std::size_t>(rows) * cols * 3, rows + cols);
    const Bytes payload = compress(frame);

    ASSERT_GE(payload.size(), 6u);
    EXPECT_EQ(payload[0], 0x78);
    EXPECT_EQ(payload[1], 0x9C);
    const uLong adler = adler32(adler32(0, nullptr, 0), frame.data(), static_cast<uInt>(frame.size()));
    const std::uint8_t* tail = payload.data() + payload.size() - 4;
    EXPECT_EQ((uLong{tail[0]} << 24) | (uLong{tail[1]} << 16) | (uLong{tail[2]} << 8) | tail[3], adler);
    EXPECT_EQ(payload, deflate_with(frame, 6, 15));  // level 6, 32 KiB window, default strategy

    Result<cv::Mat> restored = decompress(payload, rows, cols);
    ASSERT_TRUE(restored.ok()) << restored.error().message;
    const cv::Mat& m = restored.value();
    EXPECT_EQ(m.type(), CV_8UC3);
    EXPECT_EQ(m.rows, rows);
    EXPECT_EQ(m.cols, cols);
    EXPECT_EQ(bytes_of(m), frame);
}

INSTANTIATE_TEST_SUITE_P(Sizes, CodecRoundTrip,
                         ::testing::Values(FrameSize{1, 1}, FrameSize{2, 3}, FrameSize{17, 31},
                                           FrameSize{1, 4000}, FrameSize{240, 320}, FrameSize{720, 1280}));

TEST(CodecDecompress, EmptyInputAndEmptyPayload) {
    const Bytes empty_stream = compress({});
    EXPECT_EQ(empty_stream, deflate_with({}, 6, 15));  // complete stream: header, final block, checksum

    for (const Bytes& payload : {empty_stream, Bytes{}}) {
        Result<cv::Mat> none = decompress(payload, 0, 7);
        ASSERT_TRUE(none.ok());
        EXPECT_EQ(none.value().rows, 0);
        EXPECT_EQ(none.value().cols, 7);
        EXPECT_EQ(none.value().type(), CV_8UC3);
        EXPECT_EQ(decompress_panic(payload, 1, 1), "range end index 3 out of range for slice of length 0");
        EXPECT_EQ(decompress_panic(payload, 2, 2), "range end index 6 out of range for slice of length 0");
    }
}

TEST(CodecDecompress, AcceptsStreamsOfAnyLevelAndWindow) {
    const Bytes frame = sample_bytes(6 * 50 * 3, 9);
    for (int level : {0, 1, 9})
        for (int window_bits : {9, 12, 15}) {
            Result<cv::Mat> m = decompress(deflate_with(frame, level, window_bits), 6, 50);
            ASSERT_TRUE(m.ok());
            EXPECT_EQ(bytes_of(m.value()), frame) << level << " " << window_bits;
        }
}

TEST(CodecDecompress, UsesOnlyWhatTheFrameNeedsAndOnlyTheFirstStream) {
    const Bytes data = sample_bytes(5000, 3);
    Bytes payload = compress(data);
    const Bytes garbage = compress(sample_bytes(300, 4));
    payload.insert(payload.end(), garbage.begin(), garbage.end());
    payload.push_back(0xFF);

    Result<cv::Mat> whole = decompress(payload, 1, 1666);  // 4998 of 5000 bytes
    ASSERT_TRUE(whole.ok());
    EXPECT_EQ(bytes_of(whole.value()), prefix(data, 4998));
    Result<cv::Mat> part = decompress(payload, 3, 4);
    ASSERT_TRUE(part.ok());
    EXPECT_EQ(bytes_of(part.value()), prefix(data, 36));
}

TEST(CodecDecompress, PayloadCutShort) {
    const Bytes data = sample_bytes(4 * 5 * 3, 5);
    const Bytes payload = compress(data);
    for (std::size_t cut = 1; cut <= 4; ++cut) {  // inside the checksum: every data byte is there
        Result<cv::Mat> m = decompress(prefix(payload, payload.size() - cut), 4, 5);
        ASSERT_TRUE(m.ok()) << cut;
        EXPECT_EQ(bytes_of(m.value()), data);
    }

    // A stored block inflates byte for byte, so a cut at 7 + k leaves exactly k bytes.
    const Bytes stored = deflate_with(data, 0, 15);
    ASSERT_EQ(stored.size(), 2u + 5u + data.size() + 4u);
    EXPECT_EQ(decompress_panic(prefix(stored, 7 + 37), 4, 5),
              "range end index 45 out of range for slice of length 37");
    EXPECT_EQ(decompress_panic(prefix(stored, 7 + 45), 4, 5),
              "range end index 60 out of range for slice of length 45");
    Result<cv::Mat> rows_that_fit = decompress(prefix(stored, 7 + 45), 3, 5);
    ASSERT_TRUE(rows_that_fit.ok());
    EXPECT_EQ(bytes_of(rows_that_fit.value()), prefix(data, 45));
}

TEST(CodecDecompress, CorruptStreamPanicsWhateverTheFrameSize) {
    const Bytes data = sample_bytes(3000, 6);
    Bytes bad_checksum = compress(data);
    bad_checksum.back() ^= 0x01;
    Bytes bad_header = compress(data);
    bad_header[1] = 0x9D;
    Bytes bad_block = {0x78, 0x9C, 0x07, 0x00};  // block type 3 does not exist
    const Bytes dictionary = sample_bytes(100, 7);
    const struct {
        const char* name;
        Bytes payload;
    } cases[] = {
        {"changed last checksum byte", bad_checksum},
        {"header check", bad_header},
        {"invalid block", bad_block},
        {"gzip", deflate_with(data, 6, 31)},
        {"preset dictionary", deflate_with(data, 6, 15, &dictionary)},
    };
    // The stream is checked before its length is compared with the frame, and before OpenCV sees
    // the size, so even damage past the frame's bytes or a negative size give this panic.
    for (const auto& c : cases)
        for (FrameSize size : {FrameSize{0, 0}, FrameSize{0, 5}, FrameSize{2, 2}, FrameSize{10, 100},
                               FrameSize{-1, 4}}) {
            EXPECT_EQ(decompress_panic(c.payload, size.rows, size.cols), kCorrupt) << c.name << " " << size;
        }
}

TEST(CodecDecompress, NegativeSizeGivesOpenCvError) {
    const Bytes payload = compress(sample_bytes(12));
    for (FrameSize size : {FrameSize{-1, 4}, FrameSize{2, -2}, FrameSize{-3, -3}}) {
        int expected_code = 0;
        try {
            cv::Mat m(size.rows, size.cols, CV_8UC3);
        } catch (const cv::Exception& e) {
            expected_code = e.code;
        }
        ASSERT_NE(expected_code, 0);
        Result<cv::Mat> m = decompress(payload, size.rows, size.cols);
        ASSERT_FALSE(m.ok());
        EXPECT_EQ(m.error().code, expected_code);
        EXPECT_NE(m.error().message.find("Assertion failed"), std::string::npos) << m.error().message;
    }
}

TEST(CodecDecompress, ZlibBombCostsNoMemoryBeyondTheFrame) {
    constexpr int kRepeat = 100;  // 100 MiB of zeros in about 100 KiB of payload
    const Bytes zeros(1 << 20, 0);
    Bytes bomb = deflate_with(zeros, 6, 15, nullptr, kRepeat);
    ASSERT_LT(bomb.size(), 1u << 20);

    const long before = peak_rss_kib();
    Result<cv::Mat> m = decompress(bomb, 2, 2);
    const long grown_kib = peak_rss_kib() - before;
    ASSERT_TRUE(m.ok());
    EXPECT_EQ(bytes_of(m.value()), Bytes(12, 0));
    EXPECT_LT(grown_kib, 16 * 1024) << "peak memory grew by " << grown_kib << " KiB";

    // The bytes past the frame are still inflated and checked.
    bomb.back() ^= 0x80;
    EXPECT_EQ(decompress_panic(bomb, 2, 2), kCorrupt);
}

// ---- sharpening --------------------------------------------------------------------------------

// The gain written out as plainly as possible, one rounded float operation per step.
float reference_gain(int y, int x, int rows, int cols, float strength) {
    const float dy = static_cast<float>(y < rows / 2 ? y : rows - y);
    const float dx = static_cast<float>(x < cols / 2 ? x : cols - x);
    const float dy2 = dy * dy;
    const float dx2 = dx * dx;
    const float sum = dy2 + dx2;
    const float d = std::sqrt(sum);
    const float ratio = d / (static_cast<float>(rows) / 2.0f);
    const float scaled = ratio * strength;
    return scaled + 1.0f;
}

TEST(CodecSharpen, ReferenceGainMatchesHandValues) {
    EXPECT_FLOAT_EQ(reference_gain(0, 0, 4, 4, 1), 1.0f);
    EXPECT_FLOAT_EQ(reference_gain(0, 1, 4, 4, 1), 1.5f);
    EXPECT_FLOAT_EQ(reference_gain(0, 2, 4, 4, 1), 2.0f);
    EXPECT_FLOAT_EQ(reference_gain(1, 3, 4, 4, 1), 1.7071068f);
    EXPECT_FLOAT_EQ(reference_gain(2, 2, 4, 4, 1), 2.4142137f);
    const float column0[] = {1.0f, 1.4f, 2.2f, 1.8f, 1.4f};  // R = 5: dy = 0, 1, 3, 2, 1
    for (int y = 0; y < 5; ++y) EXPECT_FLOAT_EQ(reference_gain(y, 0, 5, 3, 1), column0[y]) << y;
    EXPECT_FLOAT_EQ(reference_gain(0, 0, 1, 1, 1), 1.0f + std::sqrt(2.0f) / 0.5f);
}

// One plane sharpened by evaluating the transform directly in double precision. The inverse
// follows OpenCV's real-output inverse of a full spectrum: it reads only the half of the last axis
// with non-negative frequencies (the rows' axis for a single column) and takes the rest as its
// mirror image, which matters because the gain is not symmetric for odd sizes.
cv::Mat reference_sharpen_plane(const cv::Mat& plane, float strength) {
    const int R = plane.rows, C = plane.cols;
    const double two_pi = 2 * std::numbers::pi;
    std::vector<std::complex<double>> spectrum(static_cast<std::size_t>(R) * C);
    for (int ky = 0; ky < R; ++ky)
        for (int kx = 0; kx < C; ++kx) {
            std::complex<double> sum = 0;
            for (int y = 0; y < R; ++y)
                for (int x = 0; x < C; ++x)
                    sum += double(plane.at<std::uint8_t>(y, x)) *
                           std::polar(1.0, -two_pi * (double(ky) * y / R + double(kx) * x / C));
            spectrum[ky * C + kx] = sum * double(reference_gain(ky, kx, R, C, strength));
        }
    auto half_weight = [](int k, int n) { return k == 0 || 2 * k == n ? 1.0 : 2 * k < n ? 2.0 : 0.0; };
    cv::Mat out(R, C, CV_8U);
    for (int y = 0; y < R; ++y)
        for (int x = 0; x < C; ++x) {
            double sum = 0;
            for (int ky = 0; ky < R; ++ky)
                for (int kx = 0; kx < C; ++kx) {
                    const double w = C == 1 ? half_weight(ky, R) : half_weight(kx, C);
                    sum += w * (spectrum[ky * C + kx] *
                                std::polar(1.0, two_pi * (double(ky) * y / R + double(kx) * x / C)))
                                   .real();
                }
            out.at<std::uint8_t>(y, x) = cv::saturate_cast<std::uint8_t>(sum / (R * C));
        }
    return out;
}

cv::Mat random_frame(int rows, int cols, int type, int seed) {
    cv::Mat m(rows, cols, type);
    cv::RNG rng(seed);
    rng.fill(m, cv::RNG::UNIFORM, 0, 256);
    return m;
}

struct SharpenCase {
    int rows, cols;
    float strength;
    friend std::ostream& operator<<(std::ostream& os, SharpenCase c) {
        return os << c.rows << "x" << c.cols << " at " << c.strength;
    }
};

class CodecSharpenReference : public ::testing::TestWithParam<SharpenCase> {};

TEST_P(CodecSharpenReference, EveryChannelWithinOneOfTheDirectTransform) {
    const auto [rows, cols, strength] = GetParam();
    const cv::Mat frame = random_frame(rows, cols, CV_8UC3, rows * 100 + cols);
    Result<cv::Mat> sharpened = VideoCodec::sharpen_with_dft(frame, strength);
    ASSERT_TRUE(sharpened.ok()) << sharpened.error().message;
    ASSERT_EQ(sharpened.value().type(), CV_8UC3);
    ASSERT_EQ(sharpened.value().size(), frame.size());

    std::vector<cv::Mat> in, out;
    cv::split(frame, in);
    cv::split(sharpened.value(), out);
    int clipped = 0;
    for (int c = 0; c < 3; ++c) {
        const cv::Mat expected = reference_sharpen_plane(in[c], strength);
        EXPECT_LE(cv::norm(out[c], expected, cv::NORM_INF), 1) << "channel " << c;
        clipped += cv::countNonZero(expected == 0) + cv::countNonZero(expected == 255);
    }
    if (strength >= 1 && rows * cols > 1) {
        EXPECT_GT(clipped, 0);  // noise at this gain overshoots, and must clip rather than wrap
    }
}

INSTANTIATE_TEST_SUITE_P(Sizes, CodecSharpenReference,
                         ::testing::Values(SharpenCase{4, 4, 1}, SharpenCase{5, 3, 1}, SharpenCase{3, 5, 1},
                                           SharpenCase{5, 3, 0.25f}, SharpenCase{6, 5, 2.5f},
                                           SharpenCase{1, 4, 1}, SharpenCase{4, 1, 1},
                                           SharpenCase{1, 1, 0.5f}, SharpenCase{9, 16, 0.75f}));

TEST(CodecSharpen, UniformFrameKeepsItsColour) {
    for (cv::Size size : {cv::Size(2, 2), cv::Size(3, 5), cv::Size(8, 6), cv::Size(31, 17)}) {
        const cv::Mat frame(size, CV_8UC3, cv::Scalar(12, 130, 251));
        Result<cv::Mat> out = VideoCodec::sharpen_with_dft(frame, 1.0f);
        ASSERT_TRUE(out.ok());
        EXPECT_EQ(cv::norm(out.value(), frame, cv::NORM_INF), 0) << size;
    }
}

TEST(CodecSharpen, SinglePixelBrightens) {
    Result<cv::Mat> out = VideoCodec::sharpen_with_dft(cv::Mat(1, 1, CV_8UC3, cv::Scalar(50, 50, 50)), 1.0f);
    ASSERT_TRUE(out.ok());
    EXPECT_EQ(out.value().at<cv::Vec3b>(0, 0), cv::Vec3b(191, 191, 191));
}

TEST(CodecSharpen, TooFewChannelsIsOutOfRange) {
    const struct {
        cv::Mat frame;
        const char* message;
    } cases[] = {
        {cv::Mat(4, 4, CV_8UC1, cv::Scalar(9)), "Index: 1 out of bounds: 0..1"},
        {cv::Mat(4, 4, CV_8UC2, cv::Scalar(9, 9)), "Index: 2 out of bounds: 0..2"},
        {cv::Mat(), "Index: 0 out of bounds: 0..0"},
        {cv::Mat(0, 4, CV_8UC3), "Index: 0 out of bounds: 0..0"},
    };
    for (const auto& c : cases) {
        Result<cv::Mat> out = VideoCodec::sharpen_with_dft(c.frame, 1.0f);
        ASSERT_FALSE(out.ok()) << c.message;
        EXPECT_EQ(out.error().code, kStsOutOfRange);
        EXPECT_EQ(out.error().message, c.message);
    }
}

TEST(CodecSharpen, FourthChannelIsIgnored) {
    const cv::Mat four = random_frame(6, 7, CV_8UC4, 11);
    cv::Mat three(6, 7, CV_8UC3);
    const int pairs[] = {0, 0, 1, 1, 2, 2};
    cv::mixChannels(&four, 1, &three, 1, pairs, 3);
    Result<cv::Mat> a = VideoCodec::sharpen_with_dft(four, 0.8f);
    Result<cv::Mat> b = VideoCodec::sharpen_with_dft(three, 0.8f);
    ASSERT_TRUE(a.ok() && b.ok());
    EXPECT_EQ(a.value().type(), CV_8UC3);
    EXPECT_EQ(cv::norm(a.value(), b.value(), cv::NORM_INF), 0);
}

TEST(CodecSharpen, StrengthNotAboveZeroGivesAnIndependentCopy) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    for (const cv::Mat& frame : {random_frame(5, 4, CV_8UC3, 1), random_frame(3, 3, CV_8UC1, 2),
                                 random_frame(2, 6, CV_32FC2, 3), cv::Mat()})
        for (float strength : {0.0f, -0.0f, -1.5f, nan}) {
            Result<cv::Mat> out = VideoCodec::sharpen_with_dft(frame, strength);
            ASSERT_TRUE(out.ok());
            const cv::Mat& copy = out.value();
            EXPECT_EQ(copy.type(), frame.type());
            EXPECT_EQ(copy.size(), frame.size());
            if (frame.empty()) continue;
            EXPECT_NE(copy.data, frame.data);
            EXPECT_EQ(bytes_of(copy), bytes_of(frame)) << strength;
        }
}

}  // namespace
}  // namespace corvane
