// The harnesses' view of the reference model (model.cpp). It lives in its own translation unit,
// compiled without libFuzzer's coverage instrumentation, so that the fuzzer steers by the
// coverage of the code under test only, and the slow exact arithmetic runs uninstrumented.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace model {

enum class Outcome { value, empty, invalid };
struct Parsed {
    Outcome outcome;
    std::uint32_t bits = 0;
};

// The float grammar and the exactly rounded binary32 value (bits), or the error kind.
Parsed parse_float(std::string_view text);
// Nearest binary32 magnitude (half to even) to the integer spelled by `digits` times 10^q.
std::uint32_t decimal_magnitude_bits(std::string_view digits, std::int64_t q);
// The exact decimal digits of the point halfway between the positive finite binary32 value
// `bits` and the next one up: value = digits x 10^exponent10.
std::string halfway_digits(std::uint32_t bits, std::int64_t& exponent10);
// The exact decimal digits of the positive finite binary32 value `bits` (sign ignored):
// value = digits x 10^exponent10.
std::string value_digits(std::uint32_t bits, std::int64_t& exponent10);
// Valid UTF-8 text without the Unicode whitespace at its ends.
std::string trim(std::string_view text);

// What reading a whole plot file must give: the series (time first, then the columns, as
// binary32 bits), or the failure message. A message that names a character may show it
// plainly or as \u{...}: `alternative` then holds the second form. A failure has its place:
// the line (from 1; for a missing line, the one after the last), the block and the field
// (from 0; kNone where it is not in one). `names` holds each name line's last token, as far
// as the name lines go, and `name_lines` each name line whole, trimmed; `title` is line 1
// before its last token, trimmed.
struct PlotOutcome {
    static constexpr std::uint64_t kNone = ~std::uint64_t(0);
    bool failed = false;
    std::vector<std::vector<std::uint32_t>> series;
    std::string message;
    std::string alternative;
    std::uint64_t line = 0;
    std::uint64_t block = kNone;
    std::uint64_t field = kNone;
    std::vector<std::string> names;
    std::vector<std::string> name_lines;
    std::string title;
};
PlotOutcome read_plot(std::string_view file, std::uint64_t width);

// Checks the reference against documented values; the first text it gets wrong, or "".
std::string self_test();

}  // namespace model
