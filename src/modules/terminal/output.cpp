#include "terminal/output.hpp"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <mutex>

namespace corvane::terminal {
namespace {

constexpr const char* kWriteWhole = "failed to write whole buffer";
constexpr const char* kWriteBuffered = "failed to write the buffered data";

std::mutex g_stdout_mutex;
std::uint8_t g_pending[StdoutStream::kCapacity];
std::size_t g_pending_len = 0;

// Drops the first `n` pending bytes after a partial write.
void consume_pending(std::size_t n) {
    std::memmove(g_pending, g_pending + n, g_pending_len - n);
    g_pending_len -= n;
}

IoStatus flush_pending_locked() {
    std::size_t written = 0;
    IoStatus err = write_all(STDOUT_FILENO, g_pending, g_pending_len, written, kWriteWhole);
    consume_pending(written);
    return err;
}

}  // namespace

int above_stdio(int fd) {
    if (fd < 0 || fd > STDERR_FILENO) return fd;
    const int moved = ::fcntl(fd, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
    const int saved = errno;
    ::close(fd);
    errno = saved;
    return moved;
}

IoStatus write_all(int fd, const std::uint8_t* data, std::size_t len, std::size_t& written,
                   const char* zero_message) {
    written = 0;
    while (written < len) {
        ssize_t n = ::write(fd, data + written, len - written);
        if (n > 0) {
            written += static_cast<std::size_t>(n);
        } else if (n == 0) {
            return IoError::simple(IoKind::WriteZero, zero_message);
        } else if (errno == EINTR) {
            continue;
        } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
            // Someone made the descriptor non-blocking (a shared terminal often is): wait until
            // it takes bytes again rather than failing the frame.
            pollfd p{fd, POLLOUT, 0};
            if (::poll(&p, 1, -1) < 0 && errno != EINTR) return IoError::last_os();
        } else if (errno == EBADF && fd == STDOUT_FILENO) {
            written = len;  // a closed standard output swallows everything
        } else {
            return IoError::last_os();
        }
    }
    return std::nullopt;
}

void StdoutStream::print(const char* data, std::size_t len) {
    std::lock_guard lock(g_stdout_mutex);
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(data);
    IoStatus err;
    if (g_pending_len + len > kCapacity) err = flush_pending_locked();
    if (!err && len >= kCapacity) {
        std::size_t written = 0;
        err = write_all(STDOUT_FILENO, bytes, len, written, kWriteWhole);
    } else if (!err) {
        std::memcpy(g_pending + g_pending_len, bytes, len);
        g_pending_len += len;
    }
    if (err) throw Panic("failed printing to stdout: " + err->display());
}

IoStatus StdoutStream::flush() {
    std::lock_guard lock(g_stdout_mutex);
    return flush_pending_locked();
}

IoStatus StdoutStream::write_through(const std::uint8_t* data, std::size_t len, std::size_t& written) {
    std::lock_guard lock(g_stdout_mutex);
    written = 0;
    if (IoStatus err = flush_pending_locked()) return err;
    return write_all(STDOUT_FILENO, data, len, written, kWriteBuffered);
}

BufferedWriter::BufferedWriter(std::size_t capacity)
    : buf_(new std::uint8_t[capacity]), cap_(capacity) {}

BufferedWriter::~BufferedWriter() { (void)flush_buffer(); }

void BufferedWriter::keep(const std::uint8_t* data, std::size_t len) {
    std::memcpy(buf_.get() + len_, data, len);
    len_ += len;
}

IoStatus BufferedWriter::flush_buffer() {
    std::size_t written = 0;
    IoStatus err = StdoutStream::write_through(buf_.get(), len_, written);
    std::memmove(buf_.get(), buf_.get() + written, len_ - written);
    len_ -= written;
    return err;
}

IoStatus BufferedWriter::write(const std::uint8_t* data, std::size_t len) {
    if (len <= cap_ - len_) {
        keep(data, len);
        return std::nullopt;
    }
    if (IoStatus err = flush_buffer()) return err;
    if (len < cap_) {
        keep(data, len);
        return std::nullopt;
    }
    std::size_t written = 0;
    return StdoutStream::write_through(data, len, written);
}

IoStatus BufferedWriter::flush() {
    if (IoStatus err = flush_buffer()) return err;
    return StdoutStream::flush();
}

IoStatus BufferedWriter::write_and_flush(const std::uint8_t* data, std::size_t len) {
    if (len_ != 0) {
        if (IoStatus err = write(data, len)) return err;
        return flush();
    }
    std::size_t written = 0;
    IoStatus err = StdoutStream::write_through(data, len, written);
    // What did not go out waits in the buffer for the next frame, as if it had been buffered.
    if (err && len < cap_) keep(data + written, len - written);
    return err;
}

}  // namespace corvane::terminal
