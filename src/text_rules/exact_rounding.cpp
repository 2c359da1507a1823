#include "text_rules/exact_rounding.hpp"

#include <bit>
#include <cstddef>

#include "text_rules/big_unsigned.hpp"
#include "text_rules/binary32_rounding.hpp"

namespace quorel::binary32_detail {

namespace {

// Every binary32 value and every tie between two neighbours has at most 113 significant decimal
// digits, so the first 128 digits plus one nonzero sticky digit standing for all later nonzero
// digits lie on the same side of every tie as the full text.
constexpr std::size_t kKeptDigits = 128;

// Values of at least 10^39 are infinite, values below 10^-46 are zero: in between, the kept
// digits D times 10^q have q from -46 - 129 to 39 - 1.
constexpr std::int64_t kInfiniteFromLeading = 40;
constexpr std::int64_t kZeroUpToLeading = -46;
constexpr std::int64_t kSmallestScale = kZeroUpToLeading + 1 - std::int64_t(kKeptDigits + 1);

// The compared numbers: D < 10^129 < 2^429, and (2m + 1) 5^-q < 2^25 * 5^174 < 2^430; a shift
// only ever brings one side to the bit length of the other.
static_assert(BigUnsigned::kBits >= 430 && -kSmallestScale <= 174);

constexpr std::uint32_t kInfinityBits = 0x7F800000;
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
// binary32 `bits` (m x 2^e, the point (2m + 1) x 2^(e - 1)).
class ExactDecimal {
public:
    ExactDecimal(const BigUnsigned& digits, std::int64_t scale) : scaled_digits_(digits), scale_(scale) {
        // D x 10^q = (D x 5^q) x 2^q; for q < 0 the factor 5^-q moves to the other side.
        if (scale >= 0) {
            scaled_digits_.multiply_by_power_of_five(std::uint64_t(scale));
        } else {
            halfway_factor_.multiply_by_power_of_five(std::uint64_t(-scale));
        }
    }

    // -1, 0 or 1 as the decimal is below, at or above that halfway point.
    int compare_with_halfway_above(std::uint32_t bits) const noexcept {
        const std::uint32_t exponent_field = bits >> 23;
        std::uint64_t significand = bits & 0x7FFFFF;
        std::int64_t exponent = -149;
        if (exponent_field != 0) {
            significand |= 0x800000;
            exponent = std::int64_t(exponent_field) - 150;
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

// The nearest binary32 (bit pattern of the magnitude), starting from a guess that is at most a
// few steps off. Positive binary32 patterns are ordered like their values, and the step above
// the largest finite value leads to infinity, whose halfway point below is 2^128 - 2^103.
std::uint32_t round_from_guess(const ExactDecimal& value, std::uint32_t bits) noexcept {
    for (;;) {
        if (bits < kInfinityBits) {
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

}  // namespace

float decimal_to_binary32_exact(const char* int_begin, const char* int_end, const char* frac_begin,
                                const char* frac_end, std::int64_t exponent) noexcept {
    DigitCursor cursor(int_begin, int_end, frac_begin, frac_end);
    while (!cursor.done() && cursor.digit() == 0) cursor.advance();
    if (cursor.done()) return 0.0f;

    // The value is 0.DDD... x 10^leading, DDD... starting at the first nonzero digit.
    const std::int64_t leading = cursor.in_fraction() ? exponent - (cursor.position() - frac_begin)
                                                      : exponent + (int_end - cursor.position());
    if (leading >= kInfiniteFromLeading) return std::bit_cast<float>(kInfinityBits);
    if (leading <= kZeroUpToLeading) return 0.0f;

    DigitAccumulator digits;
    std::size_t length = 0;
    std::uint64_t first_digits = 0;  // the first 19, for the guess
    for (; !cursor.done() && length < kKeptDigits; cursor.advance(), ++length) {
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
    const double guess = double(first_digits) * kPowersOfTen[kPowerTableLimit + leading - first_length];
    const ExactDecimal value(digits.take(), scale);
    return std::bit_cast<float>(round_from_guess(value, std::bit_cast<std::uint32_t>(float(guess))));
}

}  // namespace quorel::binary32_detail
