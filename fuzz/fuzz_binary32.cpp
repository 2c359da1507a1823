// libFuzzer harness for the decimal -> binary32 conversion.
//
// The input is a field text. It is converted by
//  - quorel::parse_binary32 (plain) on an exactly sized heap copy, so that any read past the
//    text is an AddressSanitizer finding;
//  - quorel::parse_binary32<kPaddedText> on copies followed by eight bytes of padding (zero
//    bytes, and digits, which must not be taken as part of the number);
//  - quorel::parse_e_notation_field, for ASCII texts of a width it handles, and
//    parse_fixed_shape_field<12> / <15> for texts of those widths: when one accepts the
//    field, its value must be that of the trimmed field;
// and every result, value bits or error kind, is compared with the exact big-integer reference
// of fuzz/reference.hpp (through model.hpp). Inputs of 10 or more bytes also drive
// binary32_detail::fast_binary32(mantissa, scale) directly: where it gives an answer, that
// answer must be the correctly rounded one. And the first six bytes of every input pick a
// decimal next to a binary32 halfway point (check_near_halfway), where shortcuts fail first.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include "text_rules/binary32_rounding.hpp"
#include "text_rules/e_notation_field.hpp"
#include "text_rules/fixed_shape_field.hpp"
#include "text_rules/parse_decimal.hpp"
#include "model.hpp"

namespace {

std::string printable(std::string_view s) {
    std::string out;
    for (const char c : s) {
        const auto b = static_cast<unsigned char>(c);
        if (b >= 0x20 && b < 0x7F && b != '\\') {
            out += c;
        } else {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02X", b);
            out += hex;
        }
    }
    return out;
}

[[noreturn]] void fail(const char* route, std::string_view text, const std::string& detail) {
    std::fprintf(stderr, "\n*** fuzz_binary32: %s on \"%s\": %s\n", route, printable(text).c_str(), detail.c_str());
    std::abort();
}

std::string show(const model::Parsed& p) {
    if (p.outcome == model::Outcome::empty) return "Empty";
    if (p.outcome == model::Outcome::invalid) return "Invalid";
    char b[16];
    std::snprintf(b, sizeof b, "%08X", p.bits);
    return b;
}

model::Parsed outcome_of(bool ok, float value, quorel::FloatErrorKind error) {
    if (ok) {
        std::uint32_t bits;
        std::memcpy(&bits, &value, 4);
        return {model::Outcome::value, bits};
    }
    return {error == quorel::FloatErrorKind::Empty ? model::Outcome::empty : model::Outcome::invalid};
}

bool same(const model::Parsed& a, const model::Parsed& b) {
    return a.outcome == b.outcome && (a.outcome != model::Outcome::value || a.bits == b.bits);
}

template <quorel::TextPadding padding>
void check_padded(std::string_view text, char pad, const model::Parsed& expected) {
    std::unique_ptr<char[]> copy(new char[text.size() + 8]);
    if (!text.empty()) std::memcpy(copy.get(), text.data(), text.size());
    std::memset(copy.get() + text.size(), pad, 8);
    float value = 0;
    quorel::FloatErrorKind error{};
    const bool ok = quorel::parse_binary32<padding>(std::string_view(copy.get(), text.size()), value, error);
    const model::Parsed got = outcome_of(ok, value, error);
    if (!same(got, expected)) {
        fail(pad == 0 ? "parse_binary32<kPaddedText> (zero padding)" : "parse_binary32<kPaddedText> (digit padding)",
             text, "got " + show(got) + ", expected " + show(expected));
    }
}

// A field parser that may decline; when it accepts, its value must be that of the trimmed field.
template <class Parser>
void check_field_parser(const char* name, std::string_view text, Parser parse) {
    for (const char pad : {'\0', '7', ' '}) {
        std::unique_ptr<char[]> copy(new char[text.size() + 8]);
        std::memcpy(copy.get(), text.data(), text.size());
        std::memset(copy.get() + text.size(), pad, 8);
        float value = 0;
        if (!parse(copy.get(), value)) continue;
        const model::Parsed expected = model::parse_float(model::trim(text));
        std::uint32_t bits;
        std::memcpy(&bits, &value, 4);
        if (expected.outcome != model::Outcome::value || expected.bits != bits) {
            char b[16];
            std::snprintf(b, sizeof b, "%08X", bits);
            fail(name, text, std::string("accepted as ") + b + ", expected " + show(expected));
        }
    }
}

void check_e_notation(std::string_view text) {
    if (!quorel::fits_e_notation_field(text.size())) return;
    for (const char c : text) {
        if (static_cast<unsigned char>(c) >= 0x80) return;
    }
    check_field_parser("parse_e_notation_field", text, [&](const char* field, float& value) {
        return quorel::parse_e_notation_field(field, text.size(), value);
    });
    if (text.size() == 12) {
        check_field_parser("parse_fixed_shape_field<12>", text, [](const char* field, float& value) {
            return quorel::parse_fixed_shape_field<12>(field, value);
        });
    } else if (text.size() == 15) {
        check_field_parser("parse_fixed_shape_field<15>", text, [](const char* field, float& value) {
            return quorel::parse_fixed_shape_field<15>(field, value);
        });
    }
}

// Where fast_binary32 gives an answer, it must be `expected`.
void check_fast_answer(const char* what, std::uint64_t mantissa, std::int64_t scale, std::uint32_t expected) {
    float value;
    if (!quorel::binary32_detail::fast_binary32(mantissa, scale, value)) return;
    std::uint32_t bits;
    std::memcpy(&bits, &value, 4);
    if (bits != expected) {
        char detail[160];
        std::snprintf(detail, sizeof detail, "fast_binary32(%llu, %lld) = %08X, expected %08X",
                      (unsigned long long)mantissa, (long long)scale, bits, expected);
        fail(what, "", detail);
    }
}

void check_fast_route(const std::uint8_t* data) {
    std::uint64_t raw;
    std::memcpy(&raw, data, 8);
    const std::uint64_t mantissa = raw >> (data[8] % 64);
    const std::int64_t scale = std::int64_t(data[9] % 141) - 70;
    check_fast_answer("fast_binary32", mantissa, scale, model::decimal_magnitude_bits(std::to_string(mantissa), scale));
}

// Decimals at and next to the point halfway between two binary32 neighbours, the values where
// a rounding shortcut can go wrong: bits from data[0..4), `digits` significant digits of the
// halfway point (1..17, truncated), moved by -3..+3 units in the last digit. Each goes through
// fast_binary32, through the text parsers as "<mantissa>e<scale>", and, in the reader's field
// shape "d.ddddE+xx", through parse_e_notation_field.
void check_near_halfway(const std::uint8_t* data) {
    std::uint32_t bits;
    std::memcpy(&bits, data, 4);
    const unsigned digits = 1 + data[4] % 17;
    const int delta = int(data[5] % 7) - 3;
    std::int64_t exponent10;
    const std::string exact = model::halfway_digits(bits, exponent10);
    std::string kept = exact.substr(0, std::min<std::size_t>(digits, exact.size()));
    std::int64_t scale = exponent10 + std::int64_t(exact.size()) - std::int64_t(kept.size());
    std::uint64_t mantissa = std::stoull(kept);
    if (delta < 0 && mantissa < std::uint64_t(-delta) + 1) return;
    mantissa += std::uint64_t(std::int64_t(delta));
    const std::uint32_t expected = model::decimal_magnitude_bits(std::to_string(mantissa), scale);

    check_fast_answer("fast_binary32 near a halfway point", mantissa, scale, expected);
    const std::string text = std::to_string(mantissa) + "e" + std::to_string(scale);
    const model::Parsed as_text{model::Outcome::value, expected};
    {
        float v = 0;
        quorel::FloatErrorKind error{};
        const model::Parsed p = outcome_of(quorel::parse_binary32(text, v, error), v, error);
        if (!same(p, as_text)) fail("parse_binary32 near a halfway point", text, "got " + show(p) + ", expected " + show(as_text));
    }
    check_padded<quorel::kPaddedText>(text, '\0', as_text);

    // The reader's shape: one digit, a point, the rest, E, sign, two exponent digits.
    const std::string m = std::to_string(mantissa);
    const std::int64_t power = scale + std::int64_t(m.size()) - 1;
    if (m.size() < 2 || m.size() > 9 || power < -99 || power > 99) return;
    char field[40];
    std::snprintf(field, sizeof field, "%*s%c.%sE%c%02d", int(data[4] / 17 % 4), "", m[0], m.c_str() + 1,
                  power < 0 ? '-' : '+', int(power < 0 ? -power : power));
    check_e_notation(field);
    const model::Parsed p = model::parse_float(model::trim(field));
    if (!same(p, as_text)) fail("reference", field, "field shape and text disagree: " + show(p));
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    const std::string broken = model::self_test();
    if (!broken.empty()) fail("reference self-test", broken, "wrong");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    const model::Parsed expected = model::parse_float(input);

    {
        std::unique_ptr<char[]> exact(new char[size == 0 ? 1 : size]);
        if (size) std::memcpy(exact.get(), data, size);
        float value = 0;
        quorel::FloatErrorKind error{};
        const bool ok = quorel::parse_binary32(std::string_view(exact.get(), size), value, error);
        const model::Parsed got = outcome_of(ok, value, error);
        if (!same(got, expected)) fail("parse_binary32", input, "got " + show(got) + ", expected " + show(expected));
    }
    check_padded<quorel::kPaddedText>(input, '\0', expected);
    check_padded<quorel::kPaddedText>(input, '9', expected);
    check_e_notation(input);
    if (size >= 10) check_fast_route(data);
    if (size >= 6) check_near_halfway(data);
    return 0;
}
