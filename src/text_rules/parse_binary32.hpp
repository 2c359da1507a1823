// Decimal text to binary32, correctly rounded (half to even) for any number of digits.
//
// Grammar, matched from the first to the last character (no whitespace is skipped):
//   [+-] ( digits [ "." digits? ] | "." digits ) [ ("e"|"E") [+-] digits ]
//   [+-] ( "inf" | "infinity" | "nan" )            (letters in any case)
// A "-" sign flips the sign bit of the result, so "-nan" has it set.
//
// The reader's fields are followed by at least eight readable bytes (`kPaddedText`), which lets
// digit runs be read eight at a time; other callers use the plain byte-wise form.
//
// Texts of up to 19 digits take the fast double route of binary32_rounding.hpp; the exact route
// of exact_rounding.hpp (integer comparisons with halfway points) decides the rest.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "text_rules/binary32_rounding.hpp"
#include "text_rules/decimal_digits.hpp"
#include "text_rules/exact_rounding.hpp"

namespace quorel {

enum class FloatErrorKind : std::uint8_t { Empty, Invalid };

namespace binary32_detail {

// "inf", "infinity" and "nan" in any letter case; false for anything else.
bool parse_special_word(std::string_view word, float& value) noexcept;

}  // namespace binary32_detail

enum TextPadding : bool { kPlainText = false, kPaddedText = true };

// Stores the value and returns true, or stores the error kind and returns false.
template <TextPadding padding = kPlainText>
[[gnu::always_inline]] inline bool parse_binary32(std::string_view text, float& value, FloatErrorKind& error) noexcept {
    using namespace binary32_detail;
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
        if (parse_special_word(std::string_view(body, std::size_t(end - body)), value)) {
            value = with_sign(value, negative);
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
        // binary32 value, yet still meaningful against tens of thousands of digits.
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

    float magnitude;
    if (digit_count > 19 || !fast_binary32(mantissa, exponent - (frac_end - frac_begin), magnitude)) {
        magnitude = decimal_to_binary32_exact(body, int_end, frac_begin, frac_end, exponent);
    }
    value = with_sign(magnitude, negative);
    return true;
}

}  // namespace quorel
