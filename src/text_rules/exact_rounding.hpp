// The exact routes of the decimal to binary32 and binary64 conversions: any number of decimal
// digits, correctly rounded half to even, decided by comparing the decimal with halfway points
// between neighbouring binary values in integer arithmetic. They depend on no library
// conversion, so their answers are the same whatever compiler built the module and whatever C
// and C++ runtimes it runs with.
#pragma once

#include <cstdint>

namespace quorel {

namespace binary32_detail {

// The binary32 magnitude nearest to the digits [int_begin, int_end) followed by the fraction
// digits [frac_begin, frac_end), times 10^exponent (the exponent as written, before the point
// is accounted for).
float decimal_to_binary32_exact(const char* int_begin, const char* int_end, const char* frac_begin,
                                const char* frac_end, std::int64_t exponent) noexcept;

}  // namespace binary32_detail

namespace binary64_detail {

// The same for binary64.
double decimal_to_binary64_exact(const char* int_begin, const char* int_end, const char* frac_begin,
                                 const char* frac_end, std::int64_t exponent) noexcept;

}  // namespace binary64_detail

}  // namespace quorel
