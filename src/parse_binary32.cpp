#include "parse_binary32.hpp"

#include <charconv>
#include <limits>

namespace quorel::binary32_detail {

namespace {

// Every binary32 value and every tie between two neighbours has at most 113 significant decimal
// digits, so the first 128 digits plus one nonzero sticky digit standing for all later nonzero
// digits lie on the same side of every tie as the full text.
constexpr std::size_t kKeptDigits = 128;

constexpr float kInfinity = std::numeric_limits<float>::infinity();

// Walks the digits of the integer part, then the fraction part, skipping the point.
class DigitCursor {
public:
    DigitCursor(const char* int_begin, const char* int_end, const char* frac_begin, const char* frac_end)
        : p_(int_begin), int_end_(int_end), frac_begin_(frac_begin), frac_end_(frac_end) {
        settle();
    }
    bool done() const { return p_ == frac_end_; }
    char digit() const { return *p_; }
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

}  // namespace

float decimal_to_binary32_exact(const char* int_begin, const char* int_end, const char* frac_begin,
                                const char* frac_end, std::int64_t exponent) noexcept {
    DigitCursor cursor(int_begin, int_end, frac_begin, frac_end);
    while (!cursor.done() && cursor.digit() == '0') cursor.advance();
    if (cursor.done()) return 0.0f;

    // The value is 0.DDD... x 10^leading, DDD... starting at the first nonzero digit.
    const std::int64_t leading = cursor.in_fraction() ? exponent - (cursor.position() - frac_begin)
                                                      : exponent + (int_end - cursor.position());
    if (leading >= 40) return kInfinity;  // at least 1e39
    if (leading <= -46) return 0.0f;      // below 1e-46, under half the smallest subnormal

    char text[kKeptDigits + 1 + 24];
    std::size_t length = 0;
    for (; !cursor.done() && length < kKeptDigits; cursor.advance()) text[length++] = cursor.digit();
    for (; !cursor.done(); cursor.advance()) {
        if (cursor.digit() != '0') {
            text[length++] = '1';
            break;
        }
    }
    const std::int64_t digits_exponent = leading - std::int64_t(length);
    text[length++] = 'e';
    const auto written = std::to_chars(text + length, text + sizeof text, digits_exponent);
    float value = 0.0f;
    const auto parsed = std::from_chars(text, written.ptr, value);
    if (parsed.ec == std::errc::result_out_of_range) return leading > 0 ? kInfinity : 0.0f;
    return value;
}

bool parse_special_word(std::string_view word, float& value) noexcept {
    auto equals_ignoring_case = [word](std::string_view lower) {
        if (word.size() != lower.size()) return false;
        for (std::size_t i = 0; i < word.size(); ++i) {
            const char c = word[i];
            if ((c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c) != lower[i]) return false;
        }
        return true;
    };
    if (equals_ignoring_case("inf") || equals_ignoring_case("infinity")) {
        value = kInfinity;
        return true;
    }
    if (equals_ignoring_case("nan")) {
        value = std::bit_cast<float>(std::uint32_t(0x7FC00000));
        return true;
    }
    return false;
}

}  // namespace quorel::binary32_detail
