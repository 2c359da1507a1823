// A binary64 value (the time, where it is kept as float64) as a plot file's field, in the shape
// of format_binary32.hpp: right-aligned in `width` bytes (at least kSmallestFieldWidth), E
// notation, width - 6 significant digits, the decimal of that many digits nearest to the
// value's exact binary value, a tie going to the even last digit; -0.0 is "-0.00000E+00", NaN
// and the infinities as there. A value whose decimal exponent needs three digits (1E+100 and
// above, below 1E-99) is written with them and one significant digit fewer ("1.2345E+100" at
// width 12). At width 15 a value read from a width-15 field writes that field's very text back:
// nine significant digits come back from the nearest binary64.
//
// Integer arithmetic only: the digits are the same whatever compiler, runtime or processor. The
// short route divides two 128-bit integers (the value scaled by a power of ten); values whose
// numbers do not fit take the exact route of exact_decimal.hpp.
#pragma once

#include <cstddef>

namespace quorel {

// Writes [out, out + width) and nothing else.
void format_binary64_field(double value, std::size_t width, char* out) noexcept;

}  // namespace quorel
