#include "core/terminal/size.hpp"

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <string>

extern char** environ;

namespace corvane::terminal {
namespace {

// Reads both pipes until both reach end of file; draining them together keeps a chatty child
// from blocking on a full stderr pipe while we wait on stdout.
std::string drain(int out_fd, int err_fd) {
    std::string out;
    pollfd fds[2] = {{out_fd, POLLIN, 0}, {err_fd, POLLIN, 0}};
    int open_count = 2;
    char buf[512];
    while (open_count > 0) {
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            break;
        }
        for (auto& p : fds) {
            if (p.fd < 0 || !(p.revents & (POLLIN | POLLHUP | POLLERR))) continue;
            ssize_t n = read(p.fd, buf, sizeof buf);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) {
                p.fd = -1;
                --open_count;
            } else if (p.fd == out_fd) {
                out.append(buf, static_cast<size_t>(n));
            }
        }
    }
    return out;
}

struct Pipe {
    int r = -1, w = -1;
    bool open() {
        int fds[2];
        if (pipe2(fds, O_CLOEXEC) != 0) return false;
        r = fds[0];
        w = fds[1];
        return true;
    }
    ~Pipe() {
        if (r >= 0) close(r);
        if (w >= 0) close(w);
    }
    void close_write() {
        close(w);
        w = -1;
    }
};

}  // namespace

std::uint16_t parse_digits(std::string_view text) {
    std::uint16_t value = 0;
    for (unsigned char c : text)
        if (c >= '0' && c <= '9') value = static_cast<std::uint16_t>(value * 10 + (c - '0'));
    return value;
}

Result<Size> window_size() {
    int tty = open("/dev/tty", O_RDONLY | O_CLOEXEC | O_NOCTTY);
    int fd = tty >= 0 ? tty : STDOUT_FILENO;
    winsize ws{};
    int rc = ioctl(fd, TIOCGWINSZ, &ws);
    int err = errno;
    if (tty >= 0) close(tty);
    if (rc != 0) return Error::step(IoError::os(err));
    return Size{ws.ws_col, ws.ws_row};
}

std::optional<std::uint16_t> tput_value(const char* arg) {
    Pipe out, err;
    if (!out.open() || !err.open()) return std::nullopt;

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, out.w, STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, err.w, STDERR_FILENO);

    char name[] = "tput";
    std::string argument = arg;
    char* argv[] = {name, argument.data(), nullptr};
    pid_t pid = -1;
    int rc = posix_spawnp(&pid, "tput", &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) return std::nullopt;

    out.close_write();
    err.close_write();
    std::string text = drain(out.r, err.r);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    std::uint16_t value = parse_digits(text);
    if (value == 0) return std::nullopt;
    return value;
}

Result<Size> size() {
    if (Result<Size> ws = window_size()) return ws;
    auto cols = tput_value("cols");
    auto lines = tput_value("lines");
    if (cols && lines) return Size{*cols, *lines};
    return Error::step(IoError::last_os());
}

}  // namespace corvane::terminal
