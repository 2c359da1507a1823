// Slow, exact reference implementations of the text rules, written independently of src/ for
// the fuzz harnesses (included by model.cpp only, which is built without coverage feedback):
// UTF-8 validation, the whitespace set, line cutting, field trimming, the parameter count and
// decimal -> binary32 conversion. The conversion uses arbitrary-precision integers only (no
// floating point, no library parser): the value m x 10^q is compared with binary32 rounding
// boundaries exactly.
#pragma once

#include <algorithm>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "model.hpp"

namespace ref {

// ---------------------------------------------------------------------------------------------
// Unsigned big integers, little-endian base 2^32 limbs, no leading zero limb.

class Big {
public:
    Big() = default;
    explicit Big(std::uint64_t v) {
        while (v) {
            limbs_.push_back(std::uint32_t(v));
            v >>= 32;
        }
    }
    bool zero() const { return limbs_.empty(); }

    void mul_small(std::uint32_t m) {
        std::uint64_t carry = 0;
        for (auto& limb : limbs_) {
            const std::uint64_t t = std::uint64_t(limb) * m + carry;
            limb = std::uint32_t(t);
            carry = t >> 32;
        }
        if (carry) limbs_.push_back(std::uint32_t(carry));
        trim();
    }
    void add_small(std::uint32_t a) {
        std::uint64_t carry = a;
        for (std::size_t i = 0; carry && i < limbs_.size(); ++i) {
            const std::uint64_t t = std::uint64_t(limbs_[i]) + carry;
            limbs_[i] = std::uint32_t(t);
            carry = t >> 32;
        }
        if (carry) limbs_.push_back(std::uint32_t(carry));
    }
    void shl(std::size_t bits) {
        if (zero() || bits == 0) return;
        const std::size_t words = bits / 32, rest = bits % 32;
        std::vector<std::uint32_t> out(limbs_.size() + words + 1, 0);
        for (std::size_t i = 0; i < limbs_.size(); ++i) {
            const std::uint64_t v = std::uint64_t(limbs_[i]) << rest;
            out[i + words] |= std::uint32_t(v);
            out[i + words + 1] |= std::uint32_t(v >> 32);
        }
        limbs_ = std::move(out);
        trim();
    }
    std::size_t bit_length() const {
        if (zero()) return 0;
        std::uint32_t top = limbs_.back();
        std::size_t n = 32 * (limbs_.size() - 1);
        while (top) {
            ++n;
            top >>= 1;
        }
        return n;
    }
    // Divides by `d` in place and returns the remainder.
    std::uint32_t div_small(std::uint32_t d) {
        std::uint64_t rem = 0;
        for (std::size_t i = limbs_.size(); i-- > 0;) {
            const std::uint64_t cur = rem << 32 | limbs_[i];
            limbs_[i] = std::uint32_t(cur / d);
            rem = cur % d;
        }
        trim();
        return std::uint32_t(rem);
    }
    std::string decimal() const {
        if (zero()) return "0";
        Big v = *this;
        std::string out;
        while (!v.zero()) {
            std::uint32_t chunk = v.div_small(1000000000u);
            for (int k = 0; k < 9; ++k) {
                out += char('0' + chunk % 10);
                chunk /= 10;
            }
        }
        while (out.size() > 1 && out.back() == '0') out.pop_back();
        return std::string(out.rbegin(), out.rend());
    }
    friend int compare(const Big& a, const Big& b) {
        if (a.limbs_.size() != b.limbs_.size()) return a.limbs_.size() < b.limbs_.size() ? -1 : 1;
        for (std::size_t i = a.limbs_.size(); i-- > 0;) {
            if (a.limbs_[i] != b.limbs_[i]) return a.limbs_[i] < b.limbs_[i] ? -1 : 1;
        }
        return 0;
    }

private:
    void trim() {
        while (!limbs_.empty() && limbs_.back() == 0) limbs_.pop_back();
    }
    std::vector<std::uint32_t> limbs_;
};

inline Big shifted(Big v, std::size_t bits) {
    v.shl(bits);
    return v;
}
inline Big times(Big v, std::uint32_t m) {
    v.mul_small(m);
    return v;
}

// `digits` (ASCII 0-9) as an integer.
inline Big from_digits(std::string_view digits) {
    Big v;
    std::size_t i = 0;
    while (i < digits.size()) {
        const std::size_t n = std::min<std::size_t>(9, digits.size() - i);
        std::uint32_t chunk = 0, scale = 1;
        for (std::size_t k = 0; k < n; ++k) {
            chunk = chunk * 10 + std::uint32_t(digits[i + k] - '0');
            scale *= 10;
        }
        v.mul_small(scale);
        v.add_small(chunk);
        i += n;
    }
    return v;
}

inline void mul_pow10(Big& v, std::int64_t n) {
    for (; n >= 9; n -= 9) v.mul_small(1000000000u);
    for (; n > 0; --n) v.mul_small(10);
}

// ---------------------------------------------------------------------------------------------
// binary32 from an exact decimal value.

constexpr std::uint32_t kInfinityBits = 0x7F800000u;
constexpr std::uint32_t kNanBits = 0x7FC00000u;

// The magnitude nearest to N x 2^k (N < 2^25, k >= -149), as bits.
inline std::uint32_t pack(std::uint64_t n, std::int64_t k) {
    if (n == 0) return 0;
    while (n >= (1u << 24)) {  // only N = 2^24 after rounding up, which is exact
        n >>= 1;
        ++k;
    }
    if (n < (1u << 23)) {
        // Only possible at k = -149: a subnormal (the caller's k is max(e - 23, -149)).
        return std::uint32_t(n);
    }
    const std::int64_t biased = k + 150;
    if (biased >= 255) return kInfinityBits;
    return std::uint32_t(biased) << 23 | std::uint32_t(n - (1u << 23));
}

// Nearest binary32 magnitude (half to even) to the integer spelled by `digits` times 10^q.
inline std::uint32_t decimal_magnitude_bits(std::string_view digits, std::int64_t q) {
    std::size_t first = 0;
    while (first < digits.size() && digits[first] == '0') ++first;
    if (first == digits.size()) return 0;
    std::size_t last = digits.size();
    while (digits[last - 1] == '0') {
        --last;
        ++q;
    }
    const std::string_view m = digits.substr(first, last - first);
    const auto d = std::int64_t(m.size());
    // 10^(d-1+q) <= value < 10^(d+q).
    if (d - 1 + q >= 39) return kInfinityBits;  // >= 1e39 > 2^128
    if (d + q <= -46) return 0;                  // < 1e-46 < 2^-150

    Big a0 = from_digits(m), b0(1);
    if (q >= 0) mul_pow10(a0, q); else mul_pow10(b0, -q);
    // value = a0 / b0; e = floor(log2(value)).
    const std::int64_t t = std::int64_t(a0.bit_length()) - std::int64_t(b0.bit_length());
    const bool at_least = t >= 0 ? compare(a0, shifted(b0, std::size_t(t))) >= 0
                                 : compare(shifted(a0, std::size_t(-t)), b0) >= 0;
    const std::int64_t e = at_least ? t : t - 1;
    if (e >= 128) return kInfinityBits;
    const std::int64_t k = std::max<std::int64_t>(e - 23, -149);
    const Big a = k < 0 ? shifted(a0, std::size_t(-k)) : a0;
    const Big b = k > 0 ? shifted(b0, std::size_t(k)) : b0;
    // n = floor(a / b) < 2^24, bit by bit (one spare bit, as a check).
    std::uint64_t n = 0;
    thread_local Big product;
    for (int bit = 24; bit >= 0; --bit) {
        const std::uint64_t candidate = n | (std::uint64_t(1) << bit);
        product = b;
        product.mul_small(std::uint32_t(candidate));
        if (compare(product, a) <= 0) n = candidate;
    }
    // Round: compare 2a with (2n + 1) b.
    const int c = compare(shifted(a, 1), times(b, std::uint32_t(2 * n + 1)));
    if (c > 0 || (c == 0 && (n & 1))) ++n;
    return pack(n, k);
}

// The exact decimal digits of the point halfway between the positive finite binary32 value
// `bits` and the next one up: value = digits x 10^exponent10.
inline std::string halfway_digits(std::uint32_t bits, std::int64_t& exponent10) {
    bits &= 0x7FFFFFFFu;
    if (bits >= kInfinityBits) bits = 0x7F7FFFFFu;
    const std::uint32_t field = bits >> 23;
    const std::uint64_t n = (bits & 0x7FFFFF) | (field ? 0x800000u : 0);
    const std::int64_t k = field ? std::int64_t(field) - 150 : -149;
    // halfway = (2n + 1) x 2^(k - 1)
    Big v(2 * n + 1);
    if (k - 1 >= 0) {
        v.shl(std::size_t(k - 1));
        exponent10 = 0;
    } else {
        for (std::int64_t i = 0; i < 1 - k; ++i) v.mul_small(5);
        exponent10 = k - 1;
    }
    return v.decimal();
}

// The exact decimal digits of the positive finite binary32 value `bits` (sign ignored):
// value = digits x 10^exponent10, digits without leading zeros ("0" for zero).
inline std::string value_digits(std::uint32_t bits, std::int64_t& exponent10) {
    bits &= 0x7FFFFFFFu;
    const std::uint32_t field = bits >> 23;
    const std::uint64_t n = (bits & 0x7FFFFF) | (field ? 0x800000u : 0);
    const std::int64_t k = field ? std::int64_t(field) - 150 : -149;
    // value = n x 2^k
    Big v(n);
    exponent10 = 0;
    if (k >= 0) {
        v.shl(std::size_t(k));
    } else {
        for (std::int64_t i = 0; i < -k; ++i) v.mul_small(5);
        exponent10 = k;
    }
    return v.decimal();
}

// ---------------------------------------------------------------------------------------------
// The float grammar.

using model::Outcome;
using model::Parsed;

inline bool is_digit(char c) { return c >= '0' && c <= '9'; }

inline bool equals_folded(std::string_view s, std::string_view lower) {
    if (s.size() != lower.size()) return false;
    for (std::size_t i = 0; i < s.size(); ++i) {
        char c = s[i];
        if (c >= 'A' && c <= 'Z') c = char(c + 32);
        if (c != lower[i]) return false;
    }
    return true;
}

inline Parsed parse_float(std::string_view s) {
    if (s.empty()) return {Outcome::empty};
    bool negative = false;
    if (s[0] == '+' || s[0] == '-') {
        negative = s[0] == '-';
        s.remove_prefix(1);
        if (s.empty()) return {Outcome::invalid};
    }
    const std::uint32_t sign = negative ? 0x80000000u : 0;
    std::size_t i = 0;
    std::string digits;
    while (i < s.size() && is_digit(s[i])) digits += s[i++];
    std::int64_t fraction = 0;
    if (i < s.size() && s[i] == '.') {
        ++i;
        while (i < s.size() && is_digit(s[i])) {
            digits += s[i++];
            ++fraction;
        }
    }
    bool decimal = !digits.empty();
    std::int64_t exponent = 0;
    if (decimal && i < s.size()) {
        if (s[i] == 'e' || s[i] == 'E') {
            ++i;
            bool exp_negative = false;
            if (i < s.size() && (s[i] == '+' || s[i] == '-')) exp_negative = s[i++] == '-';
            const std::size_t begin = i;
            while (i < s.size() && is_digit(s[i])) {
                if (exponent < 65536) exponent = exponent * 10 + (s[i] - '0');
                ++i;
            }
            if (i == begin) decimal = false;
            if (exp_negative) exponent = -exponent;
        }
        if (i != s.size()) decimal = false;
    }
    if (!decimal) {
        if (equals_folded(s, "inf") || equals_folded(s, "infinity")) return {Outcome::value, sign | kInfinityBits};
        if (equals_folded(s, "nan")) return {Outcome::value, sign | kNanBits};
        return {Outcome::invalid};
    }
    return {Outcome::value, sign | decimal_magnitude_bits(digits, exponent - fraction)};
}

// ---------------------------------------------------------------------------------------------
// UTF-8, whitespace, lines.

// Decodes a whole text into code points; nullopt if it is not valid UTF-8.
inline std::optional<std::vector<char32_t>> decode(std::string_view s) {
    std::vector<char32_t> out;
    std::size_t i = 0;
    while (i < s.size()) {
        const auto b = static_cast<unsigned char>(s[i]);
        std::size_t len;
        char32_t cp, min;
        if (b < 0x80) { len = 1; cp = b; min = 0; }
        else if ((b & 0xE0) == 0xC0) { len = 2; cp = b & 0x1F; min = 0x80; }
        else if ((b & 0xF0) == 0xE0) { len = 3; cp = b & 0x0F; min = 0x800; }
        else if ((b & 0xF8) == 0xF0) { len = 4; cp = b & 0x07; min = 0x10000; }
        else return std::nullopt;
        if (s.size() - i < len) return std::nullopt;
        for (std::size_t k = 1; k < len; ++k) {
            const auto c = static_cast<unsigned char>(s[i + k]);
            if ((c & 0xC0) != 0x80) return std::nullopt;
            cp = cp << 6 | (c & 0x3F);
        }
        if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return std::nullopt;
        out.push_back(cp);
        i += len;
    }
    return out;
}

inline bool whitespace(char32_t c) {
    static constexpr char32_t kSet[] = {0x09, 0x0A, 0x0B, 0x0C, 0x0D, 0x20, 0x85, 0xA0, 0x1680,
                                        0x2000, 0x2001, 0x2002, 0x2003, 0x2004, 0x2005, 0x2006,
                                        0x2007, 0x2008, 0x2009, 0x200A, 0x2028, 0x2029, 0x202F,
                                        0x205F, 0x3000};
    return std::find(std::begin(kSet), std::end(kSet), c) != std::end(kSet);
}

inline std::string encode(const std::vector<char32_t>& cps, std::size_t from, std::size_t to) {
    std::string out;
    for (std::size_t i = from; i < to; ++i) {
        const char32_t c = cps[i];
        if (c < 0x80) out += char(c);
        else if (c < 0x800) { out += char(0xC0 | c >> 6); out += char(0x80 | (c & 0x3F)); }
        else if (c < 0x10000) { out += char(0xE0 | c >> 12); out += char(0x80 | (c >> 6 & 0x3F)); out += char(0x80 | (c & 0x3F)); }
        else { out += char(0xF0 | c >> 18); out += char(0x80 | (c >> 12 & 0x3F)); out += char(0x80 | (c >> 6 & 0x3F)); out += char(0x80 | (c & 0x3F)); }
    }
    return out;
}

// Valid UTF-8 text without whitespace at either end.
inline std::string trim(std::string_view s) {
    const auto cps = *decode(s);
    std::size_t from = 0, to = cps.size();
    while (from < to && whitespace(cps[from])) ++from;
    while (to > from && whitespace(cps[to - 1])) --to;
    return encode(cps, from, to);
}

// The last whitespace-separated token, if any.
inline std::optional<std::string> last_token(std::string_view s) {
    const auto cps = *decode(s);
    std::size_t to = cps.size();
    while (to > 0 && whitespace(cps[to - 1])) --to;
    if (to == 0) return std::nullopt;
    std::size_t from = to;
    while (from > 0 && !whitespace(cps[from - 1])) --from;
    return encode(cps, from, to);
}

inline std::optional<std::uint64_t> parse_count(std::string_view t) {
    if (!t.empty() && t[0] == '+') t.remove_prefix(1);
    if (t.empty()) return std::nullopt;
    unsigned __int128 v = 0;
    for (const char c : t) {
        if (!is_digit(c)) return std::nullopt;
        v = v * 10 + unsigned(c - '0');
        if (v > UINT64_MAX) return std::nullopt;
    }
    return std::uint64_t(v);
}

// A file cut at 0x0A: each piece without its 0x0A and (then) one 0x0D; a last piece without
// 0x0A is kept whole; nothing after a final 0x0A. `valid` is checked on the piece with its 0x0A.
struct RawLine {
    std::string text;
    bool valid;
};
inline std::vector<RawLine> cut_lines(std::string_view file) {
    std::vector<RawLine> lines;
    std::size_t pos = 0;
    while (pos < file.size()) {
        const std::size_t feed = file.find('\n', pos);
        std::string piece(file.substr(pos, feed == std::string_view::npos ? std::string_view::npos : feed - pos));
        const bool valid = decode(piece).has_value();
        if (feed != std::string_view::npos) {
            if (!piece.empty() && piece.back() == '\r') piece.pop_back();
            pos = feed + 1;
        } else {
            pos = file.size();
        }
        lines.push_back({std::move(piece), valid});
    }
    return lines;
}

}  // namespace ref
