#include "text_rules/format_binary32.hpp"

#include <bit>
#include <cstdint>
#include <cstring>

#include "text_rules/exact_decimal.hpp"

namespace quorel {

namespace {

// Every decimal digit of a binary32 value: m x 2^e is an integer below 2^128 for e >= 0 (at most
// 39 digits) and m x 5^-e / 10^-e for e < 0, where m x 5^-e < 2^24 x 5^149 < 2^371 has at most
// 112 digits.
constexpr std::size_t kMostDigits = 120;
using ExactDecimal = decimal_detail::ExactDecimal<kMostDigits>;

// The exact decimal of the positive finite nonzero binary32 with bits `magnitude`.
ExactDecimal exact_decimal(std::uint32_t magnitude) noexcept {
    const std::uint32_t field = magnitude >> 23;
    const std::uint64_t m = field == 0 ? magnitude & 0x7FFFFF : (magnitude & 0x7FFFFF) | 0x800000;
    const int e = field == 0 ? -149 : int(field) - 150;
    return decimal_detail::exact_decimal<kMostDigits, binary32_detail::BigUnsigned::kLimbs>(m, e);
}

using decimal_detail::round_to;

}  // namespace

void format_special_field(std::uint32_t bits, std::size_t width, char* out) noexcept {
    const bool negative = (bits >> 31) != 0;
    const bool nan = (bits & 0x7FFFFFFF) > 0x7F800000;
    const char* text = nan ? (negative ? "-nan" : "nan") : (negative ? "-inf" : "inf");
    const std::size_t length = std::strlen(text);
    std::memset(out, ' ', width - length);
    std::memcpy(out + width - length, text, length);
}

void format_field_exact(float value, std::size_t width, char* out) noexcept {
    const std::uint32_t bits = std::bit_cast<std::uint32_t>(value);
    const std::uint32_t magnitude = bits & 0x7FFFFFFF;
    if (magnitude >= 0x7F800000) {
        format_special_field(bits, width, out);
        return;
    }
    const std::size_t significant = width - 6;
    ExactDecimal decimal;
    if (magnitude == 0) {
        decimal.digits[0] = '0';
        decimal.length = 1;
    } else {
        decimal = exact_decimal(magnitude);
        round_to(decimal, significant);
    }
    out[0] = (bits >> 31) != 0 ? '-' : ' ';
    out[1] = decimal.digits[0];
    out[2] = '.';
    // Past the value's own digits (at most 112), the fraction is zeros.
    char* fraction = out + 3;
    const std::size_t known = decimal.length - 1;
    std::memcpy(fraction, decimal.digits + 1, known);
    std::memset(fraction + known, '0', significant - 1 - known);
    char* tail = out + significant + 2;
    const unsigned exponent = unsigned(decimal.exponent < 0 ? -decimal.exponent : decimal.exponent);
    tail[0] = 'E';
    tail[1] = decimal.exponent < 0 ? '-' : '+';
    tail[2] = char('0' + exponent / 10);
    tail[3] = char('0' + exponent % 10);
}

void format_field(float value, std::size_t width, char* out) noexcept {
    switch (width) {
        case 8: return format_field_fast<2>(value, out);
        case 9: return format_field_fast<3>(value, out);
        case 10: return format_field_fast<4>(value, out);
        case 11: return format_field_fast<5>(value, out);
        case 12: return format_field_fast<6>(value, out);
        case 13: return format_field_fast<7>(value, out);
        case 14: return format_field_fast<8>(value, out);
        case 15: return format_field_fast<9>(value, out);
        default: return format_field_exact(value, width, out);
    }
}

}  // namespace quorel
