#include "text_rules/format_binary64.hpp"

#include <bit>
#include <cstdint>
#include <cstring>

#include "text_rules/exact_decimal.hpp"
#include "text_rules/format_binary32.hpp"

namespace quorel {

namespace {

// Every decimal digit of a binary64 value: m x 2^e < 2^1024 for e >= 0 (at most 309 digits),
// m x 5^-e / 10^-e for e < 0, where m x 5^-e < 2^53 x 5^1074 < 2^2547 has at most 767.
constexpr std::size_t kMostDigits = 780;
constexpr int kLimbs = 40;
using ExactDecimal = decimal_detail::ExactDecimal<kMostDigits>;

constexpr unsigned __int128 kPowersOfFive[] = {
    1u, 5u, 25u, 125u, 625u, 3125u, 15625u, 78125u, 390625u, 1953125u, 9765625u, 48828125u, 244140625u,
    1220703125u, 6103515625u, 30517578125u, 152587890625u, 762939453125u, 3814697265625u, 19073486328125u,
    95367431640625u, 476837158203125u, 2384185791015625u, 11920928955078125u, 59604644775390625u,
    298023223876953125u, 1490116119384765625u, 7450580596923828125u};
constexpr int kLargestPowerOfFive = 27;

constexpr std::uint64_t kPowersOfTen[] = {1u,
                                          10u,
                                          100u,
                                          1000u,
                                          10000u,
                                          100000u,
                                          1000000u,
                                          10000000u,
                                          100000000u,
                                          1000000000u,
                                          10000000000u,
                                          100000000000u,
                                          1000000000000u,
                                          10000000000000u,
                                          100000000000000u,
                                          1000000000000000u,
                                          10000000000000000u,
                                          100000000000000000u,
                                          1000000000000000000u};
// The short route serves up to this many digits: 10^18 and the rounding stay within 64 bits.
constexpr int kShortRouteDigits = 17;

// The nearest decimal of `n` digits (1 to kShortRouteDigits) to m x 2^e (m > 0): `digits` in
// [10^(n-1), 10^n), the value digits x 10^(x - n + 1). The scaled value w = m x 2^e x 10^k,
// k = n - 1 - x, is the quotient num / den of 128-bit integers; false where they do not fit.
bool nearest_decimal_short(std::uint64_t m, int e, int n, std::uint64_t& digits, int& x) noexcept {
    const int bits = e + std::bit_width(m) - 1;  // 2^bits <= value < 2^(bits + 1)
    // floor(bits x log10(2)): the value's decimal exponent or one less (78913 / 2^18 ~ log10 2).
    x = int((std::int64_t(bits) * 78913) >> 18);
    for (int attempt = 0; attempt < 3; ++attempt) {
        const int k = n - 1 - x;
        if (k > kLargestPowerOfFive || -k > kLargestPowerOfFive) return false;
        unsigned __int128 num = m;
        unsigned __int128 den = 1;
        if (k >= 0) {
            num *= kPowersOfFive[k];  // below 2^53 x 5^27 < 2^116
        } else {
            den = kPowersOfFive[-k];
        }
        const int shift = e + k;  // the factor 2^(e + k)
        if (shift >= 0) {
            if (shift >= 127 || (num >> (127 - shift)) != 0) return false;
            num <<= shift;
        } else {
            if (-shift >= 127 || (den >> (127 + shift)) != 0) return false;
            den <<= -shift;
        }
        unsigned __int128 whole = num / den;
        const unsigned __int128 rest = num % den;
        if (whole >= kPowersOfTen[n]) {
            ++x;
            continue;
        }
        if (whole < kPowersOfTen[n - 1]) {
            --x;
            continue;
        }
        // Half to even: up from above one half, and at one half where the digits are odd.
        if (2 * rest > den || (2 * rest == den && (whole & 1) != 0)) ++whole;
        if (whole == kPowersOfTen[n]) {  // 99...95 and up carry into the next power of ten
            whole = kPowersOfTen[n - 1];
            ++x;
        }
        digits = std::uint64_t(whole);
        return true;
    }
    return false;
}

// The same by the exact route, for any `n`: the digits as text, `n` of them.
void nearest_decimal_exact(std::uint64_t m, int e, std::size_t n, char* digits, int& x) noexcept {
    ExactDecimal decimal = decimal_detail::exact_decimal<kMostDigits, kLimbs>(m, e);
    decimal_detail::round_to(decimal, n);
    std::memcpy(digits, decimal.digits, decimal.length);
    std::memset(digits + decimal.length, '0', n - decimal.length);  // past the value's own digits
    x = decimal.exponent;
}

// The n digits of the nearest decimal to m x 2^e (zero: m = 0) as text, and its exponent.
void nearest_decimal(std::uint64_t m, int e, std::size_t n, char* digits, int& x) noexcept {
    if (m == 0) {
        std::memset(digits, '0', n);
        x = 0;
        return;
    }
    std::uint64_t value;
    if (n <= std::size_t(kShortRouteDigits) && nearest_decimal_short(m, e, int(n), value, x)) {
        for (std::size_t i = n; i-- > 0; value /= 10) digits[i] = char('0' + value % 10);
        return;
    }
    nearest_decimal_exact(m, e, n, digits, x);
}

}  // namespace

void format_binary64_field(double value, std::size_t width, char* out) noexcept {
    const std::uint64_t bits = std::bit_cast<std::uint64_t>(value);
    const bool negative = (bits >> 63) != 0;
    const std::uint64_t field = (bits >> 52) & 0x7FF;
    const std::uint64_t fraction = bits & 0xFFFFFFFFFFFFF;
    if (field == 0x7FF) {  // the binary32 writer's texts: NaN's payload is not kept
        format_special_field((std::uint32_t(negative) << 31) | (fraction != 0 ? 0x7FC00000u : 0x7F800000u), width, out);
        return;
    }
    const std::uint64_t m = field == 0 ? fraction : fraction | (std::uint64_t(1) << 52);
    const int e = field == 0 ? -1074 : int(field) - 1075;
    std::size_t significant = width - 6;
    char digits[kMostDigits];
    int x;
    if (significant > kMostDigits) {
        // Past the value's own digits (at most 767), every digit is 0: no rounding happens.
        nearest_decimal(m, e, kMostDigits, digits, x);
    } else {
        nearest_decimal(m, e, significant, digits, x);
    }
    unsigned exponent_digits = 2;
    if (x >= 100 || x <= -100) {
        exponent_digits = 3;
        --significant;
        nearest_decimal(m, e, significant > kMostDigits ? kMostDigits : significant, digits, x);
        if (x > -100 && x < 100) {
            // Rounded up to 1E-99, which a two-digit exponent holds: the digit given back is a 0,
            // so that the text written again from the value it reads as is this text.
            exponent_digits = 2;
            if (significant < kMostDigits) digits[significant] = '0';
            ++significant;
        }
    }
    const std::size_t known = significant > kMostDigits ? kMostDigits : significant;
    out[0] = negative ? '-' : ' ';
    out[1] = digits[0];
    out[2] = '.';
    std::memcpy(out + 3, digits + 1, known - 1);
    std::memset(out + 3 + (known - 1), '0', significant - known);
    char* tail = out + significant + 2;
    const unsigned magnitude = unsigned(x < 0 ? -x : x);
    tail[0] = 'E';
    tail[1] = x < 0 ? '-' : '+';
    if (exponent_digits == 3) {
        tail[2] = char('0' + magnitude / 100);
        tail[3] = char('0' + magnitude / 10 % 10);
        tail[4] = char('0' + magnitude % 10);
    } else {
        tail[2] = char('0' + magnitude / 10);
        tail[3] = char('0' + magnitude % 10);
    }
}

}  // namespace quorel
