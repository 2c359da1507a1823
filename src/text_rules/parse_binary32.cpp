#include "text_rules/parse_binary32.hpp"

#include <limits>

namespace quorel::binary32_detail {

namespace {

constexpr float kInfinity = std::numeric_limits<float>::infinity();

}  // namespace

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
