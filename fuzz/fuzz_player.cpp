// libFuzzer target: the player on arbitrary files, against a reference player written from the
// file format alone (whole file in memory, zlib's plain inflate, its own key/delta rebuild), which
// shares with the real one only OpenCV's resize, the sharpening and the renderer's cell assembly.
// The file is played from an in-memory file or, for a third of the inputs, from a pipe (no size
// to check lengths against); odd-sized inputs are sharpened. Checked on every input: nothing
// crashes, leaks, hangs or allocates past the data (libFuzzer's limits); the outcome is the
// reference's, with the same panic text; and standard output (a memory file) receives exactly the
// reference's bytes: nothing for a file that is not a recording, else the screen entered, every
// frame before a failure, and the screen left only on success.
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "check.hpp"
#include "core/frame/sharpen.hpp"
#include "core/recording/codec.hpp"
#include "core/recording/player.hpp"
#include "core/terminal/size.hpp"
#include "messages.hpp"
#include "reference_inflate.hpp"

using namespace corvane;

namespace {

constexpr char HIDE[] = "\x1b[?25l\x1b[?1049h\x1b[H";
constexpr char SHOW[] = "\x1b[?1049l\x1b[?25h";
const std::string kEof =
    "called `Result::unwrap()` on an `Err` value: Error { kind: UnexpectedEof, message: \"failed to fill "
    "whole buffer\" }";
const std::string kCorrupt =
    "called `Result::unwrap()` on an `Err` value: Custom { kind: InvalidInput, error: \"corrupt deflate "
    "stream\" }";

std::uint32_t u32_at(const std::uint8_t* p) {
    return std::uint32_t(p[0]) | std::uint32_t(p[1]) << 8 | std::uint32_t(p[2]) << 16 |
           std::uint32_t(p[3]) << 24;
}

// "" for success, "error" for a RuntimeError, else the panic's text; `out` gets the drawn bytes.
std::string reference_play(const std::uint8_t* d, std::size_t n, float sharpen, std::string& out) {
    if (n < 4) return kEof;
    if (std::memcmp(d, "LZDX", 4) != 0) return "error";
    Result<terminal::Size> size = terminal::size();
    const int term_w = size ? size.value().cols : 80, term_h = size ? size.value().rows : 24;
    out += HIDE;
    TerminalRenderer cells;
    std::vector<std::uint8_t> previous;
    for (std::size_t at = 4;;) {
        if (at == n) return out += SHOW, "";
        if (n - at < 21) return kEof;
        const std::uint8_t type = d[at];
        const auto rows = std::int32_t(u32_at(d + at + 9)), cols = std::int32_t(u32_at(d + at + 13));
        const std::uint32_t payload_len = u32_at(d + at + 17);
        at += 21;
        if (payload_len > n - at) return kEof;
        const bool negative = rows < 0 || cols < 0;
        const std::uint64_t frame_len = negative ? 0 : std::uint64_t(rows) * std::uint64_t(cols) * 3;
        fuzz_reference::Inflated plain = fuzz_reference::inflate_all(d + at, payload_len, frame_len);
        at += payload_len;
        if (plain.corrupt) return kCorrupt;
        if (negative) return "error";
        if (rows > 0 && plain.total < frame_len) {
            const std::uint64_t end = (plain.total / (std::uint64_t(cols) * 3) + 1) * std::uint64_t(cols) * 3;
            return "range end index " + std::to_string(end) + " out of range for slice of length " +
                   std::to_string(plain.total);
        }
        std::vector<std::uint8_t>& frame = plain.kept;
        if (type != 0) {
            const std::string len = std::to_string(previous.size());
            if (previous.size() < frame.size())
                return "index out of bounds: the len is " + len + " but the index is " + len;
            for (std::size_t i = 0; i < frame.size(); ++i) frame[i] ^= previous[i];
        }
        previous = frame;
        cv::Mat picture(rows, cols, CV_8UC3);
        if (!frame.empty()) std::memcpy(picture.data, frame.data(), frame.size());
        if (sharpen > 0.0f) {
            Result<cv::Mat> sharp = sharpen_with_dft(picture, sharpen);
            if (!sharp) return "error";
            picture = sharp.take();
        }
        if (picture.rows != display_height(term_h) || picture.cols != term_w) {
            Result<cv::Mat> fitted = fit_to_grid(picture, term_w, term_h);
            if (!fitted) return "error";
            picture = fitted.take();
        }
        cells.assemble(picture.data, picture.rows, picture.cols);
        out.append(reinterpret_cast<const char*>(cells.output().data()), cells.output().size());
    }
}

int g_file = -1;

std::string drawn_and_cleared() {
    std::string s(std::size_t(lseek(STDOUT_FILENO, 0, SEEK_END)), '\0');
    check(pread(STDOUT_FILENO, s.data(), s.size(), 0) == ssize_t(s.size()), "reading standard output back");
    check(ftruncate(STDOUT_FILENO, 0) == 0 && lseek(STDOUT_FILENO, 0, SEEK_SET) == 0,
          "clearing standard output");
    return s;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    check(dup2(memfd_create("stdout", 0), STDOUT_FILENO) == STDOUT_FILENO,
          "standard output as a memory file");
    g_file = memfd_create("recording", MFD_CLOEXEC);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    check(ftruncate(g_file, 0) == 0 && pwrite(g_file, data, size, 0) == ssize_t(size), "writing the file");
    const float sharpen = size % 2 ? 0.75f : 0.0f;
    int pipe_end = -1;
    if (size % 3 == 2 && size <= 65536) {  // a pipe holds 64 KiB unread
        int fds[2];
        check(pipe2(fds, O_CLOEXEC) == 0 && write(fds[1], data, size) == ssize_t(size), "filling a pipe");
        ::close(fds[1]);
        pipe_end = fds[0];
    }
    std::string got;
    {
        TerminalRenderer renderer;
        const PlayHooks hooks{[](std::chrono::nanoseconds, void*) { return false; }, nullptr, nullptr};
        const std::string path = "/proc/self/fd/" + std::to_string(pipe_end >= 0 ? pipe_end : g_file);
        Result<PlayEnd> played = play_recording(path, renderer, sharpen, hooks);
        if (!played)
            got = msg::describe(played.error()).panic ? msg::describe(played.error()).text : "error";
        else
            check(played.value() == PlayEnd::kFinished, "an uninterrupted playback was interrupted");
    }
    if (pipe_end >= 0) ::close(pipe_end);
    std::string expected;
    const std::string want = reference_play(data, size, sharpen, expected);
    check(got == want, "outcome \"" + got + "\", expected \"" + want + "\"");
    check(drawn_and_cleared() == expected, "standard output differs from the reference");
    return 0;
}
