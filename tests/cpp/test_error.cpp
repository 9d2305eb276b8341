// Tests of the shared failure values: the display and debug texts of input/output errors, the
// panic of a failed step, and the conversion of library exceptions into error values.
#include <gtest/gtest.h>

#include <cerrno>
#include <functional>
#include <new>
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>
#include <stdexcept>
#include <string>

#include "error.hpp"

namespace corvane {
namespace {

TEST(ErrorIo, OsDisplayIsTheSystemTextAndNumber) {
    EXPECT_EQ(IoError::os(2).display(), "No such file or directory (os error 2)");
    EXPECT_EQ(IoError::os(28).display(), "No space left on device (os error 28)");
}

struct OsCase {
    int code;
    IoKind kind;
    const char* debug;
};

class ErrorOsDebug : public ::testing::TestWithParam<OsCase> {};

TEST_P(ErrorOsDebug, CodeKindAndQuotedMessage) {
    const OsCase c = GetParam();
    const IoError e = IoError::os(c.code);
    EXPECT_EQ(e.debug(), c.debug);
    EXPECT_EQ(e.kind(), c.kind);
    EXPECT_TRUE(e.is_os());
    EXPECT_EQ(e.os_code(), c.code);
}

INSTANTIATE_TEST_SUITE_P(
    Errnos, ErrorOsDebug,
    ::testing::Values(
        OsCase{28, IoKind::StorageFull, "Os { code: 28, kind: StorageFull, message: \"No space left on device\" }"},
        OsCase{2, IoKind::NotFound, "Os { code: 2, kind: NotFound, message: \"No such file or directory\" }"},
        OsCase{13, IoKind::PermissionDenied, "Os { code: 13, kind: PermissionDenied, message: \"Permission denied\" }"},
        OsCase{1, IoKind::PermissionDenied,
               "Os { code: 1, kind: PermissionDenied, message: \"Operation not permitted\" }"},
        OsCase{32, IoKind::BrokenPipe, "Os { code: 32, kind: BrokenPipe, message: \"Broken pipe\" }"},
        OsCase{27, IoKind::FileTooLarge, "Os { code: 27, kind: FileTooLarge, message: \"File too large\" }"},
        OsCase{11, IoKind::WouldBlock,
               "Os { code: 11, kind: WouldBlock, message: \"Resource temporarily unavailable\" }"},
        OsCase{4, IoKind::Interrupted, "Os { code: 4, kind: Interrupted, message: \"Interrupted system call\" }"},
        // Numbers without a kind of their own.
        OsCase{5, IoKind::Uncategorized, "Os { code: 5, kind: Uncategorized, message: \"Input/output error\" }"},
        OsCase{9, IoKind::Uncategorized, "Os { code: 9, kind: Uncategorized, message: \"Bad file descriptor\" }"},
        OsCase{9999, IoKind::Uncategorized,
               "Os { code: 9999, kind: Uncategorized, message: \"Unknown error 9999\" }"}));

TEST(ErrorIo, LastOsTakesErrno) {
    errno = ENOSPC;
    const IoError e = IoError::last_os();
    EXPECT_EQ(e.os_code(), ENOSPC);
    EXPECT_EQ(e.kind(), IoKind::StorageFull);
}

TEST(ErrorIo, SimpleAndCustomForms) {
    const IoError simple = IoError::simple(IoKind::UnexpectedEof, "failed to fill whole buffer");
    EXPECT_EQ(simple.debug(), "Error { kind: UnexpectedEof, message: \"failed to fill whole buffer\" }");
    EXPECT_EQ(simple.display(), "failed to fill whole buffer");
    EXPECT_FALSE(simple.is_os());
    EXPECT_EQ(simple.os_code(), 0);

    const IoError custom = IoError::custom(IoKind::Other, "Failed to initialize input reader");
    EXPECT_EQ(custom.debug(), "Custom { kind: Other, error: \"Failed to initialize input reader\" }");
    EXPECT_EQ(custom.display(), "Failed to initialize input reader");
    EXPECT_FALSE(custom.is_os());
    EXPECT_EQ(custom.kind(), IoKind::Other);

    EXPECT_EQ(IoError::simple(IoKind::WriteZero, "failed to write the buffered data").debug(),
              "Error { kind: WriteZero, message: \"failed to write the buffered data\" }");
}

struct EscapeCase {
    std::string text;
    std::string quoted;
};

class ErrorEscape : public ::testing::TestWithParam<EscapeCase> {};

TEST_P(ErrorEscape, DebugQuotesTheTextEscaped) {
    const EscapeCase c = GetParam();
    EXPECT_EQ(IoError::custom(IoKind::InvalidData, c.text).debug(), "Custom { kind: InvalidData, error: " + c.quoted + " }");
    EXPECT_EQ(IoError::simple(IoKind::Other, c.text).debug(), "Error { kind: Other, message: " + c.quoted + " }");
    // The display form is the raw text.
    EXPECT_EQ(IoError::custom(IoKind::InvalidData, c.text).display(), c.text);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, ErrorEscape,
    ::testing::Values(EscapeCase{"say \"hi\"", R"("say \"hi\"")"}, EscapeCase{"C:\\dir", R"("C:\\dir")"},
                      EscapeCase{"\\\"", R"("\\\"")"}, EscapeCase{"a\nb\rc\td", R"("a\nb\rc\td")"},
                      EscapeCase{std::string("nul\0end", 7), R"("nul\0end")"},
                      EscapeCase{"esc\x1b[0m", R"("esc\u{1b}[0m")"}, EscapeCase{"del\x7f", R"("del\u{7f}")"},
                      EscapeCase{"it's", R"("it's")"}, EscapeCase{"caf\xc3\xa9", "\"caf\xc3\xa9\""},
                      EscapeCase{"", R"("")"}));

TEST(ErrorPanic, UnwrapFailedQuotesTheDebugForm) {
    try {
        unwrap_failed(IoError::os(28));
        FAIL() << "no panic";
    } catch (const Panic& p) {
        EXPECT_EQ(p.message,
                  "called `Result::unwrap()` on an `Err` value: Os { code: 28, kind: StorageFull, message: \"No space "
                  "left on device\" }");
        EXPECT_STREQ(p.what(), p.message.c_str());
    }
}

// ---- guard -------------------------------------------------------------------------------------

struct GuardCase {
    const char* name;
    std::function<void()> body;
    int code;
    std::string message;
};

const cv::Exception kCvOutOfRange(cv::Error::StsOutOfRange, "index too big", "lookup", "table.cpp", 7);

class ErrorGuard : public ::testing::TestWithParam<GuardCase> {};

TEST_P(ErrorGuard, ExceptionBecomesCodeAndText) {
    const GuardCase& c = GetParam();
    Status s = guard(c.body);
    ASSERT_TRUE(s.has_value());
    EXPECT_EQ(s->code, c.code);
    EXPECT_EQ(s->message, c.message);
}

INSTANTIATE_TEST_SUITE_P(
    Throws, ErrorGuard,
    ::testing::Values(
        GuardCase{"OpenCv", [] { throw kCvOutOfRange; }, -211, kCvOutOfRange.what()},
        GuardCase{"RuntimeError", [] { throw std::runtime_error("disk on fire"); }, -2, "disk on fire"},
        GuardCase{"LogicError", [] { throw std::invalid_argument("bad arg"); }, -2, "bad arg"},
        GuardCase{"BadAlloc", [] { throw std::bad_alloc(); }, -2, std::bad_alloc().what()},
        GuardCase{"Int", [] { throw 42; }, -2, "Unspecified error, neither from OpenCV nor from std"},
        GuardCase{"String", [] { throw std::string("text"); }, -2, "Unspecified error, neither from OpenCV nor from std"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ErrorGuard, RealOpenCvFailureKeepsItsCodeAndMessage) {
    std::string expected;
    try {
        cv::Mat src, dst;
        cv::resize(src, dst, cv::Size(4, 4));
    } catch (const cv::Exception& e) {
        expected = e.what();
    }
    ASSERT_FALSE(expected.empty());
    Result<cv::Mat> r = guard([] {
        cv::Mat src, dst;
        cv::resize(src, dst, cv::Size(4, 4));
        return dst;
    });
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().code, cv::Error::StsAssert);
    EXPECT_EQ(r.error().message, expected);
}

TEST(ErrorGuard, ValuesAndSuccessPassThrough) {
    Result<int> r = guard([] { return 42; });
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(r.value(), 42);
    int calls = 0;
    EXPECT_FALSE(guard([&] { ++calls; }).has_value());
    EXPECT_EQ(calls, 1);
}

TEST(ErrorGuard, PanicIsNotCaught) {
    try {
        (void)guard([] { unwrap_failed(IoError::os(32)); });
        FAIL() << "panic was swallowed";
    } catch (const Panic& p) {
        EXPECT_EQ(p.message,
                  "called `Result::unwrap()` on an `Err` value: Os { code: 32, kind: BrokenPipe, message: \"Broken "
                  "pipe\" }");
    }
    EXPECT_THROW((void)guard([]() -> int { throw Panic("boom"); }), Panic);
}

}  // namespace
}  // namespace corvane
