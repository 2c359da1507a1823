// libFuzzer harness for the binary32 -> field text conversion (the writer's), and back.
//
// The input is four bytes of a binary32 bit pattern (little-endian) and one byte that picks the
// field width: 8 + byte % 33 (8 to 40) below 0xF0, 110 + (byte - 0xF0) from 0xF0 (past the 112
// digits that a binary32 value can have). The field is written by
//  - quorel::format_field (the table route for widths 8 to 15, the exact route above) into a
//    buffer with kFieldOverrun bytes past the field, and
//  - quorel::format_field_exact into an exactly sized heap buffer (AddressSanitizer sees any
//    byte written past it);
// both must be the text of the reference: the exact decimal digits of the value from the
// model's big integers, rounded here to width - 6 digits half to even, in E notation with two
// exponent digits, right-aligned, NaN and the infinities as "nan", "-nan", "inf", "-inf". The
// text then goes back through the model's parser, which must give the value itself at width 15
// and above (a NaN of the same sign), and through the reader's field parsers, which where they
// accept it must give what the model gives.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include "text_rules/e_notation_field.hpp"
#include "text_rules/fixed_shape_field.hpp"
#include "text_rules/format_binary32.hpp"
#include "model.hpp"

namespace {

[[noreturn]] void fail(std::uint32_t bits, std::size_t width, const std::string& detail) {
    std::fprintf(stderr, "\n*** fuzz_format_binary32: %08X at width %zu: %s\n", bits, width, detail.c_str());
    std::abort();
}

// The reference field.
std::string expected_field(std::uint32_t bits, std::size_t width) {
    const bool negative = (bits >> 31) != 0;
    const std::uint32_t magnitude = bits & 0x7FFFFFFF;
    if (magnitude >= 0x7F800000) {
        std::string word = magnitude > 0x7F800000 ? "nan" : "inf";
        if (negative) word = "-" + word;
        return std::string(width - word.size(), ' ') + word;
    }
    const std::size_t keep = width - 6;
    std::string digits = "0";
    std::int64_t exponent = 0;
    if (magnitude != 0) {
        std::int64_t exponent10;
        digits = model::value_digits(magnitude, exponent10);
        exponent = std::int64_t(digits.size()) - 1 + exponent10;
        if (digits.size() > keep) {
            const char next = digits[keep];
            const bool beyond = digits.find_first_not_of('0', keep + 1) != std::string::npos;
            const bool odd = (digits[keep - 1] - '0') % 2 == 1;
            digits.resize(keep);
            if (next > '5' || (next == '5' && (beyond || odd))) {
                std::size_t i = keep;
                while (i > 0 && digits[i - 1] == '9') digits[--i] = '0';
                if (i == 0) {
                    digits[0] = '1';
                    ++exponent;
                } else {
                    ++digits[i - 1];
                }
            }
        }
    }
    digits.resize(keep, '0');
    char tail[8];
    std::snprintf(tail, sizeof tail, "E%c%02d", exponent < 0 ? '-' : '+', int(exponent < 0 ? -exponent : exponent));
    return std::string(1, negative ? '-' : ' ') + digits[0] + "." + digits.substr(1) + tail;
}

std::uint32_t same_nan_sign(std::uint32_t bits) {
    return (bits & 0x7FFFFFFF) > 0x7F800000 ? (bits & 0x80000000) | 0x7FC00000 : bits;
}

// Where a reader's field parser accepts the field, its value must be the model's.
template <class Parser>
void check_field_parser(const char* name, std::uint32_t bits, const std::string& field, std::uint32_t read,
                        Parser parse) {
    std::unique_ptr<char[]> copy(new char[field.size() + 8]);
    std::memcpy(copy.get(), field.data(), field.size());
    std::memset(copy.get() + field.size(), ' ', 8);
    float value = 0;
    if (!parse(copy.get(), value)) return;
    std::uint32_t got;
    std::memcpy(&got, &value, 4);
    if (got != read) {
        char detail[160];
        std::snprintf(detail, sizeof detail, "%s reads '%s' as %08X, the model as %08X", name, field.c_str(), got, read);
        fail(bits, field.size(), detail);
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    const std::string broken = model::self_test();
    if (!broken.empty()) {
        std::fprintf(stderr, "reference self-test: %s wrong\n", broken.c_str());
        std::abort();
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::uint8_t input[5] = {};
    std::memcpy(input, data, size < 5 ? size : 5);
    std::uint32_t bits;
    std::memcpy(&bits, input, 4);
    const std::size_t width = input[4] < 0xF0 ? 8 + input[4] % 33 : 110 + (input[4] - 0xF0);
    float value;
    std::memcpy(&value, &bits, 4);
    const std::string expected = expected_field(bits, width);

    std::unique_ptr<char[]> routed(new char[width + quorel::kFieldOverrun]);
    quorel::format_field(value, width, routed.get());
    if (std::string_view(routed.get(), width) != expected) {
        fail(bits, width, "format_field wrote '" + std::string(routed.get(), width) + "', expected '" + expected + "'");
    }
    std::unique_ptr<char[]> exact(new char[width]);
    quorel::format_field_exact(value, width, exact.get());
    if (std::string_view(exact.get(), width) != expected) {
        fail(bits, width, "format_field_exact wrote '" + std::string(exact.get(), width) + "', expected '" + expected + "'");
    }

    const model::Parsed read = model::parse_float(model::trim(expected));
    if (read.outcome != model::Outcome::value) fail(bits, width, "the model does not read '" + expected + "'");
    if (width >= 15 && same_nan_sign(read.bits) != same_nan_sign(bits)) {
        char detail[120];
        std::snprintf(detail, sizeof detail, "'%s' reads back as %08X", expected.c_str(), read.bits);
        fail(bits, width, detail);
    }
    if (quorel::fits_e_notation_field(width)) {
        check_field_parser("parse_e_notation_field", bits, expected, read.bits, [&](const char* field, float& v) {
            return quorel::parse_e_notation_field(field, width, v);
        });
    }
    if (width == 12) {
        check_field_parser("parse_fixed_shape_field<12>", bits, expected, read.bits,
                           [](const char* field, float& v) { return quorel::parse_fixed_shape_field<12>(field, v); });
    } else if (width == 15) {
        check_field_parser("parse_fixed_shape_field<15>", bits, expected, read.bits,
                           [](const char* field, float& v) { return quorel::parse_fixed_shape_field<15>(field, v); });
    }
    return 0;
}
