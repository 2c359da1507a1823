// A binary32 value as a plot file's field: right-aligned in `width` bytes, in E notation with
// two exponent digits and width - 6 significant digits (" 4.21918E+01", "-4.13165432E+00"), so
// that a negative value fills its field and any other starts with a blank. The digits are those
// of the decimal of that many digits nearest to the value's exact binary value, a tie going to
// the even last digit; -0.0 is "-0.00000E+00". Two exponent digits always suffice: a binary32
// value lies between 1.4E-45 and 3.4E+38, and rounding never carries it to 1E+39. NaN, +inf and
// -inf are "nan" (or "-nan", with the sign bit set), "inf" and "-inf", right-aligned, which read
// back as a NaN of that sign (the payload is not kept) and as those infinities.
//
// The arithmetic is integer arithmetic only, so that the digits are the same whatever compiler,
// runtime or processor: no library conversion, no floating point.
//
// Two routes. For 2 to 9 digits (widths 8 to 15) the value m x 2^e (m moved to the top of a
// 64-bit word) is scaled to w = m x 2^e x 10^k, with k chosen so that w has the wanted number of
// digits before the point, by one 64 x 64-bit multiplication with a table's
// 10^k = (T + theta) x 2^s (T 64 bits, theta in [0, 1), binary32_decimal_tables.inc). The high
// word of P = m x T holds w's digits before the point and the first 32 or more bits after it;
// w x 2^-(e+s) = P + m x theta lies less than one unit of that word above P. Where theta is 0
// (10^0 to 10^27) P is w itself and decides everything, ties included; otherwise it decides
// unless the fraction lies within two units below one half or below the next integer, where w
// could be a tie or the next integer: such values (a few in 10^10) take the exact route. That
// route finds every decimal digit of the value with a big integer (at most 112 of them) and
// rounds them; it serves every width above 15 too.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace quorel {

// The narrowest field: "-1.2E+38" has two significant digits.
inline constexpr std::size_t kSmallestFieldWidth = 8;
// Fields of the fast route (2 to 9 digits).
inline constexpr std::size_t kLargestFastFieldWidth = 15;
// Writing a field of width 8 to 10 by the fast route may write this many bytes past its end,
// which the next field or the line feed then overwrites: a buffer of fields has this many to
// spare after its last byte.
inline constexpr std::size_t kFieldOverrun = 8;

// The field of `value` at `width` (at least kSmallestFieldWidth) by the exact route: writes
// [out, out + width) and nothing else.
void format_field_exact(float value, std::size_t width, char* out) noexcept;

// NaN or an infinity, right-aligned in `width` bytes (at least 4).
void format_special_field(std::uint32_t bits, std::size_t width, char* out) noexcept;

namespace binary32_detail {

struct Binade {
    int exponent;                     // floor(log10(2^b)) of the binade [2^b, 2^(b+1))
    std::uint32_t next_power_bits;    // the smallest binary32 at or above 10^(exponent + 1)
};

struct ScaledPower {
    std::uint64_t significand;  // T
    int exponent;               // s
    bool exact;                 // theta == 0
};

#include "text_rules/binary32_decimal_tables.inc"

inline constexpr std::uint32_t kPowersOfTen32[] = {1,      10,      100,      1000,      10000,
                                                   100000, 1000000, 10000000, 100000000, 1000000000};

// "E-45" to "E+39" as the four bytes of a little-endian word, from kSmallestDecimalExponent.
struct ExponentTexts {
    std::uint32_t at[39 - kSmallestDecimalExponent + 1] = {};
    constexpr ExponentTexts() {
        for (int x = kSmallestDecimalExponent; x <= 39; ++x) {
            const unsigned magnitude = unsigned(x < 0 ? -x : x);
            at[x - kSmallestDecimalExponent] = std::uint32_t('E') | (std::uint32_t(x < 0 ? '-' : '+') << 8) |
                                               (std::uint32_t('0' + magnitude / 10) << 16) |
                                               (std::uint32_t('0' + magnitude % 10) << 24);
        }
    }
};
inline constexpr ExponentTexts kExponentTexts;

// The eight decimal digits of n < 10^8 as byte values 0 to 9, the most significant in the lowest
// byte: halves of four digits, then pairs, then single digits, each step dividing every lane by
// a multiplication that is exact in its range (x * 10486 >> 20 is x / 100 for x < 10^4, and
// x * 103 >> 10 is x / 10 for x < 100).
inline std::uint64_t eight_digits(std::uint32_t n) noexcept {
    const std::uint64_t halves = std::uint64_t(n / 10000) | (std::uint64_t(n % 10000) << 32);
    const std::uint64_t hundreds = ((halves * 10486) >> 20) & 0x0000007F0000007Full;
    const std::uint64_t pairs = hundreds | ((halves - 100 * hundreds) << 16);
    const std::uint64_t tens = ((pairs * 103) >> 10) & 0x000F000F000F000Full;
    return tens | ((pairs - 10 * tens) << 8);
}

// The nearest decimal of `N` digits to the positive finite nonzero binary32 with bits
// `magnitude`: digits in [10^(N-1), 10^N) times 10^(exponent - N + 1). False where only the
// exact route can tell.
template <int N>
[[gnu::always_inline]] inline bool nearest_decimal(std::uint32_t magnitude, std::uint32_t& digits,
                                                   int& exponent) noexcept {
    static_assert(N >= 2 && N <= 9);
    const std::uint32_t field = magnitude >> 23;
    // The value is m x 2^e with m at the top of a word, in [2^63, 2^64): in the binade
    // [2^(e+63), 2^(e+64)). Subnormals (rare) need their leading zeros counted.
    std::uint64_t m;
    int e;
    if (field != 0) [[likely]] {
        m = ((magnitude & 0x7FFFFFull) | 0x800000) << 40;
        e = int(field) - 190;
    } else {
        const int leading_zeros = std::countl_zero(std::uint64_t(magnitude));
        m = std::uint64_t(magnitude) << leading_zeros;
        e = -149 - leading_zeros;
    }
    // The decimal exponent is the binade's or one more.
    const Binade& binade = kBinades[e + 63 - kSmallestBinade];
    int x = binade.exponent + int(magnitude >= binade.next_power_bits);
    const ScaledPower& power = kScaledPowersOfTen[N - 1 - x - kSmallestScalePower];
    // P = m x T has 127 or 128 bits, and w x 2^-(e+s) = P + m theta lies less than one unit of
    // P's high word above it. The scaled value has 4 to 30 bits before the point, so the high
    // word holds them and the first 32 to 61 bits of the fraction.
    const unsigned __int128 product = static_cast<unsigned __int128>(m) * power.significand;
    const std::uint64_t high = std::uint64_t(product >> 64);
    const std::uint64_t low = std::uint64_t(product);
    const int fraction_bits = -(e + power.exponent) - 64;
    std::uint32_t whole = std::uint32_t(high >> fraction_bits);
    const std::uint64_t half = std::uint64_t(1) << (fraction_bits - 1);
    const std::uint64_t fraction = high & ((half << 1) - 1);
    // w lies in [F, F + 2) units of the high word, F the fraction there; exactly at F where P is
    // w, with the low word as the rest. Where it is not, it is above F: F of one half or more
    // rounds up, F of one half less two or less down, and F one unit below one half or below the
    // next integer is left to the exact route.
    const bool exact = power.exact;
    if (!exact && ((fraction + 1) & (half - 1)) == 0) [[unlikely]] return false;
    // Rounded without a branch, which way a value goes being as unpredictable as the data: the
    // low word only matters as nonzero or not (it cannot move F across one half), and a tie
    // (exact only) goes to the even neighbour.
    const std::uint64_t sticky_fraction = fraction | std::uint64_t(low != 0);
    const std::uint64_t odd_or_above = (std::uint64_t(whole) | std::uint64_t(!exact)) & 1;
    const bool up = ((sticky_fraction + half - 1 + odd_or_above) >> fraction_bits) != 0;
    whole += std::uint32_t(up);
    if (whole == kPowersOfTen32[N]) {  // 9.99...5 and up carry into the next power of ten
        whole = kPowersOfTen32[N - 1];
        ++x;
    }
    digits = whole;
    exponent = x;
    return true;
}

// Writes the field of digits x 10^(exponent - N + 1) (digits below 10^N; 0 for a zero) with its
// sign: [out, out + N + 6), and up to kFieldOverrun bytes past it for N below 5.
template <int N>
[[gnu::always_inline]] inline void write_decimal_field(char* out, bool negative, std::uint32_t digits,
                                                       int exponent) noexcept {
    std::uint32_t lead;
    std::uint64_t fraction_digits;  // the N - 1 digits after the point, the first in the lowest byte
    if constexpr (N == 9) {
        lead = digits / kPowersOfTen32[8];
        fraction_digits = eight_digits(digits - lead * kPowersOfTen32[8]);
    } else {
        const std::uint64_t all = eight_digits(digits);  // 8 - N leading zeros, then the digits
        lead = std::uint32_t(all >> (8 * (8 - N))) & 0xFF;
        fraction_digits = all >> (8 * (9 - N));
    }
    // The digits after the point with '0's above them, past the fraction, which the exponent and
    // what follows the field overwrite; the exponent; the sign, the lead digit and the point.
    const std::uint64_t fraction_text = fraction_digits + 0x3030303030303030ull;
    std::memcpy(out + 3, &fraction_text, 8);
    std::memcpy(out + N + 2, &kExponentTexts.at[exponent - kSmallestDecimalExponent], 4);
    out[0] = negative ? '-' : ' ';
    out[1] = char('0' + lead);
    out[2] = '.';
}

}  // namespace binary32_detail

// The field of `value` at width N + 6, N from 2 to 9: [out, out + N + 6), and up to
// kFieldOverrun bytes past it (widths 8 to 10).
template <int N>
[[gnu::always_inline]] inline void format_field_fast(float value, char* out) noexcept {
    using namespace binary32_detail;
    const std::uint32_t bits = std::bit_cast<std::uint32_t>(value);
    const std::uint32_t magnitude = bits & 0x7FFFFFFF;
    if (magnitude >= 0x7F800000) [[unlikely]] {
        format_special_field(bits, N + 6, out);
        return;
    }
    std::uint32_t digits = 0;
    int exponent = 0;
    if (magnitude != 0 && !nearest_decimal<N>(magnitude, digits, exponent)) [[unlikely]] {
        format_field_exact(value, N + 6, out);
        return;
    }
    write_decimal_field<N>(out, (bits >> 31) != 0, digits, exponent);
}

// The field of `value` at any width from kSmallestFieldWidth: [out, out + width), and up to
// kFieldOverrun bytes past it (widths 8 to 10).
void format_field(float value, std::size_t width, char* out) noexcept;

}  // namespace quorel
