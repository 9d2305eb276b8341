// The one buffered writer under failing and partial sinks: bytes are never lost or reordered.
// (The recording writer's cut-off at a record boundary is checked through the module, on a disk
// that fills up.)
#include <gtest/gtest.h>

#include <string>

#include "core/fd_io.hpp"

namespace corvane {
namespace {

// A sink that takes at most `room` more bytes, then fails.
struct Sink {
    std::string got;
    std::size_t room;
    static Status take(void* self, const std::uint8_t* data, std::size_t len, std::size_t& written) {
        auto* s = static_cast<Sink*>(self);
        written = std::min(len, s->room);
        s->got.append(reinterpret_cast<const char*>(data), written);
        s->room -= written;
        if (written < len) return Error::step(IoError::os(ENOSPC));
        return {};
    }
};

Status put(WriteBuffer& b, const std::string& s) {
    return b.write(reinterpret_cast<const std::uint8_t*>(s.data()), s.size());
}

TEST(WriteBuffer, KeepsOrderAcrossFailuresAndLargeWrites) {
    Sink sink{"", 5};
    WriteBuffer b(8, Sink::take, &sink);
    ASSERT_TRUE(put(b, "abc"));
    ASSERT_TRUE(put(b, "def"));  // fits: nothing sent yet
    EXPECT_EQ(sink.got, "");
    EXPECT_FALSE(put(b, "0123456789"));  // flushing "abcdef" fails after 5 bytes
    EXPECT_EQ(sink.got, "abcde");
    sink.room = 100;
    ASSERT_TRUE(put(b, "0123456789"));  // "f" first, then the long write straight through
    ASSERT_TRUE(b.send(reinterpret_cast<const std::uint8_t*>("xyz"), 3));
    EXPECT_EQ(sink.got, "abcdef0123456789xyz");
    EXPECT_EQ(b.size(), 0u);
}

TEST(WriteBuffer, SendKeepsWhatTheSinkRefused) {
    Sink sink{"", 2};
    WriteBuffer b(8, Sink::take, &sink);
    EXPECT_FALSE(b.send(reinterpret_cast<const std::uint8_t*>("frame"), 5));
    EXPECT_EQ(b.size(), 3u);
    sink.room = 100;
    ASSERT_TRUE(b.send(reinterpret_cast<const std::uint8_t*>("next"), 4));
    EXPECT_EQ(sink.got, "framenext");
}

}  // namespace
}  // namespace corvane
