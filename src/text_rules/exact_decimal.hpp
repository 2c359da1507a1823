// Every decimal digit of a positive binary value m x 2^e, found with a big integer, and its
// rounding to fewer digits, half to even: the exact routes of the binary32 and binary64 field
// writers (format_binary32.hpp, format_binary64.hpp). Integer arithmetic only, so that the
// digits are the same whatever compiler, runtime or processor.
#pragma once

#include <cstddef>
#include <cstdint>

#include "text_rules/big_unsigned.hpp"

namespace quorel::decimal_detail {

inline constexpr std::uint64_t kTenToThe19 = 10000000000000000000u;

// `MostDigits` must hold every digit of the values written: m x 2^e is an integer for e >= 0,
// and m x 5^-e / 10^-e for e < 0; `Limbs` must hold m x 2^e and m x 5^-e.
template <std::size_t MostDigits>
struct ExactDecimal {
    char digits[MostDigits];  // the first is not 0
    std::size_t length = 0;
    int exponent = 0;         // of the first digit: the value is d1.d2d3... x 10^exponent
};

// The exact decimal of m x 2^e, m > 0.
template <std::size_t MostDigits, int Limbs>
ExactDecimal<MostDigits> exact_decimal(std::uint64_t m, int e) noexcept {
    BigUnsignedOf<Limbs> value(m);
    int point = 0;  // the value is `value` x 10^point
    if (e >= 0) {
        value.shift_left(std::uint64_t(e));
    } else {
        value.multiply_by_power_of_five(std::uint64_t(-e));
        point = e;
    }
    // Nineteen digits at a time, from the last; the chunks then read from the first.
    char reversed[MostDigits + 19];
    std::size_t count = 0;
    while (!value.is_zero()) {
        std::uint64_t chunk = value.divide(kTenToThe19);
        for (int i = 0; i < 19; ++i, chunk /= 10) reversed[count++] = char('0' + chunk % 10);
    }
    while (reversed[count - 1] == '0') --count;
    ExactDecimal<MostDigits> decimal;
    for (std::size_t i = 0; i < count; ++i) decimal.digits[i] = reversed[count - 1 - i];
    decimal.length = count;
    decimal.exponent = int(count) - 1 + point;
    return decimal;
}

// Rounds to `keep` digits (at least 1), half to even.
template <std::size_t MostDigits>
void round_to(ExactDecimal<MostDigits>& decimal, std::size_t keep) noexcept {
    // Never more than MostDigits; said again here so that the compiler sees every index in bounds.
    const std::size_t length = decimal.length < MostDigits ? decimal.length : MostDigits;
    if (length <= keep) return;
    const char next = decimal.digits[keep];
    bool beyond = false;
    for (std::size_t i = keep + 1; i < length; ++i) beyond |= decimal.digits[i] != '0';
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

}  // namespace quorel::decimal_detail
