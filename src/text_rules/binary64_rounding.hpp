// Turning an exact decimal value m x 10^scale into binary64, correctly rounded, on the short
// route: where m < 2^53 and |scale| <= 22, both m and 10^|scale| are exact doubles, so one
// multiplication (or division, for a negative scale) by them rounds the exact value once, half
// to even, as IEEE 754 arithmetic does on every processor. Anything else is left to the exact
// route (exact_rounding.hpp).
#pragma once

#include <bit>
#include <cstdint>

#include "text_rules/binary32_rounding.hpp"

namespace quorel::binary64_detail {

inline double with_sign(double magnitude, bool negative) noexcept {
    return std::bit_cast<double>(std::bit_cast<std::uint64_t>(magnitude) ^ (std::uint64_t(negative) << 63));
}

// The binary64 magnitude nearest to mantissa x 10^scale, if the short route can give it.
[[gnu::always_inline]] inline bool fast_binary64(std::uint64_t mantissa, std::int64_t scale, double& value) noexcept {
    using binary32_detail::kExactPowerLimit;
    using binary32_detail::kPowersOfTen;
    using binary32_detail::kPowerTableLimit;
    if (mantissa > (std::uint64_t(1) << 53) || scale < -kExactPowerLimit || scale > kExactPowerLimit) return false;
    // A division where the scale is negative: 10^-scale is exact, its reciprocal is not.
    const double m = double(std::int64_t(mantissa));
    value = scale >= 0 ? m * kPowersOfTen[kPowerTableLimit + scale] : m / kPowersOfTen[kPowerTableLimit - scale];
    return true;
}

}  // namespace quorel::binary64_detail
