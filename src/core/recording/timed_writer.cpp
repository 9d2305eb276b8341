#include "core/recording/timed_writer.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "core/fd_io.hpp"
#include "core/recording/codec.hpp"
#include "core/recording/format.hpp"

namespace corvane {

Result<std::unique_ptr<TimedWriter>> TimedWriter::create(const std::string& path, bool overwrite,
                                                         double period) {
    Result<int> fd = open_file(path, O_WRONLY | O_CREAT | (overwrite ? O_TRUNC : O_EXCL));
    if (!fd) return fd.error();
    std::unique_ptr<TimedWriter> writer(new TimedWriter(fd.value(), period));
    if (Status written = writer->write_whole(format::RECORDING_MAGIC, format::MAGIC_SIZE); !written)
        return written.error();
    return writer;
}

TimedWriter::~TimedWriter() {
    if (fd_ >= 0) ::close(fd_);
}

Status TimedWriter::write_whole(const std::uint8_t* data, std::size_t len) {
    if (fd_ < 0) return Error::step(IoError::os(EBADF));
    std::size_t written = 0;
    if (Status done = write_all(fd_, data, len, written); !done) {
        if (ftruncate(fd_, off_t(length_)) == 0) (void)lseek(fd_, off_t(length_), SEEK_SET);
        return done;
    }
    length_ += len;
    return {};
}

Status TimedWriter::write_frame(const TimedFrame& frame) {
    const std::size_t size = std::size_t(frame.rows) * std::size_t(frame.cols) * 3;
    const bool key =
        previous_rows_ != frame.rows || previous_cols_ != frame.cols || records_ % KEY_FRAME_INTERVAL == 0;
    const std::vector<std::uint8_t>* payload = nullptr;
    Result<std::vector<std::uint8_t>> packed;
    if (key) {
        packed = VideoCodec::compress_raw(frame.data, size);
    } else if (std::equal(frame.data, frame.data + size, previous_.begin())) {
        if (zeros_size_ != size || zeros_.empty()) {
            const std::vector<std::uint8_t> nothing(size, 0);
            Result<std::vector<std::uint8_t>> z = VideoCodec::compress_raw(nothing.data(), size);
            if (!z) return z.error();
            zeros_ = z.take();
            zeros_size_ = size;
        }
        payload = &zeros_;
    } else {
        std::vector<std::uint8_t> delta(size);
        format::xor_into(delta.data(), frame.data, previous_.data(), size);
        packed = VideoCodec::compress_raw(delta.data(), size);
    }
    if (!payload) {
        if (!packed) return packed.error();
        payload = &packed.value();
    }
    const format::RecordHeader h{key ? format::kKeyFrame : format::kDeltaFrame,
                                 frame.term_w,
                                 frame.term_h,
                                 frame.rows,
                                 frame.cols,
                                 std::uint32_t(payload->size())};
    record_.resize(format::HEADER_SIZE + payload->size());
    format::encode(h, record_.data());
    std::copy(payload->begin(), payload->end(), record_.begin() + format::HEADER_SIZE);
    if (Status written = write_whole(record_.data(), record_.size()); !written) return written;
    previous_.assign(frame.data, frame.data + size);
    previous_rows_ = frame.rows;
    previous_cols_ = frame.cols;
    ++records_;
    return {};
}

Status TimedWriter::write_current() {
    TimedFrame frame = current_frame_;
    frame.data = current_.data();
    return write_frame(frame);
}

Status TimedWriter::fill(double until) {
    if (!has_current_) return {};
    while (double(records_) * period_ < until - 1e-9) {
        if (Status written = write_current(); !written) return written;
        current_written_ = true;
    }
    return {};
}

Status TimedWriter::add(const TimedFrame& frame, double at) {
    if (Status filled = fill(at); !filled) return filled;
    current_.assign(frame.data, frame.data + std::size_t(frame.rows) * std::size_t(frame.cols) * 3);
    current_frame_ = frame;
    has_current_ = true;
    current_written_ = false;
    last_at_ = std::max(last_at_, at);
    return {};
}

Status TimedWriter::close(std::optional<double> end) {
    if (fd_ < 0) return {};
    Status done;
    if (has_current_) {
        done = fill(end.value_or(last_at_));
        if (done && !current_written_) done = write_current();
    }
    ::close(fd_);
    fd_ = -1;
    return done;
}

}  // namespace corvane
