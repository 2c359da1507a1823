#include "text_rules/utf8.hpp"

namespace quorel::utf8 {

std::size_t invalid_offset(std::string_view bytes, std::size_t from) noexcept {
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
    const std::size_t n = bytes.size();
    std::size_t i = from;
    while (i < n) {
        const unsigned char b = p[i];
        if (b < 0x80) {
            ++i;
            continue;
        }
        // Second-byte ranges exclude overlong forms (E0, F0), surrogates (ED) and code points
        // above U+10FFFF (F4); C0, C1 and F5..FF never start a sequence.
        unsigned char lo = 0x80, hi = 0xBF;
        std::size_t len;
        if (b >= 0xC2 && b <= 0xDF) {
            len = 2;
        } else if (b >= 0xE0 && b <= 0xEF) {
            len = 3;
            if (b == 0xE0) lo = 0xA0;
            if (b == 0xED) hi = 0x9F;
        } else if (b >= 0xF0 && b <= 0xF4) {
            len = 4;
            if (b == 0xF0) lo = 0x90;
            if (b == 0xF4) hi = 0x8F;
        } else {
            return i;
        }
        if (n - i < len) return i;
        if (p[i + 1] < lo || p[i + 1] > hi) return i;
        for (std::size_t k = 2; k < len; ++k) {
            if (!is_continuation(p[i + k])) return i;
        }
        i += len;
    }
    return kValid;
}

Validation validate_from(std::string_view bytes, std::size_t from) noexcept {
    return {invalid_offset(bytes, from) == kValid, false};
}

}  // namespace quorel::utf8
