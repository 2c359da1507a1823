#include "text_rules/format_binary32.hpp"

#include <bit>
#include <cstdint>
#include <cstring>

#include "text_rules/big_unsigned.hpp"

namespace quorel {

namespace {

using binary32_detail::BigUnsigned;

// Every decimal digit of a binary32 value: m x 2^e is an integer below 2^128 for e >= 0 (at most
// 39 digits) and m x 5^-e / 10^-e for e < 0, where m x 5^-e < 2^24 x 5^149 < 2^371 has at most
// 112 digits.
constexpr std::size_t kMostDigits = 120;
constexpr std::uint64_t kTenToThe19 = 10000000000000000000u;

struct ExactDecimal {
    char digits[kMostDigits];  // the first is not 0
    std::size_t length = 0;
    int exponent = 0;          // of the first digit: the value is 0.d1d2... x 10^(exponent + 1)
};

// The exact decimal of the positive finite nonzero binary32 with bits `magnitude`.
ExactDecimal exact_decimal(std::uint32_t magnitude) noexcept {
    const std::uint32_t field = magnitude >> 23;
    const std::uint64_t m = field == 0 ? magnitude & 0x7FFFFF : (magnitude & 0x7FFFFF) | 0x800000;
    const int e = field == 0 ? -149 : int(field) - 150;
    BigUnsigned value(m);
    int point = 0;  // the value is `value` x 10^point
    if (e >= 0) {
        value.shift_left(std::uint64_t(e));
    } else {
        value.multiply_by_power_of_five(std::uint64_t(-e));
        point = e;
    }
    // Nineteen digits at a time, from the last; the chunks then read from the first.
    char reversed[kMostDigits + 19];
    std::size_t count = 0;
    while (!value.is_zero()) {
        std::uint64_t chunk = value.divide(kTenToThe19);
        for (int i = 0; i < 19; ++i, chunk /= 10) reversed[count++] = char('0' + chunk % 10);
    }
    while (reversed[count - 1] == '0') --count;
    ExactDecimal decimal;
    for (std::size_t i = 0; i < count; ++i) decimal.digits[i] = reversed[count - 1 - i];
    decimal.length = count;
    decimal.exponent = int(count) - 1 + point;
    return decimal;
}

// Rounds to `keep` digits (at least 1), half to even.
void round_to(ExactDecimal& decimal, std::size_t keep) noexcept {
    if (decimal.length <= keep) return;
    const char next = decimal.digits[keep];
    bool beyond = false;
    for (std::size_t i = keep + 1; i < decimal.length; ++i) beyond |= decimal.digits[i] != '0';
    const bool odd = ((decimal.digits[keep - 1] - '0') & 1) != 0;
    decimal.length = keep;
    if (next < '5' || (next == '5' && !beyond && !odd)) return;
    std::size_t i = keep;
    while (i > 0 && decimal.digits[i - 1] == '9') decimal.digits[--i] = '0';
    if (i == 0) {  // 99...9 carries into the next power of ten
        decimal.digits[0] = '1';
        ++decimal.exponent;
    } else {
        ++decimal.digits[i - 1];
    }
}

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
