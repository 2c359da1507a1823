// Decimal text to binary32, correctly rounded (half to even) for any number of digits.
//
// Grammar, matched from the first to the last character (no whitespace is skipped):
//   [+-] ( digits [ "." digits? ] | "." digits ) [ ("e"|"E") [+-] digits ]
//   [+-] ( "inf" | "infinity" | "nan" )            (letters in any case)
// A "-" sign flips the sign bit of the result, so "-nan" has it set.
//
// Short plain texts take a fast route through one correctly rounded double operation; it gives
// up whenever the double could have been rounded onto a binary32 tie, and the exact route
// (a bounded digit prefix plus a sticky digit, rounded by std::from_chars) decides instead.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace quorel {

enum class FloatErrorKind : std::uint8_t { Empty, Invalid };

namespace binary32_detail {

constexpr double kExactPowersOfTen[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                        1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                                        1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};

constexpr bool is_digit(char c) noexcept { return static_cast<unsigned char>(c - '0') < 10; }

inline float with_sign(float magnitude, bool negative) noexcept {
    return negative ? std::bit_cast<float>(std::bit_cast<std::uint32_t>(magnitude) ^ 0x80000000u)
                    : magnitude;
}

// The exact route: digits are the integer digits [int_begin, int_end) and fraction digits
// [frac_begin, frac_end); the value is their integer times 10^(exponent - fraction digits).
float decimal_to_binary32_exact(const char* int_begin, const char* int_end, const char* frac_begin,
                                const char* frac_end, std::int64_t exponent) noexcept;

// "inf", "infinity" and "nan" in any letter case; false for anything else.
bool parse_special_word(std::string_view word, float& value) noexcept;

}  // namespace binary32_detail

// Stores the value and returns true, or stores the error kind and returns false.
inline bool parse_binary32(std::string_view text, float& value, FloatErrorKind& error) noexcept {
    using namespace binary32_detail;
    const char* p = text.data();
    const char* const end = p + text.size();
    if (p == end) {
        error = FloatErrorKind::Empty;
        return false;
    }
    bool negative = false;
    if (*p == '-' || *p == '+') {
        negative = *p == '-';
        ++p;
    }
    const char* const body = p;

    // Up to 19 digits fit the 64-bit mantissa; longer texts are recounted on the exact route.
    std::uint64_t mantissa = 0;
    const char* const int_begin = p;
    while (p != end && is_digit(*p)) mantissa = mantissa * 10 + std::uint64_t(*p++ - '0');
    const char* const int_end = p;
    const char* frac_begin = p;
    const char* frac_end = p;
    if (p != end && *p == '.') {
        frac_begin = ++p;
        while (p != end && is_digit(*p)) mantissa = mantissa * 10 + std::uint64_t(*p++ - '0');
        frac_end = p;
    }
    const std::size_t digit_count = std::size_t(int_end - int_begin) + std::size_t(frac_end - frac_begin);
    if (digit_count == 0) {
        if (parse_special_word(std::string_view(body, std::size_t(end - body)), value)) {
            value = with_sign(value, negative);
            return true;
        }
        error = FloatErrorKind::Invalid;
        return false;
    }

    std::int64_t exponent = 0;
    if (p != end && (*p == 'e' || *p == 'E')) {
        ++p;
        bool exponent_negative = false;
        if (p != end && (*p == '+' || *p == '-')) exponent_negative = *p++ == '-';
        if (p == end || !is_digit(*p)) {
            error = FloatErrorKind::Invalid;
            return false;
        }
        // Once the exponent reaches 65536 further digits are ignored: far beyond any
        // binary32 value, yet still meaningful against tens of thousands of digits.
        for (; p != end && is_digit(*p); ++p) {
            if (exponent < 65536) exponent = exponent * 10 + (*p - '0');
        }
        if (exponent_negative) exponent = -exponent;
    }
    if (p != end) {
        error = FloatErrorKind::Invalid;
        return false;
    }

    const std::int64_t scale = exponent - (frac_end - frac_begin);
    if (digit_count <= 19 && mantissa <= (std::uint64_t(1) << 53) && scale >= -22 && scale <= 22) {
        // Both operands are exact doubles, so the product or quotient is the exact value
        // rounded once to 53 bits. That can move it onto a binary32 tie but never across one:
        // only a double that is exactly a tie is ambiguous.
        double d = double(mantissa);
        d = scale < 0 ? d / kExactPowersOfTen[-scale] : d * kExactPowersOfTen[scale];
        if ((std::bit_cast<std::uint64_t>(d) & 0x1FFFFFFFu) != 0x10000000u) {
            value = with_sign(float(d), negative);
            return true;
        }
    }
    value = with_sign(decimal_to_binary32_exact(int_begin, int_end, frac_begin, frac_end, exponent), negative);
    return true;
}

}  // namespace quorel
