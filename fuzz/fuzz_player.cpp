// libFuzzer target: the recording player, reading and rebuilding arbitrary files.
//
// The input is a recording file. It is played with `VideoRecorder::play` from an in-memory file,
// or, for a third of the inputs, from a pipe (no size to check lengths against), drawing on a
// pseudo-terminal of 24 x 8 cells (a sink whose bytes a thread collects), without the pacing
// sleeps; an odd-sized input is played sharpened. The same file is also played by a small
// reference player written here from the file format alone (whole file in memory, zlib's plain
// inflate, its own key/delta rebuild), which shares with the real one only OpenCV's resize, the
// sharpening and the renderer's cell assembly. Checked on every input:
// - nothing crashes, leaks or hangs, and no allocation follows a size field past the data
//   (libFuzzer's -rss_limit_mb / -malloc_limit_mb);
// - the outcome is the reference's: success, an error value, or the Panic with the same message
//   (end of file, corrupt stream, range end, index out of bounds);
// - the terminal receives exactly the reference's bytes: nothing for a file that is too short or
//   not a recording, else the playback screen, every frame before the failure, and the screen
//   left again only on success.
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <termios.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <opencv2/imgproc.hpp>
#include <string>
#include <thread>
#include <vector>

#include "codec.hpp"
#include "reference_inflate.hpp"
#include "recorder/recorder.hpp"
#include "renderer.hpp"
#include "terminal/size.hpp"

using namespace corvane;

namespace {

constexpr char kHide[] = "\x1b[?25l\x1b[?1049h\x1b[H";
constexpr char kShow[] = "\x1b[?1049l\x1b[?25h";
// Written after each playback; an OSC string, which nothing the player writes can contain.
constexpr char kSentinel[] = "\x1b]corvane-fuzz-end\x07";
constexpr const char* kEofPanic =
    "called `Result::unwrap()` on an `Err` value: Error { kind: UnexpectedEof, message: \"failed to fill whole buffer\" }";
constexpr const char* kCorruptPanic =
    "called `Result::unwrap()` on an `Err` value: Custom { kind: InvalidInput, error: \"corrupt deflate stream\" }";

[[noreturn]] void fail(const std::string& what) {
    std::fprintf(stderr, "invariant broken: %s\n", what.c_str());
    std::abort();
}

void check(bool ok, const std::string& what) {
    if (!ok) fail(what);
}

// ---- The terminal sink ---------------------------------------------------------------------

struct Sink {
    bool capturing = false;
    int master = -1;
    std::mutex mutex;
    std::condition_variable grown;
    std::string bytes;
};

Sink* g_sink = nullptr;
int g_file = -1;
std::string g_path;

void drain(Sink* sink) {
    char buf[65536];
    for (;;) {
        const ssize_t n = ::read(sink->master, buf, sizeof buf);
        if (n <= 0) {
            if (n < 0 && errno == EINTR) continue;
            return;
        }
        std::lock_guard lock(sink->mutex);
        sink->bytes.append(buf, std::size_t(n));
        sink->grown.notify_all();
    }
}

// Standard output becomes a raw pseudo-terminal of 24 x 8 cells whose output a thread collects.
void open_sink() {
    g_sink = new Sink;
    const int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    const int slave = master >= 0 && grantpt(master) == 0 && unlockpt(master) == 0
                          ? ::open(ptsname(master), O_RDWR | O_NOCTTY | O_CLOEXEC)
                          : -1;
    if (slave < 0) {
        // No pseudo-terminals here: draw into /dev/null and check outcomes only.
        const int null = ::open("/dev/null", O_WRONLY);
        ::dup2(null, STDOUT_FILENO);
        std::fprintf(stderr, "fuzz_player: no pseudo-terminal; checking outcomes only\n");
        return;
    }
    termios t{};
    tcgetattr(slave, &t);
    cfmakeraw(&t);
    tcsetattr(slave, TCSANOW, &t);
    winsize ws{8, 24, 0, 0};
    ioctl(slave, TIOCSWINSZ, &ws);
    ::dup2(slave, STDOUT_FILENO);
    ::close(slave);
    g_sink->master = master;
    g_sink->capturing = true;
    std::thread(drain, g_sink).detach();
    std::fprintf(stderr, "fuzz_player: drawing on a 24 x 8 pseudo-terminal, checking every byte\n");
}

// Everything drawn since the last call.
std::string take_output() {
    if (!g_sink->capturing) return {};
    const std::size_t marker = sizeof kSentinel - 1;
    for (std::size_t off = 0; off < marker;) {
        const ssize_t n = ::write(STDOUT_FILENO, kSentinel + off, marker - off);
        if (n > 0) off += std::size_t(n);
        else if (errno != EINTR) fail("cannot write the sentinel");
    }
    std::unique_lock lock(g_sink->mutex);
    const bool seen = g_sink->grown.wait_for(lock, std::chrono::seconds(30), [] {
        const std::string& b = g_sink->bytes;
        return b.size() >= marker && b.compare(b.size() - marker, marker, kSentinel) == 0;
    });
    check(seen, "the drawn bytes did not arrive");
    std::string out = g_sink->bytes.substr(0, g_sink->bytes.size() - marker);
    g_sink->bytes.clear();
    return out;
}

// The pacing sleep is skipped, and never asks the playback to stop.
bool no_sleep(std::chrono::nanoseconds, void*) { return false; }

// ---- The reference player ------------------------------------------------------------------

enum class End { kFinished, kError, kPanic };

struct Outcome {
    End end;
    std::string message;  // the panic's message
};

using Inflated = fuzz_reference::Inflated;
using fuzz_reference::inflate_all;

std::uint32_t u32_at(const std::uint8_t* p) {
    return std::uint32_t(p[0]) | std::uint32_t(p[1]) << 8 | std::uint32_t(p[2]) << 16 | std::uint32_t(p[3]) << 24;
}

Outcome reference_play(const std::uint8_t* d, std::size_t n, float sharpen, std::int32_t term_w,
                       std::int32_t term_h, std::string& out) {
    if (n < 4) return {End::kPanic, kEofPanic};
    if (std::memcmp(d, "LZDX", 4) != 0) return {End::kError, {}};
    out += kHide;
    TerminalRenderer cells;
    std::vector<std::uint8_t> previous;
    std::size_t at = 4;
    for (;;) {
        if (at == n) {
            out += kShow;
            return {End::kFinished, {}};
        }
        if (n - at < 21) return {End::kPanic, kEofPanic};
        const std::uint8_t type = d[at];
        const auto rows = static_cast<std::int32_t>(u32_at(d + at + 9));
        const auto cols = static_cast<std::int32_t>(u32_at(d + at + 13));
        const std::uint32_t payload_len = u32_at(d + at + 17);
        at += 21;
        if (payload_len > n - at) return {End::kPanic, kEofPanic};
        const std::uint8_t* payload = d + at;
        at += payload_len;

        const bool negative = rows < 0 || cols < 0;
        const std::uint64_t frame_len = negative ? 0 : std::uint64_t(rows) * std::uint64_t(cols) * 3;
        Inflated plain = inflate_all(payload, payload_len, frame_len);
        if (plain.corrupt) return {End::kPanic, kCorruptPanic};
        if (negative) return {End::kError, {}};
        if (rows > 0 && plain.total < frame_len) {
            const std::uint64_t row_len = std::uint64_t(cols) * 3;
            const std::uint64_t end = (plain.total / row_len + 1) * row_len;
            return {End::kPanic, "range end index " + std::to_string(end) + " out of range for slice of length " +
                                     std::to_string(plain.total)};
        }
        std::vector<std::uint8_t>& frame = plain.kept;
        if (type != 0) {
            if (previous.size() < frame.size()) {
                const std::string len = std::to_string(previous.size());
                return {End::kPanic, "index out of bounds: the len is " + len + " but the index is " + len};
            }
            for (std::size_t i = 0; i < frame.size(); ++i) frame[i] ^= previous[i];
        }
        previous = frame;

        cv::Mat picture(rows, cols, CV_8UC3);
        if (!frame.empty()) std::memcpy(picture.data, frame.data(), frame.size());
        if (sharpen > 0.0f) {
            Result<cv::Mat> sharp = VideoCodec::sharpen_with_dft(picture, sharpen);
            if (!sharp.ok()) return {End::kError, {}};
            picture = sharp.take();
        }
        const std::int32_t target_h = display_height(term_h);
        if (picture.rows != target_h || picture.cols != term_w) {
            try {
                cv::Mat fitted;
                cv::resize(picture, fitted, cv::Size(term_w, target_h), 0, 0, cv::INTER_LINEAR);
                picture = fitted;
            } catch (const cv::Exception&) {
                return {End::kError, {}};
            }
        }
        cells.assemble(picture.data, picture.rows, picture.cols);
        out.append(reinterpret_cast<const char*>(cells.output().data()), cells.output().size());
    }
}

const char* name(End e) {
    switch (e) {
        case End::kFinished: return "finished";
        case End::kError: return "error value";
        case End::kPanic: return "panic";
    }
    return "?";
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    open_sink();
    g_file = memfd_create("recording", MFD_CLOEXEC);
    if (g_file < 0) fail("memfd_create");
    g_path = "/proc/self/fd/" + std::to_string(g_file);
    return 0;
}

// A pipe holding `data` with its writing end closed, so that reading it ends where the data ends.
int filled_pipe(const std::uint8_t* data, std::size_t size) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) fail("pipe2");
    for (std::size_t off = 0; off < size;) {
        const ssize_t n = ::write(fds[1], data + off, size - off);
        if (n > 0) off += std::size_t(n);
        else if (errno != EINTR) fail("cannot fill the pipe");
    }
    ::close(fds[1]);
    return fds[0];
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (ftruncate(g_file, 0) != 0 || pwrite(g_file, data, size, 0) != ssize_t(size)) fail("cannot write the file");
    const float sharpen = size % 2 ? 0.75f : 0.0f;
    // A pipe holds 64 KiB unread, more than the largest input (-max_len).
    const int pipe_end = size % 3 == 2 && size <= 65536 ? filled_pipe(data, size) : -1;
    const std::string path = pipe_end >= 0 ? "/proc/self/fd/" + std::to_string(pipe_end) : g_path;

    Outcome got{End::kFinished, {}};
    {
        TerminalRenderer renderer;
        VideoRecorder player;
        const PlayHooks hooks{no_sleep, nullptr, nullptr};
        try {
            Result<PlayEnd> played = player.play(path, renderer, sharpen, hooks);
            if (!played.ok()) got = {End::kError, {}};
            else check(played.value() == PlayEnd::kFinished, "an uninterrupted playback was interrupted");
        } catch (const Panic& p) {
            got = {End::kPanic, p.message};
        }
    }
    if (pipe_end >= 0) ::close(pipe_end);
    const std::string drawn = take_output();

    const terminal::SizeResult size_now = terminal::size();
    const std::int32_t term_w = size_now.ok ? size_now.cols : 80;
    const std::int32_t term_h = size_now.ok ? size_now.rows : 24;
    std::string expected;
    const Outcome want = reference_play(data, size, sharpen, term_w, term_h, expected);

    check(got.end == want.end, std::string("outcome ") + name(got.end) + ", expected " + name(want.end));
    check(got.message == want.message, "panic message \"" + got.message + "\", expected \"" + want.message + "\"");
    if (g_sink->capturing) {
        check(drawn == expected, "the terminal received " + std::to_string(drawn.size()) + " bytes, expected " +
                                     std::to_string(expected.size()));
    }
    return 0;
}
