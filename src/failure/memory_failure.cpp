#include "failure/memory_failure.hpp"

#include <algorithm>
#include <cstdio>

namespace quorel {

MemoryFailureMessage::MemoryFailureMessage(std::size_t bytes) noexcept {
    const int n = std::snprintf(text_, sizeof text_, "memory allocation of %zu bytes failed", bytes);
    size_ = std::size_t(std::clamp(n, 0, int(sizeof text_ - 1)));
}

void fail_allocation(std::size_t bytes, std::source_location where) { throw MemoryFailure(bytes, where); }

}  // namespace quorel
