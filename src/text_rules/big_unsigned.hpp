// A fixed-capacity unsigned integer for the exact routes of the binary32 and binary64
// conversions. It offers only what they need: building a number from decimal digits,
// multiplying by a power of five, shifting left and comparing (deciding a rounding), and
// dividing by a word (the decimal digits of a binary value). No allocation, no library calls
// beyond the compiler's own division of a 128-bit integer.
#pragma once

#include <bit>
#include <cstdint>

namespace quorel {

// `Limbs` words of 64 bits. Each user sizes it for its numbers (exact_rounding.cpp,
// format_binary32.cpp); callers keep within the capacity, which is not checked at run time.
template <int Limbs>
class BigUnsignedOf {
public:
    static constexpr int kLimbs = Limbs;
    static constexpr int kBits = 64 * kLimbs;

    BigUnsignedOf() = default;
    explicit BigUnsignedOf(std::uint64_t value) noexcept : size_(value != 0) { limbs_[0] = value; }

    // *this = *this * factor + addend
    void multiply_add(std::uint64_t factor, std::uint64_t addend) noexcept {
        unsigned __int128 carry = addend;
        for (int i = 0; i < size_; ++i) {
            carry += static_cast<unsigned __int128>(limbs_[i]) * factor;
            limbs_[i] = std::uint64_t(carry);
            carry >>= 64;
        }
        if (carry != 0) limbs_[size_++] = std::uint64_t(carry);
    }

    void multiply_by_power_of_five(std::uint64_t exponent) noexcept {
        constexpr std::uint64_t kFiveToThe27 = 7450580596923828125u;  // the largest below 2^64
        for (; exponent >= 27; exponent -= 27) multiply_add(kFiveToThe27, 0);
        std::uint64_t rest = 1;
        for (; exponent > 0; --exponent) rest *= 5;
        multiply_add(rest, 0);
    }

    void shift_left(std::uint64_t bits) noexcept {
        if (size_ == 0) return;
        const int limb_shift = int(bits / 64);
        const unsigned bit_shift = unsigned(bits % 64);
        const std::uint64_t top = bit_shift == 0 ? 0 : limbs_[size_ - 1] >> (64 - bit_shift);
        for (int i = size_ - 1; i >= 0; --i) {
            const std::uint64_t lower = (bit_shift == 0 || i == 0) ? 0 : limbs_[i - 1] >> (64 - bit_shift);
            limbs_[i + limb_shift] = (limbs_[i] << bit_shift) | lower;
        }
        for (int i = 0; i < limb_shift; ++i) limbs_[i] = 0;
        size_ += limb_shift;
        if (top != 0) limbs_[size_++] = top;
    }

    // *this = *this / divisor (divisor > 0); returns the remainder.
    std::uint64_t divide(std::uint64_t divisor) noexcept {
        unsigned __int128 remainder = 0;
        for (int i = size_ - 1; i >= 0; --i) {
            const unsigned __int128 part = (remainder << 64) | limbs_[i];
            limbs_[i] = std::uint64_t(part / divisor);
            remainder = part % divisor;
        }
        while (size_ > 0 && limbs_[size_ - 1] == 0) --size_;
        return std::uint64_t(remainder);
    }

    bool is_zero() const noexcept { return size_ == 0; }

    std::uint64_t bit_length() const noexcept {
        return size_ == 0 ? 0 : 64 * std::uint64_t(size_ - 1) + std::uint64_t(std::bit_width(limbs_[size_ - 1]));
    }

    // -1, 0 or 1 as a is below, equal to or above b.
    friend int compare(const BigUnsignedOf& a, const BigUnsignedOf& b) noexcept {
        if (a.size_ != b.size_) return a.size_ < b.size_ ? -1 : 1;
        for (int i = a.size_ - 1; i >= 0; --i) {
            if (a.limbs_[i] != b.limbs_[i]) return a.limbs_[i] < b.limbs_[i] ? -1 : 1;
        }
        return 0;
    }

private:
    std::uint64_t limbs_[kLimbs] = {};  // least significant first
    int size_ = 0;                      // limbs in use; the top one is nonzero
};

namespace binary32_detail {
// 512 bits: the binary32 routes' numbers stay below 2^430.
using BigUnsigned = BigUnsignedOf<8>;
}  // namespace binary32_detail

}  // namespace quorel
