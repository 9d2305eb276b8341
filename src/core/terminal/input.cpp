#include "core/terminal/input.hpp"

#include <fcntl.h>
#include <sys/epoll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <deque>
#include <memory>
#include <mutex>
#include <vector>

#include "core/fd_io.hpp"
#include "core/terminal/size.hpp"

namespace corvane::terminal {
namespace {

using Clock = std::chrono::steady_clock;
using keys::Item;

constexpr std::uint64_t INPUT_TOKEN = 0;
constexpr std::uint64_t SIGNAL_TOKEN = 1;
constexpr int MAX_READINESS = 3;
constexpr std::size_t READ_BUFFER = 1024;

// Touched by the signal handler: only lock-free atomics and a descriptor.
std::atomic<bool> g_winch_seen{false};
std::atomic<int> g_signal_write_fd{-1};
struct sigaction g_previous_winch;

void on_winch(int sig, siginfo_t* info, void* context) {
    const int saved = errno;
    g_winch_seen.store(true);
    const int fd = g_signal_write_fd.load();
    if (fd >= 0) {
        const char byte = 1;
        (void)!::write(fd, &byte, 1);
    }
    if (g_previous_winch.sa_flags & SA_SIGINFO) {
        if (g_previous_winch.sa_sigaction) g_previous_winch.sa_sigaction(sig, info, context);
    } else if (g_previous_winch.sa_handler != SIG_DFL && g_previous_winch.sa_handler != SIG_IGN) {
        g_previous_winch.sa_handler(sig);
    }
    errno = saved;
}

bool is_event(const Item& item) {
    return keys::event_of(item) != nullptr;
}

// Readiness, bytes and the parser; owned by the reader for the life of the process.
class Source {
  public:
    Source() = default;
    Source(const Source&) = delete;
    Source& operator=(const Source&) = delete;
    // Only a source whose creation failed half-way is ever destroyed.
    ~Source();
    static std::unique_ptr<Source> create();
    // One decoded item, nothing (the time ran out), or an error.
    Result<std::optional<Item>> try_read(std::optional<Clock::time_point> deadline);

  private:
    bool read_available();
    int input_fd_ = -1;
    int epoll_fd_ = -1;
    int signal_read_fd_ = -1;
    int signal_write_fd_ = -1;
    bool handler_installed_ = false;
    keys::Parser parser_;
    std::uint8_t buffer_[READ_BUFFER];
};

Source::~Source() {
    if (handler_installed_) sigaction(SIGWINCH, &g_previous_winch, nullptr);
    if (signal_write_fd_ >= 0) {
        g_signal_write_fd.store(-1);
        close(signal_write_fd_);
    }
    for (int fd : {signal_read_fd_, epoll_fd_})
        if (fd >= 0) close(fd);
    if (input_fd_ > STDIN_FILENO) close(input_fd_);
}

std::unique_ptr<Source> Source::create() {
    auto source = std::make_unique<Source>();
    source->input_fd_ =
        isatty(STDIN_FILENO) ? STDIN_FILENO : above_stdio(open("/dev/tty", O_RDWR | O_CLOEXEC));
    if (source->input_fd_ < 0) return nullptr;
    source->epoll_fd_ = above_stdio(epoll_create1(EPOLL_CLOEXEC));
    if (source->epoll_fd_ < 0) return nullptr;
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.u64 = INPUT_TOKEN;
    if (epoll_ctl(source->epoll_fd_, EPOLL_CTL_ADD, source->input_fd_, &ev) != 0) return nullptr;

    int pair[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, pair) != 0) return nullptr;
    pair[0] = above_stdio(pair[0]);
    pair[1] = above_stdio(pair[1]);
    if (pair[0] < 0 || pair[1] < 0) return nullptr;
    // Moved descriptors lose the non-blocking flag; the handler must never block on a full pipe.
    for (int fd : pair) fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    source->signal_read_fd_ = pair[0];
    source->signal_write_fd_ = pair[1];
    g_signal_write_fd.store(pair[1]);
    struct sigaction action {};
    action.sa_sigaction = on_winch;
    action.sa_flags = SA_SIGINFO | SA_RESTART;
    sigemptyset(&action.sa_mask);
    if (sigaction(SIGWINCH, &action, &g_previous_winch) != 0) return nullptr;
    source->handler_installed_ = true;
    ev.data.u64 = SIGNAL_TOKEN;
    if (epoll_ctl(source->epoll_fd_, EPOLL_CTL_ADD, pair[0], &ev) != 0) return nullptr;
    return source;
}

// Reads what the terminal holds right now, without ever waiting for more; true if any came.
bool Source::read_available() {
    bool any = false;
    for (;;) {
        int available = 0;
        if (ioctl(input_fd_, FIONREAD, &available) != 0 || available <= 0) return any;
        const std::size_t want = std::min<std::size_t>(std::size_t(available), READ_BUFFER);
        ssize_t n = ::read(input_fd_, buffer_, want);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return any;  // end of input, a hang-up or a read error: nothing to decode
        any = true;
        // A read that filled the buffer may have more behind it, whatever FIONREAD said before:
        // a lone Esc at its end waits for the next byte.
        const bool more_after = std::size_t(n) == READ_BUFFER || std::size_t(available) > std::size_t(n);
        parser_.feed(buffer_, std::size_t(n), more_after);
        if (parser_.has_item()) return any;
    }
}

Result<std::optional<Item>> Source::try_read(std::optional<Clock::time_point> deadline) {
    Item item;
    if (parser_.pop(item)) return std::optional<Item>(std::move(item));
    for (;;) {
        int wait_ms = -1;
        if (deadline) {
            auto left = std::chrono::ceil<std::chrono::milliseconds>(*deadline - Clock::now()).count();
            wait_ms = left > 0 ? int(std::min<long long>(left, 1 << 30)) : 0;
        }
        epoll_event ready[MAX_READINESS];
        int n = epoll_wait(epoll_fd_, ready, MAX_READINESS, wait_ms);
        if (n < 0) {
            if (errno == EINTR) continue;
            return Error::step(IoError::last_os());
        }
        for (int i = 0; i < n; ++i) {
            if (ready[i].data.u64 == INPUT_TOKEN) {
                read_available();
                if (parser_.pop(item)) return std::optional<Item>(std::move(item));
            } else {
                char drain[READ_BUFFER];
                while (::read(signal_read_fd_, drain, sizeof drain) > 0) {
                }
                if (g_winch_seen.exchange(false)) {
                    Result<Size> size = terminal::size();
                    if (!size) return size.error();
                    // poll_key reports it as None
                    return std::optional<Item>(Item{keys::Event{.key = keys::Key::Resize}});
                }
            }
        }
        if (deadline && Clock::now() >= *deadline) return std::optional<Item>();
    }
}

// Replies the terminal sends (cursor positions, device attributes) are dropped as they are
// decoded: nothing here asks for them, and keeping them would let a flood of them (or a key that
// decodes as one, like modified F3) grow memory and the cost of every poll without end. So the
// queue holds events only, and a poll looks at a bounded number of items before it answers.
constexpr int ITEMS_PER_POLL = 256;

struct Reader {
    std::unique_ptr<Source> source;
    std::deque<keys::Event> events;
};

std::timed_mutex g_reader_mutex;
Reader* g_reader = nullptr;  // never destroyed: the process owns it until exit

Reader& reader() {
    if (!g_reader) {
        g_reader = new Reader;
        g_reader->source = Source::create();
    }
    return *g_reader;
}

Result<bool> poll_locked(Reader& r, std::optional<std::chrono::milliseconds> timeout) {
    if (!r.events.empty()) return true;
    if (!r.source) return Error::step(IoError::fixed(IoKind::Other, IoText::kNoInputReader));
    std::optional<Clock::time_point> deadline;
    if (timeout) deadline = Clock::now() + *timeout;
    for (int seen = 0;; ++seen) {
        auto got = r.source->try_read(deadline);
        if (!got) {
            if (got.error().io.kind == IoKind::Interrupted) return false;
            return got.error();
        }
        std::optional<Item>& item = got.value();
        if (item && is_event(*item)) {
            r.events.push_back(item->event);
            return true;
        }
        // Not the deadline: a zero timeout is due at once, and a poll that looked at one reply
        // each would leave a key behind a flood of them for as many polls.
        if (!item || seen + 1 >= ITEMS_PER_POLL) return false;
    }
}

}  // namespace

Result<bool> poll_input(std::optional<std::chrono::milliseconds> timeout) {
    std::unique_lock lock(g_reader_mutex, std::defer_lock);
    const bool locked = timeout ? lock.try_lock_for(*timeout) : (lock.lock(), true);
    if (!locked) return false;
    return poll_locked(reader(), timeout);
}

Result<keys::Event> read_input() {
    for (;;) {
        {
            std::lock_guard lock(g_reader_mutex);
            Reader& r = reader();
            if (!r.events.empty()) {
                keys::Event event = std::move(r.events.front());
                r.events.pop_front();
                return event;
            }
        }
        Result<bool> ready = poll_input(std::nullopt);
        if (!ready) return ready.error();
    }
}

}  // namespace corvane::terminal
