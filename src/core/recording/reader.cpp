#include "core/recording/reader.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "core/fd_io.hpp"
#include "core/recording/codec.hpp"

namespace corvane {
namespace {

RecordDamage damage_at(DamageKind kind, std::uint64_t offset, std::optional<std::size_t> record,
                       std::int64_t a = 0, std::int64_t b = 0, std::int64_t c = 0, std::int64_t d = 0) {
    return RecordDamage{kind, offset, record, {a, b, c, d}, {}};
}

// What is wrong with a record's header, given the record before it and the file's length.
std::optional<RecordDamage> check(const RecordEntry& r, const RecordEntry* previous, std::size_t index,
                                  std::uint64_t file_size) {
    const format::RecordHeader& h = r.header;
    if (h.frame_type != format::kKeyFrame && h.frame_type != format::kDeltaFrame)
        return damage_at(DamageKind::kUnknownType, r.offset, index, h.frame_type);
    if (h.rows <= 0 || h.cols <= 0) return damage_at(DamageKind::kEmptySize, r.offset, index, h.cols, h.rows);
    if (h.frame_type == format::kDeltaFrame) {
        if (!previous) return damage_at(DamageKind::kDeltaFirst, r.offset, index);
        const format::RecordHeader& p = previous->header;
        if (h.rows != p.rows || h.cols != p.cols)
            return damage_at(DamageKind::kDeltaResized, r.offset, index, h.cols, h.rows, p.cols, p.rows);
    }
    if (r.end() > file_size)
        return damage_at(DamageKind::kPayloadCut, r.offset, index, std::int64_t(file_size - r.payload_at()),
                         h.payload_len);
    return std::nullopt;
}

}  // namespace

Result<std::unique_ptr<RecordingFile>> RecordingFile::open(const std::string& path) {
    Result<int> fd = open_file(path, O_RDONLY);
    if (!fd) return fd.error();
    std::unique_ptr<RecordingFile> file(new RecordingFile(fd.value()));
    if (Status scanned = file->scan(); !scanned) return scanned.error();
    return file;
}

RecordingFile::~RecordingFile() {
    close();
}

void RecordingFile::close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

Status RecordingFile::read_at(std::uint64_t offset, std::uint8_t* out, std::size_t len,
                              std::size_t& got) const {
    got = 0;
    while (got < len) {
        const ssize_t n = ::pread(fd_, out + got, len - got, off_t(offset + got));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return Error::step(IoError::last_os());
        if (n == 0) break;
        got += std::size_t(n);
    }
    return {};
}

Status RecordingFile::scan() {
    struct stat st {};
    if (fstat(fd_, &st) != 0) return Error::step(IoError::last_os());
    file_size_ = std::uint64_t(st.st_size);
    std::uint8_t raw[format::HEADER_SIZE];
    std::size_t got = 0;
    if (Status read = read_at(0, raw, format::MAGIC_SIZE, got); !read) return read;
    if (got < format::MAGIC_SIZE || std::memcmp(raw, format::RECORDING_MAGIC, format::MAGIC_SIZE) != 0) {
        damage_ = damage_at(got == 0 ? DamageKind::kEmptyFile : DamageKind::kNoSignature, 0, std::nullopt);
        return {};
    }
    for (std::uint64_t offset = format::MAGIC_SIZE; offset < file_size_;) {
        const std::size_t index = records_.size();
        if (Status read = read_at(offset, raw, sizeof raw, got); !read) return read;
        if (got < sizeof raw) {
            damage_ =
                damage_at(DamageKind::kHeaderCut, offset, index, std::int64_t(got), format::HEADER_SIZE);
            return {};
        }
        const RecordEntry entry{offset, format::decode(raw)};
        damage_ = check(entry, records_.empty() ? nullptr : &records_.back(), index, file_size_);
        if (damage_) return {};
        records_.push_back(entry);
        if (entry.header.frame_type == format::kKeyFrame) keys_.push_back(index);
        offset = entry.end();
    }
    return {};
}

std::size_t RecordingFile::key_at_or_before(std::size_t index) const {
    return *(std::upper_bound(keys_.begin(), keys_.end(), index) - 1);
}

Status RecordingFile::apply(std::size_t index, std::optional<RecordDamage>& damage) {
    const RecordEntry& r = records_[index];
    const std::uint64_t at = r.payload_at();
    const std::uint64_t raw = r.raw_size();
    const auto found = [&](DamageKind kind, std::int64_t a = 0, std::int64_t b = 0) {
        damage = damage_at(kind, at, index, a, b);
        return Status{};
    };
    if (fd_ < 0) return Error::step(IoError::os(EBADF));
    payload_.resize(r.header.payload_len);
    std::size_t got = 0;
    if (Status read = read_at(at, payload_.data(), payload_.size(), got); !read) return read;
    if (got < payload_.size()) return found(DamageKind::kFileChanged);

    const InflateReport report = VideoCodec::inflate_checked(payload_.data(), payload_.size(), raw, plain_);
    const auto produced = std::int64_t(report.produced);
    if (report.corrupt) {
        damage = damage_at(DamageKind::kCorruptStream, at, index);
        damage->reason = report.reason;
        return {};
    }
    if (report.produced > raw) return found(DamageKind::kTooLong, std::int64_t(raw));
    if (!report.ended) return found(DamageKind::kStreamCut, produced, std::int64_t(raw));
    if (report.produced < raw) return found(DamageKind::kTooShort, produced, std::int64_t(raw));
    if (report.unused > 0) return found(DamageKind::kStray, std::int64_t(report.unused));

    if (r.header.frame_type == format::kKeyFrame || frame_.size() != plain_.size())
        frame_.swap(plain_);
    else
        format::xor_into(frame_.data(), frame_.data(), plain_.data(), frame_.size());
    return {};
}

Status RecordingFile::frame(std::size_t index, std::vector<std::uint8_t>& out,
                            std::optional<RecordDamage>& damage) {
    damage.reset();
    std::size_t start = key_at_or_before(index);
    if (decoded_ && start <= *decoded_ && *decoded_ <= index) start = *decoded_ + 1;
    // The frame is rebuilt in place; whatever stops the way leaves no frame to continue from.
    decoded_.reset();
    for (std::size_t i = start; i <= index; ++i) {
        if (Status applied = apply(i, damage); !applied || damage) return applied;
    }
    decoded_ = index;
    out.assign(frame_.begin(), frame_.end());
    return {};
}

}  // namespace corvane
