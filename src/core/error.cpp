#include "core/error.hpp"

#include <exception>
#include <opencv2/core.hpp>

namespace corvane {
namespace {

struct ErrnoKind {
    int code;
    IoKind kind;
};

// How each error number is classified; numbers not listed are Uncategorized.
constexpr ErrnoKind ERRNO_KINDS[] = {
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

}  // namespace

IoKind io_kind_of_errno(int code) {
    for (const auto& entry : ERRNO_KINDS)
        if (entry.code == code) return entry.kind;
    return IoKind::Uncategorized;
}

Error current_error() {
    constexpr int STS_ERROR = -2;
    try {
        throw;
    } catch (const cv::Exception& e) {
        return Error{Fault::kLibrary, {}, e.code, e.what(), 0, 0};
    } catch (const std::exception& e) {
        return Error{Fault::kLibrary, {}, STS_ERROR, e.what(), 0, 0};
    } catch (...) {
        return Error{Fault::kUnknownThrow, {}, STS_ERROR, {}, 0, 0};
    }
}

}  // namespace corvane
