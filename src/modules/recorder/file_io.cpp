#include "recorder/file_io.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <set>

#include "recorder/format.hpp"
#include "terminal/output.hpp"

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

// Opens close-on-exec, clear of standard output's number. An open that blocks (a FIFO with no
// peer yet) is retried after a signal unless `stop` says the caller has a reason to give up.
int open_file(const std::string& path, int flags, StopCheck stop) {
    int fd;
    do {
        fd = ::open(path.c_str(), flags | O_CLOEXEC, 0666);
    } while (fd < 0 && errno == EINTR && !stop());
    if (fd < 0 && errno == EINTR) return -1;  // errno stays EINTR for the caller
    return terminal::above_stdio(fd);
}

IoError nul_in_path() { return IoError::simple(IoKind::InvalidInput, "file name contained an unexpected NUL byte"); }

}  // namespace

IoError unexpected_eof() { return IoError::simple(IoKind::UnexpectedEof, "failed to fill whole buffer"); }

RecordingWriter::RecordingWriter(int fd) : fd_(fd), buf_(new std::uint8_t[kBufferSize]), owner_pid_(getpid()) {
    struct stat st {};
    if (fstat(fd, &st) == 0) {
        dev_ = st.st_dev;
        ino_ = st.st_ino;
        regular_ = S_ISREG(st.st_mode);
    }
    std::memcpy(buf_.get(), format::kMagic, format::kMagicSize);
    len_ = format::kMagicSize;
    commit();
    track(this);
}

std::variant<std::unique_ptr<RecordingWriter>, IoError> RecordingWriter::open(const std::string& path,
                                                                              StopCheck stop) {
    if (path.find('\0') != std::string::npos) return nul_in_path();
    int fd = open_file(path, O_WRONLY | O_CREAT, stop);
    if (fd < 0) return IoError::last_os();
    return std::unique_ptr<RecordingWriter>(new RecordingWriter(fd));
}

IoStatus RecordingWriter::truncate() {
    if (regular_ && ftruncate(fd_, 0) != 0) return IoError::last_os();
    return std::nullopt;
}

IoStatus RecordingWriter::flush() {
    IoStatus err = flush_buffer();
    forget_written_ends();
    if (err && file_pos_ != on_disk_end_) cut_file_to(on_disk_end_);
    return err;
}

RecordingWriter::~RecordingWriter() {
    finish();
    untrack(this);
}

IoStatus RecordingWriter::flush_buffer() {
    std::size_t written = 0;
    IoStatus err = terminal::write_all(fd_, buf_.get(), len_, written, "failed to write whole buffer");
    std::memmove(buf_.get(), buf_.get() + written, len_ - written);
    len_ -= written;
    file_pos_ += written;
    return err;
}

IoStatus RecordingWriter::write(const std::uint8_t* data, std::size_t len) {
    if (len <= kBufferSize - len_) {
        std::memcpy(buf_.get() + len_, data, len);
        len_ += len;
        return std::nullopt;
    }
    if (IoStatus err = flush_buffer()) return err;
    if (len < kBufferSize) {
        std::memcpy(buf_.get(), data, len);
        len_ = len;
        return std::nullopt;
    }
    std::size_t written = 0;
    IoStatus err = terminal::write_all(fd_, data, len, written, "failed to write whole buffer");
    file_pos_ += written;
    return err;
}

void RecordingWriter::commit() {
    committed_ = file_pos_ + len_;
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
        len_ = 0;
        cut_file_to(committed_);
        forget_written_ends();
    } else {
        len_ = std::size_t(committed_ - file_pos_);
    }
}

void RecordingWriter::finish() {
    if (fd_ < 0) return;
    // A forked child shares the file but not the recording: only the process that created the
    // writer writes out its buffer, or the buffered frames would land in the file twice.
    if (getpid() != owner_pid_) {
        ::close(fd_);
        fd_ = -1;
        return;
    }
    // The buffer holds complete records only. If just part of it reaches the file, the record
    // cut in half is cut off, so the file still ends where a record ends.
    (void)flush();
    ::close(fd_);
    fd_ = -1;
}

std::variant<std::unique_ptr<RecordingReader>, IoError> RecordingReader::open(const std::string& path,
                                                                              StopCheck stop) {
    if (path.find('\0') != std::string::npos) return nul_in_path();
    int fd = open_file(path, O_RDONLY, stop);
    if (fd < 0) return IoError::last_os();
    return std::unique_ptr<RecordingReader>(new RecordingReader(fd));
}

RecordingReader::~RecordingReader() { ::close(fd_); }

IoStatus RecordingReader::read_exact(std::uint8_t* out, std::size_t len) {
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
        const bool direct = len >= kBufferSize;
        ssize_t n = ::read(fd_, direct ? out : buf_.get(), direct ? len : kBufferSize);
        if (n < 0) {
            if (errno == EINTR) continue;
            return IoError::last_os();
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
    return std::nullopt;
}

std::optional<std::uint64_t> RecordingReader::remaining() const {
    struct stat st {};
    const off_t at = lseek(fd_, 0, SEEK_CUR);
    if (fstat(fd_, &st) != 0 || at < 0 || !S_ISREG(st.st_mode)) return std::nullopt;
    const std::uint64_t unread = fill_ - pos_;
    return st.st_size > at ? std::uint64_t(st.st_size - at) + unread : unread;
}

}  // namespace corvane
