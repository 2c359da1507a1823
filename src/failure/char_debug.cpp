#include "failure/char_debug.hpp"

#include <algorithm>
#include <cstdio>
#include <iterator>

#include "text_rules/utf8.hpp"

namespace quorel {

namespace {

struct CodePointRange {
    char32_t first;
    char32_t last;
};

constexpr CodePointRange kEscapedRanges[] = {
#include "failure/char_escape_table.inc"
};

bool shown_escaped(char32_t cp) {
    if (cp < 0x80) return cp < 0x20 || cp == 0x7F;
    const auto* after = std::upper_bound(std::begin(kEscapedRanges), std::end(kEscapedRanges), cp,
                                         [](char32_t c, const CodePointRange& r) { return c < r.first; });
    return after != std::begin(kEscapedRanges) && cp <= std::prev(after)->last;
}

}  // namespace

Text char_debug_form(char32_t cp) {
    Text out = "'";
    switch (cp) {
    case U'\t': out += "\\t"; break;
    case U'\n': out += "\\n"; break;
    case U'\r': out += "\\r"; break;
    case U'\'': out += "\\'"; break;
    case U'\\': out += "\\\\"; break;
    default:
        if (shown_escaped(cp)) {
            char hex[16];
            std::snprintf(hex, sizeof hex, "\\u{%x}", unsigned(cp));
            out += hex;
        } else {
            utf8::append_encoded(out, cp);
        }
    }
    out += '\'';
    return out;
}

}  // namespace quorel
