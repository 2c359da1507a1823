// Memory that cannot be had. The allocation that fails throws MemoryFailure with the size it
// asked for and where; it writes nothing. quorel's call boundary reports it and raises
// PanicException("memory allocation of N bytes failed"); tolvane raises MemoryError.
#pragma once

#include <cstddef>
#include <new>
#include <source_location>
#include <string_view>

namespace quorel {

class MemoryFailure : public std::bad_alloc {
public:
    MemoryFailure(std::size_t bytes, std::source_location where) noexcept : bytes_(bytes), where_(where) {}
    std::size_t bytes() const noexcept { return bytes_; }
    const std::source_location& where() const noexcept { return where_; }
    const char* what() const noexcept override { return "memory allocation failed"; }

private:
    std::size_t bytes_;
    std::source_location where_;
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

// Throws MemoryFailure for `bytes` that could not be allocated.
[[noreturn]] void fail_allocation(std::size_t bytes, std::source_location where = std::source_location::current());

}  // namespace quorel
