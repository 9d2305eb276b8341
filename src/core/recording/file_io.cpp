#include "core/recording/file_io.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <set>

#include "core/recording/format.hpp"

namespace corvane {
namespace {

// Writers still open when the process exits are finished then, so no recorded frame is lost to
// an object the interpreter never got round to destroying.
std::mutex g_open_mutex;
std::set<RecordingWriter*>* g_open = nullptr;

void finish_all_at_exit() {
    std::lock_guard lock(g_open_mutex);
    if (!g_open) return;
    for (RecordingWriter* w : std::set<RecordingWriter*>(*g_open)) w->finish();
}

void track(RecordingWriter* w) {
    std::lock_guard lock(g_open_mutex);
    if (!g_open) {
        g_open = new std::set<RecordingWriter*>;
        std::atexit(finish_all_at_exit);
    }
    g_open->insert(w);
}

void untrack(RecordingWriter* w) {
    std::lock_guard lock(g_open_mutex);
    if (g_open) g_open->erase(w);
}

}  // namespace

Error unexpected_eof() {
    return Error::step(IoError::fixed(IoKind::UnexpectedEof, IoText::kFillWholeBuffer));
}

RecordingWriter::RecordingWriter(int fd)
    : fd_(fd), buffer_(WRITER_BUFFER_SIZE, to_file, this), owner_pid_(getpid()) {
    struct stat st {};
    if (fstat(fd, &st) == 0) {
        dev_ = st.st_dev;
        ino_ = st.st_ino;
        regular_ = S_ISREG(st.st_mode);
    }
    (void)buffer_.write(format::RECORDING_MAGIC, format::MAGIC_SIZE);  // fits: nothing reaches the file yet
    commit();
    track(this);
}

Result<std::unique_ptr<RecordingWriter>> RecordingWriter::open(const std::string& path, StopCheck stop) {
    Result<int> fd = open_file(path, O_WRONLY | O_CREAT, stop);
    if (!fd) return fd.error();
    return std::unique_ptr<RecordingWriter>(new RecordingWriter(fd.value()));
}

Status RecordingWriter::truncate() {
    if (regular_ && ftruncate(fd_, 0) != 0) return Error::of(Fault::kOpen, IoError::last_os());
    started_ = true;
    return {};
}

Status RecordingWriter::flush() {
    Status done = buffer_.flush();
    forget_written_ends();
    return done;
}

Status RecordingWriter::to_file(void* self, const std::uint8_t* data, std::size_t len, std::size_t& written) {
    auto* w = static_cast<RecordingWriter*>(self);
    const std::uint64_t start = w->file_pos_;
    Status done = write_all(w->fd_, data, len, written);
    w->file_pos_ += written;
    if (done) return done;
    // A record cut in half is cut off the file, and counted as not taken: the buffer keeps all of
    // its bytes and the next flush writes it whole where it begins. A record that began before
    // these bytes is left to the caller (`rollback`), who knows whether it is complete.
    w->forget_written_ends();
    if (w->on_disk_end_ >= start && w->on_disk_end_ < w->file_pos_) {
        w->cut_file_to(w->on_disk_end_);
        written = std::size_t(w->file_pos_ - start);
    }
    return done;
}

RecordingWriter::~RecordingWriter() {
    finish();
    untrack(this);
}

void RecordingWriter::commit() {
    committed_ = file_pos_ + buffer_.size();
    ends_.push_back(committed_);
    forget_written_ends();
}

void RecordingWriter::forget_written_ends() {
    while (!ends_.empty() && ends_.front() <= file_pos_) {
        on_disk_end_ = ends_.front();
        ends_.pop_front();
    }
}

void RecordingWriter::cut_file_to(std::uint64_t end) {
    if (ftruncate(fd_, off_t(end)) == 0 && lseek(fd_, off_t(end), SEEK_SET) >= 0) file_pos_ = end;
}

void RecordingWriter::rollback() {
    if (file_pos_ > committed_) {
        buffer_.truncate(0);
        cut_file_to(committed_);
        forget_written_ends();
    } else {
        buffer_.truncate(std::size_t(committed_ - file_pos_));
    }
}

void RecordingWriter::finish() {
    if (fd_ < 0) return;
    // A forked child shares the file but not the recording: only the process that created the
    // writer writes out its buffer, or the buffered frames would land in the file twice. A writer
    // that never emptied its file started no recording there: the file stays as it was found.
    if (started_ && getpid() == owner_pid_) {
        // The buffer is dropped now, so a failure that left the file inside a record cuts the
        // file back to where the last complete record ends.
        if (!flush() && file_pos_ != on_disk_end_) cut_file_to(on_disk_end_);
    }
    ::close(fd_);
    fd_ = -1;
}

Result<std::unique_ptr<RecordingReader>> RecordingReader::open(const std::string& path, StopCheck stop) {
    Result<int> fd = open_file(path, O_RDONLY, stop);
    if (!fd) return fd.error();
    return std::unique_ptr<RecordingReader>(new RecordingReader(fd.value()));
}

RecordingReader::~RecordingReader() {
    ::close(fd_);
}

Status RecordingReader::read_exact(std::uint8_t* out, std::size_t len) {
    while (len > 0) {
        if (pos_ < fill_) {
            const std::size_t n = std::min(len, fill_ - pos_);
            std::memcpy(out, buf_.get() + pos_, n);
            pos_ += n;
            out += n;
            len -= n;
            continue;
        }
        // Large requests bypass the buffer once it is empty.
        const bool direct = len >= READER_BUFFER_SIZE;
        ssize_t n = ::read(fd_, direct ? out : buf_.get(), direct ? len : READER_BUFFER_SIZE);
        if (n < 0) {
            if (errno == EINTR) continue;
            return Error::step(IoError::last_os());
        }
        if (n == 0) return unexpected_eof();
        if (direct) {
            out += n;
            len -= std::size_t(n);
        } else {
            pos_ = 0;
            fill_ = std::size_t(n);
        }
    }
    return {};
}

std::optional<std::uint64_t> RecordingReader::remaining() const {
    struct stat st {};
    const off_t at = lseek(fd_, 0, SEEK_CUR);
    if (fstat(fd_, &st) != 0 || at < 0 || !S_ISREG(st.st_mode)) return std::nullopt;
    const std::uint64_t unread = fill_ - pos_;
    return st.st_size > at ? std::uint64_t(st.st_size - at) + unread : unread;
}

}  // namespace corvane
