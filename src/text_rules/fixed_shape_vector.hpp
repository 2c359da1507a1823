// The fixed-shape field (see fixed_shape_field.hpp) read with SSE2, which every x86-64 processor
// has: one 16-byte load holds the whole field, so every byte is checked against its role in a
// handful of vector operations, and the digits are combined into the significand and the
// exponent by two multiply-adds instead of a chain of scalar ones.
//
// The signs are not applied afterwards: each width has a table of signed powers, indexed by the
// exponent's digits, the exponent's sign and the field's sign, so one multiplication gives the
// signed value (a zero significand times a negative power is -0.0, as it should be). The
// rounding is the word route's (fast_binary32_in_table): the significand is exact, the power is
// the same correctly rounded double, and neither the near-tie test nor binary32 rounding cares
// about the sign.
#pragma once

#include <emmintrin.h>

#include <cmath>
#include <cstddef>
#include <cstdint>

#include "text_rules/binary32_rounding.hpp"

namespace quorel {

namespace fixed_shape_vector_detail {

using binary32_detail::kPowerTableLimit;
using binary32_detail::kPowersOfTen;

enum class Role { lead, digit, point, letter, exponent_sign, beyond };

constexpr Role role_at(std::size_t width, std::size_t position) {
    if (position == 0) return Role::lead;
    if (position == 2) return Role::point;
    if (position >= width) return Role::beyond;
    if (position == width - 4) return Role::letter;
    if (position == width - 3) return Role::exponent_sign;
    return Role::digit;
}

struct alignas(16) Bytes {
    unsigned char at[16] = {};
};
struct alignas(16) Weights {
    std::int16_t at[8] = {};
};

// The per-position constants of one width. A byte passes when (byte ^ expected) <= limit, or
// when it equals `minus` there. The range test alone takes a digit, the point, "E", a blank in
// front and "+" before the exponent; the comparison adds "-" at both sign positions. Elsewhere
// `minus` holds a byte that passes anyway, so that it adds nothing; bytes beyond the field pass
// whatever they are. A "+" in front and a lowercase "e", which the simulators do not write, are
// declined and left to the slower routes.
template <std::size_t Width>
struct Patterns {
    Bytes expected, limit, minus;
    // Subtracted with saturation: a digit becomes its value, the exponent's sign 0 for "+" and 2
    // for "-", every other byte 0.
    Bytes digit_zero;
    // The two multiply-adds that join the digit pairs.
    Weights pair_weights, part_weights;

    constexpr Patterns() {
        for (std::size_t i = 0; i < 16; ++i) {
            unsigned char expected_byte = 0, limit_byte = 0, minus_byte = 0, zero_byte = 0xFF;
            switch (role_at(Width, i)) {
            case Role::lead: expected_byte = ' '; minus_byte = '-'; break;
            case Role::digit: expected_byte = minus_byte = zero_byte = '0'; limit_byte = 9; break;
            case Role::point: expected_byte = minus_byte = '.'; break;
            case Role::letter: expected_byte = minus_byte = 'E'; break;
            case Role::exponent_sign: expected_byte = zero_byte = '+'; minus_byte = '-'; break;
            case Role::beyond: limit_byte = 0xFF; break;
            }
            expected.at[i] = expected_byte;
            limit.at[i] = limit_byte;
            minus.at[i] = minus_byte;
            digit_zero.at[i] = zero_byte;
        }
        // Digit pairs by their 16-bit lanes, 2s the exponent's sign (2 for "-"):
        //   width 12: d1 | d3 | d4d5 | d6d7 | 2s | e1e0 | 0 | 0
        //   width 15, moved up a byte: 0 | 10 d1 | d3d4 | d5d6 | d7d8 | d9d10 | 2s | e1e0
        // The first multiply-add joins neighbouring pairs into 32-bit parts, and puts the sign
        // above the exponent's digits, as the table index has it (64 x 2s = 128 for "-"); the
        // second, after the parts are packed back into 16-bit lanes (twice over), joins them.
        if constexpr (Width == 12) {
            // d1d3, d4d5d6d7, signed exponent, 0  ->  significand, signed exponent
            pair_weights = Weights{{10, 1, 100, 1, 64, 1, 0, 0}};
            part_weights = Weights{{10000, 1, 1, 0, 0, 0, 0, 0}};
        } else {
            // 10 d1, d3d4d5d6, d7d8d9d10, signed exponent  ->  d1d3..d6, d7..d10, 0, signed exponent
            pair_weights = Weights{{0, 1, 100, 1, 100, 1, 64, 1}};
            part_weights = Weights{{1000, 1, 1, 0, 0, 0, 0, 1}};
        }
    }
};
template <std::size_t Width>
inline constexpr Patterns<Width> kPatterns;

// Where the two sign flags go in a table index; the exponent's digits take the low seven bits.
constexpr unsigned kExponentMinusBit = 0x80, kFieldMinusBit = 0x100;

// sign x 10^(exponent - fraction digits) for every index.
template <std::size_t Width>
struct SignedPowers {
    double at[2 * kFieldMinusBit] = {};
    constexpr SignedPowers() {
        constexpr int kFractionDigits = int(Width) - 7;
        for (unsigned index = 0; index < 2 * kFieldMinusBit; ++index) {
            const int digits = int(index & 0x7F);
            if (digits > 99) continue;
            const int scale = ((index & kExponentMinusBit) ? -digits : digits) - kFractionDigits;
            const double power = kPowersOfTen[kPowerTableLimit + scale];
            at[index] = (index & kFieldMinusBit) ? -power : power;
        }
    }
};
template <std::size_t Width>
inline constexpr SignedPowers<Width> kSignedPowers;

inline __m128i load(const Bytes& bytes) noexcept { return _mm_load_si128(reinterpret_cast<const __m128i*>(bytes.at)); }
inline __m128i load(const Weights& weights) noexcept {
    return _mm_load_si128(reinterpret_cast<const __m128i*>(weights.at));
}

// Below 10^-37 a value may be subnormal, which the plain rounding does not handle: a rare case,
// kept out of the loop.
[[gnu::cold, gnu::noinline]] inline bool round_small_product(double d, float& value) noexcept {
    float magnitude;
    if (!binary32_detail::round_product(std::fabs(d), -1, magnitude)) return false;
    value = binary32_detail::with_sign(magnitude, std::signbit(d));
    return true;
}

// A double near a binary32 tie: the answer all the same where double precision holds the value
// exactly, as it does for whole numbers (exact_binary32); otherwise the field goes another way.
template <std::size_t Width>
[[gnu::cold, gnu::noinline]] inline bool round_near_tie(double significand, unsigned exponent, bool negative,
                                                         float& value) noexcept {
    const std::int64_t digits = std::int64_t(exponent & 0x7F);
    const std::int64_t scale = ((exponent & kExponentMinusBit) ? -digits : digits) - (std::int64_t(Width) - 7);
    float magnitude;
    if (!binary32_detail::exact_binary32(std::uint64_t(significand), scale, magnitude)) return false;
    value = binary32_detail::with_sign(magnitude, negative);
    return true;
}

}  // namespace fixed_shape_vector_detail

// `field` points at 16 readable bytes, of which the first Width are the field.
template <std::size_t Width>
[[gnu::always_inline]] inline bool parse_fixed_shape_field_vector(const char* field, float& value) noexcept {
    static_assert(Width == 12 || Width == 15, "the two widths in use");
    using namespace fixed_shape_vector_detail;
    constexpr const Patterns<Width>& kShape = kPatterns<Width>;

    const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(field));
    const __m128i limit = load(kShape.limit);
    const __m128i offsets = _mm_xor_si128(bytes, load(kShape.expected));
    const __m128i in_range = _mm_cmpeq_epi8(_mm_max_epu8(offsets, limit), limit);
    const __m128i minus = _mm_cmpeq_epi8(bytes, load(kShape.minus));
    if (_mm_movemask_epi8(_mm_or_si128(in_range, minus)) != 0xFFFF) return false;

    // Digit values, two bytes to a 16-bit lane, the earlier one in the low byte. Multiplying a
    // lane by 2561 = 10 x 256 + 1 puts 10 x low + high (at most 99) into its high byte, above low
    // (at most 9), which cannot carry into it. At width 15 the field moves up a byte first, so
    // that the exponent's two digits share a lane.
    __m128i digits = _mm_subs_epu8(bytes, load(kShape.digit_zero));
    if constexpr (Width == 15) digits = _mm_slli_si128(digits, 1);
    __m128i pair_multiplier = _mm_set1_epi16(2561);
    // Opaque to the optimiser, which would otherwise split the multiplication into shifts and adds.
    asm("" : "+x"(pair_multiplier));
    const __m128i pairs = _mm_srli_epi16(_mm_mullo_epi16(digits, pair_multiplier), 8);
    const __m128i parts = _mm_madd_epi16(pairs, load(kShape.pair_weights));
    const __m128i joined = _mm_madd_epi16(_mm_packs_epi32(parts, parts), load(kShape.part_weights));
    // The significand goes to a double without leaving the vector registers; it is exact, below
    // 10^9, as are the products and sums of such integers made here.
    const __m128d parts_as_doubles = _mm_cvtepi32_pd(joined);
    double significand;
    unsigned exponent;  // the digits, and kExponentMinusBit for "-"
    if constexpr (Width == 12) {
        significand = _mm_cvtsd_f64(parts_as_doubles);
        exponent = unsigned(_mm_extract_epi16(joined, 2));
    } else {
        significand = _mm_cvtsd_f64(parts_as_doubles) * 10000.0 +
                      _mm_cvtsd_f64(_mm_unpackhi_pd(parts_as_doubles, parts_as_doubles));
        exponent = unsigned(_mm_extract_epi16(joined, 6));
    }
    // The first byte is now a blank (0x20) or "-" (0x2D): its bit 2 is the field's sign.
    const unsigned first_byte_bits = unsigned(_mm_cvtsi128_si32(bytes));
    const unsigned index = exponent | ((first_byte_bits << 6) & kFieldMinusBit);
    const double d = significand * kSignedPowers<Width>.at[index];
    // From 10^-37 on, a nonzero value is normal (see binary32_rounding.hpp).
    constexpr unsigned kFirstSmallExponent = kExponentMinusBit | unsigned(-binary32_detail::kNormalFromScale - (int(Width) - 7) + 1);
    if (exponent >= kFirstSmallExponent) return round_small_product(d, value);
    if (binary32_detail::near_tie(d, binary32_detail::kRoundedPowerMargin)) {
        return round_near_tie<Width>(significand, exponent, std::signbit(d), value);
    }
    value = float(d);
    return true;
}

}  // namespace quorel
