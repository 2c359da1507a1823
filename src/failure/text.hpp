// The texts the module builds: failure and argument-error messages, the diagnostic line, the
// path handed to open. They allocate through TextAllocator, so that running out of memory while
// one is built fails the call with the size that was asked for, as the reader's buffers do.
#pragma once

#include <charconv>
#include <concepts>
#include <cstddef>
#include <cstdlib>
#include <string>
#include <string_view>

#include "failure/memory_failure.hpp"

namespace quorel {

template <class T>
class TextAllocator {
public:
    using value_type = T;

    TextAllocator() noexcept = default;
    template <class U>
    TextAllocator(const TextAllocator<U>&) noexcept {}

    T* allocate(std::size_t count) {
        // No overflow: a string never asks for more than its max_size().
        const std::size_t bytes = count * sizeof(T);
        if (void* storage = std::malloc(bytes)) return static_cast<T*>(storage);
        fail_allocation(bytes);
    }
    void deallocate(T* storage, std::size_t) noexcept { std::free(storage); }

    template <class U>
    bool operator==(const TextAllocator<U>&) const noexcept {
        return true;
    }
};

using Text = std::basic_string<char, std::char_traits<char>, TextAllocator<char>>;

// The parts (anything a string_view can be made from) joined, allocated once at the exact size.
template <class... Parts>
Text concat(const Parts&... parts) {
    const std::string_view views[] = {std::string_view(parts)...};
    std::size_t size = 0;
    for (const std::string_view part : views) size += part.size();
    Text text;
    text.reserve(size);
    for (const std::string_view part : views) text.append(part);
    return text;
}

// The decimal digits of `value`, with a minus sign if it is negative.
template <std::integral Number>
Text decimal(Number value) {
    char digits[24];
    return Text(digits, std::to_chars(digits, digits + sizeof digits, value).ptr);
}

}  // namespace quorel
