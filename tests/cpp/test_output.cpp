// Tests of the standard-output stream and the frame writer over real descriptors: regular files,
// pipes, /dev/full, a closed descriptor, and a file size cap that makes the kernel accept only part
// of a write. Descriptor 1 is put back after every test that moves it.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <pthread.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "error.hpp"
#include "descriptors.hpp"
#include "terminal/output.hpp"

namespace corvane::terminal {
namespace {

using namespace corvane::testing;

std::string pattern(std::size_t n, unsigned seed) {
    std::string s(n, '\0');
    std::uint32_t x = seed;
    for (auto& c : s) {
        x = x * 1664525u + 1013904223u;
        c = static_cast<char>(x >> 24);
    }
    return s;
}

const std::uint8_t* bytes(const std::string& s) { return reinterpret_cast<const std::uint8_t*>(s.data()); }

std::string debug_of(const IoStatus& s) { return s ? s->debug() : "(ok)"; }

// ---- write_all ---------------------------------------------------------------------------------

TEST(OutputWriteAll, PartialWriteReportsWhatWentOut) {
    const std::string data = pattern(300, 1);
    TempFile file;
    std::size_t written = 999;
    IoStatus err;
    {
        FileSizeCap cap(100);
        err = write_all(file.fd(), bytes(data), data.size(), written, "zero");
    }
    EXPECT_EQ(debug_of(err), "Os { code: 27, kind: FileTooLarge, message: \"File too large\" }");
    EXPECT_EQ(written, 100u);
    EXPECT_EQ(file.contents(), data.substr(0, 100));
}

std::atomic<int> g_interrupts{0};
void count_interrupt(int) { g_interrupts.fetch_add(1); }

// Installs a handler without SA_RESTART, so that a blocked write returns early: with EINTR before
// any byte moved, or with a short count after some did.
class InterruptingSignal {
public:
    explicit InterruptingSignal(int sig) : sig_(sig) {
        struct sigaction sa {};
        sa.sa_handler = count_interrupt;
        sigemptyset(&sa.sa_mask);
        sa.sa_flags = 0;
        ::sigaction(sig_, &sa, &old_);
    }
    ~InterruptingSignal() { ::sigaction(sig_, &old_, nullptr); }
    InterruptingSignal(const InterruptingSignal&) = delete;
    InterruptingSignal& operator=(const InterruptingSignal&) = delete;

private:
    int sig_;
    struct sigaction old_ {};
};

// The writer is interrupted again and again while it waits on a full pipe; every interrupted or
// short write must be continued where it stopped.
TEST(OutputWriteAll, InterruptedWritesThroughAPipeArriveWhole) {
    const std::string data = pattern(8 << 20, 2);
    int fds[2];
    ASSERT_EQ(::pipe2(fds, O_CLOEXEC), 0);
    Fd read_end(fds[0]), write_end(fds[1]);
    InterruptingSignal handler(SIGUSR1);
    IgnoreSignal no_sigpipe(SIGPIPE);
    g_interrupts = 0;
    const pthread_t writer = ::pthread_self();
    std::atomic<bool> writing{true};
    std::string received;
    std::thread reader([&] {
        char buf[16384];
        ssize_t n;
        int reads = 0;
        while ((n = ::read(read_end.get(), buf, sizeof buf)) > 0) {
            received.append(buf, static_cast<std::size_t>(n));
            if (received.size() > data.size()) break;  // a writer that repeats itself fails, not hangs
            // Two signals with no read between them: the first cuts a write short, the second
            // finds the next write blocked on the still full pipe before it moved any byte.
            if (++reads % 8 != 0 || !writing) continue;
            for (int i = 0; i < 2; ++i) {
                ::pthread_kill(writer, SIGUSR1);
                std::this_thread::sleep_for(std::chrono::microseconds(300));
            }
        }
        read_end.reset();
    });
    std::size_t written = 0;
    IoStatus err = write_all(write_end.get(), bytes(data), data.size(), written, "zero");
    writing = false;
    write_end.reset();
    reader.join();
    EXPECT_EQ(debug_of(err), "(ok)");
    EXPECT_EQ(written, data.size());
    EXPECT_EQ(received.size(), data.size());
    EXPECT_TRUE(received == data);
    EXPECT_GT(g_interrupts.load(), 0);
}

// A non-blocking descriptor whose reader is slow: the writer waits instead of failing.
TEST(OutputWriteAll, NonBlockingPipeWaitsForTheReader) {
    const std::string data = pattern(1 << 20, 3);
    int fds[2];
    ASSERT_EQ(::pipe2(fds, O_CLOEXEC | O_NONBLOCK), 0);
    Fd read_end(fds[0]), write_end(fds[1]);
    std::string received;
    std::thread reader([&] {
        char buf[4096];
        while (received.size() < data.size()) {
            std::this_thread::sleep_for(std::chrono::microseconds(200));
            ssize_t n = ::read(read_end.get(), buf, sizeof buf);
            if (n > 0) received.append(buf, std::size_t(n));
        }
    });
    std::size_t written = 0;
    IoStatus err = write_all(write_end.get(), bytes(data), data.size(), written, "zero");
    reader.join();
    EXPECT_EQ(debug_of(err), "(ok)");
    EXPECT_EQ(written, data.size());
    EXPECT_TRUE(received == data);
}

TEST(OutputWriteAll, OnlyDescriptorOneIsASinkWhenClosed) {
    // Some other closed descriptor is an ordinary error.
    int closed = ::fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 500);
    ASSERT_GE(closed, 0);
    ::close(closed);
    std::size_t written = 999;
    EXPECT_EQ(debug_of(write_all(closed, bytes("abc"), 3, written, "zero")),
              "Os { code: 9, kind: Uncategorized, message: \"Bad file descriptor\" }");
    EXPECT_EQ(written, 0u);

    IoStatus err;
    {
        StdoutRedirect redirect(-1);
        err = write_all(STDOUT_FILENO, bytes("abcdef"), 6, written, "zero");
    }
    EXPECT_EQ(debug_of(err), "(ok)");
    EXPECT_EQ(written, 6u);
}

// ---- StdoutStream ------------------------------------------------------------------------------

TEST(OutputStdout, ShortPrintsWaitForFlushLongOnesGoStraightThroughInOrder) {
    const std::string big = pattern(StdoutStream::kCapacity + 500, 3);
    std::string after_short, after_long, after_flush;
    IoStatus err;
    {
        TempFile file;
        StdoutRedirect redirect(file.fd());
        StdoutStream::print("abc", 3);
        after_short = file.contents();
        StdoutStream::print(big.data(), big.size());
        after_long = file.contents();
        StdoutStream::print("xyz", 3);
        err = StdoutStream::flush();
        after_flush = file.contents();
    }
    EXPECT_EQ(after_short, "");
    EXPECT_TRUE(after_long == "abc" + big);
    EXPECT_EQ(debug_of(err), "(ok)");
    EXPECT_TRUE(after_flush == "abc" + big + "xyz");
}

TEST(OutputStdout, PartlyFlushedBytesAreNotSentTwice) {
    IoStatus failed, ok;
    std::string after_failure, written;
    {
        TempFile file;
        StdoutRedirect redirect(file.fd());
        StdoutStream::print("0123456789abcdef", 16);
        {
            FileSizeCap cap(10);
            failed = StdoutStream::flush();
        }
        after_failure = file.contents();
        StdoutStream::print("XY", 2);
        ok = StdoutStream::flush();
        written = file.contents();
    }
    EXPECT_EQ(debug_of(failed), "Os { code: 27, kind: FileTooLarge, message: \"File too large\" }");
    EXPECT_EQ(after_failure, "0123456789");
    EXPECT_EQ(debug_of(ok), "(ok)");
    EXPECT_EQ(written, "0123456789abcdefXY");
}

// ---- BufferedWriter ----------------------------------------------------------------------------

struct WriterStep {
    std::size_t len;       // bytes written in this step
    std::size_t on_file;   // bytes on the file afterwards
    std::size_t buffered;  // bytes held afterwards
};

TEST(OutputWriter, HoldsWhatFitsAndPassesLargeWritesThrough) {
    // Capacity 16.
    const std::vector<WriterStep> steps = {
        {10, 0, 10},  // fits
        {6, 0, 16},   // fills the buffer exactly
        {4, 16, 4},   // does not fit: the buffer goes out first
        {16, 36, 0},  // as large as the buffer: held bytes, then straight through
        {3, 36, 3},
    };
    const std::string data = pattern(64, 4);
    std::vector<std::pair<std::size_t, std::size_t>> seen;
    std::string after_flush;
    {
        TempFile file;
        StdoutRedirect redirect(file.fd());
        BufferedWriter w(16);
        std::size_t offset = 0;
        for (const WriterStep& s : steps) {
            if (w.write(bytes(data) + offset, s.len)) break;
            offset += s.len;
            seen.emplace_back(file.contents().size(), w.buffered());
        }
        (void)w.flush();
        after_flush = file.contents();
    }
    ASSERT_EQ(seen.size(), steps.size());
    for (std::size_t i = 0; i < steps.size(); ++i) {
        EXPECT_EQ(seen[i].first, steps[i].on_file) << "step " << i;
        EXPECT_EQ(seen[i].second, steps[i].buffered) << "step " << i;
    }
    EXPECT_EQ(after_flush, data.substr(0, 39));
}

TEST(OutputWriter, FlushSendsStreamBytesFirst) {
    std::string before, after;
    {
        TempFile file;
        StdoutRedirect redirect(file.fd());
        BufferedWriter w(64);
        StdoutStream::print("P", 1);
        (void)w.write(bytes("abc"), 3);
        before = file.contents();
        (void)w.flush();
        after = file.contents();
    }
    EXPECT_EQ(before, "");
    EXPECT_EQ(after, "Pabc");
}

}  // namespace
}  // namespace corvane::terminal
