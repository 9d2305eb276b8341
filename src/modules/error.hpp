// Failure values shared by every module.
//
// Contract:
// - `CvError` is the error value of fallible operations: an OpenCV error code and a message.
//   `Result<T>` carries either a value or a `CvError`; `Status` is a `Result` without a value.
// - `IoError` describes an operating-system or input/output failure. Its `display()` is the
//   user-facing text ("No such file or directory (os error 2)") and its `debug()` the structured
//   form that panic messages quote (`Os { code: 2, kind: NotFound, message: "..." }`). Both
//   are produced here and nowhere else.
// - `Panic` is thrown for conditions that abort one call (a failed write, a corrupt frame). The
//   binding layer turns it into PanicException; the object that threw stays usable.
// - `guard()` runs a callable that may throw OpenCV or standard exceptions and turns those into a
//   `CvError`, so this is the one place where library failures become error values. A `Panic`
//   passes through untouched.
// All of this is plain data; any thread may use it.
#pragma once

#include <cerrno>
#include <cstdint>
#include <exception>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>
#include <variant>

namespace corvane {

// OpenCV's generic error code, used for every failure that is not OpenCV's own.
inline constexpr int kStsError = -2;
inline constexpr int kStsOutOfRange = -211;

struct CvError {
    int code = kStsError;
    std::string message;
};

template <class T>
class [[nodiscard]] Result {
public:
    Result(T value) : v_(std::move(value)) {}
    Result(CvError error) : v_(std::move(error)) {}
    bool ok() const { return v_.index() == 0; }
    T& value() { return std::get<0>(v_); }
    T take() { return std::move(std::get<0>(v_)); }
    const CvError& error() const { return std::get<1>(v_); }

private:
    std::variant<T, CvError> v_;
};

// Success, or the error that stopped an operation without a value.
using Status = std::optional<CvError>;

// The kinds of input/output failure, named as they appear in debug descriptions.
enum class IoKind : std::uint8_t {
    NotFound, PermissionDenied, ConnectionRefused, ConnectionReset, HostUnreachable,
    NetworkUnreachable, ConnectionAborted, NotConnected, AddrInUse, AddrNotAvailable, NetworkDown,
    BrokenPipe, AlreadyExists, WouldBlock, NotADirectory, IsADirectory, DirectoryNotEmpty,
    ReadOnlyFilesystem, FilesystemLoop, StaleNetworkFileHandle, InvalidInput, InvalidData, TimedOut,
    WriteZero, StorageFull, NotSeekable, FilesystemQuotaExceeded, FileTooLarge, ResourceBusy,
    ExecutableFileBusy, Deadlock, CrossesDevices, TooManyLinks, InvalidFilename,
    ArgumentListTooLong, Interrupted, Unsupported, UnexpectedEof, OutOfMemory, InProgress, Other,
    Uncategorized,
};

const char* io_kind_name(IoKind kind);
IoKind io_kind_of_errno(int code);

class IoError {
public:
    // An operating-system error, described by its number.
    static IoError os(int code) { return IoError(Form::Os, io_kind_of_errno(code), code, {}); }
    static IoError last_os() { return os(errno); }
    // A fixed message of the library itself, such as "failed to fill whole buffer".
    static IoError simple(IoKind kind, std::string message) {
        return IoError(Form::Simple, kind, 0, std::move(message));
    }
    // A free-form error text, such as "Failed to initialize input reader".
    static IoError custom(IoKind kind, std::string text) {
        return IoError(Form::Custom, kind, 0, std::move(text));
    }

    IoKind kind() const { return kind_; }
    int os_code() const { return form_ == Form::Os ? code_ : 0; }
    bool is_os() const { return form_ == Form::Os; }
    std::string display() const;
    std::string debug() const;

private:
    enum class Form : std::uint8_t { Os, Simple, Custom };
    IoError(Form form, IoKind kind, int code, std::string text)
        : form_(form), kind_(kind), code_(code), text_(std::move(text)) {}
    Form form_;
    IoKind kind_;
    int code_;
    std::string text_;
};

struct Panic : std::exception {
    explicit Panic(std::string m) : message(std::move(m)) {}
    const char* what() const noexcept override { return message.c_str(); }
    std::string message;
};

// The abort of a call whose step returned an input/output error.
[[noreturn]] void unwrap_failed(const IoError& error);

// Inside a catch block: the exception in flight as an error value.
CvError current_error();

template <class F>
auto guard(F&& f) -> std::conditional_t<std::is_void_v<decltype(f())>, Status, Result<decltype(f())>> {
    try {
        if constexpr (std::is_void_v<decltype(f())>) {
            f();
            return std::nullopt;
        } else {
            return f();
        }
    } catch (const Panic&) {
        throw;
    } catch (...) {
        return current_error();
    }
}

}  // namespace corvane
