// The exact route of the binary32 conversion: any number of decimal digits, correctly rounded
// half to even, decided by comparing the decimal with binary32 halfway points in integer
// arithmetic. It depends on no library conversion, so its answers are the same whatever
// compiler built the module and whatever C and C++ runtimes it runs with.
#pragma once

#include <cstdint>

namespace quorel::binary32_detail {

// The binary32 magnitude nearest to the digits [int_begin, int_end) followed by the fraction
// digits [frac_begin, frac_end), times 10^exponent (the exponent as written, before the point
// is accounted for).
float decimal_to_binary32_exact(const char* int_begin, const char* int_end, const char* frac_begin,
                                const char* frac_end, std::int64_t exponent) noexcept;

}  // namespace quorel::binary32_detail
