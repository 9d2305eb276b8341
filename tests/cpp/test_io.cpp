// The one buffered writer and the recording writer under failing and partial sinks: bytes are
// never lost or reordered, and a recording always ends at a record boundary.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <string>

#include "modules/fd_io.hpp"
#include "modules/recorder/file_io.hpp"

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

std::string file_text(const std::string& path) {
    std::string s(1 << 16, '\0');
    int fd = ::open(path.c_str(), O_RDONLY);
    s.resize(std::size_t(std::max<ssize_t>(0, ::read(fd, s.data(), s.size()))));
    ::close(fd);
    return s;
}

// A file size limit makes the disk "full" mid-record: the record is cut off, earlier ones stay.
TEST(RecordingWriter, AFailedRecordIsCutOffTheFile) {
    char dir[] = "/tmp/corvane-io-XXXXXX";
    ASSERT_TRUE(mkdtemp(dir));
    const std::string path = std::string(dir) + "/rec";
    std::signal(SIGXFSZ, SIG_IGN);
    rlimit old{};
    getrlimit(RLIMIT_FSIZE, &old);
    {
        Result<std::unique_ptr<RecordingWriter>> w = RecordingWriter::open(path);
        ASSERT_TRUE(w);
        RecordingWriter& rec = *w.value();
        ASSERT_TRUE(rec.truncate());
        const std::string first(5000, 'a'), second(9000, 'b');
        ASSERT_TRUE(rec.write(reinterpret_cast<const std::uint8_t*>(first.data()), first.size()));
        rec.commit();
        rlimit small{10000, old.rlim_max};
        setrlimit(RLIMIT_FSIZE, &small);
        Status failed = rec.write(reinterpret_cast<const std::uint8_t*>(second.data()), second.size());
        ASSERT_FALSE(failed);
        EXPECT_EQ(failed.error().io.kind, IoKind::FileTooLarge);
        rec.rollback();
        setrlimit(RLIMIT_FSIZE, &old);
        rec.finish();
    }
    const std::string text = file_text(path);
    EXPECT_EQ(text.size(), 5004u);
    EXPECT_TRUE(text == "LZDX" + std::string(5000, 'a'));
    ::unlink(path.c_str());
    ::rmdir(dir);
}

TEST(FdIo, OpenRefusesNulAndKeepsOffStandardNumbers) {
    EXPECT_EQ(open_file(std::string("a\0b", 3), O_RDONLY).error().io.text, IoText::kNulInPath);
    const int saved = ::dup(0);
    ::close(0);
    Result<int> fd = open_file("/dev/null", O_RDONLY);
    ::dup2(saved, 0);
    ::close(saved);
    ASSERT_TRUE(fd);
    EXPECT_GT(fd.value(), 2);
    ::close(fd.value());
}

}  // namespace
}  // namespace corvane
