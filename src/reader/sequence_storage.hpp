// The one place that sizes and allocates the reader's growable sequences. A size that cannot
// exist (FaultKind::capacity_overflow) and memory that cannot be had (MemoryFailure) are thrown
// from here like every other reading failure.
#pragma once

#include <sys/mman.h>
#include <unistd.h>

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

// Large series lie on huge-page boundaries and ask the kernel for its huge pages (transparent
// huge pages, where it offers them on request): one page fault then maps 2 MiB instead of 4 KiB.
// Faulting in fresh pages is much of what writing a large result costs, most of all in a
// virtual machine. Only whole huge pages within the storage are asked for, so that a partly
// filled one never holds more than the storage itself.
inline constexpr std::size_t kHugePage = std::size_t(2) << 20;

inline void advise_huge_pages(void* storage, std::size_t bytes) noexcept {
    const std::uintptr_t start = (std::uintptr_t(storage) + kHugePage - 1) & ~std::uintptr_t(kHugePage - 1);
    const std::uintptr_t end = (std::uintptr_t(storage) + bytes) & ~std::uintptr_t(kHugePage - 1);
    // Advice only: where the kernel has no huge pages to give, nothing changes.
    if (start < end) (void)::madvise(reinterpret_cast<void*>(start), end - start, MADV_HUGEPAGE);
}

// Maps in, zeroed and writable, the huge page of storage from `page` on without writing to it,
// where the kernel can (Linux 5.14 on); advice only, as the page is faulted in when first
// written all the same. A page's contents are left as they are, so that it may be done while
// other threads write into the storage. Only its first small page is asked for: where the
// kernel gives huge pages, that maps the whole huge page; where it does not, no page that the
// read might never write is mapped.
#ifndef MADV_POPULATE_WRITE
#define MADV_POPULATE_WRITE 23
#endif
inline void populate_huge_page(void* page) noexcept { (void)::madvise(page, 1, MADV_POPULATE_WRITE); }

// Gives the whole pages of storage[used .. held) back to the kernel, where they were mapped:
// freeing them (or shrinking the allocation) leaves them mapped where the allocator keeps them.
// Their bytes read as zeros after it.
inline void release_pages_after(void* storage, std::size_t used, std::size_t held) noexcept {
    const std::uintptr_t kPage = std::uintptr_t(::sysconf(_SC_PAGESIZE));
    const std::uintptr_t start = (std::uintptr_t(storage) + used + kPage - 1) & ~(kPage - 1);
    const std::uintptr_t end = (std::uintptr_t(storage) + held) & ~(kPage - 1);
    if (start < end) (void)::madvise(reinterpret_cast<void*>(start), end - start, MADV_DONTNEED);
}

// Storage for one series: like malloc (null where it cannot be had), on a huge-page boundary
// when it is large.
inline void* allocate_series_storage(std::size_t bytes) noexcept {
    if (bytes < kHugePage) return std::malloc(bytes);
    void* storage = nullptr;
    if (::posix_memalign(&storage, kHugePage, bytes) != 0) return nullptr;
    advise_huge_pages(storage, bytes);
    return storage;
}

// The same, failing the read where the memory cannot be had.
inline void* require_series_storage(std::size_t bytes) {
    void* storage = allocate_series_storage(bytes);
    if (storage == nullptr) fail_allocation(bytes);
    return storage;
}

// A series' storage grown to `bytes`, failing the read where that cannot be had.
inline void* grow_series_storage(void* storage, std::size_t bytes) {
    void* grown = resize_storage(storage, bytes);
    if (bytes >= kHugePage) advise_huge_pages(grown, bytes);
    return grown;
}

}  // namespace quorel
