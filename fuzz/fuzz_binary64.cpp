// libFuzzer harness for the decimal -> binary64 conversion (tolvane's float64 time) and the
// binary64 -> field writer.
//
// The input is a field text. It is converted by
//  - quorel::parse_binary64 (plain) on an exactly sized heap copy, so that any read past the
//    text is an AddressSanitizer finding, and parse_binary64<kPaddedText> on a copy followed by
//    eight digits of padding, which must not be taken as part of the number;
//  - quorel::parse_binary32 on the same text: the grammar is one, so both accept the same texts
//    and fail with the same error kind;
//  - where it is accepted: the C library's strtod of the text, as the reference of a correctly
//    rounded binary64 (glibc's is; the module itself never calls it, whose results are not the
//    same on every runtime), NaN compared by its sign;
//  - parse_fixed_shape_binary64<12> / <15> and parse_e_notation_binary64 for ASCII texts of the
//    widths they take: where one accepts the field, its value must be that of the trimmed field.
// The value then goes through the writer: format_binary64_field at width 24 (17 digits or more) must
// read back as the value itself, and the width-15 field, read back and written again, must be
// the same text.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include "text_rules/e_notation_field.hpp"
#include "text_rules/fixed_shape_field.hpp"
#include "text_rules/format_binary64.hpp"
#include "text_rules/parse_decimal.hpp"

namespace {

[[noreturn]] void fail(std::string_view text, const std::string& detail) {
    std::fprintf(stderr, "\n*** fuzz_binary64: %.*s: %s\n", int(text.size() > 200 ? 200 : text.size()), text.data(),
                 detail.c_str());
    std::abort();
}

std::uint64_t bits_of(double value) {
    std::uint64_t bits;
    std::memcpy(&bits, &value, 8);
    return bits;
}

// Equal bits, or NaNs of the same sign.
bool same(double a, double b) {
    if (std::isnan(a) || std::isnan(b)) return std::isnan(a) && std::isnan(b) && std::signbit(a) == std::signbit(b);
    return bits_of(a) == bits_of(b);
}

std::string hex(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%016llX", (unsigned long long)bits_of(value));
    return text;
}

void check_writer(std::string_view text, double value) {
    // Width 24: at least 17 significant digits, which every binary64 reads back from, even where
    // a three-digit exponent (from 1E+100, below 1E-99) takes one digit of the field.
    char field[32];
    quorel::format_binary64_field(value, 24, field);
    double back;
    quorel::FloatErrorKind error;
    // The reader trims a field's blanks; here by hand.
    std::string_view trimmed(field, 24);
    while (!trimmed.empty() && trimmed.front() == ' ') trimmed.remove_prefix(1);
    if (!quorel::parse_binary64(trimmed, back, error) || !same(back, value)) {
        fail(text, "17 digits do not read back: " + std::string(field, 24) + " for " + hex(value));
    }
    char first[16], second[16];
    quorel::format_binary64_field(value, 15, first);
    std::string_view shown(first, 15);
    while (!shown.empty() && shown.front() == ' ') shown.remove_prefix(1);
    if (!quorel::parse_binary64(shown, back, error)) fail(text, "a width-15 field does not read: " + std::string(first, 15));
    quorel::format_binary64_field(back, 15, second);
    if (std::memcmp(first, second, 15) != 0) {
        fail(text, "width 15 written again differs: " + std::string(first, 15) + " then " + std::string(second, 15));
    }
}

void check_field_routes(std::string_view text, double expected) {
    for (const char c : text) {
        if (static_cast<unsigned char>(c) >= 0x80 || c == '\n') return;
    }
    // The field with 16 readable bytes after it, as the reader's buffers have.
    std::string padded(text);
    padded.append(16, '7');
    double value;
    if (text.size() == 12 && quorel::parse_fixed_shape_binary64<12>(padded.data(), value) && !same(value, expected)) {
        fail(text, "parse_fixed_shape_binary64<12> gives " + hex(value) + ", expected " + hex(expected));
    }
    if (text.size() == 15 && quorel::parse_fixed_shape_binary64<15>(padded.data(), value) && !same(value, expected)) {
        fail(text, "parse_fixed_shape_binary64<15> gives " + hex(value) + ", expected " + hex(expected));
    }
    if (quorel::fits_e_notation_field(text.size()) &&
        quorel::parse_e_notation_binary64(padded.data(), text.size(), value) && !same(value, expected)) {
        fail(text, "parse_e_notation_binary64 gives " + hex(value) + ", expected " + hex(expected));
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const std::unique_ptr<char[]> exact(new char[size == 0 ? 1 : size]);
    std::memcpy(exact.get(), data, size);
    const std::string_view copy(exact.get(), size);

    double value = 0;
    quorel::FloatErrorKind error = quorel::FloatErrorKind::Empty;
    const bool accepted = quorel::parse_binary64(copy, value, error);
    std::string digits_after(text);
    digits_after.append(8, '9');
    double padded_value = 0;
    quorel::FloatErrorKind padded_error = quorel::FloatErrorKind::Empty;
    const bool padded_accepted =
        quorel::parse_binary64<quorel::kPaddedText>(std::string_view(digits_after.data(), size), padded_value, padded_error);
    float single;
    quorel::FloatErrorKind single_error = quorel::FloatErrorKind::Empty;
    const bool single_accepted = quorel::parse_binary32(copy, single, single_error);
    if (accepted != padded_accepted || accepted != single_accepted ||
        (!accepted && (error != padded_error || error != single_error))) {
        fail(text, "binary64, padded binary64 and binary32 disagree on the text's grammar");
    }
    if (!accepted) return 0;
    if (!same(value, padded_value)) fail(text, "the padding's digits changed the value");

    // The reference: strtod of the whole text (the grammar accepted it, so strtod takes all).
    const std::string terminated(text);
    char* end = nullptr;
    const double reference = std::strtod(terminated.c_str(), &end);
    if (end != terminated.c_str() + terminated.size()) fail(text, "strtod did not take the whole text");
    if (!same(value, reference)) fail(text, "gives " + hex(value) + ", strtod " + hex(reference));

    check_field_routes(text, value);
    check_writer(text, value);
    return 0;
}
