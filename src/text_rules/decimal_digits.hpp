// Runs of ASCII decimal digits: how long they are and the value they spell, either one byte at a
// time or eight at a time (SWAR) where the text is known to be followed by readable bytes.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>

namespace quorel::decimal_digits {

constexpr std::uint64_t kPowersOfTen[] = {1,      10,      100,      1000,      10000,
                                          100000, 1000000, 10000000, 100000000};

// The high bit of every byte that is not an ASCII digit. For ASCII bytes no carry crosses a byte,
// so each is marked exactly; otherwise carries only run from a non-digit byte into later ones,
// so the first non-digit is still found exactly.
inline std::uint64_t non_digit_bytes(std::uint64_t bytes) noexcept {
    const std::uint64_t nibbles = bytes ^ 0x3030303030303030ull;  // digits become 0..9
    return ((nibbles + 0x7676767676767676ull) | nibbles) & 0x8080808080808080ull;
}

// The number spelled by eight digit values 0..9, one per byte, the first in the lowest byte.
inline std::uint32_t eight_digits_value(std::uint64_t digits) noexcept {
    digits = digits * 10 + (digits >> 8);
    return std::uint32_t((((digits & 0x000000FF000000FFull) * 0x000F424000000064ull) +
                          (((digits >> 16) & 0x000000FF000000FFull) * 0x0000271000000001ull)) >> 32);
}

// Appends the digits at [p, end) to `value` (wrapping past 19 digits, which callers count and
// treat separately) and returns the end of the run.
inline const char* scan_run(const char* p, const char* end, std::uint64_t& value) noexcept {
    unsigned digit;
    while (p != end && (digit = unsigned(static_cast<unsigned char>(*p)) - '0') < 10) {
        value = value * 10 + digit;
        ++p;
    }
    return p;
}

// The same, reading eight bytes at a time: [p, p + 8) must be readable even past `end`.
inline const char* scan_run_padded(const char* p, const char* end, std::uint64_t& value) noexcept {
    for (;;) {
        std::uint64_t bytes;
        std::memcpy(&bytes, p, 8);
        const std::uint64_t nibbles = bytes ^ 0x3030303030303030ull;
        const std::uint64_t non_digits = non_digit_bytes(bytes);
        unsigned count = non_digits == 0 ? 8u : unsigned(std::countr_zero(non_digits)) / 8;
        if (std::uint64_t(end - p) < count) count = unsigned(end - p);
        if (count == 0) return p;
        // Little-endian: the first character is the lowest byte. Shifting the run to the top
        // leaves zero digits in front, which do not change the value.
        value = value * kPowersOfTen[count] + eight_digits_value(nibbles << (8 * (8 - count)));
        p += count;
        if (count < 8) return p;
    }
}

// The value of exactly `count` (0 to 8) digits at p, [p, p + 8) readable; false if any of
// them is not a digit.
inline bool parse_fixed_run(const char* p, unsigned count, std::uint64_t& value) noexcept {
    std::uint64_t bytes;
    std::memcpy(&bytes, p, 8);
    const std::uint64_t nibbles = bytes ^ 0x3030303030303030ull;
    const std::uint64_t non_digits = non_digit_bytes(bytes);
    // The first `count` bytes, in two shifts so that a count of 0 shifts by 64 without overflow.
    const unsigned unused_bits = 32 - 4 * count;
    if ((non_digits << unused_bits) << unused_bits) return false;
    value = eight_digits_value((nibbles << unused_bits) << unused_bits);
    return true;
}

}  // namespace quorel::decimal_digits
