// The shape simulators print nearly every field in: right-aligned blanks, an optional sign, one
// digit, a point, up to eight digits and a two-digit exponent ("-1.23457E+01", " 1.23456789E-03").
// Such a field is recognised in a few word operations; anything else, or a value the fast
// rounding cannot prove, is declined and goes the general way (trim, then parse_binary32).
// Accepting only this subset of the grammar, the result is the one the general way gives.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "text_rules/binary32_rounding.hpp"
#include "text_rules/binary64_rounding.hpp"
#include "text_rules/decimal_digits.hpp"

namespace quorel {

// Widths whose fields may have the shape: room for "0.0E+00", at most eight fraction digits.
constexpr bool fits_e_notation_field(std::uint64_t width) noexcept { return width >= 7 && width <= 24; }

// `field` is `width` bytes of an ASCII line followed by at least eight readable bytes, and
// fits_e_notation_field(width). False where the field does not have the shape; else its value
// is (-1 if negative) x mantissa x 10^scale.
[[gnu::always_inline]] inline bool e_notation_decimal(const char* field, std::size_t width, std::uint64_t& mantissa,
                                                      std::int64_t& scale, bool& negative) noexcept {
    const char* const exponent = field + width - 4;
    const unsigned exponent_tens = unsigned(static_cast<unsigned char>(exponent[2])) - '0';
    const unsigned exponent_ones = unsigned(static_cast<unsigned char>(exponent[3])) - '0';
    if ((exponent[0] | 0x20) != 'e' || (exponent[1] != '+' && exponent[1] != '-') || exponent_tens > 9 ||
        exponent_ones > 9) {
        return false;
    }

    std::uint64_t bytes;
    std::memcpy(&bytes, field, 8);
    const std::uint64_t blanks = bytes ^ 0x2020202020202020ull;  // 0 where a byte is a blank
    const std::uint64_t non_blank =
        (blanks | ((blanks & 0x7F7F7F7F7F7F7F7Full) + 0x7F7F7F7F7F7F7F7Full)) & 0x8080808080808080ull;
    if (non_blank == 0) return false;
    const char* p = field + std::countr_zero(non_blank) / 8;
    negative = *p == '-';
    p += negative | (*p == '+');
    const unsigned lead = unsigned(static_cast<unsigned char>(*p)) - '0';
    if (lead > 9 || p[1] != '.' || p + 2 > exponent) return false;
    p += 2;

    const std::size_t fraction_digits = std::size_t(exponent - p);
    if (fraction_digits > 8) return false;
    std::uint64_t fraction;
    if (!decimal_digits::parse_fixed_run(p, unsigned(fraction_digits), fraction)) return false;

    mantissa = lead * decimal_digits::kPowersOfTen[fraction_digits] + fraction;
    const std::int64_t power = std::int64_t(exponent_tens * 10 + exponent_ones);
    // Negated without a branch: the exponent's sign is as unpredictable as the data.
    const std::int64_t minus = -std::int64_t(exponent[1] == '-');
    scale = ((power ^ minus) - minus) - std::int64_t(fraction_digits);
    return true;
}

// The binary32 value of a field of the shape, where the fast rounding can prove it.
[[gnu::always_inline]] inline bool parse_e_notation_field(const char* field, std::size_t width, float& value) noexcept {
    using namespace binary32_detail;
    std::uint64_t mantissa;
    std::int64_t scale;
    bool negative;
    float magnitude;
    if (!e_notation_decimal(field, width, mantissa, scale, negative) || !fast_binary32(mantissa, scale, magnitude)) {
        return false;
    }
    value = with_sign(magnitude, negative);
    return true;
}

// The binary64 value of a field of the shape, where the short route gives it.
[[gnu::always_inline]] inline bool parse_e_notation_binary64(const char* field, std::size_t width, double& value) noexcept {
    std::uint64_t mantissa;
    std::int64_t scale;
    bool negative;
    double magnitude;
    if (!e_notation_decimal(field, width, mantissa, scale, negative) ||
        !binary64_detail::fast_binary64(mantissa, scale, magnitude)) {
        return false;
    }
    value = binary64_detail::with_sign(magnitude, negative);
    return true;
}

}  // namespace quorel
