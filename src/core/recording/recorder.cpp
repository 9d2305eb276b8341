#include "core/recording/recorder.hpp"

#include "core/recording/codec.hpp"
#include "core/recording/format.hpp"

namespace corvane {

Status VideoRecorder::record(const cv::Mat& frame, std::int32_t term_w, std::int32_t term_h,
                             RecordingWriter& writer) {
    const std::int32_t rows = frame.rows;
    const std::int32_t cols = frame.cols;
    const std::size_t n = std::size_t(std::int64_t(rows) * cols * 3);
    const std::uint8_t* current = frame.data;

    const bool key = rows != prev_rows_ || cols != prev_cols_ || prev_frame_.empty() ||
                     frame_count_ % KEY_FRAME_INTERVAL == 0;
    ++frame_count_;

    const std::uint8_t* plain = current;
    if (!key) {
        delta_.resize(n);
        format::xor_into(delta_.data(), prev_frame_.data(), current, n);
        plain = delta_.data();
    }
    Result<std::vector<std::uint8_t>> payload = VideoCodec::compress_raw(plain, n);
    if (!payload) return payload.error();

    std::uint8_t header[format::HEADER_SIZE];
    format::encode({key ? format::kKeyFrame : format::kDeltaFrame, std::uint32_t(term_w),
                    std::uint32_t(term_h), rows, cols, std::uint32_t(payload.value().size())},
                   header);
    Status written = writer.write(header, sizeof header);
    if (written) written = writer.write(payload.value().data(), payload.value().size());
    if (!written) {
        writer.rollback();
        return written;
    }
    writer.commit();

    prev_frame_.assign(current, current + n);
    prev_rows_ = rows;
    prev_cols_ = cols;
    return {};
}

}  // namespace corvane
