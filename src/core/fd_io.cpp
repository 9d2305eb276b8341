#include "core/fd_io.hpp"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace corvane {

int above_stdio(int fd) {
    if (fd < 0 || fd > STDERR_FILENO) return fd;
    const int moved = ::fcntl(fd, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
    const int saved = errno;
    ::close(fd);
    errno = saved;
    return moved;
}

Result<int> open_file(const std::string& path, int flags, StopCheck stop) {
    if (path.find('\0') != std::string::npos)
        return Error::of(Fault::kOpen, IoError::fixed(IoKind::InvalidInput, IoText::kNulInPath));
    int fd;
    do {
        fd = ::open(path.c_str(), flags | O_CLOEXEC, 0666);
    } while (fd < 0 && errno == EINTR && !stop());
    if (fd >= 0) fd = above_stdio(fd);
    if (fd < 0) return Error::of(Fault::kOpen, IoError::last_os());
    return fd;
}

Status write_all(int fd, const std::uint8_t* data, std::size_t len, std::size_t& written, IoText zero_text) {
    written = 0;
    while (written < len) {
        ssize_t n = ::write(fd, data + written, len - written);
        if (n > 0) {
            written += static_cast<std::size_t>(n);
        } else if (n == 0) {
            return Error::step(IoError::fixed(IoKind::WriteZero, zero_text));
        } else if (errno == EINTR) {
            continue;
        } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
            // Someone made the descriptor non-blocking (a shared terminal often is): wait until
            // it takes bytes again rather than failing the frame.
            pollfd p{fd, POLLOUT, 0};
            if (::poll(&p, 1, -1) < 0 && errno != EINTR) return Error::step(IoError::last_os());
        } else if (errno == EBADF && fd == STDOUT_FILENO) {
            written = len;  // a closed standard output swallows everything
        } else {
            return Error::step(IoError::last_os());
        }
    }
    return {};
}

WriteBuffer::WriteBuffer(std::size_t capacity, Sink sink, void* context)
    : buf_(new std::uint8_t[capacity]), cap_(capacity), sink_(sink), context_(context) {}

void WriteBuffer::keep(const std::uint8_t* data, std::size_t len) {
    std::memcpy(buf_.get() + len_, data, len);
    len_ += len;
}

Status WriteBuffer::flush() {
    std::size_t written = 0;
    Status done = sink_(context_, buf_.get(), len_, written);
    std::memmove(buf_.get(), buf_.get() + written, len_ - written);
    len_ -= written;
    return done;
}

Status WriteBuffer::write(const std::uint8_t* data, std::size_t len) {
    if (len <= cap_ - len_) {
        keep(data, len);
        return {};
    }
    if (Status done = flush(); !done) return done;
    if (len < cap_) {
        keep(data, len);
        return {};
    }
    std::size_t written = 0;
    return sink_(context_, data, len, written);
}

Status WriteBuffer::send(const std::uint8_t* data, std::size_t len) {
    if (len_ != 0) {
        if (Status done = write(data, len); !done) return done;
        return flush();
    }
    std::size_t written = 0;
    Status done = sink_(context_, data, len, written);
    if (!done && len - written <= cap_) keep(data + written, len - written);
    return done;
}

}  // namespace corvane
