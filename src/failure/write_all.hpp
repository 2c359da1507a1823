// Writing a whole text to a descriptor, as the diagnostic line and the failure reports need.
#pragma once

#include <unistd.h>

#include <cerrno>
#include <cstddef>

namespace quorel {

// Writes all of `text`, repeating interrupted and partial writes. Returns 0, or the error
// number of the write that failed.
inline int write_all(int fd, const char* text, std::size_t size) noexcept {
    while (size > 0) {
        const ssize_t n = ::write(fd, text, size);
        if (n < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        text += n;
        size -= std::size_t(n);
    }
    return 0;
}

}  // namespace quorel
