// Failures of the core, as data.
//
// Contract:
// - Every fallible operation of the core returns a `Result<T>`: a value, or an `Error` that says
//   what failed and carries the numbers its message needs. The core words no message and throws
//   nothing of its own; `guard()` turns what OpenCV or the standard library throws into an
//   `Error` at the one place each library is called.
// - The binding alone decides the Python exception of each `Fault` and builds its text (the
//   message table is in src/errors.cpp), so every message lives in one place.
// - Plain values; any thread may use them.
#pragma once

#include <cxxabi.h>

#include <cerrno>
#include <cstdint>
#include <string>
#include <type_traits>
#include <utility>
#include <variant>

namespace corvane {

// The kinds of input/output failure, in the order and with the names that debug descriptions show.
// clang-format off
#define CORVANE_IO_KINDS(X) \
    X(NotFound) X(PermissionDenied) X(ConnectionRefused) X(ConnectionReset) X(HostUnreachable) \
    X(NetworkUnreachable) X(ConnectionAborted) X(NotConnected) X(AddrInUse) X(AddrNotAvailable) \
    X(NetworkDown) X(BrokenPipe) X(AlreadyExists) X(WouldBlock) X(NotADirectory) X(IsADirectory) \
    X(DirectoryNotEmpty) X(ReadOnlyFilesystem) X(FilesystemLoop) X(StaleNetworkFileHandle) \
    X(InvalidInput) X(InvalidData) X(TimedOut) X(WriteZero) X(StorageFull) X(NotSeekable) \
    X(FilesystemQuotaExceeded) X(FileTooLarge) X(ResourceBusy) X(ExecutableFileBusy) X(Deadlock) \
    X(CrossesDevices) X(TooManyLinks) X(InvalidFilename) X(ArgumentListTooLong) X(Interrupted) \
    X(Unsupported) X(UnexpectedEof) X(OutOfMemory) X(InProgress) X(Other) X(Uncategorized)
// clang-format on

enum class IoKind : std::uint8_t {
#define CORVANE_IO_KIND(name) name,
    CORVANE_IO_KINDS(CORVANE_IO_KIND)
#undef CORVANE_IO_KIND
};

IoKind io_kind_of_errno(int code);

// The failures that are not the operating system's own, each with a fixed text in the binding.
enum class IoText : std::uint8_t {
    kNone,             // an operating-system error: its number tells
    kFillWholeBuffer,  // a read met the end of the file
    kWriteWhole,       // a write accepted no bytes
    kWriteBuffered,    // a frame write accepted no bytes
    kNulInPath,
    kCorruptDeflate,
    kDeflateError,
    kNoInputReader,
};

struct IoError {
    IoKind kind = IoKind::Other;
    int os_code = 0;  // set exactly when `text` is kNone
    IoText text = IoText::kNone;

    static IoError os(int code) { return {io_kind_of_errno(code), code, IoText::kNone}; }
    static IoError last_os() { return os(errno); }
    static IoError fixed(IoKind kind, IoText text) { return {kind, 0, text}; }
};

enum class Fault : std::uint8_t {
    kLibrary,        // OpenCV refused: `code` and its own `text`
    kUnknownThrow,   // the image library threw something that is neither OpenCV's nor std's
    kInvalidFormat,  // a recording without the signature
    kOpen,           // `io`: a file could not be opened or created
    kCompress,       // `io`: the compressor failed
    kStep,           // `io`: a read or write inside a call failed; aborts the call
    kPrint,          // `io`: a screen-control sequence could not be written; aborts the call
    kShortPayload,   // a payload inflated to `length` bytes, too few for the row ending at `end`
    kDeltaTooLarge,  // a delta frame larger than the `length` bytes of the frame before it
    kMissingPlane,   // a frame with `length` colour planes where plane `end` was needed
};

struct Error {
    Fault fault = Fault::kLibrary;
    IoError io{};
    int code = 0;
    std::string text;
    std::uint64_t end = 0;
    std::uint64_t length = 0;

    static Error of(Fault fault, IoError io) { return {fault, io, 0, {}, 0, 0}; }
    static Error step(IoError io) { return of(Fault::kStep, io); }
};

template <class T = std::monostate>
class [[nodiscard]] Result {
  public:
    Result() : v_(T{}) {}
    Result(T value) : v_(std::move(value)) {}
    Result(Error error) : v_(std::move(error)) {}
    bool ok() const { return v_.index() == 0; }
    explicit operator bool() const { return ok(); }
    T& value() { return std::get<0>(v_); }
    T take() { return std::move(std::get<0>(v_)); }
    const Error& error() const { return std::get<1>(v_); }

  private:
    std::variant<T, Error> v_;
};

using Status = Result<>;

// Inside a catch block: the exception in flight, as OpenCV's code and text (a standard
// exception: code -2 and its text).
Error current_error();

// Runs `f`, turning whatever OpenCV or the standard library throws into an `Error`.
// Catching `abi::__forced_unwind&` binds a reference to a foreign exception, for which the
// runtime hands over no object: the idiom is sound, but the sanitizer's null-reference check
// would trap on it, so that check is off in the functions that catch it.
#define CORVANE_CATCHES_FORCED_UNWIND __attribute__((no_sanitize("null")))

template <class F>
CORVANE_CATCHES_FORCED_UNWIND auto guard(F&& f)
    -> Result<std::conditional_t<std::is_void_v<decltype(f())>, std::monostate, decltype(f())>> {
    try {
        if constexpr (std::is_void_v<decltype(f())>) {
            f();
            return std::monostate{};
        } else {
            return f();
        }
    } catch (abi::__forced_unwind&) {
        throw;  // a thread being ended must finish its unwind
    } catch (...) {
        return current_error();
    }
}

}  // namespace corvane
