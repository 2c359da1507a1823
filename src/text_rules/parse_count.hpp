// The parameter count at the end of a plot file's first line: an optional single "+", then
// ASCII digits only (leading zeros allowed), at most 2^64 - 1. Nothing else is accepted.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace quorel {

constexpr std::optional<std::uint64_t> parse_count(std::string_view token) noexcept {
    if (!token.empty() && token.front() == '+') token.remove_prefix(1);
    if (token.empty()) return std::nullopt;
    std::uint64_t value = 0;
    for (const char c : token) {
        if (c < '0' || c > '9') return std::nullopt;
        const auto digit = static_cast<std::uint64_t>(c - '0');
        if (value > (UINT64_MAX - digit) / 10) return std::nullopt;
        value = value * 10 + digit;
    }
    return value;
}

}  // namespace quorel
