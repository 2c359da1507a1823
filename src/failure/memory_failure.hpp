// Memory that cannot be had. The allocation that fails reports it on descriptor 2 at once, like
// every failing step, then throws MemoryFailure with the size it asked for; the call boundary
// turns that into PanicException("memory allocation of N bytes failed").
#pragma once

#include <cstddef>
#include <new>
#include <source_location>
#include <string_view>

namespace quorel {

class MemoryFailure : public std::bad_alloc {
public:
    explicit MemoryFailure(std::size_t bytes) noexcept : bytes_(bytes) {}
    std::size_t bytes() const noexcept { return bytes_; }
    const char* what() const noexcept override { return "memory allocation failed"; }

private:
    std::size_t bytes_;
};

// "memory allocation of N bytes failed", formatted in place: making it needs no memory.
class MemoryFailureMessage {
public:
    explicit MemoryFailureMessage(std::size_t bytes) noexcept;
    std::string_view text() const noexcept { return {text_, size_}; }

private:
    char text_[64];
    std::size_t size_;
};

// Reports that `bytes` could not be allocated, then throws MemoryFailure.
[[noreturn]] void fail_allocation(std::size_t bytes, std::source_location where = std::source_location::current());

}  // namespace quorel
