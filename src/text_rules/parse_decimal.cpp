#include "text_rules/parse_decimal.hpp"

namespace quorel::decimal_detail {

SpecialWord special_word(std::string_view word) noexcept {
    auto equals_ignoring_case = [word](std::string_view lower) {
        if (word.size() != lower.size()) return false;
        for (std::size_t i = 0; i < word.size(); ++i) {
            const char c = word[i];
            if ((c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c) != lower[i]) return false;
        }
        return true;
    };
    if (equals_ignoring_case("inf") || equals_ignoring_case("infinity")) return SpecialWord::infinity;
    if (equals_ignoring_case("nan")) return SpecialWord::nan;
    return SpecialWord::none;
}

}  // namespace quorel::decimal_detail
