// Turning an exact decimal value m x 10^scale into binary32, correctly rounded.
//
// The fast route computes in double precision and proves its answer or gives up:
//  - 0 <= scale <= 22 with m < 2^53: m and 10^scale are exact doubles, so their product is the
//    exact value rounded once. That can move it onto a binary32 tie but never across one, so
//    only a double that is exactly a tie is ambiguous; and not even that where the product is
//    exact (m x 5^scale <= 2^53), as it is for the many whole numbers a simulator prints: the
//    double is then the value itself, and rounding it to binary32 rounds the value, half to
//    even at a tie (exact_binary32).
//  - other scales: 10^scale is itself rounded, so the double is within about two of its own
//    units of the exact value; unless it lies that close to a binary32 tie, rounding it to
//    binary32 gives the exact answer. Below the normal range the ties are the odd multiples of
//    2^-150 and are checked as such.
//  - |scale| > 64: with at most 16 digits the value is far beyond the binary32 range.
// The exact route (exact_rounding.hpp) decides everything else.
#pragma once

#include <bit>
#include <cstdint>
#include <limits>

namespace quorel::binary32_detail {

constexpr int kExactPowerLimit = 22;  // 10^22 = 2^22 x 5^22 with 5^22 < 2^53: the largest exact power
// How close, in units of a double's last place, a product with a rounded power may lie to a
// binary32 tie before the double route gives up.
constexpr std::uint64_t kRoundedPowerMargin = 8;
constexpr int kRoundedPowerLimit = 64;     // the general route's range of scales
constexpr int kPowerTableLimit = 112;      // covers every fixed-shape field: -99 - 8 .. 99

// 10^-112 .. 10^112 as correctly rounded literals, 10^0 at index kPowerTableLimit; exact from
// 10^0 to 10^22.
constexpr double kPowersOfTen[2 * kPowerTableLimit + 1] = {
    1e-112, 1e-111, 1e-110, 1e-109, 1e-108, 1e-107, 1e-106, 1e-105, 1e-104, 1e-103, 1e-102, 1e-101,
    1e-100, 1e-99, 1e-98, 1e-97, 1e-96, 1e-95, 1e-94, 1e-93, 1e-92, 1e-91, 1e-90, 1e-89, 1e-88,
    1e-87, 1e-86, 1e-85, 1e-84, 1e-83, 1e-82, 1e-81, 1e-80, 1e-79, 1e-78, 1e-77, 1e-76, 1e-75,
    1e-74, 1e-73, 1e-72, 1e-71, 1e-70, 1e-69, 1e-68, 1e-67, 1e-66, 1e-65, 1e-64, 1e-63, 1e-62,
    1e-61, 1e-60, 1e-59, 1e-58, 1e-57, 1e-56, 1e-55, 1e-54, 1e-53, 1e-52, 1e-51, 1e-50, 1e-49,
    1e-48, 1e-47, 1e-46, 1e-45, 1e-44, 1e-43, 1e-42, 1e-41, 1e-40, 1e-39, 1e-38, 1e-37, 1e-36,
    1e-35, 1e-34, 1e-33, 1e-32, 1e-31, 1e-30, 1e-29, 1e-28, 1e-27, 1e-26, 1e-25, 1e-24, 1e-23,
    1e-22, 1e-21, 1e-20, 1e-19, 1e-18, 1e-17, 1e-16, 1e-15, 1e-14, 1e-13, 1e-12, 1e-11, 1e-10, 1e-9,
    1e-8, 1e-7, 1e-6, 1e-5, 1e-4, 1e-3, 1e-2, 1e-1, 1e0, 1e1, 1e2, 1e3, 1e4, 1e5, 1e6, 1e7, 1e8,
    1e9, 1e10, 1e11, 1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22, 1e23, 1e24,
    1e25, 1e26, 1e27, 1e28, 1e29, 1e30, 1e31, 1e32, 1e33, 1e34, 1e35, 1e36, 1e37, 1e38, 1e39, 1e40,
    1e41, 1e42, 1e43, 1e44, 1e45, 1e46, 1e47, 1e48, 1e49, 1e50, 1e51, 1e52, 1e53, 1e54, 1e55, 1e56,
    1e57, 1e58, 1e59, 1e60, 1e61, 1e62, 1e63, 1e64, 1e65, 1e66, 1e67, 1e68, 1e69, 1e70, 1e71, 1e72,
    1e73, 1e74, 1e75, 1e76, 1e77, 1e78, 1e79, 1e80, 1e81, 1e82, 1e83, 1e84, 1e85, 1e86, 1e87, 1e88,
    1e89, 1e90, 1e91, 1e92, 1e93, 1e94, 1e95, 1e96, 1e97, 1e98, 1e99, 1e100, 1e101, 1e102, 1e103,
    1e104, 1e105, 1e106, 1e107, 1e108, 1e109, 1e110, 1e111, 1e112};

// For 0 <= scale <= 22, the largest m for which m x 10^scale is an exact double: m x 5^scale
// at most 2^53 (the factor 2^scale only moves the exponent).
struct ExactProductLimits {
    std::uint64_t at[kExactPowerLimit + 1] = {};
    constexpr ExactProductLimits() {
        std::uint64_t power_of_five = 1;
        for (int scale = 0; scale <= kExactPowerLimit; ++scale, power_of_five *= 5) {
            at[scale] = (std::uint64_t(1) << 53) / power_of_five;
        }
    }
};
inline constexpr ExactProductLimits kExactProductLimits;

// The binary32 magnitude nearest to mantissa x 10^scale where double precision holds that value
// exactly (trailing zeros of the mantissa moved into the scale first: 1.67772170E+07 is
// 16777217 x 10^0): the double is then the value itself, and rounding it to binary32 rounds
// the value, half to even at a tie. For doubles near a tie, which other routes decline.
[[gnu::cold]] inline bool exact_binary32(std::uint64_t mantissa, std::int64_t scale, float& value) noexcept {
    while (scale < 0 && mantissa != 0 && mantissa % 10 == 0) {
        mantissa /= 10;
        ++scale;
    }
    if (std::uint64_t(scale) > std::uint64_t(kExactPowerLimit) || mantissa > kExactProductLimits.at[scale]) {
        return false;
    }
    value = float(double(mantissa) * kPowersOfTen[kPowerTableLimit + scale]);
    return true;
}

inline float with_sign(float magnitude, bool negative) noexcept {
    return std::bit_cast<float>(std::bit_cast<std::uint32_t>(magnitude) ^ (std::uint32_t(negative) << 31));
}

// Whether a double lies within `margin` units of its last place of the binary32 tie of its
// binade (meaningful for doubles in the normal binary32 range). One unsigned comparison: below
// the window the difference wraps around to a huge number.
inline bool near_tie(double d, std::uint64_t margin) noexcept {
    const std::uint64_t low_bits = std::bit_cast<std::uint64_t>(d) & 0x1FFFFFFFu;
    return low_bits - (0x10000000u - margin) <= 2 * margin;
}

// A double d in (0, 2^-126), within a few units of its last place of the exact value, rounded
// to a subnormal, unless d is so close to a tie that its own error could matter. Subnormal
// results are multiples of 2^-149, and their bit patterns count them: round d / 2^-149 (exact,
// below 2^23) to an integer; a count of 2^23 is the smallest normal value's pattern.
inline bool round_subnormal(double d, float& value) noexcept {
    const double units = d * 0x1p149;
    const std::uint32_t whole = std::uint32_t(units);  // truncation: units is positive
    const double fraction = units - double(whole);
    if (fraction > 0.5 - 0x1p-20 && fraction < 0.5 + 0x1p-20) return false;
    value = std::bit_cast<float>(whole + std::uint32_t(fraction > 0.5));
    return true;
}

// The binary32 magnitude nearest to mantissa x 10^scale, given d = double(mantissa) times the
// table's 10^scale, with mantissa below 2^53. An exact power (0 <= scale <= 22) makes d the
// exact value rounded once, which can move it onto a binary32 tie but never across one, so only
// a double exactly at a tie is in doubt; a rounded power leaves anything within a few units.
// A double in the normal binary32 range, rounded to binary32 unless it lies within `margin`
// units of a tie.
[[gnu::always_inline]] inline bool round_normal(double d, std::uint64_t margin, float& value) noexcept {
    if (near_tie(d, margin)) return false;
    value = float(d);
    return true;
}

[[gnu::always_inline]] inline bool round_product(double d, std::int64_t scale, float& value) noexcept {
    if ((d < 0x1p-126) & (d != 0.0)) return round_subnormal(d, value);  // rare; zeros are common
    // Chosen without a branch: the scale's sign is as unpredictable as the data.
    const std::uint64_t margin = std::uint64_t(scale) <= std::uint64_t(kExactPowerLimit) ? 0 : kRoundedPowerMargin;
    return round_normal(d, margin, value);
}

// The binary32 magnitude nearest to mantissa x 10^scale, if the double route can prove it.
[[gnu::always_inline]] inline bool fast_binary32(std::uint64_t mantissa, std::int64_t scale, float& value) noexcept {
    if (mantissa > (std::uint64_t(1) << 53)) return false;
    if (scale < -kRoundedPowerLimit || scale > kRoundedPowerLimit) {
        // Below 2^53 x 10^-65 (under half the smallest subnormal) or at least 10^65.
        value = mantissa == 0 || scale < 0 ? 0.0f : std::numeric_limits<float>::infinity();
        return true;
    }
    // One multiplication, also for negative scales: a division would be exact for 10^-1 ..
    // 10^-22 but costs several times as much, and the margin test covers the rounded power.
    const double d = double(mantissa) * kPowersOfTen[kPowerTableLimit + scale];
    return round_product(d, scale, value) || exact_binary32(mantissa, scale, value);
}

// The same for a mantissa below 10^9 and a scale within the table, as fixed-shape fields have:
// no range to check. From 10^-37 on, a nonzero value is normal, so only smaller scales need the
// subnormal check; and one margin serves exact and rounded powers alike (an exact power could
// do with none, but near a tie the few values it declines cost nothing).
constexpr std::int64_t kNormalFromScale = -37;
[[gnu::always_inline]] inline bool fast_binary32_in_table(std::uint64_t mantissa, std::int64_t scale,
                                                           float& value) noexcept {
    const double d = double(std::int64_t(mantissa)) * kPowersOfTen[kPowerTableLimit + scale];
    if (scale < kNormalFromScale) return round_product(d, scale, value);
    if (near_tie(d, kRoundedPowerMargin)) return exact_binary32(mantissa, scale, value);
    value = float(d);
    return true;
}

}  // namespace quorel::binary32_detail
