// The whitespace set (the 25 code points with the Unicode White_Space property) and the two
// operations built on it: trimming a field and finding the last token of a line.
// All text handed in is valid UTF-8.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string_view>

#include "text_rules/utf8.hpp"

namespace quorel {

constexpr bool is_whitespace(char32_t cp) noexcept {
    if (cp <= 0x20) return cp == 0x20 || (cp >= 0x09 && cp <= 0x0D);
    if (cp < 0x85) return false;
    return cp == 0x85 || cp == 0xA0 || cp == 0x1680 || (cp >= 0x2000 && cp <= 0x200A) ||
           cp == 0x2028 || cp == 0x2029 || cp == 0x202F || cp == 0x205F || cp == 0x3000;
}

constexpr bool is_ascii_whitespace(unsigned char byte) noexcept {
    return byte == 0x20 || (byte >= 0x09 && byte <= 0x0D);
}

// Byte length of the whitespace character starting at `pos`, or 0 if that character is not whitespace.
inline std::size_t whitespace_length_at(std::string_view text, std::size_t pos) noexcept {
    const auto lead = static_cast<unsigned char>(text[pos]);
    if (lead < 0x80) return is_ascii_whitespace(lead) ? 1 : 0;
    return is_whitespace(utf8::decode_at(text, pos)) ? utf8::sequence_length(lead) : 0;
}

// Start of the character that ends just before `end` (end > 0).
inline std::size_t previous_char_start(std::string_view text, std::size_t end) noexcept {
    std::size_t pos = end - 1;
    while (pos > 0 && utf8::is_continuation(static_cast<unsigned char>(text[pos]))) --pos;
    return pos;
}

inline std::string_view trim_start(std::string_view text) noexcept {
    std::size_t pos = 0;
    while (pos < text.size()) {
        const std::size_t len = whitespace_length_at(text, pos);
        if (len == 0) break;
        pos += len;
    }
    return text.substr(pos);
}

inline std::string_view trim_end(std::string_view text) noexcept {
    std::size_t end = text.size();
    while (end > 0) {
        const std::size_t start = previous_char_start(text, end);
        if (whitespace_length_at(text, start) == 0) break;
        end = start;
    }
    return text.substr(0, end);
}

inline std::string_view trim(std::string_view text) noexcept { return trim_start(trim_end(text)); }

// The same for text known to be ASCII, where only the six ASCII whitespace bytes can occur.
// Eight bytes after the text must be readable: leading blanks are skipped a word at a time.
inline std::string_view trim_ascii_padded(std::string_view text) noexcept {
    const char* begin = text.data();
    const char* end = begin + text.size();
    for (;;) {
        std::uint64_t bytes;
        std::memcpy(&bytes, begin, 8);
        const std::uint64_t blanks = bytes ^ 0x2020202020202020ull;  // 0 where a byte is a blank
        const std::uint64_t non_blank = ((blanks | ((blanks & 0x7F7F7F7F7F7F7F7Full) + 0x7F7F7F7F7F7F7F7Full)) &
                                         0x8080808080808080ull);
        const unsigned count = non_blank == 0 ? 8u : unsigned(std::countr_zero(non_blank)) / 8;
        if (std::size_t(end - begin) <= count) return std::string_view(end, 0);
        begin += count;
        if (count < 8) break;
    }
    while (begin != end && is_ascii_whitespace(static_cast<unsigned char>(*begin))) ++begin;
    while (end != begin && is_ascii_whitespace(static_cast<unsigned char>(end[-1]))) --end;
    return std::string_view(begin, std::size_t(end - begin));
}

// The last maximal run of non-whitespace characters, or nothing for an empty or blank text.
inline std::optional<std::string_view> last_token(std::string_view text) noexcept {
    const std::string_view body = trim_end(text);
    if (body.empty()) return std::nullopt;
    std::size_t start = body.size();
    while (start > 0) {
        const std::size_t prev = previous_char_start(body, start);
        if (whitespace_length_at(body, prev) != 0) break;
        start = prev;
    }
    return body.substr(start);
}

}  // namespace quorel
