// The tightest case of the e-notation shape: a field of width 12 or 15 that the value fills but
// for one leading blank or sign, " 1.23457E+01" or "-1.23456789E-03". Every byte has a fixed
// role, so the whole field is checked with a few word operations (or, with SSE2, vector
// operations: fixed_shape_vector.hpp) and the digits are read in one pass; anything else, or a
// value the fast rounding cannot prove, is declined.
//
//   position  0       1     2    3 .. W-5     W-4        W-3    W-2, W-1
//   role      " +-"   digit "."  digits       "E" "e"    "+-"   digits
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "text_rules/binary32_rounding.hpp"
#include "text_rules/binary64_rounding.hpp"
#include "text_rules/decimal_digits.hpp"

#include "text_rules/vector_support.hpp"
#if QUOREL_VECTORS
#include "text_rules/fixed_shape_vector.hpp"
#endif

namespace quorel {

namespace fixed_shape_detail {

// What a byte may be at the two sign positions: bit 0 a valid first byte (blank, "+", "-"),
// bit 2 a valid exponent sign ("+", "-"), bit 1 a minus.
constexpr std::uint8_t kLeadByte = 1, kMinus = 2, kExponentSign = 4;
struct SignTable {
    std::uint8_t roles[256] = {};
    constexpr SignTable() {
        roles[' '] = kLeadByte;
        roles['+'] = kLeadByte | kExponentSign;
        roles['-'] = kLeadByte | kExponentSign | kMinus;
    }
};
inline constexpr SignTable kSignRoles;

// Each byte of a word checked against its role in one pass: XOR with `expected` turns a digit
// into 0..9 and a fixed character into 0; adding `bias` (0x76 for a digit, 0x7F for a fixed
// character) then sets the high bit of every byte that is off. A byte of 0x80 or more sets its
// high bit by itself (and only such a byte can carry into the next one). `checked` keeps the
// bytes whose role is checked here.
struct WordShape {
    std::uint64_t expected, bias, checked;
};
inline std::uint64_t off_shape(std::uint64_t word, WordShape shape) noexcept {
    const std::uint64_t values = word ^ shape.expected;
    return ((values + shape.bias) | values) & shape.checked;
}

// Bytes 0 .. 7: " d.ddddd" (the first byte is checked by its role).
constexpr WordShape kHead{0x30303030302E3000ull, 0x76767676767F7600ull, 0x8080808080808000ull};
// The last eight bytes, "dddd" then "e" (after OR 0x20), sign, two digits. At width 12 their
// first four bytes are head bytes 4 .. 7, already checked; at width 15 the first is head byte 7.
constexpr std::uint64_t kTailLowercase = 0x0000002000000000ull;
constexpr WordShape kTail12{0x3030006500000000ull, 0x7676007F00000000ull, 0x8080008000000000ull};
constexpr WordShape kTail15{0x3030006530303000ull, 0x7676007F76767600ull, 0x8080008080808000ull};

}  // namespace fixed_shape_detail

// The decimal of a field of the shape, with 64-bit word operations, for any processor: false
// where `field` (Width readable bytes) does not have the shape; else the value is
// (-1 if negative) x mantissa x 10^scale.
template <std::size_t Width>
[[gnu::always_inline]] inline bool fixed_shape_decimal(const char* field, std::uint64_t& mantissa, std::int64_t& scale,
                                                        bool& negative) noexcept {
    static_assert(Width == 12 || Width == 15, "the two widths in use");
    using namespace fixed_shape_detail;
    constexpr unsigned kFractionDigits = Width - 7;
    constexpr WordShape kTail = Width == 12 ? kTail12 : kTail15;
    std::uint64_t head;
    std::uint64_t tail;
    std::memcpy(&head, field, 8);
    std::memcpy(&tail, field + Width - 8, 8);
    tail |= kTailLowercase;
    const std::uint8_t first = kSignRoles.roles[head & 0xFF];
    const std::uint8_t exponent_sign = kSignRoles.roles[(tail >> 40) & 0xFF];
    // The first byte's lead role, shifted onto the exponent sign's role: both must be there.
    const std::uint64_t signs_off = ((first << 2) & exponent_sign & kExponentSign) ^ kExponentSign;
    const std::uint64_t off = off_shape(head, kHead) | off_shape(tail, kTail) | signs_off;
    if (off != 0) return false;

    // The significand as one integer. At width 12 its lead digit moves into the point's byte, so
    // that the six digits run on without a gap; at width 15 the eight fraction digits fill a word
    // of their own and the lead digit is added in front.
    const std::uint64_t head_digits = head ^ kHead.expected;  // digits 0..9, the point 0
    const std::uint64_t tail_digits = tail ^ kTail.expected;
    if constexpr (Width == 12) {
        mantissa = decimal_digits::eight_digits_value(((head_digits & 0xFF00) << 8) | (head_digits & 0xFFFFFFFFFF000000ull));
    } else {
        std::uint64_t fraction;
        std::memcpy(&fraction, field + 3, 8);
        mantissa = ((head_digits >> 8) & 0xFF) * 100000000 + decimal_digits::eight_digits_value(fraction ^ 0x3030303030303030ull);
    }
    const std::int64_t power = std::int64_t((tail_digits >> 48) & 0xFF) * 10 + std::int64_t(tail_digits >> 56);
    // Negated without a branch: the exponent's sign is as unpredictable as the data.
    const std::int64_t minus = -std::int64_t((exponent_sign & kMinus) != 0);
    scale = ((power ^ minus) - minus) - std::int64_t(kFractionDigits);
    negative = (first & kMinus) != 0;
    return true;
}

// The binary32 value of a field of the shape, with word operations.
template <std::size_t Width>
[[gnu::always_inline]] inline bool parse_fixed_shape_field_words(const char* field, float& value) noexcept {
    using namespace binary32_detail;
    std::uint64_t mantissa;
    std::int64_t scale;
    bool negative;
    float magnitude;
    if (!fixed_shape_decimal<Width>(field, mantissa, scale, negative) ||
        !fast_binary32_in_table(mantissa, scale, magnitude)) {
        return false;
    }
    value = with_sign(magnitude, negative);
    return true;
}

// The binary64 value of a field of the shape (the time, once a block: the word operations
// serve): at most nine digits and a scale within 22 take the short route, which covers every
// such field but those beyond 1E+14 or below 1E-14.
template <std::size_t Width>
[[gnu::always_inline]] inline bool parse_fixed_shape_binary64(const char* field, double& value) noexcept {
    std::uint64_t mantissa;
    std::int64_t scale;
    bool negative;
    double magnitude;
    if (!fixed_shape_decimal<Width>(field, mantissa, scale, negative) ||
        !binary64_detail::fast_binary64(mantissa, scale, magnitude)) {
        return false;
    }
    value = binary64_detail::with_sign(magnitude, negative);
    return true;
}

// The route in use (see vector_support.hpp). `field` points at 16 readable bytes, of which the
// first Width are the field.
template <std::size_t Width>
[[gnu::always_inline]] inline bool parse_fixed_shape_field(const char* field, float& value) noexcept {
#if QUOREL_VECTORS
    return parse_fixed_shape_field_vector<Width>(field, value);
#else
    return parse_fixed_shape_field_words<Width>(field, value);
#endif
}

}  // namespace quorel
