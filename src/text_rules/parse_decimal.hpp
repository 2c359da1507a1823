// Decimal text to binary32 (every field) or binary64 (the time, where asked for), correctly
// rounded (half to even) for any number of digits.
//
// Grammar, matched from the first to the last character (no whitespace is skipped):
//   [+-] ( digits [ "." digits? ] | "." digits ) [ ("e"|"E") [+-] digits ]
//   [+-] ( "inf" | "infinity" | "nan" )            (letters in any case)
// A "-" sign flips the sign bit of the result, so "-nan" has it set.
//
// The reader's fields are followed by at least eight readable bytes (`kPaddedText`), which lets
// digit runs be read eight at a time; other callers use the plain byte-wise form.
//
// Texts of up to 19 digits take the fast double routes of binary32_rounding.hpp and
// binary64_rounding.hpp; the exact routes of exact_rounding.hpp (integer comparisons with
// halfway points) decide the rest.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "text_rules/binary32_rounding.hpp"
#include "text_rules/binary64_rounding.hpp"
#include "text_rules/decimal_digits.hpp"
#include "text_rules/exact_rounding.hpp"

namespace quorel {

enum class FloatErrorKind : std::uint8_t { Empty, Invalid };

namespace decimal_detail {

enum class SpecialWord : std::uint8_t { none, infinity, nan };

// "inf", "infinity" and "nan" in any letter case; none for anything else.
SpecialWord special_word(std::string_view word) noexcept;

// The special word's value: infinity, or the quiet NaN (7FC00000, 7FF8000000000000).
template <class Float>
Float special_value(SpecialWord word) noexcept {
    if constexpr (sizeof(Float) == 4) {
        return std::bit_cast<float>(word == SpecialWord::nan ? std::uint32_t(0x7FC00000) : std::uint32_t(0x7F800000));
    } else {
        return std::bit_cast<double>(word == SpecialWord::nan ? std::uint64_t(0x7FF8000000000000)
                                                              : std::uint64_t(0x7FF0000000000000));
    }
}

inline float with_sign(float magnitude, bool negative) noexcept { return binary32_detail::with_sign(magnitude, negative); }
inline double with_sign(double magnitude, bool negative) noexcept { return binary64_detail::with_sign(magnitude, negative); }

inline bool fast_route(std::uint64_t mantissa, std::int64_t scale, float& value) noexcept {
    return binary32_detail::fast_binary32(mantissa, scale, value);
}
inline bool fast_route(std::uint64_t mantissa, std::int64_t scale, double& value) noexcept {
    return binary64_detail::fast_binary64(mantissa, scale, value);
}

template <class Float>
Float exact_route(const char* int_begin, const char* int_end, const char* frac_begin, const char* frac_end,
                  std::int64_t exponent) noexcept {
    if constexpr (sizeof(Float) == 4) {
        return binary32_detail::decimal_to_binary32_exact(int_begin, int_end, frac_begin, frac_end, exponent);
    } else {
        return binary64_detail::decimal_to_binary64_exact(int_begin, int_end, frac_begin, frac_end, exponent);
    }
}

}  // namespace decimal_detail

enum TextPadding : bool { kPlainText = false, kPaddedText = true };

// Stores the value (float: binary32, double: binary64) and returns true, or stores the error
// kind and returns false.
template <class Float, TextPadding padding = kPlainText>
[[gnu::always_inline]] inline bool parse_decimal(std::string_view text, Float& value, FloatErrorKind& error) noexcept {
    using namespace decimal_detail;
    const char* p = text.data();
    const char* const end = p + text.size();
    if (p == end) {
        error = FloatErrorKind::Empty;
        return false;
    }
    const bool negative = *p == '-';
    p += negative | (*p == '+');
    const char* const body = p;

    // Up to 19 digits fit the 64-bit mantissa; longer texts are recounted on the exact route.
    auto scan_digits = [end](const char* from, std::uint64_t& into) {
        return padding ? decimal_digits::scan_run_padded(from, end, into) : decimal_digits::scan_run(from, end, into);
    };
    std::uint64_t mantissa = 0;
    p = scan_digits(p, mantissa);
    const char* const int_end = p;
    const char* frac_begin = p;
    if (p != end && *p == '.') {
        frac_begin = ++p;
        p = scan_digits(p, mantissa);
    }
    const char* const frac_end = p;
    const std::size_t digit_count = std::size_t(int_end - body) + std::size_t(frac_end - frac_begin);
    if (digit_count == 0) {
        const SpecialWord word = special_word(std::string_view(body, std::size_t(end - body)));
        if (word != SpecialWord::none) {
            value = with_sign(special_value<Float>(word), negative);
            return true;
        }
        error = FloatErrorKind::Invalid;
        return false;
    }

    std::int64_t exponent = 0;
    if (p != end) {
        if ((*p | 0x20) != 'e') {
            error = FloatErrorKind::Invalid;
            return false;
        }
        ++p;
        const bool exponent_negative = p != end && *p == '-';
        p += p != end && (exponent_negative | (*p == '+'));
        if (p == end) {
            error = FloatErrorKind::Invalid;
            return false;
        }
        // Once the exponent reaches 65536 further digits are ignored: far beyond any
        // binary value, yet still meaningful against tens of thousands of digits.
        const char* const exponent_begin = p;
        unsigned digit;
        while (p != end && (digit = unsigned(static_cast<unsigned char>(*p)) - '0') < 10) {
            if (exponent < 65536) exponent = exponent * 10 + digit;
            ++p;
        }
        if (p != end || p == exponent_begin) {
            error = FloatErrorKind::Invalid;
            return false;
        }
        exponent = exponent_negative ? -exponent : exponent;
    }

    Float magnitude;
    if (digit_count > 19 || !fast_route(mantissa, exponent - (frac_end - frac_begin), magnitude)) {
        magnitude = exact_route<Float>(body, int_end, frac_begin, frac_end, exponent);
    }
    value = with_sign(magnitude, negative);
    return true;
}

template <TextPadding padding = kPlainText>
[[gnu::always_inline]] inline bool parse_binary32(std::string_view text, float& value, FloatErrorKind& error) noexcept {
    return parse_decimal<float, padding>(text, value, error);
}

template <TextPadding padding = kPlainText>
[[gnu::always_inline]] inline bool parse_binary64(std::string_view text, double& value, FloatErrorKind& error) noexcept {
    return parse_decimal<double, padding>(text, value, error);
}

}  // namespace quorel
