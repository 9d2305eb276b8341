// Descriptor helpers for tests that write through real file descriptors: owned descriptors,
// anonymous temporary files, descriptor 1 pointed elsewhere for a scope, and a file size cap that
// makes the kernel accept only part of a write.
#pragma once

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>

#include "error.hpp"
#include "terminal/output.hpp"

namespace corvane::testing {

// An owned descriptor. One below 3 (possible when the process started with one of them closed) is
// moved up, so that redirecting descriptor 1 can never close or replace it.
class Fd {
public:
    // A descriptor below 3 (possible when the process started with one of them closed) is moved
    // up, so that redirecting descriptor 1 can never close or replace it.
    explicit Fd(int fd) : fd_(fd) {
        if (fd_ < 0) throw std::runtime_error(std::string("open failed: ") + std::strerror(errno));
        if (fd_ < 3) {
            const int high = ::fcntl(fd_, F_DUPFD_CLOEXEC, 3);
            ::close(fd_);
            fd_ = high;
            if (fd_ < 0) throw std::runtime_error("fcntl failed");
        }
    }
    ~Fd() { reset(); }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd_; }
    void reset() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }

private:
    int fd_;
};

inline Fd open_dev_full() { return Fd(::open("/dev/full", O_WRONLY | O_CLOEXEC)); }

// An anonymous temporary file (unlinked at once); `contents()` reads it from the start.
class TempFile {
public:
    TempFile() : fd_(make()) {}
    int fd() const { return fd_.get(); }
    std::string contents() const {
        struct stat st {};
        if (::fstat(fd(), &st) != 0) throw std::runtime_error("fstat failed");
        std::string s(static_cast<std::size_t>(st.st_size), '\0');
        std::size_t got = 0;
        while (got < s.size()) {
            ssize_t n = ::pread(fd(), s.data() + got, s.size() - got, static_cast<off_t>(got));
            if (n <= 0) throw std::runtime_error("pread failed");
            got += static_cast<std::size_t>(n);
        }
        return s;
    }

private:
    static int make() {
        const char* dir = std::getenv("TMPDIR");
        std::string path = std::string(dir && *dir ? dir : "/tmp") + "/corvane-test-XXXXXX";
        int fd = ::mkostemp(path.data(), O_CLOEXEC);
        if (fd >= 0) ::unlink(path.c_str());
        return fd;
    }
    Fd fd_;
};

// Points descriptor 1 somewhere else for the lifetime of the object. Bytes that an earlier test
// left pending in the process-wide stdout stream are dropped on the way in, and whatever is still
// pending on the way out is dropped too, so nothing leaks between tests or onto the real output.
class StdoutRedirect {
public:
    // `fd` < 0 leaves descriptor 1 closed.
    explicit StdoutRedirect(int fd) : saved_(::fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3)) {
        std::fflush(stdout);
        drain();
        point(fd);
    }
    ~StdoutRedirect() {
        std::fflush(stdout);
        drain();
        if (saved_ >= 0) {
            ::dup2(saved_, STDOUT_FILENO);
            ::close(saved_);
        } else {
            ::close(STDOUT_FILENO);
        }
    }
    StdoutRedirect(const StdoutRedirect&) = delete;
    StdoutRedirect& operator=(const StdoutRedirect&) = delete;

    void point(int fd) {
        if (fd < 0)
            ::close(STDOUT_FILENO);
        else
            ::dup2(fd, STDOUT_FILENO);
    }

private:
    static void drain() {
        int null = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
        if (null >= 0 && null != STDOUT_FILENO) {
            ::dup2(null, STDOUT_FILENO);
            ::close(null);
        }
        (void)terminal::StdoutStream::flush();
    }
    int saved_;
};

// Ignores a signal while it lives.
class IgnoreSignal {
public:
    explicit IgnoreSignal(int sig) : sig_(sig), old_(std::signal(sig, SIG_IGN)) {}
    ~IgnoreSignal() { std::signal(sig_, old_); }
    IgnoreSignal(const IgnoreSignal&) = delete;
    IgnoreSignal& operator=(const IgnoreSignal&) = delete;

private:
    int sig_;
    void (*old_)(int);
};

// Caps the size of files this process writes, with SIGXFSZ ignored so that a write past the cap
// fails with EFBIG instead of killing the process.
class FileSizeCap {
public:
    explicit FileSizeCap(rlim_t bytes) {
        old_handler_ = std::signal(SIGXFSZ, SIG_IGN);
        ::getrlimit(RLIMIT_FSIZE, &old_);
        rlimit cap = old_;
        cap.rlim_cur = bytes;
        ::setrlimit(RLIMIT_FSIZE, &cap);
    }
    ~FileSizeCap() {
        ::setrlimit(RLIMIT_FSIZE, &old_);
        std::signal(SIGXFSZ, old_handler_);
    }
    FileSizeCap(const FileSizeCap&) = delete;
    FileSizeCap& operator=(const FileSizeCap&) = delete;

private:
    rlimit old_{};
    void (*old_handler_)(int);
};

template <class F>
std::string panic_message(F&& f) {
    try {
        f();
    } catch (const Panic& p) {
        return p.message;
    }
    return "(no panic)";
}

inline const std::string kUnwrap = "called `Result::unwrap()` on an `Err` value: ";
inline const std::string kStorageFull =
    kUnwrap + "Os { code: 28, kind: StorageFull, message: \"No space left on device\" }";

}  // namespace corvane::testing
