#include "text_rules/exact_rounding.hpp"

#include <bit>
#include <cstddef>

#include "text_rules/big_unsigned.hpp"
#include "text_rules/binary32_rounding.hpp"

namespace quorel {

namespace {

// What the exact route needs to know of a binary format.
//  - kKeptDigits: every value of the format and every tie between two neighbours has fewer
//    significant decimal digits (binary32: 113; binary64: 767), so the first kKeptDigits digits
//    plus one nonzero sticky digit standing for all later nonzero digits lie on the same side of
//    every tie as the full text.
//  - Values of at least 10^(kInfiniteFromLeading - 1) are infinite, values below
//    10^kZeroUpToLeading are zero (under half the smallest subnormal).
//  - The compared numbers: D < 10^(kKeptDigits + 1), and (2m + 1) 5^-q for the smallest scale
//    q; a shift only ever brings one side to the bit length of the other. Limbs holds both.
struct Binary32Format {
    using Float = float;
    using Bits = std::uint32_t;
    static constexpr int kFractionBits = 23;
    static constexpr std::int64_t kSmallestExponent = -149;  // of a subnormal's last bit
    static constexpr Bits kInfinityBits = 0x7F800000;
    static constexpr std::size_t kKeptDigits = 128;
    static constexpr std::int64_t kInfiniteFromLeading = 40;
    static constexpr std::int64_t kZeroUpToLeading = -46;
    // D < 10^129 < 2^429, and (2m + 1) 5^-q < 2^25 x 5^174 < 2^430.
    static constexpr int kLimbs = 8;
    static constexpr int kLargestBits = 430;
};

struct Binary64Format {
    using Float = double;
    using Bits = std::uint64_t;
    static constexpr int kFractionBits = 52;
    static constexpr std::int64_t kSmallestExponent = -1074;
    static constexpr Bits kInfinityBits = 0x7FF0000000000000;
    static constexpr std::size_t kKeptDigits = 800;
    static constexpr std::int64_t kInfiniteFromLeading = 310;
    static constexpr std::int64_t kZeroUpToLeading = -324;
    // D < 10^801 < 2^2661, and (2m + 1) 5^-q < 2^54 x 5^1124 < 2^2664.
    static constexpr int kLimbs = 42;
    static constexpr int kLargestBits = 2664;
};

template <class Format>
constexpr std::int64_t kSmallestScale = Format::kZeroUpToLeading + 1 - std::int64_t(Format::kKeptDigits + 1);

static_assert(64 * Binary32Format::kLimbs >= Binary32Format::kLargestBits && -kSmallestScale<Binary32Format> <= 174);
static_assert(64 * Binary64Format::kLimbs >= Binary64Format::kLargestBits &&
              -kSmallestScale<Binary64Format> <= 1124);

constexpr std::uint64_t kTenToThe19 = 10000000000000000000u;

// Walks the digits of the integer part, then the fraction part, skipping the point.
class DigitCursor {
public:
    DigitCursor(const char* int_begin, const char* int_end, const char* frac_begin, const char* frac_end)
        : p_(int_begin), int_end_(int_end), frac_begin_(frac_begin), frac_end_(frac_end) {
        settle();
    }
    bool done() const { return p_ == frac_end_; }
    unsigned digit() const { return unsigned(*p_ - '0'); }
    bool in_fraction() const { return in_fraction_; }
    const char* position() const { return p_; }
    void advance() {
        ++p_;
        settle();
    }

private:
    void settle() {
        if (!in_fraction_ && p_ == int_end_) {
            p_ = frac_begin_;
            in_fraction_ = true;
        }
    }
    const char* p_;
    const char* int_end_;
    const char* frac_begin_;
    const char* frac_end_;
    bool in_fraction_ = false;
};

// Collects decimal digits into a big integer, nineteen at a time.
template <class BigUnsigned>
class DigitAccumulator {
public:
    void push(unsigned digit) noexcept {
        chunk_ = chunk_ * 10 + digit;
        chunk_power_ *= 10;
        if (chunk_power_ == kTenToThe19) flush();
    }
    BigUnsigned take() noexcept {
        flush();
        return value_;
    }

private:
    void flush() noexcept {
        if (chunk_power_ == 1) return;
        value_.multiply_add(chunk_power_, chunk_);
        chunk_ = 0;
        chunk_power_ = 1;
    }
    BigUnsigned value_;
    std::uint64_t chunk_ = 0;
    std::uint64_t chunk_power_ = 1;
};

// The decimal D x 10^scale, compared exactly with the halfway point above the positive finite
// binary value `bits` (m x 2^e, the point (2m + 1) x 2^(e - 1)).
template <class Format>
class ExactDecimal {
public:
    using BigUnsigned = BigUnsignedOf<Format::kLimbs>;
    using Bits = typename Format::Bits;

    ExactDecimal(const BigUnsigned& digits, std::int64_t scale) : scaled_digits_(digits), scale_(scale) {
        // D x 10^q = (D x 5^q) x 2^q; for q < 0 the factor 5^-q moves to the other side.
        if (scale >= 0) {
            scaled_digits_.multiply_by_power_of_five(std::uint64_t(scale));
        } else {
            halfway_factor_.multiply_by_power_of_five(std::uint64_t(-scale));
        }
    }

    // -1, 0 or 1 as the decimal is below, at or above that halfway point.
    int compare_with_halfway_above(Bits bits) const noexcept {
        constexpr Bits kFractionMask = (Bits(1) << Format::kFractionBits) - 1;
        const Bits exponent_field = bits >> Format::kFractionBits;
        std::uint64_t significand = bits & kFractionMask;
        std::int64_t exponent = Format::kSmallestExponent;
        if (exponent_field != 0) {
            significand |= std::uint64_t(1) << Format::kFractionBits;
            exponent = std::int64_t(exponent_field) + Format::kSmallestExponent - 1;
        }
        BigUnsigned left = scaled_digits_;
        BigUnsigned right = halfway_factor_;
        right.multiply_add(2 * significand + 1, 0);
        const std::int64_t left_twos = scale_;
        const std::int64_t right_twos = exponent - 1;
        // Different bit lengths decide at once; equal ones are compared after aligning.
        const std::int64_t left_length = std::int64_t(left.bit_length()) + left_twos;
        const std::int64_t right_length = std::int64_t(right.bit_length()) + right_twos;
        if (left_length != right_length) return left_length < right_length ? -1 : 1;
        if (left_twos > right_twos) {
            left.shift_left(std::uint64_t(left_twos - right_twos));
        } else {
            right.shift_left(std::uint64_t(right_twos - left_twos));
        }
        return compare(left, right);
    }

private:
    BigUnsigned scaled_digits_;
    BigUnsigned halfway_factor_{1};  // 5^-q for q < 0, else 1
    std::int64_t scale_;
};

// The nearest binary value (bit pattern of the magnitude), starting from a guess that is at most
// a few steps off. Positive patterns are ordered like their values, and the step above the
// largest finite value leads to infinity, whose halfway point below is the overflow threshold.
template <class Format>
typename Format::Bits round_from_guess(const ExactDecimal<Format>& value, typename Format::Bits bits) noexcept {
    for (;;) {
        if (bits < Format::kInfinityBits) {
            const int above = value.compare_with_halfway_above(bits);
            if (above > 0) {
                ++bits;
                continue;
            }
            if (above == 0) return bits + (bits & 1);  // a tie goes to the even neighbour
        }
        if (bits > 0) {
            const int below = value.compare_with_halfway_above(bits - 1);
            if (below < 0) {
                --bits;
                continue;
            }
            if (below == 0) return bits - (bits & 1);
        }
        return bits;
    }
}

// A double near 10^power times `digits`: the table's powers, with as many steps of 10^112 as it
// takes; each step rounds, so the result is a few units off at most, and it only underflows or
// overflows where the value itself does. A guess only: the comparisons decide.
double scaled_guess(std::uint64_t digits, std::int64_t power) noexcept {
    using binary32_detail::kPowersOfTen;
    using binary32_detail::kPowerTableLimit;
    double guess = double(digits);
    for (; power > kPowerTableLimit; power -= kPowerTableLimit) guess *= kPowersOfTen[2 * kPowerTableLimit];
    for (; power < -kPowerTableLimit; power += kPowerTableLimit) guess *= kPowersOfTen[0];
    return guess * kPowersOfTen[kPowerTableLimit + power];
}

template <class Format>
typename Format::Float decimal_to_binary_exact(const char* int_begin, const char* int_end, const char* frac_begin,
                                               const char* frac_end, std::int64_t exponent) noexcept {
    using Float = typename Format::Float;
    using Bits = typename Format::Bits;
    DigitCursor cursor(int_begin, int_end, frac_begin, frac_end);
    while (!cursor.done() && cursor.digit() == 0) cursor.advance();
    if (cursor.done()) return Float(0);

    // The value is 0.DDD... x 10^leading, DDD... starting at the first nonzero digit.
    const std::int64_t leading = cursor.in_fraction() ? exponent - (cursor.position() - frac_begin)
                                                      : exponent + (int_end - cursor.position());
    if (leading >= Format::kInfiniteFromLeading) return std::bit_cast<Float>(Format::kInfinityBits);
    if (leading <= Format::kZeroUpToLeading) return Float(0);

    DigitAccumulator<BigUnsignedOf<Format::kLimbs>> digits;
    std::size_t length = 0;
    std::uint64_t first_digits = 0;  // the first 19, for the guess
    for (; !cursor.done() && length < Format::kKeptDigits; cursor.advance(), ++length) {
        digits.push(cursor.digit());
        if (length < 19) first_digits = first_digits * 10 + cursor.digit();
    }
    for (; !cursor.done(); cursor.advance()) {
        if (cursor.digit() != 0) {
            digits.push(1);
            ++length;
            break;
        }
    }
    const std::int64_t scale = leading - std::int64_t(length);

    // The guess: the first digits in double precision, within a few units of the answer.
    const std::int64_t first_length = std::int64_t(length < 19 ? length : 19);
    const Float guess = Float(scaled_guess(first_digits, leading - first_length));
    const ExactDecimal<Format> value(digits.take(), scale);
    return std::bit_cast<Float>(round_from_guess(value, std::bit_cast<Bits>(guess)));
}

}  // namespace

namespace binary32_detail {

float decimal_to_binary32_exact(const char* int_begin, const char* int_end, const char* frac_begin,
                                const char* frac_end, std::int64_t exponent) noexcept {
    return decimal_to_binary_exact<Binary32Format>(int_begin, int_end, frac_begin, frac_end, exponent);
}

}  // namespace binary32_detail

namespace binary64_detail {

double decimal_to_binary64_exact(const char* int_begin, const char* int_end, const char* frac_begin,
                                 const char* frac_end, std::int64_t exponent) noexcept {
    return decimal_to_binary_exact<Binary64Format>(int_begin, int_end, frac_begin, frac_end, exponent);
}

}  // namespace binary64_detail

}  // namespace quorel
