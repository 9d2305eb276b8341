#include "core/terminal/output.hpp"

#include <unistd.h>

#include <mutex>

namespace corvane::terminal {
namespace {

Status write_pending(void*, const std::uint8_t* data, std::size_t len, std::size_t& written) {
    return write_all(STDOUT_FILENO, data, len, written);
}

std::mutex g_stdout_mutex;
WriteBuffer g_pending(STDOUT_PENDING, write_pending, nullptr);

}  // namespace

Status print(const char* data, std::size_t len) {
    std::lock_guard lock(g_stdout_mutex);
    Status done = g_pending.write(reinterpret_cast<const std::uint8_t*>(data), len);
    if (!done) return Error::of(Fault::kPrint, done.error().io);
    return done;
}

Status flush_stdout() {
    std::lock_guard lock(g_stdout_mutex);
    return g_pending.flush();
}

Status write_stdout(const std::uint8_t* data, std::size_t len, std::size_t& written) {
    std::lock_guard lock(g_stdout_mutex);
    written = 0;
    if (Status done = g_pending.flush(); !done) return done;
    return write_all(STDOUT_FILENO, data, len, written, IoText::kWriteBuffered);
}

Status stdout_sink(void*, const std::uint8_t* data, std::size_t len, std::size_t& written) {
    return write_stdout(data, len, written);
}

}  // namespace corvane::terminal
