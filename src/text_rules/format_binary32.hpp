// A binary32 value as a plot file's field: right-aligned in `width` bytes, in E notation with
// two exponent digits and width - 6 significant digits (" 4.21918E+01", "-4.13165E+00" at width
// 12, " 4.21917686E+01" at 15), so that a negative value fills its field and any other starts
// with a blank. The digits are those of the decimal of that many digits nearest to the value's
// exact binary value, a tie going to the even last digit; -0.0 is "-0.00000E+00". Two exponent
// digits always suffice: a binary32 value lies between 1.4E-45 and 3.4E+38, and rounding never
// carries it to 1E+39. NaN, +inf and -inf are "nan" (or "-nan", with the sign bit set), "inf"
// and "-inf", right-aligned, which read back as a NaN of that sign (the payload is not kept)
// and as those infinities.
//
// The arithmetic is integer arithmetic only, so that the digits are the same whatever compiler,
// runtime or processor: no library conversion, no floating point.
//
// Two routes. For 2 to 9 digits (widths 8 to 15), the table route: a value m x 2^(b-23) of the
// binade [2^b, 2^(b+1)) (m of 24 bits) is scaled to w = m x 2^(b-23) x 10^k, with k chosen so
// that w has the wanted number of digits before the point, by one multiplication with a 64-bit
// U = floor(2^(57+b-23) x 10^k) from a table per binade (BinadeScales, made at compile time from
// binary32_decimal_tables.inc, which tools/gen_decimal_tables.py computes exactly): m x U has
// w's digits above its 57 low bits, and lies below 2^57 w by less than m < 2^24. Where U is
// exact, the product is w itself and decides everything, ties included; otherwise it decides
// unless its fraction lies within 2^24 below one half, where w could be a tie or either side of
// one: those values (about one in 2^32, and the ties of integers at 2 to 9 digits that the table
// cannot hold exactly, such as 125 at 2) take the exact route. That route finds every decimal
// digit of the value with a big integer (at most 112 of them) and rounds them; it serves every
// width above 15 too.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace quorel {

// The narrowest field: "-1.2E+38" has two significant digits.
inline constexpr std::size_t kSmallestFieldWidth = 8;
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

// For N digits, the binade [2^b, 2^(b+1)) of binary32: its values are m x 2^(b-23) with m in
// [2^23, 2^24) (a subnormal's significand shifted up to that range), and w = m x 2^(b-23) x 10^k
// has N digits before the point for k = N - 1 - x, x the value's decimal exponent: the binade's
// exponent or one more. scale[] holds U = floor(2^(57+b-23) x 10^k) for both, so that
// w = m x (U + theta) / 2^57 with theta in [0, 1): m x U has w's digits above its 57 low bits,
// and lies below 2^57 w by less than m, less than 2^24 (by 0 where U is exact).
inline constexpr int kScaleShift = 57;
inline constexpr std::uint64_t kScaleError = std::uint64_t(1) << 24;
inline constexpr int kBinadeCount = int(sizeof kBinades / sizeof kBinades[0]);

struct BinadeScale {
    std::uint64_t scale[2];          // U for the binade's decimal exponent, and for one more
    std::uint32_t next_power_bits;   // the smallest binary32 of the one more
    std::int32_t exponent;           // the binade's decimal exponent
    bool exact[2];                   // U without theta
};

template <int N>
struct BinadeScales {
    BinadeScale at[kBinadeCount] = {};
    constexpr BinadeScales() {
        for (int i = 0; i < kBinadeCount; ++i) {
            const int b = i + kSmallestBinade;
            at[i].next_power_bits = kBinades[i].next_power_bits;
            at[i].exponent = kBinades[i].exponent;
            for (int next = 0; next < 2; ++next) {
                const ScaledPower& power = kScaledPowersOfTen[N - 1 - (kBinades[i].exponent + next) - kSmallestScalePower];
                // 2^(57+b-23) x 10^k = (T + theta) x 2^-drop; U = floor(T / 2^drop) (theta < 1
                // cannot reach the next multiple of 2^drop). With U below 2^64, drop is never
                // negative: w < 10^N with m >= 2^23 keeps U below 2^57 x 10^9 / 2^23 < 2^64.
                const int drop = -(kScaleShift + b - 23 + power.exponent);
                if (drop < 0) throw "a scale does not fit in 64 bits";
                at[i].scale[next] = drop >= 64 ? 0 : power.significand >> drop;
                at[i].exact[next] = power.exact && (drop == 0 || (drop < 64 && (power.significand & ((std::uint64_t(1) << drop) - 1)) == 0));
            }
        }
    }
};

template <int N>
inline constexpr BinadeScales<N> kBinadeScales{};

// The nearest decimal of `N` digits to the positive finite binary32 with bits `magnitude`:
// digits in [10^(N-1), 10^N) times 10^(exponent - N + 1), or 0 and 0 for zero. False where only
// the exact route can tell.
template <int N>
[[gnu::always_inline]] inline bool nearest_decimal(std::uint32_t magnitude, std::uint32_t& digits,
                                                   int& exponent) noexcept {
    static_assert(N >= 2 && N <= 9);
    // Zeros, subnormals and normal values by the same steps, mixed as freely as data has them:
    // a subnormal's significand is shifted up to 24 bits; zero passes as the smallest binade
    // with a significand of 0, which gives the digits 0.
    const std::uint32_t field = magnitude >> 23;
    const std::uint32_t significand = (magnitude & 0x7FFFFF) | (std::uint32_t(field != 0) << 23);
    const int length = std::bit_width(significand | 1);
    const std::uint64_t m = std::uint64_t(significand) << (24 - length);
    const int index = field != 0 ? int(field) - 127 - kSmallestBinade : length - 1;  // the binade's
    const BinadeScale& binade = kBinadeScales<N>.at[index];
    // Both scales are loaded before the comparison that picks one, which then only selects.
    const std::uint64_t scales[2] = {binade.scale[0], binade.scale[1]};
    const bool next = magnitude >= binade.next_power_bits;
    const bool exact = next ? binade.exact[1] : binade.exact[0];
    const std::uint64_t scale = next ? scales[1] : scales[0];
    const unsigned __int128 product = static_cast<unsigned __int128>(m) * scale;
    std::uint32_t whole = std::uint32_t(product >> kScaleShift);
    const std::uint64_t fraction = std::uint64_t(product) & ((std::uint64_t(1) << kScaleShift) - 1);
    // 2^57 w lies in [P, P + 2^24), at P where U is exact. Where it is not, a fraction within
    // 2^24 below one half is left to the exact route (about one value in 2^32); one within 2^24
    // below the next integer rounds to it whichever side of it w lies.
    const std::uint64_t half = std::uint64_t(1) << (kScaleShift - 1);
    if ((!exact) & (fraction - (half - kScaleError) < kScaleError)) [[unlikely]] return false;
    // Rounded without a branch, which way a value goes being as unpredictable as the data: up
    // from one half, where w is above P; from above one half where P is w, and at one half
    // (a tie) to the even neighbour.
    const std::uint64_t odd_or_above = (std::uint64_t(whole) | std::uint64_t(!exact)) & 1;
    whole += std::uint32_t((fraction + (half - 1) + odd_or_above) >> kScaleShift);
    int x = magnitude != 0 ? binade.exponent + int(next) : 0;
    if (whole == kPowersOfTen32[N]) [[unlikely]] {  // 9.99...5 and up carry into the next power of ten
        whole = kPowersOfTen32[N - 1];
        ++x;
    }
    digits = whole;
    exponent = x;
    return true;
}

// "00" to "99", each as the two bytes of a little-endian word.
struct DigitPairs {
    std::uint16_t at[100] = {};
    constexpr DigitPairs() {
        for (unsigned i = 0; i < 100; ++i) at[i] = std::uint16_t(('0' + i / 10) | (('0' + i % 10) << 8));
    }
};
inline constexpr DigitPairs kDigitPairs;

// Writes the field of digits x 10^(exponent - N + 1) (digits below 10^N; 0 for a zero) with its
// sign: [out, out + N + 6), and up to kFieldOverrun bytes past it for N below 5.
template <int N>
[[gnu::always_inline]] inline void write_decimal_field(char* out, bool negative, std::uint32_t digits,
                                                       int exponent) noexcept {
    const std::uint64_t sign = negative ? '-' : ' ';
    const std::uint32_t exponent_text = kExponentTexts.at[exponent - kSmallestDecimalExponent];
    if constexpr (N == 6) {
        // The simulator's width 12: the digits two at a time from a table, the field in two
        // stores, "-d.ddddd" and "E+xx".
        const std::uint32_t high = digits / 10000;  // the lead digit and the first after the point
        const std::uint32_t low = digits - high * 10000;
        const std::uint64_t pair_1 = kDigitPairs.at[high];
        const std::uint64_t head = sign | ((pair_1 & 0xFF) << 8) | (std::uint64_t('.') << 16) |
                                   ((pair_1 >> 8) << 24) | (std::uint64_t(kDigitPairs.at[low / 100]) << 32) |
                                   (std::uint64_t(kDigitPairs.at[low % 100]) << 48);
        std::memcpy(out, &head, 8);
        std::memcpy(out + 8, &exponent_text, 4);
    } else if constexpr (N == 9) {
        // The simulator's width 15: the digits after the point two at a time from a table.
        const std::uint32_t lead = digits / 100000000;
        const std::uint32_t rest = digits - lead * 100000000;
        const std::uint32_t high = rest / 10000;
        const std::uint32_t low = rest - high * 10000;
        const std::uint64_t fraction_text =
            std::uint64_t(kDigitPairs.at[high / 100]) | (std::uint64_t(kDigitPairs.at[high % 100]) << 16) |
            (std::uint64_t(kDigitPairs.at[low / 100]) << 32) | (std::uint64_t(kDigitPairs.at[low % 100]) << 48);
        std::memcpy(out + 3, &fraction_text, 8);
        std::memcpy(out + 11, &exponent_text, 4);
        out[0] = char(sign);
        out[1] = char('0' + lead);
        out[2] = '.';
    } else {
        // Other widths: all the digits at once, 8 - N leading zeros first; those after the point
        // with '0's above them, past the fraction, which the exponent and what follows the
        // field overwrite.
        const std::uint64_t all = eight_digits(digits);
        const std::uint32_t lead = std::uint32_t(all >> (8 * (8 - N))) & 0xFF;
        const std::uint64_t fraction_text = (all >> (8 * (9 - N))) + 0x3030303030303030ull;
        std::memcpy(out + 3, &fraction_text, 8);
        std::memcpy(out + N + 2, &exponent_text, 4);
        out[0] = char(sign);
        out[1] = char('0' + lead);
        out[2] = '.';
    }
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
    // Zeros, common in signals (a column that stays 0, a decay that underflows), need no digits.
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
