// The reference model behind the harnesses; see model.hpp and reference.hpp.
#include "model.hpp"

#include <cstdio>

#include "reference.hpp"

namespace model {

Parsed parse_float(std::string_view text) { return ref::parse_float(text); }
std::uint32_t decimal_magnitude_bits(std::string_view digits, std::int64_t q) {
    return ref::decimal_magnitude_bits(digits, q);
}
std::string trim(std::string_view text) { return ref::trim(text); }
std::string halfway_digits(std::uint32_t bits, std::int64_t& exponent10) {
    return ref::halfway_digits(bits, exponent10);
}
std::string value_digits(std::uint32_t bits, std::int64_t& exponent10) {
    return ref::value_digits(bits, exponent10);
}

// The reference against values given with the rules (bits from the documented table).
std::string self_test() {
    static const struct {
        const char* text;
        std::uint32_t bits;
    } kKnown[] = {
        {"1.234567E+05", 0x47F1205A}, {"-9.87654E-01", 0xBF7CD6E4}, {"2.5E-03", 0x3B23D70A},
        {"1.000000E+00", 0x3F800000}, {"1.", 0x3F800000}, {".1e1", 0x3F800000}, {"10E-1", 0x3F800000},
        {"0.1", 0x3DCCCCCD}, {"16777217", 0x4B800000}, {"16777219", 0x4B800002},
        {"16777217.000000000000000000001", 0x4B800001}, {"3.4028235E+38", 0x7F7FFFFF},
        {"3.4028236E+38", 0x7F800000}, {"1.0E+100", 0x7F800000}, {"1e-45", 0x00000001},
        {"7.00649232E-46", 0x00000000}, {"1.0E-100", 0}, {"-0", 0x80000000}, {"-0.0E+00", 0x80000000},
        {"-1.0E-100", 0x80000000}, {"+iNfInItY", 0x7F800000}, {"-Infinity", 0xFF800000},
        {"NaN", 0x7FC00000}, {"-nan", 0xFFC00000},
    };
    for (const auto& k : kKnown) {
        const Parsed p = ref::parse_float(k.text);
        if (p.outcome != Outcome::value || p.bits != k.bits) return k.text;
    }
    for (const char* bad : {"+", "-", ".", "e5", "1e", "1e+", "1.0E+", "1.0D+00", "1.0-100", "1 .5", "0x1p3",
                            "1_000", "+-1", "--1", "infin", "infinite", "nan(1)", "nanq"}) {
        if (ref::parse_float(bad).outcome != Outcome::invalid) return bad;
    }
    if (ref::parse_float("").outcome != Outcome::empty) return "(the empty text)";
    std::int64_t e10 = 0;
    // 2^24 + 1 and 2^128 - 2^103 are halfway points; so is 2^-150 (= 7.00649...E-46).
    if (ref::halfway_digits(0x4B800000u, e10) != "16777217" || e10 != 0) return "halfway(4B800000)";
    if (ref::halfway_digits(0x7F7FFFFFu, e10) != "340282356779733661637539395458142568448" || e10 != 0) {
        return "halfway(7F7FFFFF)";
    }
    if (ref::halfway_digits(0, e10).substr(0, 9) != "700649232" || e10 != -150) return "halfway(0)";
    // 0.1f = 13421773 x 2^-27; the smallest subnormal 2^-149 = 1.4012984643...E-45.
    if (ref::value_digits(0x3DCCCCCDu, e10) != "100000001490116119384765625" || e10 != -27) return "value(3DCCCCCD)";
    if (ref::value_digits(0x00000001u, e10).substr(0, 11) != "14012984643" || e10 != -149) return "value(1)";
    if (ref::value_digits(0x4B800000u, e10) != "16777216" || e10 != 0) return "value(4B800000)";
    return {};
}


namespace {

constexpr std::uint64_t kNone = PlotOutcome::kNone;

PlotOutcome failure(std::string message, std::uint64_t line, std::uint64_t block = kNone, std::uint64_t field = kNone,
                    std::string alternative = {}) {
    PlotOutcome e;
    e.failed = true;
    e.message = std::move(message);
    e.alternative = std::move(alternative);
    e.line = line;
    e.block = block;
    e.field = field;
    return e;
}

constexpr char kInvalidUtf8[] =
    "Failed to read line!: Error { kind: InvalidData, message: \"stream did not contain valid UTF-8\" }";

}  // namespace

PlotOutcome read_plot(std::string_view file, std::uint64_t width) {
    const auto lines = ref::cut_lines(file);
    std::size_t next = 0;  // lines taken so far: the number of the line last taken
    std::uint64_t block = kNone;
    std::vector<std::string> names;
    std::vector<std::string> name_lines;
    std::string title;
    // nullptr at end of file; a failure message for an invalid line is returned by the caller.
    auto take = [&](const ref::RawLine*& line) -> bool {
        if (next == lines.size()) {
            ++next;
            line = nullptr;
            return true;
        }
        line = &lines[next++];
        return line->valid;
    };
    auto failed = [&](PlotOutcome outcome) {
        outcome.names = names;
        outcome.name_lines = name_lines;
        outcome.title = title;
        return outcome;
    };
    const ref::RawLine* line;
    if (!take(line)) return failed(failure(kInvalidUtf8, next));
    if (!line) return failed(failure("Failed ot read line!", 1));

    std::uint64_t count = 0;
    if (const auto token = ref::last_token(line->text)) {
        const auto parsed = ref::parse_count(*token);
        if (!parsed) {
            return failed(failure("The first line should end with the number of parameters:\n'" + line->text + "'", 1));
        }
        count = *parsed;
        const std::string body = ref::trim(line->text);
        title = ref::trim(std::string_view(body).substr(0, body.size() - token->size()));
    }
    for (std::uint64_t i = 0; i < count; ++i) {
        if (!take(line)) return failed(failure(kInvalidUtf8, next));
        if (!line) return failed(failure("Failed to read line!", next));
        names.push_back(ref::last_token(line->text).value_or(std::string()));
        name_lines.push_back(ref::trim(line->text));
    }
    if (count == 0) return failed(failure("capacity overflow", 1));

    PlotOutcome result;
    result.series.resize(count);
    result.names = names;
    result.name_lines = name_lines;
    result.title = title;
    for (block = 0;; ++block) {
        if (!take(line)) return failed(failure(kInvalidUtf8, next, block));
        if (!line) return result;
        for (std::uint64_t i = 0; i < count; ++i) {
            if (i % 10 == 0) {
                if (!take(line)) return failed(failure(kInvalidUtf8, next, block));
                if (!line) return failed(failure("Error reading line", next, block, i));
            }
            const std::string& text = line->text;
            const unsigned __int128 start = (unsigned __int128)(i % 10) * width;
            const unsigned __int128 end = start + width;
            const std::string end_text = std::to_string(std::uint64_t(end));
            if (end > text.size()) {
                return failed(failure("end byte index " + end_text + " is out of bounds for string of length " +
                                      std::to_string(text.size()),
                                      next, block, i));
            }
            const std::size_t e = std::size_t(end);
            if (e < text.size() && (static_cast<unsigned char>(text[e]) & 0xC0) == 0x80) {
                std::size_t a = e;
                while ((static_cast<unsigned char>(text[a]) & 0xC0) == 0x80) --a;
                std::size_t b = e;
                while (b < text.size() && (static_cast<unsigned char>(text[b]) & 0xC0) == 0x80) ++b;
                const auto cps = *ref::decode(std::string_view(text).substr(a, b - a));
                char hex[32];
                std::snprintf(hex, sizeof hex, "\\u{%x}", unsigned(cps.at(0)));
                const std::string head = "end byte index " + end_text + " is not a char boundary; it is inside '";
                const std::string tail = "' (bytes " + std::to_string(a) + ".." + std::to_string(b) + " of string)";
                return failed(failure(head + text.substr(a, b - a) + tail, next, block, i, head + hex + tail));
            }
            const std::string field = ref::trim(std::string_view(text).substr(std::size_t(start), std::size_t(width)));
            const ref::Parsed value = ref::parse_float(field);
            if (value.outcome == ref::Outcome::empty) {
                return failed(failure("Could not parse line: ParseFloatError { kind: Empty }", next, block, i));
            }
            if (value.outcome == ref::Outcome::invalid) {
                return failed(failure("Could not parse line: ParseFloatError { kind: Invalid }", next, block, i));
            }
            result.series[i].push_back(value.bits);
        }
    }
}


}  // namespace model
