#include "error.hpp"

#include <cstdio>
#include <cstring>
#include <new>
#include <opencv2/core.hpp>

namespace corvane {
namespace {

struct KindName {
    IoKind kind;
    const char* name;
};

constexpr KindName kKindNames[] = {
    {IoKind::NotFound, "NotFound"},
    {IoKind::PermissionDenied, "PermissionDenied"},
    {IoKind::ConnectionRefused, "ConnectionRefused"},
    {IoKind::ConnectionReset, "ConnectionReset"},
    {IoKind::HostUnreachable, "HostUnreachable"},
    {IoKind::NetworkUnreachable, "NetworkUnreachable"},
    {IoKind::ConnectionAborted, "ConnectionAborted"},
    {IoKind::NotConnected, "NotConnected"},
    {IoKind::AddrInUse, "AddrInUse"},
    {IoKind::AddrNotAvailable, "AddrNotAvailable"},
    {IoKind::NetworkDown, "NetworkDown"},
    {IoKind::BrokenPipe, "BrokenPipe"},
    {IoKind::AlreadyExists, "AlreadyExists"},
    {IoKind::WouldBlock, "WouldBlock"},
    {IoKind::NotADirectory, "NotADirectory"},
    {IoKind::IsADirectory, "IsADirectory"},
    {IoKind::DirectoryNotEmpty, "DirectoryNotEmpty"},
    {IoKind::ReadOnlyFilesystem, "ReadOnlyFilesystem"},
    {IoKind::FilesystemLoop, "FilesystemLoop"},
    {IoKind::StaleNetworkFileHandle, "StaleNetworkFileHandle"},
    {IoKind::InvalidInput, "InvalidInput"},
    {IoKind::InvalidData, "InvalidData"},
    {IoKind::TimedOut, "TimedOut"},
    {IoKind::WriteZero, "WriteZero"},
    {IoKind::StorageFull, "StorageFull"},
    {IoKind::NotSeekable, "NotSeekable"},
    {IoKind::FilesystemQuotaExceeded, "FilesystemQuotaExceeded"},
    {IoKind::FileTooLarge, "FileTooLarge"},
    {IoKind::ResourceBusy, "ResourceBusy"},
    {IoKind::ExecutableFileBusy, "ExecutableFileBusy"},
    {IoKind::Deadlock, "Deadlock"},
    {IoKind::CrossesDevices, "CrossesDevices"},
    {IoKind::TooManyLinks, "TooManyLinks"},
    {IoKind::InvalidFilename, "InvalidFilename"},
    {IoKind::ArgumentListTooLong, "ArgumentListTooLong"},
    {IoKind::Interrupted, "Interrupted"},
    {IoKind::Unsupported, "Unsupported"},
    {IoKind::UnexpectedEof, "UnexpectedEof"},
    {IoKind::OutOfMemory, "OutOfMemory"},
    {IoKind::InProgress, "InProgress"},
    {IoKind::Other, "Other"},
    {IoKind::Uncategorized, "Uncategorized"},
};

struct ErrnoKind {
    int code;
    IoKind kind;
};

// How each error number is classified; numbers not listed are Uncategorized.
constexpr ErrnoKind kErrnoKinds[] = {
    {E2BIG, IoKind::ArgumentListTooLong},
    {EADDRINUSE, IoKind::AddrInUse},
    {EADDRNOTAVAIL, IoKind::AddrNotAvailable},
    {EBUSY, IoKind::ResourceBusy},
    {ECONNABORTED, IoKind::ConnectionAborted},
    {ECONNREFUSED, IoKind::ConnectionRefused},
    {ECONNRESET, IoKind::ConnectionReset},
    {EDEADLK, IoKind::Deadlock},
    {EDQUOT, IoKind::FilesystemQuotaExceeded},
    {EEXIST, IoKind::AlreadyExists},
    {EFBIG, IoKind::FileTooLarge},
    {EHOSTUNREACH, IoKind::HostUnreachable},
    {EINTR, IoKind::Interrupted},
    {EINVAL, IoKind::InvalidInput},
    {EISDIR, IoKind::IsADirectory},
    {ELOOP, IoKind::FilesystemLoop},
    {ENOENT, IoKind::NotFound},
    {ENOMEM, IoKind::OutOfMemory},
    {ENOSPC, IoKind::StorageFull},
    {ENOSYS, IoKind::Unsupported},
    {EMLINK, IoKind::TooManyLinks},
    {ENAMETOOLONG, IoKind::InvalidFilename},
    {ENETDOWN, IoKind::NetworkDown},
    {ENETUNREACH, IoKind::NetworkUnreachable},
    {ENOTCONN, IoKind::NotConnected},
    {ENOTDIR, IoKind::NotADirectory},
    {ENOTEMPTY, IoKind::DirectoryNotEmpty},
    {EPIPE, IoKind::BrokenPipe},
    {EROFS, IoKind::ReadOnlyFilesystem},
    {ESPIPE, IoKind::NotSeekable},
    {ESTALE, IoKind::StaleNetworkFileHandle},
    {ETIMEDOUT, IoKind::TimedOut},
    {ETXTBSY, IoKind::ExecutableFileBusy},
    {EXDEV, IoKind::CrossesDevices},
    {EINPROGRESS, IoKind::InProgress},
    {EACCES, IoKind::PermissionDenied},
    {EPERM, IoKind::PermissionDenied},
    {EAGAIN, IoKind::WouldBlock},
};

std::string os_message(int code) {
    char buf[256];
    // The GNU strerror_r may return a static string instead of filling buf.
    const char* text = strerror_r(code, buf, sizeof buf);
    return text;
}

// A string literal as debug descriptions show it: quoted, with quotes, backslashes and control
// characters escaped.
std::string quoted(const std::string& s) {
    std::string out = "\"";
    for (unsigned char c : s) {
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            case '\0': out += "\\0"; break;
            default:
                if (c < 0x20 || c == 0x7f) {
                    char esc[12];
                    std::snprintf(esc, sizeof esc, "\\u{%x}", c);
                    out += esc;
                } else {
                    out += static_cast<char>(c);
                }
        }
    }
    return out + "\"";
}

}  // namespace

const char* io_kind_name(IoKind kind) {
    for (const auto& entry : kKindNames)
        if (entry.kind == kind) return entry.name;
    return "Uncategorized";
}

IoKind io_kind_of_errno(int code) {
    for (const auto& entry : kErrnoKinds)
        if (entry.code == code) return entry.kind;
    return IoKind::Uncategorized;
}

std::string IoError::display() const {
    switch (form_) {
        case Form::Os: return os_message(code_) + " (os error " + std::to_string(code_) + ")";
        case Form::Simple:
        case Form::Custom: return text_;
    }
    return text_;
}

std::string IoError::debug() const {
    const std::string kind = io_kind_name(kind_);
    switch (form_) {
        case Form::Os:
            return "Os { code: " + std::to_string(code_) + ", kind: " + kind +
                   ", message: " + quoted(os_message(code_)) + " }";
        case Form::Simple: return "Error { kind: " + kind + ", message: " + quoted(text_) + " }";
        case Form::Custom: return "Custom { kind: " + kind + ", error: " + quoted(text_) + " }";
    }
    return text_;
}

void unwrap_failed(const IoError& error) {
    throw Panic("called `Result::unwrap()` on an `Err` value: " + error.debug());
}

CvError current_error() {
    try {
        throw;
    } catch (const cv::Exception& e) {
        return {e.code, e.what()};
    } catch (const std::exception& e) {
        return {kStsError, e.what()};
    } catch (...) {
        return {kStsError, "Unspecified error, neither from OpenCV nor from std"};
    }
}

}  // namespace corvane
