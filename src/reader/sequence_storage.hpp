// The one place that sizes and allocates the reader's growable sequences. A size that cannot
// exist (FaultKind::capacity_overflow) and memory that cannot be had (MemoryFailure) are thrown
// from here like every other reading failure.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "failure/memory_failure.hpp"
#include "failure/read_fault.hpp"

namespace quorel {

// Bytes for `count` elements of `element_size`; fails when that exceeds the largest signed size.
inline std::size_t sequence_bytes(std::uint64_t count, std::size_t element_size) {
    constexpr std::uint64_t kLargestSize = std::uint64_t(PTRDIFF_MAX);
    if (count > kLargestSize / element_size) throw_fault(FaultKind::capacity_overflow);
    return std::size_t(count) * element_size;
}

// realloc that fails the read instead of returning null; `bytes` is never 0.
inline void* resize_storage(void* storage, std::size_t bytes) {
    void* resized = std::realloc(storage, bytes);
    if (resized == nullptr) fail_allocation(bytes);
    return resized;
}

}  // namespace quorel
