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

#include "binary32_rounding.hpp"
#include "decimal_digits.hpp"

namespace quorel {

// Widths whose fields may have the shape: room for "0.0E+00", at most eight fraction digits.
constexpr bool fits_e_notation_field(std::uint64_t width) noexcept { return width >= 7 && width <= 24; }

// `field` is `width` bytes of an ASCII line followed by at least eight readable bytes, and
// fits_e_notation_field(width).
[[gnu::always_inline]] inline bool parse_e_notation_field(const char* field, std::size_t width, float& value) noexcept {
    using namespace binary32_detail;
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
    const bool negative = *p == '-';
    p += negative | (*p == '+');
    const unsigned lead = unsigned(static_cast<unsigned char>(*p)) - '0';
    if (lead > 9 || p[1] != '.' || p + 2 > exponent) return false;
    p += 2;

    const std::size_t fraction_digits = std::size_t(exponent - p);
    if (fraction_digits > 8) return false;
    std::uint64_t fraction;
    if (!decimal_digits::parse_fixed_run(p, unsigned(fraction_digits), fraction)) return false;

    const std::uint64_t mantissa = lead * decimal_digits::kPowersOfTen[fraction_digits] + fraction;
    const std::int64_t power = std::int64_t(exponent_tens * 10 + exponent_ones);
    // Negated without a branch: the exponent's sign is as unpredictable as the data.
    const std::int64_t minus = -std::int64_t(exponent[1] == '-');
    const std::int64_t scale = ((power ^ minus) - minus) - std::int64_t(fraction_digits);
    float magnitude;
    if (!fast_binary32(mantissa, scale, magnitude)) return false;
    value = with_sign(magnitude, negative);
    return true;
}

// The tightest case: a field of a width known at compile time that the value fills but for one
// leading blank or sign, " 1.23457E+01" at width 12 or "-1.23456789E-03" at width 15. Every
// position is fixed, so the shape is checked and the digits are read from three word loads:
//   byte 0            blank, "+" or "-"           (the lone byte)
//   bytes 1 .. 8      lead digit, ".", digits     (`body`: at width 12 it ends in the "E")
//   bytes W-8 .. W-1  ..., "E" or "e", sign, two exponent digits  (`tail`)
// At width 15 the last two fraction digits are tail bytes 2 and 3.
template <std::size_t Width>
[[gnu::always_inline]] inline bool parse_full_e_notation_field(const char* field, float& value) noexcept {
    static_assert(Width == 12 || Width == 15, "the two widths in use");
    using namespace binary32_detail;
    constexpr unsigned kFractionDigits = Width - 7;
    constexpr std::uint64_t kAsciiZeros = 0x3030303030303030ull;
    std::uint64_t body;
    std::uint64_t tail;
    std::memcpy(&body, field + 1, 8);
    std::memcpy(&tail, field + Width - 8, 8);
    const auto first = static_cast<unsigned char>(field[0]);
    const unsigned char exponent_sign = static_cast<unsigned char>(tail >> 40);

    // Body bytes that must be digits: all but the point (byte 1), and at width 12 the "E"
    // (byte 7). Tail bytes: the exponent's digits, and at width 15 also the fraction's last two.
    constexpr std::uint64_t kBodyDigits = Width == 12 ? 0x0080808080800080ull : 0x8080808080800080ull;
    constexpr std::uint64_t kTailDigits = Width == 12 ? 0x8080000000000000ull : 0x8080000080800000ull;
    std::uint64_t bad = (decimal_digits::non_digit_bytes(body) & kBodyDigits) |
                        (decimal_digits::non_digit_bytes(tail) & kTailDigits);
    bad |= ((body >> 8) & 0xFF) ^ '.';                        // the point
    bad |= (((tail >> 32) & 0xFF) | 0x20) ^ 'e';              // "E" or "e"
    const bool exponent_negative = exponent_sign == '-';
    const bool negative = first == '-';
    bad |= !(exponent_negative | (exponent_sign == '+'));
    bad |= !(negative | (first == ' ') | (first == '+'));
    if (bad != 0) return false;

    // The significand's digits as one number: the lead digit and the fraction's digits with the
    // point's byte cleared, "d0ddddd" read as d x 10^(F+1) + fraction, then the lead digit's
    // excess removed.
    const std::uint64_t nibbles = body ^ kAsciiZeros;
    const std::uint64_t lead = nibbles & 0xFF;
    std::uint64_t mantissa;
    if constexpr (Width == 12) {
        const std::uint64_t digits = nibbles & 0x00FFFFFFFFFF00FFull;  // "d0ddddd": the point and the "E" dropped
        mantissa = decimal_digits::eight_digits_value(digits << 8) - lead * 900000;
    } else {
        const std::uint64_t digits = nibbles & 0xFFFFFFFFFFFF00FFull;  // "d0dddddd": the point dropped
        const std::uint64_t last_two = ((tail ^ kAsciiZeros) >> 16) & 0xFFFF;
        mantissa = (decimal_digits::eight_digits_value(digits) - lead * 9000000) * 100 +
                   (last_two & 0xFF) * 10 + (last_two >> 8);
    }
    const std::int64_t power = std::int64_t((tail >> 48) & 0xFF) * 10 + std::int64_t(tail >> 56) - ('0' * 11);
    // Negated without a branch: the exponent's sign is as unpredictable as the data.
    const std::int64_t minus = -std::int64_t(exponent_negative);
    const std::int64_t scale = ((power ^ minus) - minus) - std::int64_t(kFractionDigits);
    float magnitude;
    if (!fast_binary32_in_table(mantissa, scale, magnitude)) return false;
    value = with_sign(magnitude, negative);
    return true;
}

}  // namespace quorel
