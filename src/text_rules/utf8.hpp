// UTF-8 rules for lines: strict validation (no overlong forms, no surrogates, nothing above
// U+10FFFF, no truncated sequence) with an all-ASCII fast path, and decoding of one character.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace quorel::utf8 {

struct Validation {
    bool valid;
    bool ascii;  // every byte below 0x80: any byte offset is a character boundary
};

// Validates bytes from `from` on; `bytes[0, from)` must already be known to be ASCII.
Validation validate_from(std::string_view bytes, std::size_t from) noexcept;

inline constexpr std::size_t kValid = ~std::size_t(0);

// Where the first character that breaks the rules starts (from `from` on), or kValid.
std::size_t invalid_offset(std::string_view bytes, std::size_t from = 0) noexcept;

inline Validation validate(std::string_view bytes) noexcept {
    // Eight bytes at a time while the text is plain ASCII, the common case for plot files.
    const char* data = bytes.data();
    const std::size_t size = bytes.size();
    std::size_t i = 0;
    std::uint64_t high_bits = 0;
    for (; i + 8 <= size; i += 8) {
        std::uint64_t word;
        std::memcpy(&word, data + i, 8);
        high_bits |= word;
    }
    if (size >= 8) {
        // The last word, overlapping the ones before: no byte-wise tail loop.
        std::uint64_t word;
        std::memcpy(&word, data + size - 8, 8);
        high_bits |= word;
    } else {
        for (; i < size; ++i) high_bits |= static_cast<unsigned char>(data[i]);
    }
    if (high_bits & 0x8080808080808080ull) return validate_from(bytes, 0);
    return {true, true};
}

inline bool is_continuation(unsigned char byte) noexcept { return (byte & 0xC0) == 0x80; }

// Length in bytes of the character whose first byte is `lead` (valid UTF-8 assumed).
inline std::size_t sequence_length(unsigned char lead) noexcept {
    if (lead < 0x80) return 1;
    if (lead < 0xE0) return 2;
    if (lead < 0xF0) return 3;
    return 4;
}

// Decodes the character at `pos` of valid UTF-8 text.
inline char32_t decode_at(std::string_view text, std::size_t pos) noexcept {
    const auto* p = reinterpret_cast<const unsigned char*>(text.data()) + pos;
    switch (sequence_length(p[0])) {
    case 1: return p[0];
    case 2: return (char32_t(p[0] & 0x1F) << 6) | (p[1] & 0x3F);
    case 3: return (char32_t(p[0] & 0x0F) << 12) | (char32_t(p[1] & 0x3F) << 6) | (p[2] & 0x3F);
    default:
        return (char32_t(p[0] & 0x07) << 18) | (char32_t(p[1] & 0x3F) << 12) |
               (char32_t(p[2] & 0x3F) << 6) | (p[3] & 0x3F);
    }
}

// Appends the UTF-8 form of `cp` (a Unicode scalar value) to `out`.
template <class String>
void append_encoded(String& out, char32_t cp) {
    if (cp < 0x80) {
        out.push_back(char(cp));
    } else if (cp < 0x800) {
        out.push_back(char(0xC0 | (cp >> 6)));
        out.push_back(char(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        out.push_back(char(0xE0 | (cp >> 12)));
        out.push_back(char(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(char(0x80 | (cp & 0x3F)));
    } else {
        out.push_back(char(0xF0 | (cp >> 18)));
        out.push_back(char(0x80 | ((cp >> 12) & 0x3F)));
        out.push_back(char(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(char(0x80 | (cp & 0x3F)));
    }
}

}  // namespace quorel::utf8
