#include "reader/os_error.hpp"

#include <cerrno>
#include <cstring>

#include "text_rules/utf8.hpp"

namespace quorel {

std::string_view error_kind_name(int error_number) noexcept {
    switch (error_number) {
    case EPERM:
    case EACCES: return "PermissionDenied";
    case ENOENT: return "NotFound";
    case EINTR: return "Interrupted";
    case E2BIG: return "ArgumentListTooLong";
    case EAGAIN: return "WouldBlock";
    case ENOMEM: return "OutOfMemory";
    case EBUSY: return "ResourceBusy";
    case EEXIST: return "AlreadyExists";
    case EXDEV: return "CrossesDevices";
    case ENOTDIR: return "NotADirectory";
    case EISDIR: return "IsADirectory";
    case EINVAL: return "InvalidInput";
    case ENFILE:
    case EMFILE: return "TooManyOpenFiles";
    case ETXTBSY: return "ExecutableFileBusy";
    case EFBIG: return "FileTooLarge";
    case ENOSPC: return "StorageFull";
    case ESPIPE: return "NotSeekable";
    case EROFS: return "ReadOnlyFilesystem";
    case EMLINK: return "TooManyLinks";
    case EPIPE: return "BrokenPipe";
    case EDEADLK: return "Deadlock";
    case ENAMETOOLONG: return "InvalidFilename";
    case ENOSYS:
    case EOPNOTSUPP: return "Unsupported";
    case ENOTEMPTY: return "DirectoryNotEmpty";
    case ELOOP: return "FilesystemLoop";
    case EADDRINUSE: return "AddrInUse";
    case EADDRNOTAVAIL: return "AddrNotAvailable";
    case ENETDOWN: return "NetworkDown";
    case ENETUNREACH: return "NetworkUnreachable";
    case ECONNABORTED: return "ConnectionAborted";
    case ECONNRESET: return "ConnectionReset";
    case ENOTCONN: return "NotConnected";
    case ETIMEDOUT: return "TimedOut";
    case ECONNREFUSED: return "ConnectionRefused";
    case EHOSTUNREACH: return "HostUnreachable";
    case EINPROGRESS: return "InProgress";
    case ESTALE: return "StaleNetworkFileHandle";
    case EDQUOT: return "QuotaExceeded";
    default: return "Uncategorized";
    }
}

Text error_text(int error_number) {
    char buffer[128];
    // GNU strerror_r: returns either `buffer` or a static string.
    const std::string_view raw = ::strerror_r(error_number, buffer, sizeof buffer);
    // Translated messages may not be UTF-8: replace each offending byte by U+FFFD.
    Text text;
    std::size_t i = 0;
    while (i < raw.size()) {
        const auto lead = static_cast<unsigned char>(raw[i]);
        const std::size_t len = lead < 0x80 ? 1 : utf8::sequence_length(lead);
        if (len <= raw.size() - i && utf8::validate(raw.substr(i, len)).valid) {
            text.append(raw.substr(i, len));
            i += len;
        } else {
            text += "\xEF\xBF\xBD";
            ++i;
        }
    }
    return text;
}

Text os_error_description(int error_number) {
    return concat("Os { code: ", decimal(error_number), ", kind: ", error_kind_name(error_number), ", message: \"",
                  error_text(error_number), "\" }");
}

Text os_error_display(int error_number) {
    return concat(error_text(error_number), " (os error ", decimal(error_number), ")");
}

}  // namespace quorel
